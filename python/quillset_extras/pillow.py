"""Measuring and drawing labels with Pillow fonts (needs Pillow 10.1 or later)."""

from __future__ import annotations

import math
import os
from collections.abc import Iterable

from ._optional import missing

try:
    from PIL import Image, ImageDraw, ImageFont
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.pillow", "pillow") from None

import quillset

from .quality import is_fallback

__all__ = [
    "Font",
    "PillowFonts",
]

Font = ImageFont.FreeTypeFont | ImageFont.ImageFont | ImageFont.TransposedFont


class PillowFonts:
    """One font face at every size the engine asks for, to measure the labels with
    and afterwards to draw them with, so that drawn text fits its measured box.

    `font` is the path of a TrueType or OpenType file, or None for the font that
    Pillow itself ships (ImageFont.load_default), which needs no file at all.

    A box reaches from the font's cap height (or the text's own top, if higher) to
    its descender (or the text's own bottom, if lower), so that labels of one size
    share one height; its width is the text's advance or its ink, whichever is wider.
    A text with line breaks is measured as `draw` draws it: lines below one another
    with ImageDraw's own line spacing, the first line's baseline at the box's
    ascent.
    """

    def __init__(self, font: str | os.PathLike[str] | None = None) -> None:
        self.path = None if font is None else os.fspath(font)
        self._fonts: dict[int, Font] = {}
        self._reference: dict[int, tuple[float, float]] = {}
        self._scratch = ImageDraw.Draw(Image.new("L", (1, 1)))

    def font(self, size: int) -> Font:
        """The font at `size` (Pillow's size: pixels per em), loaded once."""
        found = self._fonts.get(size)
        if found is None:
            if self.path is None:
                found = ImageFont.load_default(size=size)
            else:
                found = ImageFont.truetype(self.path, size)
            self._fonts[size] = found
        return found

    def measure(self, text: str, font_size: int) -> quillset.TextSize:
        """The measuring callable to give Quillset."""
        font = self.font(font_size)
        reference = self._reference.get(font_size)
        if reference is None:
            _, top, _, bottom = font.getbbox("Hg", anchor="ls")
            reference = self._reference[font_size] = (top, bottom)
        if "\n" in text:
            # Several lines, laid out as ImageDraw.text draws them: the box reaches
            # from the first line's top to the last line's bottom.
            x0, y0, x1, y1 = self._scratch.multiline_textbbox((0, 0), text, font, anchor="ls")
            width = max(x1, *(font.getlength(line) for line in text.split("\n")))
        else:
            x0, y0, x1, y1 = font.getbbox(text, anchor="ls")
            width = max(font.getlength(text), x1) if text else 0.0
        return quillset.TextSize(
            math.ceil(width), math.ceil(-min(y0, reference[0])), math.ceil(max(y1, reference[1]))
        )

    __call__ = measure

    def draw(
        self,
        draw: ImageDraw.ImageDraw,
        result: quillset.LayoutResult,
        text: str,
        fill: str | tuple[int, ...] = "black",
        offset: tuple[float, float] = (0.0, 0.0),
    ) -> bool:
        """Draws `text` where `result` (from Quillset.layout) placed it, shifted by
        `offset` when the canvas does not start at the image's origin. Draws
        nothing and returns False for a label that found no place."""
        if is_fallback(result):
            return False
        x = offset[0] + result.left + result.padding_x
        y = offset[1] + result.top + result.padding_y + result.textAscent
        draw.text((x, y), text, font=self.font(result.fontSize), anchor="ls", fill=fill)
        return True

    def draw_all(
        self,
        draw: ImageDraw.ImageDraw,
        results: Iterable[quillset.LayoutResult],
        texts: Iterable[str],
        fill: str | tuple[int, ...] = "black",
        offset: tuple[float, float] = (0.0, 0.0),
    ) -> int:
        """Draws every placed label; returns how many were drawn."""
        return sum(
            self.draw(draw, result, text, fill, offset)
            for result, text in zip(results, texts, strict=True)
        )
