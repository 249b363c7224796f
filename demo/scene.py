"""A built-in sample scene: objects of mixed sizes with labels of varied length,
and a deterministic measuring function for runs that need no font at all."""

from __future__ import annotations

import math
import random
from collections.abc import Sequence

import quillset
from quillset_extras import fixed_advance

Item = tuple[float, float, float, float, str, int]
"""An object box (left, top, right, bottom), its label text and base font size."""

WORDS = (
    "alpha", "beta", "gamma", "delta", "harbour", "north gate", "station", "mill",
    "old bridge", "market square", "library", "quarry", "St. Agnes", "lighthouse",
    "water tower", "east pier", "ridge", "the long meadow", "ferry", "chapel",
)  # fmt: skip


measure = fixed_advance(0.55, 0.75, 0.25)
"""Fixed-advance text metrics: 0.55 em per character, ascent 0.75 em, descent 0.25 em."""


def make_scene(
    count: int = 300, width: int = 1400, height: int = 900, seed: int = 7
) -> tuple[int, int, list[Item]]:
    """Returns (width, height, items), items being (l, t, r, b, text, base font size)."""
    rng = random.Random(seed)
    items: list[Item] = []
    for i in range(count):
        kind = rng.random()
        if kind < 0.6:  # points
            w = h = 0.0
        elif kind < 0.9:  # small markers
            w, h = rng.uniform(4, 16), rng.uniform(4, 16)
        else:  # larger features
            w, h = rng.uniform(30, 120), rng.uniform(20, 80)
        x = rng.uniform(0, width - w)
        y = rng.uniform(0, height - h)
        text = rng.choice(WORDS) + ("" if rng.random() < 0.7 else f" {i}")
        items.append((x, y, x + w, y + h, text, rng.choice((10, 12, 12, 14, 16))))
    return width, height, items


def object_boxes(items: Sequence[Item]) -> list[tuple[int, int, int, int]]:
    """The object boxes as the engine normalises them (at least 2 units, whole units)."""
    boxes = []
    for l, t, r, b, *_ in items:
        if r - l < 2.0:
            c = (l + r) * 0.5
            l, r = c - 1.0, c + 1.0
        if b - t < 2.0:
            c = (t + b) * 0.5
            t, b = c - 1.0, c + 1.0
        boxes.append((math.floor(l), math.floor(t), math.ceil(r), math.ceil(b)))
    return boxes


def _overlaps(a: Sequence[float], b: Sequence[float]) -> bool:
    return b[2] > a[0] and a[2] > b[0] and b[3] > a[1] and a[3] > b[1]


def quality(results: Sequence[quillset.LayoutResult], items: Sequence[Item]) -> dict[str, int]:
    """Label-label overlapping pairs, label-object overlapping pairs, labels on a
    smaller font tier and labels on the fallback (zero-size) candidate, counted by
    brute force (quillset_extras.quality does the same by a sweep)."""
    boxes = [(r.left, r.top, r.left + r.width, r.top + r.height) for r in results]
    placed = [b for b in boxes if b[2] > b[0] and b[3] > b[1]]
    label_label = sum(
        _overlaps(placed[i], placed[j])
        for i in range(len(placed))
        for j in range(i + 1, len(placed))
    )
    objects = object_boxes(items)
    label_object = sum(_overlaps(b, o) for b in placed for o in objects)
    smaller = sum(r.fontSize != item[5] for r, item in zip(results, items) if r.width > 0)
    fallback = len(boxes) - len(placed)
    return {
        "label-label": label_label,
        "label-object": label_object,
        "smaller tier": smaller,
        "fallback": fallback,
    }
