"""Measuring callables for quillset.Quillset: a text and a font size in, a TextSize out."""

from __future__ import annotations

import math
from collections import OrderedDict
from collections.abc import Callable

import quillset

__all__ = [
    "Measurer",
    "Memoized",
    "fixed_advance",
]

Measurer = Callable[[str, int], quillset.TextSize]
"""What Quillset takes as measure_func: (text, font size) -> TextSize."""


def _up(value: float) -> int:
    # Round up, but not for the last-bit noise of a product such as 0.55 * 16 * 5.
    return math.ceil(round(value, 6))


def fixed_advance(advance: float = 0.55, ascent: float = 0.75, descent: float = 0.25) -> Measurer:
    """Font-free metrics, for tests and previews: every character advances by
    `advance` em, and the text reaches `ascent` em above its baseline and `descent`
    em below it. Sizes are rounded up to whole units."""

    def measure(text: str, font_size: int) -> quillset.TextSize:
        return quillset.TextSize(
            _up(advance * font_size * len(text)), _up(ascent * font_size), _up(descent * font_size)
        )

    return measure


class Memoized:
    """Wraps a measurer and answers a repeated (text, font size) from a cache, for
    callers whose texts repeat: the engine itself measures every label anew, up to
    four times. Errors, and answers that are not a TextSize, are not cached; every
    call gets a TextSize of its own, so a caller that changes one changes nothing
    for the next. With `maxsize`, the least recently used entries are dropped
    beyond that many."""

    def __init__(self, measure: Measurer, maxsize: int | None = None) -> None:
        self.measure = measure
        self.maxsize = maxsize
        self.hits = 0
        self.misses = 0
        self._cache: OrderedDict[tuple[str, int], tuple[int, int, int]] = OrderedDict()

    def __call__(self, text: str, font_size: int) -> quillset.TextSize:
        key = (text, font_size)
        found = self._cache.get(key)
        if found is not None:
            self.hits += 1
            self._cache.move_to_end(key)
            return quillset.TextSize(*found)
        size = self.measure(text, font_size)
        self.misses += 1
        if isinstance(size, quillset.TextSize):
            self._cache[key] = (size.width, size.height, size.baseline)
            if self.maxsize is not None and len(self._cache) > self.maxsize:
                self._cache.popitem(last=False)
        return size

    def __len__(self) -> int:
        return len(self._cache)

    def clear(self) -> None:
        """Forgets every cached size and resets the counters."""
        self._cache.clear()
        self.hits = self.misses = 0
