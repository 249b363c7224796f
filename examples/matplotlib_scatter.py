"""Labels the points of a matplotlib scatter plot with quillset in one call,
measuring every label with the figure's own renderer, and saves the figure.

    python examples/matplotlib_scatter.py [out.png]
"""

from __future__ import annotations

import random
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from quillset_extras.mpl import label_points  # noqa: E402

ELEMENTS = (
    "H He Li Be B C N O F Ne Na Mg Al Si P S Cl Ar K Ca Sc Ti V Cr Mn Fe Co Ni Cu Zn "
    "Ga Ge As Se Br Kr Rb Sr Y Zr Nb Mo Tc Ru Rh Pd Ag Cd In Sn"
).split()


def main(out: str) -> None:
    rng = random.Random(11)
    # Atomic number against a made-up, noisy property: a crowded cloud of points.
    x = [float(z) for z in range(1, len(ELEMENTS) + 1)]
    y = [10 * (z % 18) / 18 + rng.gauss(0, 0.8) for z in range(1, len(ELEMENTS) + 1)]
    names = [f"{name} ({z})" for z, name in enumerate(ELEMENTS, start=1)]

    fig, ax = plt.subplots(figsize=(9, 5.5), dpi=100, layout="constrained")
    ax.scatter(x, y, s=16, color="tab:blue", zorder=3)
    ax.set_xlabel("atomic number")
    ax.set_ylabel("made-up property")
    ax.set_title("Scatter plot labelled by quillset")
    ax.margins(0.08)

    labels = label_points(ax, x, y, names, fontsize=9, color="0.15")
    fig.savefig(out)
    print(f"{len(labels.shown)} of {len(names)} points labelled; figure: {out}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "matplotlib_scatter.png")
