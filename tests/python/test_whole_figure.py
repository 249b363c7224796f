"""label_points on whole figures: labels keep off everything else the axes draw,
obey priority, and sit at their own points in any coordinates. Every check reads
the drawn figure: text extents from the renderer that drew them, lines from their
paths in display pixels, markers from their sizes."""

import datetime

import matplotlib
import numpy as np
import pytest

matplotlib.use("Agg")

import matplotlib.dates as mdates  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import pandas as pd  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.path import Path  # noqa: E402
from matplotlib.text import Text  # noqa: E402
from matplotlib.transforms import Bbox, blended_transform_factory  # noqa: E402

from quillset_extras.mpl import label_points  # noqa: E402

SLACK = 1.0  # display pixels of rounding allowed at every edge


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def figure():
    return plt.subplots(figsize=(6, 4), dpi=100)


def drawn_boxes(fig, result):
    """The texts' extents after a draw of `fig` (None: as they are)."""
    if fig is not None:
        fig.canvas.draw()
    renderer = result.artist.figure.canvas.get_renderer()
    return [t.get_window_extent(renderer).extents for t in result.texts]


def overlaps(a, b, slack=SLACK):
    """Whether box a[i] and box b[j] share more than `slack` pixels each way."""
    a, b = np.reshape(a, (-1, 1, 4)), np.reshape(b, (1, -1, 4))
    return (np.minimum(a[..., 2:], b[..., 2:]) - np.maximum(a[..., :2], b[..., :2]) > slack).all(-1)


def shrunk(box, slack=SLACK):
    return Bbox.from_extents(*np.add(box, [slack, slack, -slack, -slack]))


def crosses(p, q, box, slack=SLACK):
    """Whether segment p-q passes through the box shrunk by `slack`."""
    return Path([p, q]).intersects_bbox(shrunk(box, slack), filled=False)


def in_display(artist, path=None):
    return artist.get_transform().transform_path(artist.get_path() if path is None else path)


def marker_boxes(artist):
    """Each marker's display box, from its size in points and its edge."""
    if isinstance(artist, Line2D):
        xy = artist.get_transform().transform(artist.get_xydata())
        side = np.full(len(xy), artist.get_markersize() + artist.get_markeredgewidth())
    else:
        xy = artist.get_offset_transform().transform(np.ma.filled(artist.get_offsets(), np.nan))
        side = np.sqrt(np.broadcast_to(artist.get_sizes(), len(xy))) + artist.get_linewidths()[0]
    half = side[:, None] / 2 * artist.figure.dpi / 72
    return np.column_stack([xy - half, xy + half])


def rank_of(count, priority):
    """Each point's place in priority order: larger first, ties in input order."""
    order = np.arange(count) if priority is None else np.argsort(-priority, kind="stable")
    return np.argsort(order)


def forbidden_markers(result, boxes, markers, priority=None):
    """(label, point): a drawn text over the marker of its own point, of a more
    important point or of a point whose label is drawn."""
    rank, shown = rank_of(len(markers), priority), np.array(result.shown, int)
    labelled = np.isin(np.arange(len(markers)), shown)
    may_not = labelled | (rank[None, :] <= rank[shown][:, None])  # own point: equal rank
    return [
        (int(shown[k]), int(j)) for k, j in zip(*np.nonzero(overlaps(boxes, markers) & may_not))
    ]


def text_pairs(boxes):
    return [(int(a), int(b)) for a, b in zip(*np.nonzero(np.tril(overlaps(boxes, boxes), -1)))]


# Everything drawn is an obstacle ------------------------------------------------


# Each scene: points to label and, read after the draw, the boxes and the display
# paths (with the slack each allows, and whether filled) that no label may cover.
def crossing_lines_and_a_fill(ax, renderer):
    t = np.linspace(0, 20, 40)
    lines = [ax.plot(t, 8 + 7 * np.sin(t / 6 + k / 2.5) * np.cos(k))[0] for k in range(16)]
    fill = ax.fill_between([0, 30], [1, 1], [4, 6], alpha=0.3, lw=0)
    ax.set(xlim=(0, 27), ylim=(0, 16))  # room for the labels at the lines' ends
    slack = SLACK - lines[0].get_linewidth() * ax.figure.dpi / 144  # half the stroke

    def forbidden():
        strokes = [(in_display(line), slack, False) for line in lines]
        return [], [*strokes, (in_display(fill, fill.get_paths()[0]), SLACK, True)]

    x, y = np.array([line.get_xydata()[-1] for line in lines]).T
    return x, y, forbidden


def bars_legend_annotation(ax, renderer):
    bars = ax.bar(range(8), [3, 7, 4, 9, 2, 6, 8, 5], width=0.6, label="bars")
    ax.plot([0, 7], [1, 9], label="trend")
    legend = ax.legend(loc="upper left")
    note = ax.annotate("peak here", xy=(3, 9), xytext=(5.2, 10.5), arrowprops={"arrowstyle": "->"})
    ax.text(1, 0.5, "a plain text")
    ax.set_ylim(0, 12)

    def forbidden():  # texts (the annotation too) by their own extent, the arrow by its path
        boxes = [a.get_window_extent(renderer).extents for a in [*bars, legend]]
        boxes += [Text.get_window_extent(t, renderer).extents for t in ax.texts]
        return boxes, [(in_display(note.arrow_patch), SLACK, False)]

    return np.arange(8) + 0.5 * (np.arange(8) % 2), np.array(bars.datavalues) + 0.3, forbidden


def second_call(ax, renderer):
    a, b = np.random.default_rng(3).normal(0, 1, (2, 2, 40))
    ax.scatter(*a)
    ax.scatter(*b, marker="s")
    first = label_points(ax, *a, [f"first {i}" for i in range(40)])
    assert len(first.texts) >= 10
    return *b, lambda: ([t.get_window_extent(renderer).extents for t in first.texts], [])


def twin_and_figure_artists(ax, renderer):
    """Drawn over the axes by others: a twin's line and labels, a figure legend,
    a figure text and a line across the figure."""
    twin = ax.twinx()
    t = np.linspace(0, 10, 60)
    line = twin.plot(t, 50 + 40 * np.sin(t), color="C1", label="twin")[0]
    twin_labels = label_points(
        twin, t[::6], line.get_ydata()[::6], [f"twin {k}" for k in range(10)]
    )
    legend = ax.figure.legend(loc="upper right", bbox_to_anchor=(0.9, 0.88))
    note = ax.figure.text(0.4, 0.45, "a figure note", fontsize=14)
    rule = ax.figure.add_artist(Line2D([0, 1], [0.3, 0.3], transform=ax.figure.transFigure))
    ax.set(xlim=(0, 10), ylim=(0, 10))
    slack = SLACK - line.get_linewidth() * ax.figure.dpi / 144

    def forbidden():
        boxes = [a.get_window_extent(renderer).extents for a in (legend, note)]
        boxes += [t.get_window_extent(renderer).extents for t in twin_labels.texts]
        assert len(twin_labels.texts) >= 5
        return boxes, [(in_display(line), slack, False), (in_display(rule), slack, False)]

    return *np.random.default_rng(5).uniform(0.5, 9.5, (2, 40)), forbidden


SCENES = [crossing_lines_and_a_fill, bars_legend_annotation, second_call, twin_and_figure_artists]


@pytest.mark.parametrize("scene", SCENES)
def test_no_label_covers_lines_bars_legend_texts_annotations_or_earlier_labels(scene):
    fig, ax = figure()
    x, y, forbidden = scene(ax, fig.canvas.get_renderer())
    result = label_points(ax, x, y, [f"label {k}" for k in range(len(x))])
    for draw in (False, True):  # as the call left them, then as drawn
        boxes = drawn_boxes(fig, result) if draw else drawn_boxes(None, result)
        others, paths = forbidden()
        hits = np.argwhere(overlaps(boxes, others)).tolist()
        hits += [(b, k) for b in boxes for k, (path, slack, filled) in enumerate(paths)
                 if path.intersects_bbox(shrunk(b, slack), filled=filled)]  # fmt: skip
        assert len(result.shown) >= 6 and hits == []


@pytest.mark.parametrize(
    "avoid, shown",
    [(None, []), ("", [0, 1, 2]), ("image", [0, 1, 2]), ("bar", [0, 2]), ("bar lines", [])],
)
def test_avoid_makes_obstacles_of_only_the_artists_named_and_images_never(avoid, shown):
    fig, ax = figure()
    image = ax.imshow(np.arange(100.0).reshape(10, 10), extent=(0, 10, 0, 10), aspect="auto")
    # Lines closer than a text's height, everywhere; a bar over the middle point.
    lines = [ax.plot([-1, 11], [y, y], color="k", lw=0.5)[0] for y in np.arange(-0.1, 10.2, 0.25)]
    bar = ax.bar([5], [10], width=2.4, color="w")
    ax.set(xlim=(0, 10), ylim=(0, 10))
    named = {"image": [image], "bar": [bar], "lines": lines}
    chosen = None if avoid is None else [a for k in avoid.split() for a in named[k]]
    result = label_points(ax, [2, 5, 8], [5, 5, 5], ["west", "middle", "east"], avoid=chosen)
    boxes = drawn_boxes(fig, result)
    assert result.shown == shown
    over_bar = overlaps(boxes, bar[0].get_window_extent().extents)[:, 0]
    assert [i for i, over in zip(result.shown, over_bar) if over] == [i for i in shown if i == 1]
    rows = [line.get_transform().transform(line.get_xydata())[0, 1] for line in lines]
    over_lines = [i for i, b in zip(result.shown, boxes) if any(b[1] < r < b[3] for r in rows)]
    assert over_lines == shown  # where lines are no obstacle, every label lies over one


# Priority and markers -----------------------------------------------------------


# Each scene: the points, their priority, label_points' keywords, and (read after
# the draw) the labelled points' markers and the boxes of other artists' markers.
def bubbles(ax):
    rng = np.random.default_rng(7)
    x, y = rng.uniform(0, 10, (2, 60))
    sizes = rng.permutation(np.geomspace(20, 2000, 60))
    own = ax.scatter(x, y, s=sizes, alpha=0.5, edgecolors="k")
    other = ax.scatter([2.5, 7.5], [2.5, 7.5], s=3000, color="grey")
    return x, y, None, {}, lambda: marker_boxes(own), lambda: marker_boxes(other)


def marker_line_cloud(ax):
    rng = np.random.default_rng(11)
    x, y = rng.normal(0, 1, (2, 400))
    priority = rng.uniform(0, 1, 400)
    x[0], y[0], priority[0] = 0.0, 0.0, 2.0  # the most important point, amid the cloud
    (own,) = ax.plot(x, y, "o", ms=5, alpha=0.4)
    (other,) = ax.plot([1.5, -1.5], [1.5, 0.5], "s", ms=25, color="grey")
    return x, y, priority, {}, lambda: marker_boxes(own), lambda: marker_boxes(other)


def undrawn_points(ax):
    x, y = np.random.default_rng(13).uniform(0, 1, (2, 150))
    half = 6 * ax.figure.dpi / 72  # point_radius, in pixels

    def squares():
        xy = ax.transData.transform(np.column_stack([x, y]))
        return np.column_stack([xy - half, xy + half])

    return x, y, None, {"point_radius": 6}, squares, lambda: np.empty((0, 4))


@pytest.mark.parametrize("scene", [bubbles, marker_line_cloud, undrawn_points])
@pytest.mark.parametrize("leaders", [False, True], ids=["beside", "leaders"])
def test_labels_cover_only_markers_of_less_important_unlabelled_points(scene, leaders):
    fig, ax = figure()
    x, y, priority, kwargs, own, others = scene(ax)
    texts = [f"P{i}" for i in range(len(x))]
    result = label_points(ax, x, y, texts, priority=priority, leaders=leaders, **kwargs)
    boxes = drawn_boxes(fig, result)
    markers, obstacles = own(), others()
    assert text_pairs(boxes) == []
    assert forbidden_markers(result, boxes, markers, priority) == []
    assert not overlaps(boxes, obstacles).any()
    # The most important label is drawn, with a halo to read over the cloud.
    top = 0 if priority is None else int(np.argmax(priority))
    assert top in result.shown and len(result.shown) >= 12 and len(result.hidden) >= 5
    assert all(t.get_path_effects() for t in result.texts)
    rank, shown = rank_of(len(x), priority), set(result.shown)
    lines = {i: in_display(line).vertices for i, line in zip(result.leader_labels, result.lines)}
    assert (leaders or not lines) and (lines or not leaders or scene is bubbles)
    faults = []
    for i, (p, q) in lines.items():
        m, d = markers[i] + [-3, -3, 3, 3], q - p  # it may leave its point over anything
        with np.errstate(divide="ignore", invalid="ignore"):
            exit = np.where(d > 0, (m[2:] - p) / d, np.where(d < 0, (m[:2] - p) / d, np.inf))
        start = p + d * np.clip(exit.min(), 0, 1)
        faults += [(i, k) for k, b in zip(result.shown, boxes) if k != i and crosses(p, q, b)]
        path = Path([p, q])
        faults += [(i, k) for k, ln in lines.items() if k < i and path.intersects_path(Path(ln))]
        faults += [(i, "obstacle") for o in obstacles if crosses(start, q, o)]
        before = [j for j in range(len(x)) if j != i and (j in shown or rank[j] < rank[i])]
        faults += [(i, j) for j in before if crosses(p, q, markers[j])]
    assert faults == []


# Sizes and styles ---------------------------------------------------------------

N = 120


# fmt: off
@pytest.mark.parametrize("kwargs, get, expected", [
    ({}, "get_fontsize", lambda i: 10),
    ({"shrink": True}, "get_fontsize", lambda i: {10, 9, 8, 7.5}),
    ({"fontsize": [8 + i % 5 for i in range(N)]}, "get_fontsize", lambda i: 8 + i % 5),
    ({"color": (1, 0, 0), "count": 3}, "get_color", lambda i: (1, 0, 0)),  # as many as texts
    ({"color": ["C0", "C1", "C2"] * (N // 3)}, "get_color", lambda i: f"C{i % 3}"),
    ({"fontweight": ["bold", "light"] * 60}, "get_fontweight", lambda i: ["bold", "light"][i % 2]),
    ({"alpha": [0.3 + i / 200 for i in range(N)]}, "get_alpha", lambda i: 0.3 + i / 200),
], ids="one-size shrink size-each one-colour colour-each weight-each alpha-each".split())
# fmt: on
def test_text_properties_apply_per_label_and_one_size_holds_unless_shrink(kwargs, get, expected):
    fig, ax = figure()
    kwargs = dict(kwargs)
    count = kwargs.pop("count", N)
    x, y = np.random.default_rng(5).uniform(0, 1, (2, count))
    ax.scatter(x, y, s=9)
    result = label_points(ax, x, y, [f"name {i}" for i in range(count)], **kwargs)
    boxes = drawn_boxes(fig, result)  # texts measured as drawn: bold, sizes
    assert len(result.shown) >= min(20, count) and text_pairs(boxes) == []
    found = [(i, getattr(t, get)()) for i, t in zip(result.shown, result.texts)]
    wrong = [(i, v) for i, v in found if v not in (e if isinstance(e := expected(i), set) else [e])]
    assert wrong == []


# Coordinates --------------------------------------------------------------------

WHEN = np.datetime64("2024-01-01") + np.array([0, 40, 95, 180, 250, 330]) * np.timedelta64(1, "D")
Y = [1.0, 2, 3, 4, 5, 6]


def coordinates(kind, ax):
    """The points as a user has them (x, y, texts, keywords), and as numbers with
    the transform that takes them to display pixels (read after the draw)."""
    texts = [f"T{i}" for i in range(6)]
    if kind in ("datetime64", "datetime"):
        when = WHEN if kind == "datetime64" else WHEN.astype("M8[s]").astype(datetime.datetime)
        ax.plot(when, Y, "o")
        return (when, Y, texts, {}), (mdates.date2num(when), Y, ax.transData)
    if kind == "categories":
        ax.set(xlim=(-0.5, 3.5), ylim=(0, 7))
        names = ["apple", "pear", "plum", "pear", "apple", "fig"]
        return (names, Y, texts, {}), ([0, 1, 2, 1, 0, 3], Y, ax.transData)
    if kind == "sorted-series":
        frame = pd.DataFrame({"x": [5.0, 1, 4, 2, 3, 0, 6], "y": [1.0, 5, 2, 4, 3, -1, 0.5]})
        frame["name"] = list("abcdefg")
        part = frame[frame.y > 0].sort_values("x")
        ax.scatter(part.x, part.y)
        at = [list(frame.name).index(n) for n in part.name]  # each name's own row
        return (part.x, part.y, part.name, {}), (frame.x[at], frame.y[at], ax.transData)
    if kind in ("axes-fraction", "blended"):
        ax.set_xlim(0, 100)
        x = [0.1, 0.5, 0.9, 0.3] if kind == "axes-fraction" else [10, 50, 90, 30]
        to = blended_transform_factory(ax.transData if x[0] == 10 else ax.transAxes, ax.transAxes)
        y = [0.2, 0.5, 0.8, 0.7]
        return (x, y, texts[:4], {"transform": to}), (x, y, to)
    if kind == "log-not-finite":
        ax.set_xscale("log", nonpositive="mask")  # no finite place at 0 and below
        ax.set(xlim=(0.5, 200), ylim=(0, 7))
        x = [1, -3, 10, 100, 0.0, 50]
        return (x, Y, texts, {}), (x, Y, ax.transData)
    if kind == "masked":  # plotting draws no point where x or y is masked
        x = np.ma.masked_array([1.0, 2, 3, 4, 5, 6], mask=[0, 1, 0, 0, 0, 0])
        y = np.ma.masked_array(Y, mask=[0, 0, 0, 0, 1, 0])
        ax.plot(x, y, "o")
        return (x, y, texts, {}), (x.filled(np.nan), y.filled(np.nan), ax.transData)
    lon, lat = np.radians([-150, -60, 0, 45, 120, 30]), np.radians([-50, 20, 0, 60, -10, -70])
    ax.plot(lon, lat, "o")
    return (lon, lat, texts, {}), (lon, lat, ax.transData)


KINDS = "datetime64 datetime categories sorted-series masked axes-fraction blended log-not-finite"


@pytest.mark.parametrize("kind", [*KINDS.split(), "aitoff", "lambert"])
def test_each_label_sits_beside_its_own_point_in_any_coordinates(kind):
    fig = plt.figure(figsize=(6, 4), dpi=100)
    ax = fig.add_subplot(projection=kind if kind in ("aitoff", "lambert") else None)
    (x, y, texts, kwargs), (px, py, transform) = coordinates(kind, ax)
    result = label_points(ax, x, y, texts, **kwargs)
    boxes = drawn_boxes(fig, result)
    with np.errstate(all="ignore"):
        where = transform.transform(np.column_stack([px, py]))
    assert result.shown == [i for i, p in enumerate(where) if np.isfinite(p).all()]
    near = 4 * fig.dpi / 72 + 4  # the marker, then the padding and rounding
    for i, t, b in zip(result.shown, result.texts, boxes):
        (x, y), name = where[i], list(texts)[i]
        assert t.get_text() == name
        assert max(b[0] - x, x - b[2], b[1] - y, y - b[3], 0) < near, name


def test_three_d_axes_are_refused_with_a_clear_message():
    ax = plt.figure().add_subplot(projection="3d")
    with pytest.raises(ValueError, match="3-D axes"):
        label_points(ax, [0, 1], [0, 1], ["a", "b"])


# What the frame draws within the axes --------------------------------------------


def _frame_scene(kind):
    """Points filling axes whose frame draws within them: a polar plot's radii
    labels and disc, spines at the data's zero with their tick labels, a title
    set within the axes, tick labels padded inward, a map outline."""
    projection = kind if kind in ("polar", "aitoff") else None
    fig = plt.figure(figsize=(6, 4), dpi=100)
    ax = fig.add_subplot(projection=projection)
    x, y = np.random.default_rng(4).uniform(-1, 1, (2, 150))
    if kind == "polar":
        x, y = (x + 1) * np.pi, np.abs(y)
    elif kind == "aitoff":
        x, y = x * 3, y * 1.4
    ax.scatter(x, y, s=8)
    if kind == "spines":
        ax.spines[["left", "bottom"]].set_position("zero")
        ax.spines[["top", "right"]].set_visible(False)
    if kind == "title":
        ax.set_title("A title within the axes", y=0.45)
    if kind == "ticks-inward":
        ax.tick_params(direction="in", pad=-22)
    return fig, ax, x, y


@pytest.mark.parametrize("kind", ["polar", "spines", "title", "ticks-inward", "aitoff"])
def test_labels_keep_off_tick_labels_titles_and_spines_within_the_axes_and_inside_their_shape(
    kind,
):
    fig, ax, x, y = _frame_scene(kind)
    result = label_points(ax, x, y, [f"P{i}" for i in range(len(x))])
    boxes = np.array(drawn_boxes(fig, result))
    renderer = fig.canvas.get_renderer()
    written = [*ax.xaxis.get_majorticklabels(), *ax.yaxis.get_majorticklabels(), ax.title]
    others = [Text.get_window_extent(t, renderer).extents for t in written if t.get_text()]
    assert len(result.shown) >= 30 and not overlaps(boxes, others).any()
    spines = [s for s in ax.spines.values() if s.get_visible() and kind == "spines"]
    assert not [b for b in boxes for s in spines if in_display(s).intersects_bbox(shrunk(b))]
    shape = in_display(ax.patch)  # the disc, the map's outline, the frame
    inner = boxes + [2 * SLACK, 2 * SLACK, -2 * SLACK, -2 * SLACK]
    assert shape.contains_points(inner[:, [0, 1, 0, 3, 2, 1, 2, 3]].reshape(-1, 2)).all()


def test_a_maps_grid_lets_labels_cross_it_and_colour_meshes_lie_under_them():
    ccrs = pytest.importorskip("cartopy.crs")
    lon, lat = np.random.default_rng(6).uniform((-150, -60), (150, 60), (120, 2)).T
    shown, pixels = [], []
    for grid in (False, True):
        fig = plt.figure(figsize=(8, 4.5), dpi=100)
        ax = fig.add_subplot(projection=ccrs.Robinson())
        ax.set_global()
        if grid:  # a graticule with its labels, and a hexbin over everything
            ax.hexbin(lon, lat, gridsize=12, alpha=0.3, transform=ccrs.PlateCarree())
            lines = ax.gridlines(draw_labels=True)
        fig.canvas.draw()
        before = np.asarray(fig.canvas.buffer_rgba()).copy()
        result = label_points(ax, lon, lat, [f"city {i}" for i in range(120)],
                              transform=ccrs.PlateCarree())  # fmt: skip
        shown.append(len(result.shown))
        if grid:
            boxes = drawn_boxes(fig, result)
            written = [t.get_window_extent(fig.canvas.get_renderer()).extents
                       for t in lines.label_artists if t.get_visible()]  # fmt: skip
            assert len(written) >= 10 and not overlaps(boxes, written).any()
            result.artist.remove()
            fig.canvas.draw()  # placing drew nothing on the figure itself
            pixels.append((before, np.asarray(fig.canvas.buffer_rgba())))
    assert shown[1] >= 0.9 * shown[0] >= 30
    assert np.array_equal(*pixels[0])


def test_land_that_holds_most_points_lies_under_their_labels_as_the_background_does():
    from matplotlib.collections import PatchCollection
    from matplotlib.patches import Polygon

    x, y = np.random.default_rng(3).uniform(1, 9, (2, 150))
    shown = []
    for land in (False, True):
        fig, ax = figure()
        if land:  # three countries over the whole map, their borders white
            corners = [[(0, 0), (5, 0.5), (6, 6), (0.5, 5)], [(5, 0.5), (10, 0), (9.5, 9), (6, 6)]]
            corners.append([(0.5, 5), (6, 6), (9.5, 9), (1, 10)])
            countries = [Polygon(c) for c in corners]
            ax.add_collection(PatchCollection(countries, facecolor="0.9", edgecolor="white"))
        ax.scatter(x, y, s=8, zorder=3)
        ax.set(xlim=(0, 10), ylim=(0, 10))
        shown.append(len(label_points(ax, x, y, [f"Town {i}" for i in range(150)]).shown))
    assert shown[1] >= 0.9 * shown[0] >= 40
