"""Charts of a few hundred points that crowd: all at one place, at two places,
along a line, on a grid, and the cars of vega_datasets. Each row gives the
labels label_points draws ("hide", then with leaders), and textalloc's
(`draw_all=False`, where it is installed: bench/requirements-readability.txt),
with the seconds from the call until just before savefig, the median of
--repeat figures.

    .venv/bin/python bench/crowded_charts.py [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Callable

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from numpy.typing import NDArray  # noqa: E402

from quillset_extras.mpl import label_points  # noqa: E402

Points = tuple[NDArray[np.float64], NDArray[np.float64]]


def grid() -> Points:
    x, y = np.meshgrid(np.arange(25.0), np.arange(20.0))
    return x.ravel(), y.ravel()


def cars() -> Points:
    from sample_data import cars as load

    data = load()
    return np.asarray(data.x, float), np.asarray(data.y, float)


CHARTS: dict[str, Callable[[], Points]] = {
    "one place (500)": lambda: (np.zeros(500), np.zeros(500)),
    "two places (500)": lambda: (np.repeat([0.0, 1.0], 250), np.repeat([0.0, 1.0], 250)),
    "line (500)": lambda: (np.linspace(0, 1, 500), np.linspace(0, 1, 500)),
    "grid (25 x 20)": grid,
    "cars (392)": cars,
}


def timed(x: NDArray[np.float64], y: NDArray[np.float64], how: str) -> tuple[int, float]:
    fig, ax = plt.subplots()
    ax.scatter(x, y, s=9)
    texts = [f"Label {k}" for k in range(len(x))]
    start = time.perf_counter()
    if how == "textalloc":
        import textalloc

        out = textalloc.allocate(
            ax, x, y, texts, x_scatter=x, y_scatter=y, textsize=10, draw_all=False
        )
        drawn = sum(t is not None for t in out[2])
    else:
        drawn = len(label_points(ax, x, y, texts, leaders=how == "leaders").shown)
    fig.canvas.draw()
    spent = time.perf_counter() - start
    plt.close(fig)
    return drawn, spent


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    hows = ["hide", "leaders"]
    try:
        import textalloc  # noqa: F401

        hows.append("textalloc")
    except ModuleNotFoundError:
        pass
    timed(np.zeros(3), np.zeros(3), "hide")  # fonts loaded before the first row
    print("| chart | " + " | ".join(f"{how}: drawn, s" for how in hows) + " |")
    print("|---" * (len(hows) + 1) + "|")
    for name, make in CHARTS.items():
        x, y = make()
        cells = []
        for how in hows:
            runs = [timed(x, y, how) for _ in range(args.repeat)]
            cells.append(f"{runs[0][0]}, {statistics.median(r[1] for r in runs):.2f}")
        print(f"| {name} | {' | '.join(cells)} |", flush=True)


if __name__ == "__main__":
    main()
