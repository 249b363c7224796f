"""Showing only labels that can be read: the placement of labels beside points,
with optional leader lines, on any canvas.

Everything here works in the engine's canvas units (x to the right, y downward)
and needs numpy (which matplotlib brings, and the "pillow" extra installs) but
neither matplotlib nor Pillow: quillset_extras.mpl and the Pillow helpers draw
what it decides.

place_readable runs these stages over one Scene (quillset_extras.scene):
place every label with the engine ("allow"), or place the labels that have room
beside their point, choose what can be read, and with leaders go on by priority
tiers (quillset_extras.leaders).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

import quillset

from .choose import Rules, choose_readable, priority_order, priority_tiers
from .engine_round import (
    LARGEST_SIZE,
    OBSTACLE,
    SMALLEST_SIZE,
    EngineRound,
    config_copy,
    text_box,
)
from .geometry import EPS, Box, BoxIndex, Segment, apart, inside, leader_line
from .grids import Coverage, crossing_pairs, mask_boxes
from .leaders import LeaderSearch, default_reach
from .measure import Measurer, Memoized
from .quality import Readability, readability
from .scene import FAR, FINE_RANKS, Drawn, Floats, Scene, far_points, solve_round

__all__ = [
    "Placement",
    "choose_readable",
    "leader_line",
    "place_readable",
    "priority_order",
    "text_box",
]

# Improvement passes of overlap="allow" without a config: on dense data the
# passes never settle, and on maps of 3,000 cities and charts of 140 to 440
# points 4 passes leave within 3 % as many overlapping pairs as 8, or 30, at half
# the time of 8.
_ALLOW_PASSES = 4
# Tiers of more labels than this are screened before they are measured, so
# many at a time.
_MEASURE_FIRST = 256
_SCREENED_AT_ONCE = 16384
# The squares of the screen: a quarter of the table to sum per tier as with
# squares of one unit, and about as many places screened out.
_SCREEN_SIDE = 2.0
# Labels whose places are costed at once beside their point: numpy's arrays stay small.
_COSTED_AT_ONCE = 256
_LAST = np.iinfo(np.int64).max
# The FINE_RANKS most important labels of a call make room among drawn texts that
# can move: at their two places with the fewest texts in the way (on maps of
# 3,000 cities a third one drew no more of the 50 most important, at a sixth
# more time), which move in turn to make room for one more (depth 2). On charts
# of up to _MAKE_ROOM_ALL points every label does: a tenth more labels drawn, at
# about a millisecond each.
_MAKE_ROOM = FINE_RANKS
_MAKE_ROOM_ALL = 500
_ROOM_TRIES = 2
_ROOM_DEPTH = 2
# With leaders, each of those labels still without a place then tries up to this
# many rooms away from its point, in the search's order, where a single drawn
# text is in the way and moves aside (on maps, 2 tries labelled fewer of the 50
# most important).
_LEAD_TRIES = 10
# Up to this many labels, "allow" moves overlapping texts to free places.
_ALLOW_MOVES = 20000
# Labels per engine round of overlap="allow" without a config.
_ALLOW_ROUND = 1024


@dataclass
class Placement:
    """What place_readable decided, in canvas units, per input label."""

    results: list[quillset.LayoutResult | None]
    """the engine's result for every shown label that the engine placed, None for
    the others"""
    boxes: list[Box | None]
    """where every shown label's text goes (text_box), None for the others"""
    font_sizes: list[int | None]
    """the size of every shown label, None for the others"""
    shown: list[int]
    """labels to draw, in input order"""
    hidden: list[int]
    """labels not drawn, in input order"""
    leader_lines: dict[int, Segment] = field(default_factory=dict)
    """the leader line of each label placed away from its point"""
    markers: list[Box] = field(default_factory=list)
    """the point boxes that labels avoid"""
    rank: list[int] = field(default_factory=list)
    """each label's place in priority order, 0 the most important"""
    width: float = 0.0
    height: float = 0.0
    obstacles: list[Box] = field(default_factory=list)
    blocked: Coverage | None = None
    """the squares of the canvas that obstacles reach into, None without any"""

    def readability(
        self, texts: Sequence[Box] | None = None, sizes: Sequence[bool] = ()
    ) -> Readability:
        """What a reader sees of the shown labels: `texts` are their drawn
        extents, in the order of `shown` (by default the boxes placed);
        `sizes[k]` whether shown label k is drawn smaller than asked."""
        boxes = [self.boxes[i] for i in self.shown] if texts is None else list(texts)
        return readability(
            [b for b in boxes if b is not None],
            self.markers,
            self.width,
            self.height,
            hidden=len(self.hidden),
            leader_lines=list(self.leader_lines.values()),
            smaller_tier=sum(sizes),
            labels=self.shown,
            rank=self.rank,
            leader_labels=list(self.leader_lines),
            obstacles=self.obstacles,
            blocked=None if self.blocked is None else self.blocked.touches,
        )


def place_readable(
    width: int,
    height: int,
    points: Sequence[tuple[float, float]],
    texts: Sequence[str],
    measure: Measurer,
    font_size: int | Sequence[int],
    *,
    radius: float = 4.0,
    markers: Sequence[Box] | None = None,
    overlap: Literal["allow", "hide"] = "allow",
    priority: ArrayLike | None = None,
    leaders: bool = False,
    max_distance: float | None = None,
    config: quillset.LayoutConfig | None = None,
    shrink: bool = False,
    obstacles: Sequence[Box] = (),
    mask: NDArray[np.bool_] | None = None,
) -> Placement:
    """Places texts[i] beside points[i] on a `width` x `height` canvas.

    overlap="allow" draws every label that found a place, as the engine placed
    it. overlap="hide" draws only labels that can be read, taking them by
    `priority` in tiers of growing size. A label is drawn when its text lies on
    the canvas and covers no other drawn text (texts side by side keep a share
    of their height apart, so that two names do not read as one), no obstacle,
    no marker of a more important point, of a point whose label is drawn, or its
    own; and when no drawn text covers its own marker. A text may cover the
    markers of less important points, whose labels then stay hidden: so the most
    important labels are drawn even in dense clouds of points. Where drawn texts
    keep one of the most important labels (on charts of up to 500 points, any
    label) from its point, they move to another place beside their own point,
    if they find one, to make room. Labels without room beside their point are
    not sent to the engine at all, so dense data costs little, and the engine
    weighs covering anything above shrinking.

    With `leaders`, each tier's labels without room beside their point look for
    room farther away, on rings about the point out to `max_distance`, nearest
    first, with a leader line (from the point to the nearest point of the text)
    that crosses no drawn text, no other leader line, none of `obstacles` and no
    marker that the text could not cover (it may cross the pixels of `mask`, as
    a map's leaders cross roads); an engine round places them about the rooms
    found. Where a single drawn text alone keeps one of the most important labels
    from such a room (takes it, crosses its line or covers its marker), that text
    moves to another place beside its own point, if it finds one. See
    quillset_extras.leaders.

    Parameters
    ----------
    width, height : int
        The canvas, in the measurer's units.
    points : sequence of (x, y)
        The points; those not finite or far off the canvas get no label.
    texts : sequence of str
        texts[i] labels points[i].
    measure : callable (text, size) -> quillset.TextSize
        Measures a text at a size in its own units.
    font_size : int or sequence of int
        The labels' size in the measurer's units, or one size per label; the
        engine measures no size below 9.
    radius : float, default: 4.0
        Half the side of each point's marker box, when `markers` is None.
    markers : sequence of boxes or None, default: None
        Each point's marker box (left, top, right, bottom).
    overlap : {"allow", "hide"}, default: "allow"
        Draw every placed label, or only those that can be read.
    priority : array-like of float or None, default: None
        One number per point, larger first; ties, and everything without it, in
        input order.
    leaders : bool, default: False
        Place labels without room beside their point farther away, with a line
        (needs overlap="hide").
    max_distance : float or None, default: None
        How far leader lines reach beyond the marker; by default a few line
        heights, at most a share of the canvas's longer side.
    config : quillset.LayoutConfig or None, default: None
        The engine's configuration. "allow" uses it as it is; without it, a grid
        suited to the label size and few improvement passes. "hide" picks the grid
        and grows both overlap weights.
    shrink : bool, default: False
        Let labels take the engine's smaller tiers of their size where that
        helps; by default every label is drawn at its own size.
    obstacles : sequence of boxes, default: ()
        What else is drawn on the canvas: no text covers these boxes and no
        leader line crosses them, and the engine avoids them.
    mask : bool array of shape (height, width) or None, default: None
        Pixels that are drawn (one per unit, rows from the top), taken as
        obstacles like `obstacles`.

    Returns
    -------
    Placement
    """
    sizes = [int(font_size)] * len(points) if isinstance(font_size, int) else list(font_size)
    _check(points, texts, sizes, radius, markers, overlap, leaders, max_distance)
    kept = far_points(points)
    if markers is None:
        # Beyond FAR a marker covers any canvas just the same; below it, its edges
        # stay finite in the engine's single precision.
        r = min(radius, FAR)
        markers = [(x - r, y - r, x + r, y + r) for x, y in kept]
    scene = Scene(
        width,
        height,
        kept,
        list(texts),
        measure if isinstance(measure, Memoized) else Memoized(measure),
        sizes,
        [_clamped(m) for m in markers],
        quillset.LayoutConfig() if config is None else config,
        priority_order(len(points), priority),
        shrink=shrink,
        obstacles=list(obstacles),
        mask=mask,
    )
    if overlap == "allow":
        return finish(scene, place_all(scene, tuned=config is None))
    reach = None
    if leaders:
        # No room on the canvas lies farther from a point on it than its diagonal.
        reach = default_reach(scene) if max_distance is None else max_distance
        reach = min(reach, math.hypot(width, height))
    return finish(scene, place_hidden(scene, reach))


def _clamped(box: Box) -> Box:
    """The box with its edges within FAR of the canvas (NaN far off it): the
    caller's own tuple where it holds such floats already."""
    l, t, r, b = box
    if type(box) is tuple and type(l) is type(t) is type(r) is type(b) is float:
        if -FAR <= l <= FAR and -FAR <= t <= FAR and -FAR <= r <= FAR and -FAR <= b <= FAR:
            return box
    l, t, r, b = (min(max(float(v), -FAR), FAR) if v == v else -FAR for v in box)
    return (l, t, r, b)


def _check(
    points: Sequence[tuple[float, float]],
    texts: Sequence[str],
    sizes: Sequence[int],
    radius: float,
    markers: Sequence[Box] | None,
    overlap: str,
    leaders: bool,
    max_distance: float | None,
) -> None:
    if overlap not in ("allow", "hide"):
        raise ValueError(f"overlap must be 'allow' or 'hide', not {overlap!r}")
    if leaders and overlap != "hide":
        raise ValueError("leaders need overlap='hide'")
    if not len(points) == len(texts) == len(sizes):
        raise ValueError(f"{len(points)} points, {len(texts)} texts and {len(sizes)} sizes")
    if markers is not None and len(markers) != len(points):
        raise ValueError(f"{len(points)} points but {len(markers)} markers")
    if OBSTACLE in texts:
        raise ValueError("a label text is reserved")
    for size in sizes:
        if not SMALLEST_SIZE <= size <= LARGEST_SIZE:
            raise ValueError(
                f"place_readable: font_size must be {SMALLEST_SIZE} to {LARGEST_SIZE} in the "
                f"measurer's units, not {size!r} (the engine measures no size below "
                f"{SMALLEST_SIZE}: for smaller text, measure in finer units)"
            )
    if not (math.isfinite(radius) and radius >= 0.0):
        raise ValueError(f"place_readable: radius must be 0 or more, not {radius!r}")
    if max_distance is not None and not max_distance > 0.0:
        raise ValueError(f"place_readable: max_distance must be positive, not {max_distance!r}")


def place_all(scene: Scene, tuned: bool) -> Drawn:
    """Every label on the canvas placed by the engine, with the obstacles, and
    drawn where it found a place. `tuned`: the caller gave no configuration, so
    the engine runs with grid cells suited to the labels and few passes (on dense
    data the passes do not settle and, after a few, move labels about without
    making fewer overlaps), and many labels go in rounds of a bounded number,
    most important first, each round with the markers and the texts of the
    rounds before merged into runs of squares: one engine for all of them would
    weigh every label against every other in a dense crowd."""
    config = scene.config
    if tuned:
        config = config_copy(config, gridSize=int(scene.cell), maxIterations=_ALLOW_PASSES)
    labels = [i for i in scene.order if scene.on_canvas[i]]
    step = _ALLOW_ROUND if tuned and len(labels) > _ALLOW_ROUND else max(len(labels), 1)
    drawn = Drawn.empty(scene)
    placed = np.zeros((scene.height, scene.width), bool)
    for start in range(0, len(labels), step):
        chosen = labels[start : start + step]
        engine = EngineRound(
            scene.width, scene.height, scene.measure, config, one_size=not scene.shrink
        )
        for i in chosen:
            engine.label(i, scene.markers[i], scene.texts[i], scene.sizes[i])
        everything = (0.0, 0.0, float(scene.width), float(scene.height))
        obstacles = list(scene.obstacle_index.near(everything))
        if step < len(labels):
            runs = scene.marker_runs
            obstacles += [] if runs is None else list(runs.near(everything))
            obstacles += mask_boxes(placed, max(2, int(scene.text_height) // 4))
        engine.obstacles(sorted(set(obstacles)))
        for i, result in engine.solve().items():
            drawn.place(i, result, scene.measured_box(i, result))
            text = drawn.boxes[i]
            if text is not None:
                drawn.shown.add(i)
                x0, y0 = max(int(text[0]), 0), max(int(text[1]), 0)
                placed[y0 : max(int(text[3]) + 1, y0), x0 : max(int(text[2]) + 1, x0)] = True
    if len(labels) <= _ALLOW_MOVES:
        move_overlapping(scene, drawn, labels)
    return drawn


def move_overlapping(scene: Scene, drawn: Drawn, labels: Sequence[int]) -> None:
    """Moves each label, most important first, whose text overlaps another to the
    first of the map-maker's places about its point that overlaps no text and no
    obstacle, where there is one. The engine's anchors hang a text to one side of
    its object: beside a point near the canvas's edge they may all reach off it
    but one, while the places above and below the point are free."""
    current: dict[int, Box] = {i: b for i in labels if (b := drawn.boxes[i]) is not None}
    index = BoxIndex[tuple[float, float, float, float, int]](scene.cell)
    for i, b in current.items():
        index.add((b[0], b[1], b[2], b[3], i))

    def crowded(i: int, box: Box) -> bool:
        x0, y0, x1, y1 = box
        return any(
            j != i and current.get(j) == (b[0], b[1], b[2], b[3])
            and b[2] > x0 and x1 > b[0] and b[3] > y0 and y1 > b[1]
            for b in index.near(box) for j in (b[4],)
        )  # fmt: skip

    for i in labels:
        box = current.get(i)
        if box is None or not crowded(i, box):
            continue
        for spot in scene.spots(i):
            if inside(spot, scene.width, scene.height) and not scene.is_blocked(spot):
                if not crowded(i, spot):
                    current[i] = spot
                    index.add((spot[0], spot[1], spot[2], spot[3], i))
                    drawn.place_at(i, spot, scene.sizes[i])
                    break


def place_hidden(scene: Scene, reach: float | None) -> Drawn:
    """The labels that can be read, tier by tier: first those with room beside
    their point, then, with a `reach`, the tier's others with leader lines."""
    drawn = Drawn.empty(scene)
    rules = Rules(scene, drawn)
    search = None if reach is None else LeaderSearch(scene, reach)
    screen = Screen(scene)
    ranked = [i for i in scene.order if scene.on_canvas[i]]
    room_ranks = len(scene.order) if len(scene.order) <= _MAKE_ROOM_ALL else _MAKE_ROOM
    for tier in priority_tiers(ranked):
        screen.advance(drawn, scene.rank[tier[0]])
        # Labels whose own marker a drawn text covers cannot be drawn, unless
        # that text makes room.
        inked = drawn.inked(scene.marker_array[tier]).tolist()
        waiting = {i for i, covered in zip(tier, inked, strict=True) if covered}
        tier = [i for i in tier if i not in waiting or scene.rank[i] < room_ranks]
        if len(tier) > _MEASURE_FIRST:
            tier = screen.unmeasured(tier, closer=search is None)
        if not tier:
            continue
        rooms = scene.room_array(tier)
        open_rooms = screen.open(rooms)
        beside = with_room(scene, drawn, [
            (i, rooms[k][open_rooms[k]]) for k, i in enumerate(tier)
            if open_rooms[k].any() and i not in waiting
        ])  # fmt: skip
        for i, result in solve_round(scene, beside, scene.objects, drawn, own=True).items():
            drawn.place(i, result, scene.measured_box(i, result))
        # With leaders or without, the labels that find room beside their point
        # go the same way: on maps, sliding them in and making room keeps more of
        # the most important, and the leader lines then take what is left.
        spots = scene.spot_array(tier, fine=scene.rank[tier[-1]] < FINE_RANKS)
        places_beside(scene, drawn, rules, tier, spots, screen.open(spots), room_ranks)
        if search is not None:
            search.place(drawn, rules, [i for i in tier if i not in drawn.shown | waiting])
            for i in tier:
                if i not in drawn.shown and scene.rank[i] < _MAKE_ROOM:
                    lead_room(scene, drawn, rules, search, i)
    return drawn


class Screen:
    """The squares of the canvas that surely take the room of a tier's labels:
    obstacles, drawn texts with the room beside them, and the markers of the
    points before the tier (more important than any of its labels). A place that
    wholly holds such a square is not worth the rules' closer look."""

    def __init__(self, scene: Scene) -> None:
        self.scene = scene
        if scene.blocked is not None:
            self.taken = scene.blocked.coarse(_SCREEN_SIDE)
        else:
            self.taken = Coverage(scene.width, scene.height, _SCREEN_SIDE)
        self.rank = 0
        self.texts = 0

    def advance(self, drawn: Drawn, rank: int) -> None:
        """Marks what the labels before rank `rank` took."""
        self.taken.mark_many(self.scene.ranked_markers(self.rank, rank))
        gap = self.scene.gap
        self.taken.mark_many(np.array([apart(b, gap) for b in drawn.texts[self.texts :]], float))
        self.rank, self.texts = rank, len(drawn.texts)

    def unmeasured(self, labels: list[int], closer: bool = False) -> list[int]:
        """The labels for which even a shorter text than theirs finds room, found
        without measuring them, a bounded number at a time. `closer`: with the
        measurer's closer bounds, where it has them (they leave out labels that
        a leader line might still draw)."""
        kept = []
        scene = self.scene
        for start in range(0, len(labels), _SCREENED_AT_ONCE):
            part = labels[start : start + _SCREENED_AT_ONCE]
            least = scene.least_extents(part)
            room = self._room(part, least)
            if closer and room.any():
                # The closer bounds cost more: only for those left.
                part = [i for i, keep in zip(part, room.tolist(), strict=True) if keep]
                found = scene.closer_extents(part, (least[0][room], least[1][room]))
                room = np.ones(len(part), bool) if found is None else self._room(part, found)
            kept += [i for i, keep in zip(part, room.tolist(), strict=True) if keep]
        return kept

    def _room(self, labels: list[int], extents: tuple[Floats, Floats]) -> NDArray[np.bool_]:
        """Which labels find room at some place with texts of `extents`."""
        scene = self.scene
        room = self.open(scene.room_array(labels, extents)).any(axis=1)
        return room | self.open(scene.spot_array(labels, extents)).any(axis=1)

    def open(self, places: Floats) -> NDArray[np.bool_]:
        """Which places (boxes in the last axis) are on the canvas and hold no
        taken square."""
        return self.on_canvas(places) & ~self.taken.held(places)

    def on_canvas(self, places: Floats) -> NDArray[np.bool_]:
        w, h = self.scene.width, self.scene.height
        return (
            (places[..., 0] >= 0.0) & (places[..., 1] >= 0.0)
            & (places[..., 2] <= w) & (places[..., 3] <= h)
        )  # fmt: skip


def places_beside(
    scene: Scene,
    drawn: Drawn,
    rules: Rules,
    tier: list[int],
    spots: Floats,
    open_spots: NDArray[np.bool_],
    room_ranks: int,
) -> None:
    """Draws each label of the tier, in turn, beside its point where the rules
    allow: where the engine put it, or in one of the `spots` about the point that
    map-makers try (those of `open_spots`). Of those, the place that covers
    fewest markers of the next most important points wins, then fewest markers
    at all (those of less important points, whose labels then keep a chance),
    then the engine's, then the map-maker's order. A label of rank below
    `room_ranks` drawn nowhere makes room (make_room)."""
    engine = np.full((len(tier), 1, 4), np.nan)
    for k, i in enumerate(tier):
        box = drawn.boxes[i]
        if box is not None and drawn.results[i] is not None:
            engine[k, 0] = box
    places = np.concatenate([engine, spots.reshape(len(tier), -1, 4)], axis=1)
    usable = np.concatenate([~np.isnan(engine[:, :, 0]), open_spots.reshape(len(tier), -1)], axis=1)
    # The labels that may make room go through, room or not.
    going = usable.any(axis=1) | np.array([scene.rank[i] < room_ranks for i in tier], bool)
    some = np.flatnonzero(going)
    for start in range(0, len(some), _COSTED_AT_ONCE):
        rows = some[start : start + _COSTED_AT_ONCE]
        labels = [tier[k] for k in rows.tolist()]
        boxes = np.where(usable[rows, :, None], places[rows], 0.0)
        soon, total = scene.covered(labels, boxes)
        # Cheapest first; places not usable after all.
        index = np.broadcast_to(np.arange(places.shape[1]), soon.shape)
        tries = np.lexsort((index, total, np.where(usable[rows], soon, _LAST)))
        for i, row, order, use in zip(
            labels, boxes.tolist(), tries.tolist(), usable[rows].tolist(), strict=True
        ):
            place_beside(drawn, rules, i, row, [p for p in order if use[p]])
            if i not in drawn.shown and scene.rank[i] < room_ranks:
                make_room(scene, drawn, rules, i)


def place_beside(
    drawn: Drawn, rules: Rules, i: int, places: list[list[float]], tries: list[int]
) -> None:
    """Draws label i at the first of its places, in the order of `tries`, where
    the rules allow (place 0 being the engine's)."""
    if not rules.marker_free(i):
        return
    for p in tries:
        l, t, r, b = places[p]
        if rules.place_fits(i, (l, t, r, b)):
            if p != 0:
                drawn.place_at(i, (l, t, r, b), rules.scene.sizes[i])
            rules.draw(i)
            return


def make_room(scene: Scene, drawn: Drawn, rules: Rules, i: int) -> None:
    """Draws label i beside its point where only drawn texts stand in its way (or
    cover its marker), once those have moved to other places of theirs where the
    rules allow, making room in turn for one more.

    What it tries depends only on the label's marker, its open spots and what is
    drawn: a label that asks as one that found no room, with nothing drawn or
    taken back since, finds none either. So points at one place (hundreds, in
    data of few distinct values) are answered at once."""
    asked = (scene.markers[i], *scene.open_spots(i))
    if drawn.no_room_at != drawn.version:
        drawn.no_room.clear()
    elif asked in drawn.no_room:
        if drawn.no_room[asked]:  # as the moves' undo leaves it
            drawn.boxes[i] = drawn.results[i] = drawn.sizes[i] = None
        return
    moved = _make_room(scene, drawn, rules, i)
    if i not in drawn.shown:
        drawn.no_room[asked] = moved
        drawn.no_room_at = drawn.version


def _make_room(scene: Scene, drawn: Drawn, rules: Rules, i: int) -> bool:
    """make_room's work; returns whether it moved texts (and took them back)."""
    if drawn.line_index.cross(scene.markers[i]):
        return False
    mine = drawn.inked_by(scene.markers[i])
    if any(j in drawn.leader_lines for j in mine):
        return False
    tries = []
    for p in scene.open_spots(i):
        ahead = _in_way(drawn, p)
        if ahead is not None and (ahead or mine):
            tries.append((len(ahead | mine), p, ahead | mine))
    tries.sort(key=lambda t: t[0])
    for _, p, ahead in tries[:_ROOM_TRIES]:
        moves = _Moves(scene, drawn, rules, i)
        if moves.take(p, ahead, _ROOM_DEPTH):
            return True
        moves.undo()
    return bool(tries)


def lead_room(scene: Scene, drawn: Drawn, rules: Rules, search: LeaderSearch, i: int) -> None:
    """Draws label i away from its point, with a leader line, where a single drawn
    text stands in the way of its text or its line (or covers its marker), once
    that text has moved to another place of its own where the rules allow."""
    if drawn.line_index.cross(scene.markers[i]):
        return
    mine = drawn.inked_by(scene.markers[i])
    if len(mine) > 1 or any(j in drawn.leader_lines for j in mine):
        return
    rooms = search.rooms_of(i)
    boxes = rooms.tolist()
    point, tries = scene.points[i], 0
    for k, j in _one_in_way(drawn, point, rooms, mine):
        box = (boxes[k][0], boxes[k][1], boxes[k][2], boxes[k][3])
        line = leader_line(point, box)
        if j in drawn.leader_lines or not rules.fits_but_texts(i, box, line):
            continue
        moves = _Moves(scene, drawn, rules, i)
        if moves.lead(box, line, {j}, _ROOM_DEPTH):
            return
        moves.undo()
        tries += 1
        if tries == _LEAD_TRIES:
            return


def _one_in_way(
    drawn: Drawn, point: tuple[float, float], rooms: Floats, mine: set[int]
) -> list[tuple[int, int]]:
    """The rooms (rows of boxes) where the drawn text of a single label j, with
    the room beside it, takes the room or crosses the leader line from `point`
    (or covers the point's marker: the labels `mine`), as (row, j) in order."""
    if not len(rooms):
        return []
    x, y = point
    ex = np.minimum(np.maximum(x, rooms[:, 0]), rooms[:, 2])
    ey = np.minimum(np.maximum(y, rooms[:, 1]), rooms[:, 3])
    reach = (
        min(x, float(rooms[:, 0].min())) - drawn.gap - EPS, min(y, float(rooms[:, 1].min())) - EPS,
        max(x, float(rooms[:, 2].max())) + drawn.gap + EPS, max(y, float(rooms[:, 3].max())) + EPS,
    )  # fmt: skip
    near = [(b, j) for b in dict.fromkeys(drawn.ink_index.near(reach)) for j in drawn.owners[b]]
    if not near:
        return []
    texts = np.array([apart(b, drawn.gap) for b, _ in near], float)
    owner = np.array([j for _, j in near], np.int64)
    t = texts[None, :, :]
    r = rooms[:, None, :]
    hit = (t[..., 2] > r[..., 0] - EPS) & (r[..., 2] > t[..., 0] - EPS)
    hit &= (t[..., 3] > r[..., 1] - EPS) & (r[..., 3] > t[..., 1] - EPS)
    lines = np.column_stack((np.full(len(rooms), x), np.full(len(rooms), y), ex, ey))
    pairs = np.broadcast_to(lines[:, None, :], (len(rooms), len(texts), 4)).reshape(-1, 4)
    hit |= crossing_pairs(pairs, np.tile(texts, (len(rooms), 1))).reshape(hit.shape)
    first = np.where(hit.any(axis=1), owner[hit.argmax(axis=1)], -1)
    if mine:
        (m,) = mine
        first = np.where(first < 0, m, first)
        alone = first == m
    else:
        alone = first >= 0
    alone &= ~(hit & (owner[None, :] != first[:, None])).any(axis=1)
    return [(k, int(first[k])) for k in np.flatnonzero(alone).tolist()]


def _in_way(drawn: Drawn, p: Box) -> set[int] | None:
    """The labels whose drawn texts alone keep an open spot p taken (None where a
    drawn label's marker or a leader line does)."""
    if drawn.shown_markers.hit(p) or drawn.line_index.cross(p):
        return None
    ahead = drawn.in_way(p)
    return None if any(j in drawn.leader_lines for j in ahead) else ahead


class _Moves:
    """Texts of drawn labels moved to make room for label i, and how to take
    that back. A moved label's marker stays that of a drawn label throughout."""

    def __init__(self, scene: Scene, drawn: Drawn, rules: Rules, i: int) -> None:
        self.scene, self.drawn, self.rules, self.i = scene, drawn, rules, i
        self.before: dict[int, tuple[Box, quillset.LayoutResult | None]] = {}
        self.lifted: set[int] = set()

    def _lift(self, j: int) -> None:
        drawn = self.drawn
        if j not in self.before:
            box = drawn.boxes[j]
            assert box is not None
            self.before[j] = (box, drawn.results[j])
        drawn.lift(j)
        self.lifted.add(j)

    def _put(self, j: int, p: Box) -> None:
        self.drawn.put(j, p, self.scene.sizes[j])
        self.lifted.discard(j)

    def take(self, p: Box, ahead: set[int], depth: int) -> bool:
        """Draws label i at p, moving the labels `ahead` out of its way."""
        scene, drawn, i = self.scene, self.drawn, self.i
        if any(drawn.sizes[j] != scene.sizes[j] for j in ahead):
            return False
        for j in ahead:
            self._lift(j)
        drawn.place_at(i, p, scene.sizes[i])
        self.rules.draw(i)
        return all(self.move(j, depth) for j in sorted(ahead, key=scene.rank.__getitem__))

    def lead(self, p: Box, line: Segment, ahead: set[int], depth: int) -> bool:
        """Draws label i at p with the leader line, moving the labels `ahead` out
        of its way."""
        scene, drawn, i = self.scene, self.drawn, self.i
        if any(drawn.sizes[j] != scene.sizes[j] for j in ahead):
            return False
        for j in ahead:
            self._lift(j)
        if not self.rules.fits(i, p, line):
            return False
        drawn.place_at(i, p, scene.sizes[i])
        self.rules.draw(i, line)
        return all(self.move(j, depth) for j in sorted(ahead, key=scene.rank.__getitem__))

    def move(self, j: int, depth: int) -> bool:
        """Draws label j (lifted) at another of its places, where the rules allow:
        at one that is free, or, `depth` allowing, at one where a single text
        stands in the way that moves in turn."""
        drawn = self.drawn
        free, taken = self._look(j)
        if free is not None:
            self._put(j, free)
            return True
        if depth <= 1:
            return False
        for s in taken:
            if drawn.shown_markers.hit(s) or drawn.line_index.cross(s):
                continue
            ahead = drawn.in_way(s)
            if len(ahead) != 1 or ahead & self.before.keys() or self.i in ahead:
                continue
            (k,) = ahead
            if k in drawn.leader_lines or drawn.sizes[k] != self.scene.sizes[k]:
                continue
            self._lift(k)
            self._put(j, s)
            if self.move(k, depth - 1):
                return True
            drawn.lift(j)
            self.lifted.add(j)
            self._put(k, self.before[k][0])
            drawn.results[k] = self.before[k][1]
        return False

    def _look(self, j: int) -> tuple[Box | None, list[Box]]:
        """The first free place of label j (lifted) other than its own before,
        and the places before it that only drawn texts keep."""
        drawn, old = self.drawn, self.before[j][0]
        texts, markers, lines = drawn.text_index, drawn.shown_markers, drawn.line_index
        taken = []
        for s in self.scene.open_spots(j):
            if s == old:
                continue
            if texts.hit(s):
                taken.append(s)
            elif not (markers.hit(s) or lines.cross(s)):
                return s, taken
        return None, taken

    def undo(self) -> None:
        """Takes back label i and every move."""
        drawn, i = self.drawn, self.i
        if i in drawn.shown:
            drawn.unshow(i, self.scene.markers[i])
        drawn.boxes[i] = drawn.results[i] = drawn.sizes[i] = None
        for j, (box, result) in self.before.items():
            if j not in self.lifted:
                drawn.lift(j)
            drawn.put(j, box, self.scene.sizes[j])
            drawn.results[j] = result
        self.lifted.clear()


def with_room(scene: Scene, drawn: Drawn, labels: Sequence[tuple[int, Floats]]) -> list[int]:
    """The labels, taken in order, whose text finds room at one of the given
    places (its smallest size at the engine's anchors) where the rules let it go
    (on the canvas, free of obstacles, drawn texts, and markers it may not
    cover), free of the room claimed by labels taken before. Each claims the
    first room it finds."""
    found = []
    claims = BoxIndex[Box](scene.cell)
    hit, claimed = scene.marker_index.hit_ranked, claims.hit
    w, h = scene.width, scene.height
    for i, places in labels:
        rank = scene.rank[i]
        for b in ((a, b, c, d) for a, b, c, d in places.tolist()):
            if b[0] >= 0.0 and b[1] >= 0.0 and b[2] <= w and b[3] <= h:
                # The claims first: in a crowd most rooms fail on them.
                if claimed(b) or hit(b, rank) or drawn.text_index.hit(b):
                    continue
                if drawn.shown_markers.hit(b) or scene.is_blocked(b):
                    continue
                claims.add(b)
                found.append(i)
                break
    return found


def finish(scene: Scene, drawn: Drawn) -> Placement:
    """The placement of the labels drawn; the others' results are dropped."""
    for i in range(len(scene.points)):
        if i not in drawn.shown:
            drawn.results[i] = drawn.boxes[i] = drawn.sizes[i] = None
    return Placement(
        drawn.results,
        drawn.boxes,
        drawn.sizes,
        sorted(drawn.shown),
        [i for i in scene.numbers if i not in drawn.shown],
        drawn.leader_lines,
        scene.markers,
        scene.rank,
        scene.width,
        scene.height,
        scene.obstacles,
        scene.blocked,
    )
