"""Threads: engines used side by side in several threads, and one engine shared by
threads that serialise their calls with their own lock, give exactly what the same
calls give on one thread. The measuring callable yields, so that other threads run
in the middle of an add."""

import random
import sys
import threading
import time

import pytest

from quillset import LayoutConfig, Quillset, TextSize

THREADS = 4


@pytest.fixture(autouse=True)
def eager_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def measure(text, size):
    time.sleep(0)  # lets the other threads run in the middle of this add
    if text.startswith("raise"):
        raise ValueError(text)
    return TextSize(len(text) * size // 2, size, size // 4)


def script(seed, n=300):
    """A reproducible mix of calls: mostly adds, some failing, with solves, layouts,
    reconfigurations between grid and scan, and clears."""
    rnd = random.Random(seed)
    configs = [LayoutConfig(), LayoutConfig()]
    configs[1].spatialIndexThreshold = 0
    ops = []
    for i in range(n):
        k = rnd.random()
        if k < 0.6:
            x, y = rnd.uniform(-50, 950), rnd.uniform(-50, 950)
            box = (x, y, x + rnd.uniform(0, 200), y + rnd.uniform(0, 100))
            text = ("raise" if rnd.random() < 0.1 else "") + f"label {seed}.{i}"
            ops.append(("add", *box, text, rnd.choice([8, 9, 12, 16, 40])))
        elif k < 0.75:
            ops.append(("solve",))
        elif k < 0.9:
            ops.append(("layout",))
        elif k < 0.95:
            ops.append(("set_config", rnd.choice(configs)))
        else:
            ops.append(("clear",))
    return ops


def call(q, op):
    try:
        out = getattr(q, op[0])(*op[1:])
    except ValueError as e:
        return str(e)
    if op[0] == "layout":
        return [(r.left, r.top, r.width, r.height, r.fontSize, r.textAscent) for r in out]
    return out


def run_threads(target):
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS

    def body(i):
        barrier.wait()
        results[i] = target(i)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def test_engines_in_parallel_threads():
    def own_engine(i):
        q = Quillset(1000, 1000, measure)
        return q, [call(q, op) for op in script(i)]

    refs = sys.getrefcount(measure)
    results = run_threads(own_engine)
    assert sys.getrefcount(measure) == refs + THREADS
    for i, (q, outcomes) in enumerate(results):
        alone = Quillset(1000, 1000, measure)
        assert outcomes == [call(alone, op) for op in script(i)]
        assert call(q, ("layout",)) == call(alone, ("layout",))
    del results, q, alone
    assert sys.getrefcount(measure) == refs  # engines built in threads, dropped here


def test_one_engine_shared_under_a_lock():
    q, lock, log = Quillset(1000, 1000, measure), threading.Lock(), []

    def share(i):
        for op in script(100 + i, 150):
            with lock:
                log.append((op, call(q, op)))
            time.sleep(0)  # without it one thread tends to take the lock again at once

    run_threads(share)
    assert len(log) == THREADS * 150
    # Replaying the calls in the order that the lock admitted them gives the same.
    alone = Quillset(1000, 1000, measure)
    assert [call(alone, op) for op, _ in log] == [outcome for _, outcome in log]
    assert call(q, ("layout",)) == call(alone, ("layout",))
