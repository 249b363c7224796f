"""Deterministic scenes and the measuring callable shared by the benchmark workers.

Every scene keeps the same density at every size: the canvas grows with the number
of objects, so that time per object should stay flat as the count grows.
"""

from __future__ import annotations

import math

import numpy as np

# Canvas area per object, in canvas units squared (about 70 x 70 per object).
AREA_PER_OBJECT = 5000.0
# Base font sizes and how often each occurs: mostly small names, a few large ones.
FONT_SIZES = (10, 12, 14, 18)
FONT_SHARES = (0.6, 0.25, 0.1, 0.05)
KINDS = ("uniform", "clustered")


def canvas_side(n: int, area_per_object: float = AREA_PER_OBJECT) -> int:
    return math.ceil(math.sqrt(n * area_per_object))


def points(n: int, kind: str, side: float, rng: np.random.Generator) -> np.ndarray:
    """n points on a side x side canvas: uniform, or map-like towns around cities.

    Clustered: four in five points belong to a cluster of about 150 (a bell three
    uniforms wide, its spread varying tenfold between clusters); the rest are spread
    evenly, like villages between cities.
    """
    if kind == "uniform":
        return rng.uniform(0.0, side, (n, 2))
    if kind != "clustered":
        raise ValueError(kind)
    clusters = max(1, n // 150)
    centres = rng.uniform(0.0, side, (clusters, 2))
    spread = 100.0 + 400.0 * rng.random(clusters) * rng.random(clusters)
    which = rng.integers(0, clusters, n)
    bell = rng.random((n, 2)) + rng.random((n, 2)) + rng.random((n, 2)) - 1.5
    towns = centres[which] + bell * spread[which, None]
    villages = rng.uniform(0.0, side, (n, 2))
    xy = np.where((rng.random(n) < 0.8)[:, None], towns, villages)
    return np.clip(xy, 0.0, side)


def names(n: int, rng: np.random.Generator, shortest: int = 3, longest: int = 19) -> list[str]:
    """Place-like names: a capital and lower-case letters, 3 to 19 characters."""
    lengths = rng.integers(shortest, longest + 1, n)
    letters = rng.integers(ord("a"), ord("z") + 1, int(lengths.sum()), dtype=np.uint8)
    text = letters.tobytes().decode("ascii")
    ends = np.cumsum(lengths).tolist()
    starts = [0, *ends[:-1]]
    return [text[a:b].capitalize() for a, b in zip(starts, ends)]


def font_sizes(n: int, rng: np.random.Generator) -> list[int]:
    return rng.choice(FONT_SIZES, n, p=FONT_SHARES).tolist()


def engine_scene(n: int, kind: str, seed: int = 1) -> tuple[int, list[tuple]]:
    """The canvas side and one add() argument tuple per object: a 4 x 4 marker box."""
    rng = np.random.default_rng([seed, n, KINDS.index(kind)])
    side = canvas_side(n)
    xy = points(n, kind, side, rng)
    texts = names(n, rng)
    sizes = font_sizes(n, rng)
    x, y = xy[:, 0].tolist(), xy[:, 1].tolist()
    items = [(x[i] - 2.0, y[i] - 2.0, x[i] + 2.0, y[i] + 2.0, texts[i], sizes[i]) for i in range(n)]
    return side, items


def make_measure(module):
    """A pure-Python measuring callable of fixed cost: a few integer operations on the
    font size and the text length, then one TextSize of `module`."""
    text_size = module.TextSize

    def measure(text: str, size: int):
        return text_size(
            (size * len(text) * 56 + 99) // 100, (size * 74 + 99) // 100, (size * 24 + 99) // 100
        )

    return measure


def count_overlaps(a: np.ndarray, b: np.ndarray | None = None, chunk: int = 2048) -> int:
    """Pairs of boxes (x0, y0, x1, y1) that intersect strictly; touching is no overlap.

    With one array: unordered pairs of distinct boxes. With two: every pair (i, j)."""
    same = b is None
    b = a if same else b
    total = 0
    for start in range(0, len(a), chunk):
        part = a[start : start + chunk]
        hit = (
            (b[None, :, 2] > part[:, None, 0])
            & (part[:, None, 2] > b[None, :, 0])
            & (b[None, :, 3] > part[:, None, 1])
            & (part[:, None, 3] > b[None, :, 1])
        )
        if same:
            rows = np.arange(start, start + len(part))
            hit &= np.arange(len(b))[None, :] > rows[:, None]
        total += int(hit.sum())
    return total
