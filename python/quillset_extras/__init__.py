"""Companion of the quillset module: measuring callables, a memoising wrapper,
quality figures of a placement, and helpers for Pillow and matplotlib.

The Pillow helpers live in quillset_extras.pillow and the matplotlib helpers in
quillset_extras.mpl, so that neither library is needed to import this package.
"""

from .geometry import Box
from .measure import Measurer, Memoized, fixed_advance
from .quality import (
    Quality,
    is_fallback,
    label_box,
    label_object_pairs,
    object_box,
    overlapping_label_pairs,
    quality,
)
from .weak import weak_measurer

__all__ = [
    "Box",
    "Measurer",
    "Memoized",
    "Quality",
    "fixed_advance",
    "is_fallback",
    "label_box",
    "label_object_pairs",
    "object_box",
    "overlapping_label_pairs",
    "quality",
    "weak_measurer",
]
