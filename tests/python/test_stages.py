"""The readable-label stages one at a time, on small scenes whose answer is known:
the scene, room beside the points, the engine adapter, the leader search and the
matplotlib style arguments."""

import math
from types import SimpleNamespace

import matplotlib
import numpy as np
import pytest

matplotlib.use("Agg")

import quillset  # noqa: E402
from quillset_extras import Memoized, fixed_advance  # noqa: E402
from quillset_extras.choose import Rules  # noqa: E402
from quillset_extras.engine_round import CONFIG_FIELDS, ObjectBoxes, config_copy  # noqa: E402
from quillset_extras.geometry import (  # noqa: E402
    Box,
    BoxIndex,
    LineIndex,
    crosses,
    leader_line,
    overlaps,
)
from quillset_extras.grids import Coverage, crossing_pairs  # noqa: E402
from quillset_extras.leaders import LeaderSearch, Rings, RoomSearch  # noqa: E402
from quillset_extras.mpl_style import text_style  # noqa: E402
from quillset_extras.quality import object_box  # noqa: E402
from quillset_extras.readable import place_all, place_readable, with_room  # noqa: E402
from quillset_extras.scene import FAR, Drawn, Scene, far_points  # noqa: E402


def scene_of(points, texts=None, width=300, height=200, order=None, **kwargs):
    texts = texts or [f"p{i}" for i in range(len(points))]
    points = far_points(points)
    return Scene(
        width,
        height,
        points,
        texts,
        Memoized(fixed_advance()),
        [12] * len(points),
        [(x - 2.0, y - 2.0, x + 2.0, y + 2.0) for x, y in points],
        quillset.LayoutConfig(),
        list(range(len(points))) if order is None else order,
        **kwargs,
    )


def test_scene_moves_far_points_off_and_keeps_the_rest():
    scene = scene_of([(10, 10), (math.nan, 5), (1e12, 3), (400, 50)])
    assert scene.points[1] == scene.points[2] == (-FAR, -FAR)
    assert scene.on_canvas == [True, False, False, False]
    assert scene.markers[0] == (8.0, 8.0, 12.0, 12.0)
    assert scene.hide_config.costOccludeObj > scene.config.costOccludeObj


def test_config_copy_copies_every_field_and_then_the_changes():
    given = quillset.LayoutConfig()
    for k, name in enumerate(CONFIG_FIELDS):
        setattr(given, name, type(getattr(given, name))(k + 3))
    copy = config_copy(given, maxIterations=99)
    assert len(CONFIG_FIELDS) == 13
    assert [getattr(copy, n) for n in CONFIG_FIELDS if n != "maxIterations"] == [
        getattr(given, n) for n in CONFIG_FIELDS if n != "maxIterations"
    ]
    assert copy.maxIterations == 99 and given.maxIterations != 99


def test_room_beside_a_point_is_claimed_by_the_first_label_only():
    # Five labels on one point, taken in order: the first three claim the rooms
    # above, right and left of it; the room below meets the one on the right.
    scene = scene_of([(100, 100)] * 5)
    order = [4, 2, 0, 1, 3]
    rooms = list(zip(order, scene.room_array(order), strict=True))
    assert with_room(scene, Drawn.empty(scene), rooms) == [4, 2, 0]
    # A label whose smallest room is off the canvas on every side finds none.
    narrow = scene_of([(5, 5)], ["a long name"], width=20, height=10)
    assert with_room(narrow, Drawn.empty(narrow), [(0, narrow.room_array([0])[0])]) == []


def test_room_array_holds_each_labels_rooms_to_the_bit():
    scene = scene_of(
        [(10.3, 10.7), (100.5, 50.25), (7e8, 2.5), (200, 150)], ["ab", "hello", "x", ""]
    )
    rooms = [scene.rooms(i, scene.objects[i]) for i in range(4)]
    assert scene.room_array([0, 1, 2, 3]).tolist() == [[list(r) for r in four] for four in rooms]


def test_allow_places_every_label_on_the_canvas_as_one_engine_would():
    points = [(50, 50), (52, 52), (250, 150)]
    scene = scene_of(points)
    drawn = place_all(scene, tuned=False)
    engine = quillset.Quillset(300, 200, fixed_advance())
    for (x, y), text in zip(points, scene.texts):
        engine.add(x - 2, y - 2, x + 2, y + 2, text, 12)
    engine.solve()
    assert drawn.shown == {0, 1, 2}
    assert [repr(r) for r in drawn.results] == [repr(r) for r in engine.layout()]


def test_rings_look_up_first_then_outward_and_away_from_the_point():
    rings = Rings.about(reach=40.0, line_height=10.0)
    assert (rings.ux[0], rings.uy[0], rings.distance[0], rings.side[0]) == (0.0, -1.0, 10.0, 0)
    assert all(rings.distance[1:] >= rings.distance[:-1]) and rings.distance.max() == 40.0
    # Side 0 is above the anchor, 1 right, 2 below, 3 left: each faces away.
    facing = {0: rings.uy < 0, 1: rings.ux > 0, 2: rings.uy > 0, 3: rings.ux < 0}
    assert all(facing[int(s)][k] for k, s in enumerate(rings.side))


def test_room_search_avoids_drawn_text_and_tried_rooms():
    scene = scene_of([(150, 100), (150, 88)])
    drawn = Drawn.empty(scene)
    drawn.boxes[1] = wall = (120.0, 60.0, 180.0, 96.0)  # a drawn text right above point 0
    drawn.show(1, scene.markers[1])
    search = LeaderSearch(scene, 40.0)
    taken, since = search.taken(drawn, 0), BoxIndex[Box](scene.cell)
    longest = np.array([search.longest(0)])

    def find(tried: set[int]) -> Box | None:
        room = RoomSearch(scene, drawn, Rules(scene, drawn), taken, since)
        rooms = room.candidates([0], search.rings, longest)[0]
        found = room.find(0, rooms, tried)
        if found is not None:
            claim = next(iter(room.claims.near((0, 0, 300, 200))))
            assert not overlaps(claim, wall)
            assert not drawn.text_index.crossed_by(leader_line(scene.points[0], claim))
        return found

    tried: set[int] = set()
    found = find(tried)
    assert found is not None and len(tried) == 1
    second = find(tried)
    assert second is not None and second != found and len(tried) == 2


def test_crossing_answers_as_crosses_for_every_pair():
    rng = np.random.default_rng(5)
    # Whole and half units: lines along box edges, through corners, flat and upright.
    lines = rng.integers(0, 20, (300, 4)) / 2.0
    lines[:40, 2] = lines[:40, 0]
    lines[40:80, 3] = lines[40:80, 1]
    corners = rng.integers(0, 20, (60, 2, 2)) / 2.0
    boxes = np.column_stack((corners.min(axis=1), corners.max(axis=1)))
    got = crossing_pairs(np.repeat(lines, len(boxes), axis=0), np.tile(boxes, (len(lines), 1)))
    want = [crosses(tuple(a), tuple(b)) for a in lines.tolist() for b in boxes.tolist()]
    assert got.tolist() == want and 0 < got.sum() < got.size


def test_leader_lines_across_drawn_texts_are_found_for_many_labels_at_once():
    rng = np.random.default_rng(8)
    corner = rng.integers(0, 80, (40, 2)) / 2.0
    texts = np.column_stack((corner, corner + rng.integers(1, 12, (40, 2)) / 2.0))
    texts[3] = np.nan  # a placeholder where no text is drawn
    xy = rng.integers(0, 80, (12, 2)) / 2.0
    anchors = rng.integers(0, 80, (12, 9, 2)) / 2.0
    rows = np.concatenate([anchors, anchors - 2.0, anchors + 2.0], axis=-1)
    on = rng.random((12, 9)) < 0.7
    on[4] = False
    got = RoomSearch.crossing_texts(SimpleNamespace(rooms=texts), xy, rows, on)
    want = np.zeros(on.shape, bool)
    for k, p in zip(*np.nonzero(on)):
        line = leader_line(tuple(xy[k]), tuple(rows[k, p, 2:]))
        want[k, p] = any(crosses(line, tuple(b)) for b in texts.tolist() if b[0] == b[0])
    assert (got == want).all() and 0 < want.sum() < on.sum()


def test_line_index_finds_only_lines_through_a_box():
    lines = LineIndex(8.0)
    lines.add((0, 0, 100, 100))
    lines.add((0, 50, 10, 50))
    assert lines.cross((45, 45, 55, 55)) and not lines.cross((60, 0, 90, 30))
    assert crosses((0, 0, 100, 100), (45, 45, 55, 55))
    index = BoxIndex(8.0)
    index.add((0.0, 0.0, 10.0, 10.0))
    assert index.hit((10.005, 0, 20, 10)) and not index.hit((10.02, 0, 20, 10))


@pytest.mark.parametrize(
    "kwargs, line_kw, text_kw, line",
    [
        ({"c": "red", "alpha": 0.5}, None, {"color": "red", "alpha": 0.5}, ("red", 0.5, 0.6)),
        ({}, {"lw": 2, "c": "blue"}, {}, ("blue", None, 2)),
        ({"weight": "bold", "color": "k"}, {"alpha": 0.2}, {"color": "k"}, ("k", 0.2, 0.6)),
    ],
)
def test_text_style_splits_font_text_and_line_keywords(kwargs, line_kw, text_kw, line):
    style = text_style(None, kwargs, line_kw)
    assert style.text_kw == text_kw
    assert (style.line_kw["color"], style.line_kw["alpha"], style.line_kw["linewidth"]) == line
    assert style.font.get_weight() == kwargs.get("weight", "normal")


def test_object_boxes_are_the_engines_object_boxes():
    rng = np.random.default_rng(7)
    left, top = rng.uniform(-50, 350, 400), rng.uniform(-50, 250, 400)
    # Narrow boxes (widened by the engine), fractions that single precision
    # rounds, and edges out at FAR.
    w, h = rng.choice([0.0, 0.3, 1.999, 2.0, 2.0001, 7.77], 400), rng.uniform(0, 9, 400)
    edges = np.column_stack((left, top, left + w, top + h))
    edges[:5] = [
        (-FAR, -FAR, -FAR, -FAR), (FAR - 1, 0, FAR, 1), (0.1, 0.2, 0.3, 0.4), (-0.5, 3, 1.5, 3),
        (2.99999999, 0, 9.00000001, 5),  # whole units once in single precision
    ]  # fmt: skip
    boxes = [tuple(b) for b in edges.tolist()]
    objects = ObjectBoxes(boxes, edges)
    assert len(objects) == len(boxes)
    assert [objects[k] for k in range(len(boxes))] == [object_box(*b) for b in boxes]


@pytest.mark.parametrize("fence_as", ["mask", "boxes"])
def test_leaders_cross_drawn_lines_but_no_obstacle_box(fence_as):
    # A point fenced in 12 units about it: no room inside for its text, so it
    # needs a leader over the fence, which a drawn line (the mask) allows and an
    # obstacle box (a legend, a bar) does not.
    fence = [(137, 87, 163, 88), (137, 112, 163, 113), (137, 87, 138, 113), (162, 87, 163, 113)]
    mask = np.zeros((200, 300), bool)
    for l, t, r, b in fence:
        mask[t:b, l:r] = True
    kwargs = (
        {"mask": mask}
        if fence_as == "mask"
        else {"obstacles": [tuple(map(float, f)) for f in fence]}
    )
    placement = place_readable(
        300, 200, [(150.0, 100.0)], ["label"], fixed_advance(), 12,
        radius=2.0, overlap="hide", leaders=True, **kwargs,
    )  # fmt: skip
    if fence_as == "mask":
        assert placement.shown == [0] and 0 in placement.leader_lines
        box = placement.boxes[0]
        assert box is not None and not (137 < box[0] < 163 and 87 < box[1] < 113)
    else:
        assert placement.shown == []


def test_covered_counts_the_next_points_markers_and_all_centres_near_a_place():
    # Markers are 4 x 4 about each point; label 0 comes first.
    scene = scene_of([(50, 50), (70, 50), (200, 100), (90, 52), (71, 80)])
    places = np.array([[(60, 40, 95, 60), (0, 0, 10, 10), (69, 78, 73, 82)]], float)
    soon, total = scene.covered([0], places)
    assert soon.tolist() == [[2, 0, 1]] and total.tolist() == [[2, 0, 1]]
    # Later labels count only the points after them: for label 3, point 4 alone.
    soon, _ = scene.covered([3], places)
    assert soon.tolist() == [[0, 0, 1]]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_coverage_marks_many_boxes_as_one_box_at_a_time(seed):
    # Boxes of a few squares (markers), wider ones, inverted and huge: the bulk
    # paths (square by square, box by box, summed over a window) must equal mark.
    rng = np.random.default_rng(seed)
    n = 300
    left, top = rng.uniform(-30, 500, n), rng.uniform(-30, 400, n)
    w = rng.choice([0, 0.5, 3, 15.9, 16, 40, -2, 900], n)
    h = rng.choice([0, 2, 3.5, 33, -1], n)
    edges = np.column_stack((left, top, left + w, top + h))
    markers = np.column_stack((left, top, left + w % 2.5, top + h % 2.5))  # 2.5 units or less
    for some in (edges[:40], edges, markers, markers[:30]):
        bulk, plain = Coverage(500, 400), Coverage(500, 400)
        bulk.mark_many(some)
        plain.mark([tuple(b) for b in some.tolist()])
        assert (bulk.marks == plain.marks).all() and bulk.marks.any()


@pytest.mark.parametrize("side, width, height", [(2.0, 500, 400), (4.0, 333.5, 201), (2.0, 1, 1)])
def test_coarse_coverage_marks_the_squares_holding_a_marked_square(side, width, height):
    rng = np.random.default_rng(7)
    left, top = rng.uniform(-5, width + 5, 60), rng.uniform(-5, height + 5, 60)
    fine = Coverage(width, height)
    fine.mark_many(np.column_stack((left, top, left + rng.uniform(0, 9, 60), top + 2.0)))
    coarse = fine.coarse(side)
    assert coarse.side == side and coarse.marks.any()
    # Index k holds square k - 1 of its grid; each fine square falls in one coarse.
    rows = (np.arange(fine.marks.shape[0]) - 1) // int(side) + 1
    cols = (np.arange(fine.marks.shape[1]) - 1) // int(side) + 1
    want = np.zeros_like(coarse.marks)
    np.maximum.at(want, (rows[:, None], cols[None, :]), fine.marks)
    assert (coarse.marks == want).all()


def test_drawn_texts_cover_the_markers_that_the_ink_index_hits():
    rng = np.random.default_rng(9)
    points = [tuple(p) for p in rng.uniform(0, 300, (400, 2)).tolist()]
    scene = scene_of(points)
    drawn = Drawn.empty(scene)
    for i, (x, y) in enumerate(points[:60]):
        drawn.place_at(i, (x + 3.0, y - 5.0, x + 3.0 + rng.uniform(5, 40), y + 5.0), 12)
        drawn.show(i, scene.markers[i])
    # Markers a hundredth off a text's edge, and just inside the margin.
    t = drawn.texts[0]
    edges = [(t[2] + d, t[1], t[2] + 4, t[1] + 4) for d in (0.011, 0.009)]
    markers = np.array([*scene.markers, *edges])
    want = [drawn.ink_index.hit(tuple(m)) for m in markers.tolist()]
    assert drawn.inked(markers).tolist() == want and 0 < sum(want) < len(want)
    assert not Drawn.empty(scene).inked(markers).any()


def test_markers_near_boxes_are_those_the_marker_index_collects():
    rng = np.random.default_rng(4)
    points = [tuple(p) for p in rng.uniform(-10, 310, (500, 2)).tolist()]
    scene = scene_of(points)
    boxes = [(x, y, x + w, y + 12.0) for x, y, w in rng.uniform(0, 300, (300, 3)).tolist()]
    # Edges a hundredth off a marker's and just inside the margin.
    m = scene.markers[7]
    boxes += [(m[2] + 0.011, m[1], m[2] + 5, m[3]), (m[2] + 0.009, m[1], m[2] + 5, m[3])]
    want: set = set()
    for box in boxes:
        scene.marker_index.collect_ranked(box, len(points), want)
    got = {scene.markers[k] for k in scene.markers_near(boxes)}
    assert got == want and 0 < len(got) < len(points)
    assert {scene.markers[k] for k in scene.markers_near(boxes[-1:])} >= {m}
    assert m not in {scene.markers[k] for k in scene.markers_near(boxes[-2:-1])}
