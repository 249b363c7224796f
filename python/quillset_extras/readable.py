"""Showing only labels that can be read: which placed labels to draw, and the
placement of labels beside points with optional leader lines, on any canvas.

Everything here works in the engine's canvas units (x to the right, y downward)
and needs numpy (which matplotlib brings, and the "pillow" extra installs) but
neither matplotlib nor Pillow: quillset_extras.mpl and the Pillow helpers draw
what it decides.
"""

from __future__ import annotations

import math
import operator
from array import array
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from itertools import accumulate
from typing import Literal

from ._optional import missing

try:
    import numpy as np
    from numpy.typing import NDArray
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.readable", "pillow") from None

import quillset

from .geometry import EPS, Box, BoxIndex, Segment, bounds, crosses
from .measure import Measurer, Memoized
from .quality import is_fallback, object_box

Floats = NDArray[np.float64]
Ints = NDArray[np.int64]
Bools = NDArray[np.bool_]

# Obstacles reach the engine as labels with this text; their measurer answers a
# box of zero size, which overlaps nothing while candidates that cover the
# obstacle's object pay for it.
_OBSTACLE = "\x00quillset-obstacle\x00"
_OBSTACLE_SIZE = 9
# With "hide" a label that covers anything is not drawn at all: covering must
# cost more than shrinking to the smallest tier, so both overlap weights grow.
_HIDE_WEIGHT = 100.0
# Leader lines reach this many line heights by default, and at most this share
# of the canvas's longer side.
_REACH = 8
_LONGEST_SHARE = 0.2
# Directions in which the leader search looks for room, the first straight up.
_DIRECTIONS = 16
# Leader rounds per priority tier: a label that the engine placed where it cannot
# be read searches again in the next round, for another room.
_LEADER_ROUNDS = 4
# Drawn texts side by side keep this share of the text height apart.
_GAP = 0.2
# Points farther off the canvas than this (or NaN) are moved here.
_FAR = 1e9
# Labels in the first priority tier of the leader rounds; each next tier is 4
# times larger.
_FIRST_TIER = 16
# Improvement passes of overlap="allow" without a config: on dense data the
# passes never settle, and on maps of 3,000 cities and charts of 140 to 440
# points 4 passes leave within 3 % as many overlapping pairs as 8, or 30, at half
# the time of 8.
_ALLOW_PASSES = 4


def inside(box: Box, width: float, height: float) -> bool:
    return box[0] >= 0.0 and box[1] >= 0.0 and box[2] <= width and box[3] <= height


# The most squares of _Dots' counts, per marker and in all: building them takes
# time in the number of squares, so few markers get squares of 2, 4, ... units.
_SQUARES_PER_MARKER = 16
_MOST_SQUARES = 1 << 22


class _Dots(BoxIndex[Box]):
    """The markers: a BoxIndex with, over the canvas cut in squares, two tables of
    counts summed from the top left (built once; no boxes are added afterwards).
    One counts the squares that some marker reaches into: a box that, widened by
    the overlap margin, reaches no such square overlaps no marker. The
    other counts markers by the square of their top left corner: a box that wholly
    holds such a square overlaps that marker. hit answers those two cases from
    four sums each and looks at the cells for the rest."""

    def __init__(self, cell: float, boxes: Sequence[Box], width: float, height: float) -> None:
        super().__init__(cell)
        # A power of two, so that dividing by it is exact.
        s = 1.0
        most = min(max(4096, _SQUARES_PER_MARKER * len(boxes)), _MOST_SQUARES)
        while (max(width, 0.0) / s + 2.0) * (max(height, 0.0) / s + 2.0) > most:
            s *= 2.0
        nx, ny = int(max(width, 0.0) // s) + 1, int(max(height, 0.0) // s) + 1
        self.side, self.inverse = s, 1.0 / s
        self.right, self.bottom = nx * s, ny * s
        # Reach: +1/-1 at the corners of each reached range, summed twice below.
        change = [[0] * (nx + 1) for _ in range(ny + 1)]
        corners = [[0] * nx for _ in range(ny)]
        for box in boxes:
            self.add(box)
            l, t, r, b = box  # finite: add has floored them
            i0, i1 = math.floor(min(l, r) / s), math.floor(max(l, r) / s)
            j0, j1 = math.floor(min(t, b) / s), math.floor(max(t, b) / s)
            i0, i1 = min(max(i0, 0), nx - 1), min(max(i1, 0), nx - 1)
            j0, j1 = min(max(j0, 0), ny - 1), min(max(j1, 0), ny - 1)
            change[j0][i0] += 1
            change[j0][i1 + 1] -= 1
            change[j1 + 1][i0] -= 1
            change[j1 + 1][i1 + 1] += 1
            if l <= r and t <= b and 0.0 <= l < nx * s and 0.0 <= t < ny * s:
                corners[int(t // s)][int(l // s)] += 1
        column = [0] * (nx + 1)
        reached = []
        for row in change[:ny]:
            column = list(map(operator.add, column, row))
            reached.append(list(accumulate(column[:nx])))
        self.reach = self._summed(reached, nx)
        self.corners = self._summed(corners, nx)

    @staticmethod
    def _summed(rows: Sequence[Sequence[int]], n: int) -> list[array[int]]:
        """table[j][i]: the sum of rows[0 .. j-1][0 .. i-1]."""
        above = array("q", bytes(8 * (n + 1)))
        table = [above]
        for row in rows:
            above = array("q", map(operator.add, above, accumulate(map(bool, row), initial=0)))
            table.append(above)
        return table

    def hit(self, box: Box) -> bool:
        x0, y0, x1, y1 = box[0] - EPS, box[1] - EPS, box[2] + EPS, box[3] + EPS
        # Within (-side, nx * side) int() of a coordinate over the side is its
        # square's floor clamped to 0 (the side is a power of two: exact). Boxes
        # reaching further, turned inside out or NaN go to the cells.
        if -self.side < x0 <= x1 < self.right and -self.side < y0 <= y1 < self.bottom:
            inv = self.inverse
            i0, i1, j0, j1 = int(x0 * inv), int(x1 * inv) + 1, int(y0 * inv), int(y1 * inv) + 1
            t = self.reach
            if t[j1][i1] - t[j0][i1] - t[j1][i0] + t[j0][i0] == 0:
                return False
            # The squares wholly inside the box.
            i0, i1 = int(box[0] * inv) + 1, int(box[2] * inv)
            j0, j1 = int(box[1] * inv) + 1, int(box[3] * inv)
            if i0 < i1 and j0 < j1:
                t = self.corners
                if t[j1][i1] - t[j0][i1] - t[j1][i0] + t[j0][i0] > 0:
                    return True
        return super().hit(box)


# The most squares of a _Pixels grid.
_MOST_PIXELS = 1 << 22


class _Pixels:
    """Which squares of a canvas some box reaches into, widened by the overlap
    margin, kept as a numpy grid (squares of one unit, or of 2, 4, ... on huge
    canvases), to sort many boxes at once: a box that wholly holds a marked square
    overlaps the box that marked it, and a box that, widened by the margin, meets
    no marked square overlaps none of the boxes (as overlaps says). Squares one
    beyond each edge of the canvas are kept too."""

    def __init__(self, width: float, height: float) -> None:
        side = 1.0
        while (width / side + 3.0) * (height / side + 3.0) > _MOST_PIXELS:
            side *= 2.0
        self.side = side
        # Squares -1 .. last in each direction, at index square + 1.
        self.last_x, self.last_y = math.ceil(width / side), math.ceil(height / side)
        self.marks = np.zeros((self.last_y + 2, self.last_x + 2), np.int32)
        self.table: Ints | None = None  # the marks summed from the top left

    def copy(self) -> _Pixels:
        copy = _Pixels.__new__(_Pixels)
        copy.side, copy.last_x, copy.last_y = self.side, self.last_x, self.last_y
        copy.marks, copy.table = self.marks.copy(), None
        return copy

    def mark(self, boxes: Iterable[Box]) -> None:
        s, marks = self.side, self.marks
        for l, t, r, b in boxes:
            if not (
                math.isfinite(l) and math.isfinite(t) and math.isfinite(r) and math.isfinite(b)
            ):
                continue
            i0 = max(math.floor((l - EPS) / s), -1)
            i1 = min(math.ceil((r + EPS) / s) - 1, self.last_x)
            j0 = max(math.floor((t - EPS) / s), -1)
            j1 = min(math.ceil((b + EPS) / s) - 1, self.last_y)
            if i0 <= i1 and j0 <= j1:
                marks[j0 + 1 : j1 + 2, i0 + 1 : i1 + 2] = 1
        self.table = None

    def sort(self, x0: Floats, y0: Floats, x1: Floats, y1: Floats) -> tuple[Bools, Bools]:
        """For boxes on the canvas, given by the arrays of their edges: which
        surely overlap a marked box, and which surely overlap none."""
        table = self.table
        if table is None:
            table = np.zeros((self.marks.shape[0] + 1, self.marks.shape[1] + 1), np.int64)
            table[1:, 1:] = self.marks.cumsum(0).cumsum(1)
            self.table = table
        s = self.side

        def count(i0: Ints, i1: Ints, j0: Ints, j1: Ints) -> Ints:
            # Marked squares i0 .. i1 by j0 .. j1 (inclusive; none when empty).
            found = table[j1 + 2, i1 + 2] - table[j0 + 1, i1 + 2] - table[j1 + 2, i0 + 1]
            found += table[j0 + 1, i0 + 1]
            return np.where((i0 <= i1) & (j0 <= j1), found, 0)

        def squares(v: Floats) -> Ints:
            return np.floor(v).astype(np.int64)

        held = count(
            squares(np.ceil(x0 / s)), squares(np.floor(x1 / s)) - 1,
            squares(np.ceil(y0 / s)), squares(np.floor(y1 / s)) - 1,
        )  # fmt: skip
        touched = count(
            squares((x0 - EPS) / s), squares((x1 + EPS) / s),
            squares((y0 - EPS) / s), squares((y1 + EPS) / s),
        )  # fmt: skip
        return held > 0, touched == 0


class _Lines:
    def __init__(self, cell: float) -> None:
        self.index = BoxIndex[Box](cell)
        self.lines: dict[Box, list[Segment]] = {}

    def add(self, line: Segment) -> None:
        extent = bounds(line)
        self.index.add(extent)
        self.lines.setdefault(extent, []).append(line)

    def cross(self, box: Box) -> bool:
        return any(
            crosses(line, box) for extent in self.index.near(box) for line in self.lines[extent]
        )


def text_box(result: quillset.LayoutResult, size: quillset.TextSize) -> Box | None:
    """Where the text of a placed label is drawn: its box inside the padding,
    `size` being what the measurer answered at the result's font size. None for a
    label that found no place."""
    if is_fallback(result):
        return None
    left = result.left + result.padding_x
    top = result.top + result.padding_y
    return (left, top, left + size.width, top + size.height + size.baseline)


def apart(box: Box, gap: float) -> Box:
    """The box with the room it keeps free on its left and right: texts side by
    side that come closer than that read as one."""
    return (box[0] - gap, box[1], box[2] + gap, box[3])


def choose_readable(
    boxes: Sequence[Box | None],
    order: Iterable[int],
    markers: Sequence[Box] | BoxIndex[Box],
    width: float,
    height: float,
    *,
    drawn: Sequence[Box] = (),
    lines: Sequence[Segment | None] | None = None,
    drawn_lines: Sequence[Segment] = (),
    cell: float = 32.0,
    gap: float = 0.0,
) -> list[int]:
    """The labels to draw so that every drawn text can be read.

    `boxes[i]` is where label i's text would be drawn (see text_box; None for a
    label without a place). Labels are taken in `order`, most important first, and
    label i is kept when its box lies inside the canvas `width` x `height`,
    overlaps no box of a label kept before, no box of `markers` (its own point
    included) and no box of `drawn` (text already on the canvas). With `lines`,
    lines[i] is label i's leader line (or None): then a kept label's line also
    crosses no kept or drawn text but its own, and no kept line nor any of
    `drawn_lines` crosses its text. Texts side by side keep `gap` apart, so that
    they do not read as one. Returns the kept labels in the order in which they
    were taken."""
    taken = BoxIndex[Box](cell)
    for box in drawn:
        taken.add(apart(box, gap))
    if isinstance(markers, BoxIndex):
        obstacles = markers
    else:
        obstacles = BoxIndex[Box](cell)
        for box in markers:
            obstacles.add(box)
    kept_lines = _Lines(cell)
    for line in drawn_lines:
        kept_lines.add(line)
    kept = []
    for i in order:
        found = boxes[i]
        if found is None or not inside(found, width, height):
            continue
        box = found
        if taken.hit(box) or obstacles.hit(box):
            continue
        leader = None if lines is None else lines[i]
        if kept_lines.cross(box) or (leader is not None and taken.crossed_by(leader)):
            continue
        taken.add(apart(box, gap))
        if leader is not None:
            kept_lines.add(leader)
        kept.append(i)
    return kept


def priority_order(count: int, priority: Sequence[float] | None) -> list[int]:
    """Indices from the most important to the least: larger priority first, ties
    (and everything when `priority` is None) in input order."""
    if priority is None:
        return list(range(count))
    if len(priority) != count:
        raise ValueError(f"{count} points but {len(priority)} priorities")
    values = [float(p) for p in priority]
    if any(math.isnan(v) for v in values):
        raise ValueError("priority holds NaN")
    return sorted(range(count), key=lambda i: -values[i])


def leader_line(point: tuple[float, float], box: Box) -> Segment:
    """From the point to the nearest point of the box."""
    x, y = point
    return (x, y, min(max(x, box[0]), box[2]), min(max(y, box[1]), box[3]))


@dataclass
class Placement:
    """What place_readable decided, in canvas units, per input label."""

    results: list[quillset.LayoutResult | None]
    """the engine's result for every shown label, None for the others"""
    boxes: list[Box | None]
    """where every shown label's text goes (text_box), None for the others"""
    shown: list[int]
    """labels to draw, in input order"""
    hidden: list[int]
    """labels not drawn, in input order"""
    leaders: dict[int, Segment] = field(default_factory=dict)
    """the leader line of each label placed away from its point"""
    markers: list[Box] = field(default_factory=list)
    """the point boxes that labels avoid"""


class _Engine:
    """One engine round: labels and obstacles, measured through one cache."""

    def __init__(
        self, width: int, height: int, measure: Measurer, config: quillset.LayoutConfig
    ) -> None:
        zero = quillset.TextSize(-2 * config.paddingX, -2 * config.paddingY, 0)

        def route(text: str, size: int) -> quillset.TextSize:
            return zero if text == _OBSTACLE else measure(text, size)

        self.engine = quillset.Quillset(width, height, route, config)
        self.labels: list[int] = []

    def label(self, key: int, box: Box, text: str, size: int) -> None:
        self.engine.add(*box, text, size)
        self.labels.append(key)

    def obstacle(self, box: Box) -> None:
        self.engine.add(*box, _OBSTACLE, _OBSTACLE_SIZE)
        self.labels.append(-1)

    def solve(self) -> dict[int, quillset.LayoutResult]:
        self.engine.solve()
        return {k: r for k, r in zip(self.labels, self.engine.layout()) if k >= 0}


# The engine measures a label at its base size and smaller tiers, never below
# this; and sizes are 16-bit in its candidates.
_SMALLEST_SIZE = 9
_LARGEST_SIZE = 32767


def _smallest(font_size: int) -> int:
    # A lower bound of the smallest size at which the engine measures a label.
    return max(min(font_size, _SMALLEST_SIZE), math.floor(font_size * 0.75))


def _room(obj: Box, w: float, h: float, pad_x: float, pad_y: float) -> list[Box]:
    """Text boxes of w x h at the four anchors of the object box: above and below
    it from its left edge, right and left of it from its top edge."""
    x0, y0, x1, y1 = obj
    bx, by = x0 + pad_x, y0 + pad_y
    return [
        (bx, y0 - pad_y - h, bx + w, y0 - pad_y),
        (x1 + pad_x, by, x1 + pad_x + w, by + h),
        (bx, y1 + pad_y, bx + w, y1 + pad_y + h),
        (x0 - pad_x - w, by, x0 - pad_x, by + h),
    ]


def place_readable(
    width: int,
    height: int,
    points: Sequence[tuple[float, float]],
    texts: Sequence[str],
    measure: Measurer,
    font_size: int,
    *,
    radius: float = 4.0,
    overlap: Literal["allow", "hide"] = "allow",
    priority: Sequence[float] | None = None,
    leaders: bool = False,
    max_distance: float | None = None,
    config: quillset.LayoutConfig | None = None,
) -> Placement:
    """Places texts[i] beside points[i] on a `width` x `height` canvas, each point
    a marker box of half-size `radius`, with labels measured by `measure` at
    `font_size` (its units) and the engine's smaller tiers.

    overlap="allow" draws every label that found a place, as the engine placed it;
    without `config` the engine runs with a `gridSize` of about two line heights
    and at most 4 improvement passes.
    overlap="hide" draws a label only when its text overlaps no other drawn text
    and no marker and lies on the canvas, taking labels by `priority` (larger
    first; ties and default in input order). Before placing, labels for which no
    room is left beside their point are not sent to the engine at all, so dense
    data costs little. The engine then runs with a `gridSize` of about two line
    heights and `costOccludeObj` and `costOverlapBase` 100 times those of
    `config`: covering anything costs a label its place, which is worse than the
    smallest tier.

    With `leaders`, labels are taken in priority tiers (16 labels, then 64, 256,
    ...): a tier first keeps the labels that fit beside their point. Each of its
    other labels then looks for room farther away: anchors on circles about its
    point a line height apart, out to `max_distance` (default 8 line heights, at
    most a fifth of the canvas's longer side), in 16 directions, the nearest
    first, where its smallest size fits on a side facing away from the point,
    free of markers, drawn texts and the room found by more important labels,
    with a leader line (from the point to the nearest point of the text) that
    crosses no drawn text. An engine round then places the labels that found an
    anchor about it, with the drawn labels and the markers within reach as
    obstacles, and a label is drawn under the same rule as above, when its line
    crosses no drawn text and no drawn line crosses its text. A label the engine
    placed where it cannot be read searches again, up to three times, for a room
    it has not tried. So an important label in a crowd may sit far
    from its point before a much less important one takes the room beside its
    own. Obstacles reach the engine as labels whose box has zero size at their
    object: unlike the fallback box at the canvas origin, they do not all share
    one grid cell.

    With "hide", texts side by side keep a fifth of the text height apart, so
    that two names do not read as one. Points that are not finite get no
    label."""
    if overlap not in ("allow", "hide"):
        raise ValueError(f"overlap must be 'allow' or 'hide', not {overlap!r}")
    if leaders and overlap != "hide":
        raise ValueError("leaders need overlap='hide'")
    if len(points) != len(texts):
        raise ValueError(f"{len(points)} points but {len(texts)} texts")
    for text in texts:
        if text == _OBSTACLE:
            raise ValueError("a label text is reserved")
    if not _SMALLEST_SIZE <= font_size <= _LARGEST_SIZE:
        raise ValueError(
            f"place_readable: font_size must be {_SMALLEST_SIZE} to {_LARGEST_SIZE} in the "
            f"measurer's units, not {font_size!r} (the engine measures no size below "
            f"{_SMALLEST_SIZE}: for smaller text, measure in finer units)"
        )
    if not (math.isfinite(radius) and radius >= 0.0):
        raise ValueError(f"place_readable: radius must be 0 or more, not {radius!r}")
    if max_distance is not None and not max_distance > 0.0:
        raise ValueError(f"place_readable: max_distance must be positive, not {max_distance!r}")
    # Beyond this a marker covers any canvas just the same; below it, its edges
    # stay finite in the engine's single precision.
    radius = min(radius, _FAR)
    order = priority_order(len(points), priority)
    base = quillset.LayoutConfig() if config is None else config
    sizes = measure if isinstance(measure, Memoized) else Memoized(measure)
    # A point that is not finite, or absurdly far off the canvas, gets no label
    # and blocks nothing.
    points = [
        (float(x), float(y)) if abs(x) <= _FAR and abs(y) <= _FAR else (-_FAR, -_FAR)
        for x, y in points
    ]
    on_canvas = [0.0 <= x <= width and 0.0 <= y <= height for x, y in points]
    markers = [(x - radius, y - radius, x + radius, y + radius) for x, y in points]
    objects = _object_boxes(markers)
    results: list[quillset.LayoutResult | None] = [None] * len(points)
    boxes: list[Box | None] = [None] * len(points)

    def finish(shown: Iterable[int], leaders: dict[int, Segment]) -> Placement:
        shown_set = set(shown)
        for i in range(len(points)):
            if i not in shown_set:
                results[i] = boxes[i] = None
        return Placement(
            results,
            boxes,
            sorted(shown_set),
            [i for i in range(len(points)) if i not in shown_set],
            leaders,
            markers,
        )

    full = sizes("Hg", font_size)
    pad_x, pad_y = float(base.paddingX), float(base.paddingY)
    line_height = full.height + full.baseline + 2 * pad_y
    if overlap == "allow":
        tuned = base
        if config is None:
            # Grid cells of the default size hold dozens of small labels, which
            # every overlap sum then visits; on dense data the passes do not settle
            # and, after a few, move labels about without making fewer overlaps.
            tuned = _copy(base)
            tuned.gridSize = max(8, int(2 * line_height))
            tuned.maxIterations = _ALLOW_PASSES
        engine = _Engine(width, height, sizes, tuned)
        for i in range(len(points)):
            if on_canvas[i]:
                engine.label(i, markers[i], texts[i], font_size)
        for i, result in engine.solve().items():
            size = sizes(texts[i], result.fontSize) if not is_fallback(result) else None
            results[i] = result
            boxes[i] = None if size is None else text_box(result, size)
        return finish([i for i in range(len(points)) if boxes[i] is not None], {})

    config = _copy(base)
    config.gridSize = max(8, int(2 * line_height))
    config.costOccludeObj *= _HIDE_WEIGHT
    config.costOverlapBase *= _HIDE_WEIGHT
    cell = max(8.0, 2.0 * line_height)
    gap = _GAP * (full.height + full.baseline)
    # Cells about a line high: a label's box spans few of them.
    marker_index = _Dots(max(4.0, 2.0 * radius, line_height), markers, width, height)
    small = _smallest(font_size)

    def plausible(candidates: Iterable[tuple[int, Box]], claims: BoxIndex[Box]) -> list[int]:
        """The labels, taken in order, that find room of their smallest size at an
        anchor of their object box: free of markers, of room claimed by labels
        taken before, and on the canvas. Each claims the first room it finds."""
        found = []
        hit, claimed = marker_index.hit, claims.hit

        def free(b: Box) -> bool:
            return (
                b[0] >= 0.0
                and b[1] >= 0.0
                and b[2] <= width
                and b[3] <= height
                and not hit(b)
                and not claimed(b)
            )

        for i, obj in candidates:
            m = sizes(texts[i], small)
            for b in _room(obj, m.width, m.height + m.baseline, pad_x, pad_y):
                if free(b):
                    claims.add(b)
                    found.append(i)
                    break
        return found

    def reach_box(i: int, obj: Box) -> Box:
        """Where label i's candidates around `obj` can lie, at its full size."""
        full_size = sizes(texts[i], font_size)
        w = full_size.width + 2 * pad_x
        h = full_size.height + full_size.baseline + 2 * pad_y
        return (obj[0] - w, obj[1] - h, obj[2] + w, obj[3] + h)

    def solve_round(
        chosen: Sequence[int], obj: Sequence[Box], avoid: Sequence[BoxIndex[Box]], own: bool
    ) -> dict[int, quillset.LayoutResult]:
        """One engine for the chosen labels around their objects, with the markers
        and the boxes of `avoid` within their reach as obstacles."""
        engine = _Engine(width, height, sizes, config)
        near: set[Box] = set()
        for i in chosen:
            reach = reach_box(i, obj[i])
            marker_index.collect(reach, near)
            for more in avoid:
                more.collect(reach, near)
        for i in chosen:
            engine.label(i, obj[i], texts[i], font_size)
            if own:  # the label's object is its own marker
                near.discard(markers[i])
        for box in sorted(near):
            engine.obstacle(box)
        return engine.solve()

    def measured_box(i: int, result: quillset.LayoutResult) -> Box | None:
        if is_fallback(result):
            return None
        return text_box(result, sizes(texts[i], result.fontSize))

    candidates = [(i, objects[i]) for i in order if on_canvas[i]]
    first = plausible(candidates, BoxIndex[Box](cell))
    for i, result in solve_round(first, objects, (), True).items():
        results[i], boxes[i] = result, measured_box(i, result)
    if not leaders:
        shown = choose_readable(boxes, order, marker_index, width, height, cell=cell, gap=gap)
        return finish(shown, {})

    if max_distance is None:
        # Lines longer than a fifth of the canvas lead the eye too far.
        reach = min(_REACH * math.ceil(line_height), _LONGEST_SHARE * max(width, height))
    else:
        # No room on the canvas lies farther from a point on it than its diagonal.
        reach = min(max_distance, math.hypot(width, height))
    longest = reach + radius
    drawn_boxes: list[Box] = []
    leader_of: dict[int, Segment] = {}
    shown_set: set[int] = set()
    # Where the leader search looks, in order: anchors on circles about a line
    # height apart out to the reach, in _DIRECTIONS directions on each (the first
    # straight up), and at each anchor the sides of it that face away from the
    # point (one or two of _room's four).
    steps = []
    circles = max(1, math.floor(reach / line_height))
    for k in range(1, circles + 1):
        r = radius + reach * k / circles
        for d in range(_DIRECTIONS):
            dx, dy = (
                math.sin(2.0 * math.pi * d / _DIRECTIONS),
                -math.cos(2.0 * math.pi * d / _DIRECTIONS),
            )
            for side, faces in enumerate((dy < -0.38, dx > 0.38, dy > 0.38, dx < -0.38)):
                if faces:
                    steps.append((r * dx, r * dy, side))
    step_x, step_y = np.array([v[0] for v in steps]), np.array([v[1] for v in steps])
    step_side = np.array([v[2] for v in steps], np.int64)
    dots = _Pixels(width, height)
    dots.mark(markers)

    def find_room(
        i: int,
        taken: _Pixels,
        drawn: BoxIndex[Box],
        claims: BoxIndex[Box],
        lines: _Lines,
        tried: set[int],
    ) -> Box | None:
        """The first anchor of the search about label i's point with room beside
        it for the label's smallest size: on the canvas, free of markers, of drawn
        texts and of the `claims` of labels before it in this round, its leader
        line within reach and crossing no drawn or claimed text, and no line of
        `lines` crossing the room. `taken` has the markers and drawn texts marked.
        Rooms in `tried` (their places in the search) are passed over; the room
        found is added to `tried` and `claims`, and its line to `lines`. Returns
        the anchor's object box, or None."""
        x, y = points[i]
        m = sizes(texts[i], small)
        # The four rooms about an anchor at (0, 0), as _room places them.
        rooms = np.array(
            _room((-1.0, -1.0, 1.0, 1.0), m.width, m.height + m.baseline, pad_x, pad_y)
        )
        # Whole units: the engine's object box then is the anchor's own.
        ax, ay = np.rint(x + step_x), np.rint(y + step_y)
        room = rooms[step_side]
        x0, y0, x1, y1 = ax + room[:, 0], ay + room[:, 1], ax + room[:, 2], ay + room[:, 3]
        reached = np.hypot(np.clip(x, x0, x1) - x, np.clip(y, y0, y1) - y) <= longest
        on = np.flatnonzero((x0 >= 0.0) & (y0 >= 0.0) & (x1 <= width) & (y1 <= height) & reached)
        held, free = taken.sort(x0[on], y0[on], x1[on], y1[on])
        for k, sure in zip(on[~held].tolist(), free[~held].tolist(), strict=True):
            if k in tried:
                continue
            box = (float(x0[k]), float(y0[k]), float(x1[k]), float(y1[k]))
            if not sure and (marker_index.hit(box) or drawn.hit(box)):
                continue
            if claims.hit(box):
                continue
            line = leader_line((x, y), box)
            if drawn.crossed_by(line) or claims.crossed_by(line) or lines.cross(box):
                continue
            claims.add(apart(box, gap))
            lines.add(line)
            tried.add(k)
            cx, cy = int(ax[k]), int(ay[k])
            return (cx - 1, cy - 1, cx + 1, cy + 1)
        return None

    def leader_round(chosen: list[int], anchors: list[Box], drawn: BoxIndex[Box]) -> None:
        """Places the chosen labels about their anchors in one engine round, with
        the `drawn` texts as obstacles, and keeps those that can be read, with
        their leader lines."""
        placed = solve_round(chosen, anchors, (drawn,), False)
        trial: list[Box | None] = [None] * len(points)
        lines: list[Segment | None] = [None] * len(points)
        for i, result in placed.items():
            away = measured_box(i, result)
            if away is None:
                continue
            line = leader_line(points[i], away)
            if math.hypot(line[2] - line[0], line[3] - line[1]) > longest:
                continue
            trial[i], lines[i] = away, line
        kept = choose_readable(
            trial,
            chosen,
            marker_index,
            width,
            height,
            drawn=drawn_boxes,
            lines=lines,
            drawn_lines=list(leader_of.values()),
            cell=cell,
            gap=gap,
        )
        for i in kept:
            kept_box, kept_line = trial[i], lines[i]
            assert kept_box is not None and kept_line is not None
            results[i], boxes[i], leader_of[i] = placed[i], kept_box, kept_line
            drawn_boxes.append(kept_box)
            shown_set.add(i)

    ranked = [i for i in order if on_canvas[i]]
    # Tiers of growing size by priority: each tier takes the room beside its
    # points and then room farther away before a less important tier takes any,
    # so a label can sit far from its point before a much less important one sits
    # near.
    start, tier_size = 0, _FIRST_TIER
    while start < len(ranked):
        tier = ranked[start : start + tier_size]
        start, tier_size = start + tier_size, tier_size * 4
        near = choose_readable(
            boxes,
            tier,
            marker_index,
            width,
            height,
            drawn=drawn_boxes,
            drawn_lines=list(leader_of.values()),
            cell=cell,
            gap=gap,
        )
        for i in near:
            near_box = boxes[i]
            assert near_box is not None
            drawn_boxes.append(near_box)
            shown_set.add(i)
        waiting = [i for i in tier if i not in shown_set]
        tried: dict[int, set[int]] = {i: set() for i in waiting}
        for _ in range(_LEADER_ROUNDS):
            taken, drawn = dots.copy(), BoxIndex[Box](cell)
            taken.mark(apart(box, gap) for box in drawn_boxes)
            for box in drawn_boxes:
                drawn.add(apart(box, gap))
            claims, lines = BoxIndex[Box](cell), _Lines(cell)
            for line in leader_of.values():
                lines.add(line)
            anchors = list(objects)
            chosen = []
            for i in waiting:
                found = find_room(i, taken, drawn, claims, lines, tried[i])
                if found is not None:
                    anchors[i] = found
                    chosen.append(i)
            if not chosen:
                break
            leader_round(chosen, anchors, drawn)
            waiting = [i for i in chosen if i not in shown_set]
    return finish(shown_set, leader_of)


def _object_boxes(boxes: Sequence[Box]) -> list[Box]:
    """object_box of each box, in one conversion to single precision."""
    flat = array("f", [v for box in boxes for v in box])
    out = []
    floor, ceil = math.floor, math.ceil
    for k, box in enumerate(boxes):
        l, t, r, b = flat[4 * k : 4 * k + 4]
        if r - l < 2.0 or b - t < 2.0:  # the engine widens it first
            out.append(object_box(*box))
        else:
            out.append((floor(l), floor(t), ceil(r), ceil(b)))
    return out


def _copy(config: quillset.LayoutConfig) -> quillset.LayoutConfig:
    copy = quillset.LayoutConfig()
    for name in (
        "gridSize",
        "spatialIndexThreshold",
        "maxIterations",
        "paddingX",
        "paddingY",
        "costPos1_Top",
        "costPos2_Right",
        "costPos3_Bottom",
        "costPos4_Left",
        "costSlidingPenalty",
        "costScaleTier",
        "costOccludeObj",
        "costOverlapBase",
    ):
        setattr(copy, name, getattr(config, name))
    return copy
