"""The readability benchmark's counting helpers (bench/readability.py) against plain
all-pairs counts, and its datasets' limits and order (bench/sample_data.py): the
benchmark's verdicts rest on them."""

import importlib.util
import math
import sys
from pathlib import Path

import numpy as np
import pytest

_bench = Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(_bench))  # the benchmark imports its sibling modules
_path = _bench / "readability.py"
_spec = importlib.util.spec_from_file_location("bench_readability", _path)
assert _spec is not None and _spec.loader is not None
rb = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = rb  # dataclasses look their module up there
_spec.loader.exec_module(rb)
sample_data = importlib.import_module("sample_data")


def meet(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def random_boxes(rng, n, grid):
    """Boxes on a coarse integer grid, so that shared edges and equal corners occur;
    some are degenerate (zero width or height)."""
    x0 = rng.integers(0, grid, n)
    y0 = rng.integers(0, grid, n)
    w = rng.integers(0, 6, n)
    h = rng.integers(0, 4, n)
    return np.column_stack((x0, y0, x0 + w, y0 + h)).astype(np.float64)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("n", [0, 1, 2, 40, 300])
def test_counts_match_all_pairs(seed, n):
    rng = np.random.default_rng([seed, n])
    boxes = random_boxes(rng, n, 30)
    others = random_boxes(rng, n // 2 + 1, 30)
    pairs = sum(meet(boxes[i], boxes[j]) for i in range(n) for j in range(i + 1, n))
    over = sum(any(meet(b, o) for o in others) for b in boxes)
    assert rb.overlapping_pairs(boxes) == pairs
    assert rb.boxes_over(boxes, others) == over


@pytest.mark.parametrize(
    ("boxes", "pairs"),
    [
        ([(0, 0, 10, 10), (10, 0, 20, 10)], 0),  # a shared edge
        ([(0, 0, 10, 10), (0, 10, 10, 20)], 0),
        ([(0, 0, 10, 10), (2, 2, 3, 3)], 1),  # one inside the other
        ([(0, 0, 10, 10), (0, 0, 10, 10), (0, 0, 10, 10)], 3),
        ([(0, 0, 100, 1), (50, 0, 51, 1), (99, 0, 120, 1)], 2),  # a long one reaches far
    ],
)
def test_overlapping_pairs_cases(boxes, pairs):
    assert rb.overlapping_pairs(np.array(boxes, dtype=np.float64)) == pairs


def test_boxes_over_sees_a_wide_box_that_starts_far_left():
    # The wide marker starts left of every narrow one: it must still be found.
    others = np.array([(0, 0, 100, 1), (10, 5, 11, 6), (20, 5, 21, 6)], dtype=np.float64)
    boxes = np.array([(90, 0, 95, 1), (90, 3, 95, 4)], dtype=np.float64)
    assert rb.boxes_over(boxes, others) == 1


@pytest.mark.parametrize(
    ("box", "out"),
    [((0, 0, 10, 10), 0), ((5, 5, 6, 6), 0), ((-0.5, 0, 3, 3), 1), ((8, 8, 10.5, 9), 1)],
)
def test_outside(box, out):
    assert rb.outside(np.array([box], dtype=np.float64), (0.0, 0.0, 10.0, 10.0)) == out


@pytest.mark.parametrize(
    ("lon", "lat"),
    [((-125.0, -66.5), (24.0, 49.8)), ((-11.0, 42.0), (35.0, 71.0)), ((0, 1), (0, 80))],
)
def test_map_limits_fill_the_axes_and_hold_the_box(lon, lat):
    xlim, ylim = sample_data.map_limits(lon, lat)
    assert xlim[0] <= lon[0] and xlim[1] >= lon[1] and ylim[0] <= lat[0] and ylim[1] >= lat[1]
    squeeze = math.cos(math.radians((ylim[0] + ylim[1]) / 2))
    ratio = (xlim[1] - xlim[0]) * squeeze / (ylim[1] - ylim[0])
    assert ratio == pytest.approx(sample_data.axes_ratio())


def test_by_priority_keeps_the_largest_inside_the_limits_in_a_stable_order():
    rows = [
        (0.5, 0.5, "a", 1.0),
        (0.2, 0.2, "b", 3.0),
        (5.0, 0.5, "far", 9.0),
        (0.1, 0.9, "c", 1.0),
    ]
    data = sample_data.by_priority("k", "t", rows, (0.0, 1.0), (0.0, 1.0), keep=2)
    assert data.texts == ["b", "a"]
    assert list(data.priority) == [3.0, 1.0]
    assert list(data.x) == [0.2, 0.5]
    assert data.head(1).texts == ["b"]
