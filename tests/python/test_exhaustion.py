"""Memory exhaustion: grids, label lists and engines that do not fit raise MemoryError,
never crash, and leave the engine usable. Each case runs in a child interpreter whose
address space is capped, so that it cannot take the machine's memory."""

import json
import textwrap
from pathlib import Path

import pytest

# AddressSanitizer reserves terabytes of address space for its shadow, so no cap can
# be set under it, and its operator new aborts where the library would throw.
pytestmark = pytest.mark.skipif(
    "libasan" in Path("/proc/self/maps").read_text(),
    reason="address-space caps need the plain allocator",
)

PRELUDE = """
import json, resource, sys
from quillset import LayoutConfig, Quillset, TextSize

def vm_size():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))

def cap(extra):  # the soft limit only, so that uncap can lift it again
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + extra, resource.RLIM_INFINITY))

def uncap():
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)

def measure(text, size):
    return TextSize(6, 12, 4)

def scene(q):
    for i in range(30):
        q.add(100 + 20 * i, 100 + 25 * i, 900 - 10 * i, 900 - 5 * i, "label", 100)
    q.solve()
    return [(r.left, r.top, r.width, r.height, r.fontSize) for r in q.layout()]

def config(**fields):
    c = LayoutConfig()
    for k, v in fields.items():
        setattr(c, k, v)
    return c
"""

CASES = {
    # An object over 19,901 x 19,901 cells of 1 needs 396 million registrations, over
    # 6 GB of grid, though the canvas's 10^12 cells cost nothing.
    "grid": (
        """
        q = Quillset(10**6, 10**6, measure, config(gridSize=1, spatialIndexThreshold=0))
        q.add(100, 100, 20000, 20000, "label", 16)
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.RLIM_INFINITY))
        failed = 0
        for _ in range(2):  # the failed attempt grew nothing that lets the next one pass
            try:
                q.solve()
            except MemoryError:
                failed += 1
        q.clear()
        q.set_canvas_size(1000, 1000)
        got = scene(q)
        uncap()
        fresh = Quillset(1000, 1000, measure, config(gridSize=1, spatialIndexThreshold=0))
        print(json.dumps([failed, got == scene(fresh)]))
    """,
        [2, True],
    ),
    # Labels of 240 candidates each until the candidate list cannot grow.
    "labels": (
        """
        q = Quillset(1000, 1000, measure)
        cap(64 << 20)
        added, failed = 0, 0
        while failed < 2 and added < 100000:  # a failure, and a retry under the same cap
            try:
                q.add(100, 100, 900, 900, "label", 100)
                added += 1
            except MemoryError:
                failed += 1
        uncap()
        count = len(q.layout())
        q.clear()
        same = scene(q) == scene(Quillset(1000, 1000, measure))
        print(json.dumps([failed, count - added, same]))
    """,
        [2, 0, True],
    ),
    # Engines built with ever more room: the first ones cannot reserve their lists.
    "engines": (
        """
        before = sys.getrefcount(measure)
        failed, refs = 0, set()
        for extra in range(0, 4 << 20, 16 << 10):
            cap(extra)
            try:
                q = Quillset(1000, 1000, measure)
                break
            except MemoryError:
                failed += 1
            refs.add(sys.getrefcount(measure) - before)
        uncap()
        same = scene(q) == scene(Quillset(1000, 1000, measure))
        print(json.dumps([failed > 0, sorted(refs), same]))
    """,
        [True, [0], True],
    ),
}


@pytest.mark.parametrize("code, expected", CASES.values(), ids=CASES)
def test_exhaustion_raises_memory_error_and_keeps_the_engine(run_python, code, expected):
    proc = run_python(PRELUDE + textwrap.dedent(code))
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout.splitlines()[-1]) == expected
