#!/usr/bin/env python3
"""Peak memory and solve time of a few labels on huge canvases.

    PYTHONPATH=build:python .venv/bin/python bench/grid_memory.py [--labels N] [--readable]

Each case runs in a fresh interpreter: 20 labels (of --labels) at random points of a
W x W canvas, solved once with the default configuration and once with gridSize 1.
A line per case gives the solve time (wall) and the labels placed, or the exception
raised, and the peak resident set of that process (ru_maxrss) with how far it lies
above the peak of the same script run without the solve. --readable adds
place_readable of quillset_extras (20 points, "allow") on a 1e7 x 1e7 canvas; it needs
python/ on PYTHONPATH.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys

CANVASES = (1_000_000, 3_000_000, 5_000_000, 2_000_000_000)
GRID_SIZES = (None, 1)

CASE = r"""
import json, random, resource, sys, time
import quillset

width, grid_size, count, solve = json.loads(sys.argv[1])


def measure(text, font_size):
    return quillset.TextSize(len(text) * font_size // 2, font_size * 3 // 4, font_size // 4)


rng = random.Random(5)
config = quillset.LayoutConfig()
if grid_size is not None:
    config.gridSize = grid_size
engine = quillset.Quillset(width, width, measure, config)
for i in range(count):
    x = int(rng.random() * (width - 100)) + 50
    y = int(rng.random() * (width - 100)) + 50
    engine.add(x - 2, y - 2, x + 2, y + 2, "label %d" % i, 12)
result = {}
if solve:
    start = time.perf_counter()
    try:
        engine.solve()
        result["seconds"] = time.perf_counter() - start
        result["placed"] = sum(1 for r in engine.layout() if r.width > 0)
    except BaseException as error:
        result["error"] = type(error).__name__
result["maxrss_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps(result))
"""

READABLE = r"""
import json, random, resource, sys, time
import quillset
from quillset_extras.readable import place_readable

width, count, solve = json.loads(sys.argv[1])


def measure(text, font_size):
    return quillset.TextSize(len(text) * font_size // 2, font_size * 3 // 4, font_size // 4)


rng = random.Random(5)
points = [(rng.random() * width, rng.random() * width) for _ in range(count)]
texts = ["label %d" % i for i in range(count)]
result = {}
if solve:
    start = time.perf_counter()
    try:
        placement = place_readable(width, width, points, texts, measure, 12)
        result["seconds"] = time.perf_counter() - start
        result["placed"] = len(placement.shown)
    except BaseException as error:
        result["error"] = type(error).__name__
result["maxrss_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps(result))
"""


def run(script: str, args: list) -> dict:
    out = subprocess.run(
        [sys.executable, "-c", script, json.dumps(args)], capture_output=True, text=True
    )
    lines = out.stdout.strip().splitlines()
    if out.returncode != 0 or not lines:
        raise SystemExit(f"case {args} failed ({out.returncode}): {out.stderr.strip()[-400:]}")
    return json.loads(lines[-1])


def describe(name: str, width: int, result: dict, base_kib: int) -> str:
    canvas = f"{width:,} x {width:,}"
    rss = result["maxrss_kib"]
    memory = f"peak RSS {rss / 1024:7.1f} MiB ({(rss - base_kib) / 1024:+.1f})"
    if "error" in result:
        outcome = f"{result['error']:>24}"
    else:
        outcome = f"{result['seconds'] * 1000:9.2f} ms, {result['placed']:3d} placed"
    return f"{canvas:>29}  {name:<11} {outcome}  {memory}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--labels", type=int, default=20)
    parser.add_argument("--readable", action="store_true")
    args = parser.parse_args()
    print(f"{args.labels} labels; solve time (wall) and peak RSS, each case in a fresh process")
    for width in CANVASES:
        for grid_size in GRID_SIZES:
            base = run(CASE, [width, grid_size, args.labels, False])["maxrss_kib"]
            result = run(CASE, [width, grid_size, args.labels, True])
            name = "default" if grid_size is None else f"gridSize {grid_size}"
            print(describe(name, width, result, base), flush=True)
    if args.readable:
        width = 10_000_000
        base = run(READABLE, [width, args.labels, False])["maxrss_kib"]
        result = run(READABLE, [width, args.labels, True])
        print(describe("readable", width, result, base), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
