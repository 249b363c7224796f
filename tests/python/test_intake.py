"""Label intake as seen through layout() before any solve: every label reports
the first admissible candidate of its run."""

import struct

import pytest

from quillset import LayoutConfig, Quillset, TextSize


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def divisions(free):
    return min(max(int(f32(free / 40.0)), 3), 15)


def slide(j, free, origin):
    """Position of the j-th slide along a side with the given free length."""
    f = f32(j * f32(1.0 / divisions(free)))
    return f32(f32(f * free) + origin)


def fields(r):
    return (r.left, r.top, r.width, r.height, r.fontSize, r.textAscent, r.textDescent)


def first(box, canvas=(1000, 1000), size=(46, 12, 4), base=16, config=None):
    q = Quillset(*canvas, lambda text, fs: TextSize(*size), *([config] if config else []))
    q.add(*box, "label", base)
    (r,) = q.layout()
    return r


def test_worked_example():
    r = first((100, 100, 300, 200))
    assert fields(r) == (100.0, 80.0, 50, 20, 16, 12, 8)
    assert (r.padding_x, r.padding_y) == (2, 2)


# The label box is 50 x 20 throughout. Each row rejects everything generated
# before the expected candidate, by the canvas edges or by object placement.
@pytest.mark.parametrize(
    "canvas, box, expected",
    [
        ((1000, 1000), (100, 100, 300, 200), (100.0, 80.0)),  # top
        ((1000, 1000), (50, 20, 250, 120), (50.0, 0.0)),  # top touching y = 0
        ((1000, 1000), (50, 19, 250, 120), (250.0, 19.0)),  # top one unit out: right
        ((350, 1000), (100, 10, 300, 110), (300.0, 10.0)),  # right touching the right edge
        ((349, 1000), (100, 10, 300, 110), (100.0, 110.0)),  # right one unit out: bottom
        ((349, 130), (100, 10, 300, 110), (100.0, 110.0)),  # bottom touching the bottom edge
        ((349, 129), (100, 10, 300, 110), (50.0, 10.0)),  # bottom one unit out: left
        ((349, 129), (50, 10, 300, 110), (0.0, 10.0)),  # left touching x = 0
        ((219, 1000), (-20, 100, 170, 200), (slide(1, 140.0, -20.0), 80.0)),  # top slide
        ((219, 1000), (-20, 10, 170, 110), (slide(1, 140.0, -20.0), 110.0)),  # bottom slide
        ((1000, 159), (100, -20, 300, 140), (300.0, slide(1, 140.0, -20.0))),  # right slide
        ((349, 159), (100, -20, 300, 140), (50.0, slide(1, 140.0, -20.0))),  # left slide
    ],
)
def test_candidate_order(canvas, box, expected):
    r = first(box, canvas)
    assert (r.left, r.top) == expected
    assert (r.width, r.height, r.fontSize) == (50, 20, 16)


# The top anchor sits one unit left of the canvas, so the first top slide on the
# canvas wins; the object is `free` wider than the 50-wide label. Free 2 still
# slides (d raised to 3, only j = 2 on the canvas), 180 gives d = 4, 2000 gives
# d capped at 15; free 1 does not slide at all and nothing else fits.
@pytest.mark.parametrize("free", [1, 2, 100, 180, 1000, 2000])
def test_slide_divisions(free):
    right = free + 50 - 1
    r = first((-1, 100, right, 200), canvas=(right + 49, 1000))
    if free <= 1:
        assert fields(r) == (0.0, 0.0, 0, 0, 16, 0, 0)
    else:
        xs = [slide(j, float(free), -1.0) for j in range(1, divisions(free))]
        assert (r.left, r.top) == (next(x for x in xs if x >= 0), 80.0)


@pytest.mark.parametrize(
    "base, sizes",
    [
        (100, [100, 90, 80, 75]),
        (16, [16, 14, 12, 12]),
        (12, [12, 10, 9, 9]),
        (11, [11, 9]),
        (10, [10, 9]),
        (9, [9]),
        (8, []),
        (-5, []),
    ],
)
def test_font_sizes_measured(base, sizes):
    calls = []

    def measure(text, fs):
        calls.append((type(text), text, type(fs), fs))
        return TextSize(46, 12, 4)

    q = Quillset(1000, 1000, measure)
    q.add(100, 100, 300, 200, "héllo", base)
    assert calls == [(str, "héllo", int, s) for s in sizes]
    assert q.layout()[0].fontSize == (sizes[0] if sizes else base)


def object_box(box):
    """The normalised object box, read from two probes: a label too tall for the
    top anchor reports (right, top); a 1-wide label on a canvas ending at the
    object's right edge loses the right anchor too and reports (left, bottom)."""
    cfg = LayoutConfig()
    cfg.paddingX = 0
    tall = (1, 2**25 - 4, 0)  # box 1 x 2^25
    a = first(box, canvas=(2**30, 2**30), size=tall, config=cfg)
    b = first(box, canvas=(int(a.left), 2**30), size=tall, config=cfg)
    return (b.left, a.top, a.left, b.top)


@pytest.mark.parametrize(
    "box, expected",
    [
        ((10.3, 20.7, 10.3, 20.7), (9, 19, 12, 22)),  # point: 2 x 2 around it
        ((10.0, 20.0, 11.9, 21.9), (9, 19, 12, 22)),  # 1.9: centred on 10.95 / 20.95
        ((12.0, 22.0, 10.0, 20.0), (10, 20, 12, 22)),  # inverted, small
        ((300.0, 200.0, 100.0, 100.0), (199, 149, 201, 151)),  # inverted, large
        ((10.2, 20.2, 15.7, 30.5), (10, 20, 16, 31)),  # wide enough: only rounded out
        # Exactly 2 wide at 2^24: kept as is. Centring would round (l + r) / 2 in
        # single precision and give (2^24 - 1, 2^24).
        ((2.0**24, 2.0**24, 2.0**24 + 2, 2.0**24 + 2), (2**24, 2**24, 2**24 + 2, 2**24 + 2)),
    ],
)
def test_object_normalisation(box, expected):
    assert object_box(box) == tuple(map(float, expected))


@pytest.mark.parametrize("base", [8, 16, 40000])
def test_fallback_when_nothing_fits(base):
    q = Quillset(40, 40, lambda text, fs: TextSize(46, 12, 4))
    q.add(10, 10, 20, 20, "x", base)
    for _ in range(2):
        r = q.layout()[0]
        expected_fs = base - 65536 if base > 32767 else base
        assert fields(r) == (0.0, 0.0, 0, 0, expected_fs, 0, 0)
        assert (r.padding_x, r.padding_y) == (2, 2)
        q.solve()


# Text at size s measures 3s x s: boxes 52x20, 46x18, 40x16, 40x16 by tier. Only
# the top anchor can fit, and only when the canvas is at least as wide as the box.
@pytest.mark.parametrize(
    "canvas_w, expected",
    [
        (52, (0.0, 80.0, 52, 20, 16, 16, 4)),
        (51, (0.0, 82.0, 46, 18, 14, 14, 4)),
        (45, (0.0, 84.0, 40, 16, 12, 12, 4)),
        (39, (0.0, 0.0, 0, 0, 16, 0, 0)),
    ],
)
def test_smaller_tier_when_full_size_does_not_fit(canvas_w, expected):
    q = Quillset(canvas_w, 1000, lambda text, fs: TextSize(3 * fs, fs, 0))
    q.add(0, 100, 10, 110, "x", 16)
    assert fields(q.layout()[0]) == expected


def test_later_config_and_canvas_apply_to_later_labels_only():
    q = Quillset(1000, 1000, lambda text, fs: TextSize(46, 12, 4))
    q.add(100, 100, 300, 200, "a", 16)
    cfg = LayoutConfig()
    cfg.paddingX, cfg.paddingY = 5, 7
    q.set_config(cfg)
    q.add(100, 100, 300, 200, "b", 16)
    q.set_canvas_size(100, 100)
    q.add(100, 100, 300, 200, "c", 16)
    assert [fields(r) for r in q.layout()] == [
        (100.0, 80.0, 50, 20, 16, 12, 8),
        (100.0, 70.0, 56, 30, 16, 12, 18),
        (0.0, 0.0, 0, 0, 16, 0, 0),
    ]
    assert all((r.padding_x, r.padding_y) == (5, 7) for r in q.layout())


def test_failed_add_leaves_no_label_and_later_labels_unaffected():
    def measure(text, fs):
        if text == "bad" and fs < 16:
            raise ValueError("second tier")
        return TextSize(46, 12, 4)

    q = Quillset(1000, 1000, measure)
    with pytest.raises(ValueError, match="second tier"):
        q.add(500, 500, 700, 600, "bad", 16)
    q.add(100, 10, 300, 110, "good", 16)
    assert [fields(r) for r in q.layout()] == [(300.0, 10.0, 50, 20, 16, 12, 8)]
