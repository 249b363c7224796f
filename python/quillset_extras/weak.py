"""A measuring callable that refers to its object weakly.

An engine holds its measuring callable strongly, and nothing tells the cyclic
garbage collector about that reference. When the callable is a bound method of an
object that holds the engine, object and engine keep each other alive for ever,
and gc.collect() does not free them. weak_measurer breaks that cycle.
"""

from __future__ import annotations

import weakref
from collections.abc import Callable

import quillset

from .measure import Measurer

__all__ = [
    "weak_measurer",
]


def weak_measurer(method: Callable[[str, int], quillset.TextSize]) -> Measurer:
    """A measurer that calls the bound method `method` through a weak reference to
    its object, so that the object can hold the Quillset that measures with it:

        self.engine = Quillset(w, h, weak_measurer(self.measure))

    The object then goes as soon as nothing else holds it, and its engine with it.
    A call after the object has gone raises ReferenceError, which `add` passes on."""
    ref = weakref.WeakMethod(method)

    def measure(text: str, font_size: int) -> quillset.TextSize:
        bound = ref()
        if bound is None:
            raise ReferenceError("the object of the measuring method no longer exists")
        return bound(text, font_size)

    return measure
