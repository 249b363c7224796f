"""Labelling matplotlib plots: a measurer that asks the figure's renderer, and a
one-call helper that labels the points of an Axes."""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from typing import Any

from matplotlib.axes import Axes
from matplotlib.backend_bases import RendererBase
from matplotlib.figure import Figure
from matplotlib.font_manager import FontProperties
from matplotlib.text import Text
from matplotlib.transforms import IdentityTransform

import quillset

from .measure import Measurer, Memoized
from .quality import is_fallback


def figure_renderer(figure: Figure) -> RendererBase:
    """The renderer of `figure`, after laying the figure out once without output."""
    figure.draw_without_rendering()
    # The canvas's own renderer where it has one (Agg and its relatives), else the
    # one that matplotlib builds to lay out any figure.
    renderer: RendererBase = figure._get_renderer()  # type: ignore[attr-defined]
    return renderer


def matplotlib_measurer(
    figure: Figure, font: FontProperties | None = None, renderer: RendererBase | None = None
) -> Measurer:
    """Measures texts as `figure` draws them, in display pixels: with `font`
    (matplotlib's default font when None) at the size asked for, in points, as plain
    text (not mathtext). The size is that of the drawn text's extent, which reaches
    at least the font's own ascent and descent. `renderer` defaults to the figure's."""
    base = FontProperties() if font is None else font
    drawer = figure_renderer(figure) if renderer is None else renderer

    def measure(text: str, font_size: int) -> quillset.TextSize:
        prop = base.copy()
        prop.set_size(font_size)
        # Baseline at the display origin: the extent gives ascent and descent apart.
        probe = Text(0, 0, text, fontproperties=prop, va="baseline", parse_math=False)
        probe.set_figure(figure)
        probe.set_transform(IdentityTransform())
        extent = probe.get_window_extent(drawer)
        return quillset.TextSize(
            math.ceil(extent.width), math.ceil(extent.y1), math.ceil(-extent.y0)
        )

    return measure


def label_points(
    ax: Axes,
    x: Iterable[float],
    y: Iterable[float],
    texts: Sequence[str],
    *,
    fontsize: int = 10,
    font: FontProperties | None = None,
    point_radius: float = 3.0,
    config: quillset.LayoutConfig | None = None,
    **text_kwargs: Any,
) -> list[Text]:
    """Labels the points (x[i], y[i]) of `ax`, given in data coordinates, with
    texts[i]: each label sits beside its point inside the axes, avoids covering
    points and overlaps the other labels as little as possible, shrinking to 0.9, 0.8 or 0.75
    of `fontsize` (points) where that helps.

    `point_radius` (points) is the room kept free around each point; `config` tunes
    the placement; `text_kwargs` go to Axes.text (colour, alpha, ...). Set the
    figure's size, limits and layout first: the helper draws the figure once to
    measure it. Points outside the axes get no label. Returns the Text artists
    added, in the order of the points, one per label that found a place.
    """
    figure = ax.figure
    while not isinstance(figure, Figure):  # a subfigure: its parent holds the renderer
        figure = figure.figure
    renderer = figure_renderer(figure)
    base = FontProperties() if font is None else font
    frame = ax.get_window_extent(renderer)
    scale = figure.dpi / 72.0
    radius = point_radius * scale

    engine = quillset.Quillset(
        int(frame.width),
        int(frame.height),
        Memoized(matplotlib_measurer(figure, base, renderer)),
        quillset.LayoutConfig() if config is None else config,
    )
    to_display = ax.transData
    kept: list[str] = []
    points = list(zip(x, y, strict=True))
    if len(points) != len(texts):
        raise ValueError(f"{len(points)} points but {len(texts)} texts")
    for (px, py), text in zip(points, texts, strict=True):
        dx, dy = to_display.transform((px, py))
        cx, cy = dx - frame.x0, frame.y1 - dy  # the engine's y grows downward
        if not (0.0 <= cx <= frame.width and 0.0 <= cy <= frame.height):
            continue
        engine.add(cx - radius, cy - radius, cx + radius, cy + radius, text, fontsize)
        kept.append(text)
    engine.solve()

    to_data = ax.transData.inverted()
    artists = []
    for result, text in zip(engine.layout(), kept, strict=True):
        if is_fallback(result):
            continue
        bx = frame.x0 + result.left + result.padding_x
        by = frame.y1 - (result.top + result.padding_y + result.textAscent)
        tx, ty = to_data.transform((bx, by))
        prop = base.copy()
        prop.set_size(result.fontSize)
        artists.append(
            ax.text(
                tx,
                ty,
                text,
                fontproperties=prop,
                ha="left",
                va="baseline",
                parse_math=False,
                **text_kwargs,
            )
        )
    return artists
