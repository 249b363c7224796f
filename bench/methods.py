"""The labelling methods that the readability benchmark and the gallery compare:
quillset's label_points in its forms, textalloc and adjustText, each on the same
figure of a dataset."""

from __future__ import annotations

import importlib
import math
from dataclasses import dataclass

from matplotlib.artist import Artist
from matplotlib.axes import Axes
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.patches import FancyArrowPatch
from matplotlib.text import Annotation, Text
from sample_data import DPI, FRAME, HEIGHT_IN, WIDTH_IN, Dataset

FONT_SIZE = 9.0
TOP = 20  # the most important points, whose labels matter most
ADJUST_TEXT_MAX = 1000  # above this adjustText runs out of memory (3,000 map labels): skipped

QUILLSET_FORMS = ("allow", "hide", "hide+leaders")
# Leaders allowed as far as textalloc's usually reach (about 190 px): the default
# reach of label_points is a few line heights.
FAR = 100.0  # points: 139 px at 100 dpi
PEERS = ("textalloc", "textalloc all", "adjustText")
METHODS = (*QUILLSET_FORMS, "hide+leaders far", *PEERS)


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
