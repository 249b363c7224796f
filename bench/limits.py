"""Measures the figures of the README's Limits section, against the module that
the development environment imports (build/, after make setup):

    .venv/bin/python bench/limits.py [cycles] [passes] [endless] [density]

cycles   memory that objects holding their engine keep after gc.collect(), with
         the object's own method as measuring callable and with weak_measurer
passes   time of one improvement pass, bench/scenes.py's uniform scene
endless  time per pass of a scene whose labels move in every pass
density  full solves on one fixed canvas as the label count grows
"""

from __future__ import annotations

import gc
import statistics
import sys
import time
from collections.abc import Callable

from scenes import engine_scene, make_measure

import quillset
from quillset_extras import weak_measurer

MEASURE = make_measure(quillset)


def rss_mib() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 2**20


def engine(side: int, items: list[tuple], measure=MEASURE, **config: int) -> quillset.Quillset:
    cfg = quillset.LayoutConfig()
    for k, v in config.items():
        setattr(cfg, k, v)
    q = quillset.Quillset(side, side, measure, cfg)
    for item in items:
        q.add(*item)
    return q


def solve_time(side: int, items: list[tuple], repeats: int = 3, **config: int) -> float:
    """Median time of solve alone, each on a fresh engine."""
    runs = []
    for _ in range(repeats):
        q = engine(side, items, **config)
        start = time.perf_counter()
        q.solve()
        runs.append(time.perf_counter() - start)
    return statistics.median(runs)


class Chart:
    def __init__(self, wrap: Callable[[Callable], Callable], side: int, items: list[tuple]) -> None:
        self.engine = quillset.Quillset(side, side, wrap(self.measure))
        for item in items:
            self.engine.add(*item)
        self.engine.solve()

    def measure(self, text: str, size: int) -> quillset.TextSize:
        return MEASURE(text, size)


def cycles() -> None:
    side, items = engine_scene(5000, "uniform")
    for name, wrap in (("own method", lambda m: m), ("weak_measurer", weak_measurer)):
        gc.collect()
        before = rss_mib()
        charts = [Chart(wrap, side, items) for _ in range(20)]
        del charts
        gc.collect()
        print(f"cycles: 20 x 5,000 labels, {name}: {rss_mib() - before:.0f} MiB kept")


def passes() -> None:
    for n in (1000, 10_000, 100_000):
        side, items = engine_scene(n, "uniform")
        initial = solve_time(side, items, maxIterations=0)
        one = solve_time(side, items, maxIterations=1) - initial
        print(
            f"passes: {n:>7,} labels: initial pass {initial * 1e3:6.1f} ms, "
            f"one improvement pass {one * 1e3:6.1f} ms"
        )


# Three labels on a 60 x 60 canvas that never settle: some label moves in every pass.
ENDLESS = [(5, 13, 12, 19, "xxxxx", 16), (53, 19, 61, 23, "xxxxx", 16)]
ENDLESS += [(52, 12, 55, 13, "xxxxx", 12)]


def half_em(text: str, size: int) -> quillset.TextSize:
    return quillset.TextSize(len(text) * size // 2, size, size // 4)


def endless() -> None:
    for iterations in (10**5, 10**6, 10**7):
        q = engine(60, ENDLESS, half_em, maxIterations=iterations)
        start = time.perf_counter()
        q.solve()
        per_pass = (time.perf_counter() - start) / iterations
        print(
            f"endless: {iterations:>10,} passes: {per_pass * 1e9:.0f} ns per pass, "
            f"{per_pass * (2**31 - 1):.0f} s at maxIterations 2^31 - 1"
        )


def density() -> None:
    side, _ = engine_scene(2500, "uniform")
    for n in (2500, 5000, 10_000, 20_000, 40_000):
        own_side, items = engine_scene(n, "uniform")
        k = side / own_side  # the same scene, squeezed onto the fixed canvas
        squeezed = [(l * k, t * k, r * k, b * k, text, fs) for l, t, r, b, text, fs in items]
        seconds = solve_time(side, squeezed, repeats=1)
        print(f"density: {n:>6,} labels on {side} x {side}: solve {seconds:.2f} s")


if __name__ == "__main__":
    jobs = {"cycles": cycles, "passes": passes, "endless": endless, "density": density}
    for name in sys.argv[1:] or list(jobs):
        jobs[name]()
