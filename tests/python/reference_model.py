"""Pure-Python model of the placement engine, written for bit-exact comparison.

Every single-precision sum, product, quotient, floor and ceiling is done on
numpy.float32 scalars in the engine's order of operations. Comparisons carry no
rounding, so they may be done in bulk (numpy arrays) or on Python floats holding
the same float32 values; that is how the all-pairs scans stay affordable: labels
whose boxes fail the strict overlap tests contribute (0 * invArea) * weight,
which is either a zero (a no-op on a sum that is never -0) or NaN.

The model also mends three gaps the way the engine does: a grid with no rows or
no columns (canvas width or height below 1) falls back to the all-pairs scan;
rows * cols is an unbounded product; the query stamp is an unbounded counter.
"""

from __future__ import annotations

import numpy as np

f32 = np.float32

INT32_MIN = -(2**31)
FLT_MAX = f32(3.4028234663852886e38)
ZERO = f32(0.0)
ONE = f32(1.0)
SCALE_TIERS = (f32(1.0), f32(0.9), f32(0.8), f32(0.75))
MIN_FONT_SIZE = 9
MIN_OBJECT_EXTENT = f32(2.0)
SLIDE_MIN_FREE = f32(1.0)
SLIDE_LENGTH_PER_DIVISION = f32(40.0)
SLIDE_COST_PER_WHOLE = f32(10.0)
SMALL_AREA = f32(0.1)
FALLBACK_COST = f32(1e9)


def wrap32(value: int) -> int:
    """Two's-complement 32-bit wrap of an integer."""
    return ((value + 2**31) % 2**32) - 2**31


def low16(value: int) -> int:
    """Low 16 bits of an integer read back as signed."""
    return ((value + 2**15) % 2**16) - 2**15


def trunc_div32(a: int, b: int) -> int:
    """32-bit signed division truncating toward zero."""
    q = abs(a) // abs(b)
    return wrap32(q if (a < 0) == (b < 0) else -q)


def trunc_i32(x) -> int:
    """Float to 32-bit int by truncation; NaN and out-of-range give INT32_MIN."""
    v = float(x)
    if v != v or v >= 2.0**31 or v < -(2.0**31):
        return INT32_MIN
    return int(v)


def fmin(a, b):
    return b if b < a else a


def fmax(a, b):
    return b if a < b else a


class MT19937:
    """The standard 32-bit Mersenne Twister: init_genrand seeding, tempered output."""

    N, M = 624, 397

    def __init__(self, seed: int = 5489):
        mt = [seed & 0xFFFFFFFF]
        for i in range(1, self.N):
            prev = mt[-1]
            mt.append((1812433253 * (prev ^ (prev >> 30)) + i) & 0xFFFFFFFF)
        self.mt = mt
        self.index = self.N

    def _twist(self) -> None:
        mt, n = self.mt, self.N
        for i in range(n):
            y = (mt[i] & 0x80000000) | (mt[(i + 1) % n] & 0x7FFFFFFF)
            v = mt[(i + self.M) % n] ^ (y >> 1)
            if y & 1:
                v ^= 0x9908B0DF
            mt[i] = v
        self.index = 0

    def __call__(self) -> int:
        if self.index >= self.N:
            self._twist()
        y = self.mt[self.index]
        self.index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y


class Config:
    """The thirteen tunables with their defaults; floats held as float32."""

    INT_FIELDS = ("gridSize", "spatialIndexThreshold", "maxIterations", "paddingX", "paddingY")
    FLOAT_FIELDS = (
        "costPos1_Top",
        "costPos2_Right",
        "costPos3_Bottom",
        "costPos4_Left",
        "costSlidingPenalty",
        "costScaleTier",
        "costOccludeObj",
        "costOverlapBase",
    )
    DEFAULTS = dict(
        gridSize=100,
        spatialIndexThreshold=20,
        maxIterations=30,
        paddingX=2,
        paddingY=2,
        costPos1_Top=0.0,
        costPos2_Right=10.0,
        costPos3_Bottom=20.0,
        costPos4_Left=30.0,
        costSlidingPenalty=100.0,
        costScaleTier=10000.0,
        costOccludeObj=100000.0,
        costOverlapBase=100000.0,
    )

    def __init__(self, **fields):
        values = {**self.DEFAULTS, **fields}
        unknown = set(values) - set(self.DEFAULTS)
        if unknown:
            raise TypeError(f"unknown fields {sorted(unknown)}")
        for name in self.INT_FIELDS:
            setattr(self, name, wrap32(int(values[name])))
        for name in self.FLOAT_FIELDS:
            setattr(self, name, f32(values[name]))

    def copy(self) -> Config:
        return Config(**{name: getattr(self, name) for name in self.DEFAULTS})


class Candidate:
    __slots__ = (
        "boxX0",
        "boxY0",
        "boxX1",
        "boxY1",
        "baseCost",
        "occludeCost",
        "area",
        "invArea",
        "fontSize",
        "textAscent",
        "floats",
    )

    def __init__(self, x0, y0, x1, y1, base_cost, area, inv_area, font_size, ascent):
        self.boxX0, self.boxY0, self.boxX1, self.boxY1 = x0, y0, x1, y1
        self.baseCost = base_cost
        self.occludeCost = ZERO
        self.area = area
        self.invArea = inv_area
        self.fontSize = low16(font_size)
        self.textAscent = low16(ascent)
        # Same values as Python floats, for the rounding-free comparisons.
        self.floats = (float(x0), float(y0), float(x1), float(y1))

    @property
    def box(self):
        return (self.boxX0, self.boxY0, self.boxX1, self.boxY1)


class LabelItem:
    __slots__ = (
        "index",
        "objX0",
        "objY0",
        "objX1",
        "objY1",
        "firstCandidate",
        "candidateCount",
        "chosen",
        "boxX0",
        "boxY0",
        "boxX1",
        "boxY1",
        "area",
        "cost",
    )

    @property
    def obj(self):
        return (self.objX0, self.objY0, self.objX1, self.objY1)

    @property
    def box(self):
        return (self.boxX0, self.boxY0, self.boxX1, self.boxY1)

    def take(self, candidate: Candidate) -> None:
        self.boxX0, self.boxY0, self.boxX1, self.boxY1 = candidate.box
        self.area = candidate.area


class SpatialGrid:
    """Uniform grid of square cells; per-cell chains through one entry pool, newest first."""

    def __init__(self):
        self.rows = 0
        self.cols = 0
        self.cellWidth = self.cellHeight = f32(100.0)
        self.invCellWidth = self.invCellHeight = f32(0.01)
        self.cellHeads: list[int] = []
        self.entryLabel: list[int] = []
        self.entryNext: list[int] = []

    def configure(self, width: int, height: int, size: int) -> None:
        self.cols = trunc_div32(wrap32(width + size - 1), size)
        self.rows = trunc_div32(wrap32(height + size - 1), size)
        self.cellWidth = self.cellHeight = f32(size)
        self.invCellWidth = self.invCellHeight = ONE / self.cellWidth
        cells = self.rows * self.cols  # unbounded product
        if cells > len(self.cellHeads):
            self.cellHeads.extend([-1] * (cells - len(self.cellHeads)))

    def reset(self) -> None:
        if self.cellHeads:
            for i in range(max(self.rows * self.cols, 0)):
                self.cellHeads[i] = -1
        self.entryLabel.clear()
        self.entryNext.clear()

    def cell_range(self, x0, y0, x1, y1):
        def clamp(v, top):
            return fmax(fmin(v, top - 1), 0)

        col_lo = clamp(trunc_i32(x0 * self.invCellWidth), self.cols)
        col_hi = clamp(trunc_i32(x1 * self.invCellWidth), self.cols)
        row_lo = clamp(trunc_i32(y0 * self.invCellHeight), self.rows)
        row_hi = clamp(trunc_i32(y1 * self.invCellHeight), self.rows)
        return col_lo, col_hi, row_lo, row_hi

    def insert(self, label_index: int, box) -> None:
        col_lo, col_hi, row_lo, row_hi = self.cell_range(*box)
        for row in range(row_lo, row_hi + 1):
            for col in range(col_lo, col_hi + 1):
                cell = row * self.cols + col
                self.entryLabel.append(label_index)
                self.entryNext.append(self.cellHeads[cell])
                self.cellHeads[cell] = len(self.entryLabel) - 1

    def query(self, cell_range, visit_stamps: list[int], stamp: int) -> list[int]:
        """Labels handed to the visitor, in visiting order (each once per stamp)."""
        col_lo, col_hi, row_lo, row_hi = cell_range
        visited = []
        if row_lo > row_hi or col_lo > col_hi:
            return visited
        heads, labels, nexts, cols = self.cellHeads, self.entryLabel, self.entryNext, self.cols
        for row in range(row_lo, row_hi + 1):
            for col in range(col_lo, col_hi + 1):
                e = heads[row * cols + col]
                while e != -1:
                    j = labels[e]
                    if visit_stamps[j] != stamp:
                        visit_stamps[j] = stamp
                        visited.append(j)
                    e = nexts[e]
        return visited


def overlap_area(a, b, a_floats, b_floats):
    """Strict-intersection area, height factor first; 0 when the boxes only touch."""
    ax0, ay0, ax1, ay1 = a_floats
    bx0, by0, bx1, by1 = b_floats
    if not (bx1 > ax0 and ax1 > bx0 and by1 > ay0 and ay1 > by0):
        return ZERO
    h = fmax(fmin(a[3], b[3]) - fmax(a[1], b[1]), ZERO)
    w = fmax(fmin(a[2], b[2]) - fmax(a[0], b[0]), ZERO)
    return h * w


class ReferenceEngine:
    """Mirror of the engine: canvas, configuration, add, solve, layout."""

    def __init__(self, w: int, h: int, measure, config: Config | None = None):
        self.config = (config or Config()).copy()
        self.canvasWidth = wrap32(w)
        self.canvasHeight = wrap32(h)
        self.measure = measure  # (text, fontSize) -> (width, height, baseline)
        self.labels: list[LabelItem] = []
        self.candidates: list[Candidate] = []
        self.visitOrder: list[int] = []
        self.grid = SpatialGrid()
        self.visitStamps: list[int] = []
        self.queryStamp = 0
        self.rng = MT19937(12345)
        self.last_pass_count = 0  # passes run by the last solve (for inspection)
        self.last_move_count = 0  # moves made by those passes

    # -- lifecycle ---------------------------------------------------------
    def set_config(self, config: Config) -> None:
        self.config = config.copy()

    def set_canvas_size(self, width: int, height: int) -> None:
        self.canvasWidth, self.canvasHeight = wrap32(width), wrap32(height)

    def clear(self) -> None:
        self.labels.clear()
        self.candidates.clear()
        self.visitOrder.clear()

    # -- intake ------------------------------------------------------------
    def add(self, l, t, r, b, text, baseFontSize: int) -> None:
        with np.errstate(all="ignore"):
            self._add(f32(l), f32(t), f32(r), f32(b), text, wrap32(baseFontSize))

    def _add(self, l, t, r, b, text, base_font_size):
        if r - l < MIN_OBJECT_EXTENT:
            c = (r + l) * f32(0.5)
            left, right = c - ONE, c + ONE
        else:
            left, right = l, r
        if b - t < MIN_OBJECT_EXTENT:
            c = (t + b) * f32(0.5)
            top, bottom = c - ONE, c + ONE
        else:
            top, bottom = t, b
        item = LabelItem()
        item.objX0, item.objY0 = np.floor(left), np.floor(top)
        item.objX1, item.objY1 = np.ceil(right), np.ceil(bottom)
        item.index = len(self.labels)
        item.firstCandidate = len(self.candidates)
        self._generate_candidates(item, text, base_font_size)
        count = (len(self.candidates) - item.firstCandidate) & 0xFFFF
        if count == 0:
            self.candidates.append(
                Candidate(
                    ZERO, ZERO, ZERO, ZERO, FALLBACK_COST, SMALL_AREA, f32(10.0), base_font_size, 0
                )
            )
            count = 1
        item.candidateCount = count
        item.chosen = 0
        first = self.candidates[item.firstCandidate]
        item.take(first)
        item.cost = first.baseCost
        self.labels.append(item)

    def _generate_candidates(self, item, text, base_font_size):
        cfg = self.config
        canvas_w, canvas_h = f32(self.canvasWidth), f32(self.canvasHeight)
        ox0, oy0, ox1, oy1 = item.obj
        for tier, scale in enumerate(SCALE_TIERS):
            font_size = trunc_i32(f32(base_font_size) * scale)
            if font_size < MIN_FONT_SIZE:
                return
            width, height, baseline = (wrap32(int(v)) for v in self.measure(text, font_size))
            W = np.ceil(f32(wrap32(2 * cfg.paddingX)) + f32(width))
            H = np.ceil(f32(wrap32(height + baseline + 2 * cfg.paddingY)))
            area = H * W
            inv_area = ONE / area if area > SMALL_AREA else ONE
            scale_cost = f32(tier) * cfg.costScaleTier

            def emit(x, y, cost):
                x1, y1 = x + W, y + H
                if x < 0 or y < 0 or x1 > canvas_w or y1 > canvas_h:
                    return
                self.candidates.append(
                    Candidate(x, y, x1, y1, cost, area, inv_area, font_size, height)
                )

            emit(ox0, oy0 - H, cfg.costPos1_Top + scale_cost)
            emit(ox1, oy0, cfg.costPos2_Right + scale_cost)
            emit(ox0, oy1, cfg.costPos3_Bottom + scale_cost)
            emit(ox0 - W, oy0, cfg.costPos4_Left + scale_cost)

            for horizontal in (True, False):
                raw = (ox1 - W) - ox0 if horizontal else (oy1 - H) - oy0
                free = fmax(raw, ZERO)
                if not free > SLIDE_MIN_FREE:
                    continue
                d = min(max(trunc_i32(free / SLIDE_LENGTH_PER_DIVISION), 3), 15)
                step = ONE / f32(d)
                for j in range(1, d):
                    f = f32(j) * step
                    s = f * SLIDE_COST_PER_WHOLE + cfg.costSlidingPenalty
                    if horizontal:
                        x = f * free + ox0
                        emit(x, oy0 - H, (s + cfg.costPos1_Top) + scale_cost)
                        emit(x, oy1, (s + cfg.costPos3_Bottom) + scale_cost)
                    else:
                        y = f * free + oy0
                        emit(ox1, y, (s + cfg.costPos2_Right) + scale_cost)
                        emit(ox0 - W, y, (s + cfg.costPos4_Left) + scale_cost)

    # -- solver ------------------------------------------------------------
    def shuffle(self) -> None:
        order, M = self.visitOrder, 4294967295
        for t in range(1, len(order)):
            k = t + 1
            while True:
                r = self.rng()
                if r // k < M // k or M % k == k - 1:
                    break
            j = r % k
            if j != t:
                order[t], order[j] = order[j], order[t]

    def solve(self) -> None:
        with np.errstate(all="ignore"):
            self._solve()

    def _solve(self):
        labels, cands, cfg = self.labels, self.candidates, self.config
        n = len(labels)
        if n == 0:
            return
        if len(self.visitStamps) < n:
            self.visitStamps.extend([0] * (n - len(self.visitStamps)))
        threshold = cfg.spatialIndexThreshold
        use_grid = n >= (threshold if threshold >= 0 else threshold + 2**64)
        grid = self.grid
        if use_grid:
            size = cfg.gridSize if cfg.gridSize >= 1 else 100
            grid.configure(self.canvasWidth, self.canvasHeight, size)
            if grid.rows <= 0 or grid.cols <= 0:
                use_grid = False  # a canvas below one unit has no cells: scan instead
        if use_grid:
            grid.reset()
            for item in labels:
                grid.insert(item.index, item.obj)
            ranges = {}  # candidate position -> cell range, fixed for this solve

            def cell_range(pos):
                rg = ranges.get(pos)
                if rg is None:
                    rg = ranges[pos] = grid.cell_range(*cands[pos].box)
                return rg

        obj = [item.obj for item in labels]
        obj_floats = [tuple(float(v) for v in box) for box in obj]
        obj_arrays = [np.array([box[k] for box in obj], dtype=np.float32) for k in range(4)]

        def scan_hits(floats, arrays, skip):
            x0, y0, x1, y1 = floats
            X0, Y0, X1, Y1 = arrays
            mask = (X1 > x0) & (x1 > X0) & (Y1 > y0) & (y1 > Y0)
            if skip is not None:
                mask[skip] = False
            return np.flatnonzero(mask).tolist()

        def weighted_sum(cand, weight, boxes, floats, others, other_count):
            """Sum of (overlapArea * invArea) * weight over `others`, in that order.

            `others` lists only the labels that pass the strict tests (in visiting order);
            `other_count` is how many labels the full visit would have covered.
            """
            inv = cand.invArea
            total = ZERO
            for j in others:
                term = (overlap_area(cand.box, boxes[j], cand.floats, floats[j]) * inv) * weight
                total = term + total
            if other_count > len(others):
                idle = (ZERO * inv) * weight
                if idle != idle:
                    total = idle + total
            return total

        def occlusion(pos):
            cand = cands[pos]
            if use_grid:
                self.queryStamp += 1
                visited = grid.query(cell_range(pos), self.visitStamps, self.queryStamp)
                hits = [j for j in visited if _touches(cand.floats, obj_floats[j])]
                count = len(visited)
            else:
                hits = scan_hits(cand.floats, obj_arrays, None)
                count = n
            return weighted_sum(cand, cfg.costOccludeObj, obj, obj_floats, hits, count)

        # Initial pass.
        for item in labels:
            best, best_index = FLT_MAX, 0
            for i in range(item.candidateCount):
                cand = cands[item.firstCandidate + i]
                occ = occlusion(item.firstCandidate + i)
                cand.occludeCost = occ
                total = occ + cand.baseCost
                if best > total:
                    best, best_index = total, i
            item.chosen = best_index
            item.take(cands[item.firstCandidate + best_index])
            item.cost = best

        self.visitOrder = list(range(n))
        self.last_pass_count = self.last_move_count = 0
        if cfg.maxIterations <= 0:
            return

        cur = [item.box for item in labels]
        cur_floats = [tuple(float(v) for v in box) for box in cur]
        cur_arrays = [np.array([box[k] for box in cur], dtype=np.float32) for k in range(4)]

        def overlap(item, cand, rg, floats):
            if use_grid:
                self.queryStamp += 1
                visited = grid.query(rg, self.visitStamps, self.queryStamp)
                others = [j for j in visited if j != item.index]
                hits = [j for j in others if _touches(floats, cur_floats[j])]
                count = len(others)
            else:
                hits = scan_hits(floats, cur_arrays, item.index)
                count = n - 1
            return weighted_sum(cand, cfg.costOverlapBase, cur, cur_floats, hits, count)

        passes = 0
        while passes < cfg.maxIterations:
            self.shuffle()
            self.last_pass_count += 1
            if use_grid:
                grid.reset()
                for item in labels:
                    grid.insert(item.index, item.box)
            changed = 0
            for p in self.visitOrder:
                item = labels[p]
                current_pos = item.firstCandidate + item.chosen
                current_cand = cands[current_pos]
                own_box = item.box
                own_floats = cur_floats[item.index]
                own_range = grid.cell_range(*own_box) if use_grid else None
                # The label's own box weighs its overlap with its own candidate's invArea.
                probe = _Weighted(own_box, own_floats, current_cand.invArea)
                ovl = overlap(item, probe, own_range, own_floats)
                current = (current_cand.occludeCost + current_cand.baseCost) + ovl
                if current < ONE:
                    continue
                best, best_index = current, -1
                for i in range(item.candidateCount):
                    if i == item.chosen:
                        continue
                    pos = item.firstCandidate + i
                    cand = cands[pos]
                    s = cand.occludeCost + cand.baseCost
                    if s >= best:
                        continue
                    o = overlap(item, cand, cell_range(pos) if use_grid else None, cand.floats)
                    total = o + s
                    if best > total:
                        best, best_index = total, i
                if best_index != -1:
                    item.chosen = best_index
                    moved = cands[item.firstCandidate + best_index]
                    item.take(moved)
                    k = item.index
                    cur[k] = moved.box
                    cur_floats[k] = moved.floats
                    for axis in range(4):
                        cur_arrays[axis][k] = moved.box[axis]
                    changed += 1
                    self.last_move_count += 1
            if changed == 0:
                break
            passes += 1

    # -- results -----------------------------------------------------------
    def layout(self) -> list[dict]:
        results = []
        with np.errstate(all="ignore"):
            for item in self.labels:
                c = self.candidates[item.firstCandidate + item.chosen]
                height = c.boxY1 - c.boxY0
                results.append(
                    dict(
                        left=c.boxX0,
                        top=c.boxY0,
                        fontSize=c.fontSize,
                        padding_x=self.config.paddingX,
                        padding_y=self.config.paddingY,
                        width=trunc_i32(c.boxX1 - c.boxX0),
                        height=trunc_i32(height),
                        textAscent=c.textAscent,
                        textDescent=trunc_i32(height - f32(c.textAscent)),
                    )
                )
        return results


class _Weighted:
    """A box with the invArea weight that its overlap sum uses."""

    __slots__ = ("box", "floats", "invArea")

    def __init__(self, box, floats, inv_area):
        self.box, self.floats, self.invArea = box, floats, inv_area


def _touches(a, b) -> bool:
    """The four strict intersection tests, on exact float values."""
    return b[2] > a[0] and a[2] > b[0] and b[3] > a[1] and a[3] > b[1]


LAYOUT_FIELDS = (
    "left",
    "top",
    "fontSize",
    "padding_x",
    "padding_y",
    "width",
    "height",
    "textAscent",
    "textDescent",
)
