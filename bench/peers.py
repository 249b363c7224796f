"""One labelled matplotlib scatter: n points labelled by quillset, textalloc or adjustText.

All three get the same points, the same names and the same font, on a figure whose
data coordinates are its pixels. The clock runs from the first measurement to the end
of the final draw; quality is read from the drawn texts' extents.
"""

from __future__ import annotations

import math
import time

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.font_manager import FontProperties
from scenes import KINDS, canvas_side, count_overlaps, names, points

DPI = 100
FONT = 10  # points; quillset may shrink a label to 9 (its smallest scale tier)
PIXELS_PER_LABEL = 2500.0  # figure area per point: 50 x 50 pixels
MARKER = 16  # scatter marker area in points squared: about 5.6 pixels across
METHODS = ("quillset", "textalloc", "adjustText")


def plot_scene(n: int, kind: str, seed: int = 2):
    rng = np.random.default_rng([seed, n, KINDS.index(kind)])
    side = canvas_side(n, PIXELS_PER_LABEL)
    return side, points(n, kind, side, rng), names(n, rng, 3, 10)


class AdvanceMeasure:
    """Text sizes from per-character advances, the way a labeller measures quickly: one
    table per font size from matplotlib's own font (FreeType), then a sum per text.
    Asking matplotlib to lay out every text costs a few hundred microseconds each."""

    def __init__(self, text_size):
        from matplotlib.font_manager import findfont, get_font

        self.text_size = text_size
        self.font = get_font(findfont(FontProperties(size=FONT)))
        self.tables: dict[int, tuple[dict[str, float], int, int]] = {}

    def table(self, size: int):
        from matplotlib.ft2font import LoadFlags

        font = self.font
        font.set_size(size, DPI)
        advances = {
            chr(c): font.load_char(c, flags=LoadFlags.FORCE_AUTOHINT).horiAdvance / 64
            for c in range(32, 127)
        }
        font.set_text("Hg", 0.0, flags=LoadFlags.FORCE_AUTOHINT)
        height = font.get_width_height()[1] / 64
        descent = font.get_descent() / 64
        return self.tables.setdefault(
            size, (advances, math.ceil(height - descent), math.ceil(descent))
        )

    def __call__(self, text: str, size: int):
        advances, ascent, descent = self.tables.get(size) or self.table(size)
        return self.text_size(math.ceil(sum(map(advances.__getitem__, text))), ascent, descent)


def _label_quillset(ax, canvas, side, xy, texts, radius):
    import quillset

    engine = quillset.Quillset(side, side, AdvanceMeasure(quillset.TextSize))
    add = engine.add
    # The engine's y grows downward, the figure's upward.
    for (x, y), text in zip(xy.tolist(), texts):
        add(x - radius, side - y - radius, x + radius, side - y + radius, text, FONT)
    engine.solve()
    drawn, unplaced = [], 0
    for r, text in zip(engine.layout(), texts):
        if r.width == 0:  # no admissible box: parked at the origin
            unplaced += 1
            continue
        baseline = side - (r.top + r.padding_y + r.textAscent)
        drawn.append(
            ax.text(r.left + r.padding_x, baseline, text, fontsize=r.fontSize, va="baseline")
        )
    return drawn, unplaced


def _label_textalloc(ax, canvas, side, xy, texts, radius):
    import textalloc

    x, y = xy[:, 0], xy[:, 1]
    # Labels it cannot place without overlap are left out (draw_all=False) and counted
    # as unplaced; no leader lines, as quillset draws none.
    # Its defaults, but no leader lines, as quillset draws none. Labels it cannot place
    # without overlap stay at their point (draw_all): counted as unplaced.
    xyz, _, drawn, _ = textalloc.allocate(
        ax, x, y, texts, x_scatter=x, y_scatter=y, textsize=FONT, draw_lines=False
    )
    at_point = sum(1 for (tx, ty, _), px, py in zip(xyz, x, y) if tx == px and ty == py)
    return drawn, at_point


def _label_adjusttext(ax, canvas, side, xy, texts, radius):
    from adjustText import adjust_text

    drawn = [ax.text(x, y, text, fontsize=FONT) for (x, y), text in zip(xy.tolist(), texts)]
    adjust_text(drawn, x=xy[:, 0], y=xy[:, 1], ax=ax)
    return drawn, 0


def run(method: str, n: int, kind: str) -> dict:
    side, xy, texts = plot_scene(n, kind)
    fig = Figure(figsize=(side / DPI, side / DPI), dpi=DPI)
    canvas = FigureCanvasAgg(fig)
    ax = fig.add_axes((0.0, 0.0, 1.0, 1.0))
    ax.set_xlim(0, side)
    ax.set_ylim(0, side)
    ax.set_axis_off()
    ax.scatter(xy[:, 0], xy[:, 1], s=MARKER, c="k", linewidths=0)
    # Not timed: the plot without labels, and one text drawn and removed, which loads
    # the font once for every method alike.
    warm = ax.text(0, 0, "Warm-up", fontsize=FONT)
    canvas.draw()
    warm.remove()
    radius = math.sqrt(MARKER) / 2 * DPI / 72

    label = {
        "quillset": _label_quillset,
        "textalloc": _label_textalloc,
        "adjustText": _label_adjusttext,
    }[method]
    start = time.perf_counter()
    drawn, unplaced = label(ax, canvas, side, xy, texts, radius)
    placed = time.perf_counter()
    canvas.draw()
    seconds = time.perf_counter() - start

    renderer = canvas.get_renderer()
    extents = [t.get_window_extent(renderer) for t in drawn]
    boxes = np.array([(e.x0, e.y0, e.x1, e.y1) for e in extents]).reshape(-1, 4)
    objects = np.column_stack([xy - radius, xy + radius])
    off = (boxes[:, 0] < 0) | (boxes[:, 1] < 0) | (boxes[:, 2] > side) | (boxes[:, 3] > side)
    return {
        "method": method,
        "n": n,
        "kind": kind,
        "seconds": seconds,
        "draw_seconds": seconds - (placed - start),
        "label_label": count_overlaps(boxes),
        "label_object": count_overlaps(boxes, objects),
        "unplaced": unplaced,
        "off_canvas": int(off.sum()),
    }
