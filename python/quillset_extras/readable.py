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

from numpy.typing import ArrayLike

import quillset

from .choose import choose_readable, priority_order
from .engine_round import (
    LARGEST_SIZE,
    OBSTACLE,
    SMALLEST_SIZE,
    EngineRound,
    config_copy,
    text_box,
)
from .geometry import Box, BoxIndex, Segment, leader_line
from .leaders import default_reach, place_leaders
from .measure import Measurer, Memoized
from .scene import FAR, Drawn, Scene, build_scene, solve_round

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


@dataclass
class Placement:
    """What place_readable decided, in canvas units, per input label."""

    results: list[quillset.LayoutResult | None]
    """the engine's result for every shown label, None for the others"""
    boxes: list[Box | None]
    """where every shown label's text goes (text_box), None for the others"""
    shown: list[int]
    """labels to draw, in input order"""
    hidden: list[int]
    """labels not drawn, in input order"""
    leader_lines: dict[int, Segment] = field(default_factory=dict)
    """the leader line of each label placed away from its point"""
    markers: list[Box] = field(default_factory=list)
    """the point boxes that labels avoid"""


def place_readable(
    width: int,
    height: int,
    points: Sequence[tuple[float, float]],
    texts: Sequence[str],
    measure: Measurer,
    font_size: int,
    *,
    radius: float = 4.0,
    overlap: Literal["allow", "hide"] = "allow",
    priority: ArrayLike | None = None,
    leaders: bool = False,
    max_distance: float | None = None,
    config: quillset.LayoutConfig | None = None,
) -> Placement:
    """Places texts[i] beside points[i] on a `width` x `height` canvas.

    overlap="allow" draws every label that found a place, as the engine placed
    it. overlap="hide" draws a label only when its text overlaps no other drawn
    text and no marker and lies on the canvas, taking labels by `priority`;
    texts side by side keep a share of their height apart, so that two names do
    not read as one. Labels without room beside their point are not sent to the
    engine at all, so dense data costs little, and the engine weighs covering
    anything above shrinking to its smallest tier.

    With `leaders`, labels go in priority tiers of growing size: a tier first
    keeps the labels that fit beside their point; each of its other labels then
    looks for room farther away, on rings about its point out to `max_distance`,
    nearest first, where its smallest size fits free of markers, drawn texts and
    the room found by more important labels, with a leader line (from the point
    to the nearest point of the text) that crosses no drawn text. An engine round
    places the labels about the anchors found, and a label is drawn under the
    rule above when also its line crosses no drawn text and no drawn line
    crosses its text. See quillset_extras.leaders.

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
    font_size : int
        The labels' size in the measurer's units; the engine also tries its
        smaller tiers, never below 9.
    radius : float, default: 4.0
        Half the side of each point's marker box.
    overlap : {"allow", "hide"}, default: "allow"
        Draw every placed label, or only those that can be read.
    priority : array-like of float or None, default: None
        One number per point, larger first; ties, and everything without it, in
        input order.
    leaders : bool, default: False
        Place labels without room beside their point farther away, with a line
        (needs overlap="hide").
    max_distance : float or None, default: None
        How far leader lines reach; by default a few line heights, at most a
        share of the canvas's longer side.
    config : quillset.LayoutConfig or None, default: None
        The engine's configuration. "allow" uses it as it is; without it, a grid
        suited to the label size and few improvement passes. "hide" picks the grid
        and grows both overlap weights.

    Returns
    -------
    Placement
    """
    _check(width, height, points, texts, font_size, radius, overlap, leaders, max_distance)
    scene = build_scene(
        width,
        height,
        points,
        texts,
        measure if isinstance(measure, Memoized) else Memoized(measure),
        font_size,
        # Beyond this a marker covers any canvas just the same; below it, its
        # edges stay finite in the engine's single precision.
        min(radius, FAR),
        quillset.LayoutConfig() if config is None else config,
        priority_order(len(points), priority),
    )
    if overlap == "allow":
        return finish(scene, place_all(scene, tuned=config is None))
    drawn = place_beside(scene)
    if not leaders:
        shown = choose_readable(
            drawn.boxes,
            scene.order,
            scene.marker_index,
            width,
            height,
            cell=scene.cell,
            gap=scene.gap,
        )
        drawn.shown.update(shown)
        return finish(scene, drawn)
    if max_distance is None:
        reach = default_reach(scene)
    else:
        # No room on the canvas lies farther from a point on it than its diagonal.
        reach = min(max_distance, math.hypot(width, height))
    place_leaders(scene, drawn, reach)
    return finish(scene, drawn)


def _check(
    width: int,
    height: int,
    points: Sequence[tuple[float, float]],
    texts: Sequence[str],
    font_size: int,
    radius: float,
    overlap: str,
    leaders: bool,
    max_distance: float | None,
) -> None:
    if overlap not in ("allow", "hide"):
        raise ValueError(f"overlap must be 'allow' or 'hide', not {overlap!r}")
    if leaders and overlap != "hide":
        raise ValueError("leaders need overlap='hide'")
    if len(points) != len(texts):
        raise ValueError(f"{len(points)} points but {len(texts)} texts")
    if OBSTACLE in texts:
        raise ValueError("a label text is reserved")
    if not SMALLEST_SIZE <= font_size <= LARGEST_SIZE:
        raise ValueError(
            f"place_readable: font_size must be {SMALLEST_SIZE} to {LARGEST_SIZE} in the "
            f"measurer's units, not {font_size!r} (the engine measures no size below "
            f"{SMALLEST_SIZE}: for smaller text, measure in finer units)"
        )
    if not (math.isfinite(radius) and radius >= 0.0):
        raise ValueError(f"place_readable: radius must be 0 or more, not {radius!r}")
    if max_distance is not None and not max_distance > 0.0:
        raise ValueError(f"place_readable: max_distance must be positive, not {max_distance!r}")


def place_all(scene: Scene, tuned: bool) -> Drawn:
    """Every label on the canvas placed by one engine, and drawn where it found a
    place. `tuned`: the caller gave no configuration, so the engine runs with grid
    cells suited to the labels and few passes: on dense data the passes do not
    settle and, after a few, move labels about without making fewer overlaps."""
    config = scene.config
    if tuned:
        config = config_copy(config, gridSize=int(scene.cell), maxIterations=_ALLOW_PASSES)
    engine = EngineRound(scene.width, scene.height, scene.measure, config)
    for i, on in enumerate(scene.on_canvas):
        if on:
            engine.label(i, scene.markers[i], scene.texts[i], scene.font_size)
    drawn = Drawn.empty(len(scene.points))
    for i, result in engine.solve().items():
        drawn.place(i, result, scene.measured_box(i, result))
        if drawn.boxes[i] is not None:
            drawn.shown.add(i)
    return drawn


def place_beside(scene: Scene) -> Drawn:
    """The labels that have room beside their point, placed by one engine round;
    none is drawn yet."""
    drawn = Drawn.empty(len(scene.points))
    first = with_room(scene, [i for i in scene.order if scene.on_canvas[i]])
    for i, result in solve_round(scene, first, scene.objects, (), True).items():
        drawn.place(i, result, scene.measured_box(i, result))
    return drawn


def with_room(scene: Scene, labels: Sequence[int]) -> list[int]:
    """The labels, taken in order, that find room of their smallest size at an
    anchor of their object box: free of markers, of room claimed by labels taken
    before, and on the canvas. Each claims the first room it finds."""
    found = []
    claims = BoxIndex[Box](scene.cell)
    hit, claimed = scene.marker_index.hit, claims.hit
    w, h = scene.width, scene.height
    for i in labels:
        for b in scene.rooms(i, scene.objects[i]):
            if b[0] >= 0.0 and b[1] >= 0.0 and b[2] <= w and b[3] <= h:
                if not hit(b) and not claimed(b):
                    claims.add(b)
                    found.append(i)
                    break
    return found


def finish(scene: Scene, drawn: Drawn) -> Placement:
    """The placement of the labels drawn; the others' results are dropped."""
    for i in range(len(scene.points)):
        if i not in drawn.shown:
            drawn.results[i] = drawn.boxes[i] = None
    return Placement(
        drawn.results,
        drawn.boxes,
        sorted(drawn.shown),
        [i for i in range(len(scene.points)) if i not in drawn.shown],
        drawn.leader_lines,
        scene.markers,
    )
