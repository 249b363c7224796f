"""Places the labels of the built-in sample scene, measured with the font that Pillow
ships, prints a short summary and renders the placement to a PNG."""

from __future__ import annotations

import argparse
import os
import time

from PIL import Image, ImageDraw
from scene import make_scene

import quillset
from quillset_extras import (
    Box,
    Memoized,
    Quality,
    label_box,
    label_object_pairs,
    overlapping_label_pairs,
    quality,
)
from quillset_extras.pillow import PillowFonts

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

Item = tuple[float, float, float, float, str, int]
FOOTER = 30


def render(
    width: int,
    height: int,
    items: list[Item],
    results: list[quillset.LayoutResult],
    fonts: PillowFonts,
    figures: Quality,
) -> Image.Image:
    """Objects in blue, labels in black in light boxes; boxes of labels that overlap
    another label or an object are outlined in red."""
    image = Image.new("RGB", (width, height + FOOTER), "white")
    draw = ImageDraw.Draw(image)
    for l, t, r, b, *_ in items:
        if r - l < 2 and b - t < 2:
            draw.ellipse((l - 2.5, t - 2.5, l + 2.5, t + 2.5), fill=(31, 78, 145))
        elif r - l < 20:
            draw.rectangle((l, t, r, b), fill=(70, 130, 190))
        else:
            draw.rectangle((l, t, r, b), fill=(214, 228, 242), outline=(70, 130, 190))
    objects: list[Box] = [item[:4] for item in items]
    clashing = {i for pair in overlapping_label_pairs(results) for i in pair}
    clashing |= {i for i, _ in label_object_pairs(results, objects)}
    for i, (result, item) in enumerate(zip(results, items, strict=True)):
        if result.width == 0:
            continue
        l, t, r, b = label_box(result)
        outline = (220, 40, 40) if i in clashing else (200, 200, 200)
        draw.rectangle((l, t, r - 1, b - 1), outline=outline)
        fonts.draw(draw, result, item[4], fill=(20, 20, 20))
    draw.rectangle((0, height, width, height + FOOTER), fill=(240, 240, 240))
    note = (
        f"quillset: {figures.placed} of {figures.labels} labels placed, "
        f"{figures.label_label} label-label and {figures.label_object} label-object overlaps "
        f"(red), {figures.smaller_tier} on a smaller font size; measured with Pillow's own font"
    )
    draw.text((8, height + FOOTER // 2), note, font=fonts.font(14), anchor="lm", fill=(60, 60, 60))
    return image


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument(
        "--out",
        default=os.path.join(ROOT, "build", "demo.png"),
        help="where to write the picture (default: build/demo.png)",
    )
    out = parser.parse_args(argv).out

    width, height, items = make_scene()
    objects: list[Box] = [item[:4] for item in items]
    sizes = [item[5] for item in items]
    fonts = PillowFonts()
    measure = Memoized(fonts.measure)
    engine = quillset.Quillset(width, height, measure)

    start = time.perf_counter()
    for l, t, r, b, text, size in items:
        engine.add(l, t, r, b, text, size)
    add_ms = (time.perf_counter() - start) * 1e3
    before = quality(engine.layout(), objects, sizes)

    start = time.perf_counter()
    engine.solve()
    solve_ms = (time.perf_counter() - start) * 1e3

    start = time.perf_counter()
    results = engine.layout()
    layout_ms = (time.perf_counter() - start) * 1e3
    after = quality(results, objects, sizes)

    print(f"quillset demo: {len(items)} objects on a {width} x {height} canvas")
    print(f"labels added:          {after.labels}")
    print(f"labels placed:         {after.placed}")
    print(f"labels on fallback:    {after.fallback}")
    print(f"labels on smaller font tier: {after.smaller_tier}")
    print(f"{'':22} {'first candidates':>17} {'after solve':>12}")
    print(f"{'label-label overlaps:':22} {before.label_label:>17} {after.label_label:>12}")
    print(f"{'label-object overlaps:':22} {before.label_object:>17} {after.label_object:>12}")
    print(f"time: add {add_ms:.2f} ms, solve {solve_ms:.2f} ms, layout {layout_ms:.2f} ms")
    print(
        f"measuring: Pillow's bundled font, {measure.misses} measurements, "
        f"{measure.hits} answered from the cache"
    )
    print("first results:")
    for result in results[:3]:
        print(" ", result)

    image = render(width, height, items, results, fonts, after)
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    # 32 colours keep the picture small without visible loss.
    image.quantize(32, method=Image.Quantize.MEDIANCUT).save(out, optimize=True)
    print(f"picture: {os.path.relpath(out)}")


if __name__ == "__main__":
    main()
