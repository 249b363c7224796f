"""Golden regression: full layouts of fixed scenes, floats compared by their bits.

The recorded layouts guard every later optimisation of the engine. Re-record only
after a deliberate change of placement rules:
    QUILLSET_RECORD_GOLDEN=1 PYTHONPATH=build .venv/bin/python -m pytest tests/python/test_golden.py
"""

from __future__ import annotations

import json
import math
import os
import pathlib
import random
import struct

import pytest

import quillset

GOLDEN = pathlib.Path(__file__).with_name("golden") / "layouts.json"
RECORD = os.environ.get("QUILLSET_RECORD_GOLDEN") == "1"


def _measure(text: str, size: int) -> quillset.TextSize:
    return quillset.TextSize(
        math.ceil(0.52 * size * len(text)), math.ceil(0.7 * size), math.ceil(0.3 * size)
    )


def _config(**fields) -> quillset.LayoutConfig:
    config = quillset.LayoutConfig()
    for name, value in fields.items():
        setattr(config, name, value)
    return config


# name: (seed, label count, canvas, configuration fields, clustered)
SCENES = {
    "scan-defaults": (1, 19, (600, 400), {}, True),
    "grid-defaults": (2, 300, (1200, 800), {}, False),
    "grid-clustered": (3, 300, (1000, 700), {}, True),
    "grid-small-cells": (4, 250, (900, 600), {"gridSize": 17, "spatialIndexThreshold": 0}, True),
    "scan-forced": (5, 200, (900, 600), {"spatialIndexThreshold": -1}, True),
    "initial-pass-only": (6, 250, (900, 600), {"maxIterations": 0}, True),
    "custom-weights": (
        7,
        250,
        (800, 800),
        {
            "paddingX": 4,
            "paddingY": 1,
            "costPos1_Top": 25.0,
            "costPos2_Right": 0.0,
            "costSlidingPenalty": 3.5,
            "costScaleTier": 250.0,
            "costOccludeObj": 1e3,
            "costOverlapBase": 7e5,
            "gridSize": 64,
            "maxIterations": 5,
        },
        True,
    ),
}


def _scene_items(seed: int, count: int, canvas: tuple[int, int], clustered: bool):
    rng = random.Random(seed)
    width, height = canvas
    centres = [(rng.uniform(0, width), rng.uniform(0, height)) for _ in range(5)]
    items = []
    for i in range(count):
        if clustered and rng.random() < 0.7:
            cx, cy = rng.choice(centres)
            x, y = rng.gauss(cx, width / 12), rng.gauss(cy, height / 12)
        else:
            x, y = rng.uniform(-20, width + 20), rng.uniform(-20, height + 20)
        w = rng.choice((0.0, 0.0, rng.uniform(1, 12), rng.uniform(20, 90)))
        h = rng.choice((0.0, rng.uniform(1, 12), rng.uniform(15, 60)))
        text = "label %d%s" % (i, "x" * rng.randrange(0, 14))
        items.append((x, y, x + w, y + h, text, rng.choice((8, 9, 11, 12, 16, 20, 28))))
    return items


def _rows(results) -> list[list]:
    bits = lambda v: struct.unpack("<I", struct.pack("<f", v))[0]  # noqa: E731
    return [
        [
            bits(r.left),
            bits(r.top),
            r.width,
            r.height,
            r.fontSize,
            r.padding_x,
            r.padding_y,
            r.textAscent,
            r.textDescent,
        ]
        for r in results
    ]


def _run(name: str) -> dict:
    seed, count, canvas, fields, clustered = SCENES[name]
    engine = quillset.Quillset(canvas[0], canvas[1], _measure, _config(**fields))
    for item in _scene_items(seed, count, canvas, clustered):
        engine.add(*item)
    first = _rows(engine.layout())
    engine.solve()
    solved = _rows(engine.layout())
    # A second solve continues the generator's sequence.
    engine.solve()
    return {"first": first, "solved": solved, "resolved": _rows(engine.layout())}


def _recorded() -> dict:
    return json.loads(GOLDEN.read_text()) if GOLDEN.exists() else {}


@pytest.mark.parametrize("name", sorted(SCENES))
def test_layout_matches_recording(name):
    got = _run(name)
    if RECORD:
        data = _recorded()
        data[name] = got
        GOLDEN.write_text(json.dumps(data, sort_keys=True, separators=(",", ":")) + "\n")
        return
    want = _recorded().get(name)
    assert want is not None, f"no recording for {name}; record with QUILLSET_RECORD_GOLDEN=1"
    for phase in ("first", "solved", "resolved"):
        mismatched = [i for i, (a, b) in enumerate(zip(got[phase], want[phase])) if a != b]
        assert len(got[phase]) == len(want[phase]), phase
        assert not mismatched, f"{phase}: labels {mismatched[:10]} differ"
