"""The whole-figure counts (bench/figure_metrics.py) on hand-made figures whose answer
is known: the benchmark's verdicts on every labeller rest on them."""

import importlib.util
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("matplotlib")

from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.patches import Circle, FancyArrowPatch  # noqa: E402

_path = Path(__file__).resolve().parents[2] / "bench" / "figure_metrics.py"
_spec = importlib.util.spec_from_file_location("bench_figure_metrics", _path)
assert _spec is not None and _spec.loader is not None
fm = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = fm  # dataclasses look their module up there
_spec.loader.exec_module(fm)


def pixel_axes():
    """A 400 x 300 px axes filling its figure, whose data units are display pixels."""
    fig = Figure(figsize=(4, 3), dpi=100)
    FigureCanvasAgg(fig)
    ax = fig.add_axes((0, 0, 1, 1))
    ax.set_xlim(0, 400)
    ax.set_ylim(0, 300)
    ax.set_axis_off()
    return fig, ax


def label(ax, x, y, s="label", **kw):
    """A text whose box starts at (x, y), its lower left corner, in pixels."""
    return ax.text(x, y, s, fontsize=10, ha="left", va="bottom", **kw)


def box(fig, text):
    return text.get_window_extent(fm.renderer_of(fig)).extents


@pytest.mark.parametrize(
    ("line_y", "crossed"), [(105.0, 1), (130.0, 0), (None, 0)], ids=["through", "above", "none"]
)
def test_a_line_through_a_text_counts(line_y, crossed):
    fig, ax = pixel_axes()
    t = label(ax, 100, 100)
    if line_y is not None:
        ax.plot([0, 400], [line_y, line_y], lw=1)
    nowhere = label(ax, float("nan"), 100)  # drawn nowhere: not a label on the figure
    m = fm.figure_metrics(ax, [t, nowhere])
    assert (m.over_lines, m.texts, m.undrawn, m.text_pairs, m.outside) == (crossed, 1, 1, 0, 0)
    assert m.clear == 1 - crossed


@pytest.mark.parametrize(("area", "over"), [(400.0, 1), (4.0, 0)])
def test_scatter_markers_count_at_their_drawn_size(area, over):
    # A marker centred 6 px left of the text: a 20 pt (27.8 px) square reaches in,
    # a 2 pt (2.8 px) one does not.
    fig, ax = pixel_axes()
    t = label(ax, 100, 100)
    x0, y0, _, y1 = box(fig, t)
    ax.scatter([x0 - 6], [(y0 + y1) / 2], s=area, marker="s", linewidths=0)
    assert fm.figure_metrics(ax, [t]).over_markers == over


def test_line_markers_and_each_obstacle_kind():
    fig, ax = pixel_axes()
    texts = [label(ax, 20 + 90 * k, 150, f"t{k}") for k in range(4)]
    b = [box(fig, t) for t in texts]
    # A marker-only line (no drawn path) under text 0.
    ax.plot([b[0][0] + 3], [b[0][1] + 3], ls="none", marker="o", ms=4)
    ax.bar([(b[1][0] + b[1][2]) / 2], [160], width=4)  # a bar up into text 1
    ax.add_patch(Circle(((b[2][0] + b[2][2]) / 2, 155), 40, fill=True))  # a disc under 2
    ax.add_patch(Circle((300, 40), 200, fill=False, lw=0.5))  # a ring around all: edge only
    ax.annotate("note", xy=(b[3][0] + 2, b[3][1] + 2), xytext=(380, 280), arrowprops={})
    m = fm.figure_metrics(ax, texts)
    assert (m.over_markers, m.over_patches, m.over_texts, m.over_lines) == (1, 2, 1, 0)
    assert m.clear == 0


@pytest.mark.parametrize(("loc", "over"), [("lower left", 1), ("upper right", 0)])
def test_the_legend_counts(loc, over):
    fig, ax = pixel_axes()
    ax.plot([], [], label="a rather long legend entry")
    ax.legend(loc=loc)
    t = label(ax, 15, 15)
    assert fm.figure_metrics(ax, [t]).over_legend == over


def test_touching_texts_and_edges_do_not_overlap():
    fig, ax = pixel_axes()
    a = label(ax, 100, 100)
    x0, y0, x1, y1 = box(fig, a)
    beside = label(ax, x1, y0)  # shares a's right edge
    above = label(ax, x0, y1)  # shares a's top edge
    ax.plot([x0, x1], [y1, y1])  # along a's top edge
    ax.plot([x0 - 20, x0], [y0 - 20, y0])  # ends on a's corner
    m = fm.figure_metrics(ax, [a, beside, above])
    assert (m.text_pairs, m.over_lines, m.outside) == (0, 0, 0)
    over = label(ax, x1 - 0.5, y0 - 1)  # half a pixel into a, and into beside
    assert fm.figure_metrics(ax, [a, beside, above, over]).text_pairs == 2
    assert fm.figure_metrics(ax, [label(ax, 380, 100)]).outside == 1


@pytest.mark.parametrize("owners", [None, [0, 1]], ids=["inferred", "told"])
def test_leaders_crossings_markers_and_ownership(owners):
    fig, ax = pixel_axes()
    ta = label(ax, 300, 250, "A")
    tb = label(ax, 60, 250, "B")
    a = box(fig, ta)
    b = box(fig, tb)
    # Point 0's leader runs to A's corner over points 3 and 2; point 1's runs to B,
    # crossing it, over no other marker.
    p0, corner = np.array([50.0, 50.0]), a[:2]
    pts = np.array([p0, [350, 50], p0 + 0.6 * (corner - p0), p0 + 0.3 * (corner - p0)])
    ax.scatter(pts[:, 0], pts[:, 1], s=64, linewidths=0)
    (la,) = ax.plot([p0[0], corner[0]], [p0[1], corner[1]])
    (lb,) = ax.plot([350, b[2]], [50, b[1]])
    told = {} if owners is None else {"owners": owners}
    m = fm.figure_metrics(
        ax,
        [ta, tb],
        [la, lb],
        shown=[0, 1],
        points=ax.transData.transform(pts),
        priority=[1.0, 2.0, 5.0, 0.5],
        expected=["A", "C", "x", "y"],
        **told,
    )
    assert (m.leaders, m.leader_pairs, m.leader_texts, m.over_lines) == (2, 1, 0, 0)
    longest = max(np.hypot(*(corner - p0)), np.hypot(350 - b[2], 50 - b[1]))
    assert m.longest_leader == pytest.approx(longest, abs=0.01)
    hits = fm.segments_hit_boxes(np.array([[*p0, *corner]]), fm.scatter_boxes(ax.collections[0]))[0]
    assert hits.tolist() == [True, False, True, True]  # its own point's too
    assert m.leader_markers == 1
    # Of the points under it, 2 ranks above the leader's point 0; 3 neither ranks
    # above it nor is labelled.
    assert m.leader_important == 1
    assert (m.top10, m.wrong_texts, m.detached, m.over_important) == (2, 1, 0, 0)


@pytest.mark.parametrize(
    ("priority", "over"), [([1.0, 5.0, 0.5], 1), ([5.0, 1.0, 0.5], 0)], ids=["above", "below"]
)
def test_labels_over_markers_of_more_important_points(priority, over):
    # Point 0's label covers point 1's marker; point 2's label covers nothing.
    fig, ax = pixel_axes()
    t0 = label(ax, 100, 100, "zero")
    t2 = label(ax, 300, 200, "two")
    b = box(fig, t0)
    pts = np.array([[95.0, 95.0], [(b[0] + b[2]) / 2, (b[1] + b[3]) / 2], [295.0, 195.0]])
    ax.scatter(pts[:, 0], pts[:, 1], s=16, linewidths=0)
    m = fm.figure_metrics(
        ax, [t0, t2], shown=[0, 2], points=ax.transData.transform(pts), priority=priority
    )
    assert (m.over_markers, m.over_important) == (1, over)


@pytest.mark.parametrize(
    ("a", "b", "crossing"),
    [
        ((0, 0, 10, 10), (0, 10, 10, 0), True),
        ((0, 0, 10, 10), (10, 10, 20, 0), False),  # shared end
        ((0, 0, 10, 10), (5, 5, 10, 0), False),  # one ends on the other
        ((0, 0, 10, 0), (2, 0, 8, 0), False),  # collinear
    ],
)
def test_segment_crossings(a, b, crossing):
    assert fm.segments_cross(np.array([a], float), np.array([b], float))[0, 0] == crossing


def test_arrow_leaders_are_measured_as_drawn():
    # An arrow leader (as adjustText draws them) on a projection whose transform is
    # not affine: one straight piece as drawn, not the path sent back through it.
    fig = Figure(figsize=(4, 3), dpi=100)
    FigureCanvasAgg(fig)
    ax = fig.add_subplot(projection="lambert")
    arrow = FancyArrowPatch((0.1, 0.2), (0.5, 0.3), arrowstyle="-", shrinkA=0, shrinkB=0)
    ax.add_patch(arrow)
    fm.renderer_of(fig)
    ends = ax.transData.transform([(0.1, 0.2), (0.5, 0.3)])
    m = fm.figure_metrics(ax, [], [arrow])
    assert m.leaders == 1 and len(fm.artist_segments(arrow)) <= 2
    assert m.longest_leader == pytest.approx(np.hypot(*(ends[1] - ends[0])), rel=1e-6)
