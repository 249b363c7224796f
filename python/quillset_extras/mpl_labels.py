"""The labels of one label_points call as an artist of the axes: placed when the
figure is drawn, with the renderer that draws it, and placed again whenever a
draw finds another geometry (limits, the axes' size or place, dpi, renderer);
or placed once and frozen, as plain texts and lines that follow their points.

A placement measures with the font's own metrics (cached by text and size),
gathers what else the axes draw (quillset_extras.mpl_obstacles), maps the points
forward through their transform into the axes' canvas, and runs place_readable.
"""

from __future__ import annotations

import copy
import weakref
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from ._optional import missing

try:
    import numpy as np
    from matplotlib import cbook, patheffects
    from matplotlib.artist import Artist
    from matplotlib.axes import Axes
    from matplotlib.backend_bases import RendererBase
    from matplotlib.backends.backend_agg import RendererAgg
    from matplotlib.collections import Collection
    from matplotlib.figure import Figure
    from matplotlib.font_manager import FontProperties
    from matplotlib.legend import Legend
    from matplotlib.lines import Line2D
    from matplotlib.patches import Ellipse, PathPatch, Polygon, Rectangle, Wedge
    from matplotlib.quiver import Barbs, Quiver
    from matplotlib.spines import Spine
    from matplotlib.text import Text
    from matplotlib.transforms import (
        Affine2D,
        Bbox,
        IdentityTransform,
        ScaledTranslation,
        Transform,
        TransformedPatchPath,
    )
    from numpy.typing import NDArray
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.mpl_labels", "matplotlib") from None

import quillset

from .geometry import Box
from .mpl_measure import FontMeasurer
from .mpl_obstacles import (
    PointMarkers,
    axes_over,
    drawn_first,
    figure_artists,
    gather_obstacles,
    point_markers,
)
from .mpl_style import TENTHS, TextStyle
from .quality import Readability
from .readable import Placement, place_readable
from .scene import FAR

Floats = NDArray[np.float64]

# Text of labels whose fonts differ: the engine measures a text by its string,
# so each carries its font's number between these marks.
_FONT_MARK = "\x01"
# Drawn texts' halo: a stroke of this width, in points, in the axes' colour.
_HALO_WIDTH = 2.5


@dataclass(frozen=True)
class Request:
    """What label_points was asked for, apart from the figure's geometry."""

    x: Floats
    y: Floats
    """the points, in the coordinates of `transform`"""
    texts: list[str]
    transform: Any
    """None for the axes' data coordinates, or a Transform, or what Axes.text
    takes as one (an object with _as_mpl_transform, such as a cartopy CRS)"""
    sizes: list[int]
    """each label's size in tenths of a point"""
    fonts: list[FontProperties]
    font_of: list[int]
    """each label's font, an index into `fonts`"""
    style: TextStyle
    per_label: dict[str, list[Any]]
    """Text properties given one per label"""
    overlap: str
    priority: Any
    leaders: bool
    max_distance: float | None
    """points"""
    point_radius: float
    """points"""
    config: quillset.LayoutConfig | None
    shrink: bool
    avoid: Sequence[Artist] | None
    halo: bool


class PointLabels(Artist):
    """The labels of one label_points call, drawn by the axes like any artist.

    At every draw whose geometry differs from the last placement's, the labels
    are placed again; then the shown texts and their leader lines are drawn.
    `shown`, `hidden`, `texts`, `lines` and `leader_labels` always hold what the
    last placement drew (the lists are updated in place; empty before the first)."""

    zorder = 3

    def __init__(self, ax: Axes, request: Request) -> None:
        super().__init__()
        self.set_in_layout(False)
        self._ax = ax
        self.request = request
        self.placement: Placement | None = None
        self.shown: list[int] = []
        self.hidden: list[int] = []
        self.texts: list[Text] = []
        self.lines: list[Line2D] = []
        self.leader_labels: list[int] = []
        self.frozen = False
        self._key: tuple[Any, ...] | None = None
        self._measurers: dict[tuple[int, float, float, bool], FontMeasurer] = {}
        self._measured_at: tuple[float, float, bool] = (0.0, 0.0, True)
        self._artists: dict[int, Text] = {}
        self._readability: Readability | None = None
        self._text_kw: dict[str, Any] | None = None
        self._fonts: dict[tuple[int, int], FontProperties] = {}
        self._models: dict[tuple[int, int], Text] = {}
        self.placements = 0
        """how many times the labels were placed"""

    # Placement -----------------------------------------------------------------

    def place(self, renderer: RendererBase) -> bool:
        """Places the labels for the geometry that `renderer` draws, unless the
        last placement had the same; returns whether it placed."""
        key = self._geometry(renderer)
        if self.frozen or key == self._key:
            return False
        ax, request = self._ax, self.request
        frame = ax.get_window_extent(renderer)
        dpi = _root(ax).dpi
        transform = point_transform(ax, request.transform)
        markers = point_markers(ax, renderer, request.x, request.y, transform)
        points = canvas_points(transform, frame, request.x, request.y)

        def display() -> NDArray[np.float64]:
            xy = np.array(points, float).reshape(-1, 2)
            return np.column_stack([xy[:, 0] + frame.x0, frame.y1 - xy[:, 1]])

        obstacles = gather_obstacles(
            ax, renderer, exclude=self._own_artists(), avoid=request.avoid, markers=markers,
            points=display,
        )  # fmt: skip
        scale = dpi / 72.0
        placement = place_readable(
            int(frame.width),
            int(frame.height),
            points,
            self._engine_texts(),
            self._measure(dpi, renderer),
            request.sizes,
            markers=marker_boxes(points, markers, request.point_radius * scale),
            overlap=request.overlap,  # type: ignore[arg-type]
            priority=request.priority,
            leaders=request.leaders,
            max_distance=None if request.max_distance is None else request.max_distance * scale,
            config=request.config,
            shrink=request.shrink,
            obstacles=[*obstacles.boxes, *self._other_labels(renderer, frame)],
            mask=obstacles.mask,
        )
        self._show(placement, frame)
        self._key = key
        self.placements += 1
        return True

    def _geometry(self, renderer: RendererBase) -> tuple[Any, ...]:
        ax = self._ax
        children = tuple(_state(a) for a in ax.get_children() if a is not self)
        # Twins and axes laid over these, and the figure's own artists over them.
        over = tuple(
            (weakref.ref(other), whole,
             tuple(float(f"{v:.12g}") for v in other.viewLim.bounds),
             tuple(round(v, 2) for v in other.bbox.bounds),
             () if whole else tuple(_state(a) for a in other.get_children()))
            for other, whole in axes_over(ax)
        )  # fmt: skip
        figure = tuple(_state(a) for a in figure_artists(ax, reaching=False))
        # Rounded: a layout engine lays the axes out anew at every draw, and its
        # floats may differ in the last digits from one draw to the next.
        return (
            type(renderer),
            _root(ax).dpi,
            tuple(round(v, 2) for v in ax.get_window_extent(renderer).bounds),
            tuple(float(f"{v:.12g}") for v in ax.viewLim.bounds),
            ax.get_xscale(),
            ax.get_yscale(),
            children,
            over,
            figure,
        )

    def _own_artists(self) -> list[Artist]:
        """What gathering obstacles must skip: every label set of the axes (the
        others count through _other_labels), and this one's texts and lines."""
        return [self, *_sets_of(self._axes_seen()), *self.texts, *self.lines]

    def _axes_seen(self) -> list[Axes]:
        """These axes and the others whose artists show within their frame."""
        return [self._ax, *(other for other, whole in axes_over(self._ax) if not whole)]

    def _engine_texts(self) -> list[str]:
        request = self.request
        if len(request.fonts) == 1:
            return request.texts
        return [
            f"{_FONT_MARK}{f}{_FONT_MARK}{t}"
            for f, t in zip(request.font_of, request.texts, strict=True)
        ]

    def measurer(self, font: int, dpi: float, renderer: RendererBase) -> FontMeasurer:
        """The measurer of one font at one dpi, kept across placements. Only an
        Agg renderer draws text at its own dpi, hinted; a vector backend's
        renderer holds the dpi of its raster parts while its text is laid out
        unhinted at the figure's."""
        raster = isinstance(renderer, RendererAgg)
        renderer_dpi = float(getattr(renderer, "dpi", dpi)) if raster else dpi
        key = (font, dpi, renderer_dpi, raster)
        self._measured_at = key[1:]
        found = self._measurers.get(key)
        if found is None:
            found = self._measurers[key] = FontMeasurer(
                self.request.fonts[font],
                dpi,
                unit=TENTHS,
                linespacing=self.request.style.linespacing,
                renderer=renderer if raster else None,
                hinted=raster,
            )
        return found

    def _measure(self, dpi: float, renderer: RendererBase) -> Callable[[str, int], Any]:
        if len(self.request.fonts) == 1:
            return self.measurer(0, dpi, renderer)
        measurers = [self.measurer(f, dpi, renderer) for f in range(len(self.request.fonts))]

        def measure(text: str, size: int) -> quillset.TextSize:
            if text.startswith(_FONT_MARK):
                font, _, text = text[1:].partition(_FONT_MARK)
                return measurers[int(font)](text, size)
            return measurers[0](text, size)

        return measure

    def _other_labels(self, renderer: RendererBase, frame: Bbox) -> list[Box]:
        """The texts and leader lines of the other label sets drawn before this
        one in this draw, of these axes or of axes seen within their frame (a
        twin's), as boxes in the canvas."""
        boxes: list[Box] = []
        for other in self._sets_before():
            for text in other.texts:
                e = text.get_window_extent(renderer)
                boxes.append((e.x0 - frame.x0, frame.y1 - e.y1, e.x1 - frame.x0, frame.y1 - e.y0))
            for line in other.lines:
                boxes += _segment_boxes(line, frame)
        return boxes

    def sets_after(self) -> list[PointLabels]:
        """The label sets of axes seen within these axes' frame (a twin's) that
        the figure draws after this one: they avoid this set's texts."""
        return [other for other in _sets_of(self._axes_seen()[1:]) if self in other._sets_before()]

    def _sets_before(self) -> list[PointLabels]:
        """The other label sets whose texts this one avoids: those of these
        axes, and those of axes seen within their frame that the figure draws
        first (a twin drawn later avoids this set's texts in turn)."""
        ax = self._ax
        found = [a for a in ax.get_children() if isinstance(a, PointLabels) and a is not self]
        return found + _sets_of([o for o in self._axes_seen()[1:] if drawn_first(o, ax)])

    # Artists -------------------------------------------------------------------

    def _show(self, placement: Placement, frame: Bbox) -> None:
        """Makes the texts and lines of the placement, keeping the Text of a
        label shown before."""
        request, ax = self.request, self._ax
        figure = ax.figure
        texts: list[Text] = []
        for i in placement.shown:
            box, size = placement.boxes[i], placement.font_sizes[i]
            assert box is not None and size is not None
            x, y = frame.x0 + box[0], frame.y1 - box[1]
            text = self._artists.get(i)
            if text is None:
                text = self._artists[i] = self._make_text(i, x, y, size)
            else:
                text.set_position((x, y))
                if text.get_fontsize() != size / TENTHS:
                    text.set_fontsize(size / TENTHS)
            texts.append(text)
        lines = []
        for segment in placement.leader_lines.values():
            line = Line2D(
                [frame.x0 + segment[0], frame.x0 + segment[2]],
                [frame.y1 - segment[1], frame.y1 - segment[3]],
                transform=IdentityTransform(),
                **request.style.line_kw,
            )
            line.set_figure(figure)
            line.axes = ax
            lines.append(line)
        self.placement = placement
        self._readability = None
        self.shown[:] = placement.shown
        self.hidden[:] = placement.hidden
        self.texts[:] = texts
        self.lines[:] = lines
        self.leader_labels[:] = list(placement.leader_lines)

    def _make_text(self, i: int, x: float, y: float, size: int) -> Text:
        request, ax = self.request, self._ax
        kw = self._text_kw
        if kw is None:
            kw = self._text_kw = dict(request.style.text_kw)
            if request.halo and "path_effects" not in kw:
                kw["path_effects"] = [
                    patheffects.withStroke(linewidth=_HALO_WIDTH, foreground=ax.get_facecolor())
                ]
            if kw.get("clip_path") is None:
                # One shared path: texts are clipped to it only with clip_on=True.
                kw["clip_path"] = TransformedPatchPath(ax.patch)
            kw.setdefault("clip_on", False)  # as Axes.text
            kw["transform"] = IdentityTransform()
        # One font per size: each Text copies the one it is given.
        key = (request.font_of[i], size)
        font = self._fonts.get(key)
        if font is None:
            font = self._fonts[key] = request.fonts[key[0]].copy()
            font.set_size(size / TENTHS)
        if request.per_label:
            kw = {**kw, **{key: values[i] for key, values in request.per_label.items()}}
            return self._new_text(x, y, request.texts[i], font, kw)
        # Labels of one font and size differ only in their text and place: each
        # is a copy of one made once (a Text costs ten times a copy to make), with
        # its own font and callbacks, the parts of a Text that change in place.
        model = self._models.get(key)
        if model is None:
            model = self._models[key] = self._new_text(0.0, 0.0, "", font, kw)
        if not hasattr(model, "_callbacks") or model.get_bbox_patch() is not None:
            return self._new_text(x, y, request.texts[i], font, kw)
        text = copy.copy(model)
        text._callbacks = cbook.CallbackRegistry(signals=["pchanged"])
        text.set_fontproperties(font)
        text.set_text(request.texts[i])
        text.set_position((x, y))
        return text

    def _new_text(self, x: float, y: float, s: str, font: FontProperties, kw: Any) -> Text:
        text = Text(x, y, s, fontproperties=font, ha="left", va="top", parse_math=False, **kw)
        text.set_figure(self._ax.figure)
        text.axes = self._ax
        return text

    def freeze(self) -> None:
        """Keeps the current placement: its texts and lines become plain artists
        of the axes, each placed at an offset from its point, which they follow;
        no draw places them again."""
        placement, ax = self.placement, self._ax
        assert placement is not None
        transform = point_transform(ax, self.request.transform)
        figure = _root(ax)
        scale = 72.0 / figure.dpi
        for i, text in zip(placement.shown, self.texts, strict=True):
            px, py = transform.transform((self.request.x[i], self.request.y[i]))
            x, y = text.get_position()
            text.set_transform(offset_from(figure, transform, self.request.x[i], self.request.y[i]))
            text.set_position(((x - px) * scale, (y - py) * scale))
            ax.add_artist(text)
        for i, line in zip(placement.leader_lines, self.lines, strict=True):
            px, py = transform.transform((self.request.x[i], self.request.y[i]))
            xs, ys = line.get_data()
            line.set_transform(offset_from(figure, transform, self.request.x[i], self.request.y[i]))
            line.set_data(
                [(v - px) * scale for v in xs],  # type: ignore[union-attr]
                [(v - py) * scale for v in ys],  # type: ignore[union-attr]
            )
            ax.add_artist(line)
        self.frozen = True
        self.remove()

    # Drawing ---------------------------------------------------------------------

    def draw(self, renderer: RendererBase) -> None:
        if not self.get_visible() or self.frozen:
            return
        self.place(renderer)
        for artist in [*self.lines, *self.texts]:
            artist.draw(renderer)
        self.stale = False

    def readability(self, renderer: RendererBase | None = None) -> Readability:
        """What a reader sees of the last placement, from the texts' exact extents."""
        if self._readability is None:
            placement = self.placement
            assert placement is not None
            extents, smaller = [], []
            for i in placement.shown:
                size, box = placement.font_sizes[i], placement.boxes[i]
                assert size is not None and box is not None
                # The measurer of the last placement.
                measure = self._measurers[(self.request.font_of[i], *self._measured_at)]
                extent = measure.extent(self.request.texts[i], size)
                extents.append((box[0], box[1], box[0] + extent.width, box[1] + extent.height))
                smaller.append(size < self.request.sizes[i])
            self._readability = placement.readability(extents, smaller)
        return self._readability


def point_transform(ax: Axes, transform: Any) -> Transform:
    """The transform from the points' coordinates to display pixels, as
    Axes.text would take `transform` (None for the data coordinates)."""
    if transform is None:
        return ax.transData
    if hasattr(transform, "_as_mpl_transform"):  # a cartopy CRS, say
        found: Transform = transform._as_mpl_transform(ax)
        return found
    if isinstance(transform, Transform):
        return transform
    raise TypeError(
        f"label_points: transform must be a matplotlib Transform, not {type(transform).__name__}"
    )


def canvas_points(
    transform: Transform, frame: Bbox, x: Floats, y: Floats
) -> list[tuple[float, float]]:
    """The points in the axes' canvas (display pixels from its top-left corner, y
    downward), forward through `transform`; those not finite far off it."""
    if not len(x):
        return []
    with np.errstate(all="ignore"):
        display = np.asarray(transform.transform(np.column_stack([x, y])), dtype=float)
    cx = display[:, 0] - frame.x0
    cy = frame.y1 - display[:, 1]
    good = np.isfinite(cx) & np.isfinite(cy)
    cx, cy = np.where(good, cx, -FAR), np.where(good, cy, -FAR)
    return list(zip(cx.tolist(), cy.tolist(), strict=True))


def marker_boxes(
    points: Sequence[tuple[float, float]], drawn: PointMarkers | None, radius: float
) -> list[Box]:
    """Each point's marker box in the canvas: as drawn where a scatter or line
    draws it, else a square of half-side `radius`."""
    half_w = np.full(len(points), radius)
    half_h = np.full(len(points), radius)
    if drawn is not None:
        found = np.isfinite(drawn.half_width)
        half_w[found] = drawn.half_width[found]
        half_h[found] = drawn.half_height[found]
    xy = np.array(points, float).reshape(-1, 2)
    x, y = xy[:, 0], xy[:, 1]
    edges = (x - half_w, y - half_h, x + half_w, y + half_h)
    return list(zip(*(e.tolist() for e in edges), strict=True))


def offset_from(figure: Figure, transform: Transform, x: float, y: float) -> Transform:
    """Coordinates in points from the display position of (x, y) under
    `transform`: an artist placed in them follows its point."""
    # ScaledTranslation maps (x, y) with the whole transform, non-affine parts
    # included, though its signature asks for an affine one.
    to = ScaledTranslation(x, y, transform)  # type: ignore[arg-type]
    return Affine2D().scale(1.0 / 72.0) + figure.dpi_scale_trans + to


def _segment_boxes(line: Line2D, frame: Bbox) -> list[Box]:
    """Small boxes along a drawn line, in the canvas."""
    xy = line.get_transform().transform(line.get_xydata())
    boxes: list[Box] = []
    for (x0, y0), (x1, y1) in zip(xy[:-1], xy[1:], strict=True):
        steps = max(1, int(np.hypot(x1 - x0, y1 - y0) // 2))
        for k in range(steps + 1):
            x = x0 + (x1 - x0) * k / steps - frame.x0
            y = frame.y1 - (y0 + (y1 - y0) * k / steps)
            boxes.append((x - 1.0, y - 1.0, x + 1.0, y + 1.0))
    return boxes


class _Same:
    """Equal to another only for the very same object, which it keeps alive so
    that no other object takes its id meanwhile."""

    __slots__ = ("obj",)

    def __init__(self, obj: object) -> None:
        self.obj = obj

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _Same) and other.obj is self.obj

    __hash__ = None  # type: ignore[assignment]


def _state(artist: Artist) -> tuple[Any, ...]:
    """What a draw's key holds of an artist: the artist by weak reference (an
    artist removed and another added in its place often gets the freed id; a
    dead reference equals no other), whether it shows, and cheaply what moves
    it: a line's data or a collection's offsets, sizes and paths (the setters
    hold new arrays), a text's words and place, a bar's box, a polygon's
    corners, a circle's, an ellipse's or a wedge's shape, a patch's path, a
    spine's or a legend's place. Not what an artist makes anew at each draw (a
    quiver's arrows, a fancy box's path), which would place the labels again at
    every draw."""
    a = artist
    found: tuple[Any, ...] = (weakref.ref(a), a.get_visible())
    if isinstance(a, Line2D):
        return (*found, _Same(a.get_xdata(orig=True)), _Same(a.get_ydata(orig=True)))
    if isinstance(a, Text):
        xy = getattr(a, "xy", None)  # an annotation's point
        return (*found, a.get_text(), a.get_position(), xy, a.get_fontsize(), a.get_rotation())
    if isinstance(a, Rectangle):
        return (*found, a.get_x(), a.get_y(), a.get_width(), a.get_height(), a.get_angle())
    if isinstance(a, Polygon):
        return (*found, _Same(a.get_xy()))
    if isinstance(a, Ellipse):  # and Circle
        shape = (*np.ravel(a.get_center()), a.get_width(), a.get_height(), a.get_angle())
        return (*found, *(float(v) for v in shape))
    if isinstance(a, Wedge):
        shape = (*np.ravel(a.center), a.r, a.theta1, a.theta2, a.width or 0.0)
        return (*found, *(float(v) for v in shape))
    if isinstance(a, PathPatch):
        return (*found, _Same(a.get_path()))
    if isinstance(a, Collection):
        # The arrays held: the getters make new ones where none is set.
        paths = None if isinstance(a, (Quiver, Barbs)) else getattr(a, "_paths", None)
        return (
            *found, _Same(getattr(a, "_offsets", None)), _Same(getattr(a, "_sizes", None)),
            _Same(paths),
        )  # fmt: skip
    if isinstance(a, Spine):  # asking its position sets one on polar axes
        return (*found, getattr(a, "_position", None))
    if isinstance(a, Legend):
        return (*found, getattr(a, "_loc", None), _Same(getattr(a, "_bbox_to_anchor", None)))
    return found


def _root(ax: Axes) -> Figure:
    figure = ax.figure
    while not isinstance(figure, Figure):  # a subfigure: its parent holds the dpi
        figure = figure.figure
    return figure


def _sets_of(axes: list[Axes]) -> list[PointLabels]:
    return [a for ax in axes for a in ax.get_children() if isinstance(a, PointLabels)]
