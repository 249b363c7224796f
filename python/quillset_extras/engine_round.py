"""The companion's way into the engine: one engine per round of labels and
obstacles, measured through one cache, and the engine's own rules that the
companion must agree with (object boxes, anchor rooms, the sizes it measures).

Obstacles reach the engine as labels whose measured box has zero size at their
object: candidates of the real labels that cover the object pay for it, while the
obstacle itself overlaps nothing. Unlike the fallback box at the canvas origin,
such boxes do not all share one grid cell.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

from ._optional import missing

try:
    import numpy as np
    from numpy.typing import NDArray
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.engine_round", "pillow") from None

import quillset

from .geometry import Box
from .measure import Measurer
from .quality import is_fallback, object_box

# The text of an obstacle; no label may use it.
OBSTACLE = "\x00quillset-obstacle\x00"
_OBSTACLE_SIZE = 9
# The engine measures a label at its base size and at smaller tiers down to this
# share of it, never below SMALLEST_SIZE; candidates keep sizes in 16 bits.
SMALLEST_SCALE = 0.75
SMALLEST_SIZE = 9
LARGEST_SIZE = 32767

CONFIG_FIELDS = tuple(name for name in vars(quillset.LayoutConfig) if not name.startswith("_"))
"""The fields of LayoutConfig, as the module defines them."""


def config_copy(config: quillset.LayoutConfig, **changes: Any) -> quillset.LayoutConfig:
    """A new LayoutConfig with the fields of `config`, then `changes`."""
    copy = quillset.LayoutConfig()
    for name in CONFIG_FIELDS:
        setattr(copy, name, changes[name] if name in changes else getattr(config, name))
    return copy


def smallest_size(font_size: int) -> int:
    """A lower bound of the smallest size at which the engine measures a label of
    `font_size`."""
    return max(min(font_size, SMALLEST_SIZE), math.floor(font_size * SMALLEST_SCALE))


# A width that no canvas holds: what a label measures at a size it may not take,
# so that the engine has no candidate of that size.
_NOWHERE = 1 << 30


class EngineRound:
    """One engine for one round: labels under keys of the caller's, and obstacles.
    With `one_size`, labels are placed at their own size only, never at the
    engine's smaller tiers."""

    def __init__(
        self,
        width: int,
        height: int,
        measure: Measurer,
        config: quillset.LayoutConfig,
        one_size: bool = False,
    ) -> None:
        zero = quillset.TextSize(-2 * config.paddingX, -2 * config.paddingY, 0)
        nowhere = quillset.TextSize(_NOWHERE, 1, 0)
        self._size = 0  # the size of the label being added

        def route(text: str, size: int) -> quillset.TextSize:
            if text == OBSTACLE:
                return zero
            if one_size and size != self._size:
                return nowhere
            return measure(text, size)

        self.engine = quillset.Quillset(width, height, route, config)
        self.keys: list[int] = []

    def label(self, key: int, box: Box, text: str, size: int) -> None:
        self._size = size
        self.engine.add(*box, text, size)
        self.keys.append(key)

    def obstacles(self, boxes: Sequence[Box]) -> None:
        # Thousands a round: the engine's own add, looked up once.
        add = self.engine.add
        for l, t, r, b in boxes:
            add(l, t, r, b, OBSTACLE, _OBSTACLE_SIZE)
        self.keys += [-1] * len(boxes)

    def solve(self) -> dict[int, quillset.LayoutResult]:
        """The result of every label, by key."""
        self.engine.solve()
        return {k: r for k, r in zip(self.keys, self.engine.layout()) if k >= 0}


class ObjectBoxes:
    """object_box of each box, in one conversion to single precision, kept as one
    array of whole units (a list of boxes costs ten times the memory)."""

    def __init__(self, boxes: Sequence[Box], edges: NDArray[np.float64]) -> None:
        """`edges`: the boxes as rows (left, top, right, bottom)."""
        single = edges.astype(np.float32).astype(np.float64)
        rows = np.empty(single.shape, np.int32)  # the edges lie within FAR (1e9)
        rows[:, :2] = np.floor(single[:, :2])
        rows[:, 2:] = np.ceil(single[:, 2:])
        # The engine widens a narrow box first.
        narrow = (single[:, 2] - single[:, 0] < 2.0) | (single[:, 3] - single[:, 1] < 2.0)
        for k in np.flatnonzero(narrow).tolist():
            rows[k] = object_box(*boxes[k])
        self.rows = rows

    def __len__(self) -> int:
        return len(self.rows)

    def __getitem__(self, i: int) -> Box:
        l, t, r, b = self.rows[i].tolist()
        return (l, t, r, b)


def anchor_rooms(obj: Box, w: float, h: float, pad_x: float, pad_y: float) -> list[Box]:
    """Text boxes of w x h at the engine's four anchors of the object box, in its
    order (above, right, below, left): above and below from the object's left
    edge, right and left from its top edge."""
    x0, y0, x1, y1 = obj
    bx, by = x0 + pad_x, y0 + pad_y
    return [
        (bx, y0 - pad_y - h, bx + w, y0 - pad_y),
        (x1 + pad_x, by, x1 + pad_x + w, by + h),
        (bx, y1 + pad_y, bx + w, y1 + pad_y + h),
        (x0 - pad_x - w, by, x0 - pad_x, by + h),
    ]


def text_box(result: quillset.LayoutResult, size: quillset.TextSize) -> Box | None:
    """Where the text of a placed label is drawn: its box inside the padding,
    `size` being what the measurer answered at the result's font size. None for a
    label that found no place."""
    if is_fallback(result):
        return None
    left = result.left + result.padding_x
    top = result.top + result.padding_y
    return (left, top, left + size.width, top + size.height + size.baseline)
