#!/usr/bin/env python3
"""Solve time against canvas cells per label, for choosing between the grid's forms.

    PYTHONPATH=BUILD .venv/bin/python bench/grid_density.py [N] [CELLS_PER_LABEL ...]

N labels (default 50,000) at random points of a square canvas with the given number
of default grid cells (100 x 100) per label; prints the processor time of the
fastest of three solves on the same engine. Run it against a build whose grid is
always dense (main before the sparse form) and one whose grid is always sparse to
see where the two cross.
"""

from __future__ import annotations

import random
import sys
import time

import quillset


def measure(text: str, font_size: int) -> quillset.TextSize:
    return quillset.TextSize(len(text) * font_size // 2, font_size * 3 // 4, font_size // 4)


def solve_ms(n: int, cells_per_label: float) -> float:
    width = int(100 * (cells_per_label * n) ** 0.5)
    rng = random.Random(3)
    engine = quillset.Quillset(width, width, measure)
    for i in range(n):
        x, y = rng.random() * width, rng.random() * width
        engine.add(x - 2, y - 2, x + 2, y + 2, f"name {i % 1000}", 10 + 2 * (i % 3))
    best = float("inf")
    for _ in range(3):
        start = time.process_time()
        engine.solve()
        best = min(best, time.process_time() - start)
    return best * 1000


def main() -> int:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 50000
    ratios = [float(r) for r in sys.argv[2:]] or [4, 16, 32, 64, 128, 256]
    for r in ratios:
        print(f"{n} labels, {r:g} cells per label: {solve_ms(n, r):.1f} ms", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
