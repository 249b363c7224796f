"""Leader lines: labels without room beside their point are drawn farther away,
joined to it by a thin line.

Labels go in priority tiers (see quillset_extras.readable). A tier first keeps
the labels that fit beside their point; each of its other labels then searches
anchors on rings about its point for room of its smallest size, and an engine
round places the labels that found one about it. A label the engine placed where it cannot be read
searches again, for a room it has not tried. So an important label in a crowd may
sit far from its point before a much less important one takes the room beside
its own.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from ._optional import missing

try:
    import numpy as np
    from numpy.typing import ArrayLike, NDArray
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.leaders", "pillow") from None

from .choose import Rules
from .engine_round import anchor_rooms
from .geometry import Box, BoxIndex, LineIndex, apart, leader_line
from .grids import Bools, Coverage, crossing_pairs
from .scene import Drawn, Scene, solve_round

Floats = NDArray[np.float64]

# Leader lines reach this many line heights by default, and at most this share
# of the canvas's longer side: longer lines lead the eye too far.
_REACH = 8
_LONGEST_SHARE = 0.2
# Directions in which the search looks for room, the first straight up.
_DIRECTIONS = 16
# A direction faces a side of its anchor when it points this far along the side's
# normal: a little under sin(pi/8), so that a direction 22.5 degrees off an axis
# faces both sides next to it.
_FACING = 0.38
# Labels whose rooms are found at once: numpy's arrays stay small.
_SEARCHED_AT_ONCE = 256
# Rounds per tier: a label that the engine placed where it cannot be read
# searches again in the next round, for another room.
_ROUNDS = 4
# The squares of what is taken: a quarter of the table to sum per round as
# with squares of one unit.
_TAKEN_SIDE = 2.0


def default_reach(scene: Scene) -> float:
    """How far leader lines reach when the caller does not say."""
    return min(
        _REACH * math.ceil(scene.line_height), _LONGEST_SHARE * max(scene.width, scene.height)
    )


@dataclass(frozen=True)
class Rings:
    """Where the search looks, in order: anchors on circles about a line height
    apart out to the reach beyond a point's marker, in evenly spread directions on
    each, and at each anchor the sides of it that face away from the point
    (anchor_rooms' order)."""

    ux: Floats
    """each anchor's direction from the point"""
    uy: Floats
    distance: Floats
    """each anchor's distance from the marker's edge"""
    side: NDArray[np.int64]

    @classmethod
    def about(cls, reach: float, line_height: float) -> Rings:
        steps = []
        circles = max(1, math.floor(reach / line_height))
        for k in range(1, circles + 1):
            r = reach * k / circles
            for d in range(_DIRECTIONS):
                dx = math.sin(2.0 * math.pi * d / _DIRECTIONS)
                dy = -math.cos(2.0 * math.pi * d / _DIRECTIONS)
                faces = (dy < -_FACING, dx > _FACING, dy > _FACING, dx < -_FACING)
                steps += [(dx, dy, r, side) for side in range(4) if faces[side]]
        columns = list(zip(*steps, strict=True))
        return cls(
            np.array(columns[0]),
            np.array(columns[1]),
            np.array(columns[2]),
            np.array(columns[3], np.int64),
        )

    def place(
        self, scene: Scene, xy: Floats, rooms: Floats, half: Floats, longest: ArrayLike
    ) -> tuple[Floats, Floats, Floats, Floats, Floats, Floats, Bools]:
        """Each label's anchors and rooms in the search's order, for labels at
        `xy` (rows) with texts of `rooms` (each label's four anchor rooms about a
        unit box about the origin, as anchor_rooms gives them), markers reaching
        `half` and lines of at most `longest`: anchor x and y, the rooms' edges,
        and which lie on the canvas within reach, each of shape (labels, steps)."""
        x, y = xy[:, 0:1], xy[:, 1:2]
        # Whole units: the engine's object box then is the anchor's own.
        r = half[:, None] + self.distance
        ax, ay = np.rint(x + self.ux * r), np.rint(y + self.uy * r)
        room = rooms.reshape(-1, 4, 4)[:, self.side]
        x0, y0 = ax + room[..., 0], ay + room[..., 1]
        x1, y1 = ax + room[..., 2], ay + room[..., 3]
        far = np.asarray(longest, float)[:, None]
        reached = np.hypot(np.clip(x, x0, x1) - x, np.clip(y, y0, y1) - y) <= far
        on = (x0 >= 0.0) & (y0 >= 0.0) & (x1 <= scene.width) & (y1 <= scene.height) & reached
        return ax, ay, x0, y0, x1, y1, on


def half_size(marker: Box) -> float:
    """Half the larger side of a marker: its reach from its point."""
    return max(marker[2] - marker[0], marker[3] - marker[1]) / 2


Rooms = tuple[list[tuple[int, bool]], Floats]
"""A label's rooms: (place in the search, surely free) of those worth a look,
and every room's anchor and box as rows (x, y, left, top, right, bottom)."""


class RoomSearch:
    """One round's search for room away from the points: what is drawn, and what
    the labels searched before in this round have claimed."""

    def __init__(
        self, scene: Scene, drawn: Drawn, rules: Rules, taken: Coverage, since: BoxIndex[Box]
    ) -> None:
        """`taken`: as LeaderSearch.taken; `since`: the drawn texts (with the room
        beside them) and markers of drawn labels that it does not hold yet."""
        self.scene, self.drawn, self.rules = scene, drawn, rules
        self.taken, self.since = taken, since
        self.claims = BoxIndex[Box](scene.cell)
        self.lines = LineIndex(scene.cell)
        # The drawn texts with their room, as text_index holds them: nothing is
        # drawn during a search.
        self.rooms = np.array([apart(b, scene.gap) for b in drawn.texts], float).reshape(-1, 4)

    def candidates(self, labels: list[int], rings: Rings, longest: Floats) -> dict[int, Rooms]:
        """For each label, the rooms about its point on the canvas and within
        reach (`longest`, one per label) that nothing surely takes and whose
        leader line crosses no drawn text: (place in the search, surely free),
        and every room's anchor and box as rows (x, y, left, top, right, bottom).
        All labels at once: numpy's cost per call outweighs the work for one."""
        scene = self.scene
        xy = np.array([scene.points[i] for i in labels], float).reshape(-1, 2)
        rooms = np.array([scene.rooms(i, (-1.0, -1.0, 1.0, 1.0)) for i in labels], float)
        half = np.array([half_size(scene.markers[i]) for i in labels])
        ax, ay, x0, y0, x1, y1, on = rings.place(scene, xy, rooms, half, longest)
        held, free = np.zeros(on.shape, bool), np.zeros(on.shape, bool)
        held[on], free[on] = self.taken.classify(x0[on], y0[on], x1[on], y1[on])
        on &= ~held
        rows = np.stack(np.broadcast_arrays(ax, ay, x0, y0, x1, y1), axis=-1)
        on &= ~self.crossing_texts(xy, rows, on)
        found = {}
        for row, i in enumerate(labels):
            places = np.flatnonzero(on[row])
            order = list(zip(places.tolist(), free[row, places].tolist(), strict=True))
            found[i] = (order, rows[row])
        return found

    def crossing_texts(self, xy: Floats, rows: Floats, on: Bools) -> Bools:
        """Which of the rooms in `on` (labels by rooms, with the labels' points
        `xy` and rows as candidates has them) a leader line reaches only across
        a drawn text: most lines from a crowd do. Each line is tested only with
        the texts that reach into its bounds, all labels' lines at once."""
        crossed = np.zeros(on.shape, bool)
        texts = self.rooms
        label, room = np.nonzero(on)
        if not len(label) or not len(texts):
            return crossed
        x, y, edges = xy[label, 0], xy[label, 1], rows[label, room]
        ex = np.minimum(np.maximum(x, edges[:, 2]), edges[:, 4])
        ey = np.minimum(np.maximum(y, edges[:, 3]), edges[:, 5])
        ends = np.column_stack((x, y, ex, ey))
        x0, x1 = np.minimum(x, ex) - 1.0, np.maximum(x, ex) + 1.0
        y0, y1 = np.minimum(y, ey) - 1.0, np.maximum(y, ey) + 1.0
        # The texts near all of a label's lines (label, text), then each of
        # those pairs once for every line of the label (line, text).
        counts = np.bincount(label)
        with_lines = np.flatnonzero(counts)
        first = (np.cumsum(counts) - counts)[with_lines]
        l, t = np.minimum.reduceat(x0, first)[:, None], np.minimum.reduceat(y0, first)[:, None]
        r, b = np.maximum.reduceat(x1, first)[:, None], np.maximum.reduceat(y1, first)[:, None]
        near = (texts[:, 2] > l) & (r > texts[:, 0]) & (texts[:, 3] > t) & (b > texts[:, 1])
        owner, text = np.nonzero(near)
        lines_of = counts[with_lines][owner]
        pair = np.repeat(np.arange(len(owner)), lines_of)
        nth = np.arange(len(pair)) - np.repeat(np.cumsum(lines_of) - lines_of, lines_of)
        line = first[owner][pair] + nth
        box = texts[text[pair]]
        keep = (box[:, 2] > x0[line]) & (x1[line] > box[:, 0])
        keep &= (box[:, 3] > y0[line]) & (y1[line] > box[:, 1])
        line = line[keep]
        hits = line[crossing_pairs(ends[line], box[keep])]
        crossed[label[hits], room[hits]] = True
        return crossed

    def free(self, i: int, box: Box, sure: bool) -> bool:
        """Whether label i's text may go in the room, claims of this round aside."""
        if sure:
            return not self.since.hit(box)
        scene, drawn = self.scene, self.drawn
        return not (
            scene.marker_index.hit_ranked(box, scene.rank[i])
            or drawn.text_index.hit(box)
            or drawn.shown_markers.hit(box)
            or scene.is_blocked(box)
        )

    def find(self, i: int, rooms: Rooms, tried: set[int]) -> Box | None:
        """The first of label i's rooms (as candidates gives them) where its text
        may go and that no claim of this round takes, with a leader line that the
        rules allow and that crosses no claimed room or line; rooms in `tried`
        (places in the search) are passed over. The room found is claimed and
        tried, its line kept. Returns the anchor's object box, or None."""
        point = self.scene.points[i]
        order, rows = rooms
        for k, sure in order:
            if k in tried:
                continue
            ax, ay, *edges = rows[k].tolist()
            box = (edges[0], edges[1], edges[2], edges[3])
            if not self.free(i, box, sure) or self.claims.hit(box) or self.lines.cross(box):
                continue
            line = leader_line(point, box)
            if self.claims.crossed_by(line) or self.lines.crossed_by(line):
                continue
            if not self.rules.line_fits(i, line):
                continue
            self.claims.add(apart(box, self.scene.gap))
            self.lines.add(line)
            tried.add(k)
            cx, cy = int(ax), int(ay)
            return (cx - 1, cy - 1, cx + 1, cy + 1)
        return None


class LeaderSearch:
    """Leader lines for the labels of each tier that found no room beside their
    point, out to `reach`."""

    def __init__(self, scene: Scene, reach: float) -> None:
        self.scene, self.reach = scene, reach
        self.rings = Rings.about(reach, scene.line_height)
        # What is taken only grows, tier after tier: marked once, as it comes.
        if scene.blocked is not None:
            self._taken = scene.blocked.coarse(_TAKEN_SIDE)
        else:
            self._taken = Coverage(scene.width, scene.height, _TAKEN_SIDE)
        self._ranks = self._texts = 0
        self._shown: set[int] = set()

    def taken(self, drawn: Drawn, last: int) -> Coverage:
        """The squares that markers up to rank `last`, obstacles, drawn texts and
        the markers of drawn labels reach into."""
        scene, taken = self.scene, self._taken
        taken.mark_many(scene.ranked_markers(self._ranks, last + 1))
        taken.mark_many(np.array([apart(box, scene.gap) for box in drawn.texts[self._texts :]]))
        shown = drawn.shown - self._shown
        taken.mark_many(np.array([scene.markers[i] for i in shown], float))
        self._ranks, self._texts = max(self._ranks, last + 1), len(drawn.texts)
        self._shown |= shown
        return taken

    def place(self, drawn: Drawn, rules: Rules, waiting: list[int]) -> None:
        """Rounds of search and placement for the waiting labels of one tier."""
        scene = self.scene
        tried: dict[int, set[int]] = {i: set() for i in waiting}
        last = max((scene.rank[i] for i in waiting), default=-1)
        taken = self.taken(drawn, last)
        texts, shown = len(drawn.texts), set(drawn.shown)
        for _ in range(_ROUNDS):
            # What this tier's rounds drew, which `taken` does not hold.
            since = BoxIndex[Box](scene.cell)
            for box in drawn.texts[texts:]:
                since.add(apart(box, scene.gap))
            for j in drawn.shown - shown:
                since.add(scene.markers[j])
            search = RoomSearch(scene, drawn, rules, taken, since)
            anchors: dict[int, Box] = {}
            chosen = []
            for start in range(0, len(waiting), _SEARCHED_AT_ONCE):
                some = waiting[start : start + _SEARCHED_AT_ONCE]
                longest = np.array([self.longest(i) for i in some], float)
                for i, rooms in search.candidates(some, self.rings, longest).items():
                    found = search.find(i, rooms, tried[i])
                    if found is not None:
                        anchors[i] = found
                        chosen.append(i)
            if not chosen:
                break
            self.round(drawn, rules, chosen, anchors)
            waiting = [i for i in chosen if i not in drawn.shown]

    def rooms_of(self, i: int) -> Floats:
        """Label i's text at its own size in the rooms of the search (in its order)
        that lie on the canvas and within reach, whatever takes them: rows of
        boxes."""
        scene = self.scene
        m = scene.measure(scene.texts[i], scene.sizes[i])
        unit = (-1.0, -1.0, 1.0, 1.0)
        h = m.height + m.baseline
        rooms = np.array([anchor_rooms(unit, m.width, h, scene.pad_x, scene.pad_y)], float)
        xy = np.array([scene.points[i]], float)
        half = np.array([half_size(scene.markers[i])])
        _, _, x0, y0, x1, y1, on = self.rings.place(scene, xy, rooms, half, [self.longest(i)])
        found: Floats = np.column_stack((x0[on], y0[on], x1[on], y1[on]))
        return found

    def longest(self, i: int) -> float:
        """How long label i's leader line may be."""
        return self.reach + half_size(self.scene.markers[i])

    def round(self, drawn: Drawn, rules: Rules, chosen: list[int], anchors: dict[int, Box]) -> None:
        """Places the chosen labels about their anchors in one engine round and
        draws those that the rules allow, with their lines."""
        scene = self.scene
        placed = solve_round(scene, chosen, anchors, drawn, own=False)
        for i in chosen:
            away = scene.measured_box(i, placed[i])
            if away is None:
                continue
            line = leader_line(scene.points[i], away)
            if math.hypot(line[2] - line[0], line[3] - line[1]) > self.longest(i):
                continue
            if rules.fits(i, away, line):
                drawn.place(i, placed[i], away)
                rules.draw(i, line)
