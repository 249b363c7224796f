"""Random call sequences on one engine: hostile configurations, canvases, boxes, font
sizes and measuring callables that misbehave at a random tier. Nothing may crash,
every error must be the documented one and leave the engine usable, the layout must
hold one admissible result per successful add, and replaying the same calls on a
fresh engine must give the same outcomes to the bit.

QUILLSET_HYPOTHESIS_EXAMPLES sets the number of sequences (a quick profile by default).
"""

import math
import os
import re
import struct
import weakref

from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, precondition, rule

from quillset import LayoutConfig, Quillset, TextSize

INT_MIN, INT_MAX = -(2**31), 2**31 - 1
# Grids above this many cells are left to the exhaustion tests: a label is registered
# in every cell its box touches, and huge boxes touch billions.
MAX_CELLS = 4096
NESTED = "cannot be called while an add() of the same Quillset is measuring a label"
FIELDS = [name for name in dir(LayoutConfig()) if name[0] != "_"]
DEFAULTS = {name: getattr(LayoutConfig(), name) for name in FIELDS}
RESULT_FIELDS = "left top fontSize padding_x padding_y width height textAscent textDescent".split()


def ints(lo, hi, *edges):
    return st.one_of(st.sampled_from(edges), st.integers(lo, hi))


NAN, INF = float("nan"), float("inf")
# Any single-precision bit pattern: NaNs with payloads, infinities, subnormals.
F32_BITS = st.integers(0, 2**32 - 1).map(lambda b: struct.unpack("<f", struct.pack("<I", b))[0])
COST = st.one_of(
    st.sampled_from([0.0, -0.0, NAN, INF, -INF, 3.4028235e38, -1e30, 1e-45]),
    st.integers(-(10**6), 10**6).map(float),
    F32_BITS,
)
CONFIG = st.fixed_dictionaries(
    {
        "gridSize": ints(-5, 400, 0, -1, 1, 100, INT_MIN, INT_MAX),
        "spatialIndexThreshold": ints(-2, 6, 0, 1, 20, INT_MIN, INT_MAX),
        # Passes stop once nobody moves; a bound of 2^31 - 1 would let a placement
        # that never settles run for hours, so the bound stays small.
        "maxIterations": ints(-3, 40, 0, 1, 30, INT_MIN),
        "paddingX": ints(-10, 50, 0, 2, 2**30, INT_MIN, INT_MAX),
        "paddingY": ints(-10, 50, 0, 2, 2**30, INT_MIN, INT_MAX),
        **{name: COST for name in FIELDS if name.startswith("cost")},
    }
)
CANVAS = st.one_of(ints(-10, 2000, 0, -1, 1, INT_MIN, INT_MAX), st.integers(300, 2000))
COORD = st.one_of(
    st.integers(-400, 4800).map(lambda v: v / 4),
    st.sampled_from([NAN, INF, -INF, 1e30, -1e30, 3.4028235e38]),
    F32_BITS,
)
# Mostly boxes of sensible size on the canvas (in quarter units), else anything.
SANE_BOX = st.tuples(
    *[st.integers(-200, 4400)] * 2, st.integers(-20, 1600), st.integers(-20, 1200)
).map(lambda v: (v[0] / 4, v[1] / 4, (v[0] + v[2]) / 4, (v[1] + v[3]) / 4))
BOX = st.one_of(SANE_BOX, st.tuples(COORD, COORD, COORD, COORD))
BASE = st.one_of(
    ints(-5, 120, INT_MIN, -1, 0, 8, 9, 10, 11, 12, 2**15 + 16, INT_MAX), st.integers(9, 60)
)
INVALID_UTF8 = b"\xff\xfe"
TEXT = st.sampled_from(
    ["x"] * 6 + ["", "héllo wörld", "a\0b", b"b", bytearray(b"ba"), INVALID_UTF8]
)
DIM = st.one_of(ints(-20, 300, -1, 10**6, INT_MIN, INT_MAX), st.integers(0, 100))
ACTION = st.sampled_from(
    ["size"] * 30
    + (
        "raise none tuple config nested_add nested_add_caught nested_clear nested_clear_caught "
        "nested_layout nested_solve"
    ).split()
)
PLAN = st.lists(st.tuples(ACTION, st.tuples(DIM, DIM, DIM)), min_size=4, max_size=4)
# Well-behaved labels that every sequence starts with, so that solves have work.
SEED = st.lists(
    st.tuples(SANE_BOX, st.integers(9, 40), st.tuples(*[st.integers(0, 60)] * 3)), max_size=12
)


class Boom(ValueError):
    """Raised by the measuring callable; unlike ValueError it can be referred to weakly."""


# Actions that end add, with the error it raises and a piece of its message.
FAILS = {
    "raise": (Boom, "boom"),
    "none": (TypeError, "incompatible function arguments"),
    "tuple": (RuntimeError, "Unable to cast Python instance of type"),
    "config": (RuntimeError, "Unable to cast Python instance of type"),
    "nested_add": (RuntimeError, NESTED),
    "nested_clear": (RuntimeError, NESTED),
}


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def low16(v):
    return (v + 2**15) % 2**16 - 2**15


def wrap(v):
    return (v + 2**31) % 2**32 - 2**31


def c_div(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def tier_sizes(base):
    """Font sizes that add measures, in tier order."""
    sizes = []
    for scale in (1.0, 0.9, 0.8, 0.75):
        p = f32(f32(base) * f32(scale))
        size = int(p) if -(2.0**31) <= p < 2.0**31 else INT_MIN
        if size < 9:
            break
        sizes.append(size)
    return sizes


def grid_cells(n, cfg, w, h):
    """Cells that a solve over n labels sizes its grid to; 0 when it scans."""
    threshold = cfg["spatialIndexThreshold"]
    if n == 0 or threshold < 0 or n < threshold:
        return 0
    s = cfg["gridSize"] if cfg["gridSize"] >= 1 else 100
    cols, rows = c_div(wrap(w + s - 1), s), c_div(wrap(h + s - 1), s)
    return rows * cols if rows >= 1 and cols >= 1 else 0


def make_config(fields):
    c = LayoutConfig()
    for name, value in fields.items():
        setattr(c, name, value)
    return c


class Measurer:
    """The engine's measuring callable: each add hands it one planned action per tier."""

    def __init__(self):
        self.engine, self.plan, self.calls, self.seen, self.raised = None, [], [], [], None

    def __call__(self, text, size):
        action, dims = self.plan[len(self.calls)]
        self.calls.append((text, size))
        q = self.engine()
        if action in FAILS and not action.startswith("nested"):
            if action == "raise":
                # Held weakly: its traceback holds the engine, which holds this
                # callable, in a cycle that the collector cannot see.
                boom = Boom(f"boom at {size}")
                self.raised = weakref.ref(boom)
                raise boom
            return {"none": None, "tuple": dims, "config": LayoutConfig()}[action]
        if action in ("nested_add", "nested_clear"):
            q.add(0, 0, 10, 10, "inner", 16) if action == "nested_add" else q.clear()
        elif action.endswith("_caught"):
            try:
                q.add(0, 0, 10, 10, "inner", 16) if "add" in action else q.clear()
            except RuntimeError as e:
                assert NESTED in str(e)
            else:
                raise AssertionError("a nested call was accepted")
        elif action == "nested_layout":
            self.seen.append(len(q.layout()))
        elif action == "nested_solve":
            q.solve()
        return TextSize(*dims)


def construct(w, h, cfg, measured):
    m = Measurer() if measured else None
    q = Quillset(w, h, m) if cfg is None else Quillset(w, h, m, make_config(cfg))
    if m:
        m.engine = weakref.ref(q)
    return q, m


def run(q, m, op, args):
    """Makes one call; gives back its result, or the error it raised."""
    if op == "add":
        if m:
            m.plan, m.calls, m.seen = args[-1], [], []
        args = args[:-1]
    elif op == "set_config":
        args = (make_config(args[0]),)
    try:
        out = getattr(q, op)(*args)
    except Exception as e:
        return e
    if op == "layout":
        return [tuple(getattr(r, name) for name in RESULT_FIELDS) for r in out]
    return out


def comparable(out):
    if isinstance(out, BaseException):  # the message may show the engine's address
        return type(out).__name__, re.sub("0x[0-9a-f]+", "", str(out))
    if isinstance(out, list):
        return [tuple(struct.pack("<d", v) if isinstance(v, float) else v for v in r) for r in out]
    return out


def canvas_limit(c):
    """Largest right (or bottom) edge, in exact arithmetic, that a result admitted on a
    canvas of size c can show: width is truncated from a float difference."""
    return f32(c) + max(1.0, abs(f32(c)) * 2.0**-22)


class EngineMachine(RuleBasedStateMachine):
    @initialize(
        w=CANVAS,
        h=CANVAS,
        cfg=st.none() | CONFIG | CONFIG | CONFIG,
        measured=st.sampled_from([True] * 4 + [False]),
        seed=SEED,
    )
    def build(self, w, h, cfg, measured, seed):
        self.log, self.outcomes = [("init", (w, h, cfg, measured))], []
        self.q, self.m = construct(w, h, cfg, measured)
        self.cfg, self.canvas, self.labels = cfg or DEFAULTS, (w, h), []
        for box, base, dims in seed:
            self.add_one(box, "seed", base, [("size", dims)] * 4)

    def call(self, op, *args):
        out = run(self.q, self.m, op, args)
        self.log.append((op, args))
        self.outcomes.append(comparable(out))
        return out

    def cells(self):
        return grid_cells(len(self.labels), self.cfg, *self.canvas)

    @rule(cfg=CONFIG)
    def set_config(self, cfg):
        assert self.call("set_config", cfg) is None
        self.cfg = cfg

    @rule(w=CANVAS, h=CANVAS)
    def set_canvas_size(self, w, h):
        assert self.call("set_canvas_size", w, h) is None
        self.canvas = (w, h)

    @rule()
    def clear(self):
        assert self.call("clear") is None
        self.labels = []

    @rule(box=BOX, text=TEXT, base=BASE, plan=PLAN, copies=st.integers(1, 4))
    def add(self, box, text, base, plan, copies):
        for _ in range(copies):  # the same label again and again overlaps itself
            self.add_one(box, text, base, plan)

    def add_one(self, box, text, base, plan):
        sizes = tier_sizes(base)
        if self.cells() > MAX_CELLS:
            plan = [("size" if a == "nested_solve" else a, d) for a, d in plan]
        out = self.call("add", *box, text, base, plan)
        event(f"add: {type(out).__name__}")
        expected, calls = None, len(sizes)
        if not sizes:
            calls = 0
        elif self.m is None:
            expected, calls = (RuntimeError, ""), 0
        elif text == INVALID_UTF8:
            expected, calls = (UnicodeDecodeError, ""), 0
        else:
            for k, (action, _) in enumerate(plan[: len(sizes)]):
                if action in FAILS:
                    expected, calls = FAILS[action], k + 1
                    break
        if self.m:
            decoded = text if isinstance(text, str) else text.decode(errors="replace")
            assert self.m.calls == [(decoded, s) for s in sizes[:calls]]
            assert self.m.seen == [len(self.labels)] * len(self.m.seen)
        if expected is None:
            assert out is None
            finite = all(map(math.isfinite, box))
            fonts = {low16(s) for s in sizes} | {low16(base)}
            ascents = {low16(d[1]) for _, d in plan[: len(sizes)]} | {0}
            self.labels.append((finite, self.canvas, fonts, ascents))
        else:
            assert isinstance(out, expected[0]) and expected[1] in str(out), repr(out)
            if expected[0] is Boom:
                assert out is self.m.raised()
            self.layout()

    @precondition(lambda self: self.cells() <= MAX_CELLS)
    @rule()
    def solve(self):
        out = self.call("solve")
        event(f"solve: {'grid' if self.cells() else 'scan'} {type(out).__name__}")
        assert out is None, repr(out)

    @rule()
    def layout(self):
        out = self.call("layout")
        assert len(out) == len(self.labels)
        pad = (self.cfg["paddingX"], self.cfg["paddingY"])
        for r, (finite, (cw, ch), fonts, ascents) in zip(out, self.labels, strict=True):
            left, top, font, px, py, w, h, asc, desc = r
            assert (px, py) == pad and font in fonts
            if (left, top, w, h, asc, desc) == (0.0, 0.0, 0, 0, 0, 0):
                continue  # the fallback
            event(f"placed {'finite' if finite else 'non-finite'} box")
            assert asc in ascents
            assert not (left < 0 or top < 0), r
            if finite:
                assert math.isfinite(left) and math.isfinite(top), r
                assert w == INT_MIN or left + w <= canvas_limit(cw), (r, cw)
                assert h == INT_MIN or top + h <= canvas_limit(ch), (r, ch)

    def teardown(self):
        q, m = construct(*self.log[0][1])
        replayed = [comparable(run(q, m, op, args)) for op, args in self.log[1:]]
        assert replayed == self.outcomes


EngineMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("QUILLSET_HYPOTHESIS_EXAMPLES", "80")),
    stateful_step_count=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
TestEngineSequences = EngineMachine.TestCase


def test_an_engine_that_was_never_initialised_is_refused(run_python):
    proc = run_python(
        "from quillset import Quillset\n"
        "q = Quillset.__new__(Quillset)\n"
        "for call in (q.layout, q.solve, q.clear, lambda: q.add(1, 1, 5, 5, 'x', 8)):\n"
        "    try:\n"
        "        call()\n"
        "    except (TypeError, RuntimeError):\n"
        "        continue\n"
        "    raise SystemExit(f'{call} ran')\n"
    )
    assert proc.returncode == 0, proc.stderr
