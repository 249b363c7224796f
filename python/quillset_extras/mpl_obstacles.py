"""What an Axes draws besides the labels, as obstacles in its canvas.

The artists of the axes count, and those of a twin sharing their frame, of axes
laid over it, and of the figure (a figure legend or text) that reach into it.
Things whose extent is what they paint become boxes: texts, legends, inset axes,
filled bars, and every marker of scatters and lines at its drawn size. Everything
else that paints (line strokes, fills, arrows, other patches and collections) is
drawn once more with a private Agg renderer, and the pixels it paints make a mask.
Backgrounds (images, meshes, filled contours, areas coloured through a colormap)
and the axes' own frame, ticks and grid (a map's graticule too) are no
obstacles; titles and tick labels are, where they reach into the frame.

The canvas is that of label_points: display pixels from the top-left corner of
the axes' window extent, y downward, int(width) x int(height) of it.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

from ._optional import missing

try:
    import numpy as np
    from matplotlib.artist import Artist
    from matplotlib.axes import Axes
    from matplotlib.axis import Axis
    from matplotlib.backend_bases import RendererBase
    from matplotlib.backends.backend_agg import RendererAgg
    from matplotlib.collections import (
        Collection,
        LineCollection,
        PatchCollection,
        PathCollection,
        PolyCollection,
        PolyQuadMesh,
        QuadMesh,
        TriMesh,
    )
    from matplotlib.colors import to_rgba
    from matplotlib.container import Container
    from matplotlib.contour import ContourSet
    from matplotlib.figure import Figure
    from matplotlib.image import AxesImage, BboxImage, FigureImage
    from matplotlib.legend import Legend
    from matplotlib.lines import Line2D
    from matplotlib.markers import MarkerStyle
    from matplotlib.offsetbox import AnnotationBbox, OffsetBox
    from matplotlib.patches import FancyBboxPatch, Patch, Rectangle
    from matplotlib.quiver import Barbs, Quiver
    from matplotlib.spines import Spine
    from matplotlib.table import Table
    from matplotlib.text import Annotation, Text
    from matplotlib.transforms import Affine2D, Bbox, IdentityTransform, Transform
    from numpy.typing import ArrayLike, NDArray
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.mpl_obstacles", "matplotlib") from None

from .geometry import Box
from .grids import mask_boxes

__all__ = [
    "Obstacles",
    "PointMarkers",
    "axes_over",
    "drawn_first",
    "figure_artists",
    "gather_obstacles",
    "point_markers",
]

Floats = NDArray[np.float64]
Bools = NDArray[np.bool_]
Ints = NDArray[np.int64]

# Backgrounds: labels go over them as over the axes' face.
_BACKGROUNDS = (AxesImage, BboxImage, FigureImage, QuadMesh, PolyQuadMesh, TriMesh)
# Artists whose window extent is what they paint.
_EXTENTS = (Legend, OffsetBox, AnnotationBbox, Table, Axes)
# How far, in display pixels, a marker may lie from a labelled point and be its marker.
_SAME_PLACE = 0.5


@dataclass
class Obstacles:
    """What the axes draw besides the labels, in the canvas."""

    width: int
    height: int
    boxes: list[Box]
    """texts, legends, inset axes, filled bars and one box per marker at its
    drawn size, clipped to the canvas"""
    mask: Bools
    """shape (height, width): True where some other artist paints a pixel"""

    def engine_boxes(self, block: int) -> list[Box]:
        """The obstacles as boxes: `boxes`, then the mask's.

        The canvas is cut in `block` x `block` squares (smaller at the right and
        bottom edges); a square holding a painted pixel is occupied, and each run
        of occupied squares along a row is one box, rows from the top, runs from
        the left.

        Parameters
        ----------
        block : int
            The side of a square, in canvas pixels; at least 1.

        Returns
        -------
        list of Box
        """
        if block < 1:
            raise ValueError(f"engine_boxes: block must be 1 or more, not {block!r}")
        return [*self.boxes, *mask_boxes(self.mask, block)]


@dataclass
class PointMarkers:
    """The drawn markers of labelled points."""

    half_width: Floats
    """per point, half the marker's width in canvas pixels (from its centre to its
    farther side); NaN where no artist draws a marker at the point"""
    half_height: Floats
    """per point, half the marker's height, likewise"""
    artists: list[Artist]
    """the scatters and lines that draw these markers"""
    labelled: list[Bools]
    """per artist, which of its markers lie on a labelled point"""


@dataclass(frozen=True)
class _Canvas:
    """The axes' canvas within the figure's display pixels."""

    x0: float
    y1: float
    width: int
    height: int
    dpi: float

    def boxes(self, display: Floats) -> Floats:
        """Rows of display (x0, y0, x1, y1), y upward, as canvas boxes clipped to the
        canvas; those that leave no area on it dropped."""
        display = display.reshape(-1, 4)
        boxes = np.column_stack(
            [
                display[:, 0] - self.x0,
                self.y1 - display[:, 3],
                display[:, 2] - self.x0,
                self.y1 - display[:, 1],
            ]
        )
        np.clip(boxes[:, 0::2], 0.0, self.width, out=boxes[:, 0::2])
        np.clip(boxes[:, 1::2], 0.0, self.height, out=boxes[:, 1::2])
        # NaN compares False: boxes with a NaN edge go too.
        keep = (boxes[:, 2] > boxes[:, 0]) & (boxes[:, 3] > boxes[:, 1])
        return boxes[keep]


@dataclass
class _Markers:
    """Markers in display pixels: centres (n, 2) and, per marker, its extent
    around the centre (dx0, dy0, dx1, dy1), y upward, edge included."""

    centres: Floats
    extents: Floats

    def display(self, skip: Bools | None = None) -> Floats:
        """The markers' display boxes (x0, y0, x1, y1), but those in `skip` (unless
        the artist has changed its number of markers since)."""
        boxes = np.tile(self.centres, 2) + self.extents
        return boxes if skip is None or len(skip) != len(boxes) else boxes[~skip]


def _canvas(ax: Axes, renderer: RendererBase) -> _Canvas:
    frame = ax.get_window_extent(renderer)
    return _Canvas(frame.x0, frame.y1, int(frame.width), int(frame.height), _root(ax).dpi)


def _root(ax: Axes) -> Figure:
    figure = ax.get_figure(root=True)
    if figure is None:
        raise ValueError("the axes belong to no figure")
    return figure


def _on_canvas(points: Floats, canvas: _Canvas) -> Floats:
    """The points (display pixels) that lie on the canvas."""
    x, y = points[:, 0], points[:, 1]
    on = (x >= canvas.x0) & (x <= canvas.x0 + canvas.width)
    on &= (y <= canvas.y1) & (y >= canvas.y1 - canvas.height)
    return points[on]


def _as_boxes(rows: Floats) -> list[Box]:
    l, t, r, b = rows.T.tolist()
    return list(zip(l, t, r, b))


def _bbox_rows(bboxes: Sequence[Bbox]) -> Floats:
    return np.array([b.extents for b in bboxes], dtype=float).reshape(-1, 4)


def gather_obstacles(
    ax: Axes,
    renderer: RendererBase,
    *,
    exclude: Iterable[Artist] = (),
    avoid: Iterable[Artist | Container] | None = None,
    markers: PointMarkers | None = None,
    points: ArrayLike | Callable[[], ArrayLike] | None = None,
) -> Obstacles:
    """What `ax` draws besides the labels, in its canvas.

    Draw the figure first: extents and positions are those of its last draw.

    Parameters
    ----------
    ax : Axes
        The axes whose artists to gather.
    renderer : RendererBase
        The renderer that drew the figure.
    exclude : iterable of Artist, default: ()
        Artists that are never obstacles: the labeller's own texts and lines.
    avoid : iterable of Artist or None, default: None
        None for every artist of the axes and its inset axes, of other axes
        seen within its frame (see axes_over) and of the figure over it (see
        figure_artists); otherwise only these (containers stand for their
        artists), so () for none.
    markers : PointMarkers or None, default: None
        The labelled points' own markers (see point_markers): not obstacles,
        while the rest of what their artists draw (other markers, a line's
        stroke) is. Passing their artists in `exclude` instead drops all of it.
    points : array-like of shape (n, 2), callable or None, default: None
        The labelled points in display pixels, or what returns them when a
        filled area first needs them. A filled area (a patch or a collection
        of them, not a bar) that holds at least half of those on the canvas is
        the ground they stand on, as a map's land: labels may cover it as they
        cover the axes' background.

    Returns
    -------
    Obstacles
    """
    canvas = _canvas(ax, renderer)
    found = _Found(renderer, canvas.dpi)
    if points is not None:
        given = points

        def on_canvas() -> Floats:
            xy = given() if callable(given) else given
            return _on_canvas(np.asarray(xy, dtype=float).reshape(-1, 2), canvas)

        found.points = on_canvas
    if markers is not None:
        found.own = {id(a): m for a, m in zip(markers.artists, markers.labelled)}
    for artist in _candidates(ax, exclude, avoid):
        found.take(artist)
    found.rows.extend(found.bar_rows())
    boxes = canvas.boxes(np.concatenate(found.rows)) if found.rows else np.empty((0, 4))
    mask = _render(_root(ax), canvas, found.painted, found.strokes)
    outside = _outside_frame(ax, canvas)
    if outside is not None:
        mask |= outside
    return Obstacles(canvas.width, canvas.height, _as_boxes(boxes), mask)


@dataclass
class _Found:
    """Obstacles as they are found: display boxes (x0, y0, x1, y1) and the
    artists to draw into the mask, lines apart (their markers are boxes)."""

    renderer: RendererBase
    dpi: float
    own: dict[int, Bools] = field(default_factory=dict)
    """the labelled points' markers, per artist id"""
    rows: list[Floats] = field(default_factory=list)
    painted: list[Artist] = field(default_factory=list)
    strokes: list[Line2D] = field(default_factory=list)
    bars: dict[int, tuple[Transform, list[list[float]]]] = field(default_factory=dict)
    """upright filled rectangles per data transform: x0, y0, x1, y1 in their data
    coordinates, and the half edge width in pixels"""
    points: Callable[[], Floats] | None = None
    """the labelled points on the canvas, in display pixels, once asked for"""
    _held: Floats | None = None

    def take(self, artist: Artist) -> None:
        if type(artist) is Rectangle and artist.get_angle() == 0 and _upright(artist, data=True):
            self.add_bar(artist)
            return
        box = _box_of(artist, self.renderer, self.dpi)
        if box is not None:
            self.rows.append(_bbox_rows([box]))
        elif isinstance(artist, Annotation):
            # Drawn only while its point is shown, as Annotation.draw decides.
            if artist._check_xy(self.renderer):  # type: ignore[attr-defined]
                self.rows.append(_bbox_rows([_text_extent(artist, self.renderer)]))
                if artist.arrow_patch is not None:
                    self.painted.append(artist.arrow_patch)
        elif isinstance(artist, Text):
            self.rows.append(_bbox_rows([_text_extent(artist, self.renderer)]))
        elif isinstance(artist, Line2D):
            if _has_stroke(artist):
                self.strokes.append(artist)
            drawn = _line_markers(artist, self.dpi)
            if drawn is not None:
                self.rows.append(drawn.display(self.own.get(id(artist))))
        elif isinstance(artist, PathCollection) and artist.get_transform().is_affine:
            drawn = _collection_markers(artist, self.dpi)
            self.rows.append(drawn.display(self.own.get(id(artist))))
        elif _graticule(artist):
            # A map's grid, as the axes' own grid: only its labels count.
            labels: Any = getattr(artist, "label_artists", [])
            for label in labels:
                if isinstance(label, Text) and label.get_visible():
                    self.rows.append(_bbox_rows([_text_extent(label, self.renderer)]))
        elif not (_background(artist) or self.ground(artist)):
            self.painted.append(artist)

    def ground(self, artist: Artist) -> bool:
        """Whether the artist fills an area that holds most of the labelled
        points on the canvas (its shapes taken together)."""
        if self.points is None:
            return False
        if isinstance(artist, Patch):
            if not artist.get_fill() or to_rgba(artist.get_facecolor())[3] == 0:
                return False
            shapes = [artist.get_transform().transform_path(artist.get_path())]
        elif isinstance(artist, Collection) and not isinstance(artist, LineCollection):
            faces = np.asarray(artist.get_facecolor()).reshape(-1, 4)
            if not len(faces) or not (faces[:, 3] > 0).any() or np.size(artist.get_offsets()) > 2:
                return False
            transform = artist.get_transform()
            shapes = [transform.transform_path(path) for path in artist.get_paths()]
        else:
            return False
        if self._held is None:  # a million points cost 16 MB: only when needed
            self._held = self.points()
        points = self._held
        if not len(points):
            return False
        held = np.zeros(len(points), dtype=bool)
        for shape in shapes:
            held |= shape.contains_points(points)
        return bool(held.sum() * 2 >= len(points))

    def add_bar(self, bar: Rectangle) -> None:
        # One transform call per data transform, not one extent per bar: a
        # histogram has hundreds.
        transform = bar.get_data_transform()
        _, rows = self.bars.setdefault(id(transform), (transform, []))
        edge = bar.get_linewidth() * self.dpi / 144.0
        rows.append([*bar.get_bbox().extents, edge if to_rgba(bar.get_edgecolor())[3] > 0 else 0.0])

    def bar_rows(self) -> list[Floats]:
        out = []
        for transform, rows in self.bars.values():
            given = np.array(rows)
            low = transform.transform(given[:, 0:2])
            high = transform.transform(given[:, 2:4])
            edge = given[:, 4:5]
            out.append(np.hstack([np.minimum(low, high) - edge, np.maximum(low, high) + edge]))
        return out


def _candidates(
    ax: Axes, exclude: Iterable[Artist], avoid: Iterable[Artist | Container] | None
) -> list[Artist]:
    """The visible artists to gather: those of the axes in their drawing order,
    then those of other axes and of the figure that draw over the axes' frame."""
    chosen: list[Artist] = []
    if avoid is None:
        chosen += _in_frame(ax)
        for other, whole in axes_over(ax):
            chosen += [other] if whole else _in_frame(other)
        chosen += figure_artists(ax)
    else:
        for given in avoid:
            chosen.extend(given.get_children() if isinstance(given, Container) else [given])
    skip = {id(a) for a in exclude}
    seen: set[int] = set()
    kept = []
    for artist in chosen:
        if artist.get_visible() and id(artist) not in skip and id(artist) not in seen:
            seen.add(id(artist))
            kept.append(artist)
    return kept


def _in_frame(ax: Axes) -> list[Artist]:
    """What the axes draw within their frame: their children and inset axes, but
    not the frame, its background or the axis ticks and grid; a title, a spine
    or tick labels only where they are drawn within the frame (a title padded
    inward, a spine moved to the data's zero, a polar plot's radii)."""
    texts = {id(t) for t in ax.texts}
    found: list[Artist] = []
    moved = False
    for artist in [*ax.get_children(), *ax.child_axes]:
        if isinstance(artist, Axis) or artist is ax.patch:
            continue
        if isinstance(artist, Spine):
            if _moved(artist, ax):
                moved = True
                found.append(artist)
            continue
        if isinstance(artist, Text) and id(artist) not in texts and not _title_within(artist, ax):
            continue
        found.append(artist)
    for axis in (ax.xaxis, ax.yaxis) if ax.axison else ():
        if axis.get_visible() and (moved or ax.name != "rectilinear" or _inward(axis, ax)):
            labels = [*axis.get_majorticklabels(), *axis.get_minorticklabels()]
            found += [t for t in labels if t.get_visible() and t.get_text()]
    return found


def _inward(axis: Axis, ax: Axes) -> bool:
    """Whether the axis's first tick label, as last drawn, lies within the frame
    (labels padded inward), known without laying out its text."""
    ticks = axis.majorTicks
    if not len(ticks):
        return False
    box = ax.bbox
    for label in (ticks[0].label1, ticks[0].label2):
        if label.get_visible():
            x, y = label.get_transform().transform(label.get_position())
            # Across the axis: where the labels stand off it, whatever the tick.
            if axis is ax.xaxis and box.y0 + 1.0 < y < box.y1 - 1.0:
                return True
            if axis is ax.yaxis and box.x0 + 1.0 < x < box.x1 - 1.0:
                return True
    return False


def _moved(spine: Spine, ax: Axes) -> bool:
    """Whether a spine of rectilinear axes is drawn elsewhere than at the edge
    of the frame (the spines of polar plots and maps keep their place, and
    asking for their position sets one)."""
    if ax.name != "rectilinear" or type(spine) is not Spine or not spine.get_visible():
        return False
    if not (ax.axison and ax.get_frame_on()):
        return False  # not drawn
    return bool(spine.get_position() != ("outward", 0.0))


def _title_within(title: Text, ax: Axes) -> bool:
    """Whether a title of the axes may reach into their frame: its anchor lies
    within a line of it (a title padded inward, or set inside)."""
    if not (title.get_visible() and title.get_text()):
        return False
    _, y = title.get_transform().transform(title.get_position())
    line = title.get_fontproperties().get_size_in_points() * _root(ax).dpi / 72.0
    return bool(ax.bbox.y0 - line < y < ax.bbox.y1 + line)


def axes_over(ax: Axes) -> list[tuple[Axes, bool]]:
    """The other axes of the figure that can be seen within the frame of `ax`:
    twins (drawn before or after it, over a background that one of the two
    leaves transparent) and axes laid over it. Each comes with whether it hides
    what lies under it there, as a whole (an axes with a background drawn after
    `ax`); else its artists show."""
    figure = ax.get_figure(root=False)
    if figure is None or not ax.get_visible():
        return []
    found = []
    for other in figure.axes:
        if other is ax or not other.get_visible() or not _meet(ax.bbox, other.bbox):
            continue
        after = drawn_first(ax, other)
        if after and _opaque(other):
            found.append((other, True))
        elif after or not _opaque(ax):
            found.append((other, False))
    return found


def drawn_first(ax: Axes, other: Axes) -> bool:
    """Whether the figure draws `ax` before `other`: by zorder, then in the
    order the axes were added."""
    figure = ax.get_figure(root=False)
    order = sorted(figure.axes if figure is not None else [], key=lambda a: a.get_zorder())
    if ax not in order or other not in order:
        return False
    return order.index(ax) < order.index(other)


def _meet(a: Bbox, b: Bbox) -> bool:
    """Whether the boxes share some area."""
    return bool(min(a.x1, b.x1) > max(a.x0, b.x0) and min(a.y1, b.y1) > max(a.y0, b.y0))


def _opaque(ax: Axes) -> bool:
    """Whether the axes paint a background over what lies under them (axes
    drawn with their axis off draw none)."""
    patch = ax.patch
    shown = ax.axison and ax.get_frame_on() and patch.get_visible()
    return bool(shown and to_rgba(patch.get_facecolor())[3] > 0)


def figure_artists(ax: Axes, reaching: bool = True) -> list[Artist]:
    """The artists of the figure itself (and of the subfigures that hold the
    axes) that reach into the axes' frame: a figure legend, figure texts,
    lines and patches drawn over the axes. With `reaching` False, every
    visible one, wherever it lies (no extent measured)."""
    found: list[Artist] = []
    figure = ax.get_figure(root=False)
    while figure is not None:
        drawn = [*figure.legends, *figure.texts, *figure.patches, *figure.lines, *figure.artists]
        found += [a for a in drawn if a.get_visible() and (not reaching or _reaches(a, ax.bbox))]
        parent = figure.get_figure(root=False) if not isinstance(figure, Figure) else None
        figure = parent if parent is not figure else None
    return found


def _reaches(artist: Artist, frame: Bbox) -> bool:
    try:
        extent = artist.get_window_extent()
    except (RuntimeError, TypeError, ValueError):
        return True  # no extent without a renderer: gathered, then clipped
    if extent is None or not np.all(np.isfinite(extent.extents)):
        return True
    # A straight line's extent may have no width or height: a pixel about it.
    return _meet(extent.padded(1.0), frame)


def _upright(patch: Rectangle | FancyBboxPatch, data: bool = False) -> bool:
    """Whether a filled rectangle is drawn upright: scales map an upright rectangle
    to an upright one; rotations and polar axes do not, and those are drawn into
    the mask. With `data`, the patch is known to be upright in data coordinates."""
    transform = patch.get_data_transform() if data else patch.get_transform()
    return patch.get_fill() and transform.is_separable


def _box_of(artist: Artist, renderer: RendererBase, dpi: float) -> Bbox | None:
    """The display extent of an artist that paints its whole extent, else None."""
    if isinstance(artist, _EXTENTS):
        return artist.get_window_extent(renderer)
    if not isinstance(artist, Rectangle | FancyBboxPatch) or not _upright(artist):
        return None
    extent = artist.get_window_extent(renderer)
    if to_rgba(artist.get_edgecolor())[3] > 0 and artist.get_linewidth() > 0:
        extent = extent.padded(artist.get_linewidth() * dpi / 144.0)
    return extent


def _text_extent(text: Text, renderer: RendererBase) -> Bbox:
    """The drawn text and the box around it, if any; not an annotation's arrow."""
    if not text.get_text():
        return Bbox.null()  # drawn as nothing, box included
    extent = Text.get_window_extent(text, renderer)
    patch = text.get_bbox_patch()
    if patch is not None and patch.get_visible():
        extent = Bbox.union([extent, patch.get_window_extent(renderer)])
    return extent


def _graticule(artist: Artist) -> bool:
    """Whether the artist draws a map's grid of meridians and parallels (as
    cartopy's gridlines do): its lines and its labels."""
    return hasattr(artist, "xline_artists") and hasattr(artist, "label_artists")


def _background(artist: Artist) -> bool:
    if isinstance(artist, ContourSet):
        return bool(artist.filled)
    if isinstance(artist, PolyCollection | PatchCollection) and not isinstance(
        artist, Quiver | Barbs
    ):
        # Areas coloured through a colormap (hexbin, pcolor, a choropleth) map
        # a value over the plane, as an image does; arrows (and barbs) do not.
        return artist.get_array() is not None
    return isinstance(artist, _BACKGROUNDS)


def _has_stroke(line: Line2D) -> bool:
    return line.get_linestyle() not in ("None", "", " ") and line.get_linewidth() > 0


def _marker_style(line: Line2D) -> MarkerStyle:
    # The line's own style keeps a transform given with it; get_marker() does not.
    style = getattr(line, "_marker", None)
    if isinstance(style, MarkerStyle):
        return style
    return MarkerStyle(line.get_marker(), line.get_fillstyle())


def _line_markers(line: Line2D, dpi: float) -> _Markers | None:
    """The markers of a line at its data points, as it draws them; None for none.
    Every point counts, whatever its markevery."""
    style = _marker_style(line)
    size = line.get_markersize()
    if not len(style.get_path()) or not size > 0:
        return None
    transform = Affine2D(style.get_transform().get_matrix())
    if style.get_marker() != ",":  # the pixel marker keeps its one pixel
        transform.scale(size * dpi / 72.0)
    extent = style.get_path().get_extents(transform).extents
    edge = line.get_markeredgewidth() * dpi / 144.0
    centres = line.get_transform().transform(line.get_xydata())
    extents = np.broadcast_to(extent + np.array([-edge, -edge, edge, edge]), (len(centres), 4))
    return _Markers(np.asarray(centres, dtype=float), np.asarray(extents, dtype=float))


def _collection_markers(collection: PathCollection, dpi: float) -> _Markers:
    """The markers of a scatter as Agg draws them: item i is path i, size i and
    offset i, each cycled; sizes are areas in points squared."""
    centres = _collection_centres(collection)
    return _Markers(centres, _collection_extents(collection, dpi, np.arange(len(centres))))


def _collection_centres(collection: PathCollection) -> Floats:
    """The display position of each item of the collection."""
    offsets = _offsets(collection)
    count = len(collection.get_paths())
    if not len(offsets) or not count:
        return np.empty((0, 2))
    centres = np.asarray(collection.get_offset_transform().transform(offsets), dtype=np.float64)
    return centres[np.arange(count) % len(offsets)] if len(offsets) < count else centres


def _collection_extents(collection: PathCollection, dpi: float, items: Ints) -> Floats:
    """The extents of the given items around their centres."""
    # The corners of each path's extent through the collection's own (affine)
    # transform, then scaled per item: sizes are at least 0, so the scaled extent
    # of the corners is the extent of the scaled corners.
    paths = collection.get_paths()
    m = collection.get_transform().get_matrix()
    shapes = np.array([p.get_extents().extents for p in paths])
    xs, ys = shapes[:, [0, 2, 0, 2]], shapes[:, [1, 1, 3, 3]]
    xt, yt = m[0, 0] * xs + m[0, 1] * ys, m[1, 0] * xs + m[1, 1] * ys
    reach = np.column_stack([xt.min(axis=1), yt.min(axis=1), xt.max(axis=1), yt.max(axis=1)])
    sizes = np.sqrt(np.asarray(collection.get_sizes(), dtype=np.float64)) * dpi / 72.0
    scale = _cycled(sizes, items, 1.0)
    widths = np.asarray(collection.get_linewidth(), dtype=np.float64)
    edge = _cycled(widths, items, 0.0) * dpi / 144.0
    shift = np.array([m[0, 2], m[1, 2], m[0, 2], m[1, 2]])
    extents = reach[items % len(paths)] * scale[:, None] + shift
    extents += edge[:, None] * np.array([-1.0, -1.0, 1.0, 1.0])
    return np.asarray(extents, dtype=np.float64)


def _offsets(collection: PathCollection) -> Floats:
    """The collection's offsets as floats, masked ones NaN, units converted."""
    offsets: Any = collection.get_offsets()
    if collection.have_units():
        unit_aware: Any = collection  # convert_*units are untyped
        xs = unit_aware.convert_xunits(offsets[:, 0])
        ys = unit_aware.convert_yunits(offsets[:, 1])
        offsets = np.ma.column_stack([xs, ys])
    filled = np.ma.filled(np.ma.asarray(offsets, dtype=np.float64), np.nan)
    return np.asarray(filled, dtype=np.float64).reshape(-1, 2)


def _cycled(values: Floats, items: Ints, default: float) -> Floats:
    """values[i] for each item i, cycled; `default` for each when there are none."""
    values = values.reshape(-1)
    if len(values) == 1 or not len(values):
        return np.full(len(items), values[0] if len(values) else default)
    return values[items % len(values)]


def _render(figure: Figure, canvas: _Canvas, painted: list[Artist], strokes: list[Line2D]) -> Bools:
    """The canvas pixels that the artists and the lines' strokes paint."""
    if not painted and not strokes:
        return np.zeros((canvas.height, canvas.width), dtype=bool)
    renderer = _private_renderer(figure, canvas)
    drawn: list[Artist] = [*painted, *strokes]
    # Drawing may mark an artist stale (a collection sets its sizes anew), which
    # would ask an interactive figure to draw again: nothing propagates meanwhile,
    # and each artist keeps the staleness it had.
    saved = [(artist, artist.stale_callback, artist.stale) for artist in drawn]
    for artist in drawn:
        artist.stale_callback = None
    try:
        for artist in painted:
            artist.draw(renderer)
        renderer.draw_markers = _no_markers  # markers are boxes already
        for line in strokes:
            line.draw(renderer)
    finally:
        for artist, callback, stale in saved:
            artist.stale = stale
            artist.stale_callback = callback
    return _painted(renderer, canvas)


def _private_renderer(figure: Figure, canvas: _Canvas) -> Any:
    """An Agg renderer of the figure's pixels up to the canvas's right and top
    edges, which are enough: Agg's origin is the bottom left, as the display's.
    Untyped: its drawing methods are set on each instance."""
    width = max(1, min(math.ceil(canvas.x0 + canvas.width), math.ceil(figure.bbox.width)) + 1)
    height = max(1, min(math.ceil(canvas.y1), math.ceil(figure.bbox.height)) + 1)
    return RendererAgg(width, height, figure.dpi)  # type: ignore[no-untyped-call]


def _painted(renderer: Any, canvas: _Canvas) -> Bools:
    """The canvas pixels over the pixels that the private renderer painted."""
    alpha = np.asarray(renderer.buffer_rgba())[:, :, 3] > 0
    top = renderer.height - canvas.y1
    return _canvas_pixels(alpha, canvas.x0, top, canvas.width, canvas.height)


def _outside_frame(ax: Axes, canvas: _Canvas) -> Bools | None:
    """The canvas pixels outside the shape of the axes (a polar plot's disc, a
    map's outline), which no label may reach into; None for rectangular axes,
    whose shape the canvas is, and for axes that show no frame."""
    patch = ax.patch
    if type(patch) is Rectangle or not (ax.axison or patch.get_visible()):
        return None
    renderer = _private_renderer(_root(ax), canvas)
    gc = renderer.new_gc()
    gc.set_linewidth(0.0)
    shape = patch.get_transform().transform_path(patch.get_path())
    renderer.draw_path(gc, shape, IdentityTransform(), (0.0, 0.0, 0.0, 1.0))
    gc.restore()
    return ~_painted(renderer, canvas)


def _no_markers(*args: Any, **kwargs: Any) -> None:
    return None


def _canvas_pixels(painted: Bools, left: float, top: float, width: int, height: int) -> Bools:
    """Canvas pixels over painted figure pixels (rows from the top). The canvas's
    top-left corner lies at (left, top) in figure pixels; a canvas pixel is marked
    when any figure pixel it overlaps is painted, so a fractional corner makes it
    look at two columns and two rows."""
    i0, j0 = math.floor(left), math.floor(top)
    window = np.zeros((height + 1, width + 1), dtype=bool)
    rows, columns = painted.shape
    a, b = max(j0, 0), min(j0 + height + 1, rows)
    c, d = max(i0, 0), min(i0 + width + 1, columns)
    if a < b and c < d:
        window[a - j0 : b - j0, c - i0 : d - i0] = painted[a:b, c:d]
    out = window[:height, :width].copy()
    across, down = left > i0, top > j0
    if across:
        out |= window[:height, 1:]
    if down:
        out |= window[1:, :width]
    if across and down:
        out |= window[1:, 1:]
    return out


def point_markers(
    ax: Axes, renderer: RendererBase, x: ArrayLike, y: ArrayLike, transform: Transform
) -> PointMarkers | None:
    """The drawn markers of the labelled points (x[i], y[i]).

    A point's marker is one that a scatter or a marker line of `ax` draws at the
    same display position, within half a pixel: in any order, from one artist or
    several (where several draw at a point, the larger extent counts).

    Parameters
    ----------
    ax : Axes
        The axes that draw the points.
    renderer : RendererBase
        The renderer that drew the figure.
    x, y : array-like of float
        The points, in the coordinates of `transform`.
    transform : Transform
        From the points' coordinates to display pixels, e.g. ``ax.transData``.

    Returns
    -------
    PointMarkers or None
        None when no artist draws a marker at any of the points.
    """
    del renderer  # sizes come from the artists and the figure's dpi
    points = transform.transform(
        np.column_stack([np.asarray(x, dtype=float).ravel(), np.asarray(y, dtype=float).ravel()])
    )
    dpi = _root(ax).dpi
    half_width = np.full(len(points), np.nan)
    half_height = np.full(len(points), np.nan)
    artists: list[Artist] = []
    labelled: list[Bools] = []
    for artist in ax.get_children():
        found = _markers_at(points, artist, dpi) if artist.get_visible() else None
        if found is None:
            continue
        which, count, extents = found
        hit = which >= 0
        half_width[hit] = np.fmax(half_width[hit], np.maximum(-extents[:, 0], extents[:, 2]))
        half_height[hit] = np.fmax(half_height[hit], np.maximum(-extents[:, 1], extents[:, 3]))
        mine = np.zeros(count, dtype=bool)
        mine[which[hit]] = True
        artists.append(artist)
        labelled.append(mine)
    if not artists:
        return None
    return PointMarkers(half_width, half_height, artists, labelled)


def _markers_at(points: Floats, artist: Artist, dpi: float) -> tuple[Ints, int, Floats] | None:
    """Which marker of the artist lies at each point (-1 for none), how many markers
    it draws, and the extents of those at the points; None when it draws none
    there."""
    if isinstance(artist, Line2D):
        line = _line_markers(artist, dpi)
        if line is None:
            return None
        centres = line.centres
    elif isinstance(artist, PathCollection) and artist.get_transform().is_affine:
        centres = _collection_centres(artist)
    else:
        return None
    which = _same_place(points, centres) if len(centres) else np.full(len(points), -1)
    chosen = which[which >= 0]
    if not len(chosen):
        return None
    if isinstance(artist, Line2D):
        assert line is not None
        return which, len(centres), line.extents[chosen]
    assert isinstance(artist, PathCollection)
    return which, len(centres), _collection_extents(artist, dpi, chosen)


# The most centres of one cell that a point near no exact one looks at.
_MOST_PER_CELL = 64
# Cell keys: coordinates clipped to +-2**30 pixels make one int64 key per cell.
_REACH = 1 << 30


def _cells(xy: Floats) -> NDArray[np.int64]:
    """The key of the unit cell holding each point; -1 for a point not finite."""
    good = np.isfinite(xy).all(axis=1)
    cells = np.floor(np.clip(np.where(good[:, None], xy, 0.0), -_REACH, _REACH - 1))
    cells = cells.astype(np.int64) + _REACH
    return np.where(good, cells[:, 0] * (2 * _REACH) + cells[:, 1], -1)


def _same_place(points: Floats, centres: Floats) -> NDArray[np.int64]:
    """For each point, the index of a centre at the same place: one at exactly its
    position if any (the same data through the same transform), else the nearest
    within half a pixel; -1 for none."""
    if len(points) == len(centres):
        distance = np.hypot(*(points - centres).T)
        if np.all(distance <= _SAME_PLACE):  # the same points, in the same order
            return np.arange(len(points))
    # Few points among many centres (a few labels on a large scatter): those
    # near no point go first.
    near = np.arange(len(centres))
    if 8 * len(points) < len(centres):
        near = np.flatnonzero(_near(points, centres))
    if not len(near):
        return np.full(len(points), -1)
    centres = centres[near]
    # Complex numbers sort by x, then y: one search finds equal positions.
    order = np.argsort(centres[:, 0] + 1j * centres[:, 1], kind="stable")
    keys = centres[order, 0] + 1j * centres[order, 1]
    wanted = points[:, 0] + 1j * points[:, 1]
    at = np.minimum(np.searchsorted(keys, wanted), len(keys) - 1)
    which = np.where(keys[at] == wanted, order[at], -1)
    left = np.flatnonzero(which < 0)
    if len(left):
        which[left] = _nearby(points[left], centres)
    return np.where(which >= 0, near[which], -1)


def _near(points: Floats, centres: Floats) -> Bools:
    """Which centres may lie within half a pixel of a point: a coarse grid over
    the points marks the cells that their half-pixel squares reach, and a centre
    in an unmarked cell is near none. Cheap for many centres and few points."""
    finite = points[np.isfinite(points).all(axis=1)]
    if not len(finite):
        return np.zeros(len(centres), dtype=bool)
    low = finite.min(axis=0) - 1.0
    cell = max(1.0, float((finite.max(axis=0) + 1.0 - low).max()) / 1024.0)
    size = np.floor((finite.max(axis=0) + 1.0 - low) / cell).astype(np.int64) + 1
    grid = np.zeros((size[0], size[1]), dtype=bool)
    for corner in (
        (-_SAME_PLACE, -_SAME_PLACE),
        (-_SAME_PLACE, _SAME_PLACE),
        (_SAME_PLACE, -_SAME_PLACE),
        (_SAME_PLACE, _SAME_PLACE),
    ):
        i = np.floor((finite + corner - low) / cell).astype(np.int64)
        grid[i[:, 0], i[:, 1]] = True
    spot = np.floor((centres - low) / cell)
    inside = np.isfinite(spot).all(axis=1) & (spot >= 0).all(axis=1) & (spot < size).all(axis=1)
    spot = np.where(inside[:, None], spot, 0).astype(np.int64)
    return inside & grid[spot[:, 0], spot[:, 1]]


def _nearby(points: Floats, centres: Floats) -> NDArray[np.int64]:
    """For each point, the index of the nearest centre within half a pixel; -1
    for none. Centres are filed by the unit cell that holds them; a point looks in
    the (at most 2 x 2) cells that its half-pixel disc reaches."""
    keys = _cells(centres)
    order = np.argsort(keys, kind="stable")
    keys = keys[order]
    best = np.full(len(points), np.inf)
    which = np.full(len(points), -1)
    for dx in (-_SAME_PLACE, _SAME_PLACE):
        for dy in (-_SAME_PLACE, _SAME_PLACE):
            wanted = _cells(points + (dx, dy))
            start = np.searchsorted(keys, wanted)
            # Every centre of the cell, one step per centre: few share a pixel.
            for step in range(_MOST_PER_CELL):
                at = np.minimum(start + step, len(keys) - 1)
                inside = (keys[at] == wanted) & (wanted >= 0) & (start + step < len(keys))
                if not inside.any():
                    break
                candidate = order[at]
                distance = np.hypot(*(points - centres[candidate]).T)
                better = inside & (distance <= _SAME_PLACE) & (distance < best)
                best[better] = distance[better]
                which[better] = candidate[better]
    return which
