"""Labelling matplotlib plots: a measurer in a figure's display pixels, and a
one-call helper that labels the points of an Axes."""

from __future__ import annotations

import functools
import math
import numbers
import os
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Literal

from ._optional import missing

try:
    import numpy as np
    from matplotlib.axes import Axes
    from matplotlib.backend_bases import RendererBase
    from matplotlib.figure import Figure
    from matplotlib.font_manager import FontProperties, font_scalings
    from matplotlib.lines import Line2D
    from matplotlib.text import Text
    from matplotlib.transforms import TransformedPatchPath
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.mpl", "matplotlib") from None

import quillset

from .mpl_measure import FontMeasurer
from .quality import Readability, readability
from .readable import place_readable


def figure_renderer(figure: Figure) -> RendererBase:
    """The renderer of `figure`, after laying the figure out once without output."""
    figure.draw_without_rendering()
    # The canvas's own renderer where it has one (Agg and its relatives), else the
    # one that matplotlib builds to lay out any figure.
    renderer: RendererBase = figure._get_renderer()  # type: ignore[attr-defined]
    return renderer


def matplotlib_measurer(
    figure: Figure, font: FontProperties | None = None, renderer: RendererBase | None = None
) -> FontMeasurer:
    """Measures texts as `figure` draws them, in display pixels: with `font`
    (matplotlib's default font when None) at the size asked for, in points, as plain
    text (not math text), from the font's own glyph metrics (see FontMeasurer). The
    size is that of the drawn text's extent, which reaches at least the font's own
    ascent and descent. `renderer` defaults to the figure's."""
    drawer = figure_renderer(figure) if renderer is None else renderer
    return FontMeasurer(font, figure.dpi, renderer=drawer)


TENTHS = 10
"""label_points hands the engine font sizes in tenths of a point."""

# Keywords of Axes.text that label_points sets itself.
_OWN = {
    "x": "x",
    "y": "y",
    "s": "the text",
    "text": "the text",
    "ha": "the alignment",
    "horizontalalignment": "the alignment",
    "va": "the alignment",
    "verticalalignment": "the alignment",
    "transform": "the position",
    "parse_math": "plain text (math text is not parsed)",
    "fontproperties": "font=",
    "font_properties": "font=",
    "font": "font=",
    "size": "fontsize=",
    "fontsize": "fontsize=",
}
# Keywords that change the text's extent in a way the measurer does not follow.
_REFUSED = {"usetex", "wrap", "fontfeatures", "language", "math_fontfamily"}
# Font keywords folded into the measured (and drawn) font.
_FONT = {
    "family": "set_family",
    "fontfamily": "set_family",
    "name": "set_family",
    "fontname": "set_family",
    "weight": "set_weight",
    "fontweight": "set_weight",
    "style": "set_style",
    "fontstyle": "set_style",
    "stretch": "set_stretch",
    "fontstretch": "set_stretch",
    "variant": "set_variant",
    "fontvariant": "set_variant",
}


def font_size_points(fontsize: object) -> float:
    """A font size as matplotlib users write it (a number of points, as a number or
    a string, or a named size such as "small") in points, for label_points'
    `fontsize`. Sizes below 1 point, which FreeType cannot draw (matplotlib draws
    them at 1 point), are refused, whether given as numbers or as strings."""
    if isinstance(fontsize, bool) or not isinstance(fontsize, (numbers.Real, str)):
        raise TypeError(
            "label_points: fontsize must be a number of points or a named size "
            f"such as 'small', not {type(fontsize).__name__}"
        )
    if isinstance(fontsize, str):
        try:
            points = float(fontsize)
        except ValueError:
            try:
                points = FontProperties(size=fontsize).get_size_in_points()
            except ValueError:
                raise ValueError(
                    f"label_points: fontsize {fontsize!r} is neither a number nor a named "
                    f"size ({', '.join(str(k) for k in font_scalings if k)})"
                ) from None
    else:
        points = float(fontsize)
    if not math.isfinite(points) or not 1.0 <= points <= 3000.0:
        raise ValueError(f"label_points: fontsize must be 1 to 3000 points, not {fontsize!r}")
    return points


def font_properties(font: object) -> FontProperties:
    """label_points' `font` as matplotlib's Text takes it: FontProperties, a family
    name or fontconfig pattern (str), the path of a font file, or a dict of
    FontProperties' keywords; None is the default font."""
    if font is None:
        return FontProperties()
    if isinstance(font, FontProperties):
        return font
    if isinstance(font, str):
        return FontProperties(font)
    if isinstance(font, os.PathLike):
        return FontProperties(fname=font)
    if isinstance(font, dict):
        return FontProperties(**font)
    raise TypeError(
        "label_points: font must be FontProperties, a family name, a font file's path "
        f"or a dict of FontProperties keywords, not {type(font).__name__}"
    )


def _number(value: object, name: str) -> float:
    """A finite real number (NaN passes through, to fail the caller's range check)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"label_points: {name} must be a number, not {type(value).__name__}")
    number = float(value)
    if math.isinf(number):
        raise ValueError(f"label_points: {name} must be finite, not {value!r}")
    return number


def label_texts(texts: Iterable[object]) -> list[str]:
    """Texts as Axes.text takes them, in order (a pandas Series by position): any
    object as its str(), None as an empty text. Bytes are refused: which encoding
    they hold is the caller's to say."""
    out = []
    for i, text in enumerate(texts):
        if isinstance(text, (bytes, bytearray)):
            raise TypeError(
                f"label_points: texts[{i}] is {type(text).__name__}: decode it to str "
                "first (for example text.decode('utf-8'))"
            )
        out.append("" if text is None else str(text))
    return out


def _split_kwargs(
    base: FontProperties, text_kwargs: dict[str, Any]
) -> tuple[FontProperties, float | str, dict[str, Any]]:
    """The measured font with the font keywords folded in, the line spacing, and
    the keywords left for Axes.text."""
    prop = base.copy()
    linespacing: float | str = "normal"
    rest = {}
    for key, value in text_kwargs.items():
        if key in _OWN:
            raise TypeError(f"label_points sets {key!r} itself: use {_OWN[key]}")
        if key in _REFUSED:
            if key in ("usetex", "wrap") and not value:
                continue
            raise ValueError(f"label_points cannot measure text drawn with {key}={value!r}")
        if key in _FONT:
            getattr(prop, _FONT[key])(value)
        elif key == "rotation":
            if value not in (None, 0, 0.0, "horizontal"):
                raise ValueError(
                    f"label_points places horizontal text only, not rotation={value!r}"
                )
        elif key == "linespacing":
            if value is not None:
                linespacing = float(value)
                if not math.isfinite(linespacing) or linespacing <= 0:
                    raise ValueError(f"label_points: linespacing must be positive, not {value!r}")
            rest[key] = value
        else:
            rest[key] = value
    return prop, linespacing, rest


class LabelResult:
    """What label_points drew."""

    def __init__(
        self,
        texts: list[Text],
        lines: list[Line2D],
        shown: list[int],
        hidden: list[int],
        leaders: list[int],
        figures: Callable[[], Readability],
    ) -> None:
        self.texts = texts
        """the Text artists of the drawn labels, in the order of `shown`"""
        self.lines = lines
        """one Line2D per leader line, in data coordinates, in the order of `leaders`"""
        self.shown = shown
        """indices into the input of the labels drawn, ascending"""
        self.hidden = hidden
        """indices into the input of the labels not drawn (points outside the axes
        included), ascending"""
        self.leaders = leaders
        """indices of the labels drawn away from their point, with a line"""
        self._figures = figures

    @functools.cached_property
    def quality(self) -> Readability:
        """What a reader sees, in display pixels, from the texts' exact extents:
        overlaps among the drawn texts, texts over point boxes, texts outside the
        axes, leader lines. Counted when first asked for."""
        return self._figures()

    def __repr__(self) -> str:
        return (
            f"LabelResult(shown={len(self.shown)}, hidden={len(self.hidden)}, "
            f"leaders={len(self.leaders)})"
        )


def label_points(
    ax: Axes,
    x: Iterable[float],
    y: Iterable[float],
    texts: Sequence[str],
    *,
    fontsize: float | str = 10,
    overlap: Literal["allow", "hide"] = "allow",
    priority: Sequence[float] | None = None,
    leaders: bool = False,
    max_distance: float | None = None,
    font: FontProperties | None = None,
    point_radius: float = 3.0,
    config: quillset.LayoutConfig | None = None,
    **text_kwargs: Any,
) -> LabelResult:
    """Labels the points (x[i], y[i]) of `ax`, given in data coordinates, with
    texts[i]: each label sits beside its point inside the axes, avoids covering
    points and overlaps the other labels as little as possible, shrinking to 0.9,
    0.8 or 0.75 of `fontsize` where that helps.

    `fontsize` is in points (any positive number; fractions and sizes below 9
    included) or a named size ("small", "x-small", ...). `overlap="hide"` draws
    only labels whose text overlaps no other drawn text and no point and lies
    inside the axes, texts side by side a fifth of their height apart, deciding
    by `priority` (one number per point, larger first; default: input order).
    With `leaders=True` (only with "hide") labels without room beside their
    point may sit up to `max_distance` points away (default: 8 line heights, at
    most a fifth of the axes' longer side; more important labels first), joined
    to it by a thin line that crosses no drawn label.

    `point_radius` (points) is the room kept free around each point; `config`
    tunes the engine (without it, "allow" runs a grid and passes suited to the
    label size; with "hide" the helper picks its gridSize and multiplies its two
    overlap weights by 100, see place_readable). Keywords
    go to Axes.text: font keywords (family, weight, style, stretch, variant) and
    linespacing are measured; size and fontproperties are given as `fontsize` and
    `font`; rotation other than 0, usetex, wrap and font features are refused, as
    are the keywords that the helper sets itself (x, y, s, ha, va, transform,
    parse_math). Text is drawn as plain text, without math text. Leader lines take
    the text's color and alpha. Set the figure's size, limits and layout first: the
    helper draws the figure once to measure it. Points outside the axes get no
    label."""
    points_size = font_size_points(fontsize)
    base_size = round(points_size * TENTHS)
    if max_distance is not None and not _number(max_distance, "max_distance") > 0:
        raise ValueError(f"label_points: max_distance must be positive, not {max_distance!r}")
    if not _number(point_radius, "point_radius") >= 0:
        raise ValueError(f"label_points: point_radius must be 0 or more, not {point_radius!r}")
    texts = label_texts(texts)
    prop, linespacing, draw_kwargs = _split_kwargs(font_properties(font), text_kwargs)
    figure = ax.figure
    while not isinstance(figure, Figure):  # a subfigure: its parent holds the renderer
        figure = figure.figure
    renderer = figure_renderer(figure)
    measure = FontMeasurer(
        prop, figure.dpi, unit=TENTHS, linespacing=linespacing, renderer=renderer
    )
    frame = ax.get_window_extent(renderer)
    scale = figure.dpi / 72.0

    xs = np.asarray(list(x), dtype=float)
    ys = np.asarray(list(y), dtype=float)
    if xs.shape != ys.shape or len(xs) != len(texts):
        raise ValueError(f"{len(xs)} x, {len(ys)} y and {len(texts)} texts")
    if len(xs):
        display = ax.transData.transform(np.column_stack([xs, ys]))
        cx = display[:, 0] - frame.x0
        cy = frame.y1 - display[:, 1]  # the engine's y grows downward
        good = np.isfinite(cx) & np.isfinite(cy)
        cx, cy = np.where(good, cx, -1e9), np.where(good, cy, -1e9)
        points = list(zip(cx.tolist(), cy.tolist(), strict=True))
    else:
        points = []
    placement = place_readable(
        int(frame.width),
        int(frame.height),
        points,
        list(texts),
        measure,
        base_size,
        radius=point_radius * scale,
        overlap=overlap,
        priority=priority,
        leaders=leaders,
        max_distance=None if max_distance is None else max_distance * scale,
        config=config,
    )

    to_data = ax.transData.inverted()
    artists: list[Text] = []
    corners = []
    for i in placement.shown:
        box = placement.boxes[i]
        assert box is not None
        corners.append((frame.x0 + box[0], frame.y1 - box[1]))
    # One transform for all labels, one font per size (each Text copies its own).
    anchors = to_data.transform(np.array(corners).reshape(-1, 2)).tolist()
    fonts: dict[int, FontProperties] = {}
    # Axes.text gives each text the axes' clip path, built anew per text unless
    # one is given: one shared path instead costs nothing (texts are not clipped
    # unless clip_on=True, and then to the same path).
    clip = draw_kwargs.pop("clip_path", None)
    if clip is None:
        clip = TransformedPatchPath(ax.patch)
    lines: list[Line2D] = []
    # A call completes or leaves the axes as it found them: an error or an
    # interrupt while the artists are made takes back those made so far.
    try:
        for i, (tx, ty) in zip(placement.shown, anchors, strict=True):
            result = placement.results[i]
            assert result is not None
            drawn = fonts.get(result.fontSize)
            if drawn is None:
                drawn = fonts[result.fontSize] = prop.copy()
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
                    clip_path=clip,
                    **draw_kwargs,
                )
            )
        color = draw_kwargs.get("color", draw_kwargs.get("c", "0.3"))
        for segment in placement.leaders.values():
            (x0, y0), (x1, y1) = to_data.transform(
                [
                    (frame.x0 + segment[0], frame.y1 - segment[1]),
                    (frame.x0 + segment[2], frame.y1 - segment[3]),
                ]
            )
            line = Line2D(
                [x0, x1], [y0, y1], linewidth=0.6, color=color, alpha=draw_kwargs.get("alpha")
            )
            # Not through Axes.plot: a line must not move the data limits, which
            # autoscaling would turn into new view limits after the labels are placed.
            ax.add_artist(line)
            lines.append(line)
    except BaseException:
        for artist in [*artists, *lines]:
            artist.remove()
        raise

    def figures() -> Readability:
        # What a reader sees: the texts' exact extents, not the whole pixels reserved.
        shown_boxes = []
        smaller = 0
        for i in placement.shown:
            result, box = placement.results[i], placement.boxes[i]
            assert result is not None and box is not None
            extent = measure.extent(texts[i], result.fontSize)
            shown_boxes.append((box[0], box[1], box[0] + extent.width, box[1] + extent.height))
            smaller += result.fontSize < base_size
        return readability(
            shown_boxes,
            placement.markers,
            frame.width,
            frame.height,
            hidden=len(placement.hidden),
            leaders=list(placement.leaders.values()),
            smaller_tier=smaller,
        )

    return LabelResult(
        artists, lines, placement.shown, placement.hidden, list(placement.leaders), figures
    )
