"""label_points' arguments as matplotlib users write them: font sizes, fonts,
texts, and the keywords of Axes.text, split into what is measured and what is
only drawn."""

from __future__ import annotations

import math
import numbers
import os
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from ._optional import missing

try:
    from matplotlib import cbook, colors
    from matplotlib.font_manager import FontProperties, font_scalings
    from matplotlib.lines import Line2D
    from matplotlib.text import Text
except ModuleNotFoundError as error:
    raise missing(error, "quillset_extras.mpl_style", "matplotlib") from None

TENTHS = 10
"""label_points hands the engine font sizes in tenths of a point."""

# Keywords of Axes.text that label_points sets itself, as the caller may write
# them, and what to use instead.
_OWN = {
    "x": "x",
    "y": "y",
    "s": "the text",
    "text": "the text",
    "ha": "the alignment",
    "horizontalalignment": "the alignment",
    "va": "the alignment",
    "verticalalignment": "the alignment",
    "parse_math": "plain text (math text is not parsed)",
    "fontproperties": "font=",
    "font_properties": "font=",
    "font": "font=",
    "size": "fontsize=",
    "fontsize": "fontsize=",
}
# Keywords that change the text's extent in a way the measurer does not follow.
_REFUSED = {"usetex", "wrap", "fontfeatures", "language", "math_fontfamily"}
# Font keywords (by their full names) folded into the measured and drawn font.
_FONT = {
    "fontfamily": "set_family",
    "fontname": "set_family",
    "fontweight": "set_weight",
    "fontstyle": "set_style",
    "fontstretch": "set_stretch",
    "fontvariant": "set_variant",
}
# Leader lines unless the caller says otherwise: thin, and grey where the text
# has no colour of its own.
_LINE_WIDTH = 0.6
_LINE_COLOR = "0.3"


def font_size_points(fontsize: object) -> float:
    """A font size as matplotlib users write it (a number of points, as a number or
    a string, or a named size such as "small") in points, for label_points'
    `fontsize`. Sizes below 1 point, which FreeType cannot draw (matplotlib draws
    them at 1 point), are refused, whether given as numbers or as strings."""
    if isinstance(fontsize, bool) or not isinstance(fontsize, (numbers.Real, str)):
        raise TypeError(
            "label_points: fontsize must be a number of points or a named size "
            f"such as 'small', not {type(fontsize).__name__}"
        )
    if isinstance(fontsize, str):
        try:
            points = float(fontsize)
        except ValueError:
            try:
                points = FontProperties(size=fontsize).get_size_in_points()
            except ValueError:
                raise ValueError(
                    f"label_points: fontsize {fontsize!r} is neither a number nor a named "
                    f"size ({', '.join(str(k) for k in font_scalings if k)})"
                ) from None
    else:
        points = float(fontsize)
    if not math.isfinite(points) or not 1.0 <= points <= 3000.0:
        raise ValueError(f"label_points: fontsize must be 1 to 3000 points, not {fontsize!r}")
    return points


def font_properties(font: object) -> FontProperties:
    """label_points' `font` as matplotlib's Text takes it: FontProperties, a family
    name or fontconfig pattern (str), the path of a font file, or a dict of
    FontProperties' keywords; None is the default font."""
    if font is None:
        return FontProperties()
    if isinstance(font, FontProperties):
        return font
    if isinstance(font, str):
        return FontProperties(font)
    if isinstance(font, os.PathLike):
        return FontProperties(fname=font)
    if isinstance(font, dict):
        return FontProperties(**font)
    raise TypeError(
        "label_points: font must be FontProperties, a family name, a font file's path "
        f"or a dict of FontProperties keywords, not {type(font).__name__}"
    )


def finite_number(value: object, name: str) -> float:
    """A finite real number (NaN passes through, to fail the caller's range check)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"label_points: {name} must be a number, not {type(value).__name__}")
    number = float(value)
    if math.isinf(number):
        raise ValueError(f"label_points: {name} must be finite, not {value!r}")
    return number


def label_texts(texts: Iterable[object]) -> list[str]:
    """Texts as Axes.text takes them, in order (a pandas Series by position): any
    object as its str(), None as an empty text. Bytes are refused: which encoding
    they hold is the caller's to say."""
    out = []
    for i, text in enumerate(texts):
        if isinstance(text, (bytes, bytearray)):
            raise TypeError(
                f"label_points: texts[{i}] is {type(text).__name__}: decode it to str "
                "first (for example text.decode('utf-8'))"
            )
        out.append("" if text is None else str(text))
    return out


@dataclass(frozen=True)
class TextStyle:
    """How the labels look: the font they are measured and drawn with, the line
    spacing, the keywords left for Axes.text, and the leader lines' keywords."""

    font: FontProperties
    linespacing: float | str
    text_kw: dict[str, Any]
    line_kw: dict[str, Any]


def text_style(
    font: object, text_kwargs: dict[str, Any], line_kw: dict[str, Any] | None = None
) -> TextStyle:
    """The style of label_points' `font`, keywords for Axes.text and `line_kw`."""
    refuse_own(text_kwargs)
    prop = font_properties(font).copy()
    linespacing: float | str = "normal"
    rest = {}
    for key, value in cbook.normalize_kwargs(text_kwargs, Text).items():
        if key in _REFUSED:
            if key in ("usetex", "wrap") and not value:
                continue
            raise ValueError(f"label_points cannot measure text drawn with {key}={value!r}")
        if key in _FONT:
            getattr(prop, _FONT[key])(value)
        elif key == "rotation":
            if value not in (None, 0, 0.0, "horizontal"):
                raise ValueError(
                    f"label_points places horizontal text only, not rotation={value!r}"
                )
        else:
            if key == "linespacing" and value is not None:
                linespacing = float(value)
                if not math.isfinite(linespacing) or linespacing <= 0:
                    raise ValueError(f"label_points: linespacing must be positive, not {value!r}")
            rest[key] = value
    lines = {
        "linewidth": _LINE_WIDTH,
        "color": rest.get("color", _LINE_COLOR),
        "alpha": rest.get("alpha"),
    }
    lines.update(cbook.normalize_kwargs(line_kw or {}, Line2D))
    return TextStyle(prop, linespacing, rest, lines)


# Text properties that are colours: a sequence of numbers there is one colour,
# unless it is no colour.
_COLOURS = {"color", "backgroundcolor"}


def refuse_own(text_kwargs: dict[str, Any]) -> None:
    """Refuses the keywords of Axes.text that label_points sets itself."""
    for key in text_kwargs:
        if key in _OWN:
            raise TypeError(f"label_points sets {key!r} itself: use {_OWN[key]}")


def per_label(
    text_kwargs: dict[str, Any], count: int
) -> tuple[dict[str, Any], dict[str, list[Any]]]:
    """The keywords of Axes.text split into those for every label and those given
    one per label: a sequence (not a string, and not a colour for a colour
    keyword) of `count` values. Keywords come back by their full names."""
    refuse_own(text_kwargs)
    every, each = {}, {}
    for key, value in cbook.normalize_kwargs(text_kwargs, Text).items():
        if _one_per_label(key, value, count):
            each[key] = list(value)
        else:
            every[key] = value
    return every, each


def _one_per_label(key: str, value: Any, count: int) -> bool:
    if isinstance(value, (str, bytes, dict)) or not hasattr(value, "__len__"):
        return False
    if not hasattr(value, "__iter__") or len(value) != count:
        return False
    return not (key in _COLOURS and colors.is_color_like(value))


def label_fonts(
    font: FontProperties, each: dict[str, list[Any]], count: int
) -> tuple[list[FontProperties], list[int]]:
    """The distinct fonts of the labels, and each label's: `font` with the font
    keywords given one per label (by full name) folded in."""
    keys = [key for key in each if key in _FONT]
    if not keys:
        return [font], [0] * count
    fonts: list[FontProperties] = []
    found: dict[FontProperties, int] = {}
    font_of = []
    for i in range(count):
        prop = font.copy()
        for key in keys:
            getattr(prop, _FONT[key])(each[key][i])
        index = found.setdefault(prop, len(fonts))
        if index == len(fonts):
            fonts.append(prop)
        font_of.append(index)
    for key in keys:
        del each[key]
    return fonts, font_of
