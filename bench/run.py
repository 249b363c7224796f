#!/usr/bin/env python3
"""Benchmark of the quillset engine.

    make bench                          # full run: several minutes
    make bench BENCH_ARGS=--quick       # smoke test: seconds
    .venv/bin/python bench/run.py [--quick] [--only SECTION ...] [--baseline COMMIT]

Sections (all by default, in this order):
  phases     add, solve and layout at 1k to 1M objects, uniform and clustered, with a
             pure-Python measuring callable; median of repeats; engine memory and peak RSS
  addbound   add time against the same measuring calls made bare from Python
  scaling    solve per phase at constant density: the initial pass (maxIterations 0)
             and one improvement pass (maxIterations 1 minus 0), time at 10N / time at N
  baseline   full solve against the engine of an earlier commit, built from git into
             build-bench/, in one run, with a check that both give the same layout
  callgrind  instructions executed by solve on a fixed scene (native driver), for the
             current tree and the baseline commit
  peers      a labelled matplotlib scatter: quillset, textalloc and adjustText on the
             same points, names and font, at the sizes each finishes within a minute

Engine phases are timed in processor time of the worker process (a machine shared
with other work varies less in it than in wall time); the peer comparison uses wall
time, end to end. Each measurement runs in a fresh interpreter. Results go to
build-bench/results.json and build-bench/report.md.
"""

from __future__ import annotations

import argparse
import functools
import gc
import hashlib
import json
import os
import pathlib
import re
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
OUT = ROOT / "build-bench"
VENV_PYTHON = ROOT / ".venv" / "bin" / "python"
REQUIREMENTS = BENCH / "requirements.txt"
DEFAULT_BASELINE = "e6b416c"
SECTIONS = ("phases", "addbound", "scaling", "baseline", "callgrind", "peers")
PEER_TIMEOUT = 60.0

sys.path.insert(0, str(BENCH))


# --- workers: each runs in its own interpreter and prints one JSON object ----------


def _rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _timed(fn) -> float:
    """Processor seconds of fn(), with the cyclic collector off, as timeit does."""
    gc.collect()
    gc.disable()
    try:
        start = time.process_time()
        fn()
        return time.process_time() - start
    finally:
        gc.enable()


def _config(quillset, **fields):
    config = quillset.LayoutConfig()
    for name, value in fields.items():
        setattr(config, name, value)
    return config


def _add_all(engine, items):
    add = engine.add
    for l, t, r, b, text, size in items:
        add(l, t, r, b, text, size)


def _layout_hash(results) -> str:
    digest = hashlib.sha256()
    for r in results:
        digest.update(struct.pack("<ff", r.left, r.top))
        digest.update(
            struct.pack(
                "<7i",
                r.fontSize,
                r.padding_x,
                r.padding_y,
                r.width,
                r.height,
                r.textAscent,
                r.textDescent,
            )
        )
    return digest.hexdigest()[:16]


def worker_phases(n: int, kind: str, repeats: int) -> dict:
    from scenes import engine_scene, make_measure

    import quillset

    side, items = engine_scene(n, kind)
    measure = make_measure(quillset)
    times: dict[str, list[float]] = {"add": [], "solve": [], "layout": []}
    engine_bytes = 0
    for rep in range(repeats):
        gc.collect()
        before = _rss_bytes()
        engine = quillset.Quillset(side, side, measure)
        times["add"].append(_timed(functools.partial(_add_all, engine, items)))
        times["solve"].append(_timed(engine.solve))
        if rep == 0:
            engine_bytes = _rss_bytes() - before
        times["layout"].append(_timed(engine.layout))
        del engine
    return {
        "n": n,
        "kind": kind,
        "repeats": repeats,
        **{phase: statistics.median(v) for phase, v in times.items()},
        "engine_bytes": engine_bytes,
        "peak_rss_bytes": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
    }


def worker_addbound(n: int, kind: str, repeats: int) -> dict:
    from scenes import engine_scene, make_measure

    import quillset

    side, items = engine_scene(n, kind)
    measure = make_measure(quillset)
    calls: list[tuple[str, int]] = []

    def recording(text, size):
        calls.append((text, size))
        return measure(text, size)

    _add_all(quillset.Quillset(side, side, recording), items)

    def bare():
        m = measure
        for text, size in calls:
            m(text, size)

    add_times, bare_times = [], []
    for _ in range(repeats):
        engine = quillset.Quillset(side, side, measure)
        add_times.append(_timed(functools.partial(_add_all, engine, items)))
        del engine
        bare_times.append(_timed(bare))
    add_t, bare_t = statistics.median(add_times), statistics.median(bare_times)
    return {
        "n": n,
        "kind": kind,
        "calls": len(calls),
        "add": add_t,
        "bare": bare_t,
        "ratio": add_t / bare_t,
    }


def worker_scaling(n: int, kind: str, repeats: int, whole: bool) -> dict:
    from scenes import engine_scene, make_measure

    import quillset

    side, items = engine_scene(n, kind)
    engine = quillset.Quillset(side, side, make_measure(quillset))
    _add_all(engine, items)
    result = {"n": n, "kind": kind, "repeats": repeats}
    for iterations in (0, 1):
        engine.set_config(_config(quillset, maxIterations=iterations))
        result[f"solve{iterations}"] = statistics.median(
            _timed(engine.solve) for _ in range(repeats)
        )
    result["initial"] = result["solve0"]
    result["improvement"] = result["solve1"] - result["solve0"]
    if whole:
        engine.set_config(quillset.LayoutConfig())
        result["whole"] = _timed(engine.solve)
    return result


def worker_solve(n: int, kind: str, repeats: int) -> dict:
    """Whole solve on fresh engines; the layout hash proves both engines agree."""
    from scenes import engine_scene, make_measure

    import quillset

    side, items = engine_scene(n, kind)
    times, digest = [], ""
    for _ in range(repeats):
        engine = quillset.Quillset(side, side, make_measure(quillset))
        _add_all(engine, items)
        times.append(_timed(engine.solve))
        digest = _layout_hash(engine.layout())
        del engine
    return {"n": n, "kind": kind, "solve": statistics.median(times), "hash": digest}


def worker_peer(method: str, n: int, kind: str) -> dict:
    import peers

    return peers.run(method, n, kind)


WORKERS = {
    "phases": worker_phases,
    "addbound": worker_addbound,
    "scaling": worker_scaling,
    "solve": worker_solve,
    "peer": worker_peer,
}


# --- orchestration ---------------------------------------------------------------


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def run_worker(kind: str, *args, module_dir: pathlib.Path | None = None, timeout=None) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(module_dir or ROOT / "build"), str(BENCH)])
    # numpy's BLAS threads wait busily and would take the second core from the timed
    # work; nothing measured here multiplies matrices.
    env["OPENBLAS_NUM_THREADS"] = "1"
    command = [sys.executable, str(pathlib.Path(__file__)), "--worker", kind, json.dumps(args)]
    done = subprocess.run(
        command, env=env, capture_output=True, text=True, timeout=timeout, check=False
    )
    if done.returncode != 0:
        raise RuntimeError(f"worker {kind}{args} failed:\n{done.stderr[-3000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def ensure_requirements() -> None:
    stamp = ROOT / ".venv" / ".bench-requirements.sha256"
    want = hashlib.sha256(REQUIREMENTS.read_bytes()).hexdigest()
    if stamp.exists() and stamp.read_text().strip() == want:
        return
    log(f"bench: installing {REQUIREMENTS.relative_to(ROOT)}")
    subprocess.run(
        [
            str(VENV_PYTHON),
            "-m",
            "pip",
            "install",
            "--quiet",
            "--disable-pip-version-check",
            "-r",
            str(REQUIREMENTS),
        ],
        check=True,
    )
    stamp.write_text(want + "\n")


def ensure_baseline(commit: str) -> pathlib.Path:
    """Source tree of `commit`, exported from git and built (module and engine library)."""
    tree = OUT / f"base-{commit}"
    build = tree / "build"
    if not (build / "libquillset_engine.a").exists() or not list(build.glob("quillset*.so")):
        log(f"bench: building the engine of {commit} in {tree.relative_to(ROOT)}")
        shutil.rmtree(tree, ignore_errors=True)
        tree.mkdir(parents=True)
        archive = subprocess.run(
            ["git", "-C", str(ROOT), "archive", commit], capture_output=True, check=True
        ).stdout
        subprocess.run(["tar", "-x", "-C", str(tree)], input=archive, check=True)
        venv = ROOT / ".venv" / "bin"
        pybind11_dir = subprocess.run(
            [str(VENV_PYTHON), "-m", "pybind11", "--cmakedir"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        subprocess.run(
            [
                str(venv / "cmake"),
                "-S",
                str(tree),
                "-B",
                str(build),
                "-G",
                "Ninja",
                f"-DCMAKE_MAKE_PROGRAM={venv / 'ninja'}",
                f"-DPython_EXECUTABLE={VENV_PYTHON}",
                f"-Dpybind11_DIR={pybind11_dir}",
            ],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        subprocess.run(
            [str(venv / "cmake"), "--build", str(build)], check=True, stdout=subprocess.DEVNULL
        )
    return build


def build_driver(tree: pathlib.Path, library: pathlib.Path, name: str) -> pathlib.Path:
    """The native solve driver, linked against one tree's engine library."""
    out = OUT / name
    compiler = os.environ.get("CXX", "c++")
    subprocess.run(
        [
            compiler,
            "-std=c++20",
            "-O2",
            "-ffp-contract=off",
            "-fno-fast-math",
            f"-I{tree}",
            str(BENCH / "driver.cpp"),
            str(library),
            "-o",
            str(out),
        ],
        check=True,
    )
    return out


def instructions(driver: pathlib.Path, n: int, kind: str) -> int:
    done = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            "--callgrind-out-file=/dev/null",
            "--toggle-collect=quillset::Quillset::solve()",
            str(driver),
            str(n),
            kind,
            "-",
            "1",
            "--solve-only",
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


# --- sections ---------------------------------------------------------------------


def section_phases(plan, results):
    rows = []
    for n, repeats in plan["phases"]:
        for kind in ("uniform", "clustered"):
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
    for kind in ("uniform", "clustered"):
        for n in (small, 10 * small):
            log(f"scaling: {n} {kind}")
            rows.append(run_worker("scaling", n, kind, repeats, True))
    results["scaling"] = rows


def section_baseline(plan, results):
    commit = plan["baseline_commit"]
    base = ensure_baseline(commit)
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


def section_callgrind(plan, results):
    if shutil.which("valgrind") is None:
        log("callgrind: valgrind not found, skipped (Debian package valgrind)")
        return
    n = plan["callgrind"]
    current = build_driver(ROOT, ROOT / "build" / "libquillset_engine.a", "driver-current")
    counts = {"n": n, "kind": "uniform", "current": instructions(current, n, "uniform")}
    if plan.get("baseline_commit"):
        base = ensure_baseline(plan["baseline_commit"])
        old = build_driver(base.parent, base / "libquillset_engine.a", "driver-base")
        counts["baseline"] = instructions(old, n, "uniform")
        counts["commit"] = plan["baseline_commit"]
    log(f"callgrind: {counts}")
    results["callgrind"] = counts


def section_peers(plan, results):
    ensure_requirements()
    rows = []
    for kind in ("uniform", "clustered"):
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


# --- report -----------------------------------------------------------------------


def _ms(seconds) -> str:
    return "-" if seconds is None else f"{seconds * 1e3:,.1f}"


def report(results) -> str:
    out = []
    if "phases" in results:
        out += [
            "### Engine phases (processor time, median)",
            "",
            "| objects | scene | add ms | solve ms | layout ms | engine bytes/label "
            "| peak RSS MiB |",
            "|---:|---|---:|---:|---:|---:|---:|",
        ]
        for r in results["phases"]:
            out.append(
                f"| {r['n']:,} | {r['kind']} | {_ms(r['add'])} | {_ms(r['solve'])} "
                f"| {_ms(r['layout'])} | {r['engine_bytes'] / r['n']:,.0f} "
                f"| {r['peak_rss_bytes'] / 2**20:,.0f} |"
            )
        out.append("")
    if "addbound" in results:
        r = results["addbound"]
        out += [
            "### add against bare measuring calls",
            "",
            f"{r['n']:,} labels, {r['calls']:,} measuring calls: add {_ms(r['add'])} ms, "
            f"bare calls {_ms(r['bare'])} ms, **ratio {r['ratio']:.2f}**",
            "",
        ]
    if "scaling" in results:
        out += [
            "### solve per phase at constant density",
            "",
            "| scene | N | initial pass ms | one improvement pass ms | whole solve ms |",
            "|---|---:|---:|---:|---:|",
        ]
        rows = results["scaling"]
        for r in rows:
            out.append(
                f"| {r['kind']} | {r['n']:,} | {_ms(r['initial'])} | {_ms(r['improvement'])} "
                f"| {_ms(r.get('whole'))} |"
            )
        out += [
            "",
            "| scene | ratio 10N/N | initial | improvement | whole |",
            "|---|---|---:|---:|---:|",
        ]
        for small, large in zip(rows[::2], rows[1::2]):
            ratio = {
                k: large[k] / small[k] if small.get(k) else float("nan")
                for k in ("initial", "improvement", "whole")
            }
            out.append(
                f"| {small['kind']} | {large['n']:,} / {small['n']:,} | {ratio['initial']:.1f} "
                f"| {ratio['improvement']:.1f} | {ratio['whole']:.1f} |"
            )
        out.append("")
    if "baseline" in results:
        base = results["baseline"]
        out += [
            f"### Whole solve against {base['commit']} (processor time, median)",
            "",
            "| objects | scene | rounds | current ms | baseline ms | speed-up | same layout |",
            "|---:|---|---:|---:|---:|---:|---|",
        ]
        for r in base["rows"]:
            out.append(
                f"| {r['n']:,} | {r['kind']} | {r['rounds']} | {_ms(r['current'])} "
                f"| {_ms(r['baseline'])} | {r['speedup']:.2f} | {r['same_layout']} |"
            )
        out.append("")
    if "callgrind" in results:
        c = results["callgrind"]
        line = f"solve of {c['n']:,} {c['kind']} labels: {c['current']:,} instructions"
        if "baseline" in c:
            line += (
                f" (baseline {c['commit']}: {c['baseline']:,}, "
                f"{c['baseline'] / c['current']:.2f} times as many)"
            )
        out += ["### Instructions (callgrind)", "", line, ""]
    if "peers" in results:
        out += [
            "### Labelled matplotlib scatter (wall time, end to end)",
            "",
            "| scene | labels | method | seconds | of which final draw | label-label "
            "overlaps | label-object overlaps | unplaced | off canvas |",
            "|---|---:|---|---:|---:|---:|---:|---:|---:|",
        ]
        for r in results["peers"]:
            if r["seconds"] is None:
                out.append(f"| {r['kind']} | {r['n']:,} | {r['method']} | timeout | | | | | |")
                continue
            out.append(
                f"| {r['kind']} | {r['n']:,} | {r['method']} | {r['seconds']:.3f} "
                f"| {r['draw_seconds']:.3f} | {r['label_label']} | {r['label_object']} "
                f"| {r['unplaced']} | {r['off_canvas']} |"
            )
        out.append("")
        for kind in ("uniform", "clustered"):
            by = {
                (r["method"], r["n"]): r["seconds"]
                for r in results["peers"]
                if r["kind"] == kind and r["seconds"]
            }
            for (method, n), seconds in sorted(by.items()):
                if method != "quillset" and ("quillset", n) in by:
                    out.append(
                        f"- {kind}, {n:,} labels: quillset is {seconds / by[('quillset', n)]:,.0f}"
                        f" times as fast as {method}"
                    )
        out.append("")
    return "\n".join(out)


def plan_for(quick: bool, commit: str | None) -> dict:
    if quick:
        return {
            "phases": [(1000, 1), (10000, 1)],
            "addbound": (2000, 3),
            "scaling": (2000, 3),
            "baseline": [(5000, "uniform", 1)],
            "baseline_commit": commit,
            "callgrind": 2000,
            "peers": [200],
        }
    return {
        "phases": [(1000, 5), (10000, 5), (100000, 3), (1000000, 1)],
        "addbound": (100000, 5),
        "scaling": (20000, 5),
        "baseline": [(200000, "uniform", 3), (200000, "clustered", 1)],
        "baseline_commit": commit or DEFAULT_BASELINE,
        "callgrind": 20000,
        "peers": [500, 1000, 2000, 5000, 10000],
    }


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        print(json.dumps(WORKERS[sys.argv[2]](*json.loads(sys.argv[3]))))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes: a smoke test")
    parser.add_argument("--only", nargs="+", choices=SECTIONS, help="run only these sections")
    parser.add_argument(
        "--baseline",
        metavar="COMMIT",
        help=f"commit to compare with (full run: {DEFAULT_BASELINE}; quick run: none)",
    )
    args = parser.parse_args()
    plan = plan_for(args.quick, args.baseline)
    sections = args.only or [s for s in SECTIONS if plan.get("baseline_commit") or s != "baseline"]
    OUT.mkdir(exist_ok=True)
    results: dict = {"quick": args.quick, "started": time.strftime("%Y-%m-%d %H:%M:%S")}
    for name in sections:
        globals()[f"section_{name}"](plan, results)
    text = report(results)
    (OUT / "results.json").write_text(json.dumps(results, indent=1) + "\n")
    (OUT / "report.md").write_text(text + "\n")
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
