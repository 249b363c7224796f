"""What a reader sees of a labelling on a whole matplotlib figure, in display pixels.

Pure functions over an Axes that has been drawn (Agg canvas): the labelling's own
artists (its texts and leader lines) against everything else that the axes draws —
lines by their drawn paths, markers at their drawn size, bars and other patches,
collections, annotations and other texts, the legend. Nothing here knows how the
labels were placed, so every labeller is judged alike.

Boxes are (x0, y0, x1, y1) in display pixels, y up; segments are (x0, y0, x1, y1).
Shapes that merely touch (within EPS pixels) do not overlap.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import asdict, dataclass, field
from typing import Any

import numpy as np
from matplotlib.artist import Artist
from matplotlib.axes import Axes
from matplotlib.axis import Axis
from matplotlib.backend_bases import RendererBase
from matplotlib.collections import Collection, PathCollection, QuadMesh
from matplotlib.figure import Figure
from matplotlib.image import AxesImage
from matplotlib.legend import Legend
from matplotlib.lines import Line2D
from matplotlib.patches import FancyArrowPatch, Patch, Rectangle
from matplotlib.path import Path
from matplotlib.spines import Spine
from matplotlib.text import Annotation, Text
from matplotlib.transforms import Affine2D, Bbox, Transform
from numpy.typing import NDArray

Floats = NDArray[np.float64]
Bools = NDArray[np.bool_]

EPS = 0.01
"""Pixels by which shapes must reach into each other to count as overlapping."""

KINDS = ("lines", "markers", "patches", "texts", "legend")
"""Kinds of obstacle: drawn paths of lines and collections; markers of lines and
scatters; bars and other patches; other texts and annotations (with their arrows);
the legend."""

_NO_MARKER = (None, "None", "none", "", " ")
_CHUNK = 1 << 21  # elements per broadcast block


# ---------------------------------------------------------------------------------
# Geometry over plain arrays


def _rows(values: Any, width: int = 4) -> Floats:
    return np.asarray(values, dtype=np.float64).reshape(-1, width)


def polyline_segments(vertices: Any) -> Floats:
    """Consecutive vertex pairs of a polyline as segments; pairs with a non-finite end
    (breaks in the path) and zero-length pairs are dropped."""
    v = np.asarray(vertices, dtype=np.float64).reshape(-1, 2)
    if len(v) < 2:
        return np.empty((0, 4))
    seg = np.column_stack((v[:-1], v[1:]))
    keep = np.all(np.isfinite(seg), axis=1) & np.any(seg[:, :2] != seg[:, 2:], axis=1)
    return seg[keep]


def path_segments(path: Path, transform: Transform) -> Floats:
    """The segments of `path` drawn through `transform` (curves as short chords)."""
    drawn = transform.transform_path(path)
    pieces = [polyline_segments(p) for p in drawn.to_polygons(closed_only=False)]
    return np.concatenate(pieces) if pieces else np.empty((0, 4))


def clip_segments(segments: Floats, frame: Floats) -> Floats:
    """The parts of `segments` inside the box `frame` (Liang–Barsky); segments wholly
    outside are dropped."""
    s = _rows(segments)
    if len(s) == 0:
        return s
    x0, y0, x1, y1 = frame
    dx, dy = s[:, 2] - s[:, 0], s[:, 3] - s[:, 1]
    t0, t1 = np.zeros(len(s)), np.ones(len(s))
    keep = np.ones(len(s), dtype=bool)
    for p, q in ((-dx, s[:, 0] - x0), (dx, x1 - s[:, 0]), (-dy, s[:, 1] - y0), (dy, y1 - s[:, 1])):
        flat = p == 0
        keep &= ~(flat & (q < 0))
        with np.errstate(divide="ignore", invalid="ignore"):
            r = np.where(flat, 0.0, q / np.where(flat, 1.0, p))
        t0 = np.where(~flat & (p < 0), np.maximum(t0, r), t0)
        t1 = np.where(~flat & (p > 0), np.minimum(t1, r), t1)
    keep &= t0 <= t1
    a = s[:, :2] + t0[:, None] * np.column_stack((dx, dy))
    b = s[:, :2] + t1[:, None] * np.column_stack((dx, dy))
    return np.column_stack((a, b))[keep]


def segments_hit_boxes(segments: Floats, boxes: Floats, eps: float = EPS) -> Bools:
    """(segments x boxes): whether each segment passes through the interior of each box,
    the box shrunk by `eps` (a segment that only touches an edge does not)."""
    s, b = _rows(segments), _rows(boxes)
    out = np.zeros((len(s), len(b)), dtype=bool)
    if len(s) == 0 or len(b) == 0:
        return out
    bx0, by0 = b[:, 0] + eps, b[:, 1] + eps
    bx1, by1 = b[:, 2] - eps, b[:, 3] - eps
    step = max(1, _CHUNK // len(b))
    for start in range(0, len(s), step):
        c = s[start : start + step]
        sx, sy = c[:, 0:1], c[:, 1:2]
        dx, dy = c[:, 2:3] - sx, c[:, 3:4] - sy
        # Cheap rejection by extents first.
        near = (
            (np.minimum(sx, sx + dx) < bx1)
            & (np.maximum(sx, sx + dx) > bx0)
            & (np.minimum(sy, sy + dy) < by1)
            & (np.maximum(sy, sy + dy) > by0)
        )
        t0 = np.zeros(near.shape)
        t1 = np.ones(near.shape)
        ok = near.copy()
        for p, q in ((-dx, sx - bx0), (dx, bx1 - sx), (-dy, sy - by0), (dy, by1 - sy)):
            flat = p == 0
            ok &= ~(flat & (q < 0))
            with np.errstate(divide="ignore", invalid="ignore"):
                r = q / np.where(flat, 1.0, p)
            t0 = np.where(~flat & (p < 0), np.maximum(t0, r), t0)
            t1 = np.where(~flat & (p > 0), np.minimum(t1, r), t1)
        out[start : start + step] = ok & (t0 <= t1)
    return out


def segments_cross(a: Floats, b: Floats, eps: float = EPS) -> Bools:
    """(a x b): whether segments properly cross, each passing more than `eps` pixels to
    both sides of the other's line (touching and shared ends do not count)."""
    a, b = _rows(a), _rows(b)
    out = np.zeros((len(a), len(b)), dtype=bool)
    if len(a) == 0 or len(b) == 0:
        return out

    def sides(p: Floats, q: Floats) -> tuple[Floats, Floats]:
        # Signed distances of q's two ends from the line through p.
        d = p[:, None, 2:] - p[:, None, :2]
        length = np.maximum(np.hypot(d[..., 0], d[..., 1]), 1e-12)
        e0 = q[None, :, :2] - p[:, None, :2]
        e1 = q[None, :, 2:] - p[:, None, :2]
        c0 = (d[..., 0] * e0[..., 1] - d[..., 1] * e0[..., 0]) / length
        c1 = (d[..., 0] * e1[..., 1] - d[..., 1] * e1[..., 0]) / length
        return c0, c1

    step = max(1, _CHUNK // len(b))
    for start in range(0, len(a), step):
        c = a[start : start + step]
        p0, p1 = sides(c, b)
        q0, q1 = sides(b, c)
        out[start : start + step] = (
            (np.minimum(p0, p1) < -eps)
            & (np.maximum(p0, p1) > eps)
            & (np.minimum(q0, q1).T < -eps)
            & (np.maximum(q0, q1).T > eps)
        )
    return out


def boxes_meet(a: Floats, b: Floats, eps: float = EPS) -> Bools:
    """(a x b): whether the boxes' interiors overlap by more than `eps` both ways."""
    a, b = _rows(a), _rows(b)
    if len(a) == 0 or len(b) == 0:
        return np.zeros((len(a), len(b)), dtype=bool)
    w = np.minimum(a[:, None, 2], b[None, :, 2]) - np.maximum(a[:, None, 0], b[None, :, 0])
    h = np.minimum(a[:, None, 3], b[None, :, 3]) - np.maximum(a[:, None, 1], b[None, :, 1])
    return (w > eps) & (h > eps)


def boxes_hit(boxes: Floats, others: Floats, eps: float = EPS) -> Bools:
    """Per box of `boxes`: whether it overlaps any of `others` (a sweep over x, for
    thousands of each)."""
    b, o = _rows(boxes), _rows(others)
    hit = np.zeros(len(b), dtype=bool)
    o = o[np.all(np.isfinite(o), axis=1)]
    if len(b) == 0 or len(o) == 0:
        return hit
    o = o[np.argsort(o[:, 0], kind="stable")]
    widest = float(np.max(o[:, 2] - o[:, 0]))
    first = np.searchsorted(o[:, 0], b[:, 0] - widest, side="left")
    last = np.searchsorted(o[:, 0], b[:, 2] - eps, side="left")
    for i in range(len(b)):
        near = o[first[i] : last[i]]
        if len(near):
            hit[i] = bool(np.any(boxes_meet(b[i : i + 1], near, eps)))
    return hit


def overlapping_pairs(boxes: Floats, eps: float = EPS) -> int:
    """Pairs of boxes whose interiors overlap."""
    b = _rows(boxes)
    if len(b) < 2:
        return 0
    b = b[np.argsort(b[:, 0], kind="stable")]
    reach = np.searchsorted(b[:, 0], b[:, 2] - eps, side="left")
    return sum(
        int(np.count_nonzero(boxes_meet(b[i : i + 1], b[i + 1 : reach[i]], eps)))
        for i in range(len(b))
        if reach[i] > i + 1
    )


def polygon_hits_boxes(ring: Floats, filled: bool, boxes: Floats, eps: float = EPS) -> Bools:
    """Per box: whether a polygon (its closed ring of vertices) reaches into the box:
    an edge passes through it, or, for a filled polygon, the box lies inside."""
    b = _rows(boxes)
    r = _rows(ring, 2)
    if len(b) == 0 or len(r) < 2:
        return np.zeros(len(b), dtype=bool)
    if np.any(r[0] != r[-1]):
        r = np.vstack((r, r[:1]))
    hit = np.any(segments_hit_boxes(polyline_segments(r), b, eps), axis=0)
    if filled and len(r) >= 4:
        centres = np.column_stack(((b[:, 0] + b[:, 2]) / 2, (b[:, 1] + b[:, 3]) / 2))
        hit |= Path(r).contains_points(centres)
    return hit


def point_box_distance(points: Floats, boxes: Floats) -> Floats:
    """Distance of each point to its box (0 inside), pairwise by row."""
    p, b = _rows(points, 2), _rows(boxes)
    dx = np.maximum(np.maximum(b[:, 0] - p[:, 0], p[:, 0] - b[:, 2]), 0.0)
    dy = np.maximum(np.maximum(b[:, 1] - p[:, 1], p[:, 1] - b[:, 3]), 0.0)
    return np.asarray(np.hypot(dx, dy), dtype=np.float64)


# ---------------------------------------------------------------------------------
# The drawn artists


@dataclass
class Obstacles:
    """Everything else that an Axes draws, in display pixels, by kind (see KINDS)."""

    segments: dict[str, Floats] = field(default_factory=dict)
    boxes: dict[str, Floats] = field(default_factory=dict)
    polygons: dict[str, list[tuple[Floats, bool]]] = field(default_factory=dict)

    def add_segments(self, kind: str, segments: Floats) -> None:
        if len(segments):
            self.segments[kind] = np.vstack((self.segments.get(kind, np.empty((0, 4))), segments))

    def add_boxes(self, kind: str, boxes: Any) -> None:
        b = _rows(boxes)
        b = b[np.all(np.isfinite(b), axis=1)]
        if len(b):
            self.boxes[kind] = np.vstack((self.boxes.get(kind, np.empty((0, 4))), b))

    def add_polygon(self, kind: str, ring: Any, filled: bool) -> None:
        r = _rows(ring, 2)
        if len(r) >= 2:
            self.polygons.setdefault(kind, []).append((r, filled))

    def hits(self, kind: str, boxes: Floats) -> Bools:
        """Per box: whether any obstacle of `kind` reaches into it."""
        b = _rows(boxes)
        hit = boxes_hit(b, self.boxes.get(kind, np.empty((0, 4))))
        seg = self.segments.get(kind)
        if seg is not None and len(b):
            hit |= np.any(segments_hit_boxes(seg, b), axis=0)
        for ring, filled in self.polygons.get(kind, []):
            hit |= polygon_hits_boxes(ring, filled, b)
        return hit


def renderer_of(figure: Figure) -> RendererBase:
    """The figure's renderer, after drawing it once on its (Agg) canvas."""
    figure.canvas.draw()
    renderer: RendererBase = figure.canvas.get_renderer()  # type: ignore[attr-defined]
    return renderer


def _pixels(figure: Figure, points: Any) -> Floats:
    return np.asarray(points, dtype=np.float64) * figure.dpi / 72.0


def _clip_box(artist: Artist) -> Floats | None:
    """The clip box of a clipped artist (the axes' box), as a box."""
    if not artist.get_clip_on():
        return None
    clip = artist.get_clip_box()
    return None if clip is None else np.array(clip.extents, dtype=np.float64)


def line_marker_boxes(line: Line2D) -> Floats:
    """One box per drawn marker of a Line2D: its marker size plus edge width, in pixels,
    around each vertex (every vertex, or those that markevery keeps)."""
    if line.get_marker() in _NO_MARKER:
        return np.empty((0, 4))
    figure = line.get_figure(root=True)
    assert isinstance(figure, Figure)
    side = float(_pixels(figure, line.get_markersize() + line.get_markeredgewidth()))
    xy = line.get_transform().transform(np.asarray(line.get_xydata(), dtype=np.float64))
    every = line.get_markevery()
    if every is not None:
        from matplotlib.lines import _mark_every_path  # type: ignore[attr-defined]

        kept = _mark_every_path(every, Path(xy), Affine2D(), line.axes)
        xy = np.asarray(kept.vertices, dtype=np.float64)
    xy = xy[np.all(np.isfinite(xy), axis=1)]
    half = side / 2
    return np.column_stack((xy - half, xy + half))


def scatter_boxes(collection: PathCollection) -> Floats:
    """One box per drawn point of a scatter, at its own size (sizes are areas in
    points², per point) plus half its edge width each side; the figure must have been
    drawn (that sets the per-point transforms in pixels)."""
    offsets = np.asarray(np.ma.filled(collection.get_offsets(), np.nan), dtype=np.float64)
    n = len(offsets)
    paths = collection.get_paths()
    if n == 0 or not paths:
        return np.empty((0, 4))
    centres = collection.get_offset_transform().transform(offsets)
    transforms = np.asarray(collection.get_transforms(), dtype=np.float64).reshape(-1, 3, 3)
    master = collection.get_transform()
    figure = collection.get_figure(root=True)
    assert isinstance(figure, Figure)
    widths = np.asarray(collection.get_linewidth(), dtype=np.float64).reshape(-1)
    half_edge = _pixels(figure, widths)[np.arange(n) % max(1, len(widths))] / 2
    if len(transforms) == 0:
        transforms = np.eye(3).reshape(1, 3, 3)
    boxes = np.empty((n, 4))
    cache: dict[tuple[int, bytes], Floats] = {}
    for k in range(n):
        path = paths[k % len(paths)]
        t = np.asarray(transforms[k % len(transforms)])
        key = (k % len(paths), t.tobytes())
        extent = cache.get(key)
        if extent is None:
            box = path.get_extents(Affine2D(t) + master)
            extent = cache[key] = np.array(box.extents, dtype=np.float64)
        boxes[k] = extent + np.array([centres[k, 0], centres[k, 1]] * 2)
    grown: Floats = boxes + half_edge[:, None] * np.array([-1.0, -1.0, 1.0, 1.0])
    return grown


def _text_box(text: Text, renderer: RendererBase) -> Floats | None:
    """A text's drawn extent (with its bbox patch, if any), or None when it shows
    nothing."""
    if not text.get_visible() or not text.get_text():
        return None
    box = Text.get_window_extent(text, renderer)
    patch = text.get_bbox_patch()
    if patch is not None:
        box = Bbox.union([box, patch.get_window_extent(renderer)])
    return np.array(box.extents, dtype=np.float64)


def artist_segments(artist: Artist) -> Floats:
    """The drawn path of a line, arrow or annotation's arrow as segments in pixels
    (leader lines of every labeller come as one of these)."""
    if isinstance(artist, Annotation):
        arrow = artist.arrow_patch
        if arrow is None:
            return np.empty((0, 4))
        artist = arrow
    if isinstance(artist, Line2D):
        return path_segments(artist.get_path(), artist.get_transform())
    if isinstance(artist, FancyArrowPatch):
        # As drawn: get_path() goes back through the (maybe non-affine) transform,
        # which turns a straight arrow on a map projection into thousands of pieces.
        drawn, _ = artist._get_path_in_displaycoord()  # type: ignore[attr-defined]
        paths = drawn if isinstance(drawn, list) else [drawn]
        pieces = [
            polyline_segments(ring) for p in paths for ring in p.to_polygons(closed_only=False)
        ]
        return np.concatenate(pieces) if pieces else np.empty((0, 4))
    if isinstance(artist, Patch):
        return path_segments(artist.get_path(), artist.get_transform())
    return np.empty((0, 4))


def _drawn_over(ax: Axes) -> list[Artist]:
    """The artists seen over the axes' frame: the axes' own, those of the other axes
    of the figure laid over the same frame without a background (a twin), and the
    figure's legends and texts."""
    artists = list(ax.get_children())
    figure = ax.get_figure(root=False)
    if figure is None:
        return artists
    frame = ax.bbox
    for other in figure.axes:
        if other is ax or not other.get_visible() or other.patch.get_visible():
            continue
        if Bbox.intersection(frame, other.bbox) is not None:
            artists += [a for a in other.get_children() if a is not other.patch]
    return [*artists, *figure.legends, *figure.texts]


def gather_obstacles(ax: Axes, renderer: RendererBase, exclude: Iterable[Artist] = ()) -> Obstacles:
    """Every visible artist seen over `ax` (its own, a twin's, the figure's legends and
    texts) but those in `exclude` (the labelling's own), in display pixels by kind.
    The axes' background patch, spines, axes (ticks, grid), images and meshes are no
    obstacles."""
    own = {id(a) for a in exclude}
    out = Obstacles()
    for artist in _drawn_over(ax):
        if id(artist) in own or not artist.get_visible() or artist is ax.patch:
            continue
        if isinstance(artist, (Spine, Axis, AxesImage, QuadMesh, Axes)):
            continue
        clip = _clip_box(artist)
        if isinstance(artist, Legend):
            out.add_boxes("legend", [artist.get_window_extent(renderer).extents])
        elif isinstance(artist, Text):
            box = _text_box(artist, renderer)
            if box is not None:
                out.add_boxes("texts", [box])
            if isinstance(artist, Annotation) and artist.arrow_patch is not None:
                out.add_segments("texts", artist_segments(artist))
        elif isinstance(artist, Line2D):
            if artist.get_linestyle() not in ("None", "none", "", " ") and artist.get_linewidth():
                seg = path_segments(artist.get_path(), artist.get_transform())
                out.add_segments("lines", seg if clip is None else clip_segments(seg, clip))
            out.add_boxes("markers", line_marker_boxes(artist))
        elif isinstance(artist, PathCollection) and np.size(artist.get_offsets()):
            out.add_boxes("markers", scatter_boxes(artist))
        elif isinstance(artist, Collection):
            base = artist.get_transform()
            offsets = np.asarray(artist.get_offsets(), dtype=np.float64)
            shifts = (
                artist.get_offset_transform().transform(offsets)
                if len(offsets)
                else np.zeros((1, 2))
            )
            for k, path in enumerate(artist.get_paths()):
                shift = shifts[k % len(shifts)]
                seg = path_segments(path, base) + np.tile(shift, 2)
                out.add_segments("lines", seg if clip is None else clip_segments(seg, clip))
        elif isinstance(artist, Rectangle) and artist.get_angle() == 0:
            box = np.array(artist.get_window_extent(renderer).extents, dtype=np.float64)
            if clip is not None:  # a clipped bar shows only its part inside the axes
                box = np.concatenate((np.maximum(box[:2], clip[:2]), np.minimum(box[2:], clip[2:])))
            out.add_boxes("patches", [box])
        elif isinstance(artist, FancyArrowPatch):
            out.add_segments("lines", artist_segments(artist))
        elif isinstance(artist, Patch):
            drawn = artist.get_transform().transform_path(artist.get_path())
            for ring in drawn.to_polygons(closed_only=False):
                out.add_polygon("patches", ring, bool(artist.get_fill()))
    return out


# ---------------------------------------------------------------------------------
# The counts


@dataclass
class FigureMetrics:
    """Counts over one labelling of one Axes (a text is a drawn label)."""

    texts: int = 0
    undrawn: int = 0  # texts handed over that draw nothing (hidden, empty, non-finite place)
    text_pairs: int = 0  # pairs of labels whose texts overlap
    over_lines: int = 0  # labels crossed by a drawn line or collection path
    over_markers: int = 0  # labels over a marker at its drawn size
    over_important: int = -1  # labels over the marker of a labelled or more important point
    over_patches: int = 0  # labels over a bar or other patch
    over_texts: int = 0  # labels over another text or annotation (not a label)
    over_legend: int = 0
    outside: int = 0  # labels not wholly inside the axes box
    clear: int = 0  # labels that overlap nothing and lie inside the axes
    leaders: int = 0
    leader_pairs: int = 0  # pairs of leaders that cross
    leader_texts: int = 0  # (leader, another label's text) pairs that cross
    leader_markers: int = 0  # leaders over a marker other than their own point's
    leader_important: int = -1  # leaders over the marker of a labelled or more important point
    longest_leader: float = 0.0  # pixels along the leader
    font_sizes: int = 0
    top10: int = -1  # of the 10 points of highest priority, how many are labelled
    top50: int = -1
    wrong_texts: int = -1  # labels whose string is not their point's text
    detached: int = -1  # labels without a leader far from their point

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)


def _leader_owners(
    leaders: list[Floats], boxes: Floats, given: list[int] | None, ends_at: Floats | None
) -> tuple[NDArray[np.int64], Floats, Floats]:
    """Per leader: the index of its own label (`given`, or else the text box nearest to
    either end), its end at the point (the end nearer that label's point, one row of
    `ends_at` per label, or else the end farther from the label's box) and its
    length along the line."""
    owners = np.full(len(leaders), -1, dtype=np.int64)
    anchors = np.full((len(leaders), 2), np.nan)
    lengths = np.zeros(len(leaders))
    for i, seg in enumerate(leaders):
        lengths[i] = float(np.sum(np.hypot(seg[:, 2] - seg[:, 0], seg[:, 3] - seg[:, 1])))
        ends = np.array([seg[0, :2], seg[-1, 2:]])
        anchors[i] = ends[0]
        if given is not None:
            owners[i] = given[i]
        elif len(boxes):
            d = np.stack(
                [point_box_distance(np.repeat(e[None], len(boxes), 0), boxes) for e in ends]
            )
            owners[i] = int(np.argmin(np.min(d, axis=0)))
        k = int(owners[i])
        if k < 0:
            continue
        if ends_at is not None and np.all(np.isfinite(ends_at[k])):
            anchors[i] = ends[int(np.argmin(np.hypot(*(ends - ends_at[k]).T)))]
        else:
            far = point_box_distance(ends, np.repeat(boxes[k : k + 1], 2, 0))
            anchors[i] = ends[int(np.argmax(far))]
    return owners, anchors, lengths


def _point_marker_boxes(points: Floats, markers: Floats, tolerance: float = 1.0) -> Floats:
    """Per point: the union of the marker boxes centred on it (within `tolerance`
    pixels), NaN where no marker is drawn there."""
    out = np.full((len(points), 4), np.nan)
    if len(markers) == 0 or len(points) == 0:
        return out
    centres = np.column_stack(
        ((markers[:, 0] + markers[:, 2]) / 2, (markers[:, 1] + markers[:, 3]) / 2)
    )
    cells: dict[tuple[int, int], list[int]] = {}
    for k, (cx, cy) in enumerate(np.floor(centres).astype(np.int64).tolist()):
        cells.setdefault((cx, cy), []).append(k)
    for j, (px, py) in enumerate(points.tolist()):
        if not (np.isfinite(px) and np.isfinite(py)):
            continue
        gx, gy = int(np.floor(px)), int(np.floor(py))
        near = [
            k for dx in (-1, 0, 1) for dy in (-1, 0, 1) for k in cells.get((gx + dx, gy + dy), [])
        ]
        near = [k for k in near if np.hypot(*(centres[k] - (px, py))) <= tolerance]
        if near:
            m = markers[near]
            out[j] = (m[:, 0].min(), m[:, 1].min(), m[:, 2].max(), m[:, 3].max())
    return out


def _contains(boxes: Floats, point: Floats) -> Bools:
    inside: Bools = (
        (boxes[:, 0] <= point[0])
        & (point[0] <= boxes[:, 2])
        & (boxes[:, 1] <= point[1])
        & (point[1] <= boxes[:, 3])
    )
    return inside


def top_drawn(priority: Sequence[float], drawn: Iterable[int], n: int) -> int:
    """How many of the `n` points of highest priority (ties: input order) are drawn."""
    order = np.argsort(-np.asarray(priority, dtype=np.float64), kind="stable")[:n]
    return len(set(order.tolist()) & set(drawn))


def figure_metrics(
    ax: Axes,
    texts: Sequence[Text],
    leaders: Sequence[Artist] = (),
    *,
    renderer: RendererBase | None = None,
    shown: Sequence[int] | None = None,
    points: Floats | None = None,
    priority: Sequence[float] | None = None,
    expected: Sequence[str] | None = None,
    owners: Sequence[int] | None = None,
    exclude: Iterable[Artist] = (),
) -> FigureMetrics:
    """Counts what a reader sees of a labelling of `ax`: its `texts` and `leaders`
    (Line2D, FancyArrowPatch or Annotation arrows) against each other and against every
    other artist of the axes (`exclude` names more of the labelling's own artists).

    Optional, per label: `shown[k]`, the input index of texts[k]; with them, `points`
    ((n, 2) display pixels of all n input points) gives leaders' points and labels'
    distances, `priority` (n numbers, larger first; default input order) the top-10
    and top-50 counts and which points are more important, `expected` (n strings) the
    texts each label should show. `owners[i]`, the index in `texts` of leader i's
    label, where the labeller tells; else the label nearest to the leader's ends. Draws
    the figure first unless given `renderer`."""
    figure = ax.get_figure(root=True)
    assert isinstance(figure, Figure)
    if renderer is None:
        renderer = renderer_of(figure)
    # A text draws nothing when hidden, empty or at a non-finite position.
    extents = [np.asarray(Text.get_window_extent(t, renderer).extents) for t in texts]
    index = [
        k
        for k, t in enumerate(texts)
        if t.get_visible() and t.get_text() and np.all(np.isfinite(extents[k]))
    ]
    labels = [texts[k] for k in index]
    boxes = _rows([extents[k] for k in index])
    lead_segments = [artist_segments(a) for a in leaders]
    lead_keep = [k for k, s in enumerate(lead_segments) if len(s)]
    lead_segments = [lead_segments[k] for k in lead_keep]
    obstacles = gather_obstacles(ax, renderer, [*texts, *leaders, *exclude])
    frame = np.array(ax.get_window_extent(renderer).extents, dtype=np.float64)

    m = FigureMetrics(texts=len(labels), undrawn=len(texts) - len(labels))
    m.leaders = len(lead_segments)
    m.text_pairs = overlapping_pairs(boxes)
    bad = np.zeros(len(boxes), dtype=bool)
    for kind in KINDS:
        hit = obstacles.hits(kind, boxes)
        setattr(m, f"over_{kind}", int(np.count_nonzero(hit)))
        bad |= hit
    out = (
        (boxes[:, 0] < frame[0] - EPS)
        | (boxes[:, 1] < frame[1] - EPS)
        | (boxes[:, 2] > frame[2] + EPS)
        | (boxes[:, 3] > frame[3] + EPS)
    )
    m.outside = int(np.count_nonzero(out))
    pair_hit = boxes_meet(boxes, boxes) & ~np.eye(len(boxes), dtype=bool)
    bad |= out | np.any(pair_hit, axis=1)
    m.font_sizes = len({round(float(t.get_fontsize()), 3) for t in labels})

    # Leaders: which label and point each belongs to, then what each passes over.
    given = None
    if owners is not None:
        at = {k: j for j, k in enumerate(index)}  # texts index -> drawn label index
        given = [at.get(int(owners[k]), -1) for k in lead_keep]
    ends_at = None
    if points is not None and shown is not None:
        pts_all = _rows(points, 2)
        ends_at = pts_all[[int(shown[k]) for k in index]] if index else np.empty((0, 2))
    mine, anchors, lengths = _leader_owners(lead_segments, boxes, given, ends_at)
    m.longest_leader = float(np.max(lengths, initial=0.0))
    if lead_segments:
        flat = np.vstack(lead_segments)
        which = np.repeat(np.arange(len(lead_segments)), [len(s) for s in lead_segments])
        pairs: set[tuple[int, int]] = set()
        leader_text = np.zeros((len(lead_segments), len(boxes)), dtype=bool)
        step = max(1, _CHUNK // max(len(flat), len(boxes), 1))
        for start in range(0, len(flat), step):  # in blocks: leaders may be many
            part = flat[start : start + step]
            rows, cols = np.nonzero(segments_cross(part, flat))
            a_of, b_of = which[start + rows], which[cols]
            pairs.update(
                (min(a, b), max(a, b)) for a, b in zip(a_of.tolist(), b_of.tolist()) if a != b
            )
            np.logical_or.at(
                leader_text, which[start : start + step], segments_hit_boxes(part, boxes)
            )
        m.leader_pairs = len(pairs)
        has = np.nonzero(mine >= 0)[0]
        leader_text[has, mine[has]] = False  # a leader reaches its own text
        m.leader_texts = int(np.count_nonzero(leader_text))
        bad |= np.any(leader_text, axis=0)
        markers = obstacles.boxes.get("markers", np.empty((0, 4)))
        over = 0
        for i, seg in enumerate(lead_segments):
            others = markers[~_contains(markers, anchors[i])]
            over += bool(np.any(segments_hit_boxes(seg, others)))
        m.leader_markers = over
    m.clear = int(np.count_nonzero(~bad))

    if shown is None:
        return m
    drawn = [int(shown[k]) for k in index]
    if priority is not None:
        m.top10 = top_drawn(priority, drawn, 10)
        m.top50 = top_drawn(priority, drawn, 50)
    if expected is not None:
        m.wrong_texts = sum(t.get_text() != expected[i] for t, i in zip(labels, drawn))
    if points is None:
        return m
    pts = _rows(points, 2)
    markers = obstacles.boxes.get("markers", np.empty((0, 4)))
    own_marker = _point_marker_boxes(pts[drawn], markers) if drawn else np.empty((0, 4))
    with_leader = set(mine.tolist())
    reach = np.where(
        np.isnan(own_marker[:, 0]),
        0.0,
        np.maximum(own_marker[:, 2] - own_marker[:, 0], own_marker[:, 3] - own_marker[:, 1]) / 2,
    )
    gaps = point_box_distance(pts[drawn], boxes) if drawn else np.empty(0)
    limit = (boxes[:, 3] - boxes[:, 1]) + reach + 2.0 if drawn else np.empty(0)
    m.detached = sum(
        1 for k in range(len(drawn)) if k not in with_leader and not gaps[k] <= limit[k]
    )
    # Leaders over the markers of labelled or more important points.
    rank = (
        -np.arange(len(pts), dtype=np.float64)
        if priority is None
        else np.asarray(priority, dtype=np.float64)
    )
    point_boxes = _point_marker_boxes(pts, markers)
    labelled = np.zeros(len(pts), dtype=bool)
    labelled[drawn] = True
    important = 0
    for i, seg in enumerate(lead_segments):
        if mine[i] >= 0:
            own = drawn[int(mine[i])]
        else:
            own = int(np.nanargmin(np.hypot(pts[:, 0] - anchors[i, 0], pts[:, 1] - anchors[i, 1])))
        wanted = (labelled | (rank > rank[own])) & ~np.isnan(point_boxes[:, 0])
        wanted[own] = False
        candidates = point_boxes[wanted]
        candidates = candidates[~_contains(candidates, anchors[i])]
        important += bool(np.any(segments_hit_boxes(seg, candidates)))
    m.leader_important = important
    # Labels over the marker of another labelled point or a more important one.
    over = 0
    for k, own in enumerate(drawn):
        wanted = (labelled | (rank > rank[own])) & ~np.isnan(point_boxes[:, 0])
        wanted[own] = False
        over += bool(np.any(boxes_meet(boxes[k : k + 1], point_boxes[wanted])))
    m.over_important = over
    return m
