"""The companion under hostile or careless use: work bounded by the canvas and the
labels rather than by a number the caller passes, caches that neither grow without
bound nor share mutable answers, calls that complete or leave the axes untouched,
and errors that name the argument at fault."""

import importlib
import math
import random
import textwrap

import matplotlib
import numpy as np
import pytest

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.font_manager import FontProperties  # noqa: E402

import quillset  # noqa: E402
from quillset_extras import Memoized, fixed_advance, geometry, mpl_labels, mpl_measure, quality  # noqa: E402
from quillset_extras.geometry import BoxIndex  # noqa: E402
from quillset_extras.mpl import label_points  # noqa: E402
from quillset_extras.mpl_measure import FontMeasurer  # noqa: E402
from quillset_extras.readable import choose_readable, place_readable  # noqa: E402

# The package's `quality` is the function; the module is reached through sys.modules.
quality_module = importlib.import_module("quillset_extras.quality")


@pytest.fixture
def axes():
    fig, ax = plt.subplots(figsize=(4, 3), dpi=100)
    yield ax
    plt.close(fig)


def test_leader_reach_beyond_the_canvas_costs_nothing_more(run_python):
    # Far reaches once built rings out to the reach before looking at any label:
    # 1e300 never returned. Under a 1 GiB address space it must answer as the
    # canvas's own diagonal does.
    code = textwrap.dedent(
        """
        import math, pathlib, random, resource
        # A sanitizer's shadow memory needs more address space than any cap.
        if "libasan" not in pathlib.Path("/proc/self/maps").read_text():
            resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        from quillset_extras import fixed_advance
        from quillset_extras.readable import place_readable
        rng = random.Random(4)
        points = [(rng.uniform(0, 300), rng.uniform(0, 200)) for _ in range(120)]
        texts = [f"place {i}" for i in range(120)]
        def run(reach):
            p = place_readable(300, 200, points, texts, fixed_advance(), 10, radius=2,
                               overlap="hide", leaders=True, max_distance=reach)
            return p.shown, p.leader_lines
        print(run(1e300) == run(math.hypot(300, 200)) == run(1e7))
        """
    )
    run = run_python(code)
    assert (run.returncode, run.stdout.strip()) == (0, "True"), run.stderr[-2000:]


@pytest.mark.parametrize("side", [32_000.0, 960_000.0, 1e12, math.inf])
def test_choose_readable_sees_a_marker_of_any_size(side):
    # A text under the far end of one huge marker is not readable; markers were
    # filed in at most 10,000 cells per axis and the far end was missed.
    far = 640_000.0 if side == math.inf else side * 2 / 3
    marker = [(0.0, 0.0, side, 32.0)]
    assert choose_readable([(far, 10.0, far + 10.0, 20.0)], [0], marker, 1e13, 100.0) == []
    assert choose_readable([(far, 40.0, far + 10.0, 50.0)], [0], marker, 1e13, 100.0) == [0]


def test_a_huge_box_takes_a_few_cells_and_is_found_everywhere():
    index = BoxIndex(8.0)
    rng = random.Random(2)
    small = [
        (x, y, x + 5.0, y + 5.0)
        for x, y in ((rng.uniform(0, 1e4), rng.uniform(0, 1e4)) for _ in range(500))
    ]
    for box in small:
        index.add(box)
    index.add((-1e9, -1e9, 1e9, 1e9))
    assert sum(len(c) for _, cells in index.levels.values() for c in cells.values()) <= 500 * 4 + 4
    for box in small[:50]:
        assert (-1e9, -1e9, 1e9, 1e9) in set(index.near(box))


def test_one_large_box_does_not_make_quality_compare_all_pairs(monkeypatch):
    # 2,000 small texts and one 600-character one: the pairs found are exact and
    # the number of box comparisons stays near linear (it was every pair).
    rng = random.Random(5)
    boxes = [
        (x, y, x + 20.0, y + 8.0)
        for x, y in ((rng.uniform(0, 3000), rng.uniform(0, 3000)) for _ in range(2000))
    ]
    boxes.append((100.0, 100.0, 100.0 + 600 * 6.0, 112.0))
    compared = 0
    strict = geometry.overlaps_strictly

    def counting(a, b):
        nonlocal compared
        compared += 1
        return strict(a, b)

    monkeypatch.setattr(quality_module, "overlaps_strictly", counting)
    pairs = quality_module.overlapping_boxes(boxes)
    assert pairs == [
        (i, j)
        for i in range(len(boxes))
        for j in range(i + 1, len(boxes))
        if strict(boxes[i], boxes[j])
    ]
    assert compared < 40 * len(boxes)


def test_measurer_caches_stay_bounded_and_answers_are_not_shared(monkeypatch):
    monkeypatch.setattr(mpl_measure, "_MOST_ENTRIES", 64)
    monkeypatch.setattr(mpl_measure, "_MOST_TEXTS", 64)
    measure = FontMeasurer()
    rng = random.Random(1)
    alphabet = "abcdefghijklmnopqrstuvwxyzÀÉÎÕÜ0123456789"
    for _ in range(300):
        measure("".join(rng.choice(alphabet) for _ in range(12)), 100)
    face = measure.face(100)
    assert max(len(face.merges), len(face.kerning), len(face.glyphs), len(measure._cache)) <= 64
    first = measure("same", 100)
    first.width = -1
    assert measure("same", 100).width > 0


def test_memoized_neither_caches_non_sizes_nor_shares_its_answers():
    answers = [None, quillset.TextSize(30, 9, 3)]
    calls = []

    def flaky(text, size):
        calls.append(text)
        return answers[min(len(calls) - 1, 1)]

    memo = Memoized(flaky)
    assert memo("a", 10) is None
    first = memo("a", 10)
    first.width = 999
    assert (memo("a", 10).width, len(calls)) == (30, 2)


@pytest.mark.parametrize("freeze", [False, True])
def test_an_interrupt_while_drawing_leaves_the_axes_as_they_were(axes, monkeypatch, freeze):
    rng = random.Random(3)
    x, y = [rng.random() for _ in range(300)], [rng.random() for _ in range(300)]
    before = list(axes.get_children())
    made = 0
    make_text = mpl_labels.PointLabels._make_text

    def interrupted(self, *args):
        nonlocal made
        made += 1
        if made == 40:
            raise KeyboardInterrupt
        return make_text(self, *args)

    monkeypatch.setattr(mpl_labels.PointLabels, "_make_text", interrupted)
    with pytest.raises(KeyboardInterrupt):
        label_points(axes, x, y, [f"p{i}" for i in range(300)], overlap="allow", freeze=freeze)
    assert list(axes.get_children()) == before


@pytest.mark.parametrize(
    "texts, drawn",
    [
        ([12, None, np.str_("numpy")], ["12", "", "numpy"]),
        (np.array(["a", "b", "c"]), ["a", "b", "c"]),
    ],
)
def test_texts_are_taken_as_axes_text_takes_them(axes, texts, drawn):
    res = label_points(axes, [0.2, 0.5, 0.8], [0.2, 0.5, 0.8], texts)
    assert sorted(t.get_text() for t in res.texts) == sorted(drawn)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"font": "DejaVu Serif"},
        {"font": {"family": "serif", "weight": "bold"}},
        {"font": FontProperties(family="monospace")},
        {"fontsize": "12"},
        {"fontsize": np.int64(9)},
        {"fontsize": np.float32(9.5)},
        {"point_radius": 1e300},
        {"point_radius": np.float64(2)},
        {"max_distance": 1e300, "overlap": "hide", "leaders": True},
    ],
)
def test_inputs_that_matplotlib_accepts_work(axes, kwargs):
    res = label_points(axes, [0.3, 0.7], [0.3, 0.7], ["one", "two"], **kwargs)
    assert len(res.shown) + len(res.hidden) == 2


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda ax: label_points(ax, [0.5], [0.5], [b"bytes"]), TypeError, r"texts\[0\].*decode"),
        (lambda ax: label_points(ax, [0.5], [0.5], ["a"], fontsize="-5"), ValueError, "fontsize"),
        (lambda ax: label_points(ax, [0.5], [0.5], ["a"], fontsize="0.1"), ValueError, "fontsize"),
        (lambda ax: label_points(ax, [0.5], [0.5], ["a"], fontsize="-inf"), ValueError, "fontsize"),
        (lambda ax: label_points(ax, [0.5], [0.5], ["a"], fontsize="big"), ValueError, "fontsize"),
        (lambda ax: label_points(ax, [0.5], [0.5], ["a"], font=3), TypeError, "font must"),
        (
            lambda ax: label_points(ax, [0.5], [0.5], ["a"], point_radius="2"),
            TypeError,
            "point_radius",
        ),
        (
            lambda ax: label_points(ax, [0.5], [0.5], ["a"], point_radius=math.inf),
            ValueError,
            "point_radius",
        ),
        (lambda ax: quality([], [], "12"), TypeError, "base_font_sizes"),
        (
            lambda ax: place_readable(90, 90, [(9, 9)], ["a"], fixed_advance(), 8),
            ValueError,
            "font_size",
        ),
    ],
)
def test_mistakes_are_named(axes, call, error, words):
    with pytest.raises(error, match=words):
        call(axes)


def test_quality_takes_a_numpy_integer_size():
    engine = quillset.Quillset(200, 200, fixed_advance())
    engine.add(50, 50, 54, 54, "label", 12)
    engine.solve()
    assert quality(engine.layout(), [(50, 50, 54, 54)], np.int64(12)).labels == 1


def test_a_missing_extra_is_named(run_python):
    code = textwrap.dedent(
        """
        import sys
        sys.modules["matplotlib"] = None
        try:
            import quillset_extras.mpl
        except ModuleNotFoundError as error:
            print(error)
        """
    )
    run = run_python(code)
    assert "pip install 'quillset[matplotlib]'" in run.stdout, run.stderr
