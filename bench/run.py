#!/usr/bin/env python3
"""Benchmark of the quillset engine.

    make bench                          # full run: several minutes
    make bench BENCH_ARGS=--quick       # smoke test: seconds
    .venv/bin/python bench/run.py [--quick] [--only SECTION ...] [--baseline COMMIT]
        [--ab PATCH ...] [--rounds N] [--whole-rounds N] [--sizes N ...]

Sections (all but ab and abmodule by default, in this order):
  phases     add, solve and layout at 1k to 1M objects, uniform and clustered, with a
             pure-Python measuring callable; median of repeats; engine memory and peak RSS
  addbound   add time against the same measuring calls made bare from Python
  scaling    solve per phase at constant density: the initial pass (maxIterations 0)
             and one improvement pass (maxIterations 1 minus 0), time at 10N / time at N
  baseline   whole solve through the module against the engine of the baseline commit,
             interleaved, with a check that both give the same layout
  native     the native driver (bench/driver.cpp) of both engines, interleaved: add, the
             initial pass, one improvement pass, and the whole solve with a hash of every
             layout field; at the sizes of --sizes
  callgrind  instructions executed by solve on a fixed scene, current and baseline
  ab         one engine per patch of --ab, each the baseline commit with that patch
             applied, timed by the native driver interleaved with the unpatched
             baseline, plus callgrind counts; logs in build-bench/ab/
  abmodule   whole solves through the module of the current tree, the baseline and
             each patched baseline of --ab, in turn, with their layout hashes
  peers      a labelled matplotlib scatter: quillset, textalloc and adjustText on the
             same points, names and font, at the sizes each finishes within a minute

Engine phases are timed in processor time of the measuring process (a machine shared
with other work varies less in it than in wall time); the peer comparison uses wall
time, end to end. Results go to build-bench/results.json and build-bench/report.md.
"""

from __future__ import annotations

import argparse
import json
import sys
import time

import builds
import report
from sections import DEFAULT_SECTIONS, KINDS, SECTIONS

DEFAULT_BASELINE = "2aff90f"


def plan_for(args) -> dict:
    if args.quick:
        plan = {
            "phases": [(1000, 1), (10000, 1)],
            "addbound": (2000, 3),
            "scaling": (2000, 3),
            "baseline": [(5000, "uniform", 1)],
            "native": [(20000, args.rounds or 1, 1)],
            "ab_sizes": [(20000, args.rounds or 1)],
            "callgrind": 2000,
            "peers": [200],
        }
    else:
        rounds = args.rounds or 5
        plan = {
            "phases": [(1000, 5), (10000, 5), (100000, 3), (1000000, 1)],
            "addbound": (100000, 5),
            "scaling": (20000, 5),
            "baseline": [(200000, "uniform", 3), (200000, "clustered", 1)],
            "native": [(n, rounds, args.whole_rounds) for n in (args.sizes or (200000, 1000000))],
            "ab_sizes": [(n, rounds) for n in (args.sizes or (20000, 200000, 1000000))],
            "callgrind": 20000,
            "peers": [500, 1000, 2000, 5000, 10000],
        }
    plan["baseline_commit"] = args.baseline or (None if args.quick else DEFAULT_BASELINE)
    plan["native_kinds"] = args.kinds
    plan["ab"] = args.ab or []
    return plan


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes: a smoke test")
    parser.add_argument("--only", nargs="+", choices=list(SECTIONS), help="run these sections")
    parser.add_argument(
        "--baseline",
        metavar="COMMIT",
        help=f"commit to compare with (full run: {DEFAULT_BASELINE}; quick run: none)",
    )
    parser.add_argument("--ab", nargs="+", metavar="PATCH", help="patches for the ab section")
    parser.add_argument("--rounds", type=int, help="interleaved rounds of native and ab")
    parser.add_argument("--sizes", type=int, nargs="+", help="label counts of native and ab")
    parser.add_argument(
        "--whole-rounds", type=int, default=1, help="interleaved rounds of native's whole solve"
    )
    parser.add_argument(
        "--kinds", nargs="+", choices=KINDS, default=["uniform"], help="scenes of native and ab"
    )
    args = parser.parse_args()
    plan = plan_for(args)
    builds.OUT.mkdir(exist_ok=True)
    results: dict = {"quick": args.quick, "started": time.strftime("%Y-%m-%d %H:%M:%S")}
    needs_baseline = {"baseline", "native", "ab", "abmodule"}
    sections = args.only or [
        s for s in DEFAULT_SECTIONS if plan["baseline_commit"] or s not in needs_baseline
    ]
    for name in sections:
        SECTIONS[name](plan, results)
    text = report.report(results)
    (builds.OUT / "results.json").write_text(json.dumps(results, indent=1) + "\n")
    (builds.OUT / "report.md").write_text(text + "\n")
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
