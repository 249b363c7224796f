"""Labels the places of a small map with quillset, measuring the text with the font
that Pillow ships (no font file needed), and draws the map to a PNG.

    python examples/pillow_scene.py [out.png]
"""

from __future__ import annotations

import random
import sys

from PIL import Image, ImageDraw

import quillset
from quillset_extras.pillow import PillowFonts

WIDTH, HEIGHT = 720, 440
NAMES = [
    "Ashford", "Bramley", "Cold Ash", "Dunmore", "Eastwick", "Fairlight", "Glenrock",
    "Holloway", "Ivy Cross", "Juniper Hill", "Kingsmead", "Lowmoor", "Marsh End",
    "Netherby", "Oakhurst", "Pennywell", "Quayside", "Redcliffe", "Stonebridge",
    "Thornbury", "Upper Vale", "Westgate", "Yarrow", "Church Lane", "Mill Pond",
    "Old Forge", "Saltings", "Hollins", "Brook End", "Larkrise",
]  # fmt: skip
AREAS = [
    ("Lake Merrow", (430, 150, 560, 230)),
    ("Kings Wood", (90, 250, 230, 330)),
    ("Harbour", (600, 330, 700, 420)),
]

# Pillow's own font, which needs no file: one face to measure the labels with and
# to draw them with.
fonts = PillowFonts()


def main(out: str) -> None:
    rng = random.Random(3)
    towns = [(rng.uniform(20, WIDTH - 20), rng.uniform(20, HEIGHT - 20)) for _ in NAMES]

    engine = quillset.Quillset(WIDTH, HEIGHT, fonts.measure)
    for name, (l, t, r, b) in AREAS:
        engine.add(l, t, r, b, name, 15)
    for name, (x, y) in zip(NAMES, towns, strict=True):
        engine.add(x - 3, y - 3, x + 3, y + 3, name, 13)  # a town: a 6 x 6 dot
    engine.solve()
    results = engine.layout()

    image = Image.new("RGB", (WIDTH, HEIGHT), (250, 248, 240))
    draw = ImageDraw.Draw(image)
    for _, box in AREAS:
        draw.rectangle(box, fill=(200, 225, 200), outline=(120, 160, 120))
    for x, y in towns:
        draw.ellipse((x - 3, y - 3, x + 3, y + 3), fill=(150, 40, 40))
    texts = [name for name, _ in AREAS] + NAMES
    for text, result in zip(texts, results, strict=True):
        if result.width == 0:  # no room anywhere on the canvas
            continue
        # The text's baseline lies textAscent below the top padding.
        x = result.left + result.padding_x
        y = result.top + result.padding_y + result.textAscent
        draw.text((x, y), text, font=fonts.font(result.fontSize), anchor="ls", fill=(30, 30, 30))
    image.save(out)
    print(f"{len(results)} labels placed; picture: {out}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "pillow_scene.png")
