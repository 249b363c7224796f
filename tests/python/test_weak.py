"""quillset_extras.weak_measurer: an object that holds a Quillset and measures with
its own method goes, with its engine, as soon as nothing else holds it."""

import gc
import weakref

import pytest

from quillset import Quillset, TextSize
from quillset_extras import weak_measurer


class Chart:
    """Holds its engine and measures with a method of its own."""

    def __init__(self, wrap):
        self.engine = Quillset(1000, 1000, wrap(self.measure))

    def measure(self, text, font_size):
        if text == "fail":
            raise KeyError(text)
        return TextSize(len(text) * font_size // 2, font_size, font_size // 4)

    def place(self):
        for i in range(30):
            x, y = 100 + 60 * (i % 6), 100 + 50 * (i // 6)
            self.engine.add(x, y, x + 40, y + 30, f"label {i}", 16)
        self.engine.solve()
        return [repr(r) for r in self.engine.layout()]


def strong(method):
    return method


def unwrapped_placement():
    chart = Chart(strong)
    placement = chart.place()
    del chart.engine  # breaks the cycle
    return placement


@pytest.mark.parametrize("wrap, freed_by", [(strong, None), (weak_measurer, "del")])
def test_cycle_through_the_callable(wrap, freed_by):
    expected = unwrapped_placement()
    chart = Chart(wrap)
    assert chart.place() == expected
    alive = weakref.ref(chart)
    del chart
    if freed_by == "del":
        assert alive() is None  # by reference counting alone, without a collection
    gc.collect()
    assert (alive() is None) == (freed_by is not None)
    if alive() is not None:  # the documented leak: break the cycle by hand
        del alive().engine
        gc.collect()
        assert alive() is None


def test_errors_pass_through_and_a_gone_object_is_reported():
    chart = Chart(weak_measurer)
    with pytest.raises(KeyError, match="fail"):
        chart.engine.add(100, 100, 140, 130, "fail", 16)
    engine = chart.engine
    del chart
    with pytest.raises(ReferenceError, match="no longer exists"):
        engine.add(100, 100, 140, 130, "orphan", 16)
    assert engine.layout() == []
    engine.add(100, 100, 140, 130, "unmeasured", 8)  # below 9: never measured
    assert len(engine.layout()) == 1
