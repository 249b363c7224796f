"""Places the labels of the built-in sample scene and prints a short summary."""

from __future__ import annotations

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import quillset  # noqa: E402
from scene import make_scene, measure, quality  # noqa: E402


def main() -> None:
    width, height, items = make_scene()
    engine = quillset.Quillset(width, height, measure)

    start = time.perf_counter()
    for l, t, r, b, text, size in items:
        engine.add(l, t, r, b, text, size)
    add_ms = (time.perf_counter() - start) * 1e3
    before = quality(engine.layout(), items)

    start = time.perf_counter()
    engine.solve()
    solve_ms = (time.perf_counter() - start) * 1e3

    start = time.perf_counter()
    results = engine.layout()
    layout_ms = (time.perf_counter() - start) * 1e3
    after = quality(results, items)

    print(f"quillset demo: {len(items)} objects on a {width} x {height} canvas")
    print(f"labels added:          {len(results)}")
    print(f"labels placed:         {len(results) - after['fallback']}")
    print(f"labels on fallback:    {after['fallback']}")
    print(f"labels on smaller font tier: {after['smaller tier']}")
    print(f"{'':22} {'first candidates':>17} {'after solve':>12}")
    for key in ("label-label", "label-object"):
        print(f"{key + ' overlaps:':22} {before[key]:>17} {after[key]:>12}")
    print(f"time: add {add_ms:.2f} ms, solve {solve_ms:.2f} ms, layout {layout_ms:.2f} ms")
    print("first results:")
    for r in results[:3]:
        print(" ", r)


if __name__ == "__main__":
    main()
