"""Obstacles of an Axes in its canvas: the mask holds what the figure itself
paints, markers and bars are boxes at their drawn size, backgrounds are nothing,
and the labelled points' own markers are found and left out."""

import datetime

import matplotlib
import numpy as np
import pytest

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.text import Text  # noqa: E402
from matplotlib.transforms import IdentityTransform  # noqa: E402

from quillset_extras.mpl_obstacles import Obstacles, gather_obstacles, point_markers  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def drawn(fig):
    fig.canvas.draw()
    return fig.canvas.get_renderer()


def canvas_box(ax, renderer, bbox):
    frame = ax.get_window_extent(renderer)
    return (bbox.x0 - frame.x0, frame.y1 - bbox.y1, bbox.x1 - frame.x0, frame.y1 - bbox.y0)


def painted_by_figure(fig, ax):
    """The canvas pixels over any pixel that the figure's own draw painted."""
    renderer = drawn(fig)
    alpha = np.asarray(fig.canvas.buffer_rgba())[:, :, 3] > 0
    frame = ax.get_window_extent(renderer)
    out = np.zeros((int(frame.height), int(frame.width)), dtype=bool)
    for cy in range(out.shape[0]):
        top = alpha.shape[0] - frame.y1 + cy
        for cx in range(out.shape[1]):
            left = frame.x0 + cx
            block = alpha[
                max(int(np.floor(top)), 0) : int(np.ceil(top + 1)),
                max(int(np.floor(left)), 0) : int(np.ceil(left + 1)),
            ]
            out[cy, cx] = block.any()
    return out


def log_dashed():
    fig, ax = plt.subplots(figsize=(2, 1.5), dpi=50)
    ax.set_yscale("log")
    ax.plot([1, 2, 3], [1, 100, 10], "--", lw=2)
    return fig, ax


def inverted_steps():
    fig, ax = plt.subplots(figsize=(2, 1.5), dpi=50)
    ax.plot([1, 2, 3], [1, 3, 2], drawstyle="steps")
    ax.invert_xaxis()
    return fig, ax


def polar_spiral():
    fig = plt.figure(figsize=(2, 2), dpi=50)
    ax = fig.add_subplot(projection="polar")
    ax.plot(np.linspace(0, 6, 50), np.linspace(0, 1, 50))
    return fig, ax


def dates_in_a_subfigure():
    # An odd dpi puts the frame's corners between pixels.
    fig = plt.figure(figsize=(3, 2), dpi=47, layout="constrained")
    sub = fig.subfigures(1, 2)[1]
    sub.patch.set_visible(False)
    ax = sub.subplots()
    days = [datetime.date(2020, 1, 1), datetime.date(2020, 2, 1), datetime.date(2020, 3, 1)]
    ax.plot(days, [0, 1, 0.5])
    ax.fill_between(days[:2], [0, 0.4], alpha=0.3)
    ax.vlines(days[1], 0, 1, linestyles="dotted")
    return fig, ax


@pytest.mark.parametrize("make", [log_dashed, inverted_steps, polar_spiral, dates_in_a_subfigure])
def test_the_mask_is_what_the_figure_paints_and_nothing_else(make):
    fig, ax = make()
    ax.axis("off")
    ax.patch.set_visible(False)
    fig.patch.set_visible(False)
    expected = painted_by_figure(fig, ax)
    obstacles = gather_obstacles(ax, fig.canvas.get_renderer())
    assert obstacles.mask.shape == (obstacles.height, obstacles.width) == expected.shape
    assert np.array_equal(obstacles.mask, expected)
    assert 0 < obstacles.mask.mean() < 0.35  # along the path, not its bounding box
    assert obstacles.boxes == []
    assert not fig.stale and not ax.stale  # drawing it again left the figure as drawn


def test_markers_are_boxes_at_their_drawn_size_and_lines_without_stroke_paint_nothing():
    fig, ax = plt.subplots(dpi=144)
    ax.set_xscale("log")
    ax.scatter([1, 100], [0.5, 0.5], s=[4, 400], linewidths=0.5)
    ax.plot([10], [0.5], "s", ls="None", ms=6, mew=1)
    renderer = drawn(fig)
    obstacles = gather_obstacles(ax, renderer)
    assert not obstacles.mask.any()
    px = 144 / 72
    sides = [(r - l, b - t) for l, t, r, b in obstacles.boxes]
    # Sizes are areas in points squared; half the edge width on each side.
    expected = [(2.5 * px, 2.5 * px), (20.5 * px, 20.5 * px), (7 * px, 7 * px)]
    assert np.array(sides) == pytest.approx(np.array(expected))
    centres = [((l + r) / 2, (t + b) / 2) for l, t, r, b in obstacles.boxes]
    frame = ax.get_window_extent(renderer)
    display = ax.transData.transform([(1, 0.5), (100, 0.5), (10, 0.5)])
    expected = [(x - frame.x0, frame.y1 - y) for x, y in display]
    assert np.array(centres) == pytest.approx(np.array(expected))


def test_a_hundred_thousand_points_are_a_box_each():
    rng = np.random.default_rng(3)
    fig, ax = plt.subplots()
    ax.scatter(rng.random(100_000), rng.random(100_000), s=4)
    ax.set_xlim(-0.1, 1.1)
    obstacles = gather_obstacles(ax, drawn(fig))
    assert len(obstacles.boxes) == 100_000
    assert all(0 <= l < r <= obstacles.width for l, _, r, _ in obstacles.boxes[::1000])


def bars_legend_note():
    fig, ax = plt.subplots()
    bars = ax.bar([1, 2, 3], [3, 1, 2], label="bars", edgecolor="k", linewidth=2)
    ax.set_yscale("log")
    ax.set_ylim(0.5, 6)
    legend = ax.legend(loc="upper left")
    note = ax.annotate("note", (1, 3), xytext=(2.5, 5), arrowprops={"arrowstyle": "->"})
    ax.set_title("a title")
    ax.imshow(np.ones((3, 3)), extent=(0, 4, 0, 6), alpha=0.2)
    ax.pcolormesh([0, 4], [0, 6], [[1.0]], alpha=0.1)
    ax.contourf([0, 4], [0, 6], [[0.0, 1.0], [1.0, 2.0]], alpha=0.1)
    ax.set_aspect("auto")
    # Drawn once, then its point leaves the axes: matplotlib draws it no more.
    ax.annotate("hidden", (3.3, 2), xytext=(2, 2), arrowprops={})
    fig.canvas.draw()
    ax.set_xlim(0, 3.2)
    return fig, ax, bars, legend, note


def test_bars_legend_and_annotation_give_their_boxes_and_the_arrow_paints():
    fig, ax, bars, legend, note = bars_legend_note()
    renderer = drawn(fig)
    obstacles = gather_obstacles(ax, renderer)
    text = Text.get_window_extent(note, renderer)  # without the arrow
    edged = [b.get_window_extent(renderer).padded(fig.dpi / 72) for b in bars]  # 1 pt each side
    extents = [*edged, legend.get_window_extent(), text]
    size = [obstacles.width, obstacles.height] * 2
    expected = [tuple(np.minimum(canvas_box(ax, renderer, e), size)) for e in extents]
    assert np.array(sorted(obstacles.boxes)) == pytest.approx(np.array(sorted(expected)))
    # The arrow: between the text and the point, nowhere else.
    ys, xs = np.nonzero(obstacles.mask)
    l, t, r, b = canvas_box(ax, renderer, text)
    frame = ax.get_window_extent(renderer)
    px, py = ax.transData.transform((1, 3)) - (frame.x0, 0)
    py = frame.y1 - py
    assert len(xs) > 20
    assert xs.min() >= px - 3 and xs.max() <= r and ys.min() >= b - 3 and ys.max() <= py + 3


def test_exclude_avoid_and_backgrounds():
    fig, ax, bars, legend, note = bars_legend_note()
    renderer = drawn(fig)
    left = gather_obstacles(ax, renderer, exclude=[note, legend])
    assert len(left.boxes) == 3 and not left.mask.any()
    only = gather_obstacles(ax, renderer, avoid=[bars])
    assert only.boxes == left.boxes and not only.mask.any()
    nothing = gather_obstacles(ax, renderer, avoid=())
    assert nothing.boxes == [] and not nothing.mask.any()
    backgrounds = gather_obstacles(ax, renderer, avoid=[*ax.images, *ax.collections])
    assert backgrounds.boxes == [] and not backgrounds.mask.any()


def test_point_markers_finds_the_points_own_markers_and_leaves_the_rest_obstacles():
    fig, ax = plt.subplots(dpi=72)
    line = ax.plot([0, 1, 2], [0, 1, 0], "o-", ms=10, mew=2)[0]
    dots = ax.scatter([3, 4, 5], [1, 1, 1], s=[16, 64, 144], linewidths=0)
    renderer = drawn(fig)
    # Any order, a subset, one point a third of a pixel off its marker, one not drawn.
    off = ax.transData.inverted().transform(ax.transData.transform((5, 1)) + 0.3)
    x, y = [4, 0, off[0], 9], [1, 0, off[1], 9]
    found = point_markers(ax, renderer, x, y, ax.transData)
    assert found.artists == [line, dots]
    assert found.half_width[:3] == pytest.approx([4, 6, 6])
    assert found.half_height[:3] == pytest.approx([4, 6, 6])
    assert np.isnan(found.half_width[3]) and np.isnan(found.half_height[3])
    assert [m.tolist() for m in found.labelled] == [[True, False, False], [False, True, True]]
    assert point_markers(ax, renderer, [9], [9], ax.transData) is None
    each = point_markers(ax, renderer, [3, 4, 5], [1, 1, 1], ax.transData)  # all, in order
    assert each.artists == [dots] and each.half_width == pytest.approx([2, 4, 6])

    every = gather_obstacles(ax, renderer)
    rest = gather_obstacles(ax, renderer, markers=found)
    assert len(every.boxes) == 6 and len(rest.boxes) == 3
    assert set(rest.boxes) < set(every.boxes)
    assert np.array_equal(rest.mask, every.mask) and rest.mask.any()  # the stroke stays


def test_few_points_among_many_markers_are_found_exactly_or_within_half_a_pixel():
    rng = np.random.default_rng(5)
    fig, ax = plt.subplots()
    crowd = ax.scatter(rng.random(5000), rng.random(5000), s=25, linewidths=0)
    renderer = drawn(fig)
    display = crowd.get_offset_transform().transform(crowd.get_offsets()[[7, 4000, 12]])
    display[1] += (0.3, -0.3)
    display = np.vstack([display, [-50.0, -50.0]])
    found = point_markers(ax, renderer, *display.T, IdentityTransform())
    assert found.artists == [crowd]
    assert np.flatnonzero(found.labelled[0]).tolist() == [7, 12, 4000]
    assert found.half_width[:3] == pytest.approx([2.5 * fig.dpi / 72] * 3)
    assert np.isnan(found.half_width[3])


@pytest.mark.parametrize("block", [1, 4, 7])
def test_engine_boxes_cover_the_mask_and_hold_painted_pixels(block):
    rng = np.random.default_rng(block)
    mask = np.zeros((45, 61), dtype=bool)
    mask[20, 3:58] = True  # a horizontal line
    mask[rng.integers(0, 45, 30), rng.integers(0, 61, 30)] = True
    marker = (1.0, 2.0, 3.0, 4.0)
    boxes = Obstacles(61, 45, [marker], mask).engine_boxes(block)
    assert boxes[0] == marker and boxes == Obstacles(61, 45, [marker], mask).engine_boxes(block)
    covered = np.zeros_like(mask)
    for l, t, r, b in boxes[1:]:
        assert 0 <= l < r <= 61 and 0 <= t < b <= 45
        assert l % block == 0 and t % block == 0
        assert mask[int(t) : int(b), int(l) : int(r)].any()
        covered[int(t) : int(b), int(l) : int(r)] = True
    assert not (mask & ~covered).any()


def test_a_horizontal_line_is_a_few_long_boxes():
    fig, ax = plt.subplots()
    ax.axhline(0.5)
    obstacles = gather_obstacles(ax, drawn(fig))
    boxes = obstacles.engine_boxes(8)
    assert 1 <= len(boxes) <= 2
    assert all(r - l >= obstacles.width - 8 for l, _, r, _ in boxes)


@pytest.mark.parametrize(
    "draw, background",
    [
        (lambda ax, v: ax.hexbin(v[0], v[1], gridsize=6), True),
        (lambda ax, v: ax.pcolor(np.outer(v[0], v[1])), True),
        (lambda ax, v: ax.quiver(v[0], v[1], v[1], v[0], np.hypot(*v)), False),
        (lambda ax, v: ax.fill_between(v[0], v[1], 0), False),
    ],
    ids=["hexbin", "pcolor", "coloured-arrows", "fill"],
)
def test_areas_coloured_through_a_colormap_are_backgrounds_and_arrows_are_not(draw, background):
    fig, ax = plt.subplots(figsize=(3, 2), dpi=50)
    draw(ax, np.random.default_rng(1).uniform(0, 5, (2, 8)))
    obstacles = gather_obstacles(ax, drawn(fig))
    assert obstacles.mask.any() != background
