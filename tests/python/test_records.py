import struct

import pytest

from quillset import LayoutConfig, LayoutResult, Quillset, TextSize

OBJ = (100, 100, 300, 200)  # with TextSize(46, 12, 4) at 16: top anchor (100, 80), box 50 x 20

CONFIG_DEFAULTS = {
    "gridSize": 100,
    "spatialIndexThreshold": 20,
    "maxIterations": 30,
    "paddingX": 2,
    "paddingY": 2,
    "costPos1_Top": 0.0,
    "costPos2_Right": 10.0,
    "costPos3_Bottom": 20.0,
    "costPos4_Left": 30.0,
    "costSlidingPenalty": 100.0,
    "costScaleTier": 10000.0,
    "costOccludeObj": 100000.0,
    "costOverlapBase": 100000.0,
}
INT_FIELDS = [(TextSize, f) for f in ("width", "height", "baseline")] + [
    (LayoutConfig, f) for f in list(CONFIG_DEFAULTS)[:5]
]
FLOAT_FIELDS = list(CONFIG_DEFAULTS)[5:]


def make(cls):
    return cls(46, 12, 4) if cls is TextSize else cls()


def single(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def first(q):
    r = q.layout()[0]
    return (r.left, r.top, r.width, r.height, r.padding_x)


def test_layout_config_defaults():
    c = LayoutConfig()
    assert {k: getattr(c, k) for k in CONFIG_DEFAULTS} == CONFIG_DEFAULTS
    assert [type(getattr(c, k)) for k in CONFIG_DEFAULTS] == [int] * 5 + [float] * 8


def test_text_size_fields():
    assert (TextSize(40, 12).baseline, TextSize(40, 12, 3).baseline) == (0, 3)
    t = TextSize(width=40, height=12, baseline=3)
    assert (t.width, t.height, t.baseline) == (40, 12, 3)


@pytest.mark.parametrize("field", FLOAT_FIELDS)
@pytest.mark.parametrize("value", [0.1, 1e-3, -7.3, 7])
def test_float_field_reads_back_single_precision(field, value):
    c = LayoutConfig()
    setattr(c, field, value)
    got = getattr(c, field)
    assert type(got) is float and got == single(value)
    if value == 0.1:
        assert got == 0.10000000149011612


@pytest.mark.parametrize("cls,field", INT_FIELDS)
@pytest.mark.parametrize("bad", [2.0, 2**31, -(2**31) - 1, "3", None])
def test_int_field_refuses_non_int32(cls, field, bad):
    obj = make(cls)
    before = getattr(obj, field)
    with pytest.raises(TypeError):
        setattr(obj, field, bad)
    assert getattr(obj, field) == before
    for edge in (2**31 - 1, -(2**31)):
        setattr(obj, field, edge)
        assert getattr(obj, field) == edge


def scene(q):
    # 25 crowded objects: enough to use the grid and to make the solver move labels.
    for i in range(25):
        x, y = 100 + 60 * (i % 5), 100 + 50 * (i // 5)
        q.add(x, y, x + 40, y + 30, f"L{i}", 16)
    q.solve()
    return [repr(r) for r in q.layout()]


def test_default_config_is_layout_config(measure):
    implicit = scene(Quillset(1000, 1000, measure))
    assert implicit == scene(Quillset(1000, 1000, measure, LayoutConfig()))
    padded = LayoutConfig()
    padded.paddingX = 3
    assert implicit != scene(Quillset(1000, 1000, measure, padded))


def test_config_object_is_copied(measure):
    c = LayoutConfig()
    c.paddingX = 5
    q = Quillset(1000, 1000, measure, c)
    c.paddingX = 20
    q.add(*OBJ, "a", 16)
    assert first(q) == (100.0, 80.0, 56, 20, 5)

    c2 = LayoutConfig()
    c2.paddingX = 7
    q.set_config(c2)
    c2.paddingX = 30
    # Padding is reported as configured now; the existing box keeps its size.
    assert first(q) == (100.0, 80.0, 56, 20, 7)
    q.add(*OBJ, "b", 16)
    r = q.layout()[1]
    assert (r.width, r.padding_x) == (46 + 14, 7)
    q.set_config(c2)
    assert q.layout()[1].padding_x == 30


def test_clear_keeps_config_canvas_and_callable(measure):
    c = LayoutConfig()
    c.paddingX = 5
    q = Quillset(1000, 1000, measure, c)
    q.set_canvas_size(140, 1000)  # too narrow for the top anchor's right edge (156)
    q.add(*OBJ, "a", 16)
    q.clear()
    assert q.layout() == []
    measure.calls.clear()
    q.add(*OBJ, "b", 16)
    assert [s for _, s in measure.calls] == [16, 14, 12, 12]
    assert first(q) == (44.0, 100.0, 56, 20, 5)  # left anchor


def test_smaller_canvas_keeps_existing_candidates(engine):
    engine.add(*OBJ, "a", 16)
    engine.set_canvas_size(10, 10)
    assert first(engine) == (100.0, 80.0, 50, 20, 2)
    engine.add(*OBJ, "b", 16)  # measured against the new canvas: nothing fits
    engine.solve()
    assert first(engine) == (100.0, 80.0, 50, 20, 2)
    r = engine.layout()[1]
    assert (r.left, r.top, r.width, r.height, r.fontSize) == (0.0, 0.0, 0, 0, 16)


# Records made by __new__ without __init__ hold the values of a default-built record.
class SubSize(TextSize):
    pass


ZEROS = ["left", "top", "width", "height", "fontSize", "padding_x", "padding_y"]
UNINITIALISED = {
    TextSize: dict.fromkeys(["width", "height", "baseline"], 0),
    SubSize: dict.fromkeys(["width", "height", "baseline"], 0),
    LayoutConfig: CONFIG_DEFAULTS,
    LayoutResult: dict.fromkeys([*ZEROS, "textAscent", "textDescent"], 0),
}
DIRT = 0x5A5A5A


def dirty_heap():
    """Frees records full of other values, so that a record allocated next and
    never written would show them."""
    q = Quillset(10**6, 10**6, lambda text, fs: TextSize(DIRT, DIRT, DIRT))
    q.add(10**5, 10**5, 10**5 + 1, 10**5 + 1, "dirty", 16)
    junk = [TextSize(DIRT, DIRT, DIRT) for _ in range(100)]
    junk += [q.layout()[0] for _ in range(100)]
    for _ in range(100):
        junk.append(LayoutConfig())
        for field in CONFIG_DEFAULTS:
            setattr(junk[-1], field, DIRT)
    del junk


@pytest.mark.parametrize("cls", list(UNINITIALISED))
def test_record_made_without_init_holds_defined_values(cls):
    for _ in range(20):
        dirty_heap()
        obj = cls.__new__(cls)
        assert {k: getattr(obj, k) for k in UNINITIALISED[cls]} == UNINITIALISED[cls]
    if cls is LayoutResult:
        assert repr(obj) == (
            "<LayoutResult left=0.000000 top=0.000000 width=0 height=0 padding_x=0 "
            "padding_y=0 textAscent=0 textDescent=0 fontSize=0>"
        )


def test_records_made_without_init_act_as_default_built(measure):
    expected = scene(Quillset(1000, 1000, measure))
    dirty_heap()
    assert scene(Quillset(1000, 1000, measure, LayoutConfig.__new__(LayoutConfig))) == expected
    q = Quillset(1000, 1000, measure, LayoutConfig())
    q.set_config(LayoutConfig.__new__(LayoutConfig))
    assert scene(q) == expected

    def unwritten(text, font_size):
        dirty_heap()
        return TextSize.__new__(TextSize)

    zero = scene(Quillset(1000, 1000, lambda text, font_size: TextSize(0, 0)))
    assert scene(Quillset(1000, 1000, unwritten)) == zero
