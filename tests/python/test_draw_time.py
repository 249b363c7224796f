"""label_points' labels are placed when the figure is drawn: again after any change
of geometry (limits, size, dpi, layout, renderer), never for a draw with nothing
changed, and never once frozen. Each draw is checked as it happens, with the
renderer that draws it (a draw_event), against the figure as then laid out."""

import gc
import io

import matplotlib
import numpy as np
import pytest

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Circle, FancyArrowPatch, FancyBboxPatch  # noqa: E402
from matplotlib.text import Text  # noqa: E402
from test_whole_figure import SLACK, forbidden_markers, marker_boxes, overlaps, text_pairs  # noqa: E402

from quillset_extras.mpl import label_points  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def cloud(count=300, seed=2, **kwargs):
    fig, ax = plt.subplots(figsize=(6, 4), dpi=100)
    rng = np.random.default_rng(seed)
    x, y = rng.normal(0, 1, (2, count))
    priority = rng.uniform(0, 1, count)
    dots = ax.scatter(x, y, s=16)
    result = label_points(ax, x, y, [f"P{i}" for i in range(count)], priority=priority, **kwargs)
    return fig, ax, x, y, priority, dots, result


def watch(fig, ax, dots, priority, result):
    """What each later draw shows, as it draws: the faults found, by kind."""
    seen = []

    def check(event):
        r = event.renderer
        boxes = np.reshape([t.get_window_extent(r).extents for t in result.texts], (-1, 4))
        frame = ax.get_window_extent(r).extents
        others = [Text.get_window_extent(t, r).extents for t in ax.texts]  # and the legend
        others += [a.get_window_extent(r).extents for a in [ax.get_legend()] if a is not None]
        out = (boxes[:, :2] < frame[:2] - SLACK) | (boxes[:, 2:] > frame[2:] + SLACK)
        seen.append({
            "dpi": fig.dpi,
            "shown": len(result.shown),
            "lists": [t.get_text() for t in result.texts] != [f"P{i}" for i in result.shown]
            or sorted(result.shown + result.hidden) != list(range(len(priority))),
            "overlaps": text_pairs(boxes),
            "outside": np.flatnonzero(out.any(axis=1)).tolist(),
            "obstacles": np.argwhere(overlaps(boxes, others)).tolist(),
            "markers": forbidden_markers(result, boxes, marker_boxes(dots), priority),
        })  # fmt: skip

    fig.canvas.mpl_connect("draw_event", check)
    return seen


def drawn(change):
    return lambda fig, ax: (change(fig, ax), fig.canvas.draw())


def saved(**kwargs):
    return lambda fig, ax: fig.savefig(io.BytesIO(), **kwargs)


CHANGES = {
    "zoom-in": drawn(lambda fig, ax: ax.set(xlim=(-1, 1), ylim=(-1, 1))),
    "zoom-out": drawn(lambda fig, ax: ax.set(xlim=(-8, 8), ylim=(-6, 6))),
    "figure-size": drawn(lambda fig, ax: fig.set_size_inches(4, 5)),
    "dpi": drawn(lambda fig, ax: fig.set_dpi(163)),
    "axes-position": drawn(lambda fig, ax: ax.set_position([0.3, 0.2, 0.5, 0.5])),
    "constrained": drawn(lambda fig, ax: fig.set_layout_engine("constrained")),
    "new-artists": drawn(
        lambda fig, ax: (ax.legend(["dots"], fontsize=20), ax.text(-1, 0, "text"))
    ),
    "png-dpi": saved(format="png", dpi=220),
    "tight": saved(format="png", bbox_inches="tight"),
    "pdf": saved(format="pdf"),
    "svg": saved(format="svg"),
}


@pytest.mark.parametrize("change", CHANGES)
def test_after_any_change_the_labels_are_placed_again_and_every_draw_reads(change):
    fig, ax, x, y, priority, dots, result = cloud()
    fig.canvas.draw()
    before = result.artist.placements
    seen = watch(fig, ax, dots, priority, result)
    CHANGES[change](fig, ax)
    assert result.artist.placements > before
    assert seen and all(s["shown"] >= 10 for s in seen)  # a tight save draws twice
    faults = [{k: v for k, v in s.items() if k not in ("dpi", "shown") and v} for s in seen]
    assert faults == [{}] * len(seen)
    if change in ("png-dpi", "pdf", "svg"):  # drawn at the file's dpi, vector files at 72
        assert seen[0]["dpi"] == {"png-dpi": 220, "pdf": 72, "svg": 72}[change]


# Not "tight": its save lays the figure out untight, then draws it cropped, each
# another geometry.
@pytest.mark.parametrize(
    "change",
    [
        *(c for c in CHANGES if c not in ("tight", "new-artists")),
    ],
)  # fmt: skip
def test_drawing_again_with_nothing_changed_places_nothing(change):
    fig, ax, x, y, priority, dots, result = cloud(count=60)
    CHANGES[change](fig, ax)
    placed = result.artist.placements
    for _ in range(3):
        CHANGES[change](fig, ax)
    assert result.artist.placements == placed


def crossed(fig, line, texts):
    """Whether the straight line passes through one of the texts."""
    r = fig.canvas.get_renderer()
    ends = line.get_transform().transform(line.get_xydata())
    along = ends[0] + np.linspace(0, 1, 500)[:, None] * (ends[1] - ends[0])
    boxes = np.reshape([t.get_window_extent(r).extents for t in texts], (-1, 4))
    inside = (along[:, None, :] > boxes[None, :, :2]) & (along[:, None, :] < boxes[None, :, 2:])
    return bool(inside.all(axis=2).any())


def test_artists_that_draw_themselves_anew_place_the_labels_once():
    # Arrows, contours, stream lines, fancy boxes, a titled, constrained figure
    # with a legend at its best place: made anew or moved at every draw, with
    # nothing the user changed.
    fig, ax, x, y, priority, dots, result = cloud(count=80)
    g = np.linspace(-2, 2, 12)
    gx, gy = np.meshgrid(g, g)
    ax.quiver([-1, 0, 1], [1, 1, 1], [1, 0, -1], [0, 1, 0])
    ax.barbs([-1.5], [-0.5], [10], [5])
    ax.pcolormesh(g[:4], g[-4:], gx[:3, :3], alpha=0.2)
    ax.hexbin(x[:20], y[:20], gridsize=4, alpha=0.2)
    ax.contour(gx, gy, gx**2 - gy, levels=3)
    ax.streamplot(g, g, -gy, gx, density=0.3)
    ax.annotate("peak", (0.5, 0.5), xytext=(1, 1.5), arrowprops={"arrowstyle": "->"})
    ax.add_patch(FancyBboxPatch((-1.8, -1.8), 0.5, 0.3, boxstyle="round,pad=0.1"))
    ax.add_patch(FancyArrowPatch((-1, -1), (0, -1.5), arrowstyle="->", mutation_scale=15))
    ax.plot([-2, 2], [-1, 1], label="line")
    ax.set_title("A title")
    ax.legend(loc="best")
    fig.set_layout_engine("constrained")
    fig.canvas.draw()  # places again: all that came after the call
    placed = result.artist.placements
    for _ in range(3):
        fig.canvas.draw()
    fig.savefig(io.BytesIO(), format="png")
    assert result.artist.placements == placed


MOVES = {
    "line data": lambda ax: ax.lines[0].set_ydata([2.0, -2.0]),
    "line shown": lambda ax: ax.lines[0].set_visible(True),
    "text moved": lambda ax: ax.texts[0].set_position((-0.6, 0.1)),
    "bar taller": lambda ax: ax.patches[0].set_height(1.8),
    "dots moved": lambda ax: ax.collections[1].set_offsets([[0.4, -0.3]]),
    "spine at zero": lambda ax: ax.spines.left.set_position("zero"),
    "circle moved": lambda ax: ax.patches[1].set_center((0.3, 0.2)),
    "segments moved": lambda ax: ax.collections[2].set_segments([[(0.1, -1.0), (0.1, 1.0)]]),
}


@pytest.mark.parametrize("move", MOVES)
def test_an_artist_changed_after_the_call_places_the_labels_again_once(move):
    fig, ax, x, y, priority, dots, result = cloud()
    ax.plot([-3, 3], [-2, 2], "k-", visible=move != "line shown")
    ax.text(-2.8, 1.9, "A note", fontsize=14)
    ax.bar([2.2], [0.3], width=0.6, bottom=-2.4)
    ax.scatter([-2.5], [-1.8], s=900)
    ax.add_patch(Circle((2.4, 1.8), 0.2))
    ax.vlines([2.6], -2.4, -2.1)
    fig.canvas.draw()
    placed = result.artist.placements
    MOVES[move](ax)
    fig.canvas.draw()
    assert result.artist.placements == placed + 1
    r = fig.canvas.get_renderer()
    boxes = np.reshape([t.get_window_extent(r).extents for t in result.texts], (-1, 4))
    others = [
        a.get_window_extent(r).extents for a in (ax.texts[0], *ax.patches, *ax.collections[1:])
    ]
    assert not crossed(fig, ax.lines[0], result.texts) and not overlaps(boxes, others).any()
    spine = ax.spines.left  # upright, across the whole frame
    at = spine.get_transform().transform(spine.get_path().vertices)[0, 0]
    assert not ((boxes[:, 0] < at) & (boxes[:, 2] > at)).any()
    fig.canvas.draw()
    assert result.artist.placements == placed + 1


def test_a_line_put_where_a_removed_one_was_places_the_labels_again():
    # The new line mostly gets the memory, and so the id, of one just removed.
    fig, ax, x, y, priority, dots, result = cloud()
    ax.plot([-3, 3], [-2, 2], "k-")
    fig.canvas.draw()
    for end in (2.0, -2.0, 2.0):
        ax.lines[0].remove()
        gc.collect()
        ax.plot([-3, 3], [end, -end], "k-")
        fig.canvas.draw()
        assert not crossed(fig, ax.lines[0], result.texts), end


def test_zooming_in_shows_more_labels_by_priority_and_none_outside_the_view():
    fig, ax, x, y, priority, dots, result = cloud(count=800, seed=4)
    fig.canvas.draw()
    limits, wide = (ax.get_xlim(), ax.get_ylim()), list(result.shown)
    rank = np.argsort(np.argsort(-priority))  # 0 for the most important point
    ax.set(xlim=(-0.8, 0.6), ylim=(-0.5, 0.7))
    fig.canvas.draw()
    inside = np.flatnonzero((abs(x + 0.1) < 0.7) & (abs(y - 0.1) < 0.6))
    shown = set(result.shown)
    assert shown <= set(inside) and len(shown) >= len(wide)
    assert inside[np.argmin(rank[inside])] in shown  # the most important in view
    visible_hidden = [i for i in inside if i not in shown]
    assert np.mean(rank[list(shown)]) < np.mean(rank[visible_hidden])
    ax.set(xlim=limits[0], ylim=limits[1])  # back out: the same labels as at first
    fig.canvas.draw()
    assert result.shown == wide and len(result.hidden) == len(x) - len(wide)
    ax.set(xlim=(-30, 30), ylim=(-20, 20))  # farther out: fewer
    fig.canvas.draw()
    assert len(result.shown) < len(wide)


@pytest.mark.parametrize("how", ["argument", "method"])
def test_frozen_labels_follow_their_points_and_are_not_placed_again(how):
    fig, ax, x, y, priority, dots, result = cloud(leaders=True, freeze=how == "argument")
    if how == "method":
        result.freeze()
    renderer = fig.canvas.get_renderer()

    def offsets():
        fig.canvas.draw()
        shown = np.array(result.shown)
        points = ax.transData.transform(np.column_stack([x[shown], y[shown]]))
        texts = [t.get_window_extent(renderer).p0 for t in result.texts]
        lead = ax.transData.transform(np.column_stack([x, y])[result.leader_labels])
        lines = [line.get_transform().transform(line.get_xydata()) for line in result.lines]
        return np.array(texts) - points, np.array(lines) - lead[:, None, :]

    placed, shown = result.artist.placements, list(result.shown)
    texts, lines = offsets()
    ax.set(xlim=(-1.5, 1.5), ylim=(-1, 1.2))
    moved_texts, moved_lines = offsets()
    assert result.artist.placements == placed and result.shown == shown and len(lines) >= 1
    assert np.abs(moved_texts - texts).max() < 0.01 and np.abs(moved_lines - lines).max() < 0.01
    assert all(t in ax.texts for t in result.texts) and all(ln in ax.lines for ln in result.lines)


def test_a_zoom_with_the_toolbar_of_the_web_canvas_places_again_at_its_next_draw():
    # The canvas that notebook widgets build on: the browser's mouse events zoom
    # with the toolbar, then its request for a frame draws the figure.
    from matplotlib.backends.backend_webagg_core import (
        FigureCanvasWebAggCore,
        FigureManagerWebAgg,
        NavigationToolbar2WebAgg,
    )

    fig, ax = plt.subplots(figsize=(6, 4), dpi=100)
    canvas = FigureCanvasWebAggCore(fig)
    manager = FigureManagerWebAgg(canvas, 1)
    toolbar = manager.toolbar or NavigationToolbar2WebAgg(canvas)
    rng = np.random.default_rng(2)
    x, y = rng.normal(0, 1, (2, 300))
    priority = rng.uniform(0, 1, 300)
    dots = ax.scatter(x, y, s=16)
    result = label_points(ax, x, y, [f"P{i}" for i in range(300)], priority=priority)
    canvas.handle_event({"type": "draw"})
    before, wide = result.artist.placements, len(result.shown)
    seen = watch(fig, ax, dots, priority, result)
    toolbar.zoom()
    mouse = {"button": 0, "buttons": 1, "modifiers": [], "guiEvent": None}
    for kind, px, py in [("button_press", 200, 150), ("motion_notify", 300, 250),
                         ("button_release", 400, 300)]:  # fmt: skip
        canvas.handle_event({"type": kind, "x": px, "y": py, **mouse})
    canvas.handle_event({"type": "draw"})
    assert ax.get_xlim()[1] - ax.get_xlim()[0] < 3  # zoomed in
    assert result.artist.placements == before + 1 and len(result.shown) > wide
    assert [{k: v for k, v in s.items() if k not in ("dpi", "shown") and v} for s in seen] == [{}]


@pytest.mark.parametrize("style", [{}, {"color": "C3", "fontweight": "bold", "alpha": 0.5}])
def test_each_label_is_a_text_of_its_own_drawn_as_a_new_one_would_be(style):
    fig, ax, x, y, priority, dots, result = cloud(count=60, fontsize=9, **style)
    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()
    first, second = result.texts[0], result.texts[1]
    # What a user changes on one label changes no other.
    fired = []
    first.add_callback(fired.append)
    first.set_alpha(0.9)
    second.set_alpha(0.8)
    first.set_fontsize(20)
    assert fired == [first]
    assert second.get_fontsize() == 9 and result.texts[2].get_fontsize() == 9
    for text in result.texts[2:]:
        fresh = ax.text(*text.get_position(), text.get_text(), transform=text.get_transform(),
                        fontproperties=text.get_fontproperties(), ha="left", va="top",
                        parse_math=False, **style)  # fmt: skip
        assert fresh.get_window_extent(renderer).bounds == text.get_window_extent(renderer).bounds
        assert fresh.get_color() == text.get_color() and fresh.get_alpha() == text.get_alpha()
        fresh.remove()


@pytest.mark.parametrize("fmt", ["pdf", "svg"])
def test_a_vector_file_of_a_72_dpi_figure_is_measured_as_it_draws_text(fmt):
    # At 72 dpi the screen (Agg) and a vector file share a dpi: the file's
    # placement took the screen's hinted widths, up to 2.5 px narrower than
    # the file's text, past the axes and over dots.
    faults = []
    for seed in range(4):
        fig, ax = plt.subplots(figsize=(6, 4), dpi=72)
        rng = np.random.default_rng(seed)
        x, y = rng.normal(0, 1, (2, 250))
        priority = rng.uniform(0, 1, 250)
        dots = ax.scatter(x, y, s=16)
        texts = [f"Name number {i}" if i % 5 == 0 else f"P{i}" for i in range(250)]
        result = label_points(ax, x, y, texts, priority=priority)
        fig.canvas.draw()
        seen = watch(fig, ax, dots, priority, result)
        ax.set(xlim=(-2.5, 2.5))
        fig.savefig(io.BytesIO(), format=fmt)
        faults += [
            {k: v for k, v in s.items() if k not in ("dpi", "shown", "lists") and v} for s in seen
        ]
        plt.close(fig)
    assert faults == [{}] * 4
