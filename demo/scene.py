"""A built-in sample scene: objects of mixed sizes with labels of varied length,
and a deterministic measuring function for runs that need no font at all."""

from __future__ import annotations

import random

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
