"""layout(): the current candidate of every label as a LayoutResult."""

import struct

import pytest

from quillset import LayoutConfig, Quillset, TextSize


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def third_of(free, origin):
    # First of three slide positions: (1 * (1/3)) * free + origin, in single precision.
    return f32(f32(f32(1.0 / 3) * free) + origin)


def fields(r):
    return (
        r.left,
        r.top,
        r.width,
        r.height,
        r.fontSize,
        r.textAscent,
        r.textDescent,
        r.padding_x,
        r.padding_y,
    )


def const(*size):
    return lambda text, fs: TextSize(*size)


WORKED = (100.0, 80.0, 50, 20, 16, 12, 8, 2, 2)


def test_fractional_left_reports_width_one_less():
    # A 57-wide label slid along the top of an object 47 wider than it: the top
    # anchor starts two units left of the canvas and the right anchor ends past
    # its right edge.
    q = Quillset(158, 1000, const(53, 12, 4))
    q.add(-2, 100, 102, 200, "x", 16)
    r = q.layout()[0]
    left = third_of(47.0, -2.0)
    assert r.left == left and f"{left:.6f}" == "13.666667"
    assert r.width == int(f32(f32(left + 57.0) - left)) == 56
    assert (r.top, r.height, r.textDescent) == (80.0, 20, 8)


# Descent from the untruncated height: 5 rather than 6 (= below + 2 * paddingY)
# for ascent 10; 21 rather than 20 (= 15 - ascent) for ascent -5, where the float
# difference rounds up to a whole number.
@pytest.mark.parametrize("ascent, below, descent", [(10, 2, 5), (-5, 17, 21)])
def test_fractional_top_truncates_height_and_descent_from_float_height(ascent, below, descent):
    # Box 24 x 16 slid down the right side of an object 11 taller than it; all
    # anchors and the other sides are off the canvas.
    q = Quillset(1000, 39, const(20, ascent, below))
    q.add(0, -3, 10, 24, "x", 16)
    r = q.layout()[0]
    top = third_of(11.0, -3.0)
    height = f32(f32(top + 16.0) - top)
    assert (r.left, r.top, r.width) == (10.0, top, 24)
    assert r.height == int(height) == 15
    assert r.textAscent == ascent
    assert r.textDescent == int(f32(height - ascent)) == descent


@pytest.mark.parametrize(
    "base, ascent, expected",
    [
        (70000, 12, (4464, 12, 8)),  # font size kept to 16 bits
        (16, 40000, (16, -25536, 65540)),  # ascent too; descent from the float height
    ],
)
def test_sixteen_bit_fields(base, ascent, expected):
    sizes = []

    def measure(text, fs):
        sizes.append(fs)
        return TextSize(10, ascent, 4 if ascent == 12 else 0)

    q = Quillset(1000, 50000, measure)
    q.add(0, 40004, 10, 40010, "x", base)
    r = q.layout()[0]
    assert sizes[0] == base
    assert (r.fontSize, r.textAscent, r.textDescent) == expected


@pytest.mark.parametrize(
    "box, canvas, width, text",
    [
        (
            (100, 100, 300, 200),
            (1000, 1000),
            46,
            "<LayoutResult left=100.000000 top=80.000000 width=50 height=20 padding_x=2 "
            "padding_y=2 textAscent=12 textDescent=8 fontSize=16>",
        ),
        (
            (-2, 100, 102, 200),
            (158, 1000),
            53,
            "<LayoutResult left=13.666667 top=80.000000 width=56 height=20 padding_x=2 "
            "padding_y=2 textAscent=12 textDescent=8 fontSize=16>",
        ),
        (
            (0, 0, 10, 10),
            (40, 40),
            46,
            "<LayoutResult left=0.000000 top=0.000000 width=0 height=0 padding_x=2 "
            "padding_y=2 textAscent=0 textDescent=0 fontSize=16>",
        ),
    ],
)
def test_repr(box, canvas, width, text):
    q = Quillset(*canvas, const(width, 12, 4))
    q.add(*box, "x", 16)
    assert repr(q.layout()[0]) == text


def test_new_padding_changes_reported_padding_not_box():
    q = Quillset(1000, 1000, const(46, 12, 4))
    q.add(100, 100, 300, 200, "a", 16)
    q.add(500, 500, 700, 600, "b", 16)
    cfg = LayoutConfig()
    cfg.paddingX, cfg.paddingY = 7, 9
    q.set_config(cfg)
    assert [fields(r) for r in q.layout()] == [
        (100.0, 80.0, 50, 20, 16, 12, 8, 7, 9),
        (500.0, 480.0, 50, 20, 16, 12, 8, 7, 9),
    ]


def test_each_call_returns_new_read_only_objects():
    q = Quillset(1000, 1000, const(46, 12, 4))
    q.add(100, 100, 300, 200, "a", 16)
    first, second = q.layout(), q.layout()
    assert type(first) is list and first is not second
    assert first[0] is not second[0]
    assert fields(first[0]) == fields(second[0]) == WORKED
    with pytest.raises(AttributeError):
        first[0].left = 1.0


def test_results_are_snapshots():
    q = Quillset(1000, 1000, const(46, 12, 4))
    q.add(100, 100, 300, 200, "a", 16)
    q.add(100, 70, 300, 170, "b", 16)  # covers label a's first candidate
    before = q.layout()
    q.solve()
    solved = q.layout()
    solved_fields = [fields(r) for r in solved]
    assert solved_fields[0] != WORKED  # the solver moved label a
    q.add(600, 10, 800, 110, "c", 16)
    assert fields(q.layout()[2])[:2] == (800.0, 10.0)  # first candidate until the next solve
    q.solve()
    q.clear()
    assert q.layout() == []
    assert [fields(r) for r in before] == [WORKED, (100.0, 50.0) + WORKED[2:]]
    assert [fields(r) for r in solved] == solved_fields


def test_empty_engine():
    q = Quillset(1000, 1000, None)
    assert q.layout() == []
    q.add(0, 0, 10, 10, "x", 8)  # never measured
    q.clear()
    assert q.layout() == []
