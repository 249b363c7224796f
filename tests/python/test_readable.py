"""Readable labels: the glyph-metric measurer against matplotlib's own extents,
font sizes and text keywords of label_points, overlap="hide" with priorities and
leader lines (counted from the drawn Text artists), and the plain deciding
function that needs no matplotlib."""

import io
import math
import random
import warnings

import matplotlib
import numpy as np
import pytest

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.font_manager import FontProperties  # noqa: E402
from PIL import Image, ImageDraw  # noqa: E402

import quillset  # noqa: E402
from quillset_extras import fixed_advance, mpl_measure  # noqa: E402
from quillset_extras.geometry import BoxIndex, crosses, overlaps  # noqa: E402
from quillset_extras.grids import Coverage, MarkerIndex  # noqa: E402
from quillset_extras.mpl import label_points  # noqa: E402
from quillset_extras.mpl_measure import FontMeasurer, _Substitutions  # noqa: E402
from quillset_extras.pillow import PillowFonts  # noqa: E402
from quillset_extras.quality import is_fallback, overlapping_boxes  # noqa: E402
from quillset_extras.readable import (  # noqa: E402
    choose_readable,
    place_readable,
    priority_order,
)

CORPUS = [
    "Zürich",
    "São Paulo",
    "Kraków",
    "Île-de-France",
    "St. John's",
    "Aarhus (DK)",
    "AVATAR Tower 42",
    "fjord office",
    "Wolfsburg / Fallersleben",
    "  leading and trailing  ",
    "ÅÉÎÕÜ ñ ç ß ø",
    "1,234.56 km²",
    "Tō-kyo",
    "x",
    "-",
    "'",
    "a\nsecond line\n\nfourth",
]


@pytest.fixture
def axes():
    fig, ax = plt.subplots(figsize=(6, 4), dpi=100)
    yield ax
    plt.close(fig)


def drawn_extent(ax, text, prop, **kwargs):
    renderer = ax.figure.canvas.get_renderer()
    artist = ax.text(0.5, 0.5, text, fontproperties=prop, ha="left", va="top", **kwargs)
    extent = artist.get_window_extent(renderer)
    artist.remove()
    return extent


@pytest.mark.parametrize(
    "size, font, linespacing",
    [
        (9.0, {}, "normal"),
        (8.5, {"weight": "bold"}, "normal"),
        (13.3, {"family": "serif", "style": "italic"}, "normal"),
        (11.0, {"family": "monospace"}, 1.6),
        (30.0, {"stretch": "condensed"}, "normal"),
    ],
)
def test_measurer_matches_the_drawn_extent(axes, size, font, linespacing):
    prop = FontProperties(size=size, **font)
    measurer = FontMeasurer(prop, axes.figure.dpi, unit=10, linespacing=linespacing)
    kwargs = {"parse_math": False}
    if linespacing != "normal":
        kwargs["linespacing"] = linespacing
    for text in CORPUS:
        extent = drawn_extent(axes, text, prop, **kwargs)
        exact = measurer.extent(text, round(size * 10))
        assert abs(exact.width - extent.width) < 1, text
        assert abs(exact.height - extent.height) < 1e-6, text
        rounded = measurer(text, round(size * 10))
        # Rounded up, and kerning counted a 64th of a pixel wide of the drawn one.
        assert extent.width <= rounded.width <= extent.width + 1, text
        assert extent.height <= rounded.height + rounded.baseline < extent.height + 2, text


@pytest.mark.parametrize("backend", ["pdf", "svg", "ps"])
def test_unhinted_measure_holds_the_text_a_vector_backend_draws(backend):
    # Vector backends lay text out unhinted, up to 2.5 pixels wider than Agg at
    # 72 dpi: measured hinted, labels saved to a file overlapped.
    from matplotlib.backends import backend_pdf, backend_ps, backend_svg

    figure = plt.figure(dpi=72)
    renderer = {
        "pdf": lambda: backend_pdf.RendererPdf(backend_pdf.PdfFile(io.BytesIO()), 72, 6, 4),
        "svg": lambda: backend_svg.RendererSVG(6, 4, io.StringIO()),
        "ps": lambda: backend_ps.RendererPS(6, 4, io.StringIO()),
    }[backend]()
    rng = random.Random(3)
    texts = CORPUS + ["".join(rng.choice("AVTWafilo.,P0 ") for _ in range(9)) for _ in range(200)]
    for size in (8.0, 9.0, 12.5):
        measurer = FontMeasurer(FontProperties(size=size), 72, unit=10, hinted=False)
        for text in texts:
            artist = figure.text(0, 0, text, fontsize=size, ha="left", va="top", parse_math=False)
            extent = artist.get_window_extent(renderer)
            artist.remove()
            rounded = measurer(text, round(size * 10))
            assert extent.width <= rounded.width + 0.05, text
            assert extent.height <= rounded.height + rounded.baseline + 1e-6, text


@pytest.mark.parametrize("family", ["DejaVu Sans", "DejaVu Serif", "STIXGeneral", "cmr10"])
def test_pairs_read_as_plain_lay_out_as_two_glyphs(family):
    # Pairs the font's substitution table calls plain skip the layout call: a
    # wrong answer would measure a ligature as two glyphs.
    from matplotlib import ft2font
    from matplotlib.font_manager import fontManager, get_font

    font = get_font(fontManager._find_fonts_by_props(FontProperties(family=family)))
    font.set_size(10, 100)
    table = _Substitutions(str(font.fname))
    chars = [chr(c) for c in table.glyph if c < 0x590] + ["\u0301", "\u200d", "\u05d0"]
    rng = random.Random(5)
    pairs = {"fi", "fl", "ff", "st", "e\u0301"} | {
        rng.choice(chars) + rng.choice(chars) for _ in range(3000)
    }
    plain = [p for p in pairs if table.plain(p[0], p[1])]
    for pair in plain:
        assert len(font.set_text(pair, 0.0, ft2font.LoadFlags.DEFAULT)) == 2, repr(pair)
    assert len(plain) > len(pairs) // 2
    assert not _Substitutions("/no/such/font.ttf").plain("a", "b")
    if family == "DejaVu Sans":  # which has the fi and fl ligatures
        assert not table.plain("f", "i") and not table.plain("f", "l") and table.plain("i", "f")


@pytest.mark.parametrize(
    "family, size, dpi",
    [("DejaVu Sans", 9.0, 100), ("DejaVu Serif", 13.3, 72), ("STIXGeneral", 11.0, 150),
     ("cmr10", 10.0, 100), ("DejaVu Sans Mono", 8.0, 100)],
)  # fmt: skip
def test_least_never_exceeds_what_is_measured(family, size, dpi, monkeypatch):
    # The screen of unmeasured labels drops those whose least text finds no
    # room: a bound above the measured extent would hide a label that fits.
    measurer = FontMeasurer(FontProperties(family=family, size=size), dpi, unit=10)
    rng = random.Random(7)
    pool = "AVTYWLPFfilrtoeay.,'-ÅÉ ßøfiﬁ\u0301\u05d0\U0001d11e\u2019"
    texts = (
        CORPUS
        + ["AVATAR", "Y.", "To", "ffi", "Wolfsburg", "LT-Ty", ""]
        + ["".join(rng.choice(pool) for _ in range(rng.randint(1, 12))) for _ in range(400)]
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # glyphs the font lacks
        widths, height = measurer.least(texts, round(size * 10))
        measured = [measurer(t, round(size * 10)) for t in texts]
    for text, width, m in zip(texts, widths, measured, strict=True):
        assert not width > m.width, text  # NaN: not known
        assert height <= m.height + m.baseline, text
    if family == "DejaVu Sans":  # close enough to be worth it
        words = ["AVATAR", "Wolfsburg", "Aarhus (DK)", "St. John's", "x"]
        found, _ = measurer.least(words, round(size * 10))
        for word, width in zip(words, found, strict=True):
            assert width >= 0.8 * measurer(word, round(size * 10)).width - 1, word
        # A font with too many possible ligatures to lay out gives no bound.
        monkeypatch.setattr(mpl_measure, "_MOST_LIGATURE_PAIRS", 0)
        monkeypatch.setattr(mpl_measure, "_merging", {})
        found, _ = FontMeasurer(dpi=dpi).least(words, 90)
        assert all(math.isnan(w) for w in found)
    assert FontMeasurer(linespacing=1.6).least(["a"], 10) is None


def test_closer_screen_measures_fewer_texts_and_places_the_same(monkeypatch):
    rng = random.Random(4)
    points = [(rng.gauss(300, 90), rng.gauss(200, 60)) for _ in range(1500)]
    texts = [rng.choice(["Tver", "AVON", "Kassel", "Ely", "Fife"]) + f" {i}" for i in range(1500)]
    priority = [rng.random() for _ in points]
    runs = []
    for closer in (True, False):
        if not closer:
            monkeypatch.setattr(FontMeasurer, "least", lambda self, texts, size: None)
        measurer = FontMeasurer(dpi=100)
        placed = place_readable(
            600, 400, points, texts, measurer, 9, radius=1.5, overlap="hide",
            priority=priority,
        )  # fmt: skip
        runs.append((placed.shown, placed.boxes, len(measurer._cache)))
    assert runs[0][:2] == runs[1][:2]
    assert len(runs[0][0]) > 50
    assert runs[0][2] < 0.8 * runs[1][2]


def test_measurer_falls_back_for_characters_the_font_lacks(axes):
    prop = FontProperties(size=10)
    measurer = FontMeasurer(prop, axes.figure.dpi)
    with pytest.warns(UserWarning):  # matplotlib warns of the missing glyph
        extent = drawn_extent(axes, "a\U0001d11eb", prop, parse_math=False)
        measured = measurer.extent("a\U0001d11eb", 10)
    assert abs(measured.width - extent.width) < 1


def scene(n, seed=3, spread=1.0):
    rng = random.Random(seed)
    x = [rng.gauss(0, spread) for _ in range(n)]
    y = [rng.gauss(0, spread) for _ in range(n)]
    return x, y, [f"Place {i}" for i in range(n)]


def drawn_figures(ax, result, x, y, radius=3.0, priority=None):
    """Counts from the drawn artists: overlapping text pairs, texts over a marker
    they may not cover (of a point whose label is drawn, or of a more important
    one), texts outside the axes, and leader lines crossing another text."""
    renderer = ax.figure.canvas.get_renderer()
    frame = ax.get_window_extent(renderer)
    # Extents that only touch can overlap by float noise after the transforms.
    shrink = 1e-6
    boxes = [
        (e.x0 + shrink, e.y0 + shrink, e.x1 - shrink, e.y1 - shrink)
        for e in (t.get_window_extent(renderer) for t in result.texts)
    ]
    r = radius * ax.figure.dpi / 72
    points = ax.transData.transform(list(zip(x, y)))
    markers = {
        k: (px - r, py - r, px + r, py + r)
        for k, (px, py) in enumerate(points)
        if frame.x0 <= px <= frame.x1 and frame.y0 <= py <= frame.y1
    }
    order = sorted(range(len(x)), key=lambda k: -priority[k]) if priority else range(len(x))
    rank = {k: place for place, k in enumerate(order)}
    shown = set(result.shown)
    over_markers = sum(
        1
        for i, b in zip(result.shown, boxes, strict=True)
        for k, m in markers.items()
        if (k in shown or rank[k] <= rank[i])
        and b[0] < m[2] and m[0] < b[2] and b[1] < m[3] and m[1] < b[3]
    )  # fmt: skip
    outside = sum(
        1 for b in boxes if b[0] < frame.x0 or b[1] < frame.y0 or b[2] > frame.x1 or b[3] > frame.y1
    )
    crossing = 0
    own = dict(zip(result.leaders, result.lines))
    for i, text_box in zip(result.shown, boxes):
        for j, line in own.items():
            if i == j:
                continue
            (x0, y0), (x1, y1) = line.get_transform().transform(list(zip(*line.get_data())))
            crossing += crosses((x0, y0, x1, y1), text_box)
    return len(overlapping_boxes(boxes)), over_markers, outside, crossing


@pytest.mark.parametrize("n, leaders", [(40, False), (300, False), (300, True), (2000, True)])
def test_hide_draws_only_readable_labels(axes, n, leaders):
    x, y, texts = scene(n)
    axes.scatter(x, y, s=9)
    result = label_points(axes, x, y, texts, fontsize=9, overlap="hide", leaders=leaders)
    # The scatter's markers: 3 pt wide, with half its 1 pt edge around.
    assert drawn_figures(axes, result, x, y, radius=2.0) == (0, 0, 0, 0)
    assert sorted(result.shown + result.hidden) == list(range(n))
    assert [t.get_text() for t in result.texts] == [texts[i] for i in result.shown]
    q = result.quality
    assert (q.text_text, q.text_marker, q.outside, q.shown) == (0, 0, 0, len(result.shown))
    assert len(result.lines) == len(result.leaders) == q.leaders
    assert set(result.leaders) <= set(result.shown)
    if leaders:
        assert result.leaders, "a crowded scene leaves labels for leader lines"
        assert q.longest_leader <= 8 * 1.5 * 9 * 100 / 72 + 3 * 100 / 72
    if n >= 300:
        assert result.hidden  # crowded: not everything fits


@pytest.mark.parametrize("clip_on", [None, True])
def test_texts_are_clipped_to_the_axes_only_when_asked(axes, clip_on):
    x, y, texts = scene(20)
    axes.scatter(x, y)
    kwargs = {} if clip_on is None else {"clip_on": clip_on}
    result = label_points(axes, x, y, texts, **kwargs)
    assert result.texts
    # One clip path for all texts, the axes' own patch, used only with clip_on.
    (clip,) = {id(text.get_clip_path()) for text in result.texts}
    for text in result.texts:
        assert text.get_clip_on() is bool(clip_on)
        assert text.get_clip_path()._patch is axes.patch


def test_allow_draws_every_placed_label_and_reports_the_overlaps(axes):
    x, y, texts = scene(300)
    axes.scatter(x, y)
    result = label_points(axes, x, y, texts, fontsize=9, overlap="allow")
    assert result.shown == list(range(300)) and result.hidden == [] and result.lines == []
    overlaps, over_markers, _, _ = drawn_figures(axes, result, x, y, radius=3.5)
    assert overlaps > 0 and result.quality.text_text == overlaps
    assert result.quality.text_marker == over_markers


def test_leaders_show_more_than_hide_alone(axes):
    x, y, texts = scene(600)
    hide = label_points(axes, x, y, texts, fontsize=9, overlap="hide")
    hide.artist.remove()
    with_leaders = label_points(axes, x, y, texts, fontsize=9, overlap="hide", leaders=True)
    assert len(with_leaders.shown) > len(hide.shown)


@pytest.mark.parametrize("max_distance", [12.0, 30.0])
def test_leader_lines_stay_within_max_distance(axes, max_distance):
    x, y, texts = scene(800)
    axes.scatter(x, y, s=4)
    result = label_points(
        axes, x, y, texts, overlap="hide", leaders=True, max_distance=max_distance
    )
    assert result.leaders
    scale = axes.figure.dpi / 72
    for line in result.lines:
        (x0, y0), (x1, y1) = line.get_transform().transform(list(zip(*line.get_data())))
        # From the point to the text: the point's own marker adds its radius.
        assert math.hypot(x1 - x0, y1 - y0) <= (max_distance + 1.5) * scale + 1e-6
    assert drawn_figures(axes, result, x, y, radius=1.5) == (0, 0, 0, 0)
    with pytest.raises(ValueError, match="max_distance"):
        label_points(axes, x, y, texts, overlap="hide", leaders=True, max_distance=-1)


def test_priority_decides_which_labels_stay(axes):
    # Twelve points in one place: only a few labels fit, and priority picks them.
    x = [0.0] * 12
    y = [0.0] * 12
    texts = [f"Label number {i}" for i in range(12)]
    axes.set_xlim(-1, 1)
    axes.set_ylim(-1, 1)
    first = label_points(axes, x, y, texts, overlap="hide")
    assert 0 < len(first.shown) < 12
    assert first.shown[0] == 0  # input order: the first label always finds room
    first.artist.remove()  # else its labels are obstacles to the next call's
    priority = [float(i) for i in range(12)]  # the last one is the most important
    by_priority = label_points(axes, x, y, texts, overlap="hide", priority=priority)
    assert 11 in by_priority.shown and 0 not in by_priority.shown
    with pytest.raises(ValueError, match="priorities"):
        label_points(axes, x, y, texts, overlap="hide", priority=[1.0])


def test_same_input_same_picture(axes):
    x, y, texts = scene(500)
    runs = []
    for _ in range(2):
        result = label_points(axes, x, y, texts, overlap="hide", leaders=True)
        runs.append(([t.get_position() for t in result.texts], result.shown, result.leaders))
        result.artist.remove()
    assert runs[0] == runs[1]


@pytest.mark.parametrize(
    "fontsize, points", [(8, 8.0), (8.5, 8.5), ("small", 8.33), ("x-small", 6.94), (10, 10.0)]
)
def test_every_font_size_draws_labels(axes, fontsize, points):
    x, y, texts = scene(10, spread=0.2)
    axes.set_xlim(-1, 1)
    axes.set_ylim(-1, 1)
    result = label_points(axes, x, y, texts, fontsize=fontsize, overlap="allow", shrink=True)
    assert len(result.texts) == 10
    sizes = {t.get_fontsize() for t in result.texts}
    assert max(sizes) == pytest.approx(points, abs=0.05)
    assert min(sizes) >= 0.75 * points - 0.1


@pytest.mark.parametrize(
    "fontsize, error",
    [("huge-ish", ValueError), (0, ValueError), (-3, ValueError), (math.nan, ValueError)]
    + [(None, TypeError), (True, TypeError), ([9, 9], TypeError)],
)
def test_bad_font_sizes_name_the_parameter(axes, fontsize, error):
    with pytest.raises(error, match="fontsize"):
        label_points(axes, [0.5], [0.5], ["a"], fontsize=fontsize)


@pytest.mark.parametrize(
    "kwargs, error, words",
    [
        ({"ha": "center"}, TypeError, "'ha'"),
        ({"verticalalignment": "top"}, TypeError, "'verticalalignment'"),
        ({"parse_math": True}, TypeError, "'parse_math'"),
        ({"size": 20}, TypeError, "fontsize="),
        ({"fontproperties": FontProperties()}, TypeError, "font="),
        ({"rotation": 30}, ValueError, "rotation"),
        ({"usetex": True}, ValueError, "usetex"),
        ({"wrap": True}, ValueError, "wrap"),
    ],
)
def test_keywords_the_helper_cannot_honour_are_refused(axes, kwargs, error, words):
    with pytest.raises(error, match=words):
        label_points(axes, [0.5], [0.5], ["a"], **kwargs)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"fontweight": "bold"},
        {"family": "serif", "style": "italic"},
        {"fontstretch": "expanded", "fontvariant": "small-caps"},
        {"linespacing": 2.0},
        {"rotation": 0, "color": "red", "usetex": False},
    ],
)
def test_extent_keywords_are_measured_as_drawn(axes, kwargs):
    x, y, texts = scene(150, spread=0.6)
    texts = [t if i % 3 else f"{t}\nsecond line" for i, t in enumerate(texts)]
    result = label_points(axes, x, y, texts, fontsize=12, overlap="hide", **kwargs)
    assert len(result.texts) > 5
    if "fontweight" in kwargs:
        assert {t.get_fontweight() for t in result.texts} == {"bold"}
    if "linespacing" in kwargs:
        assert {t.get_linespacing() for t in result.texts} == {2.0}
    # Measured as drawn: bigger, bolder or wider text than measured would overlap.
    assert drawn_figures(axes, result, x, y)[:3] == (0, 0, 0)


def test_points_outside_or_not_finite_are_hidden(axes):
    axes.set_xlim(0, 1)
    axes.set_ylim(0, 1)
    result = label_points(
        axes, [0.5, 5.0, math.nan, 0.2], [0.5, 0.5, 0.5, math.inf], ["in", "out", "nan", "inf"]
    )
    assert result.shown == [0] and result.hidden == [1, 2, 3]


def test_leaders_need_hide(axes):
    with pytest.raises(ValueError, match="hide"):
        label_points(axes, [0.5], [0.5], ["a"], overlap="allow", leaders=True)
    with pytest.raises(ValueError, match="overlap"):
        label_points(axes, [0.5], [0.5], ["a"], overlap="never")


def box(x, y, w=10.0, h=5.0):
    return (x, y, x + w, y + h)


def test_choose_readable_takes_labels_in_order():
    boxes = [box(0, 0), box(5, 2), box(20, 0), None, box(95, 0), box(40, 0)]
    markers = [(42.0, 1.0, 44.0, 3.0)]
    # 1 overlaps 0, 3 has no place, 4 leaves the canvas, 5 covers a marker.
    assert choose_readable(boxes, range(6), markers, 100, 50) == [0, 2]
    assert choose_readable(boxes, [1, 0, 2], markers, 100, 50) == [1, 2]
    # Text already drawn counts like a kept label; text that touches it does too.
    assert choose_readable(boxes, [2, 0], [], 100, 50, drawn=[box(10.1, 5.1)]) == [2, 0]
    assert choose_readable(boxes, [2, 0], [], 100, 50, drawn=[box(10, 5)]) == []
    assert choose_readable(boxes, [2, 0], [], 100, 50, drawn=[box(9, 4)]) == [2]


def test_choose_readable_keeps_no_line_through_text():
    boxes = [box(0, 0), box(30, 0), box(60, 20)]
    lines = [None, None, (65.0, 40.0, 65.0, 25.0)]
    assert choose_readable(boxes, range(3), [], 100, 50, lines=lines) == [0, 1, 2]
    # A line through the second box to the third.
    lines[2] = (25.0, 2.5, 60.0, 2.5)
    boxes[2] = box(60, 0)
    assert choose_readable(boxes, range(3), [], 100, 50, lines=lines) == [0, 1]
    # An earlier line through a later text keeps that text off.
    assert choose_readable([box(40, 0)], [0], [], 100, 50, drawn_lines=[(45, -5, 45, 10)]) == []


@pytest.mark.parametrize(
    "line, expected",
    [
        ((0, 0, 20, 20), True),
        ((0, 0, 5, 5), False),  # ends at the corner
        ((5, 12, 15, 12), True),
        ((0, 5, 30, 5), False),  # along the edge
        ((15, 15, 15, 5), False),  # touches the right edge only: x = 15 is the edge
        ((12, 0, 12, 30), True),
    ],
)
def test_crosses(line, expected):
    assert crosses(line, (5.0, 5.0, 15.0, 15.0)) is expected


def test_priority_order():
    assert priority_order(4, None) == [0, 1, 2, 3]
    assert priority_order(4, [1, 3, 3, 2]) == [1, 2, 3, 0]
    with pytest.raises(ValueError, match="NaN"):
        priority_order(2, [1.0, math.nan])


def test_place_readable_without_matplotlib():
    rng = random.Random(9)
    points = [(rng.uniform(0, 400), rng.uniform(0, 300)) for _ in range(400)]
    texts = [f"p{i}" for i in range(400)]
    measure = fixed_advance()
    for leaders in (False, True):
        placed = place_readable(
            400, 300, points, texts, measure, 12, radius=3, overlap="hide", leaders=leaders
        )
        shown = [placed.boxes[i] for i in placed.shown]
        figures = placed.readability()
        assert (figures.text_text, figures.text_marker, figures.outside) == (0, 0, 0)
        assert (figures.leader_crossings, figures.leader_text, figures.leader_marker) == (0, 0, 0)
        assert figures.covered_markers > 0  # less important points' markers may be covered
        assert all(placed.results[i] is None for i in placed.hidden)
        for i, line in placed.leader_lines.items():
            assert (line[0], line[1]) == points[i]
            assert not any(crosses(line, b) for k, b in zip(placed.shown, shown) if k != i)


@pytest.mark.parametrize("given", [False, True])
def test_allow_runs_the_engine_with_the_given_config_or_one_suited_to_the_labels(given):
    rng = random.Random(4)  # crowded: the passes do not settle
    points = [(rng.uniform(0, 300), rng.uniform(0, 200)) for _ in range(800)]
    texts = [f"town {i}" for i in range(800)]
    measure = fixed_advance()
    config = quillset.LayoutConfig()
    placed = place_readable(
        300, 200, points, texts, measure, 9, radius=2, config=config if given else None
    )
    if not given:  # cells two line heights wide (12 + 2 * 2 padding), 4 passes
        line = measure("Hg", 9)
        config.gridSize = int(2 * (line.height + line.baseline + 4))
        config.maxIterations = 4
    engine = quillset.Quillset(300, 200, measure, config)
    for (x, y), text in zip(points, texts, strict=True):
        engine.add(x - 2, y - 2, x + 2, y + 2, text, 9)
    engine.solve()
    expected = [None if is_fallback(r) else (r.left, r.top, r.fontSize) for r in engine.layout()]
    assert [None if r is None else (r.left, r.top, r.fontSize) for r in placed.results] == expected
    assert placed.shown == [i for i, r in enumerate(expected) if r is not None]


def test_obstacles_do_not_pile_up_at_the_origin():
    """Thousands of markers around a few labels: the solve stays quick because
    obstacle labels carry a zero-size box at their object, not the fallback."""
    points = [(200.0 + (k % 100) * 2.0, 100.0 + (k // 100) * 2.0) for k in range(5000)]
    points += [(50.0, 50.0)]
    texts = ["m"] * 5000 + ["lonely"]
    placed = place_readable(
        400,
        300,
        points,
        texts,
        fixed_advance(),
        12,
        radius=2,
        overlap="hide",
        priority=[0] * 5000 + [1],
    )
    assert 5000 in placed.shown


def test_important_label_in_a_crowd_is_drawn_over_less_important_markers():
    """A crowd of markers around the most important point, and around it points
    of low priority whose labels fit beside them: the important label is drawn
    beside its point, over the crowd's markers, whose labels stay hidden."""
    crowd = [(150.0 + dx * 3.0, 100.0 + dy * 3.0) for dx in range(-8, 9) for dy in range(-8, 9)]
    ring = [(150.0 + 45.0 * math.cos(k / 4), 100.0 + 45.0 * math.sin(k / 4)) for k in range(25)]
    points = [*crowd, *ring]
    texts = [""] * len(crowd) + [f"t{k}" for k in range(len(ring))]
    centre = crowd.index((150.0, 100.0))
    texts[centre] = "Capital"
    priority = [0.0] * len(points)
    priority[centre] = 1.0
    placed = place_readable(
        300, 200, points, texts, fixed_advance(), 12, radius=1, overlap="hide",
        priority=priority, leaders=True,
    )  # fmt: skip
    # The capital's label may cover the markers of the crowd about it.
    assert centre in placed.shown and centre not in placed.leader_lines
    figures = placed.readability()
    assert (figures.text_text, figures.text_marker, figures.outside) == (0, 0, 0)
    assert figures.covered_markers > 0


def test_pillow_measures_several_lines_as_drawn():
    fonts = PillowFonts()
    text = "one\ntwo\nthree"
    single = fonts.measure("three", 16)
    measured = fonts.measure(text, 16)
    assert measured.width == single.width
    assert measured.height + measured.baseline > 2.5 * (single.height + single.baseline)
    engine = quillset.Quillset(300, 200, fonts.measure)
    engine.add(100, 20, 110, 30, text, 16)
    engine.solve()
    result = engine.layout()[0]
    image = Image.new("L", (300, 200), 255)
    assert fonts.draw(ImageDraw.Draw(image), result, text, fill=0)
    ink = Image.eval(image, lambda v: 255 - v).getbbox()
    assert ink is not None
    assert result.left <= ink[0] and ink[2] <= result.left + result.width
    assert result.top <= ink[1] and ink[3] <= result.top + result.height


@pytest.mark.parametrize(
    "width, height, count, radius",
    [
        (300, 200, 400, 0.5),  # pixel squares, dots of one pixel
        (300, 200, 40, 6.0),  # few markers: squares of several units
        (5000, 4000, 300, 3.0),  # large canvas
        (64, 64, 200, 0.0),  # boxes of no size, on whole units too
    ],
)
def test_dots_answer_as_the_plain_cells(width, height, count, radius, monkeypatch):
    rng = random.Random(width + count)
    grid = [float(v) for v in range(0, width, max(1, width // 16))]

    def coordinate(size):
        # On the canvas, on whole units and beyond the edges.
        return rng.choice([rng.uniform(-20.0, size + 20.0), rng.choice(grid), -radius, size])

    markers = []
    for _ in range(count):
        x, y = coordinate(width), coordinate(height)
        markers.append((x - radius, y - radius, x + radius, y + radius))
    # Turned inside out, and far off the canvas (where label_points puts points
    # that are not finite).
    markers += [(9.0, 9.0, 7.0, 7.0), (-1e9, -1e9, -1e9, -1e9), (-1e9, 5.0, 1e9, 6.0)]
    dots, plain = MarkerIndex(12.0, markers, width, height), BoxIndex(12.0)
    for box in markers:
        plain.add(box)
    queries = []
    for _ in range(3000):
        x, y = coordinate(width), coordinate(height)
        w, h = rng.choice([0.0, 0.005, 1.0, rng.uniform(0.0, 60.0)]), rng.uniform(0.0, 20.0)
        queries.append((x, y, x + w, y + h))
    # Boxes that just touch a marker, or stop a hundredth short of it.
    for left, top, right, bottom in markers[:count]:
        for gap in (0.0, 0.009, 0.011):
            queries += [
                (right + gap, top, right + gap + 5.0, bottom),
                (left, bottom + gap, right, bottom + 4.0),
            ]
    queries += [(5.0, 5.0, 1.0, 1.0), (8.5, 8.5, 8.6, 8.6), (-1e9, -1e9, 1e9, 1e9)]
    answers = [dots.hit(q) for q in queries]
    assert answers == [plain.hit(q) for q in queries]
    assert answers == [any(overlaps(q, m) for m in markers) for q in queries]
    assert any(answers) and not all(answers)
    # Queries touching more cells than a sparse index has filled.
    few = BoxIndex(12.0)
    for box in markers[:2]:
        few.add(box)
    assert [few.hit(q) for q in queries] == [
        any(overlaps(q, m) for m in markers[:2]) for q in queries
    ]
    # Filed at once (or a few at a time) in the cells, and in the order, of
    # adding one by one.
    monkeypatch.setattr("quillset_extras.grids._FILED_AT_ONCE", 7)
    few_at_a_time = MarkerIndex(12.0, markers, width, height)
    for index in (dots, few_at_a_time):
        filed = [[size, list(cells.items())] for size, cells in index.levels.values()]
        assert filed == [[size, list(cells.items())] for size, cells in plain.levels.values()]


@pytest.mark.parametrize(
    "width, height, radius",
    [
        (200, 120, 2.5),
        (97.5, 61.25, 0.0),  # fractional edges; boxes of no size
        (6000, 4000, 3.0),  # squares of 4 units
    ],
)
def test_pixels_sort_boxes_as_overlaps_says(width, height, radius):
    rng = random.Random(int(width))
    grid = [float(v) for v in range(0, int(width), max(1, int(width) // 16))]

    def coordinate(size):
        return rng.choice([rng.uniform(-20.0, size + 20.0), rng.choice(grid), size])

    marked = []
    for _ in range(60):
        x, y = coordinate(width), coordinate(height)
        marked.append((x - radius, y - radius, x + radius, y + rng.choice([radius, 12.0])))
    marked += [(-1e9, -1e9, -1e9, -1e9), (-1e9, 5.0, 1e9, 6.0), (math.nan, 0.0, 1.0, 1.0)]
    pixels = Coverage(width, height)
    pixels.mark(marked)
    queries = []
    for _ in range(4000):
        w, h = rng.choice([0.0, 0.005, 1.0, rng.uniform(0.0, 60.0)]), rng.uniform(0.0, 20.0)
        x, y = rng.uniform(0.0, width - w), rng.uniform(0.0, height - h)
        queries.append((x, y, x + w, y + h))
    # Boxes that touch a marked box, or stop a hundredth short of it.
    for _, top, right, bottom in marked[:60]:
        for gap in (0.0, 0.009, 0.011):
            queries.append((right + gap, top, right + gap + 5.0, bottom))
    queries = [q for q in queries if q[0] >= 0 and q[1] >= 0 and q[2] <= width and q[3] <= height]
    held, free = pixels.classify(*(np.array(v) for v in zip(*queries, strict=True)))
    truth = [any(overlaps(q, b) for b in marked[:-1]) for q in queries]
    assert all(t for t, h in zip(truth, held, strict=True) if h)
    assert not any(t for t, f in zip(truth, free, strict=True) if f)
    # Both answers are given, and most boxes get one.
    assert held.any() and free.any()
    assert (held | free).sum() > 0.8 * len(queries)


@pytest.mark.parametrize("leaders", [False, True])
def test_place_readable_gives_no_label_to_points_that_are_not_finite(leaders):
    points = [(50.0, 40.0), (math.nan, 40.0), (60.0, math.inf), (1e300, 1e300), (150.0, 90.0)]
    texts = ["a", "nan", "inf", "far", "b"]
    for overlap in ("allow", "hide") if not leaders else ("hide",):
        placed = place_readable(
            200, 120, points, texts, fixed_advance(), 9, overlap=overlap, leaders=leaders
        )
        assert placed.shown == [0, 4] and placed.hidden == [1, 2, 3]


@pytest.mark.parametrize("leaders", [False, True])
def test_texts_side_by_side_keep_apart(leaders):
    rng = random.Random(12)
    points = [(rng.gauss(200, 60), rng.gauss(150, 40)) for _ in range(300)]
    measure = fixed_advance()
    placed = place_readable(
        400, 300, points, [f"n{i}" for i in range(300)], measure, 12, radius=2,
        overlap="hide", leaders=leaders,
    )  # fmt: skip
    line = measure("Hg", 12)
    gap = 0.2 * (line.height + line.baseline)
    shown = [placed.boxes[i] for i in placed.shown]
    assert len(shown) > 40
    for k, a in enumerate(shown):
        for b in shown[k + 1 :]:
            if a[1] < b[3] and b[1] < a[3]:  # side by side
                assert max(b[0] - a[2], a[0] - b[2]) >= gap - 0.011


def test_default_leaders_reach_at_most_a_fifth_of_the_canvas():
    rng = random.Random(5)
    points = [(rng.gauss(100, 25), rng.gauss(75, 20)) for _ in range(120)]
    placed = place_readable(
        200, 150, points, [f"n{i}" for i in range(120)], fixed_advance(), 9, radius=1,
        overlap="hide", leaders=True,
    )  # fmt: skip
    lengths = [math.hypot(s[2] - s[0], s[3] - s[1]) for s in placed.leader_lines.values()]
    assert lengths and max(lengths) <= 0.2 * 200 + 1


def test_allow_moves_texts_that_meet_near_the_edge_to_free_places(axes):
    # Beside the right edge only the engine's left anchor lies on the canvas for
    # both points; the places above and below them are free.
    axes.set_xlim(0, 10)
    axes.set_ylim(0, 10)
    x, y = [9.3, 9.6], [5.0, 5.0]
    axes.scatter(x, y)
    result = label_points(axes, x, y, ["Right one", "Right two"], overlap="allow")
    assert result.shown == [0, 1]
    assert (result.readability.text_text, result.readability.outside) == (0, 0)


def test_box_index_forgets_what_is_removed():
    rng = random.Random(8)
    index = BoxIndex[tuple[float, float, float, float]](8.0)
    boxes = []
    for _ in range(400):
        x, y, w = rng.uniform(-20, 300), rng.uniform(-20, 300), rng.choice([3.0, 20.0, 90.0])
        boxes.append((x, y, x + w, y + w / 3))
    boxes += [(0.0, 0.0, math.inf, 5.0), (math.nan, 0.0, 1.0, 1.0), boxes[0]]  # a twin
    for b in boxes:
        index.add(b)
    kept = list(boxes)
    for b in boxes[:400:2] + boxes[-3:]:
        index.remove(b)
        kept.remove(b)
    for _ in range(300):
        x, y = rng.uniform(-20, 300), rng.uniform(-20, 300)
        query = (x, y, x + 15.0, y + 6.0)
        want = any(overlaps(b, query) for b in kept if b[0] == b[0])
        assert index.hit(query) == want, query


def city_like(seed, count=1500, width=500.0, height=350.0):
    """Points in dense towns about a few centres, priority falling steeply."""
    rng = random.Random(seed)
    centres = [(rng.uniform(40, width - 40), rng.uniform(30, height - 30)) for _ in range(12)]
    points = []
    for _ in range(count):
        cx, cy = rng.choice(centres)
        points.append((rng.gauss(cx, 25.0), rng.gauss(cy, 18.0)))
    priority = [rng.paretovariate(1.2) for _ in range(count)]
    return points, [f"Town{k % 97}" for k in range(count)], priority


@pytest.mark.parametrize("leaders", [False, True])
@pytest.mark.parametrize(
    "count, switch, top",
    [(1500, "_MAKE_ROOM", 50), (400, "_MAKE_ROOM_ALL", None)],
    ids=["map: the most important", "chart: every label"],
)
def test_drawn_texts_move_aside_for_more_labels(leaders, count, switch, top, monkeypatch):
    import quillset_extras.readable as readable

    on = getattr(readable, switch)

    def drawn(moves, seed):
        monkeypatch.setattr(readable, switch, on if moves else 0)
        points, texts, priority = city_like(seed, count)
        placed = place_readable(
            500, 350, points, texts, fixed_advance(), 9, radius=1.5, overlap="hide",
            priority=priority, leaders=leaders,
        )  # fmt: skip
        figures = placed.readability()
        assert (figures.text_text, figures.text_marker, figures.outside) == (0, 0, 0)
        assert (figures.leader_crossings, figures.leader_text, figures.leader_marker) == (0, 0, 0)
        moved = [i for i in placed.shown if i not in placed.leader_lines]
        for i in moved:  # beside its own point still
            x, y = points[i]
            b = placed.boxes[i]
            assert b is not None and max(b[0] - x, x - b[2], b[1] - y, y - b[3]) < 8.0
        ranked = sorted(range(len(points)), key=lambda i: -priority[i])[:top]
        return len(set(ranked) & set(placed.shown))

    before = [drawn(False, seed) for seed in range(4)]
    after = [drawn(True, seed) for seed in range(4)]
    assert sum(after) > sum(before), (before, after)


def test_a_text_in_the_way_moves_aside_for_a_more_important_leader(monkeypatch):
    # Dense towns at a large font: the leader lines of important labels are cut
    # off by a single text that has another place beside its own point.
    import quillset_extras.readable as readable

    def top_drawn(moves, seed):
        if not moves:
            monkeypatch.setattr(readable, "lead_room", lambda *a: None)
        points, texts, priority = city_like(seed)
        placed = place_readable(
            500, 350, points, texts, fixed_advance(), 12, radius=1.5, overlap="hide",
            priority=priority, leaders=True,
        )  # fmt: skip
        monkeypatch.undo()
        figures = placed.readability()
        assert (figures.text_text, figures.text_marker, figures.outside) == (0, 0, 0)
        assert (figures.leader_crossings, figures.leader_text, figures.leader_marker) == (0, 0, 0)
        # Lines taken back with their label go too.
        assert set(placed.leader_lines) <= set(placed.shown)
        ranked = sorted(range(len(points)), key=lambda i: -priority[i])[:50]
        return len(set(ranked) & set(placed.shown))

    before = [top_drawn(False, seed) for seed in range(4)]
    after = [top_drawn(True, seed) for seed in range(4)]
    assert all(a >= b for a, b in zip(after, before)) and sum(after) > sum(before)


def test_a_clearance_keeps_lines_off_markers_they_only_graze():
    markers = [(10.0, 10.0, 14.0, 14.0, 0)]
    index = MarkerIndex(8.0, markers, 100.0, 100.0)
    grazing = (0.0, 9.98, 40.0, 9.98)  # 0.02 above the marker
    assert not index.crossed_ranked(grazing, 1)
    assert index.crossed_ranked(grazing, 1, margin=0.5)
    assert not index.crossed_ranked(grazing, 0, margin=0.5)  # a less important marker
    assert not index.crossed_ranked((0.0, 9.0, 40.0, 9.0), 1, margin=0.5)


@pytest.mark.parametrize("leaders", [False, True])
def test_labels_that_ask_alike_for_room_get_one_answer(leaders, monkeypatch):
    # Points at a few places: most labels ask for room just as one before them.
    import quillset_extras.readable as readable

    rng = random.Random(5)
    sites = [(rng.uniform(0, 300), rng.uniform(0, 200)) for _ in range(8)]
    points = [rng.choice(sites) for _ in range(300)]
    priority = [float(rng.randint(0, 3)) for _ in points]
    asked = []
    work = readable._make_room
    monkeypatch.setattr(readable, "_make_room", lambda *a: asked.append(a[3]) or work(*a))

    def placed():
        p = place_readable(
            300, 200, points, [f"T{k % 5}" for k in range(300)], fixed_advance(), 10,
            radius=2.0, overlap="hide", priority=priority, leaders=leaders,
        )  # fmt: skip
        return p.shown, [p.boxes[i] for i in p.shown], p.leader_lines, len(asked)

    *answered, once = placed()
    remember = readable.make_room

    def forgetful(scene, drawn, rules, i):
        drawn.no_room_at = -1
        remember(scene, drawn, rules, i)

    asked.clear()
    monkeypatch.setattr(readable, "make_room", forgetful)
    *worked_out, every = placed()
    assert answered == worked_out
    assert once * 3 < every, (once, every)


@pytest.mark.parametrize("seed", range(2, 7))
def test_leaders_draw_as_many_of_the_most_important_labels_as_hide(seed):
    # Leader lines only add to what finds room beside its point (seeds 2, 4,
    # 5 and 6 lost one or two of the top 50 when leader labels came first).
    points, texts, priority = city_like(seed)
    top = set(sorted(range(len(points)), key=lambda i: -priority[i])[:50])
    drawn = [
        len(top & set(place_readable(
            500, 350, points, texts, fixed_advance(), 9, radius=1.5, overlap="hide",
            priority=priority, leaders=leaders,
        ).shown))
        for leaders in (False, True)
    ]  # fmt: skip
    assert drawn[1] >= drawn[0], drawn


@pytest.mark.parametrize("seed", range(100, 112))
def test_hide_reads_on_random_crowds_with_points_at_one_place(seed):
    # Half the points share a place with others: a leader line left such a
    # place over the dot of a labelled point there (seed 109).
    rng = random.Random(seed)
    width, height = rng.choice([(200, 150), (400, 300), (50, 40)])
    n = rng.randint(1, 400)
    places = [
        (rng.uniform(-20, width + 20), rng.uniform(-20, height + 20)) for _ in range(max(1, n // 4))
    ]
    points = [
        rng.choice(places) if rng.random() < 0.5
        else (rng.gauss(width / 2, width / 8), rng.gauss(height / 2, height / 8))
        for _ in range(n)
    ]  # fmt: skip
    texts = [
        rng.choice(["", "a", "Town", "Very long name here", "x" * rng.randint(1, 30)])
        for _ in range(n)
    ]
    priority = [rng.choice([1.0, 2.0, rng.random()]) for _ in range(n)]
    for leaders in (False, True):
        size, radius = rng.choice([9, 12, 14]), rng.choice([0.5, 2, 6])
        placed = place_readable(
            width, height, points, texts, fixed_advance(), size, radius=radius,
            overlap="hide", priority=priority, leaders=leaders,
        )  # fmt: skip
        f = placed.readability()
        assert (f.text_text, f.text_marker, f.outside) == (0, 0, 0)
        assert (f.leader_crossings, f.leader_text, f.leader_marker) == (0, 0, 0)
