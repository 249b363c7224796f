"""The pure helpers of bench/redraw.py: the dense region it zooms into, and its count
of labels and leaders over the markers of labelled or more important points."""

import importlib.util
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("matplotlib")

_path = Path(__file__).resolve().parents[2] / "bench" / "redraw.py"
_spec = importlib.util.spec_from_file_location("bench_redraw", _path)
assert _spec is not None and _spec.loader is not None
rd = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = rd  # dataclasses look their module up there
_spec.loader.exec_module(rd)


def square(x, y, half=0.5):
    return [x - half, y - half, x + half, y + half]


def test_densest_window_holds_the_cluster():
    rng = np.random.default_rng(1)
    fx = np.concatenate([rng.uniform(0, 1, 200), rng.uniform(0.6, 0.9, 300)])
    fy = np.concatenate([rng.uniform(0, 1, 200), rng.uniform(0.1, 0.4, 300)])
    a, b = rd.densest_window(fx, fy, 0.5)
    assert a <= 0.6 and a + 0.5 >= 0.9
    assert b <= 0.1 and b + 0.5 >= 0.4


def test_densest_window_ignores_points_outside_the_view():
    fx = np.concatenate([np.full(50, 0.2), np.full(500, 3.0)])
    fy = np.concatenate([np.full(50, 0.8), np.full(500, -2.0)])
    a, b = rd.densest_window(fx, fy, 0.5)
    assert a <= 0.2 <= a + 0.5 and b <= 0.8 <= b + 0.5


# Points: 0 at (0, 0), the most important, with a marker of 2 x 2; 1 at (0.8, 0),
# within a pixel of 0 and inside its marker; 2 at (20, 0); 3 at (40, 0), the least
# important. Markers but 0's are 1 x 1.
POINTS = np.array([[0.0, 0.0], [0.8, 0.0], [20.0, 0.0], [40.0, 0.0]])
MARKERS = np.array([square(0, 0, 1.0), *(square(x, y) for x, y in POINTS[1:])])
PRIORITY = np.array([4.0, 3.0, 2.0, 1.0])


def counts(boxes, shown, leaders=(), leader_points=(), priority=PRIORITY):
    return rd.important_counts(
        np.array(boxes, dtype=float).reshape(-1, 4),
        shown,
        [np.array(s, dtype=float).reshape(-1, 4) for s in leaders],
        list(leader_points),
        POINTS,
        MARKERS,
        priority,
    )


def test_label_over_a_more_important_marker_counts():
    assert counts([[-0.2, -3, 10, 3]], [2]) == (1, 0)


def test_label_over_a_less_important_unlabelled_marker_does_not_count():
    assert counts([[30, -3, 39.8, 3]], [2]) == (0, 0)


def test_label_over_a_labelled_marker_counts_whatever_its_priority():
    assert counts([[30, -3, 39.8, 3], [40.6, 1, 50, 5]], [2, 3]) == (1, 0)


def test_a_near_duplicate_marker_is_its_own_point_not_its_neighbours():
    # The label of point 2 reaches over point 1's marker, not over point 0's: it
    # counts only while point 1 itself is more important than point 2.
    assert counts([[1.1, -3, 10, 3]], [2]) == (1, 0)
    assert counts([[1.1, -3, 10, 3]], [2], priority=np.array([4.0, 1.0, 2.0, 0.0])) == (0, 0)


def test_input_order_is_the_priority_by_default():
    assert counts([[-0.2, -3, 10, 3]], [2], priority=None) == (1, 0)
    assert counts([[30, -3, 39.8, 3]], [2], priority=None) == (0, 0)


def test_leader_across_a_more_important_marker_counts_but_not_around_its_own_point():
    # Point 2's leader runs left through point 0 and 1's markers: counted.
    across = [[20, 0, -5, 0]]
    assert counts([[-10, 2, -6, 5]], [2], across, [2]) == (0, 1)
    # Point 1's leader starts inside point 0's marker, which holds point 1: not
    # counted; it crosses nothing else.
    start = [[0.8, 0, 0.8, 10]]
    assert fm_hits(start, MARKERS[0])
    assert counts([[0, 10, 6, 14]], [1], start, [1]) == (0, 0)


def fm_hits(segment, box):
    """Whether the segment passes through the box (so that the test above means it)."""
    return bool(rd.fm.segments_hit_boxes(np.array(segment, float), np.array([box]))[0, 0])
