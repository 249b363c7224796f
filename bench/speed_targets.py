"""Time and peak memory of label_points on the sizes that matter for placing at
draw time: 100,000 and 1,000,000 points of one chart, the 100,000 largest world
cities, and a re-placement after a zoom on a map of 3,000 cities. Each case runs
in a fresh interpreter; the time runs from the call (or from the changed draw) to
just before the pixels are written, the peak is the whole process's.

    python bench/speed_targets.py [--cases NAME ...] [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import textwrap
from pathlib import Path

HERE = Path(__file__).resolve().parent

CLOUD = """
import random, resource, sys, time
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
from quillset_extras.mpl import label_points
n = {n}
rng = random.Random(1)
x = [rng.gauss(0, 1) for _ in range(n)]
y = [rng.gauss(0, 1) for _ in range(n)]
texts = [f"point {{i}}" for i in range(n)]
fig, ax = plt.subplots(figsize=(10, 7), dpi=100)
ax.scatter(x, y, s=1)
fig.canvas.draw()
start = time.perf_counter()
result = label_points(ax, x, y, texts, fontsize=9, {options})
seconds = time.perf_counter() - start
"""
WORLD = """
import resource, sys, time
sys.path.insert(0, {bench!r})
import matplotlib
matplotlib.use("Agg")
from methods import new_axes
from sample_data import world
from quillset_extras.mpl import label_points
data = world()
fig, ax = new_axes(data, "world")
fig.canvas.draw()
start = time.perf_counter()
result = label_points(ax, data.x, data.y, data.texts, fontsize=9, priority=data.priority,
                      point_radius=0.35)
seconds = time.perf_counter() - start
"""
ZOOM = """
import resource, sys, time
sys.path.insert(0, {bench!r})
import matplotlib
matplotlib.use("Agg")
from methods import new_axes
from sample_data import south_america
from quillset_extras.mpl import label_points
data = south_america().head(3000)
fig, ax = new_axes(data, "map")
result = label_points(ax, data.x, data.y, data.texts, fontsize=9, priority=data.priority,
                      point_radius=1.0, {options})
fig.canvas.draw()
renderer = fig.canvas.get_renderer()
(x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
times = []
for k in range(4):  # zoom in a step at a time, then the draw's placement is timed
    f = 0.8 ** (k + 1)
    cx, cy = (x0 + x1) / 2 - 8, (y0 + y1) / 2 + 5
    ax.set_xlim(cx - (x1 - x0) * f / 2, cx + (x1 - x0) * f / 2)
    ax.set_ylim(cy - (y1 - y0) * f / 2, cy + (y1 - y0) * f / 2)
    start = time.perf_counter()
    result.artist.place(renderer)
    times.append(time.perf_counter() - start)
times.sort()
seconds = times[len(times) // 2]
"""
REPORT = """
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(f"{seconds:.3f} {peak:.0f} {len(result.shown)}")
"""

CASES = {
    "100k hide": CLOUD.format(n=100_000, options='overlap="hide"'),
    "100k hide+leaders": CLOUD.format(n=100_000, options='overlap="hide", leaders=True'),
    "100k allow": CLOUD.format(n=100_000, options='overlap="allow"'),
    "1M hide": CLOUD.format(n=1_000_000, options='overlap="hide"'),
    "world 100k hide": WORLD.format(bench=str(HERE)),
    "zoom 3k hide": ZOOM.format(bench=str(HERE), options=""),
    "zoom 3k hide+leaders": ZOOM.format(bench=str(HERE), options="leaders=True"),
}


def run(code: str) -> tuple[float, float, int] | str:
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code) + REPORT],
        capture_output=True,
        text=True,
        timeout=1800,
    )
    if done.returncode != 0:
        return done.stderr.strip().splitlines()[-1]
    seconds, peak, shown = done.stdout.split()[-3:]
    return float(seconds), float(peak), int(shown)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", nargs="+", choices=list(CASES), default=list(CASES))
    parser.add_argument("--repeat", type=int, default=3, help="runs per case (medians)")
    args = parser.parse_args()
    print("| case | s (median) | runs | peak RSS MiB | labels shown |")
    print("|---|---|---|---|---|")
    for name in args.cases:
        runs = [run(CASES[name]) for _ in range(args.repeat)]
        good = [r for r in runs if not isinstance(r, str)]
        if not good:
            print(f"| {name} | failed: {runs[0]} | | | |", flush=True)
            continue
        digits = 3 if max(r[0] for r in good) < 1 else 2
        times = ", ".join(f"{r[0]:.{digits}f}" for r in good)
        median = statistics.median(r[0] for r in good)
        peak = max(r[1] for r in good)
        print(f"| {name} | {median:.{digits}f} | {times} | {peak:.0f} | {good[0][2]} |", flush=True)


if __name__ == "__main__":
    main()
