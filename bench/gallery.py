"""Writes the gallery (docs/gallery): each dataset of the readability benchmark labelled
by quillset's three forms (overlap="allow", "hide", "hide" with leaders) and by
textalloc and adjustText, one PNG each, and docs/gallery/README.md with what each
picture shows, counted from the drawn texts.

    python bench/gallery.py                 # every picture (a few minutes)
    python bench/gallery.py --only cars     # one dataset
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from pathlib import Path

import readability as rb
from methods import method_title
from PIL import Image
from sample_data import Dataset, cars, europe, gapminder, south_america, us_airports

HERE = Path(__file__).resolve().parent.parent / "docs" / "gallery"
METHODS = ("allow", "hide", "hide+leaders", "textalloc", "adjustText")
MAX_BYTES = 400_000


def shrink(path: Path) -> None:
    """Re-encodes a PNG that is too large with a palette of its own colours (the
    pictures are mostly flat grey text on white)."""
    if path.stat().st_size <= MAX_BYTES * 3 // 4:
        return
    with Image.open(path) as image:
        paletted = image.convert("RGB").quantize(colors=128, dither=Image.Dither.NONE)
    paletted.save(path, optimize=True)


def picture_name(data: Dataset, method: str) -> str:
    return f"{data.key}-{method.replace('+', '-')}.png"


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--only", help="one dataset: gapminder, airports, cars, europe or south-america"
    )
    parser.add_argument("--out", type=Path, default=HERE, help="where the pictures go")
    args = parser.parse_args(argv)

    loaders = {
        "gapminder": gapminder,
        "airports": us_airports,
        "cars": cars,
        "europe": europe,
        "south-america": south_america,
    }
    keys = [args.only] if args.only else list(loaders)
    args.out.mkdir(parents=True, exist_ok=True)
    lines = [
        "# Gallery",
        "",
        "Made by `make gallery` (bench/gallery.py) from datasets that ship inside",
        "PyPI packages (bench/requirements-readability.txt): each one labelled by",
        "quillset's `label_points` in three forms and by textalloc and adjustText, on",
        "the same figure (10 x 7 in, 100 dpi, 9 pt). The counts come from the drawn",
        "texts' extents, as in bench/readability.py. Whole figures (lines, bubbles, bars,",
        "maps of other continents, dates, projections, two calls) are in",
        "[figures.md](figures.md).",
        "",
    ]
    for key in keys:
        data = loaders[key]()
        lines += [f"## {data.title}: {len(data)} points", "", rb.HEADER, "|" + " --- |" * 11]
        pictures = []
        for method in METHODS:
            path = args.out / picture_name(data, method)
            row = rb.measure(data, method, save=path)
            lines.append(rb.format_row(row))
            print(rb.format_row(row), flush=True)
            if not row.note:
                shrink(path)
                pictures.append(f"![{method_title(data, method)}]({path.name})")
        lines += [""] + [p + "\n" for p in pictures]
    if not args.only:
        (args.out / "README.md").write_text("\n".join(lines), encoding="utf-8")


if __name__ == "__main__":
    main()
