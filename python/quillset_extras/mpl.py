"""Labelling matplotlib plots: a measurer in a figure's display pixels, and a
one-call helper that labels the points of an Axes.

label_points measures with the figure's renderer, places in the axes' display
pixels with place_readable (quillset_extras.readable), and draws Text artists
and leader lines in data coordinates.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

from ._optional import missing

try:
    import numpy as np
    from matplotlib.artist import Artist
    from matplotlib.axes import Axes
    from matplotlib.backend_bases import RendererBase
    from matplotlib.figure import Figure
    from matplotlib.font_manager import FontProperties
    from matplotlib.lines import Line2D
    from matplotlib.text import Text
    from numpy.typing import ArrayLike, NDArray
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.mpl", "matplotlib") from None

import quillset

from .mpl_labels import PointLabels, Request
from .mpl_measure import FontMeasurer
from .mpl_style import (
    TENTHS,
    finite_number,
    font_size_points,
    label_fonts,
    label_texts,
    per_label,
    text_style,
)
from .quality import Readability

Floats = NDArray[np.float64]

__all__ = [
    "TENTHS",
    "LabelResult",
    "PointLabels",
    "figure_renderer",
    "font_size_points",
    "label_points",
    "matplotlib_measurer",
]


def figure_renderer(figure: Figure) -> RendererBase:
    """The renderer of `figure`, after laying the figure out once without output.

    Parameters
    ----------
    figure : Figure
        A top-level figure.

    Returns
    -------
    RendererBase
    """
    figure.draw_without_rendering()
    # Private, but the one way to reach the canvas's own renderer (Agg and its
    # relatives) or the one matplotlib builds to lay out any figure.
    renderer: RendererBase = figure._get_renderer()  # type: ignore[attr-defined]
    return renderer


def matplotlib_measurer(
    figure: Figure, font: FontProperties | None = None, renderer: RendererBase | None = None
) -> FontMeasurer:
    """A measurer of texts as `figure` draws them, in display pixels.

    Texts are measured as plain text (not math text) from the font's own glyph
    metrics (see FontMeasurer); a size is that of the drawn text's extent, which
    reaches at least the font's own ascent and descent.

    Parameters
    ----------
    figure : Figure
        The figure whose dpi and renderer the texts are drawn with.
    font : FontProperties or None, default: None
        The font; None for matplotlib's default font. Sizes are asked for in
        points.
    renderer : RendererBase or None, default: None
        The renderer; by default the figure's.

    Returns
    -------
    FontMeasurer
    """
    drawer = figure_renderer(figure) if renderer is None else renderer
    return FontMeasurer(font, figure.dpi, renderer=drawer)


@dataclass(frozen=True, repr=False)
class LabelResult:
    """What label_points drew. Unless frozen, the labels are placed again at
    every draw with another geometry, and these lists change in place to hold
    what the last draw showed."""

    texts: list[Text]
    """the Text artists of the drawn labels, in the order of `shown`"""
    lines: list[Line2D]
    """one Line2D per leader line, in the order of `leader_labels`"""
    shown: list[int]
    """indices into the input of the labels drawn, ascending"""
    hidden: list[int]
    """indices into the input of the labels not drawn (points outside the axes
    included), ascending"""
    leader_labels: list[int]
    """indices of the labels drawn away from their point, with a line"""
    artist: PointLabels = field(compare=False)
    """the artist that places and draws the labels"""

    @property
    def readability(self) -> Readability:
        """What a reader sees of the last placement, in display pixels, from the
        texts' exact extents: overlaps among the drawn texts and with anything
        else drawn, texts over markers they may not cover, texts outside the
        axes, leader lines and what they cross."""
        return self.artist.readability()

    @property
    def quality(self) -> Readability:
        """The earlier name of `readability`."""
        return self.readability

    @property
    def leaders(self) -> list[int]:
        """The earlier name of `leader_labels`."""
        return self.leader_labels

    def freeze(self) -> None:
        """Keeps the current placement for good: the texts and lines become plain
        artists of the axes that follow their points (see label_points' freeze)."""
        if not self.artist.frozen:
            self.artist.freeze()

    def __repr__(self) -> str:
        return (
            f"LabelResult(shown={len(self.shown)}, hidden={len(self.hidden)}, "
            f"leaders={len(self.leader_labels)})"
        )


def label_points(
    ax: Axes,
    x: ArrayLike,
    y: ArrayLike,
    texts: Iterable[object],
    *,
    fontsize: float | str | Sequence[float | str] = 10,
    overlap: Literal["allow", "hide"] = "hide",
    priority: ArrayLike | None = None,
    leaders: bool = False,
    max_distance: float | None = None,
    font: FontProperties | str | dict[str, Any] | None = None,
    point_radius: float = 3.0,
    config: quillset.LayoutConfig | None = None,
    line_kw: dict[str, Any] | None = None,
    transform: Any = None,
    shrink: bool = False,
    avoid: Sequence[Artist] | None = None,
    halo: bool | None = None,
    freeze: bool = False,
    **text_kwargs: Any,
) -> LabelResult:
    """Labels the points (x[i], y[i]) of `ax` with texts[i].

    Each label sits beside its point inside the axes, covering nothing else the
    axes draw (lines, markers at their drawn size, bars, fills, texts and
    annotations, earlier labels, the legend: images and the background aside).
    With "hide" (the default), labels are taken by `priority` and a label is
    drawn only where it can be read: its text covers no other text, nothing else
    drawn, and no marker of a more important point or of a point whose label is
    drawn; it may cover the markers of less important points, whose labels then
    stay hidden, and it gets a thin halo so that it reads over them. So the most
    important labels are drawn even in dense clouds of points. Where the texts of
    labels drawn before keep one of the most important labels (on charts of up
    to 500 points, any label) out, they move to another place beside their own
    point, when they find one, to make room.

    The labels are placed when the figure is drawn, with the renderer that draws
    it, and placed again whenever a draw finds other limits, another size or
    place of the axes, another dpi or renderer, or an artist added, removed or
    changed since (a line's data, a text's place, a bar's height): points
    outside the view get no label, and zooming in shows more labels by the same
    priority. The call places them once already, so that the result is filled
    at once.

    Parameters
    ----------
    ax : Axes
        The axes whose points to label (2-D).
    x, y : array-like
        The points, read by position, in data coordinates (through the axes'
        unit converters: dates, datetimes, categories) or in those of
        `transform`. A point that is masked or not finite gets no label.
    texts : iterable
        One label per point, read by position; any object is drawn as its str(),
        None as an empty text, as Axes.text does.
    fontsize : float or str, or a sequence of them, default: 10
        Points (any size from 1; fractions included), or a named size such as
        "small"; one for all labels or one per label.
    overlap : {"hide", "allow"}, default: "hide"
        "hide" draws only labels that can be read, as above. "allow" draws every
        label that the engine placed, overlaps included.
    priority : array-like of float or None, default: None
        One number per point, larger first; by default input order.
    leaders : bool, default: False
        With "hide": labels without room beside their point may sit farther away,
        joined to it by a thin line that crosses no other leader line or text, no
        marker the text could not cover, and no legend, bar or other boxed
        artist; it may cross drawn lines and filled areas. A text in the way of
        one of the most important labels' lines moves aside, as above.
    max_distance : float or None, default: None
        How far, in points, a label with a leader line may sit from its marker;
        by default a few line heights, at most a share of the axes' longer side.
    font : FontProperties, str, dict or None, default: None
        The font: FontProperties, a family name or fontconfig pattern, the path of
        a font file, or a dict of FontProperties keywords; None for matplotlib's
        default font.
    point_radius : float, default: 3.0
        The room, in points, kept free around a point that no scatter or marker
        line of the axes draws; drawn markers keep their own size.
    config : quillset.LayoutConfig or None, default: None
        Tunes the engine; see place_readable.
    line_kw : dict or None, default: None
        Keywords of the leader lines' Line2D; by default thin lines in the text's
        colour and alpha, or grey.
    transform : Transform or None, default: None
        The coordinates of the points, as Axes.text takes them: a matplotlib
        Transform, or a cartopy CRS; None for the data coordinates. Points are
        mapped forward only, so projections without an inverse work.
    shrink : bool, default: False
        Let labels take the engine's smaller sizes (0.9, 0.8 or 0.75 of their own)
        where that helps; by default every label is drawn at the size asked.
    avoid : sequence of Artist or None, default: None
        What labels must not cover: None for everything the axes draw (and
        what a twin of theirs or the figure draws over them), or only these
        artists (``[]`` for nothing but the labelled points).
    halo : bool or None, default: None
        A thin halo in the axes' colour around each text; by default with "hide".
    freeze : bool, default: False
        Place once, at the call, and never again: the texts and lines become
        plain artists of the axes that follow their points.
    **text_kwargs
        Keywords of Axes.text, each for every label or, as a sequence of one value
        per label, for each (colour, alpha, weight, ...). Font keywords (family,
        weight, style, stretch, variant) and linespacing are measured; size and
        fontproperties are given as `fontsize` and `font`; rotation other than 0,
        usetex, wrap and font features are refused, as are the keywords that the
        helper sets itself (x, y, s, ha, va, parse_math).

    Returns
    -------
    LabelResult
    """
    if getattr(ax, "name", "") == "3d":
        raise ValueError(
            "label_points labels 2-D axes; 3-D axes project their points at every "
            "draw: label a 2-D projection of them instead"
        )
    labels = label_texts(texts)
    request = _request(
        ax, x, y, labels, fontsize, font, text_kwargs, line_kw, transform,
        dict(overlap=overlap, priority=priority, leaders=leaders, max_distance=max_distance,
             point_radius=point_radius, config=config, shrink=shrink, avoid=avoid,
             halo=overlap == "hide" if halo is None else bool(halo)),
    )  # fmt: skip
    artist = PointLabels(ax, request)
    # Laid out before the labels join the axes: the draw that measures the figure
    # need not lay out their texts too.
    renderer = figure_renderer(_root(ax))
    ax.add_artist(artist)
    try:
        artist.place(renderer)
    except BaseException:
        artist.remove()
        raise
    # A twin's labels, placed in the draw above, now avoid these.
    for later in artist.sets_after():
        later.place(renderer)
    if freeze:
        artist.freeze()
    return LabelResult(
        artist.texts, artist.lines, artist.shown, artist.hidden, artist.leader_labels, artist
    )


def _request(
    ax: Axes,
    x: ArrayLike,
    y: ArrayLike,
    labels: list[str],
    fontsize: Any,
    font: Any,
    text_kwargs: dict[str, Any],
    line_kw: dict[str, Any] | None,
    transform: Any,
    options: dict[str, Any],
) -> Request:
    """label_points' arguments checked and turned into what a placement needs."""
    if options["overlap"] not in ("allow", "hide"):
        raise ValueError(f"overlap must be 'allow' or 'hide', not {options['overlap']!r}")
    max_distance, point_radius = options["max_distance"], options["point_radius"]
    if max_distance is not None and not finite_number(max_distance, "max_distance") > 0:
        raise ValueError(f"label_points: max_distance must be positive, not {max_distance!r}")
    if not finite_number(point_radius, "point_radius") >= 0:
        raise ValueError(f"label_points: point_radius must be 0 or more, not {point_radius!r}")
    every, each = per_label(text_kwargs, len(labels))
    style = text_style(font, every, line_kw)
    fonts, font_of = label_fonts(style.font, each, len(labels))
    if _one_per_label(fontsize, len(labels)):
        sizes = [round(font_size_points(s) * TENTHS) for s in fontsize]
    else:
        sizes = [round(font_size_points(fontsize) * TENTHS)] * len(labels)
    xs, ys = point_coordinates(ax, x, y, transform)
    if xs.shape != ys.shape or len(xs) != len(labels):
        raise ValueError(f"{len(xs)} x, {len(ys)} y and {len(labels)} texts")
    if options["priority"] is not None:
        options["priority"] = np.asarray(options["priority"], dtype=float)
    return Request(
        xs, ys, labels, transform, sizes, fonts, font_of, style, each,
        options["overlap"], options["priority"], options["leaders"], max_distance,
        float(point_radius), options["config"], options["shrink"], options["avoid"],
        options["halo"],
    )  # fmt: skip


def _one_per_label(fontsize: Any, count: int) -> bool:
    return (
        not isinstance(fontsize, (str, bytes))
        and hasattr(fontsize, "__len__")
        and len(fontsize) == count
    )


def point_coordinates(
    ax: Axes, x: ArrayLike, y: ArrayLike, transform: Any
) -> tuple[Floats, Floats]:
    """The points as floats, read by position; data coordinates go through the
    axes' unit converters (dates, datetimes, categories), as plotting does.
    Masked values are not finite: plotting draws no point there."""
    masks = [np.ma.getmaskarray(v).ravel() for v in (x, y) if np.ma.isMA(v)]
    xs, ys = np.asarray(x), np.asarray(y)
    if transform is None:
        if xs.size:
            ax.xaxis.update_units(xs)  # type: ignore[no-untyped-call]
            ax.yaxis.update_units(ys)  # type: ignore[no-untyped-call]
        xs = np.asarray(ax.xaxis.convert_units(xs))  # type: ignore[no-untyped-call]
        ys = np.asarray(ax.yaxis.convert_units(ys))  # type: ignore[no-untyped-call]
    try:
        xs, ys = xs.astype(float).ravel(), ys.astype(float).ravel()
    except (TypeError, ValueError):
        raise TypeError(
            "label_points: x and y must be numbers, or values the axes' unit converters "
            f"take (dates, categories), not {xs.dtype} and {ys.dtype}"
        ) from None
    for mask in masks:
        if mask.size == xs.size:
            xs = np.where(mask, math.nan, xs)
    return xs, ys


def _root(ax: Axes) -> Figure:
    figure = ax.figure
    while not isinstance(figure, Figure):  # a subfigure: its parent holds the renderer
        figure = figure.figure
    return figure
