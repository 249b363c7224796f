"""The placement after one zoom of bench/zoom_maps.py, timed in one process over
fresh figures: for A/B runs of a change to the companion, with PYTHONPATH naming
each checkout's python/ in turn (the build and bench/ stay the same).

    PYTHONPATH=<checkout>/python:build:bench python bench/ab/zoom_placement.py \\
        "North America" "densest 1/4" [--leaders] [--repeat 15]

Prints the median and the least milliseconds of the placements.
"""

from __future__ import annotations

import argparse
import gc
import statistics
import time
from typing import Any

import matplotlib

matplotlib.use("Agg")

from methods import new_axes  # noqa: E402
from redraw import frac_to_limits, set_view, views_of  # noqa: E402
from zoom_maps import MAPS, ZOOMS, city_map  # noqa: E402

from quillset_extras.mpl import label_points  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("map", choices=list(MAPS))
    parser.add_argument("zoom", choices=list(ZOOMS))
    parser.add_argument("--leaders", action="store_true")
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    data, zoom = city_map(args.map), ZOOMS[args.zoom]
    assert data.priority is not None
    spent: list[float] = []
    for _ in range(args.repeat):
        fig, ax = new_axes(data, "")
        result = label_points(
            ax, data.x, data.y, data.texts, fontsize=9, priority=data.priority.tolist(),
            point_radius=1.0, leaders=args.leaders,
        )  # fmt: skip
        fig.canvas.draw()
        set_view(ax, views_of(data).zoom_in if zoom is None else frac_to_limits(ax, *zoom))
        place = result.artist.place

        def timed(renderer: Any, place: Any = place) -> bool:
            start = time.perf_counter()
            try:
                return bool(place(renderer))
            finally:
                spent.append(time.perf_counter() - start)

        result.artist.place = timed
        gc.collect()
        fig.canvas.draw()
    print(f"median {statistics.median(spent) * 1000:.1f} ms, least {min(spent) * 1000:.1f} ms")


if __name__ == "__main__":
    main()
