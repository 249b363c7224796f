"""Benchmark workers: each measurement runs in a fresh interpreter, started by
run_worker, and prints one JSON object.

    python bench/workers.py KIND '[ARGS...]'
"""

from __future__ import annotations

import functools
import gc
import hashlib
import json
import os
import pathlib
import resource
import statistics
import struct
import subprocess
import sys
import time

BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent


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


def run_worker(kind: str, *args, module_dir: pathlib.Path | None = None, timeout=None) -> dict:
    """Runs one measurement in a fresh interpreter that imports quillset from
    `module_dir` (the CMake build by default) and returns its JSON result."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(module_dir or ROOT / "build"), str(BENCH)])
    # numpy's BLAS threads wait busily and would take the second core from the timed
    # work; nothing measured here multiplies matrices.
    env["OPENBLAS_NUM_THREADS"] = "1"
    command = [sys.executable, str(pathlib.Path(__file__)), kind, json.dumps(args)]
    done = subprocess.run(
        command, env=env, capture_output=True, text=True, timeout=timeout, check=False
    )
    if done.returncode != 0:
        raise RuntimeError(f"worker {kind}{args} failed:\n{done.stderr[-3000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


if __name__ == "__main__":
    print(json.dumps(WORKERS[sys.argv[1]](*json.loads(sys.argv[2]))))
