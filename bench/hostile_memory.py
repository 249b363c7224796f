"""Time and peak memory of the companion on inputs whose size is one number: a
leader reach far beyond the canvas, one huge marker, one very long label among
short ones, and measuring random text again and again. Each case runs in a fresh
interpreter under a 3 GiB address space and a time limit.

    python bench/hostile_memory.py [--tree DIR] [--timeout SECONDS]

--tree runs the companion of another checkout (its python/ and build/), so that two
commits can be compared; this checkout by default.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

PRELUDE = """
import math, random, resource, time
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
start = time.perf_counter()
"""
REPORT = """
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(f"{seconds:.2f} s, peak RSS {peak:.0f} MiB{extra}")
"""

REACH = """
from quillset_extras import fixed_advance
from quillset_extras.readable import place_readable
rng = random.Random(4)
points = [(rng.uniform(0, 1000), rng.uniform(0, 700)) for _ in range(300)]
texts = [f"place {{i}}" for i in range(300)]
p = place_readable(1000, 700, points, texts, fixed_advance(), 10, radius=2,
                   overlap="hide", leaders=True, max_distance={reach})
extra = f", {{len(p.shown)}} shown"
"""
MARKER = """
from quillset_extras.readable import choose_readable
shown = choose_readable([({side} * 2 / 3, 10, {side} * 2 / 3 + 10, 20)], [0],
                        [(0, 0, {side}, {side})], 1e13, 1e13)
extra = f", shown {{shown}} (right: [])"
"""
LONG_LABEL = """
from quillset_extras.quality import readability
rng = random.Random(5)
boxes = [(x, y, x + 30, y + 10) for x, y in
         ((rng.uniform(0, 5000), rng.uniform(0, 5000)) for _ in range(10000))]
boxes += [(100, 100, 100 + 6 * {chars}, 112)] if {chars} else []
figures = readability(boxes, [], 5000, 5000)
extra = f", {{figures.text_text}} overlapping pairs"
"""
RANDOM_TEXT = """
from quillset_extras import mpl_measure
from quillset_extras.mpl_measure import FontMeasurer
rng = random.Random(6)
alphabet = [chr(c) for c in range(0x20, 0x250) if chr(c).isprintable()]
for call in range(6):
    measure = FontMeasurer(unit=10)
    for _ in range(3000):
        measure("".join(rng.choice(alphabet) for _ in range(12)), 90)
entries = sum(len(m) for m in mpl_measure._merges.values())
extra = f", {entries} cached pairs after 6 calls"
"""

CASES = [
    *(("leader reach " + r, REACH.format(reach=r)) for r in ("1e3", "1e6", "1e7", "1e300")),
    *(
        (f"one marker {s} x {s}", MARKER.format(side=s))
        for s in ("32000", "64000", "128000", "960000", "1e12")
    ),
    *((f"10,000 labels and one of {c} characters", LONG_LABEL.format(chars=c)) for c in (0, 600)),
    (
        "the issue's marker (0, 0, 960000, 32)",
        """
from quillset_extras.readable import choose_readable
shown = choose_readable([(640000, 10, 640010, 20)], [0], [(0, 0, 960000, 32)], 960032, 100)
extra = f", shown {shown} (right: [])"
""",
    ),
    ("measuring random text, 6 calls", RANDOM_TEXT),
]


def run(tree: Path, code: str, timeout: float) -> str:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(tree / "build"), str(tree / "python")])
    program = PRELUDE + textwrap.dedent(code) + REPORT
    try:
        done = subprocess.run(
            [sys.executable, "-c", program],
            env=env,
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        return f"no answer within {timeout:g} s"
    if done.returncode != 0:
        last = done.stderr.strip().splitlines()[-1:] or [f"exit {done.returncode}"]
        return f"failed: {last[0][:90]}"
    return done.stdout.strip()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", type=Path, default=ROOT, help="checkout to run")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds per case")
    args = parser.parse_args()
    print(f"companion of {args.tree}")
    for name, code in CASES:
        print(f"{name:42} {run(args.tree.resolve(), code, args.timeout)}", flush=True)


if __name__ == "__main__":
    main()
