"""The scene that the readable-label stages share: the canvas, the points with
their texts and markers, how labels are measured, and the indexes built over the
markers; and the labels drawn so far, which the stages fill in turn.

Everything is in the engine's canvas units (x to the right, y downward).
"""

from __future__ import annotations

import functools
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

import quillset

from .engine_round import (
    EngineRound,
    anchor_rooms,
    config_copy,
    object_boxes,
    smallest_size,
    text_box,
)
from .geometry import Box, BoxIndex, Segment
from .grids import MarkerIndex
from .measure import Memoized
from .quality import is_fallback

FAR = 1e9
"""Points farther off the canvas than this (or not finite) are moved here: they
get no label and block nothing."""

# With "hide" a label that covers anything is not drawn at all: covering must
# cost more than shrinking to the smallest tier, so both overlap weights grow by
# this factor.
_HIDE_WEIGHT = 100.0
# Drawn texts side by side keep this share of the text height apart.
_GAP = 0.2


def grid_cell(line_height: float) -> float:
    """Cells about two line heights wide, for the engine's grid and the indexes:
    a label's box spans few of them, and few labels share one."""
    return max(8.0, 2.0 * line_height)


@dataclass
class Scene:
    """A canvas with points to label, and what the stages derive from them."""

    width: int
    height: int
    points: list[tuple[float, float]]
    """each point, moved to (-FAR, -FAR) when far off the canvas or not finite"""
    texts: list[str]
    measure: Memoized
    font_size: int
    radius: float
    """half the side of each point's marker box"""
    config: quillset.LayoutConfig
    """the caller's configuration (or the default)"""
    order: list[int]
    """labels from the most important to the least"""

    @functools.cached_property
    def on_canvas(self) -> list[bool]:
        w, h = self.width, self.height
        return [0.0 <= x <= w and 0.0 <= y <= h for x, y in self.points]

    @functools.cached_property
    def markers(self) -> list[Box]:
        r = self.radius
        return [(x - r, y - r, x + r, y + r) for x, y in self.points]

    @functools.cached_property
    def objects(self) -> list[Box]:
        """The markers as the engine stores its object boxes."""
        return object_boxes(self.markers)

    @functools.cached_property
    def text_height(self) -> int:
        full = self.measure("Hg", self.font_size)
        return full.height + full.baseline

    @property
    def pad_x(self) -> float:
        return float(self.config.paddingX)

    @property
    def pad_y(self) -> float:
        return float(self.config.paddingY)

    @property
    def line_height(self) -> float:
        """A label's height at full size, padding included."""
        return self.text_height + 2 * self.pad_y

    @property
    def cell(self) -> float:
        return grid_cell(self.line_height)

    @property
    def gap(self) -> float:
        """The room that drawn texts keep free on their left and right."""
        return _GAP * self.text_height

    @property
    def smallest(self) -> int:
        """The smallest size at which a label may be drawn."""
        return smallest_size(self.font_size)

    @functools.cached_property
    def hide_config(self) -> quillset.LayoutConfig:
        """The engine's configuration where covering anything costs a label its
        place: the overlap weights of `config` grown so that shrinking to the
        smallest tier is always cheaper."""
        return config_copy(
            self.config,
            gridSize=int(self.cell),
            costOccludeObj=self.config.costOccludeObj * _HIDE_WEIGHT,
            costOverlapBase=self.config.costOverlapBase * _HIDE_WEIGHT,
        )

    @functools.cached_property
    def marker_index(self) -> MarkerIndex:
        # Cells about a line high: a label's box spans few of them.
        cell = max(4.0, 2.0 * self.radius, self.line_height)
        return MarkerIndex(cell, self.markers, self.width, self.height)

    def measured_box(self, i: int, result: quillset.LayoutResult) -> Box | None:
        """Where label i's text goes as `result` placed it; None for no place."""
        if is_fallback(result):
            return None
        return text_box(result, self.measure(self.texts[i], result.fontSize))

    def rooms(self, i: int, obj: Box) -> list[Box]:
        """Label i's text at its smallest size at each anchor of `obj`."""
        m = self.measure(self.texts[i], self.smallest)
        return anchor_rooms(obj, m.width, m.height + m.baseline, self.pad_x, self.pad_y)

    def reach_box(self, i: int, obj: Box) -> Box:
        """Where label i's candidates about `obj` can lie, at its full size."""
        full = self.measure(self.texts[i], self.font_size)
        w = full.width + 2 * self.pad_x
        h = full.height + full.baseline + 2 * self.pad_y
        return (obj[0] - w, obj[1] - h, obj[2] + w, obj[3] + h)


def build_scene(
    width: int,
    height: int,
    points: Iterable[tuple[float, float]],
    texts: Sequence[str],
    measure: Memoized,
    font_size: int,
    radius: float,
    config: quillset.LayoutConfig,
    order: list[int],
) -> Scene:
    # A point that is not finite, or absurdly far off the canvas, gets no label
    # and blocks nothing.
    kept = [
        (float(x), float(y)) if abs(x) <= FAR and abs(y) <= FAR else (-FAR, -FAR) for x, y in points
    ]
    return Scene(width, height, kept, list(texts), measure, font_size, radius, config, order)


@dataclass
class Drawn:
    """The labels drawn so far: what the stages decided, per input label."""

    results: list[quillset.LayoutResult | None]
    """the engine's result of each label placed, None for the others"""
    boxes: list[Box | None]
    """where each placed label's text goes, None for the others"""
    shown: set[int] = field(default_factory=set)
    texts: list[Box] = field(default_factory=list)
    """the boxes of the drawn texts, in the order drawn"""
    leader_lines: dict[int, Segment] = field(default_factory=dict)

    @classmethod
    def empty(cls, count: int) -> Drawn:
        return cls([None] * count, [None] * count)

    def place(self, i: int, result: quillset.LayoutResult, box: Box | None) -> None:
        self.results[i], self.boxes[i] = result, box

    def show(self, i: int, line: Segment | None = None) -> None:
        box = self.boxes[i]
        assert box is not None
        self.texts.append(box)
        self.shown.add(i)
        if line is not None:
            self.leader_lines[i] = line


def solve_round(
    scene: Scene,
    chosen: Sequence[int],
    objects: Sequence[Box],
    avoid: Sequence[BoxIndex[Box]],
    own: bool,
) -> dict[int, quillset.LayoutResult]:
    """One engine round for the chosen labels about their `objects`, with the
    markers and the boxes of `avoid` within their reach as obstacles; with `own`,
    a label's object is its own marker, which is then no obstacle."""
    engine = EngineRound(scene.width, scene.height, scene.measure, scene.hide_config)
    near: set[Box] = set()
    for i in chosen:
        reach = scene.reach_box(i, objects[i])
        scene.marker_index.collect(reach, near)
        for more in avoid:
            more.collect(reach, near)
    for i in chosen:
        engine.label(i, objects[i], scene.texts[i], scene.font_size)
        if own:
            near.discard(scene.markers[i])
    for box in sorted(near):
        engine.obstacle(box)
    return engine.solve()
