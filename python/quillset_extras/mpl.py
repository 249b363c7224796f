"""Labelling matplotlib plots: a measurer in a figure's display pixels, and a
one-call helper that labels the points of an Axes.

label_points measures with the figure's renderer, places in the axes' display
pixels with place_readable (quillset_extras.readable), and draws Text artists
and leader lines in data coordinates.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

from ._optional import missing

try:
    import numpy as np
    from matplotlib.axes import Axes
    from matplotlib.backend_bases import RendererBase
    from matplotlib.figure import Figure
    from matplotlib.font_manager import FontProperties
    from matplotlib.lines import Line2D
    from matplotlib.text import Text
    from matplotlib.transforms import Bbox, TransformedPatchPath
    from numpy.typing import ArrayLike
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.mpl", "matplotlib") from None

import quillset

from .mpl_measure import FontMeasurer
from .mpl_style import (
    TENTHS,
    TextStyle,
    finite_number,
    font_size_points,
    label_texts,
    text_style,
)
from .quality import Readability
from .readable import Placement, place_readable
from .scene import FAR

__all__ = [
    "TENTHS",
    "LabelResult",
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
    """What label_points drew."""

    texts: list[Text]
    """the Text artists of the drawn labels, in the order of `shown`"""
    lines: list[Line2D]
    """one Line2D per leader line, in data coordinates, in the order of
    `leader_labels`"""
    shown: list[int]
    """indices into the input of the labels drawn, ascending"""
    hidden: list[int]
    """indices into the input of the labels not drawn (points outside the axes
    included), ascending"""
    leader_labels: list[int]
    """indices of the labels drawn away from their point, with a line"""
    _count: Callable[[], Readability] = field(compare=False)

    @functools.cached_property
    def readability(self) -> Readability:
        """What a reader sees, in display pixels, from the texts' exact extents:
        overlaps among the drawn texts, texts over point boxes, texts outside the
        axes, leader lines. Counted when first asked for."""
        return self._count()

    @property
    def quality(self) -> Readability:
        """The earlier name of `readability`."""
        return self.readability

    @property
    def leaders(self) -> list[int]:
        """The earlier name of `leader_labels`."""
        return self.leader_labels

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
    fontsize: float | str = 10,
    overlap: Literal["allow", "hide"] = "allow",
    priority: ArrayLike | None = None,
    leaders: bool = False,
    max_distance: float | None = None,
    font: FontProperties | str | dict[str, Any] | None = None,
    point_radius: float = 3.0,
    config: quillset.LayoutConfig | None = None,
    line_kw: dict[str, Any] | None = None,
    **text_kwargs: Any,
) -> LabelResult:
    """Labels the points (x[i], y[i]) of `ax` with texts[i].

    Each label sits beside its point inside the axes, avoids covering points and
    overlaps the other labels as little as possible, shrinking to the engine's
    smaller tiers of `fontsize` where that helps. Set the figure's size, limits
    and layout first: the helper draws the figure once to measure it. Points
    outside the axes get no label. Text is drawn as plain text, without math
    text.

    Parameters
    ----------
    ax : Axes
        The axes whose points to label.
    x, y : array-like of float
        The points, in data coordinates, read by position.
    texts : iterable
        One label per point, read by position; any object is drawn as its str(),
        None as an empty text, as Axes.text does.
    fontsize : float or str, default: 10
        Points (any size from 1; fractions included), or a named size such as
        "small".
    overlap : {"allow", "hide"}, default: "allow"
        "allow" draws every label that found a place. "hide" draws only labels
        whose text overlaps no other drawn text and no point and lies inside the
        axes, with texts side by side a little apart, deciding by `priority`.
    priority : array-like of float or None, default: None
        One number per point, larger first; by default input order.
    leaders : bool, default: False
        With "hide": labels without room beside their point may sit farther away,
        joined to it by a thin line that crosses no drawn label; more important
        labels first.
    max_distance : float or None, default: None
        How far, in points, a label with a leader line may sit from its point; by
        default a few line heights, at most a share of the axes' longer side.
    font : FontProperties, str, dict or None, default: None
        The font: FontProperties, a family name or fontconfig pattern, the path of
        a font file, or a dict of FontProperties keywords; None for matplotlib's
        default font.
    point_radius : float, default: 3.0
        The room, in points, kept free around each point.
    config : quillset.LayoutConfig or None, default: None
        Tunes the engine; see place_readable.
    line_kw : dict or None, default: None
        Keywords of the leader lines' Line2D; by default thin lines in the text's
        colour and alpha, or grey.
    **text_kwargs
        Keywords of Axes.text. Font keywords (family, weight, style, stretch,
        variant) and linespacing are measured; size and fontproperties are given
        as `fontsize` and `font`; rotation other than 0, usetex, wrap and font
        features are refused, as are the keywords that the helper sets itself (x,
        y, s, ha, va, transform, parse_math).

    Returns
    -------
    LabelResult
    """
    base_size = round(font_size_points(fontsize) * TENTHS)
    if max_distance is not None and not finite_number(max_distance, "max_distance") > 0:
        raise ValueError(f"label_points: max_distance must be positive, not {max_distance!r}")
    if not finite_number(point_radius, "point_radius") >= 0:
        raise ValueError(f"label_points: point_radius must be 0 or more, not {point_radius!r}")
    labels = label_texts(texts)
    style = text_style(font, text_kwargs, line_kw)
    figure = ax.figure
    while not isinstance(figure, Figure):  # a subfigure: its parent holds the renderer
        figure = figure.figure
    renderer = figure_renderer(figure)
    measure = FontMeasurer(
        style.font, figure.dpi, unit=TENTHS, linespacing=style.linespacing, renderer=renderer
    )
    frame = ax.get_window_extent(renderer)
    scale = figure.dpi / 72.0
    placement = place_readable(
        int(frame.width),
        int(frame.height),
        canvas_points(ax, frame, x, y, len(labels)),
        labels,
        measure,
        base_size,
        radius=point_radius * scale,
        overlap=overlap,
        priority=priority,
        leaders=leaders,
        max_distance=None if max_distance is None else max_distance * scale,
        config=config,
    )
    artists, lines = draw_placement(ax, frame, placement, labels, style)

    def count() -> Readability:
        return placement_readability(placement, labels, measure, [base_size] * len(labels))

    return LabelResult(
        artists, lines, placement.shown, placement.hidden, list(placement.leader_lines), count
    )


def canvas_points(
    ax: Axes, frame: Bbox, x: ArrayLike, y: ArrayLike, count: int
) -> list[tuple[float, float]]:
    """The points in the axes' display pixels, from its top-left corner with y
    downward, as place_readable takes them; not finite ones far off it."""
    xs = np.asarray(x, dtype=float).ravel()
    ys = np.asarray(y, dtype=float).ravel()
    if xs.shape != ys.shape or len(xs) != count:
        raise ValueError(f"{len(xs)} x, {len(ys)} y and {count} texts")
    if not len(xs):
        return []
    display = ax.transData.transform(np.column_stack([xs, ys]))
    cx = display[:, 0] - frame.x0
    cy = frame.y1 - display[:, 1]
    good = np.isfinite(cx) & np.isfinite(cy)
    cx, cy = np.where(good, cx, -FAR), np.where(good, cy, -FAR)
    return list(zip(cx.tolist(), cy.tolist(), strict=True))


def draw_placement(
    ax: Axes, frame: Bbox, placement: Placement, texts: Sequence[str], style: TextStyle
) -> tuple[list[Text], list[Line2D]]:
    """Text artists and leader lines for the shown labels, in data coordinates. A
    call completes or leaves the axes as it found them: an error or an interrupt
    while the artists are made takes back those made so far."""
    to_data = ax.transData.inverted()
    corners = []
    for i in placement.shown:
        box = placement.boxes[i]
        assert box is not None
        corners.append((frame.x0 + box[0], frame.y1 - box[1]))
    # One transform for all labels, one font per size (each Text copies its own).
    anchors = to_data.transform(np.array(corners).reshape(-1, 2)).tolist()
    fonts: dict[int, FontProperties] = {}
    text_kw = dict(style.text_kw)
    # Axes.text gives each text the axes' clip path, built anew per text unless
    # one is given: one shared path instead costs nothing (texts are not clipped
    # unless clip_on=True, and then to the same path).
    if text_kw.get("clip_path") is None:
        text_kw["clip_path"] = TransformedPatchPath(ax.patch)
    artists: list[Text] = []
    lines: list[Line2D] = []
    try:
        for i, (tx, ty) in zip(placement.shown, anchors, strict=True):
            result = placement.results[i]
            assert result is not None
            drawn = fonts.get(result.fontSize)
            if drawn is None:
                drawn = fonts[result.fontSize] = style.font.copy()
                drawn.set_size(result.fontSize / TENTHS)
            artists.append(
                ax.text(
                    tx,
                    ty,
                    texts[i],
                    fontproperties=drawn,
                    ha="left",
                    va="top",
                    parse_math=False,
                    **text_kw,
                )  # fmt: skip
            )
        for segment in placement.leader_lines.values():
            (x0, y0), (x1, y1) = to_data.transform(
                [
                    (frame.x0 + segment[0], frame.y1 - segment[1]),
                    (frame.x0 + segment[2], frame.y1 - segment[3]),
                ]
            )
            line = Line2D([x0, x1], [y0, y1], **style.line_kw)
            # Not through Axes.plot: a line must not move the data limits, which
            # autoscaling would turn into new view limits after the labels are placed.
            ax.add_artist(line)
            lines.append(line)
    except BaseException:
        for artist in [*artists, *lines]:
            artist.remove()
        raise
    return artists, lines


def placement_readability(
    placement: Placement, texts: Sequence[str], measure: FontMeasurer, base: Sequence[int]
) -> Readability:
    """What a reader sees of the placement: the texts' exact extents, not the whole
    pixels reserved for them."""
    extents = []
    smaller = []
    for i in placement.shown:
        result, box = placement.results[i], placement.boxes[i]
        assert result is not None and box is not None
        extent = measure.extent(texts[i], result.fontSize)
        extents.append((box[0], box[1], box[0] + extent.width, box[1] + extent.height))
        smaller.append(result.fontSize < base[i])
    return placement.readability(extents, smaller)
