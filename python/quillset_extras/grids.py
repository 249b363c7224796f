"""Grids over the canvas that answer many "does this box overlap a marker" questions
at once or in constant time: summed tables of the squares that boxes reach into.

They answer exactly what BoxIndex and overlaps answer, only faster for the cases
they settle; BoxIndex answers the rest.
"""

from __future__ import annotations

import math
from array import array
from collections.abc import Iterable, Sequence

from ._optional import missing

try:
    import numpy as np
    from numpy.typing import NDArray
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.grids", "pillow") from None

from .geometry import EPS, Box, BoxIndex, Segment, bounds, crosses, widened

Floats = NDArray[np.float64]
Ints = NDArray[np.int64]
Bools = NDArray[np.bool_]

# The most squares of MarkerIndex's counts, per marker and in all: building them takes
# time in the number of squares, so few markers get squares of 2, 4, ... units.
_SQUARES_PER_MARKER = 16
_MOST_SQUARES = 1 << 22
# Markers filed in the cells at once.
_FILED_AT_ONCE = 1 << 16


RankedBox = tuple[float, float, float, float, int]
"""A marker's box and the rank of its point (0 the most important)."""


def _counts(rows: Ints, cols: Ints, height: int, width: int) -> NDArray[np.int64]:
    """How many of the (row, col) pairs fall on each square of a height x width
    grid."""
    flat = np.bincount(rows * width + cols, minlength=height * width)
    return flat.astype(np.int64).reshape(height, width)


class MarkerIndex(BoxIndex[RankedBox]):
    """The markers: a BoxIndex with, over the canvas cut in squares, two tables of
    counts summed from the top left (built once; no boxes are added afterwards).
    One counts the squares that some marker reaches into: a box that, widened by
    the overlap margin, reaches no such square overlaps no marker. The
    other counts markers by the square of their top left corner: a box that wholly
    holds such a square overlaps that marker. hit answers those two cases from
    four sums each and looks at the cells for the rest; the questions about
    markers up to a rank use the first table only."""

    def __init__(
        self,
        cell: float,
        boxes: Sequence[RankedBox],
        width: float,
        height: float,
        edges: Floats | None = None,
    ) -> None:
        """`edges`: the boxes as rows (left, top, right, bottom), if at hand."""
        super().__init__(cell)
        # A power of two, so that dividing by it is exact.
        s = 1.0
        most = min(max(4096, _SQUARES_PER_MARKER * len(boxes)), _MOST_SQUARES)
        while (max(width, 0.0) / s + 2.0) * (max(height, 0.0) / s + 2.0) > most:
            s *= 2.0
        nx, ny = int(max(width, 0.0) // s) + 1, int(max(height, 0.0) // s) + 1
        self.side, self.inverse = s, 1.0 / s
        self.right, self.bottom = nx * s, ny * s
        if edges is None:
            edges = np.array([b[:4] for b in boxes], float).reshape(-1, 4)
        self._file(boxes, edges)
        # finite: far points moved
        l, t, r, b = edges[:, 0], edges[:, 1], edges[:, 2], edges[:, 3]
        i0 = np.clip(np.floor(np.minimum(l, r) / s), 0, nx - 1).astype(np.int64)
        i1 = np.clip(np.floor(np.maximum(l, r) / s), 0, nx - 1).astype(np.int64)
        j0 = np.clip(np.floor(np.minimum(t, b) / s), 0, ny - 1).astype(np.int64)
        j1 = np.clip(np.floor(np.maximum(t, b) / s), 0, ny - 1).astype(np.int64)
        # Reach: +1/-1 at the corners of each reached range, summed twice.
        change = _counts(j0, i0, ny + 1, nx + 1) - _counts(j0, i1 + 1, ny + 1, nx + 1)
        change += _counts(j1 + 1, i1 + 1, ny + 1, nx + 1) - _counts(j1 + 1, i0, ny + 1, nx + 1)
        reached = change.cumsum(0).cumsum(1)[:ny, :nx] > 0
        at = (l <= r) & (t <= b) & (l >= 0.0) & (l < nx * s) & (t >= 0.0) & (t < ny * s)
        corners = _counts((t[at] // s).astype(np.int64), (l[at] // s).astype(np.int64), ny, nx)
        self.reach = self._summed(reached)
        self.corners = self._summed(corners > 0)

    def _file(self, boxes: Sequence[RankedBox], edges: Floats) -> None:
        """Files the boxes in the cells as add does one after another (the same
        cells, holding the boxes in their order), with numpy, a bounded number at
        a time so that the work arrays stay small."""
        for start in range(0, len(boxes), _FILED_AT_ONCE):
            end = start + _FILED_AT_ONCE
            self._file_some(boxes[start:end], edges[start:end])

    def _file_some(self, boxes: Sequence[RankedBox], edges: Floats) -> None:
        l, t, r, b = edges[:, 0], edges[:, 1], edges[:, 2], edges[:, 3]
        cell = self.cell
        with np.errstate(all="ignore"):
            span = np.maximum(r - l, b - t)
            level = np.where(span > cell, np.maximum(np.frexp(span / cell)[1], 0), 0)
            size = cell * np.ldexp(1.0, level)
            i0, i1 = np.floor(l / size), np.floor(r / size)
            j0, j1 = np.floor(t / size), np.floor(b / size)
        # Boxes not finite, or across more than two cells (rounding): one by one.
        if not len(boxes) or not np.isfinite(edges).all() or np.fmax(i1 - i0, j1 - j0).max() > 1:
            for box in boxes:
                self.add(box)
            return
        # A box's cells in add's order: (i0, j0), (i0, j0 + 1), (i0 + 1, j0), (i0 + 1, j0 + 1).
        wide, tall = i1 > i0, j1 > j0
        parts = [np.flatnonzero(m) for m in (np.ones_like(wide), tall, wide, wide & tall)]
        which = np.concatenate(parts)
        sub = np.concatenate([np.full(len(p), n) for n, p in enumerate(parts)])
        seq = which * 4 + sub
        lv = level[which]
        ii = i0[which].astype(np.int64) + (sub >= 2)
        jj = j0[which].astype(np.int64) + (sub % 2)
        order = np.lexsort((seq, jj, ii, lv))
        lv, ii, jj, seq, which = lv[order], ii[order], jj[order], seq[order], which[order]
        new = np.ones(len(seq), bool)
        new[1:] = (lv[1:] != lv[:-1]) | (ii[1:] != ii[:-1]) | (jj[1:] != jj[:-1])
        starts = np.flatnonzero(new)
        ends = np.append(starts[1:], len(seq))
        items = [boxes[k] for k in which.tolist()]
        # Sizes and cells come into the tables in the order add meets them.
        first = np.argsort(seq[starts], kind="stable")
        starts, ends = starts[first], ends[first]
        levels = self.levels
        for n, i, j, a, z in zip(
            lv[starts].tolist(),
            ii[starts].tolist(),
            jj[starts].tolist(),
            starts.tolist(),
            ends.tolist(),
            strict=True,
        ):
            found = levels.get(n)
            if found is None:
                found = levels[n] = (cell * 2.0**n, {})
            filled = found[1].get((i, j))
            if filled is None:
                found[1][(i, j)] = items[a:z]
            else:
                filled += items[a:z]
        self.count += len(boxes)

    @staticmethod
    def _summed(marked: Bools) -> list[array[int]]:
        """table[j][i]: how many of marked[0 .. j-1][0 .. i-1] are set, as lists
        of arrays: single lookups from Python are faster there than in numpy."""
        table = np.zeros((marked.shape[0] + 1, marked.shape[1] + 1), np.int64)
        table[1:, 1:] = marked.cumsum(0).cumsum(1)
        rows = []
        for row in table:
            found = array("q")
            found.frombytes(row.tobytes())
            rows.append(found)
        return rows

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

    def _surely_free(self, x0: float, y0: float, x1: float, y1: float) -> bool:
        """Whether the box (already widened by the margin) reaches no marker."""
        if -self.side < x0 <= x1 < self.right and -self.side < y0 <= y1 < self.bottom:
            inv = self.inverse
            i0, i1, j0, j1 = int(x0 * inv), int(x1 * inv) + 1, int(y0 * inv), int(y1 * inv) + 1
            t = self.reach
            return t[j1][i1] - t[j0][i1] - t[j1][i0] + t[j0][i0] == 0
        return False

    def hit_ranked(self, box: Box, rank: int) -> bool:
        """Whether a marker of rank `rank` or less overlaps the box."""
        x0, y0, x1, y1 = box[0] - EPS, box[1] - EPS, box[2] + EPS, box[3] + EPS
        if self._surely_free(x0, y0, x1, y1):
            return False
        for entry in self._lists(x0, y0, x1, y1):
            for b in entry:
                if b[4] <= rank and b[2] > x0 and x1 > b[0] and b[3] > y0 and y1 > b[1]:
                    return True
        return False

    def collect_ranked(self, box: Box, rank: int, out: set[Box]) -> None:
        """Adds to `out` the boxes of the markers of rank `rank` or less that
        overlap `box`."""
        x0, y0, x1, y1 = box[0] - EPS, box[1] - EPS, box[2] + EPS, box[3] + EPS
        for entry in self._lists(x0, y0, x1, y1):
            out.update(
                (b[0], b[1], b[2], b[3])
                for b in entry
                if b[4] <= rank and b[2] > x0 and x1 > b[0] and b[3] > y0 and y1 > b[1]
            )

    def crossed_ranked(self, line: Segment, rank: int, margin: float = 0.0) -> bool:
        """Whether the line passes over a marker of rank below `rank`, or within
        `margin` of one."""
        if not margin:
            return any(b[4] < rank and crosses(line, b) for b in self.near(bounds(line)))
        return any(
            b[4] < rank and crosses(line, widened(b, margin))
            for b in self.near(widened(bounds(line), margin))
        )


# The most squares of a Coverage grid.
_MOST_PIXELS = 1 << 22
# Up to this many boxes, mark_many marks each box's squares in turn.
_MARKED_ONE_BY_ONE = 64
_MARKED_AT_ONCE = 1 << 16
# Boxes that reach at most this many squares are marked square by square.
_SMALL_SPAN = 16


class Coverage:
    """Which squares of a canvas some box reaches into, widened by the overlap
    margin, kept as a numpy grid (squares of one unit, or of 2, 4, ... on huge
    canvases), to sort many boxes at once: a box that wholly holds a marked square
    overlaps the box that marked it, and a box that, widened by the margin, meets
    no marked square overlaps none of the boxes (as overlaps says). Squares one
    beyond each edge of the canvas are kept too."""

    def __init__(self, width: float, height: float, side: float = 1.0) -> None:
        while (width / side + 3.0) * (height / side + 3.0) > _MOST_PIXELS:
            side *= 2.0
        self.side = side
        # Squares -1 .. last in each direction, at index square + 1.
        self.last_x, self.last_y = math.ceil(width / side), math.ceil(height / side)
        self.marks = np.zeros((self.last_y + 2, self.last_x + 2), np.int32)
        self.table: NDArray[np.int32] | None = None  # the marks summed from the top left

    def coarse(self, side: float) -> Coverage:
        """A Coverage of squares of `side` (a power of two, at least this one's)
        that marks each square holding a marked square of this one."""
        out = Coverage(self.last_x * self.side, self.last_y * self.side, side)
        if out.side == self.side:
            out.marks[...] = self.marks
            return out
        ratio = int(out.side / self.side)
        marks = self.marks
        for axis, count in ((0, marks.shape[0]), (1, marks.shape[1])):
            # Index k holds square k - 1; the squares of one coarse square start
            # where floor((k - 1) / ratio) grows.
            coarse = np.floor_divide(np.arange(count) - 1, ratio) + 1
            starts = np.flatnonzero(np.diff(coarse, prepend=-1))
            marks = np.maximum.reduceat(marks, starts, axis=axis)
        out.marks[: marks.shape[0], : marks.shape[1]] = marks
        return out

    def copy(self) -> Coverage:
        copy = Coverage.__new__(Coverage)
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

    def mark_many(self, boxes: Floats) -> None:
        """Marks, as mark does, the squares that the boxes (rows of left, top,
        right, bottom) reach into, all at once (a bounded number at a time, so
        that the work arrays stay small)."""
        for start in range(0, len(boxes), _MARKED_AT_ONCE):
            self._mark_some(boxes[start : start + _MARKED_AT_ONCE])
        self.table = None

    def _mark_some(self, boxes: Floats) -> None:
        finite = np.isfinite(boxes).all(axis=1)
        b = boxes[finite]
        s = self.side
        i0 = np.maximum(np.floor((b[:, 0] - EPS) / s), -1).astype(np.int64)
        i1 = np.minimum(np.ceil((b[:, 2] + EPS) / s) - 1, self.last_x).astype(np.int64)
        j0 = np.maximum(np.floor((b[:, 1] - EPS) / s), -1).astype(np.int64)
        j1 = np.minimum(np.ceil((b[:, 3] + EPS) / s) - 1, self.last_y).astype(np.int64)
        keep = (i0 <= i1) & (j0 <= j1)
        i0, i1, j0, j1 = i0[keep] + 1, i1[keep] + 2, j0[keep] + 1, j1[keep] + 2
        if len(i0) and (j1 - j0).max() * (i1 - i0).max() <= _SMALL_SPAN:
            # Boxes of a few squares each (markers): square by square, at once.
            for dj in range(int((j1 - j0).max())):
                for di in range(int((i1 - i0).max())):
                    m = (j0 + dj < j1) & (i0 + di < i1)
                    self.marks[j0[m] + dj, i0[m] + di] = 1
        elif len(i0) <= _MARKED_ONE_BY_ONE:
            rows = zip(j0.tolist(), j1.tolist(), i0.tolist(), i1.tolist(), strict=True)
            for top, bottom, left, right in rows:
                self.marks[top:bottom, left:right] = 1
        elif len(i0):
            # +1 and -1 at the corners of each range, summed along both axes, over
            # the window that the ranges span.
            top, left = int(j0.min()), int(i0.min())
            bottom, right = int(j1.max()), int(i1.max())
            change = np.zeros((bottom - top + 1, right - left + 1), np.int32)
            j0, j1, i0, i1 = j0 - top, j1 - top, i0 - left, i1 - left
            np.add.at(change, (j0, i0), 1)
            np.add.at(change, (j0, i1), -1)
            np.add.at(change, (j1, i0), -1)
            np.add.at(change, (j1, i1), 1)
            np.cumsum(change, 0, out=change)
            np.cumsum(change, 1, out=change)
            self.marks[top:bottom, left:right] |= change[:-1, :-1] > 0

    def mark_mask(self, mask: Bools) -> None:
        """Marks the squares that hold a True pixel of `mask`: one row of pixels
        per canvas unit from the top, one column per unit from the left."""
        s = int(self.side)
        rows, cols = mask.shape
        if s > 1:
            padded = np.zeros((-(-rows // s) * s, -(-cols // s) * s), bool)
            padded[:rows, :cols] = mask
            mask = padded.reshape(padded.shape[0] // s, s, padded.shape[1] // s, s).any(axis=(1, 3))
            rows, cols = mask.shape
        rows, cols = min(rows, self.last_y + 1), min(cols, self.last_x + 1)
        self.marks[1 : rows + 1, 1 : cols + 1] |= mask[:rows, :cols]
        self.table = None

    def _summed(self) -> NDArray[np.int32]:
        table = self.table
        if table is None:
            # int32 holds the count of every square (at most _MOST_PIXELS).
            table = np.zeros((self.marks.shape[0] + 1, self.marks.shape[1] + 1), np.int32)
            # Along the rows first: a third faster than down the columns first.
            np.cumsum(self.marks, 1, out=table[1:, 1:])
            np.cumsum(table[1:, 1:], 0, out=table[1:, 1:])
            self.table = table
        return table

    def touches(self, box: Box) -> bool:
        """Whether the box, widened by the overlap margin, reaches a marked square."""
        s = self.side
        try:
            i0 = max(math.floor((box[0] - EPS) / s), -1)
            i1 = min(math.floor((box[2] + EPS) / s), self.last_x)
            j0 = max(math.floor((box[1] - EPS) / s), -1)
            j1 = min(math.floor((box[3] + EPS) / s), self.last_y)
        except (OverflowError, ValueError):  # not finite
            return False
        if i0 > i1 or j0 > j1:
            return False
        t = self._summed()
        found = t[j1 + 2, i1 + 2] - t[j0 + 1, i1 + 2] - t[j1 + 2, i0 + 1] + t[j0 + 1, i0 + 1]
        return bool(found > 0)

    def touches_line(self, line: Segment, skip: Box) -> bool:
        """Whether the segment passes over a marked square, apart from where it
        lies inside `skip` (the box of the point it starts from)."""
        x0, y0, x1, y1 = line
        steps = max(2, math.ceil(2.0 * math.hypot(x1 - x0, y1 - y0) / self.side) + 1)
        f = np.linspace(0.0, 1.0, steps)
        xs, ys = x0 + f * (x1 - x0), y0 + f * (y1 - y0)
        out = ~((xs >= skip[0]) & (xs <= skip[2]) & (ys >= skip[1]) & (ys <= skip[3]))
        i = np.clip(np.floor(xs[out] / self.side).astype(np.int64), -1, self.last_x) + 1
        j = np.clip(np.floor(ys[out] / self.side).astype(np.int64), -1, self.last_y) + 1
        return bool(self.marks[j, i].any())

    def held(self, boxes: Floats) -> Bools:
        """Which boxes (rows of left, top, right, bottom) wholly hold a marked
        square, and so surely overlap a box that was marked."""
        shape = boxes.shape[:-1]
        flat = boxes.reshape(-1, 4)
        inside = (
            (flat[:, 0] >= 0.0) & (flat[:, 1] >= 0.0)
            & (flat[:, 2] <= self.last_x * self.side) & (flat[:, 3] <= self.last_y * self.side)
        )  # fmt: skip
        out = np.zeros(len(flat), bool)
        if inside.any():
            b = flat[inside]
            out[inside] = self._holds(b[:, 0], b[:, 1], b[:, 2], b[:, 3])
        return out.reshape(shape)

    def classify(self, x0: Floats, y0: Floats, x1: Floats, y1: Floats) -> tuple[Bools, Bools]:
        """For boxes on the canvas, given by the arrays of their edges: which
        surely overlap a marked box, and which surely overlap none."""
        s = self.side
        touched = self._count(
            _squares((x0 - EPS) / s), _squares((x1 + EPS) / s),
            _squares((y0 - EPS) / s), _squares((y1 + EPS) / s),
        )  # fmt: skip
        return self._holds(x0, y0, x1, y1), touched == 0

    def _holds(self, x0: Floats, y0: Floats, x1: Floats, y1: Floats) -> Bools:
        """Which boxes on the canvas wholly hold a marked square."""
        s = self.side
        held = self._count(
            _squares(np.ceil(x0 / s)), _squares(np.floor(x1 / s)) - 1,
            _squares(np.ceil(y0 / s)), _squares(np.floor(y1 / s)) - 1,
        )  # fmt: skip
        return held > 0

    def _count(self, i0: Ints, i1: Ints, j0: Ints, j1: Ints) -> Ints:
        """Marked squares i0 .. i1 by j0 .. j1 (inclusive; none when empty)."""
        table = self._summed()
        found = table[j1 + 2, i1 + 2] - table[j0 + 1, i1 + 2] - table[j1 + 2, i0 + 1]
        found += table[j0 + 1, i0 + 1]
        return np.where((i0 <= i1) & (j0 <= j1), found, 0)


def _squares(v: Floats) -> Ints:
    return np.floor(v).astype(np.int64)


def crossing_pairs(lines: Floats, boxes: Floats) -> Bools:
    """crosses(lines[k], boxes[k]) for each k (rows x0, y0, x1, y1 and left,
    top, right, bottom), all at once, in the same arithmetic."""
    x0, y0, x1, y1 = (lines[:, k] for k in range(4))
    lo, hi = np.zeros(1), np.ones(1)
    fits = np.ones(len(lines), bool)
    with np.errstate(divide="ignore", invalid="ignore"):
        for start, delta, low, high in ((x0, x1 - x0, boxes[:, 0], boxes[:, 2]),
                                        (y0, y1 - y0, boxes[:, 1], boxes[:, 3])):  # fmt: skip
            flat = delta == 0.0
            t0, t1 = (low - start) / delta, (high - start) / delta
            lo = np.where(flat, lo, np.maximum(lo, np.minimum(t0, t1)))
            hi = np.where(flat, hi, np.minimum(hi, np.maximum(t0, t1)))
            fits &= np.where(flat, (low < start) & (start < high), hi - lo > 1e-9)
    return fits


def mask_boxes(mask: Bools, block: int) -> list[Box]:
    """The True pixels of `mask` as boxes, one pixel a unit, rows from the top:
    the canvas cut in `block` x `block` squares, a square occupied where it holds
    a True pixel, and each run of occupied squares along a row one box."""
    rows, cols = mask.shape
    if not rows or not cols or not mask.any():
        return []
    padded = np.zeros((-(-rows // block) * block, -(-cols // block) * block), bool)
    padded[:rows, :cols] = mask
    occupied = padded.reshape(padded.shape[0] // block, block, -1, block).any(axis=(1, 3))
    edges = np.diff(np.pad(occupied, ((0, 0), (1, 1))).astype(np.int8), axis=1)
    starts_r, starts_c = np.nonzero(edges == 1)
    _, ends_c = np.nonzero(edges == -1)
    return [
        (float(c0 * block), float(r * block), float(min(c1 * block, cols)),
         float(min((r + 1) * block, rows)))
        for r, c0, c1 in zip(starts_r.tolist(), starts_c.tolist(), ends_c.tolist(), strict=True)
    ]  # fmt: skip
