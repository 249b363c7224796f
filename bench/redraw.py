"""Labels that stay right after the call: label_points' labels under the changes a
user makes after labelling (zoom in and out, pan, resize, dpi, a layout engine, saving
to PNG, PDF and SVG), beside textalloc's labels, placed once before the change.

    .venv/bin/python bench/redraw.py              # the full run: tables on stdout and in
                                                  # bench/redraw.log
    .venv/bin/python bench/redraw.py --quick      # smaller figures, one round
    .venv/bin/python bench/redraw.py --repeat 5   # medians of 5 interleaved rounds
    .venv/bin/python bench/redraw.py --pictures   # docs/zoom-before.png, docs/zoom-after.png

Figures (bench/sample_data.py, 10 x 7 in at 100 dpi, 9 pt labels): Europe's 3,000
largest cities on a map, gapminder 2007 (log x) and the world's 100,000 largest
cities. Labellers: label_points with overlap="hide", and "hide" with leaders;
textalloc.allocate(draw_all=False), placed once before the change (not on the
100,000 points, where one allocate takes minutes); and no labels at all, the same
figure drawn for the time it takes without labels.

Every cell is a new figure, labelled and drawn once, then one change and the draw
after it (canvas.draw(), or savefig into a BytesIO). What is measured in that draw:

- draw ms: from the start of canvas.draw() or savefig until the figure has drawn its
  last artist, with the renderer of that output: the time until just before the
  pixels are encoded and written. It holds the layout engine, the dry run of
  bbox_inches="tight", every placement and the drawing of everything. Beside it the
  same for the figure without labels; the difference is what the labels cost.
- place ms: the time spent in the artist's place() within that draw (the
  placements, and the geometry checks of draws that do not place).
- placed: placements in that draw; then: placements in a plain canvas.draw() after
  it (a save leaves the figure as it was, so the screen's next draw places again).
- The counts, on the texts' extents with the renderer that drew them, taken at the
  end of that draw (bench/figure_metrics.py): labels on the figure (texts wholly off
  it are counted apart, as "off"), overlapping pairs, labels not wholly inside the
  axes, labels over other drawn lines, patches, texts or the legend ("over"), over
  the marker of a labelled or more important point ("imp", each point's own marker:
  see important_counts), leaders that cross each other, another label or such a
  marker ("lead"); and, which "hide" allows, labels over less important points'
  markers ("dots"). The counts come from the first round.

Rounds interleave the labellers change by change; times are medians over the rounds.
"""

from __future__ import annotations

import argparse
import gc
import io
import math
import pickle
import platform
import statistics
import subprocess
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from datetime import UTC, datetime
from pathlib import Path
from typing import Any

import numpy as np
from matplotlib.artist import Artist
from matplotlib.axes import Axes
from matplotlib.backend_bases import RendererBase
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.collections import PathCollection
from matplotlib.figure import Figure
from matplotlib.text import Text
from numpy.typing import NDArray

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import figure_metrics as fm  # noqa: E402
from methods import FONT_SIZE, new_axes  # noqa: E402
from sample_data import Dataset, europe, gapminder, world  # noqa: E402

Floats = NDArray[np.float64]

LABELLERS = ("none", "hide", "hide+leaders", "textalloc")
ZOOM = 0.5  # the zoomed view's side, as a share of the first view's: a quarter of its area


# ---------------------------------------------------------------------------------
# Views


def frac_to_limits(ax: Axes, fx: tuple[float, float], fy: tuple[float, float]) -> Any:
    """Data limits of the view whose corners are at axes fractions (fx[0], fy[0]) and
    (fx[1], fy[1]) of the current view (through the axes' scales)."""
    corners = ax.transAxes.transform([(fx[0], fy[0]), (fx[1], fy[1])])
    (x0, y0), (x1, y1) = ax.transData.inverted().transform(corners)
    return (float(x0), float(x1)), (float(y0), float(y1))


def densest_window(fx: np.ndarray, fy: np.ndarray, side: float = ZOOM) -> tuple[float, float]:
    """The lower-left corner, in axes fractions, of the `side` x `side` window of the
    view holding the most points (on a grid of 1/40 steps)."""
    inside = (fx >= 0) & (fx <= 1) & (fy >= 0) & (fy <= 1)
    fx, fy = fx[inside], fy[inside]
    best, corner = -1, (0.0, 0.0)
    for a in np.arange(0.0, 1.0 - side + 1e-9, 1 / 40):
        in_x = (fx >= a) & (fx <= a + side)
        for b in np.arange(0.0, 1.0 - side + 1e-9, 1 / 40):
            count = int(np.count_nonzero(in_x & (fy >= b) & (fy <= b + side)))
            if count > best:
                best, corner = count, (float(a), float(b))
    return corner


@dataclass
class Views:
    """The limits that the changes set, from the first view."""

    zoom_in: Any
    zoom_out: Any
    pan: Any


def views_of(data: Dataset) -> Views:
    fig, ax = new_axes(data, "")
    fig.canvas.draw()
    frac = ax.transAxes.inverted().transform(
        ax.transData.transform(np.column_stack((data.x, data.y)))
    )
    a, b = densest_window(frac[:, 0], frac[:, 1])
    return Views(
        zoom_in=frac_to_limits(ax, (a, a + ZOOM), (b, b + ZOOM)),
        zoom_out=frac_to_limits(ax, (-0.5, 1.5), (-0.5, 1.5)),
        pan=frac_to_limits(ax, (0.25, 1.25), (0.2, 1.2)),
    )


def set_view(ax: Axes, limits: Any) -> None:
    ax.set_xlim(*limits[0])
    ax.set_ylim(*limits[1])


# ---------------------------------------------------------------------------------
# Changes: what is done to the figure after labelling, then the draw that shows it


def screen(fig: Figure) -> None:
    fig.canvas.draw()


def save(**kw: Any) -> Callable[[Figure], None]:
    def draw(fig: Figure) -> None:
        fig.savefig(io.BytesIO(), **kw)

    return draw


@dataclass(frozen=True)
class Change:
    name: str
    apply: Callable[[Figure, Axes, Views], None]
    draw: Callable[[Figure], None]


def _nothing(fig: Figure, ax: Axes, views: Views) -> None:
    pass


CHANGES = (
    Change("redraw, nothing changed", _nothing, screen),
    Change("zoom in: 1/4 of the area", lambda f, a, v: set_view(a, v.zoom_in), screen),
    Change("zoom out: 4x the area", lambda f, a, v: set_view(a, v.zoom_out), screen),
    Change("pan: 1/4 across, 1/5 up", lambda f, a, v: set_view(a, v.pan), screen),
    Change("set_size_inches(7, 5)", lambda f, a, v: f.set_size_inches(7, 5), screen),
    Change("set_dpi(150)", lambda f, a, v: f.set_dpi(150), screen),
    Change("savefig PNG dpi=200", _nothing, save(format="png", dpi=200)),
    Change("savefig PNG dpi=72", _nothing, save(format="png", dpi=72)),
    Change("constrained layout", lambda f, a, v: f.set_layout_engine("constrained"), screen),
    Change('savefig bbox_inches="tight"', _nothing, save(format="png", bbox_inches="tight")),
    Change("savefig PNG", _nothing, save(format="png")),
    Change("savefig PDF", _nothing, save(format="pdf")),
    Change("savefig SVG", _nothing, save(format="svg")),
)


# ---------------------------------------------------------------------------------
# The probe: drawn last, it notes when the figure's drawing ends and counts the labels
# with the renderer that drew them


@dataclass
class ProbeCall:
    start: float
    end: float
    counts: dict[str, int] | None


class Probe(Artist):
    """A figure artist drawn after everything else: each draw of the figure notes the
    time it reached its end and, when given a counter, counts what was drawn."""

    zorder = 1e9

    def __init__(self, count: Callable[[RendererBase], dict[str, int]] | None) -> None:
        super().__init__()
        self.set_in_layout(False)
        self.count = count
        self.calls: list[ProbeCall] = []

    def draw(self, renderer: RendererBase) -> None:
        start = time.perf_counter()
        counts = None
        if self.count is not None:
            try:
                counts = self.count(renderer)
            except Exception as error:  # a count that fails is a result, not a crash
                counts = {"error": 1}
                print(f"count failed: {error!r}", file=sys.stderr)
        self.calls.append(ProbeCall(start, time.perf_counter(), counts))

    def drawing_time(self, since: float) -> float:
        """Seconds from `since` to the end of the last draw, less the counting done
        in earlier draws of the same call (the dry run of a tight bbox)."""
        last = self.calls[-1]
        counting = sum(c.end - c.start for c in self.calls[:-1])
        return last.start - since - counting


# ---------------------------------------------------------------------------------
# Counting what a reader sees


def _meets(box: np.ndarray, frame: np.ndarray) -> bool:
    return bool(box[0] < frame[2] and box[2] > frame[0] and box[1] < frame[3] and box[3] > frame[1])


def point_markers(ax: Axes) -> Floats:
    """Each point's own drawn marker box in display pixels, one row per point: the
    figure's one scatter draws the points in input order."""
    scatter = next(c for c in ax.collections if isinstance(c, PathCollection))
    return fm.scatter_boxes(scatter)


def important_counts(
    boxes: Floats,
    shown: Sequence[int],
    leaders: Sequence[Floats],
    leader_points: Sequence[int],
    points: Floats,
    markers: Floats,
    priority: Floats | None,
) -> tuple[int, int]:
    """Labels over, and leaders across, the marker of a labelled point or of a point
    more important than their own, each point's marker its own box (`markers`, one
    row per point). A leader is not counted for the markers around its own point.

    `boxes[k]` is the text of point shown[k]; leaders[i] (segments) belongs to point
    leader_points[i]; `points` are the points in display pixels; `priority`, larger
    first, or None for input order. figure_metrics joins the markers drawn within a
    pixel of a point into that point's box, which counts a label beside one of two
    near-duplicate points as over the other's marker: hence this count."""
    n = len(markers)
    rank = -np.arange(n, dtype=np.float64) if priority is None else np.asarray(priority, float)
    labelled = np.zeros(n, dtype=bool)
    labelled[list(shown)] = True
    over = 0
    for k, own in enumerate(shown):
        wanted = labelled | (rank > rank[own])
        wanted[own] = False
        over += bool(np.any(fm.boxes_meet(boxes[k : k + 1], markers[wanted])))
    across = 0
    for seg, own in zip(leaders, leader_points, strict=True):
        wanted = labelled | (rank > rank[own])
        wanted[own] = False
        near = markers[wanted]
        p = points[own]
        around = (near[:, 0] <= p[0]) & (p[0] <= near[:, 2]) & (near[:, 1] <= p[1])
        around &= p[1] <= near[:, 3]
        across += bool(np.any(fm.segments_hit_boxes(seg, near[~around])))
    return over, across


def count_labels(
    ax: Axes,
    renderer: RendererBase,
    data: Dataset,
    texts: Sequence[Text],
    lines: Sequence[Artist],
    shown: Sequence[int],
    line_points: Sequence[int],
) -> dict[str, int]:
    """The counts of one labelling as drawn by `renderer`: texts wholly off the figure
    are left out of the rest (no reader sees them) and counted as "off". texts[k]
    labels point shown[k], lines[i] leads to point line_points[i]."""
    fig = ax.get_figure(root=True)
    assert isinstance(fig, Figure)
    canvas = np.array(fig.bbox.extents, dtype=np.float64)
    extents = [np.asarray(Text.get_window_extent(t, renderer).extents) for t in texts]
    keep = [k for k, e in enumerate(extents) if _meets(e, canvas)]
    kept_texts, kept_shown = [texts[k] for k in keep], [shown[k] for k in keep]
    at = {p: j for j, p in enumerate(kept_shown)}
    kept_lines, segments, owners, owner_points = [], [], [], []
    for line, p in zip(lines, line_points, strict=True):
        seg = fm.clip_segments(fm.artist_segments(line), canvas)
        if len(seg):
            kept_lines.append(line)
            segments.append(fm.artist_segments(line))
            owners.append(at.get(p, -1))
            owner_points.append(p)
    points = ax.transData.transform(np.column_stack((data.x, data.y)))
    m = fm.figure_metrics(
        ax,
        kept_texts,
        kept_lines,
        renderer=renderer,
        shown=kept_shown,
        expected=data.texts,
        owners=owners,
        exclude=[*texts, *lines],
    )
    boxes = np.array([extents[k] for k in keep], dtype=np.float64).reshape(-1, 4)
    over, across = important_counts(
        boxes, kept_shown, segments, owner_points, points, point_markers(ax), data.priority
    )
    return {
        "labels": m.texts,
        "off": len(texts) - len(keep),
        "pairs": m.text_pairs,
        "outside": m.outside,
        "over": m.over_lines + m.over_patches + m.over_texts + m.over_legend,
        "imp": over,
        "lead": m.leader_pairs + m.leader_texts + across,
        "dots": m.over_markers,
        "leaders": m.leaders,
        "wrong": max(m.wrong_texts, 0),
    }


ZEROS = ("pairs", "outside", "over", "imp", "lead", "wrong")
"""Counts that must be 0 for label_points with "hide"."""


# ---------------------------------------------------------------------------------
# One cell: a labelled figure, one change, the draw after it


@dataclass
class Subject:
    key: str
    title: str
    data: Dataset
    views: Views
    peers: bool
    textalloc_figure: bytes = b""  # the figure labelled by textalloc, pickled
    textalloc_seconds: float = math.nan
    # textalloc's texts and lines: their places in ax.texts and ax.lines, their points
    textalloc_index: tuple[list[int], ...] = ((), (), (), ())  # type: ignore[assignment]


@dataclass
class Cell:
    counts: dict[str, int] | None = None
    draw: list[float] = field(default_factory=list)
    place: list[float] = field(default_factory=list)
    call: list[float] = field(default_factory=list)
    placed: int = -1
    then: int = -1
    first: int = -1  # placements after the call and the first draw


def label_quillset(ax: Axes, data: Dataset, form: str) -> Any:
    from quillset_extras.mpl import label_points

    return label_points(
        ax,
        data.x,
        data.y,
        data.texts,
        fontsize=FONT_SIZE,
        overlap="hide",
        leaders=form == "hide+leaders",
        priority=None if data.priority is None else data.priority.tolist(),
        point_radius=math.sqrt(data.marker_area) / 2,
    )


def prepare_textalloc(subject: Subject) -> None:
    """textalloc once per figure, as bench/methods.py calls it; the cells start from a
    copy of its figure."""
    import textalloc

    data = subject.data
    fig, ax = new_axes(data, subject.title)
    fig.canvas.draw()
    start = time.perf_counter()
    _, _, texts, lines = textalloc.allocate(
        ax,
        data.x,
        data.y,
        data.texts,
        x_scatter=data.x,
        y_scatter=data.y,
        scatter_sizes=[data.marker_area] * len(data),  # type: ignore[list-item]
        textsize=FONT_SIZE,
        draw_all=False,
        linecolor="0.45",
        linewidth=0.6,
    )
    subject.textalloc_seconds = time.perf_counter() - start
    fig.canvas.draw()
    # One entry per point, None where it drew no label or no line.
    shown = [i for i, t in enumerate(texts) if t is not None]
    led = [i for i, line in enumerate(lines) if line is not None]
    subject.textalloc_index = (
        [ax.texts.index(texts[i]) for i in shown],
        shown,
        [ax.lines.index(lines[i]) for i in led],
        led,
    )
    subject.textalloc_figure = pickle.dumps(fig)


def timed_placements(artist: Any) -> list[float]:
    """The seconds of each of the artist's placements from now on, in a list that
    its place method fills."""
    spent: list[float] = []
    place = artist.place

    def timed_place(renderer: RendererBase) -> bool:
        start = time.perf_counter()
        try:
            return bool(place(renderer))
        finally:
            spent.append(time.perf_counter() - start)

    artist.place = timed_place
    return spent


def run_cell(subject: Subject, change: Change, labeller: str, cell: Cell, count: bool) -> None:
    data = subject.data
    result: Any = None
    counter: Callable[[RendererBase], dict[str, int]] | None = None
    if labeller == "textalloc":
        fig = pickle.loads(subject.textalloc_figure)
        FigureCanvasAgg(fig)
        ax = fig.axes[0]
        text_k, shown, line_k, led = subject.textalloc_index
        texts = [ax.texts[k] for k in text_k]
        lines = [ax.lines[k] for k in line_k]
        if count:

            def counter(renderer: RendererBase) -> dict[str, int]:
                return count_labels(ax, renderer, data, texts, lines, shown, led)

    else:
        fig, ax = new_axes(data, subject.title)
        if labeller != "none":
            start = time.perf_counter()
            result = label_quillset(ax, data, labeller)
            cell.call.append(time.perf_counter() - start)
            if count:

                def counter(renderer: RendererBase) -> dict[str, int]:
                    return count_labels(
                        ax,
                        renderer,
                        data,
                        list(result.texts),
                        list(result.lines),
                        list(result.shown),
                        list(result.leader_labels),
                    )

    fig.canvas.draw()
    if result is not None and cell.first < 0:
        cell.first = result.artist.placements
    probe = Probe(counter)
    fig.add_artist(probe)
    change.apply(fig, ax, subject.views)
    spent: list[float] = []
    placements = 0
    if result is not None:
        spent = timed_placements(result.artist)
        placements = result.artist.placements
    gc.collect()
    start = time.perf_counter()
    change.draw(fig)
    cell.draw.append(probe.drawing_time(start))
    if result is not None:
        cell.place.append(sum(spent))
        cell.placed = result.artist.placements - placements
    if count:
        cell.counts = probe.calls[-1].counts
        if result is not None:
            before = result.artist.placements
            probe.count = None
            fig.canvas.draw()
            cell.then = result.artist.placements - before


# ---------------------------------------------------------------------------------
# Tables


def ms(values: list[float]) -> str:
    """The median in milliseconds, to two significant digits below 10 ms."""
    if not values:
        return ""
    m = statistics.median(values) * 1000
    return f"{m:.0f}" if m >= 10 else f"{m:.2g}"


def table(subject: Subject, cells: dict[tuple[str, str], Cell]) -> list[str]:
    head = (
        "| change | labeller | labels | off | pairs | outside | over | imp | lead | dots "
        "| placed | then | place ms | draw ms | draw ms, no labels |"
    )
    out = [head, "|" + "---|" * (head.count("|") - 1)]
    for change in CHANGES:
        plain = cells.get((change.name, "none"))
        for labeller in LABELLERS[1:]:
            cell = cells.get((change.name, labeller))
            if cell is None:
                continue
            c = cell.counts or {}
            bad = labeller != "textalloc" and any(c.get(k, 0) > 0 for k in ZEROS)
            values = [
                change.name,
                labeller + (" (!)" if bad else ""),
                *(
                    str(c.get(k, "")) if c.get(k, -1) >= 0 else "-"
                    for k in ("labels", "off", "pairs", "outside", "over", "imp", "lead", "dots")
                ),
                str(cell.placed) if cell.placed >= 0 else "",
                str(cell.then) if cell.then >= 0 else "",
                ms(cell.place),
                ms(cell.draw),
                ms(plain.draw) if plain else "",
            ]
            out.append("| " + " | ".join(values) + " |")
    return out


def summary(subject: Subject, cells: dict[tuple[str, str], Cell]) -> list[str]:
    lines = []
    for labeller in ("hide", "hide+leaders"):
        calls = [t for (_, lab), c in cells.items() if lab == labeller for t in c.call]
        firsts = {c.first for (_, lab), c in cells.items() if lab == labeller}
        lines.append(
            f"- label_points {labeller}: the call {ms(calls)} ms (median of {len(calls)}); "
            f"placements after the call and the first draw: {sorted(firsts)}"
        )
    plain = cells.get((CHANGES[0].name, "none"))
    for labeller in ("hide", "hide+leaders"):
        cell = cells.get((CHANGES[0].name, labeller))
        if cell is None or plain is None:
            continue
        lines.append(
            f"- {labeller}, redraw with nothing changed: placements +{cell.placed}, then "
            f"+{cell.then}; place() {ms(cell.place)} ms; the draw {ms(cell.draw)} ms, "
            f"{ms(plain.draw)} ms without labels (the rest is drawing the texts)"
        )
    if subject.peers:
        lines.append(f"- textalloc.allocate: {subject.textalloc_seconds * 1000:.0f} ms (once)")
    else:
        lines.append("- textalloc: not run here (one allocate takes minutes on this figure)")
    return lines


def failures(subject: Subject, cells: dict[tuple[str, str], Cell]) -> list[str]:
    out = []
    for (change, labeller), cell in cells.items():
        if labeller in ("hide", "hide+leaders") and cell.counts:
            bad = {k: cell.counts[k] for k in ZEROS if cell.counts.get(k, 0) > 0}
            if bad or "error" in cell.counts:
                out.append(f"- {subject.key}, {change}, {labeller}: {bad or cell.counts}")
            if change.startswith("redraw") and cell.placed:
                out.append(f"- {subject.key}, {change}, {labeller}: placed {cell.placed}")
    return out


# ---------------------------------------------------------------------------------
# Pictures


def pictures(out: Path, leaders: bool = False, side: float = ZOOM) -> None:
    """The README's pair: Europe's 3,000 largest cities on the benchmark's figure,
    labelled with "hide", then the same figure zoomed into its densest region (a
    quarter of the area) and drawn again."""
    from PIL import Image

    from quillset_extras.mpl import label_points

    data = europe(3000)
    call = f'label_points(overlap="hide"{", leaders=True" if leaders else ""})'
    fig, ax = new_axes(data, f"Europe's 3,000 largest cities: {call}")
    result = label_points(
        ax,
        data.x,
        data.y,
        data.texts,
        fontsize=FONT_SIZE,
        overlap="hide",
        leaders=leaders,
        priority=data.priority,
        point_radius=math.sqrt(data.marker_area) / 2,
    )
    before = len(result.shown)
    write_png(fig, out / "zoom-before.png", Image)
    frac = ax.transAxes.inverted().transform(
        ax.transData.transform(np.column_stack((data.x, data.y)))
    )
    a, b = densest_window(frac[:, 0], frac[:, 1], side)
    set_view(ax, frac_to_limits(ax, (a, a + side), (b, b + side)))
    ax.set_title("The same axes after ax.set_xlim(...), ax.set_ylim(...): placed again at draw")
    write_png(fig, out / "zoom-after.png", Image)
    print(
        f"labels {before} -> {len(result.shown)}, placements {result.artist.placements}: "
        f"{out / 'zoom-before.png'}, {out / 'zoom-after.png'}"
    )


def write_png(fig: Figure, path: Path, image: Any) -> None:
    """The figure as a PNG of at most 256 colours (a quarter of the size)."""
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    picture = image.open(buffer).convert("RGB")
    picture.quantize(colors=256, method=image.Quantize.MEDIANCUT).save(path, optimize=True)


# ---------------------------------------------------------------------------------


def subjects(quick: bool) -> list[Subject]:
    chosen = [
        ("europe", europe(600 if quick else 3000), True),
        ("gapminder", gapminder(), True),
        ("world", world(10_000 if quick else 100_000), False),
    ]
    return [Subject(key, data.title, data, views_of(data), peers) for key, data, peers in chosen]


def commit() -> str:
    """The commit of the work tree, and whether the companion or the engine's sources
    differ from it (the module is the one built in build/)."""

    def git(*args: str) -> str:
        found = subprocess.run(
            ["git", "-C", str(ROOT), *args], capture_output=True, text=True, check=True
        )
        return found.stdout.strip()

    try:
        head = git("rev-parse", "--short", "HEAD")
        sources = ("python", "engine", "binding")
        changed = git("status", "--porcelain", "--untracked-files=no", *sources)
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    return head + (" with uncommitted changes in python/, engine/ or binding/" if changed else "")


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small figures, one round")
    parser.add_argument("--repeat", type=int, default=None, help="rounds (3; --quick: 1)")
    parser.add_argument("--log", type=Path, default=HERE / "redraw.log")
    parser.add_argument("--pictures", action="store_true", help="make the README pictures only")
    parser.add_argument("--out", type=Path, default=ROOT / "docs", help="pictures' folder")
    args = parser.parse_args(argv)
    if args.pictures:
        pictures(args.out)
        return
    rounds = args.repeat or (1 if args.quick else 3)
    started, at, version = time.perf_counter(), datetime.now(UTC), commit()
    chosen = subjects(args.quick)
    for subject in chosen:
        if subject.peers:
            prepare_textalloc(subject)
    cells: dict[str, dict[tuple[str, str], Cell]] = {s.key: {} for s in chosen}
    for r in range(rounds):
        for subject in chosen:
            labellers = [lab for lab in LABELLERS if subject.peers or lab != "textalloc"]
            for change in CHANGES:
                turn = labellers[r % len(labellers) :] + labellers[: r % len(labellers)]
                for labeller in turn:
                    cell = cells[subject.key].setdefault((change.name, labeller), Cell())
                    run_cell(subject, change, labeller, cell, count=r == 0)
            print(f"round {r + 1}/{rounds}: {subject.key} done", file=sys.stderr, flush=True)
    report = [
        "# Labels after the call: changes after label_points, and the draw after each",
        "",
        f"{at:%Y-%m-%d %H:%M} UTC, commit {version}, "
        f"{platform.machine()}, Python {platform.python_version()}; "
        f"{' '.join(['bench/redraw.py', *(argv if argv is not None else sys.argv[1:])])}; "
        f"{rounds} round(s), times are medians; {time.perf_counter() - started:.0f} s in all.",
        "",
        "Columns: labels on the figure (off: texts wholly off it); pairs: overlapping "
        "texts; outside: labels not wholly inside the axes; over: labels over other "
        "drawn lines, patches, texts, the legend; imp: over the marker of a labelled or "
        "more important point; lead: leaders crossing a leader, another label or such "
        "a marker; dots: labels over less important points' markers (which hide "
        'allows). placed: placements in the draw; then: in a plain draw after it. "(!)" '
        "marks a label_points cell with a count that should be 0. draw ms: from the "
        "call (canvas.draw or savefig) until the figure's last artist is drawn.",
    ]
    bad: list[str] = []
    for subject in chosen:
        report += ["", f"## {subject.title}: {len(subject.data)} points", ""]
        report += summary(subject, cells[subject.key])
        report += ["", *table(subject, cells[subject.key])]
        bad += failures(subject, cells[subject.key])
    report += ["", "Counts that should be 0 and are not:", "", *(bad or ["- none"])]
    text = "\n".join(report) + "\n"
    print(text)
    if not args.quick:
        args.log.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main()
