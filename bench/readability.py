"""Readability benchmark: quillset's label_points beside textalloc and adjustText on
real datasets that ship inside PyPI packages (bench/requirements-readability.txt).

Every method labels the same points on the same figure (10 x 7 in, 100 dpi, 9 pt,
small dots, the same limits). What is counted comes from the drawn texts' renderer
extents after the figure is drawn: labels shown, overlapping pairs among the drawn
texts, texts over a marker (the marker's drawn box), texts outside the axes, the
longest leader line, leader lines that cross each other or another label's text,
and the labels clear of everything (bench/figure_metrics.py's count). Two
clocks: from the method's first call until just before savefig, and until
savefig has written the PNG; for quillset's three forms and textalloc
(draw_all=False) the medians of --repeat interleaved rounds (3).

    python bench/readability.py            # the full table, also into bench/readability.log
    python bench/readability.py --quick    # a smoke run of seconds on small subsets
"""

from __future__ import annotations

import argparse
import io
import math
import statistics
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from pathlib import Path

import numpy as np
from figure_metrics import figure_metrics
from methods import (
    ADJUST_TEXT_MAX,
    FONT_SIZE,
    METHODS,
    QUILLSET_FORMS,
    TOP,
    draw_method,
    leader_length,
    method_title,
    new_axes,
)
from numpy.typing import NDArray
from sample_data import DPI, Dataset, cars, europe, gapminder, south_america, us_airports, world

Floats = NDArray[np.float64]
ROOT = Path(__file__).resolve().parent.parent

# The methods whose time the speed lines compare: run once per round.
TIMED = (*QUILLSET_FORMS, "textalloc")


def overlapping_pairs(boxes: Floats) -> int:
    """Pairs of boxes whose interiors meet (sharing an edge is no overlap)."""
    if len(boxes) < 2:
        return 0
    b = boxes[np.argsort(boxes[:, 0], kind="stable")]
    # Only boxes that start left of box i's right edge can meet it.
    reach = np.searchsorted(b[:, 0], b[:, 2], side="left")
    pairs = 0
    for i in range(len(b)):
        rest = b[i + 1 : reach[i]]
        if len(rest):
            pairs += int(
                np.count_nonzero(
                    (rest[:, 2] > b[i, 0]) & (rest[:, 1] < b[i, 3]) & (rest[:, 3] > b[i, 1])
                )
            )
    return pairs


def boxes_over(boxes: Floats, others: Floats) -> int:
    """How many of `boxes` meet at least one of `others` in their interiors."""
    if len(boxes) == 0 or len(others) == 0:
        return 0
    order = np.argsort(others[:, 0], kind="stable")
    o = others[order]
    widest = float(np.max(o[:, 2] - o[:, 0]))
    first = np.searchsorted(o[:, 0], boxes[:, 0] - widest, side="right")
    last = np.searchsorted(o[:, 0], boxes[:, 2], side="left")
    count = 0
    for box, lo, hi in zip(boxes, first, last, strict=True):
        near = o[lo:hi]
        if np.any(
            (near[:, 2] > box[0])
            & (near[:, 0] < box[2])
            & (near[:, 3] > box[1])
            & (near[:, 1] < box[3])
        ):
            count += 1
    return count


def outside(boxes: Floats, frame: tuple[float, float, float, float]) -> int:
    """How many boxes reach beyond `frame`."""
    if len(boxes) == 0:
        return 0
    x0, y0, x1, y1 = frame
    return int(
        np.count_nonzero(
            (boxes[:, 0] < x0) | (boxes[:, 1] < y0) | (boxes[:, 2] > x1) | (boxes[:, 3] > y1)
        )
    )


def square_boxes(centres: Floats, side: float) -> Floats:
    """Boxes of width and height `side` around each centre (x, y)."""
    half = side / 2
    return np.column_stack(
        (centres[:, 0] - half, centres[:, 1] - half, centres[:, 0] + half, centres[:, 1] + half)
    )


@dataclass
class Row:
    dataset: str
    n: int
    method: str
    shown: int = 0
    top: int = 0
    overlaps: int = 0
    over_markers: int = 0
    outside: int = 0
    leader: float = 0.0
    leader_pairs: int = 0
    leader_texts: int = 0
    clear: int = 0
    t_before_save: float = 0.0
    t_total: float = 0.0
    note: str = ""


def measure(
    data: Dataset,
    method: str,
    fontsize: float | str = FONT_SIZE,
    save: Path | None = None,
    adjust_text_max: int = ADJUST_TEXT_MAX,
) -> Row:
    """Runs one method on a new figure, times it, saves the PNG (to `save`, or to
    memory) and counts what was drawn."""
    fig, ax = new_axes(data, method_title(data, method))
    start = time.perf_counter()
    drawn = draw_method(ax, data, method, fontsize, adjust_text_max)
    before_save = time.perf_counter()
    if drawn.note:
        return Row(data.key, len(data), method, note=drawn.note)
    fig.savefig(io.BytesIO() if save is None else save, format="png")
    end = time.perf_counter()

    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()  # type: ignore[attr-defined]
    texts = [t for t in drawn.texts if t.get_visible() and t.get_text()]
    boxes = np.array(
        [t.get_window_extent(renderer).extents for t in texts], dtype=np.float64
    ).reshape(-1, 4)
    centres = ax.transData.transform(np.column_stack((data.x, data.y)))
    markers = square_boxes(centres, math.sqrt(data.marker_area) * DPI / 72.0)
    frame = ax.get_window_extent(renderer)
    seen = figure_metrics(ax, drawn.texts, drawn.lines, renderer=renderer)
    return Row(
        data.key,
        len(data),
        method,
        shown=len(texts),
        top=sum(1 for i in drawn.shown if i < TOP),
        overlaps=overlapping_pairs(boxes),
        over_markers=boxes_over(boxes, markers),
        outside=outside(boxes, (frame.x0, frame.y0, frame.x1, frame.y1)),
        leader=max((leader_length(a) for a in drawn.lines), default=0.0),
        leader_pairs=seen.leader_pairs,
        leader_texts=seen.leader_texts,
        clear=seen.clear,
        t_before_save=before_save - start,
        t_total=end - start,
    )


# ---------------------------------------------------------------------------------
# The table


HEADER = (
    f"| dataset | n | method | shown | of the first {TOP} | overlapping pairs | over markers |"
    " outside | longest leader (px) | crossing leader pairs | leaders over texts | clear |"
    " s before savefig | s end to end |"
)


def format_row(row: Row) -> str:
    if row.note:
        return f"| {row.dataset} | {row.n} | {row.method} | {row.note} |" + " |" * 10
    return (
        f"| {row.dataset} | {row.n} | {row.method} | {row.shown} | {row.top} | {row.overlaps} |"
        f" {row.over_markers} | {row.outside} | {row.leader:.0f} | {row.leader_pairs} |"
        f" {row.leader_texts} | {row.clear} | {row.t_before_save:.2f} | {row.t_total:.2f} |"
    )


def speed_line(rows: Sequence[Row], dataset: str) -> str:
    """label_points against textalloc (draw_all=False) on one dataset, before savefig."""
    times = {r.method: r.t_before_save for r in rows if r.dataset == dataset and not r.note}
    peer = times.get("textalloc")
    if not peer:
        return ""
    parts = [f"{form}: {peer / times[form]:.1f}x" for form in QUILLSET_FORMS if form in times]
    return f"{dataset}: textalloc {peer:.2f} s before savefig; label_points faster by " + ", ".join(
        parts
    )


def leaders_against_textalloc(rows: Sequence[Row], dataset: str) -> str:
    """quillset's "hide"+leaders against textalloc (draw_all=False): labels shown (at
    least as many; 1.25 times as many where textalloc shows fewer than half) and the
    longest leader line (no longer than textalloc's)."""
    found = {r.method: r for r in rows if r.dataset == dataset and not r.note}
    ours, peer = found.get("hide+leaders"), found.get("textalloc")
    if ours is None or peer is None or not peer.shown:
        return ""
    dense = peer.shown < ours.n / 2
    wanted = math.ceil(1.25 * peer.shown) if dense else peer.shown
    return (
        f"{dataset}: hide+leaders shows {ours.shown}, textalloc {peer.shown}"
        f" ({ours.shown / peer.shown:.2f}x; {'dense, ' if dense else ''}wanted {wanted}:"
        f" {'met' if ours.shown >= wanted else 'NOT met'}); longest leader {ours.leader:.0f} px"
        f" against {peer.leader:.0f} px; crossing leader pairs {ours.leader_pairs} against"
        f" {peer.leader_pairs}, leaders over texts {ours.leader_texts} against"
        f" {peer.leader_texts}; clear {ours.clear} against {peer.clear}"
    )


def report(
    datasets: Sequence[Dataset],
    big: Dataset | None,
    emit: Callable[[str], None],
    adjust_text_max: int = ADJUST_TEXT_MAX,
    repeat: int = 1,
) -> None:
    rows: list[Row] = []
    emit(HEADER)
    emit("|" + " --- |" * 14)
    for data in datasets:
        # Rounds interleave the methods, so that a slow spell of a shared machine
        # falls on all of them; the times are the medians over the rounds.
        runs: dict[str, list[Row]] = {method: [] for method in METHODS}
        for round_ in range(repeat):
            for method in METHODS if round_ == 0 else TIMED:
                runs[method].append(measure(data, method, adjust_text_max=adjust_text_max))
        for method in METHODS:
            first = runs[method][0]
            row = replace(
                first,
                t_before_save=statistics.median(r.t_before_save for r in runs[method]),
                t_total=statistics.median(r.t_total for r in runs[method]),
            )
            rows.append(row)
            emit(format_row(row))
    if big is not None:  # the scale case: only what can be read is worth placing there
        row = measure(big, "hide")
        rows.append(row)
        emit(format_row(row))
    emit("")
    for data in datasets:
        line = speed_line(rows, data.key)
        if line:
            emit(line)
    emit("")
    for data in datasets:
        line = leaders_against_textalloc(rows, data.key)
        if line:
            emit(line)
    emit("")
    small = datasets[0]
    emit(f'Small font sizes, overlap="hide", {small.key} ({len(small)} points):')
    for size in (8, 8.5, "small"):
        row = measure(small, "hide", fontsize=size)
        emit(
            f"- fontsize={size!r}: {row.shown} labels drawn, {row.overlaps} overlapping pairs,"
            f" {row.over_markers} over markers, {row.outside} outside"
        )


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small subsets, a smoke run")
    parser.add_argument("--log", type=Path, help="where the table goes too")
    parser.add_argument("--big", type=int, default=100_000, help="points of the scale case")
    parser.add_argument(
        "--repeat", type=int, default=3, help="rounds of the timed methods (medians)"
    )
    args = parser.parse_args(argv)

    if args.quick:
        datasets = [gapminder().head(60), cars().head(80), europe(300)]
        big = world(5000)
        adjust_text_max = 100
        log = args.log or ROOT / "build" / "readability-quick.log"
    else:
        datasets = [gapminder(), us_airports(), cars(), europe(3000), south_america()]
        big = world(args.big)
        adjust_text_max = ADJUST_TEXT_MAX
        log = args.log or ROOT / "bench" / "readability.log"

    lines: list[str] = []

    def emit(line: str) -> None:
        print(line, flush=True)
        lines.append(line)

    report(datasets, big, emit, adjust_text_max, 1 if args.quick else max(1, args.repeat))
    log.parent.mkdir(parents=True, exist_ok=True)
    log.write_text("\n".join(lines) + "\n", encoding="utf-8")
    print(f"\nwritten to {log}")


if __name__ == "__main__":
    main()
