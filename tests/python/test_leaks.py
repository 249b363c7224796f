"""Long use leaks nothing: references taken from the caller's objects are given back,
also on every error path, and many rounds on one engine, or many engines, leave
resident memory and the interpreter's object count flat."""

import gc
import os
import sys
import weakref
from pathlib import Path

import pytest

from quillset import LayoutConfig, Quillset, TextSize

# Under AddressSanitizer freed memory sits in quarantine and resident memory means
# little; fewer rounds run there, for the sanitizer's own checks.
ASAN = "libasan" in Path("/proc/self/maps").read_text()
ROUNDS = 10_000 if ASAN else 100_000
RSS_SLACK = 1 << 20


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(text, size):
    """Answers every text but the three that name a failure."""
    if text == "raise":
        raise ValueError(text)
    return {"none": None, "tuple": (46, 12, 4)}.get(text, SIZE)


SIZE = TextSize(46, 12, 4)
FAILURES = [
    ("raise", ValueError),
    ("none", TypeError),
    ("tuple", RuntimeError),
    (b"\xff", UnicodeDecodeError),
    ("nested", RuntimeError),
]


def test_references_are_given_back_after_failures():
    text, cfg = " ".join(["label", "text"]), LayoutConfig()  # a str of its own, not interned
    engine = None

    def nesting(t, size):
        if t == "nested":
            engine().add(0, 0, 10, 10, "inner", 16)
        return measure(t, size)

    watched = (nesting, SIZE, text, cfg)
    before = [sys.getrefcount(o) for o in watched]
    for bad in (None, 42, "config"):  # fails after measure_func was converted
        try:
            Quillset(1000, 1000, nesting, bad)
        except TypeError:
            pass
        else:
            raise AssertionError(bad)
    q = Quillset(1000, 1000, nesting, cfg)
    engine = weakref.ref(q)
    for _ in range(3):
        q.add(100, 100, 300, 200, text, 16)
        for bad, error in FAILURES:
            try:
                q.add(100, 100, 300, 200, bad, 16)
            except error:
                pass
            else:
                raise AssertionError(bad)
        q.set_config(cfg)
        q.solve()
        q.layout()
    assert len(q.layout()) == 3
    del q
    assert engine() is None
    assert [sys.getrefcount(o) for o in watched] == before


def one_engine(n):
    """Rounds of add, solve, layout and clear on one engine, a failed add in each,
    alternating between the grid and the all-pairs scan."""
    configs = [LayoutConfig(), LayoutConfig()]
    configs[0].spatialIndexThreshold = 0
    q = Quillset(1000, 1000, measure)
    for i in range(n):
        q.set_config(configs[i % 2])
        q.add(100 + i % 7, 100, 300, 200, "a", 16)
        q.add(100, 60 + i % 5, 300, 120, "b", 12)
        bad, error = FAILURES[i % 3]
        try:
            q.add(0, 0, 10, 10, bad, 16)
        except error:
            pass
        q.solve()
        assert len(q.layout()) == 2
        q.clear()


def many_engines(n):
    """Engines built, used and dropped, with a failed construction each time."""
    for i in range(n):
        try:
            Quillset(1000, 1000, measure, None)
        except TypeError:
            pass
        q = Quillset(1000 + i % 3, 1000, measure)
        q.add(100, 100, 300, 200, "a", 16)
        q.solve()
        assert len(q.layout()) == 1


@pytest.mark.parametrize("workload, n", [(one_engine, ROUNDS), (many_engines, ROUNDS // 5)])
def test_long_use_stays_flat(workload, n):
    workload(n // 10)  # warm-up: every list and the allocator reach their working size
    gc.collect()
    rss0, objects0 = rss(), len(gc.get_objects())
    workload(n)
    gc.collect()
    rss1, objects1 = rss(), len(gc.get_objects())
    print(
        f"{workload.__name__}: {n} rounds, RSS {rss0 / 2**20:.1f} -> {rss1 / 2**20:.1f} MiB, "
        f"objects {objects0} -> {objects1}"
    )
    assert objects1 <= objects0 + 10
    if not ASAN:
        assert rss1 <= rss0 + RSS_SLACK
