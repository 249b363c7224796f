"""Boxes and segments on a canvas, and indexes that find the boxes near a box and
the segments that cross one.

Plain Python, no numpy: the quality figures and the readable-label search both
use it. Boxes are (left, top, right, bottom) with y growing downward; a tuple
with more fields is a box carrying a payload after its four edges.
"""

from __future__ import annotations

import math
from collections.abc import Iterator

__all__ = [
    "Box",
    "BoxIndex",
    "Boxlike",
    "EPS",
    "LineIndex",
    "Segment",
    "apart",
    "bounds",
    "crosses",
    "inside",
    "leader_line",
    "overlaps",
    "overlaps_strictly",
    "segments_cross",
    "widened",
]

Box = tuple[float, float, float, float]
"""left, top, right, bottom; y grows downward."""
Segment = tuple[float, float, float, float]
"""x0, y0, x1, y1 of a straight line."""
Boxlike = tuple[float, ...]
"""A box, or a box with a payload after its four edges."""

# Boxes closer than this count as overlapping: drawn extents pass through float
# transforms, and text that merely touches is hard to read anyway.
EPS = 0.01


def overlaps(a: Box, b: Box) -> bool:
    """Whether a and b come closer than a hundredth of a unit to sharing area."""
    return b[2] > a[0] - EPS and a[2] > b[0] - EPS and b[3] > a[1] - EPS and a[3] > b[1] - EPS


def overlaps_strictly(a: Boxlike, b: Boxlike) -> bool:
    """Whether a and b share area: boxes that only share an edge do not."""
    return b[2] > a[0] and a[2] > b[0] and b[3] > a[1] and a[3] > b[1]


def crosses(line: Segment, box: Boxlike) -> bool:
    """Whether the segment passes through the box's inside (touching an edge or a
    corner does not count)."""
    x0, y0, x1, y1 = line
    lo, hi = 0.0, 1.0
    for start, delta, low, high in ((x0, x1 - x0, box[0], box[2]), (y0, y1 - y0, box[1], box[3])):
        if delta == 0.0:
            if not low < start < high:
                return False
            continue
        t0, t1 = (low - start) / delta, (high - start) / delta
        if t0 > t1:
            t0, t1 = t1, t0
        lo, hi = max(lo, t0), min(hi, t1)
        if hi - lo <= 1e-9:
            return False
    return True


def segments_cross(a: Segment, b: Segment) -> bool:
    """Whether two segments cross: each has its ends strictly on the two sides of
    the other's line. Segments that only touch, or lie on one line, do not."""

    def side(p: Segment, x: float, y: float) -> float:
        return (p[2] - p[0]) * (y - p[1]) - (p[3] - p[1]) * (x - p[0])

    return (
        side(a, b[0], b[1]) * side(a, b[2], b[3]) < 0.0
        and side(b, a[0], a[1]) * side(b, a[2], a[3]) < 0.0
    )


def bounds(line: Segment) -> Box:
    """The smallest box that holds the segment."""
    x0, y0, x1, y1 = line
    return (min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1))


def inside(box: Box, width: float, height: float) -> bool:
    """Whether the box lies wholly on a `width` x `height` canvas."""
    return box[0] >= 0.0 and box[1] >= 0.0 and box[2] <= width and box[3] <= height


def widened(box: Boxlike, margin: float) -> Box:
    """The box (its four edges) grown by `margin` on every side."""
    return (box[0] - margin, box[1] - margin, box[2] + margin, box[3] + margin)


def apart(box: Box, gap: float) -> Box:
    """The box with the room it keeps free on its left and right: texts side by
    side that come closer than that read as one."""
    return (box[0] - gap, box[1], box[2] + gap, box[3])


def leader_line(point: tuple[float, float], box: Box) -> Segment:
    """From the point to the nearest point of the box."""
    x, y = point
    return (x, y, min(max(x, box[0]), box[2]), min(max(y, box[1]), box[3]))


class BoxIndex[Item: Boxlike]:
    """A growing set of boxes that answers "which boxes are near this box" from a
    few cells, however large the boxes are.

    Cells come in sizes cell, 2 cell, 4 cell, ...: a box is filed in the smallest
    size of which it spans at most two cells per axis, so it costs at most four
    entries. A query looks at the cells it touches in each size in use, or, where
    that range holds more cells than the size has filled, at the filled ones. A box
    with a NaN edge overlaps nothing and is not filed; one with an infinite extent
    is kept apart and visited by every query."""

    def __init__(self, cell: float) -> None:
        self.cell = cell if math.isfinite(cell) and cell >= 1.0 else 1.0
        # level -> (cell size, cells)
        self.levels: dict[int, tuple[float, dict[tuple[int, int], list[Item]]]] = {}
        self.endless: list[Item] = []
        self.count = 0

    def add(self, box: Item) -> None:
        self.count += 1
        l, t, r, b = box[0], box[1], box[2], box[3]
        span = max(r - l, b - t)
        if span != span or l != l or t != t:  # NaN
            return
        if span == math.inf or not (abs(l) < math.inf and abs(t) < math.inf):
            self.endless.append(box)
            return
        level = max(0, math.frexp(span / self.cell)[1]) if span > self.cell else 0
        found = self.levels.get(level)
        if found is None:
            found = self.levels[level] = (self.cell * 2.0**level, {})
        size, cells = found
        i0, i1 = math.floor(l / size), math.floor(r / size)
        j0, j1 = math.floor(t / size), math.floor(b / size)
        for i in range(i0, max(i0, i1) + 1):
            for j in range(j0, max(j0, j1) + 1):
                cells.setdefault((i, j), []).append(box)

    def remove(self, box: Item) -> None:
        """Removes one box equal to `box`, which was added."""
        self.count -= 1
        l, t, r, b = box[0], box[1], box[2], box[3]
        span = max(r - l, b - t)
        if span != span or l != l or t != t:
            return
        if span == math.inf or not (abs(l) < math.inf and abs(t) < math.inf):
            self.endless.remove(box)
            return
        level = max(0, math.frexp(span / self.cell)[1]) if span > self.cell else 0
        size, cells = self.levels[level]
        i0, i1 = math.floor(l / size), math.floor(r / size)
        j0, j1 = math.floor(t / size), math.floor(b / size)
        for i in range(i0, max(i0, i1) + 1):
            for j in range(j0, max(j0, j1) + 1):
                cells[(i, j)].remove(box)
                if not cells[(i, j)]:
                    del cells[(i, j)]

    def _lists(self, l: float, t: float, r: float, b: float) -> Iterator[list[Item]]:
        """The filled cells that the box (l, t, r, b) touches, in every size."""
        if l != l or t != t or r != r or b != b:
            return
        if self.endless:
            yield self.endless
        finite = abs(l) < math.inf and abs(t) < math.inf and r < math.inf and b < math.inf
        for size, cells in self.levels.values():
            if not finite:
                yield from cells.values()
                continue
            i0, i1 = math.floor(l / size), math.floor(r / size)
            j0, j1 = math.floor(t / size), math.floor(b / size)
            if i1 < i0 or j1 < j0:
                continue
            if (i1 - i0 + 1) * (j1 - j0 + 1) > len(cells):
                yield from self._filled(cells, i0, i1, j0, j1)
                continue
            get = cells.get
            for i in range(i0, i1 + 1):
                for j in range(j0, j1 + 1):
                    entry = get((i, j))
                    if entry:
                        yield entry

    @staticmethod
    def _filled(
        cells: dict[tuple[int, int], list[Item]], i0: int, i1: int, j0: int, j1: int
    ) -> Iterator[list[Item]]:
        """The filled cells among i0 .. i1 by j0 .. j1, for ranges that hold more
        cells than are filled."""
        for (i, j), filled in cells.items():
            if i0 <= i <= i1 and j0 <= j <= j1:
                yield filled

    def near(self, box: Box) -> Iterator[Item]:
        """The boxes filed in cells that `box` touches (every box that overlaps it,
        and some others); a box may come more than once."""
        for entry in self._lists(box[0], box[1], box[2], box[3]):
            yield from entry

    def hit(self, box: Box) -> bool:
        """Whether any box comes closer than EPS to sharing area with `box`."""
        x0, y0, x1, y1 = box[0] - EPS, box[1] - EPS, box[2] + EPS, box[3] + EPS
        # The readable-label search's innermost test: plain loops for a box with
        # finite edges that touches few cells, _lists for the rest.
        floor, inf = math.floor, math.inf
        if not (abs(x0) < inf and abs(y0) < inf and abs(x1) < inf and abs(y1) < inf):
            return any(
                b[2] > x0 and x1 > b[0] and b[3] > y0 and y1 > b[1]
                for entry in self._lists(x0, y0, x1, y1)
                for b in entry
            )
        for size, cells in self.levels.values():
            i0, i1 = floor(x0 / size), floor(x1 / size)
            j0, j1 = floor(y0 / size), floor(y1 / size)
            if (i1 - i0 + 1) * (j1 - j0 + 1) > len(cells):
                for filled in self._filled(cells, i0, i1, j0, j1):
                    for b in filled:
                        if b[2] > x0 and x1 > b[0] and b[3] > y0 and y1 > b[1]:
                            return True
                continue
            get = cells.get
            for i in range(i0, i1 + 1):
                for j in range(j0, j1 + 1):
                    found = get((i, j))
                    if found:
                        for b in found:
                            if b[2] > x0 and x1 > b[0] and b[3] > y0 and y1 > b[1]:
                                return True
        return any(b[2] > x0 and x1 > b[0] and b[3] > y0 and y1 > b[1] for b in self.endless)

    def collect(self, box: Box, out: set[Item]) -> None:
        """Adds to `out` the boxes that overlap `box` (as overlaps says)."""
        x0, y0, x1, y1 = box[0] - EPS, box[1] - EPS, box[2] + EPS, box[3] + EPS
        for entry in self._lists(x0, y0, x1, y1):
            out.update(b for b in entry if b[2] > x0 and x1 > b[0] and b[3] > y0 and y1 > b[1])

    def crossed_by(self, line: Segment) -> bool:
        return any(crosses(line, b) for b in self.near(bounds(line)))


class LineIndex:
    """A growing set of segments that answers "does any cross this box"."""

    def __init__(self, cell: float) -> None:
        self.index = BoxIndex[Box](cell)
        self.lines: dict[Box, list[Segment]] = {}

    def add(self, line: Segment) -> None:
        extent = bounds(line)
        self.index.add(extent)
        self.lines.setdefault(extent, []).append(line)

    def remove(self, line: Segment) -> None:
        """Removes one segment equal to `line`, which was added."""
        extent = bounds(line)
        self.index.remove(extent)
        lines = self.lines[extent]
        lines.remove(line)
        if not lines:
            del self.lines[extent]

    def cross(self, box: Box) -> bool:
        """Whether a segment passes through the box."""
        if not self.lines:  # without leader lines, every time
            return False
        return any(
            crosses(line, box) for extent in self.index.near(box) for line in self.lines[extent]
        )

    def crossed_by(self, other: Segment) -> bool:
        """Whether a segment crosses `other`."""
        if not self.lines:
            return False
        return any(
            segments_cross(line, other)
            for extent in self.index.near(bounds(other))
            for line in self.lines[extent]
        )
