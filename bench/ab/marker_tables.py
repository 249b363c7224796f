"""A/B of the marker tables (quillset_extras.grids.MarkerIndex) on the 100,000
largest world cities, overlap="hide": the tables against plain cells
(PLAIN_CELLS=1 swaps in a BoxIndex holding the same markers).

    whole processes, 5 interleaved runs each:
    env PYTHONPATH=build:python .venv/bin/python bench/ab/marker_tables.py hide
    env PYTHONPATH=build:python PLAIN_CELLS=1 .venv/bin/python bench/ab/marker_tables.py hide

2026-12-08, 2 shared cores, whole process (loading the cities included), medians:
tables 12.16 s wall (11.66 s cpu), plain cells 14.49 s wall (13.30 s cpu); per pair
A/B cpu 0.85-0.99, median 0.88. The tables stay. Same labels shown (196) both ways.
"""

import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import matplotlib  # noqa: E402

matplotlib.use("Agg")
from methods import new_axes, run_quillset  # noqa: E402
from sample_data import world  # noqa: E402

from quillset_extras import scene  # noqa: E402
from quillset_extras.geometry import BoxIndex  # noqa: E402

if os.environ.get("PLAIN_CELLS"):

    class Plain(BoxIndex):  # type: ignore[type-arg]
        def __init__(self, cell, boxes, width, height):  # type: ignore[no-untyped-def]
            super().__init__(cell)
            for b in boxes:
                self.add(b)

    scene.MarkerIndex = Plain  # type: ignore[misc,assignment]

data = world()
fig, ax = new_axes(data, "world")
fig.canvas.draw()
start = time.perf_counter()
drawn = run_quillset(ax, data, sys.argv[1] if len(sys.argv) > 1 else "hide")
kind = "plain" if os.environ.get("PLAIN_CELLS") else "tables"
print(kind, round(time.perf_counter() - start, 2), len(drawn.shown), file=sys.stderr)
