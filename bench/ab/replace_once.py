"""One re-placement, timed in-process: Europe's 3,000 largest cities labelled with
"hide", drawn, then zoomed 4x into the densest quarter (or set to 150 dpi) and
drawn again; prints the labels shown and the median of the placements' times in
that draw over fresh figures. With --no-closer the matplotlib measurer tells no
bound of its own, so the screen of unmeasured labels keeps only its looser one.

    .venv/bin/python bench/ab/replace_once.py [--change zoom|dpi] [--no-closer]
"""

from __future__ import annotations

import argparse
import gc
import statistics
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from methods import new_axes  # noqa: E402
from redraw import set_view, timed_placements, views_of  # noqa: E402
from sample_data import europe  # noqa: E402

from quillset_extras import mpl_measure  # noqa: E402
from quillset_extras.mpl import label_points  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--change", choices=["zoom", "dpi"], default="zoom")
    parser.add_argument("--no-closer", action="store_true")
    parser.add_argument("--figures", type=int, default=7)
    args = parser.parse_args()
    if args.no_closer:
        mpl_measure.FontMeasurer.least = lambda self, texts, size: None  # type: ignore[method-assign]
    data = europe().head(3000)
    views = views_of(data)
    spent, shown = [], 0
    for _ in range(args.figures):
        fig, ax = new_axes(data, "map")
        result = label_points(
            ax, data.x, data.y, data.texts, fontsize=9, priority=data.priority, point_radius=1.0
        )
        fig.canvas.draw()
        if args.change == "zoom":
            set_view(ax, views.zoom_in)
        else:
            fig.set_dpi(150)
        times = timed_placements(result.artist)
        gc.collect()
        fig.canvas.draw()
        spent.append(sum(times) * 1000)
        shown = len(result.shown)
    print(f"{shown} labels, {statistics.median(spent):.1f} ms")


if __name__ == "__main__":
    main()
