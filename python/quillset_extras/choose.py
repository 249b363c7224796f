"""Which placed labels to draw: every drawn text can be read, the more important
labels first."""

from __future__ import annotations

import math
from collections.abc import Iterable, Iterator, Sequence

from ._optional import missing

try:
    import numpy as np
    from numpy.typing import ArrayLike
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.choose", "pillow") from None

from .geometry import Box, BoxIndex, LineIndex, Segment, apart, bounds, crosses, inside, widened
from .scene import Drawn, Scene


def choose_readable(
    boxes: Sequence[Box | None],
    order: Iterable[int],
    markers: Sequence[Box] | BoxIndex[Box],
    width: float,
    height: float,
    *,
    drawn: Sequence[Box] = (),
    lines: Sequence[Segment | None] | None = None,
    drawn_lines: Sequence[Segment] = (),
    cell: float = 32.0,
    gap: float = 0.0,
) -> list[int]:
    """The labels to draw so that every drawn text can be read.

    Labels are taken in `order`, most important first, and label i is kept when
    its box lies inside the canvas, overlaps no box of a label kept before, no
    marker (its own point's included) and no text already drawn.

    Parameters
    ----------
    boxes : sequence of (left, top, right, bottom) or None
        Where each label's text would be drawn (see text_box); None for a label
        without a place.
    order : iterable of int
        The labels to consider, most important first.
    markers : sequence of boxes, or BoxIndex
        Boxes that no text may overlap.
    width, height : float
        The canvas.
    drawn : sequence of boxes, default: ()
        Texts already on the canvas.
    lines : sequence of segments or None, default: None
        lines[i] is label i's leader line (or None): a kept label's line then
        crosses no kept or drawn text but its own, and no kept line nor any of
        `drawn_lines` crosses its text.
    drawn_lines : sequence of segments, default: ()
        Leader lines already on the canvas.
    cell : float, default: 32.0
        Cell size of the indexes, about a label's size.
    gap : float, default: 0.0
        Room that texts keep free on their left and right, so that two texts side
        by side do not read as one.

    Returns
    -------
    list of int
        The kept labels, in the order in which they were taken.
    """
    taken = BoxIndex[Box](cell)
    for text in drawn:
        taken.add(apart(text, gap))
    if isinstance(markers, BoxIndex):
        obstacles = markers
    else:
        obstacles = BoxIndex[Box](cell)
        for marker in markers:
            obstacles.add(marker)
    kept_lines = LineIndex(cell)
    for line in drawn_lines:
        kept_lines.add(line)
    kept = []
    for i in order:
        box = boxes[i]
        if box is None or not inside(box, width, height):
            continue
        if taken.hit(box) or obstacles.hit(box):
            continue
        leader = None if lines is None else lines[i]
        if kept_lines.cross(box) or (leader is not None and taken.crossed_by(leader)):
            continue
        taken.add(apart(box, gap))
        if leader is not None:
            kept_lines.add(leader)
        kept.append(i)
    return kept


def priority_order(count: int, priority: ArrayLike | None) -> list[int]:
    """Indices from the most important to the least: larger priority first, ties
    (and everything when `priority` is None) in input order."""
    if priority is None:
        return list(range(count))
    array = np.asarray(priority, dtype=float)
    if array.ndim != 1:
        raise ValueError(f"priority must hold one number per point, not {array.ndim} axes")
    values: list[float] = array.tolist()
    if len(values) != count:
        raise ValueError(f"{count} points but {len(values)} priorities")
    if any(math.isnan(v) for v in values):
        raise ValueError("priority holds NaN")
    return sorted(range(count), key=lambda i: -values[i])


# Leader lines may pass over obstacles this close to their own point's marker.
_LEAVING = 3.0
# Leader lines drawn where texts moved aside keep this far from the markers they
# may not pass over: a line that grazes a dot reads as touching it. (For every
# leader line, a clearance this small drew 5 fewer labels of 142 on a map.)
_CLEARANCE = 0.5


# Labels in the first priority tier; each next tier is this many times larger.
_FIRST_TIER = 16
_TIER_GROWTH = 4


def priority_tiers(ranked: Sequence[int]) -> Iterator[list[int]]:
    """The labels, most important first, in tiers of growing size: each tier
    takes its room before a less important one takes any, and the first tiers
    are small, so that the most important labels go first of all."""
    start, size = 0, _FIRST_TIER
    while start < len(ranked):
        yield list(ranked[start : start + size])
        start, size = start + size, size * _TIER_GROWTH


class Rules:
    """Whether a label may be drawn where it was placed, by the rules of a careful
    map-maker, given what is drawn already (labels are taken most important
    first). Its text lies on the canvas and covers no drawn text (nor the room
    beside it), no obstacle, no marker of a more important point, of a point
    whose label is drawn, or its own; its own marker is covered by no drawn text
    and crossed by no drawn leader line; no drawn leader line crosses its text.
    A text may cover the markers of less important points: their labels then
    stay hidden. A leader line crosses no drawn text, no other leader line, no
    obstacle box and no marker that the text could not cover; it may cross the
    obstacle mask (drawn lines and fills)."""

    def __init__(self, scene: Scene, drawn: Drawn) -> None:
        self.scene, self.drawn = scene, drawn

    def text_fits(self, i: int, box: Box) -> bool:
        return self.place_fits(i, box) and self.marker_free(i)

    def place_fits(self, i: int, box: Box) -> bool:
        """text_fits but for the label's own marker, which is the same at every
        place."""
        scene, drawn = self.scene, self.drawn
        if not inside(box, scene.width, scene.height):
            return False
        if drawn.text_index.hit(box) or scene.is_blocked(box):
            return False
        if scene.marker_index.hit_ranked(box, scene.rank[i]) or drawn.shown_markers.hit(box):
            return False
        return not drawn.line_index.cross(box)

    def marker_free(self, i: int) -> bool:
        """Whether no drawn text covers label i's marker and no line crosses it."""
        marker, drawn = self.scene.markers[i], self.drawn
        return not (drawn.ink_index.hit(marker) or drawn.line_index.cross(marker))

    def line_fits(self, i: int, line: Segment) -> bool:
        drawn = self.drawn
        if drawn.text_index.crossed_by(line) or drawn.line_index.crossed_by(line):
            return False
        return self._line_clear(i, line)

    def _line_clear(self, i: int, line: Segment, margin: float = 0.0) -> bool:
        """Whether the line passes over (or within `margin` of) no marker the text
        could not cover, and over no obstacle box."""
        scene, drawn = self.scene, self.drawn
        if scene.marker_index.crossed_ranked(line, scene.rank[i], margin):
            return False
        # Label i is not drawn yet: a drawn marker equal to its own is another
        # point's, at the same place, which the line may not leave over either.
        near = drawn.shown_markers.near(widened(bounds(line), margin))
        if any(crosses(line, widened(m, margin) if margin else m) for m in near):
            return False
        own = scene.markers[i]
        # Obstacle boxes (texts, the legend, other markers, bars), apart from
        # where it leaves its own point, which may sit on one. Drawn lines and
        # fills (the mask) it may cross, as a map's leaders cross roads.
        start = (own[0] - _LEAVING, own[1] - _LEAVING, own[2] + _LEAVING, own[3] + _LEAVING)
        boxes = scene.boxes_blocked
        return boxes is None or not boxes.touches_line(line, start)

    def fits_but_texts(self, i: int, box: Box, line: Segment) -> bool:
        """fits, but for the drawn texts (which may move) and the label's own
        marker; the line keeps clear of the markers it may not pass over."""
        scene, drawn = self.scene, self.drawn
        if not inside(box, scene.width, scene.height) or scene.is_blocked(box):
            return False
        if scene.marker_index.hit_ranked(box, scene.rank[i]) or drawn.shown_markers.hit(box):
            return False
        if drawn.line_index.cross(box) or drawn.line_index.crossed_by(line):
            return False
        return self._line_clear(i, line, _CLEARANCE)

    def fits(self, i: int, box: Box, line: Segment | None = None) -> bool:
        return self.text_fits(i, box) and (line is None or self.line_fits(i, line))

    def draw(self, i: int, line: Segment | None = None) -> None:
        self.drawn.show(i, self.scene.markers[i], line)
