"""The sections of the benchmark: each takes the plan and fills its part of the
results. bench/run.py picks them; builds.py builds the engines; workers.py measures
through the module; bench/driver.cpp measures natively."""

from __future__ import annotations

import json
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

import builds
from workers import run_worker

PEER_TIMEOUT = 60.0
KINDS = ("uniform", "clustered")


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def drive(driver: pathlib.Path, n: int, kind: str, mode: str) -> dict:
    done = subprocess.run(
        [str(driver), str(n), kind, mode, "1"], capture_output=True, text=True, check=True
    )
    return json.loads(done.stdout)


def interleaved(drivers: dict[str, pathlib.Path], n: int, kind: str, mode: str, rounds: int):
    """Runs every driver once per round, in turn, so that all see the same load.
    Returns {name: [result, ...]}."""
    runs: dict[str, list[dict]] = {name: [] for name in drivers}
    for r in range(rounds):
        for name, driver in drivers.items():
            log(f"{mode}: {n} {kind} {name} round {r + 1}/{rounds}")
            runs[name].append(drive(driver, n, kind, mode))
    return runs


def medians(results: list[dict], keys: tuple[str, ...]) -> dict:
    return {k: statistics.median(r[k] for r in results) for k in keys}


PHASE_KEYS = ("add_ms", "initial_ms", "pass_ms")


def section_phases(plan, results):
    rows = []
    for n, repeats in plan["phases"]:
        for kind in KINDS:
            log(f"phases: {n} {kind}")
            rows.append(run_worker("phases", n, kind, repeats))
    results["phases"] = rows


def section_addbound(plan, results):
    n, repeats = plan["addbound"]
    log(f"addbound: {n}")
    results["addbound"] = run_worker("addbound", n, "uniform", repeats)


def section_scaling(plan, results):
    small, repeats = plan["scaling"]
    rows = []
    for kind in KINDS:
        for n in (small, 10 * small):
            log(f"scaling: {n} {kind}")
            rows.append(run_worker("scaling", n, kind, repeats, True))
    results["scaling"] = rows


def section_baseline(plan, results):
    commit = plan["baseline_commit"]
    base = builds.commit_tree(commit)
    rows = []
    for n, kind, rounds in plan["baseline"]:
        current, old = [], []
        for _ in range(rounds):  # alternate, so that both see the same machine load
            log(f"baseline: {n} {kind} current")
            current.append(run_worker("solve", n, kind, 1))
            log(f"baseline: {n} {kind} {commit}")
            old.append(run_worker("solve", n, kind, 1, module_dir=base))
        rows.append(
            {
                "n": n,
                "kind": kind,
                "rounds": rounds,
                "current": statistics.median(r["solve"] for r in current),
                "baseline": statistics.median(r["solve"] for r in old),
                "same_layout": {r["hash"] for r in current} == {r["hash"] for r in old},
            }
        )
        rows[-1]["speedup"] = rows[-1]["baseline"] / rows[-1]["current"]
    results["baseline"] = {"commit": commit, "rows": rows}


def section_native(plan, results):
    commit = plan["baseline_commit"]
    drivers = {
        "current": builds.current() / "bench_driver",
        commit: builds.commit_tree(commit) / "bench_driver",
    }
    rows = []
    for n, rounds, whole_rounds in plan["native"]:
        for kind in plan["native_kinds"]:
            phases = interleaved(drivers, n, kind, "phases", rounds)
            whole = interleaved(drivers, n, kind, "whole", whole_rounds)
            row = {"n": n, "kind": kind, "rounds": rounds, "whole_rounds": whole_rounds}
            for name in drivers:
                row[name] = medians(phases[name], PHASE_KEYS)
                row[name]["solve_ms"] = statistics.median(r["solve_ms"] for r in whole[name])
                row[name]["hashes"] = sorted({r["hash"] for r in whole[name]})
                row[name]["runs"] = phases[name] + whole[name]
            row["same_layout"] = row["current"]["hashes"] == row[commit]["hashes"]
            rows.append(row)
    results["native"] = {"commit": commit, "rows": rows}


def section_callgrind(plan, results):
    if shutil.which("valgrind") is None:
        log("callgrind: valgrind not found, skipped (Debian package valgrind)")
        return
    n = plan["callgrind"]
    counts = {"n": n, "kind": "uniform"}
    counts["current"] = builds.instructions(
        builds.current() / "bench_driver", n, "uniform", "solve-only"
    )
    if plan.get("baseline_commit"):
        base = builds.commit_tree(plan["baseline_commit"])
        counts["baseline"] = builds.instructions(base / "bench_driver", n, "uniform", "solve-only")
        counts["commit"] = plan["baseline_commit"]
    log(f"callgrind: {counts}")
    results["callgrind"] = counts


def section_ab(plan, results):
    commit = plan["baseline_commit"]
    patches = [pathlib.Path(p) for p in plan["ab"]]
    if not patches:
        log("ab: no patches given (--ab PATCH ...), skipped")
        return
    drivers = {"base": builds.commit_tree(commit) / "bench_driver"}
    for patch in patches:
        drivers[patch.stem] = builds.commit_tree(commit, patch) / "bench_driver"
    logs = builds.OUT / "ab"
    logs.mkdir(parents=True, exist_ok=True)
    rows = []
    for n, rounds in plan["ab_sizes"]:
        for kind in plan["native_kinds"]:
            runs = interleaved(drivers, n, kind, "phases", rounds)
            stamp = time.strftime("%Y-%m-%d %H:%M:%S")
            with open(logs / f"phases-{n}-{kind}.log", "a") as f:
                f.write(f"# {stamp} interleaved {rounds} rounds of {list(drivers)}\n")
                for name, found in runs.items():
                    for r in found:
                        f.write(json.dumps({"variant": name, **r}) + "\n")
            base = medians(runs["base"], PHASE_KEYS)
            for name in drivers:
                if name == "base":
                    continue
                row = {"variant": name, "n": n, "kind": kind, "rounds": rounds}
                row.update(medians(runs[name], PHASE_KEYS))
                row["base"] = base
                rows.append(row)
    if shutil.which("valgrind") is not None:
        counts = {
            name: builds.instructions(driver, plan["callgrind"], "uniform", "solve-only")
            for name, driver in drivers.items()
        }
        results["ab_callgrind"] = {"n": plan["callgrind"], "counts": counts}
    results["ab"] = {"commit": commit, "rows": rows}


def section_abmodule(plan, results):
    """Whole solves through the module of the current tree, the baseline and each
    patched baseline, in turn: the module runs inside an interpreter whose heap
    differs from the driver's, which can change how the engine's lists are laid out."""
    commit = plan["baseline_commit"]
    modules = {"current": builds.ROOT / "build", "base": builds.commit_tree(commit)}
    for patch in [pathlib.Path(p) for p in plan["ab"]]:
        modules[patch.stem] = builds.commit_tree(commit, patch)
    rows = []
    for n, rounds in plan["ab_sizes"]:
        for kind in plan["native_kinds"]:
            runs: dict[str, list[dict]] = {name: [] for name in modules}
            for r in range(rounds):
                for name, module_dir in modules.items():
                    log(f"abmodule: {n} {kind} {name} round {r + 1}/{rounds}")
                    runs[name].append(run_worker("solve", n, kind, 1, module_dir=module_dir))
            for name, found in runs.items():
                rows.append(
                    {
                        "variant": name,
                        "n": n,
                        "kind": kind,
                        "rounds": rounds,
                        "solve": [r["solve"] for r in found],
                        "median": statistics.median(r["solve"] for r in found),
                        "hashes": sorted({r["hash"] for r in found}),
                    }
                )
    results["abmodule"] = {"commit": commit, "rows": rows}


def section_peers(plan, results):
    builds.ensure_requirements()
    rows = []
    for kind in KINDS:
        given_up: set[str] = set()
        for n in plan["peers"]:
            for method in ("quillset", "textalloc", "adjustText"):
                if method in given_up:
                    continue
                log(f"peers: {method} {n} {kind}")
                try:
                    rows.append(run_worker("peer", method, n, kind, timeout=PEER_TIMEOUT + 30))
                except subprocess.TimeoutExpired:
                    rows.append({"method": method, "n": n, "kind": kind, "seconds": None})
                if rows[-1]["seconds"] is None or rows[-1]["seconds"] > PEER_TIMEOUT:
                    given_up.add(method)
    results["peers"] = rows


SECTIONS = {
    "phases": section_phases,
    "addbound": section_addbound,
    "scaling": section_scaling,
    "baseline": section_baseline,
    "native": section_native,
    "callgrind": section_callgrind,
    "ab": section_ab,
    "abmodule": section_abmodule,
    "peers": section_peers,
}
DEFAULT_SECTIONS = [s for s in SECTIONS if s not in ("ab", "abmodule")]
