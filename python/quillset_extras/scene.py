"""The scene that the readable-label stages share: the canvas, the points with
their texts, sizes and markers, what else is drawn there (obstacles), how labels
are measured, and the indexes built over all of it; and the labels drawn so far,
which the stages fill in turn.

Everything is in the engine's canvas units (x to the right, y downward).
"""

from __future__ import annotations

import functools
import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Protocol

from ._optional import missing

try:
    import numpy as np
    from numpy.typing import NDArray
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.scene", "pillow") from None

import quillset

from .engine_round import (
    EngineRound,
    ObjectBoxes,
    anchor_rooms,
    config_copy,
    smallest_size,
    text_box,
)
from .geometry import EPS, Box, BoxIndex, LineIndex, Segment, apart, inside, overlaps
from .grids import Coverage, MarkerIndex, mask_boxes
from .measure import Memoized
from .quality import is_fallback

Floats = NDArray[np.float64]
Ints = NDArray[np.int64]

FAR = 1e9
"""Points farther off the canvas than this (or not finite) are moved here: they
get no label and block nothing."""

# With "hide" a label that covers anything is not drawn at all: covering must
# cost more than shrinking to the smallest tier, so both overlap weights grow by
# this factor.
_HIDE_WEIGHT = 100.0
# Drawn texts side by side keep this share of the text height apart.
_GAP = 0.2
# Steps of a text slid along a side of its marker, in the map-maker's places.
_SLIDES = 4
# For the FINE_RANKS most important labels of a call (as many as the first two
# priority tiers hold when every point is in view): on maps of 3,000 cities twice
# the steps draw 1 to 2 more of the 50 most important without leaders; for all
# labels they cost a re-placement 10 to 15 %.
_FINE_SLIDES = 8
FINE_RANKS = 80
# Characters of the narrowest advance, and the share of it that no character of
# a text takes less of: how long a text is at the least, unmeasured.
_NARROW = (" ", ".", ",", "'", "i", "l", "|", "!", ":", ";")
_NARROW_SHARE = 0.5
# Up to this many markers the engine sees each; more, it sees them merged.
_EXACT_MARKERS = 4096
# Boxes compared with every marker at once (of at most _EXACT_MARKERS).
_NEAR_AT_ONCE = 256
_INKED_AT_ONCE = 4096
# A label had better not cover the markers of the points this many places after
# it in priority: their labels come soon and matter nearly as much.
_NEXT = 64
# The cells of the indexes of drawn texts, in grid cells.
_TEXT_CELLS = 4.0


def grid_cell(line_height: float) -> float:
    """Cells about two line heights wide, for the engine's grid and the indexes:
    a label's box spans few of them, and few labels share one."""
    return max(8.0, 2.0 * line_height)


def far_points(points: Sequence[tuple[float, float]]) -> list[tuple[float, float]]:
    """The points, those not finite or absurdly far off the canvas moved far off
    it: they get no label and block nothing."""
    kept = []
    for p in points:
        x, y = p
        if not (abs(x) <= FAR and abs(y) <= FAR):
            p = (-FAR, -FAR)
        elif not (type(p) is tuple and type(x) is float and type(y) is float):
            p = (float(x), float(y))
        kept.append(p)  # else the caller's own: a million copies cost 100 MB
    return kept


class BoxOf(Protocol):
    """A box per label index: a list, a dict of some labels, ObjectBoxes."""

    def __getitem__(self, i: int, /) -> Box: ...


@dataclass
class Scene:
    """A canvas with points to label, what else is drawn on it, and what the
    stages derive from them."""

    width: int
    height: int
    points: list[tuple[float, float]]
    """each point, moved to (-FAR, -FAR) when far off the canvas or not finite"""
    texts: list[str]
    measure: Memoized
    sizes: list[int]
    """each label's size, in the measurer's units"""
    markers: list[Box]
    """each point's marker: no text covers the marker of a more important point,
    of a point whose label is drawn, or its own"""
    config: quillset.LayoutConfig
    """the caller's configuration (or the default)"""
    order: list[int]
    """labels from the most important to the least"""
    shrink: bool = False
    """whether labels may take the engine's smaller tiers"""
    obstacles: list[Box] = field(default_factory=list)
    """boxes that no text covers and no leader line crosses"""
    mask: NDArray[np.bool_] | None = None
    """pixels (a row per unit from the top) that no text covers and no leader
    line crosses"""

    @functools.cached_property
    def rank(self) -> list[int]:
        """Each label's place in `order`: 0 the most important."""
        rank = [0] * len(self.points)
        for place, i in enumerate(self.order):
            rank[i] = self.numbers[place]
        return rank

    @functools.cached_property
    def numbers(self) -> list[int]:
        """0 .. n-1, made of order's own ints (order holds each once): lists of
        labels that share them cost a million ints (30 MB) less each."""
        numbers = [0] * len(self.points)
        for i in self.order:
            numbers[i] = i
        return numbers

    @functools.cached_property
    def on_canvas(self) -> list[bool]:
        w, h = self.width, self.height
        return [0.0 <= x <= w and 0.0 <= y <= h for x, y in self.points]

    @functools.cached_property
    def marker_array(self) -> NDArray[np.float64]:
        """The markers as rows (left, top, right, bottom)."""
        return np.array(self.markers, float).reshape(-1, 4)

    @functools.cached_property
    def objects(self) -> ObjectBoxes:
        """The markers as the engine stores its object boxes."""
        return ObjectBoxes(self.markers, self.marker_array)

    @property
    def font_size(self) -> int:
        """The largest size, which sets the line height and the grids' cells."""
        return max(self.sizes, default=9)

    @functools.cached_property
    def text_height(self) -> int:
        full = self.measure("Hg", self.font_size)
        return full.height + full.baseline

    @property
    def pad_x(self) -> float:
        return float(self.config.paddingX)

    @property
    def pad_y(self) -> float:
        return float(self.config.paddingY)

    @property
    def line_height(self) -> float:
        """A label's height at full size, padding included."""
        return self.text_height + 2 * self.pad_y

    @property
    def cell(self) -> float:
        return grid_cell(self.line_height)

    @property
    def gap(self) -> float:
        """The room that drawn texts keep free on their left and right."""
        return _GAP * self.text_height

    def smallest(self, i: int) -> int:
        """The smallest size at which label i may be drawn."""
        return smallest_size(self.sizes[i]) if self.shrink else self.sizes[i]

    @functools.cached_property
    def hide_config(self) -> quillset.LayoutConfig:
        """The engine's configuration where covering anything costs a label its
        place: the overlap weights of `config` grown so that shrinking to the
        smallest tier is always cheaper."""
        return config_copy(
            self.config,
            gridSize=int(self.cell),
            costOccludeObj=self.config.costOccludeObj * _HIDE_WEIGHT,
            costOverlapBase=self.config.costOverlapBase * _HIDE_WEIGHT,
        )

    @functools.cached_property
    def _order_array(self) -> NDArray[np.intp]:
        return np.array(self.order, np.intp)

    def ranked_markers(self, first: int, last: int) -> NDArray[np.float64]:
        """The markers of the points of rank `first` to `last` (excluded), most
        important first, as rows (left, top, right, bottom)."""
        return self.marker_array[self._order_array[first:last]]

    @functools.cached_property
    def marker_index(self) -> MarkerIndex:
        """The markers with the rank of their point."""
        widest = max((max(m[2] - m[0], m[3] - m[1]) for m in self.markers), default=0.0)
        # Cells about a line high: a label's box spans few of them.
        cell = max(4.0, min(widest, self.line_height * 4), self.line_height)
        ranked = [(m[0], m[1], m[2], m[3], r) for m, r in zip(self.markers, self.rank, strict=True)]
        return MarkerIndex(cell, ranked, self.width, self.height, self.marker_array)

    @functools.cached_property
    def blocked(self) -> Coverage | None:
        """The canvas's squares that obstacles reach into; None without any."""
        if not self.obstacles and (self.mask is None or not self.mask.any()):
            return None
        blocked = Coverage(self.width, self.height)
        blocked.mark(self.obstacles)
        if self.mask is not None:
            blocked.mark_mask(self.mask)
        return blocked

    @functools.cached_property
    def boxes_blocked(self) -> Coverage | None:
        """The canvas's squares that the obstacle boxes reach into (the mask
        aside); None without any."""
        if not self.obstacles:
            return None
        blocked = Coverage(self.width, self.height)
        blocked.mark(self.obstacles)
        return blocked

    @functools.cached_property
    def obstacle_index(self) -> BoxIndex[Box]:
        """The obstacles as boxes for the engine: the boxes given, and the mask in
        runs of squares a few units wide."""
        index = BoxIndex[Box](self.cell)
        for box in self.obstacles:
            index.add(box)
        if self.mask is not None:
            for box in mask_boxes(self.mask, max(2, int(self.text_height) // 4)):
                index.add(box)
        return index

    @functools.cached_property
    def marker_runs(self) -> BoxIndex[Box] | None:
        """Many markers as the engine sees them: the canvas's squares a few units
        wide that markers reach into, in runs along rows (one engine obstacle per
        run, not per marker); None for few markers, which it sees one by one."""
        if len(self.markers) <= _EXACT_MARKERS:
            return None
        cover = np.zeros((self.height, self.width), bool)
        boxes = np.array(self.markers, float).reshape(-1, 4)
        i0 = np.clip(np.floor(boxes[:, 0]), 0, self.width).astype(np.int64)
        i1 = np.clip(np.ceil(boxes[:, 2]), 0, self.width).astype(np.int64)
        j0 = np.clip(np.floor(boxes[:, 1]), 0, self.height).astype(np.int64)
        j1 = np.clip(np.ceil(boxes[:, 3]), 0, self.height).astype(np.int64)
        keep = (i0 < i1) & (j0 < j1)
        change = np.zeros((self.height + 1, self.width + 1), np.int64)
        np.add.at(change, (j0[keep], i0[keep]), 1)
        np.add.at(change, (j0[keep], i1[keep]), -1)
        np.add.at(change, (j1[keep], i0[keep]), -1)
        np.add.at(change, (j1[keep], i1[keep]), 1)
        cover = change.cumsum(0).cumsum(1)[:-1, :-1] > 0
        index = BoxIndex[Box](self.cell)
        for box in mask_boxes(cover, max(2, int(self.text_height) // 4)):
            index.add(box)
        return index

    def is_blocked(self, box: Box) -> bool:
        """Whether the box covers an obstacle."""
        return self.blocked is not None and self.blocked.touches(box)

    def measured_box(self, i: int, result: quillset.LayoutResult) -> Box | None:
        """Where label i's text goes as `result` placed it; None for no place."""
        if is_fallback(result):
            return None
        return text_box(result, self.measure(self.texts[i], result.fontSize))

    def rooms(self, i: int, obj: Box) -> list[Box]:
        """Label i's text at its smallest size at each anchor of `obj`."""
        m = self.measure(self.texts[i], self.smallest(i))
        return anchor_rooms(obj, m.width, m.height + m.baseline, self.pad_x, self.pad_y)

    def spots(self, i: int) -> list[Box]:
        """Label i's text at its own size in the places about its marker that
        map-makers try (see spot_array)."""
        return [(a, b, c, d) for a, b, c, d in self.spot_array([i])[0].tolist()]

    def open_spots(self, i: int) -> list[Box]:
        """Label i's spots (finer for a label of the first FINE_RANKS) that lie
        on the canvas, clear of the obstacles and of the markers of more
        important points: where only what is drawn may keep its text."""
        found = self._open_spots.get(i)
        if found is None:
            spots = self.spot_array([i], fine=self.rank[i] < FINE_RANKS)[0]
            m = self.ranked_markers(0, self.rank[i] + 1)
            x0, y0 = spots[:, 0:1] - EPS, spots[:, 1:2] - EPS
            x1, y1 = spots[:, 2:3] + EPS, spots[:, 3:4] + EPS
            hit = ((m[:, 2] > x0) & (x1 > m[:, 0]) & (m[:, 3] > y0) & (y1 > m[:, 1])).any(axis=1)
            w, h = self.width, self.height
            found = self._open_spots[i] = [
                s for s in (tuple(row) for row in spots[~hit].tolist())
                if inside(s, w, h) and not self.is_blocked(s)
            ]  # fmt: skip
        return found

    @functools.cached_property
    def _open_spots(self) -> dict[int, list[Box]]:
        return {}

    def extents(self, labels: Sequence[int]) -> tuple[Floats, Floats]:
        """The labels' texts' width and height at their own size, as columns."""
        sizes = [self.measure(self.texts[i], self.sizes[i]) for i in labels]
        w = np.array([m.width for m in sizes], float)[:, None]
        h = np.array([m.height + m.baseline for m in sizes], float)[:, None]
        return w, h

    def least_extents(self, labels: Sequence[int]) -> tuple[Floats, Floats]:
        """Less than the labels' texts' width and height at any size they may take,
        without measuring them: their characters at a share of the narrowest
        one's advance, and a little less than a line. A place of this size lies
        within the place of the real text."""
        least = {}
        for size in {self.sizes[i] for i in labels}:
            small = self.smallest_size_of(size)
            narrowest = min(self.measure(c, small).width for c in _NARROW)
            line = self.measure("Hg", small)
            least[size] = (_NARROW_SHARE * narrowest, line.height + line.baseline - 2.0)
        w = np.array([len(self.texts[i]) * least[self.sizes[i]][0] for i in labels], float)
        h = np.array([least[self.sizes[i]][1] for i in labels], float)
        return w[:, None], np.maximum(h, 0.0)[:, None]

    def closer_extents(
        self, labels: Sequence[int], least: tuple[Floats, Floats]
    ) -> tuple[Floats, Floats] | None:
        """The labels' `least` extents (as least_extents gives them) made closer
        where the measurer can tell without measuring (see FontMeasurer.least);
        None where it cannot."""
        closer = getattr(self.measure.measure, "least", None)
        if closer is None:
            return None
        w, h = least[0].copy(), least[1].copy()
        sizes = np.array([self.sizes[i] for i in labels])
        for size in np.unique(sizes).tolist():
            rows = np.flatnonzero(sizes == size)
            texts = [self.texts[labels[k]] for k in rows.tolist()]
            found = closer(texts, self.smallest_size_of(size))
            if found is not None:
                w[rows, 0] = np.fmax(w[rows, 0], found[0])
                h[rows, 0] = np.maximum(h[rows, 0], found[1])
        return w, h

    def smallest_size_of(self, size: int) -> int:
        return smallest_size(size) if self.shrink else size

    def spot_array(
        self,
        labels: Sequence[int],
        extents: tuple[Floats, Floats] | None = None,
        fine: bool = False,
    ) -> Floats:
        """The labels' texts at their own size (or of `extents`) in the places
        about their markers that map-makers try, in their order of preference:
        above right, above left, below right, below left, right, left, above,
        below; then the same sides with the text slid along them, in finer steps
        where `fine`. Shape (labels, places, 4)."""
        w, h = self.extents(labels) if extents is None else extents
        m = np.array([self.markers[i] for i in labels], float).reshape(-1, 4)
        l, t, r, b = m[:, 0:1], m[:, 1:2], m[:, 2:3], m[:, 3:4]
        cx, cy = (l + r) / 2, (t + b) / 2
        above, below = t - self.pad_y - h, b + self.pad_y
        right, left = r + self.pad_x, l - self.pad_x - w
        xs = [right, left, right, left, right, left, cx - w / 2, cx - w / 2]
        ys = [above, above, below, below, cy - h / 2, cy - h / 2, above, below]
        slides = _FINE_SLIDES if fine else _SLIDES
        for k in range(1, slides):
            f = k / slides
            xs += [cx - w * f, cx - w * f, right, left]
            ys += [above, below, cy - h * f, cy - h * f]
        x0, y0 = np.hstack(xs), np.hstack(ys)
        w2, h2 = np.broadcast_to(w, x0.shape), np.broadcast_to(h, x0.shape)
        return np.stack([x0, y0, x0 + w2, y0 + h2], axis=-1)

    def room_array(
        self, labels: Sequence[int], extents: tuple[Floats, Floats] | None = None
    ) -> Floats:
        """The labels' texts at their smallest size (or of `extents`) at the
        engine's four anchors of their object boxes (anchor_rooms' order). Shape
        (labels, 4, 4)."""
        o = self.objects.rows[np.array(labels, np.intp)].astype(float).reshape(-1, 4)
        x0, y0, x1, y1 = o[:, 0:1], o[:, 1:2], o[:, 2:3], o[:, 3:4]
        bx, by = x0 + self.pad_x, y0 + self.pad_y
        if extents is None:
            # As rooms (anchor_rooms) computes each, edge by edge.
            sizes = [self.measure(self.texts[i], self.smallest(i)) for i in labels]
            w = np.array([m.width for m in sizes], float)[:, None]
            h = np.array([m.height + m.baseline for m in sizes], float)[:, None]
            px, py = self.pad_x, self.pad_y
            rooms = [
                (bx, y0 - py - h, bx + w, y0 - py),
                (x1 + px, by, x1 + px + w, by + h),
                (bx, y1 + py, bx + w, y1 + py + h),
                (x0 - px - w, by, x0 - px, by + h),
            ]
            return np.stack([np.hstack(np.broadcast_arrays(*r)) for r in rooms], axis=1)
        w, h = extents
        xs = [bx, x1 + self.pad_x, bx, x0 - self.pad_x - w]
        ys = [y0 - self.pad_y - h, by, y1 + self.pad_y, by]
        left, top = np.hstack(xs), np.hstack(ys)
        return np.stack(
            [left, top, left + np.broadcast_to(w, left.shape), top + np.broadcast_to(h, top.shape)],
            axis=-1,
        )

    @functools.cached_property
    def _centres(self) -> tuple[NDArray[np.int32], float]:
        """The markers' centres counted per unit square and summed from the top
        left, and half the median marker's side."""
        boxes = self.marker_array
        cx = np.floor((boxes[:, 0] + boxes[:, 2]) / 2).astype(np.int64)
        cy = np.floor((boxes[:, 1] + boxes[:, 3]) / 2).astype(np.int64)
        on = (cx >= 0) & (cx < self.width) & (cy >= 0) & (cy < self.height)
        # int32 holds any count of markers that fits in memory as boxes.
        flat = (cy[on] + 1) * (self.width + 1) + cx[on] + 1
        found = np.bincount(flat, minlength=(self.height + 1) * (self.width + 1))
        counts = found.astype(np.int32).reshape(self.height + 1, self.width + 1)
        np.cumsum(counts, 1, out=counts)  # along the rows first: faster
        np.cumsum(counts, 0, out=counts)
        sides = np.maximum(boxes[:, 2] - boxes[:, 0], boxes[:, 3] - boxes[:, 1])
        return counts, float(np.median(sides)) / 2 if len(sides) else 0.0

    def covered(self, labels: Sequence[int], places: Floats) -> tuple[Ints, Ints]:
        """For each label's places (shape (labels, places, 4), finite; all zero
        for a place to pass over), about how many markers each covers of the
        points that come just after the label in priority, and how many in all
        (markers whose centre lies within half a marker of the place): two arrays
        of shape (labels, places)."""
        table, half = self._centres
        l, t, r, b = (places[..., k] for k in range(4))
        x0, y0 = (
            np.maximum((l - half).astype(np.int64), 0),
            np.maximum((t - half).astype(np.int64), 0),
        )
        x1 = np.minimum((r + half).astype(np.int64) + 1, self.width)
        y1 = np.minimum((b + half).astype(np.int64) + 1, self.height)
        some = (x0 < x1) & (y0 < y1)
        x0, y0, x1, y1 = (np.where(some, v, 0) for v in (x0, y0, x1, y1))
        total = table[y1, x1].astype(np.int64) - table[y0, x1] - table[y1, x0] + table[y0, x0]
        # The markers of the next points in priority: (labels, next, edges).
        after = np.array([self.rank[i] for i in labels], np.int64)[:, None] + np.arange(
            1, _NEXT + 1
        )
        real = after < len(self.order)
        m = self.marker_array[self._order_array[np.minimum(after, len(self.order) - 1)]]
        # Each label's places reach few of them: only those are compared with
        # every place. All-zero places are not the label's own.
        own = (l != 0.0) | (t != 0.0) | (r != 0.0) | (b != 0.0)
        bl, bt = np.where(own, l, np.inf).min(axis=1), np.where(own, t, np.inf).min(axis=1)
        br, bb = np.where(own, r, -np.inf).max(axis=1), np.where(own, b, -np.inf).max(axis=1)
        near = (
            real & (m[..., 2] > bl[:, None]) & (br[:, None] > m[..., 0])
            & (m[..., 3] > bt[:, None]) & (bb[:, None] > m[..., 1])
        )  # fmt: skip
        rows, cols = np.nonzero(near)
        mk = m[rows, cols][:, None, :]
        hit = (
            (mk[..., 2] > l[rows]) & (r[rows] > mk[..., 0])
            & (mk[..., 3] > t[rows]) & (b[rows] > mk[..., 1])
        )  # fmt: skip
        soon = np.zeros(l.shape, np.int64)
        np.add.at(soon, rows, hit)
        return soon, np.where(some, total, 0)

    def markers_near(self, boxes: Sequence[Box]) -> list[int]:
        """The points whose marker comes closer than EPS to sharing area with one
        of the boxes (as BoxIndex.collect says), all at once."""
        m = self.marker_array
        found = np.zeros(len(m), bool)
        edges = np.array(boxes, float).reshape(-1, 4)
        for start in range(0, len(edges), _NEAR_AT_ONCE):
            part = edges[start : start + _NEAR_AT_ONCE]
            x0, y0 = part[:, 0:1] - EPS, part[:, 1:2] - EPS
            x1, y1 = part[:, 2:3] + EPS, part[:, 3:4] + EPS
            hit = (m[:, 2] > x0) & (x1 > m[:, 0]) & (m[:, 3] > y0) & (y1 > m[:, 1])
            found |= hit.any(axis=0)
        return np.flatnonzero(found).tolist()

    def reach_box(self, i: int, obj: Box) -> Box:
        """Where label i's candidates about `obj` can lie, at its full size."""
        full = self.measure(self.texts[i], self.sizes[i])
        w = full.width + 2 * self.pad_x
        h = full.height + full.baseline + 2 * self.pad_y
        return (obj[0] - w, obj[1] - h, obj[2] + w, obj[3] + h)


_NOWHERE: Box = (math.nan, math.nan, math.nan, math.nan)


@dataclass
class Drawn:
    """The labels drawn so far: what the stages decided, per input label, with
    indexes of the drawn texts, leader lines and markers of drawn labels."""

    results: list[quillset.LayoutResult | None]
    """the engine's result of each label placed, None for the others"""
    boxes: list[Box | None]
    """where each placed label's text goes, None for the others"""
    sizes: list[int | None]
    """the size of each placed label, None for the others"""
    cell: float
    gap: float
    shown: set[int] = field(default_factory=set)
    texts: list[Box] = field(default_factory=list)
    """the boxes of the drawn texts, in the order drawn (NaN where a text was
    taken back)"""
    leader_lines: dict[int, Segment] = field(default_factory=dict)

    def __post_init__(self) -> None:
        # Texts are several line heights wide: in cells this many times larger
        # most of them file at the smallest size, and a query looks at one size
        # of cells rather than three or four.
        text_cell = _TEXT_CELLS * self.cell
        self.text_index = BoxIndex[Box](text_cell)
        """the drawn texts, each with the room it keeps free beside it"""
        self.ink_index = BoxIndex[Box](text_cell)
        """the drawn texts as they are"""
        self.line_index = LineIndex(self.cell)
        self.shown_markers = BoxIndex[Box](self.cell)
        self.owners: dict[Box, list[int]] = {}
        """the labels drawn at each drawn text's box"""
        self.places: dict[Box, list[int]] = {}
        """where each drawn text's box is in `texts`, first first"""
        self.version = 0
        """how many times a text was drawn or taken back (with it, what is drawn
        changes)"""
        self.no_room: dict[tuple[Box, ...], bool] = {}
        """make_room's failures since the last change (see make_room)"""
        self.no_room_at = -1
        """the version that no_room holds for"""

    @classmethod
    def empty(cls, scene: Scene) -> Drawn:
        count = len(scene.points)
        return cls([None] * count, [None] * count, [None] * count, scene.cell, scene.gap)

    def inked(self, markers: Floats) -> NDArray[np.bool_]:
        """Which of the markers (rows) a drawn text covers, as ink_index.hit says
        of each, all at once."""
        texts = np.array(self.texts, float).reshape(-1, 4)
        found = np.zeros(len(markers), bool)
        for first in range(0, len(markers) if len(texts) else 0, _INKED_AT_ONCE):
            m = markers[first : first + _INKED_AT_ONCE]
            x0, y0 = m[:, 0:1] - EPS, m[:, 1:2] - EPS
            x1, y1 = m[:, 2:3] + EPS, m[:, 3:4] + EPS
            for start in range(0, len(texts), _NEAR_AT_ONCE):
                t = texts[start : start + _NEAR_AT_ONCE]
                hit = (t[:, 2] > x0) & (x1 > t[:, 0]) & (t[:, 3] > y0) & (y1 > t[:, 1])
                found[first : first + _INKED_AT_ONCE] |= hit.any(axis=1)
        return found

    def place(self, i: int, result: quillset.LayoutResult, box: Box | None) -> None:
        self.results[i], self.boxes[i], self.sizes[i] = result, box, result.fontSize

    def place_at(self, i: int, box: Box, size: int) -> None:
        """Places label i at `box`, at `size`, without the engine."""
        self.results[i], self.boxes[i], self.sizes[i] = None, box, size

    def show(self, i: int, marker: Box, line: Segment | None = None) -> None:
        box = self.boxes[i]
        assert box is not None
        self._add_text(i, box)
        self.shown_markers.add(marker)
        self.shown.add(i)
        if line is not None:
            self.leader_lines[i] = line
            self.line_index.add(line)

    def unshow(self, i: int, marker: Box) -> None:
        """Takes back label i and its leader line."""
        line = self.leader_lines.pop(i, None)
        if line is not None:
            self.line_index.remove(line)
        self.lift(i)
        self.shown_markers.remove(marker)
        self.shown.remove(i)

    def lift(self, i: int) -> None:
        """Takes back the text of label i, drawn without a leader line, for a
        while: its marker stays that of a drawn label."""
        box = self.boxes[i]
        assert box is not None and i not in self.leader_lines
        self.version += 1
        # In place, a box that covers nothing: what came after keeps its index.
        places = self.places[box]
        self.texts[places.pop(0)] = _NOWHERE
        if not places:
            del self.places[box]
        self.text_index.remove(apart(box, self.gap))
        self.ink_index.remove(box)
        owners = self.owners[box]
        owners.remove(i)
        if not owners:
            del self.owners[box]

    def put(self, i: int, box: Box, size: int) -> None:
        """Draws the text of label i, lifted, at `box`."""
        self.place_at(i, box, size)
        self._add_text(i, box)

    def _add_text(self, i: int, box: Box) -> None:
        self.version += 1
        self.places.setdefault(box, []).append(len(self.texts))
        self.texts.append(box)
        self.text_index.add(apart(box, self.gap))
        self.ink_index.add(box)
        self.owners.setdefault(box, []).append(i)

    def inked_by(self, box: Box) -> set[int]:
        """The labels whose drawn text overlaps `box`."""
        wider = (box[0] - EPS, box[1] - EPS, box[2] + EPS, box[3] + EPS)
        return {j for b in self.ink_index.near(wider) if overlaps(b, box) for j in self.owners[b]}

    def in_way(self, box: Box) -> set[int]:
        """The labels whose drawn text, with the room beside it, overlaps `box`."""
        gap = self.gap
        wider = (box[0] - gap - EPS, box[1] - EPS, box[2] + gap + EPS, box[3] + EPS)
        return {
            j for b in self.ink_index.near(wider) if overlaps(apart(b, gap), box)
            for j in self.owners[b]
        }  # fmt: skip


def solve_round(
    scene: Scene,
    chosen: Sequence[int],
    objects: BoxOf,
    drawn: Drawn,
    own: bool,
) -> dict[int, quillset.LayoutResult]:
    """One engine round for the chosen labels about their `objects`. Within their
    reach, the obstacles, the drawn texts and all markers are obstacles to the
    engine (a text may cover a less important point's marker, but had better
    not); with `own`, a label's object is its own marker, which is then no
    obstacle."""
    engine = EngineRound(
        scene.width, scene.height, scene.measure, scene.hide_config, one_size=not scene.shrink
    )
    near: set[Box] = set()
    runs = scene.marker_runs
    reaches = [scene.reach_box(i, objects[i]) for i in chosen]
    for reach in reaches:
        if runs is not None:
            runs.collect(reach, near)
        scene.obstacle_index.collect(reach, near)
        drawn.text_index.collect(reach, near)
    if runs is None:
        near.update(scene.markers[k] for k in scene.markers_near(reaches))
    for i in chosen:
        engine.label(i, objects[i], scene.texts[i], scene.sizes[i])
        if own:
            near.discard(scene.markers[i])
    engine.obstacles(sorted(near))
    return engine.solve()
