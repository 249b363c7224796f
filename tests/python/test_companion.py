"""The companion package quillset_extras, checked against the module itself: its
measurers, the memoising wrapper, the quality figures, the Pillow and matplotlib
helpers, and the examples and demo that use them."""

import os
import pathlib
import random
import subprocess
import sys
from types import SimpleNamespace

import matplotlib
import pytest

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from PIL import Image, ImageDraw  # noqa: E402

import quillset  # noqa: E402
import quillset_extras  # noqa: E402
from quillset_extras import (  # noqa: E402
    Memoized,
    Quality,
    fixed_advance,
    label_object_pairs,
    object_box,
    overlapping_label_pairs,
    quality,
)
from quillset_extras.mpl import label_points, matplotlib_measurer  # noqa: E402
from quillset_extras.pillow import PillowFonts  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]


class Counting:
    def __init__(self, measure=None):
        self.measure = measure or fixed_advance()
        self.calls = []

    def __call__(self, text, size):
        self.calls.append((text, size))
        return self.measure(text, size)


@pytest.mark.parametrize(
    "args, text, size, expected",
    [
        ((), "abcde", 16, (44, 12, 4)),  # 0.55 * 16 * 5 is 44 plus float noise: not 45
        ((), "ab", 10, (11, 8, 3)),
        ((), "", 12, (0, 9, 3)),
        ((0.5, 1.0, 0.0), "abc", 9, (14, 9, 0)),
    ],
)
def test_fixed_advance(args, text, size, expected):
    measured = fixed_advance(*args)(text, size)
    assert (measured.width, measured.height, measured.baseline) == expected


def test_memoized_measures_each_text_and_size_once():
    plain, counting = quillset.Quillset(500, 500, fixed_advance()), Counting()
    memo = Memoized(counting)
    cached = quillset.Quillset(500, 500, memo)
    for engine in (plain, cached):
        for i in range(3):
            engine.add(100 + 50 * i, 200, 110 + 50 * i, 210, "pier", 16)
        engine.solve()
    # Tiers of 16 are 16, 14, 12, 12: three sizes, twelve requests.
    assert counting.calls == [("pier", 16), ("pier", 14), ("pier", 12)]
    assert (memo.misses, memo.hits, len(memo)) == (3, 9, 3)
    assert list(map(repr, cached.layout())) == list(map(repr, plain.layout()))


def test_memoized_evicts_least_recent_and_caches_no_error():
    failures = iter([ValueError("once")])

    def flaky(text, size):
        error = next(failures, None)
        if error:
            raise error
        return quillset.TextSize(len(text), size)

    counting = Counting(flaky)
    memo = Memoized(counting, maxsize=2)
    with pytest.raises(ValueError):
        memo("a", 10)
    for text in "aaba" + "c" + "ab":  # c evicts b, the least recently used
        memo(text, 10)
    assert [t for t, _ in counting.calls] == ["a", "a", "b", "c", "b"]
    memo.clear()
    assert (len(memo), memo.hits, memo.misses) == (0, 0, 0)


@pytest.mark.parametrize(
    "box, expected",
    [
        ((10.3, 20.7, 10.3, 20.7), (9, 19, 12, 22)),  # a point becomes 2 x 2, then whole units
        ((10, 10, 12, 12), (10, 10, 12, 12)),  # exactly 2 keeps its edges
        ((10, 10, 11.9, 20), (9, 10, 12, 20)),  # 1.9 is centred
        ((12, 10, 8, 20), (9, 10, 11, 20)),  # inverted: centred too
        ((0.1, 0.1, 100.2, 50.5), (0, 0, 101, 51)),
    ],
)
def test_object_box(box, expected):
    assert object_box(*box) == expected


def test_object_box_agrees_with_the_engine():
    """Before solve a label sits on its first candidate: the top anchor at the
    object's left edge when there is room above, else the right anchor at its
    right edge. Both reveal the object box that the engine stored."""
    rng = random.Random(5)
    for _ in range(200):
        l, t = rng.uniform(100, 400), rng.choice([rng.uniform(100, 400), rng.uniform(0, 5)])
        r, b = l + rng.choice([0, 1.999, 2, rng.uniform(-3, 50)]), t + rng.uniform(-1, 30)
        engine = quillset.Quillset(1000, 1000, fixed_advance())
        engine.add(l, t, r, b, "x", 10)
        first = engine.layout()[0]
        x0, y0, x1, _ = object_box(l, t, r, b)
        if first.top + first.height == y0:  # the top anchor
            assert first.left == x0
        else:
            assert (first.left, first.top) == (x1, y0)


def fake(left, top, width, height, font=10, ascent=5):
    return SimpleNamespace(
        left=left, top=top, width=width, height=height, fontSize=font, textAscent=ascent
    )


def strictly_overlap(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


@pytest.mark.parametrize("seed", range(4))
def test_pairs_match_brute_force(seed):
    rng = random.Random(seed)
    coordinate = rng.randint if seed % 2 else rng.uniform  # whole numbers share edges
    results = [
        fake(coordinate(0, 300), coordinate(0, 300), rng.randint(1, 60), rng.randint(1, 30))
        for _ in range(150)
    ] + [fake(0.0, 0.0, 0, 0, ascent=0)] * 3  # fallback labels overlap nothing
    objects = [(coordinate(0, 300), coordinate(0, 300), 0, 0) for _ in range(80)]
    objects = [(x, y, x + coordinate(0, 40), y + coordinate(0, 40)) for x, y, _, _ in objects]
    boxes = [(r.left, r.top, r.left + r.width, r.top + r.height) for r in results[:150]]
    stored = [object_box(*o) for o in objects]
    assert overlapping_label_pairs(results) == [
        (i, j)
        for i in range(150)
        for j in range(i + 1, 150)
        if strictly_overlap(boxes[i], boxes[j])
    ]
    assert label_object_pairs(results, objects) == [
        (i, j) for i in range(150) for j in range(80) if strictly_overlap(boxes[i], stored[j])
    ]


def test_quality_of_a_first_candidate_layout():
    # Canvas 100 x 100, fixed advance 0.55 em, padding 2:
    # A needs 114 units at 20 and 103 at 18: its first box is at 16 (92 x 20).
    # B fits at no size: fallback. X's box (0, 20, 26, 35) overlaps Y's box
    # (5, 15, 31, 30) and Y's object (5, 30, 7, 32).
    items = [
        ((0, 60, 2, 62), "abcdefghij", 20),
        ((50, 90, 52, 92), "x" * 30, 20),
        ((0, 35, 2, 37), "abcd", 10),
        ((5, 30, 7, 32), "abcd", 10),
    ]
    engine = quillset.Quillset(100, 100, fixed_advance())
    for box, text, size in items:
        engine.add(*box, text, size)
    figures = quality(engine.layout(), [box for box, _, _ in items], [s for _, _, s in items])
    assert figures == Quality(
        labels=4, label_label=1, label_object=1, smaller_tier=1, fallback=1, text_text=1
    )
    assert figures.placed == 3


FONT_FILE = pathlib.Path(matplotlib.get_data_path()) / "fonts" / "ttf" / "DejaVuSans.ttf"


@pytest.mark.parametrize("font", [None, FONT_FILE], ids=["pillow-default", "truetype-file"])
@pytest.mark.parametrize("text, size", [("Quillset", 16), ("jumpy Ågy", 11), ("W", 40)])
def test_pillow_text_is_drawn_inside_its_box(font, text, size):
    fonts = PillowFonts(font)
    engine = quillset.Quillset(300, 200, fonts.measure)
    engine.add(120, 100, 130, 110, text, size)
    engine.solve()
    result = engine.layout()[0]
    image = Image.new("L", (300, 200), 255)
    assert fonts.draw(ImageDraw.Draw(image), result, text, fill=0)
    ink = Image.eval(image, lambda v: 255 - v).getbbox()
    box = (result.left, result.top, result.left + result.width, result.top + result.height)
    assert ink is not None
    assert box[0] <= ink[0] and box[1] <= ink[1] and ink[2] <= box[2] and ink[3] <= box[3]


def test_pillow_draws_nothing_for_a_fallback_label():
    fonts = PillowFonts()
    engine = quillset.Quillset(50, 50, fonts)
    engine.add(20, 20, 22, 22, "far too long for this canvas", 20)
    image = Image.new("L", (50, 50), 255)
    assert fonts.draw_all(ImageDraw.Draw(image), engine.layout(), ["x"]) == 0
    assert image.getextrema() == (255, 255)


@pytest.fixture
def axes():
    fig, ax = plt.subplots(figsize=(6, 4), dpi=100)
    yield ax
    plt.close(fig)


@pytest.mark.parametrize("text, size", [("Label 42", 12), ("g", 7), ("wide wide wide", 20)])
def test_matplotlib_measurer_gives_the_drawn_extent(axes, text, size):
    measured = matplotlib_measurer(axes.figure)(text, size)
    renderer = axes.figure.canvas.get_renderer()
    drawn = axes.text(0.5, 0.5, text, fontsize=size, va="baseline")
    extent = drawn.get_window_extent(renderer)
    _, baseline = axes.transData.transform((0.5, 0.5))
    assert measured.width - 1 < extent.width <= measured.width
    assert measured.height - 1 < extent.y1 - baseline <= measured.height
    assert measured.baseline - 1 < baseline - extent.y0 <= measured.baseline


def test_label_points_places_labels_beside_their_points(axes):
    x = [i % 4 * 10.0 for i in range(12)] + [500.0]
    y = [i // 4 * 10.0 for i in range(12)] + [0.0]
    axes.set_xlim(-5, 40)
    axes.set_ylim(-5, 30)
    axes.scatter(x, y)
    texts = [f"point {i}" for i in range(13)]
    drawn = label_points(axes, x, y, texts, fontsize=9, color="red")
    labels = drawn.texts
    assert drawn.shown == list(range(12)) and drawn.hidden == [12]

    assert [t.get_text() for t in labels] == texts[:12]  # the last point is out of view
    renderer = axes.figure.canvas.get_renderer()
    frame = axes.get_window_extent(renderer)
    boxes = [t.get_window_extent(renderer) for t in labels]
    radius = 3.0 * axes.figure.dpi / 72
    points = [axes.transData.transform(p) for p in zip(x[:12], y[:12])]
    for i, (box, (px, py)) in enumerate(zip(boxes, points)):
        assert labels[i].get_color() == "red" and labels[i].get_fontsize() == 9
        assert frame.x0 - 1 <= box.x0 and box.x1 <= frame.x1 + 1
        assert frame.y0 - 1 <= box.y0 and box.y1 <= frame.y1 + 1
        # Beside its own point: the padding (2) plus the rounding up of the text's
        # size and of the point's box (under 1 each) away from it.
        gap_x = max(box.x0 - (px + radius), (px - radius) - box.x1, 0)
        gap_y = max(box.y0 - (py + radius), (py - radius) - box.y1, 0)
        assert max(gap_x, gap_y) < 4
        edges = (box.x0, box.y0, box.x1, box.y1)
        for other in boxes[i + 1 :]:
            assert not strictly_overlap(edges, (other.x0, other.y0, other.x1, other.y1))
        for qx, qy in points:
            square = (qx - radius + 1, qy - radius + 1, qx + radius - 1, qy + radius - 1)
            assert not strictly_overlap(edges, square)


def child_env():
    """The environment for a child interpreter that imports what this one did."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [
            os.path.dirname(os.path.abspath(quillset.__file__)),
            str(pathlib.Path(quillset_extras.__file__).resolve().parents[1]),
        ]
    )
    return env


@pytest.mark.parametrize(
    "script, args, size",
    [
        ("examples/pillow_scene.py", [], (720, 440)),
        ("examples/matplotlib_scatter.py", [], (900, 550)),
        ("demo/demo.py", ["--out"], (1400, 930)),
    ],
)
def test_examples_and_demo_write_their_pictures(tmp_path, script, args, size):
    out = tmp_path / "picture.png"
    run = subprocess.run(
        [sys.executable, str(ROOT / script), *args, str(out)],
        cwd=tmp_path,
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    with Image.open(out) as picture:
        assert picture.size == size
    if script == "demo/demo.py":
        for line in (
            "labels placed:",
            "labels on fallback:",
            "label-label overlaps:",
            "label-object overlaps:",
            "labels on smaller font tier:",
            "time: add",
        ):
            assert line in run.stdout


@pytest.mark.skipif(not os.environ.get("QUILLSET_WHEEL_TEST"), reason="only against a wheel")
def test_the_wheel_install_is_what_is_tested():
    for module in (quillset, quillset_extras):
        assert pathlib.Path(module.__file__).is_relative_to(sys.prefix), module.__file__
