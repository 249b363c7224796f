"""One add and one solve of a scene in a fresh process, for one or more builds.

The harness's medians repeat each phase in one process, which reuses memory that
earlier repeats already faulted in; a script that labels one plot runs each phase
once, on fresh memory. This measures that case, alternating the builds:

    .venv/bin/python bench/single.py build OTHER_BUILD --n 200000 --rounds 4

Prints the median add and solve wall time per build.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

BENCH = pathlib.Path(__file__).resolve().parent

CHILD = """
import gc, json, sys, time
from scenes import engine_scene, make_measure
import quillset
side, items = engine_scene(int(sys.argv[1]), sys.argv[2])
engine = quillset.Quillset(side, side, make_measure(quillset))
gc.disable()
add = engine.add
start = time.perf_counter()
for l, t, r, b, text, size in items:
    add(l, t, r, b, text, size)
added = time.perf_counter()
engine.solve()
print(json.dumps({"add": added - start, "solve": time.perf_counter() - added}))
"""


def once(build: str, n: int, kind: str) -> dict:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([build, str(BENCH)]))
    env["OPENBLAS_NUM_THREADS"] = "1"
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(n), kind],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(done.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+", help="directories holding the quillset module")
    parser.add_argument("--n", type=int, default=200000)
    parser.add_argument("--kind", choices=("uniform", "clustered"), default="uniform")
    parser.add_argument("--rounds", type=int, default=4)
    args = parser.parse_args()
    runs: dict[str, list[dict]] = {build: [] for build in args.builds}
    for _ in range(args.rounds):
        for build in args.builds:
            runs[build].append(once(build, args.n, args.kind))
    for build, results in runs.items():
        add = statistics.median(r["add"] for r in results) * 1000
        solve = statistics.median(r["solve"] for r in results) * 1000
        print(f"{build}: add {add:.0f} ms, solve {solve:.0f} ms (median of {len(results)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
