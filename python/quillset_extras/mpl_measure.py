"""Measuring text as matplotlib's Agg renderer lays it out, from the font's own
glyph metrics, without a Text artist per measurement.

One line of plain text is shaped by matplotlib into glyphs placed at their hinted
advances plus the pair kerning; its extent runs from the origin to the end of the
last advance, and vertically over the glyphs' boxes. A Text then reaches at least
the font's ascender and descender on every line. Glyph metrics and kerning are
cached per font and size, so a text costs one dictionary lookup per character.
Texts that shaping treats otherwise (ligatures, characters from a fallback font)
are measured by the font's own layout call instead.
"""

from __future__ import annotations

import math
import re
import unicodedata
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from ._optional import missing

try:
    from matplotlib import ft2font
    from matplotlib.backend_bases import RendererBase
    from matplotlib.backends.backend_agg import get_hinting_flag
    from matplotlib.font_manager import FontProperties, fontManager, get_font
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.mpl_measure", "matplotlib") from None

import quillset

__all__ = [
    "Extent",
    "FontMeasurer",
]

# 26.6 fixed point: FreeType's unit, 1/64 of a pixel.
_SUBPIXELS = 64.0

# Ligature status of a character pair per font file: shaping does not depend on size.
_merges: dict[str, dict[str, bool]] = {}
# Characters from here on (Hebrew, Arabic, Indic scripts, ...) may be shaped in
# context: their pairs are always laid out to see.
_SHAPED_FROM = 0x0590
# The most entries of one cache of character pairs, glyphs or measured texts: a
# full cache starts again empty, so random text costs time, never unbounded memory.
_MOST_ENTRIES = 1 << 17
_MOST_TEXTS = 1 << 20
# Per font file: a pattern of the character pairs that shaping draws as one
# glyph (None for no such pair); fonts with more pairs that may begin a
# ligature than this are not laid out pair by pair to find them.
_merging: dict[str, re.Pattern[str] | None] = {}
_MOST_LIGATURE_PAIRS = 4096
# What a cache answers for a key that it lacks.
_UNKNOWN: Any = object()


class _Substitutions:
    """Which character pairs of a font may be drawn as other than two glyphs, read
    from the font's glyph substitution table: a pair whose first glyph, after any
    one-to-one substitutions, begins a ligature with the second's, or either of
    which some substitution splits. Pairs with a mark, a control or format
    character, or a character of a script shaped in context may be composed or
    reordered by shaping itself, and so may any pair of a font whose table cannot
    be read.

    From the kerning table, too: the most that kerning moves each glyph's
    follower back, in font units (None where the table cannot be read)."""

    def __init__(self, path: str) -> None:
        self.known = False
        self.glyph: dict[int, str] = {}
        self.ligatures: set[tuple[str, str]] = set()
        self.split: set[str] = set()
        self.singles: dict[str, set[str]] = {}
        self._forms: dict[str, frozenset[str]] = {}
        self.units_per_em = 0
        self.closest: dict[str, int] | None = None
        self._ligature_pairs: Any = _UNKNOWN
        try:
            self._read(path)
        except Exception:  # noqa: BLE001 - any unreadable font: lay out every pair
            self.closest = None
            return
        self.known = True

    def _read(self, path: str) -> None:
        from fontTools.ttLib import TTFont  # type: ignore[import-untyped]

        with TTFont(path, lazy=True) as font:
            self.glyph = font.getBestCmap() or {}
            if "GSUB" in font:
                self._read_substitutions(font["GSUB"].table)
            self.units_per_em = int(font["head"].unitsPerEm)
            self.closest = self._read_kerning(font["kern"]) if "kern" in font else {}

    @staticmethod
    def _read_kerning(kern: Any) -> dict[str, int]:
        # FreeType kerns from the format 0 tables only; values of several tables
        # may add up, so their minima do.
        closest: dict[str, int] = {}
        for table in kern.kernTables:
            if table.format != 0:
                continue
            least: dict[str, int] = {}
            for (left, _), value in table.kernTable.items():
                if value < least.get(left, 0):
                    least[left] = value
            for left, value in least.items():
                closest[left] = closest.get(left, 0) + value
        return closest

    def _read_substitutions(self, gsub: Any) -> None:
        for lookup in gsub.LookupList.Lookup:
            for table in lookup.SubTable:
                kind = lookup.LookupType
                if kind == 7:  # an extension: the real table inside
                    kind, table = table.ExtensionLookupType, table.ExtSubTable
                if kind == 1:
                    for g, h in table.mapping.items():
                        self.singles.setdefault(g, set()).add(h)
                elif kind == 3:
                    for g, hs in table.alternates.items():
                        self.singles.setdefault(g, set()).update(hs)
                elif kind == 8:
                    for g, h in zip(table.Coverage.glyphs, table.Substitute, strict=True):
                        self.singles.setdefault(g, set()).add(h)
                elif kind == 2:
                    self.split.update(table.mapping)
                elif kind == 4:
                    for first, ligatures in table.ligatures.items():
                        for ligature in ligatures:
                            if ligature.Component:
                                self.ligatures.add((first, ligature.Component[0]))
                # Contextual lookups (5, 6) apply the lookups above, read already.

    def forms(self, glyph: str) -> frozenset[str]:
        """The glyph and every glyph that one-to-one substitutions may make of it."""
        found = self._forms.get(glyph)
        if found is None:
            seen, todo = {glyph}, [glyph]
            while todo:
                for h in self.singles.get(todo.pop(), ()):
                    if h not in seen:
                        seen.add(h)
                        todo.append(h)
            found = self._forms[glyph] = frozenset(seen)
        return found

    def plain(self, a: str, b: str) -> bool:
        """Whether the pair a, b surely lays out as two glyphs."""
        if not self.known or max(ord(a), ord(b)) >= _SHAPED_FROM:
            return False
        if unicodedata.category(a)[0] in "MC" or unicodedata.category(b)[0] in "MC":
            return False
        ga, gb = self.glyph.get(ord(a)), self.glyph.get(ord(b))
        if ga is None or gb is None:
            return False
        fa, fb = self.forms(ga), self.forms(gb)
        if not self.split.isdisjoint(fa) or not self.split.isdisjoint(fb):
            return False
        return not any((x, y) in self.ligatures for x in fa for y in fb)

    def ligature_pairs(self) -> set[str]:
        """The pairs of characters (before those shaped in context) whose glyphs
        may begin a ligature."""
        if self._ligature_pairs is _UNKNOWN:
            # The characters whose glyph one-to-one substitutions may turn into
            # each glyph.
            into: dict[str, set[str]] = {}
            for g, hs in self.singles.items():
                for h in hs:
                    into.setdefault(h, set()).add(g)
            chars: dict[str, set[str]] = {}
            for c, g in self.glyph.items():
                if c < _SHAPED_FROM:
                    chars.setdefault(g, set()).add(chr(c))

            def sources(glyph: str) -> set[str]:
                seen, todo = {glyph}, [glyph]
                while todo:
                    for g in into.get(todo.pop(), ()):
                        if g not in seen:
                            seen.add(g)
                            todo.append(g)
                return {c for g in seen for c in chars.get(g, ())}

            self._ligature_pairs = {
                a + b for x, y in self.ligatures for a in sources(x) for b in sources(y)
            }
        found: set[str] = self._ligature_pairs
        return found


_substitutions: dict[str, _Substitutions] = {}


@dataclass(frozen=True)
class Extent:
    """A text's extent in display pixels, as matplotlib's Text draws it with its
    top-left corner at the origin: `width`, `ascent` (top to the first baseline) and
    `height` (top to bottom)."""

    width: float
    ascent: float
    height: float


class _Face:
    """One font at one size: glyph advances and boxes, kerning, and the line
    metrics that a Text imposes."""

    def __init__(self, prop: FontProperties, dpi: float, renderer_dpi: float, hinted: bool) -> None:
        self.prop = prop
        self.font = get_font(fontManager._find_fonts_by_props(prop))
        self.size = prop.get_size_in_points()
        self.renderer_dpi = renderer_dpi
        self.flags: ft2font.LoadFlags = (
            get_hinting_flag() if hinted else ft2font.LoadFlags.NO_HINTING  # type: ignore[no-untyped-call]
        )
        self.glyphs: dict[str, tuple[int, int, int, int] | None] = {}
        self.kerning: dict[str, int] = {}
        self.merges = _merges.setdefault(str(self.font.fname), {})
        found = _substitutions.get(str(self.font.fname))
        if found is None:
            found = _substitutions[str(self.font.fname)] = _Substitutions(str(self.font.fname))
        self.substitutions = found
        self.kerns = bool(self.font.face_flags & ft2font.FaceFlags.KERNING)
        self.min_ascent, self.min_descent, self.line_gap = self._line_metrics(dpi)
        # Per character: its advance less the most that kerning takes from the
        # next one, in 26.6 units; or, for those that shaping may lay out
        # otherwise than glyph by glyph, in `shaped`.
        self.least_advances: dict[str, int] = {}
        self.shaped: set[str] = set()

    def _line_metrics(self, dpi: float) -> tuple[float, float, float]:
        # As Text lays out a line: the typographic ascender and descender (or the
        # horizontal header's) at the figure's dpi.
        for table_name, gap_key, ascent_key, descent_key in (
            ("OS/2", "sTypoLineGap", "sTypoAscender", "sTypoDescender"),
            ("hhea", "lineGap", "ascent", "descent"),
        ):
            table = self.font.get_sfnt_table(table_name)  # type: ignore[call-overload]
            if table is None:
                continue
            head = self.font.get_sfnt_table("head")
            assert head is not None
            scale = self.size * dpi / 72 / float(head["unitsPerEm"])
            return (
                float(table[ascent_key]) * scale,
                -float(table[descent_key]) * scale,
                float(table[gap_key]) * scale,
            )
        # No table: the extent of "lp", as Text falls back to.
        _, height, descent = self._measure_by_layout("lp")
        return height - descent, descent, 0.0

    def _select(self) -> None:
        # The font object is shared with the renderer, which sets its own size.
        self.font.set_size(self.size, self.renderer_dpi)

    def _glyph(self, char: str) -> tuple[int, int, int, int] | None:
        """Advance, ink bottom, ink top and glyph index, in 26.6 units; None for a
        character that the font lacks."""
        if char in self.glyphs:
            return self.glyphs[char]
        if len(self.glyphs) >= _MOST_ENTRIES:
            self.glyphs.clear()
        self._select()
        index = self.font.get_char_index(ord(char))
        found = None
        if index:
            glyph = self.font.load_char(ord(char), flags=self.flags)
            _, bottom, _, top = glyph.bbox
            found = (glyph.horiAdvance, bottom, top, index)
        self.glyphs[char] = found
        return found

    def _merged(self, pair: str) -> bool:
        merged = self.merges.get(pair)
        if merged is None:
            if len(self.merges) >= _MOST_ENTRIES:
                self.merges.clear()
            if self.substitutions.plain(pair[0], pair[1]):
                merged = self.merges[pair] = False
            else:
                # Laying out costs tens of microseconds: only where the table
                # cannot tell.
                self._select()
                merged = self.merges[pair] = len(self.font.set_text(pair, 0.0, self.flags)) != 2
        return merged

    def _kern(self, pair: str, left: int, right: int) -> int:
        found = self.kerning.get(pair)
        if found is None:
            if len(self.kerning) >= _MOST_ENTRIES:
                self.kerning.clear()
            self._select()
            found = self.kerning[pair] = self.font.get_kerning(
                left,  # type: ignore[arg-type]
                right,  # type: ignore[arg-type]
                ft2font.Kerning.UNFITTED,
            )
        return found

    def _least_advance(self, char: str) -> None:
        if len(self.least_advances) + len(self.shaped) >= _MOST_ENTRIES:
            self.least_advances.clear()
            self.shaped.clear()
        tables, glyph = self.substitutions, self._glyph(char)
        name = tables.glyph.get(ord(char))
        if (
            glyph is None or name is None or tables.closest is None
            or ord(char) >= _SHAPED_FROM or unicodedata.category(char)[0] in "MC"
            or not tables.split.isdisjoint(tables.forms(name))
        ):  # fmt: skip
            self.shaped.add(char)
            return
        least = glyph[0]
        closest = tables.closest.get(name, 0) if self.kerns else 0
        if closest:
            # Kerning is scaled from font units at the size set; a unit less
            # covers its rounding.
            scale = self.size * self.renderer_dpi / 72.0 * _SUBPIXELS / tables.units_per_em
            least += math.floor(closest * scale) - 1
        self.least_advances[char] = least

    def least_width(self, line: str) -> float | None:
        """At most the width that line() answers, from the glyphs' advances and
        the most that kerning may take from each; None for a line that shaping
        may lay out otherwise than glyph by glyph."""
        pairs = _merging.get(str(self.font.fname), _UNKNOWN)
        if pairs is _UNKNOWN:
            ligatures = self.substitutions.ligature_pairs()
            if len(ligatures) > _MOST_LIGATURE_PAIRS:
                pairs = re.compile(".", re.DOTALL)  # too many to lay out: no bound
            else:
                merged = sorted(p for p in ligatures if self._merged(p))
                pairs = re.compile("|".join(map(re.escape, merged))) if merged else None
            _merging[str(self.font.fname)] = pairs
        if pairs is not None and pairs.search(line):
            return None
        advances, shaped = self.least_advances, self.shaped
        for _ in range(2):
            if not shaped.isdisjoint(line):
                return None
            try:
                return sum(map(advances.__getitem__, line)) / _SUBPIXELS
            except KeyError:
                for char in set(line).difference(advances):
                    self._least_advance(char)
        return None  # the caches began anew meanwhile

    def _measure_by_layout(self, line: str) -> tuple[float, float, float]:
        self._select()
        self.font.set_text(line, 0.0, self.flags)
        width, height = self.font.get_width_height()
        return width / _SUBPIXELS, height / _SUBPIXELS, self.font.get_descent() / _SUBPIXELS

    def line(self, line: str) -> tuple[float, float, float]:
        """Width, ink height and ink descent of one line, in pixels, as the
        renderer reports them."""
        if not line:
            return 0.0, 0.0, 0.0
        pen = 0
        bottom, top = math.inf, -math.inf
        previous: tuple[int, int, int, int] | None = None
        previous_char = ""
        # The caches read in place: most characters and pairs are known.
        glyphs, merges, kerning, kerns = self.glyphs, self.merges, self.kerning, self.kerns
        for char in line:
            glyph = glyphs.get(char, _UNKNOWN)
            if glyph is _UNKNOWN:
                glyph = self._glyph(char)
            if glyph is None:
                return self._measure_by_layout(line)
            if previous is not None:
                pair = previous_char + char
                merged = merges.get(pair)
                if merged is None:
                    merged = self._merged(pair)
                if merged:
                    return self._measure_by_layout(line)
                pen += previous[0]
                if kerns:
                    kern = kerning.get(pair)
                    if kern is None:
                        kern = self._kern(pair, previous[3], glyph[3])
                    # Shaping rounds kerning its own way: one unit more keeps the
                    # measured width from falling short of the drawn one.
                    pen += kern + (kern != 0)
            if glyph[1] < bottom:
                bottom = glyph[1]
            if glyph[2] > top:
                top = glyph[2]
            previous, previous_char = glyph, char
        assert previous is not None
        pen += previous[0]
        return pen / _SUBPIXELS, (top - bottom) / _SUBPIXELS, -bottom / _SUBPIXELS


class FontMeasurer:
    """Measures texts as matplotlib's Agg renderer draws them in a Text with
    horizontal alignment left and vertical alignment top, in display pixels.

    As a measuring callable it answers the extent rounded up to whole pixels:
    width, ascent of the first line, and the rest of the height below it.
    Multi-line texts are measured line by line with the Text's line spacing.
    Math text is not parsed: it is measured and must be drawn as plain text. Its
    caches are bounded: texts beyond a million start them again.

    Parameters
    ----------
    font : FontProperties or None, default: None
        The font; None for matplotlib's default font.
    dpi : float, default: 100.0
        The figure's dpi.
    unit : int, default: 1
        Sizes are given in points times `unit`, so that the engine's integer
        sizes can carry fractions of a point.
    linespacing : float or "normal", default: "normal"
        As Text's linespacing: a multiple of the font's line height.
    renderer : RendererBase or None, default: None
        The renderer that draws the texts; its dpi sets the glyphs' hinting.
    hinted : bool, default: True
        Whether the glyphs are hinted, as Agg draws them; vector backends (PDF,
        SVG, PostScript) lay text out unhinted.
    """

    def __init__(
        self,
        font: FontProperties | None = None,
        dpi: float = 100.0,
        *,
        unit: int = 1,
        linespacing: float | str = "normal",
        renderer: RendererBase | None = None,
        hinted: bool = True,
    ) -> None:
        if unit < 1:
            raise ValueError(f"unit must be at least 1, not {unit}")
        self.prop = FontProperties() if font is None else font
        self.dpi = dpi
        self.unit = unit
        self.linespacing = linespacing
        renderer_dpi = dpi if renderer is None else float(getattr(renderer, "dpi", dpi))
        self._renderer_dpi = renderer_dpi
        self._hinted = hinted
        self._faces: dict[int, _Face] = {}
        self._cache: dict[tuple[str, int], tuple[int, int, int]] = {}

    def face(self, size: int) -> _Face:
        found = self._faces.get(size)
        if found is None:
            prop = self.prop.copy()
            prop.set_size(size / self.unit)
            found = self._faces[size] = _Face(prop, self.dpi, self._renderer_dpi, self._hinted)
        return found

    def extent(self, text: str, size: int) -> Extent:
        """The exact extent of `text` at `size` (points times unit)."""
        face = self.face(size)
        lines = text.split("\n")
        gap = face.line_gap if len(lines) > 1 else 0.0
        width = height = first_ascent = 0.0
        for i, line in enumerate(lines):
            w, h, d = face.line(line)
            a = h - d
            if self.linespacing == "normal":
                a = max(a, face.min_ascent) + gap / 2
                d = max(d, face.min_descent) + gap / 2
            else:
                leading = float(self.linespacing) * (face.min_ascent + face.min_descent) - (a + d)
                a += leading / 2
                d += leading / 2
            if i == 0:
                first_ascent = a
            width = max(width, w)
            height += a + d
        return Extent(width, first_ascent, height)

    def least(self, texts: Sequence[str], size: int) -> tuple[list[float], int] | None:
        """What measuring the texts at `size` would answer at least, without
        measuring them: each one's width (NaN where not known) and the height
        with the baseline of any of them. None for texts with a line spacing of
        their own."""
        if self.linespacing != "normal":
            return None
        face = self.face(size)
        widths = []
        for text in texts:
            width = None if "\n" in text else face.least_width(text)
            widths.append(math.nan if width is None else width)
        # Every line reaches the font's ascender and descender; the tolerance
        # covers the last bit of (ascent + descent) - ascent.
        return widths, math.ceil(face.min_ascent) + math.ceil(face.min_descent - 1e-6)

    def __call__(self, text: str, size: int) -> quillset.TextSize:
        key = (text, size)
        found = self._cache.get(key)
        if found is None:
            extent = self.extent(text, size)
            if len(self._cache) >= _MOST_TEXTS:
                self._cache.clear()
            found = self._cache[key] = (
                math.ceil(extent.width),
                math.ceil(extent.ascent),
                math.ceil(extent.height - extent.ascent),
            )
        # A TextSize of its own for every caller: callers may change it.
        return quillset.TextSize(*found)
