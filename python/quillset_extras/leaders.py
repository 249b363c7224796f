"""Leader lines: labels without room beside their point are drawn farther away,
joined to it by a thin line.

Labels go in priority tiers of growing size. A tier first keeps the labels that
fit beside their point; each of its other labels then searches anchors on rings
about its point for room of its smallest size, and an engine round places the
labels that found one about it. A label the engine placed where it cannot be read
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
    from numpy.typing import NDArray
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.leaders", "pillow") from None

from .choose import choose_readable
from .geometry import Box, BoxIndex, LineIndex, Segment, apart, leader_line
from .grids import Coverage
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
# Rounds per tier: a label that the engine placed where it cannot be read
# searches again in the next round, for another room.
_ROUNDS = 4
# Labels in the first tier; each next tier is this many times larger.
_FIRST_TIER = 16
_TIER_GROWTH = 4


def default_reach(scene: Scene) -> float:
    """How far leader lines reach when the caller does not say."""
    return min(
        _REACH * math.ceil(scene.line_height), _LONGEST_SHARE * max(scene.width, scene.height)
    )


@dataclass(frozen=True)
class Rings:
    """Where the search looks, in order: anchors on circles about a line height
    apart out to the reach, in evenly spread directions on each, and at each
    anchor the sides of it that face away from the point (anchor_rooms' order)."""

    x: Floats
    y: Floats
    side: NDArray[np.int64]

    @classmethod
    def about(cls, radius: float, reach: float, line_height: float) -> Rings:
        steps = []
        circles = max(1, math.floor(reach / line_height))
        for k in range(1, circles + 1):
            r = radius + reach * k / circles
            for d in range(_DIRECTIONS):
                dx = math.sin(2.0 * math.pi * d / _DIRECTIONS)
                dy = -math.cos(2.0 * math.pi * d / _DIRECTIONS)
                faces = (dy < -_FACING, dx > _FACING, dy > _FACING, dx < -_FACING)
                steps += [(r * dx, r * dy, side) for side in range(4) if faces[side]]
        return cls(
            np.array([s[0] for s in steps]),
            np.array([s[1] for s in steps]),
            np.array([s[2] for s in steps], np.int64),
        )


class RoomSearch:
    """One round's search for room away from the points: what is drawn, and what
    the labels searched before in this round have claimed."""

    def __init__(self, scene: Scene, drawn: Drawn, dots: Coverage, longest: float) -> None:
        self.scene, self.longest = scene, longest
        gap, cell = scene.gap, scene.cell
        self.taken = dots.copy()
        self.taken.mark(apart(box, gap) for box in drawn.texts)
        self.drawn = BoxIndex[Box](cell)
        for box in drawn.texts:
            self.drawn.add(apart(box, gap))
        self.claims = BoxIndex[Box](cell)
        self.lines = LineIndex(cell)
        for line in drawn.leader_lines.values():
            self.lines.add(line)

    def candidates(
        self, i: int, rings: Rings
    ) -> tuple[list[tuple[int, bool]], NDArray[np.float64]]:
        """The rooms about label i's point on the canvas and within reach, that no
        marker or drawn text surely takes: (place in the search, surely free), and
        every room's anchor and box as rows (x, y, left, top, right, bottom)."""
        scene = self.scene
        x, y = scene.points[i]
        rooms = np.array(scene.rooms(i, (-1.0, -1.0, 1.0, 1.0)))
        # Whole units: the engine's object box then is the anchor's own.
        ax, ay = np.rint(x + rings.x), np.rint(y + rings.y)
        room = rooms[rings.side]
        x0, y0, x1, y1 = ax + room[:, 0], ay + room[:, 1], ax + room[:, 2], ay + room[:, 3]
        reached = np.hypot(np.clip(x, x0, x1) - x, np.clip(y, y0, y1) - y) <= self.longest
        on = np.flatnonzero(
            (x0 >= 0.0) & (y0 >= 0.0) & (x1 <= scene.width) & (y1 <= scene.height) & reached
        )
        held, free = self.taken.classify(x0[on], y0[on], x1[on], y1[on])
        order = list(zip(on[~held].tolist(), free[~held].tolist(), strict=True))
        return order, np.column_stack((ax, ay, x0, y0, x1, y1))

    def find(self, i: int, rings: Rings, tried: set[int]) -> Box | None:
        """The first room of the search about label i's point that is free of
        markers, drawn texts and claims, whose leader line crosses no drawn or
        claimed text, and that no line crosses; rooms in `tried` (places in the
        search) are passed over. The room found is claimed and tried, its line
        kept. Returns the anchor's object box, or None."""
        point = self.scene.points[i]
        hit = self.scene.marker_index.hit
        order, rows = self.candidates(i, rings)
        for k, sure in order:
            if k in tried:
                continue
            ax, ay, *edges = rows[k].tolist()
            box = (edges[0], edges[1], edges[2], edges[3])
            if not sure and (hit(box) or self.drawn.hit(box)):
                continue
            if self.claims.hit(box):
                continue
            line = leader_line(point, box)
            if self.drawn.crossed_by(line) or self.claims.crossed_by(line) or self.lines.cross(box):
                continue
            self.claims.add(apart(box, self.scene.gap))
            self.lines.add(line)
            tried.add(k)
            cx, cy = int(ax), int(ay)
            return (cx - 1, cy - 1, cx + 1, cy + 1)
        return None


def leader_round(
    scene: Scene,
    drawn: Drawn,
    chosen: list[int],
    anchors: list[Box],
    search: RoomSearch,
) -> None:
    """Places the chosen labels about their anchors in one engine round, with the
    drawn texts as obstacles, and draws those that can be read, with their lines."""
    placed = solve_round(scene, chosen, anchors, (search.drawn,), False)
    trial: list[Box | None] = [None] * len(scene.points)
    lines: list[Segment | None] = [None] * len(scene.points)
    for i, result in placed.items():
        away = scene.measured_box(i, result)
        if away is None:
            continue
        line = leader_line(scene.points[i], away)
        if math.hypot(line[2] - line[0], line[3] - line[1]) > search.longest:
            continue
        trial[i], lines[i] = away, line
    kept = choose_readable(
        trial,
        chosen,
        scene.marker_index,
        scene.width,
        scene.height,
        drawn=drawn.texts,
        lines=lines,
        drawn_lines=list(drawn.leader_lines.values()),
        cell=scene.cell,
        gap=scene.gap,
    )
    for i in kept:
        drawn.place(i, placed[i], trial[i])
        drawn.show(i, lines[i])


def place_leaders(scene: Scene, drawn: Drawn, reach: float) -> None:
    """Draws the labels by priority tiers, each beside its point where it fits and
    with a leader line up to `reach` away where it does not."""
    longest = reach + scene.radius
    rings = Rings.about(scene.radius, reach, scene.line_height)
    dots = Coverage(scene.width, scene.height)
    dots.mark(scene.markers)
    ranked = [i for i in scene.order if scene.on_canvas[i]]
    start, tier_size = 0, _FIRST_TIER
    while start < len(ranked):
        tier = ranked[start : start + tier_size]
        start, tier_size = start + tier_size, tier_size * _TIER_GROWTH
        for i in choose_readable(
            drawn.boxes,
            tier,
            scene.marker_index,
            scene.width,
            scene.height,
            drawn=drawn.texts,
            drawn_lines=list(drawn.leader_lines.values()),
            cell=scene.cell,
            gap=scene.gap,
        ):
            drawn.show(i)
        waiting = [i for i in tier if i not in drawn.shown]
        tried: dict[int, set[int]] = {i: set() for i in waiting}
        for _ in range(_ROUNDS):
            search = RoomSearch(scene, drawn, dots, longest)
            anchors = list(scene.objects)
            chosen = []
            for i in waiting:
                found = search.find(i, rings, tried[i])
                if found is not None:
                    anchors[i] = found
                    chosen.append(i)
            if not chosen:
                break
            leader_round(scene, drawn, chosen, anchors, search)
            waiting = [i for i in chosen if i not in drawn.shown]
