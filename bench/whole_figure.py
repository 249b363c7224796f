"""Whole-figure benchmark: labellers on real plots, judged against all else drawn.

Each labeller on each scene of bench/figure_scenes.py, counted by
bench/figure_metrics.py against everything else that the figure draws.

Labellers: quillset's label_points with overlap="allow", "hide" and "hide" with
leaders, called with the inputs as a user has them (Series, datetime64, lon/lat
with transform=); textalloc (draw_all=False and True) and adjustText, each handed
the figure's lines, scatter points with their sizes and the boxes of bars, legend
and annotations as a careful user of each would. Each cell builds a new figure,
draws it once, then times the labelling calls until just before savefig.

    python bench/whole_figure.py                      # all scenes, table and JSON
    python bench/whole_figure.py --quick              # a small subset
    python bench/whole_figure.py --scenes bars,dates --pictures build-bench/pictures

The table goes to stdout, the cells to build-bench/whole_figure.json (--out). A
cell that raises is a result: its error is recorded and the run goes on. Columns:
labels drawn and handed over but drawn nowhere; overlapping text pairs; labels over
lines, markers (and markers of labelled or more important points), patches, other
texts, the legend; labels outside the axes; labels
clear of all that; of the 10 and 50 highest priorities, how many are labelled;
leaders, leader pairs that cross, leaders through other labels, over other points'
markers, over markers of labelled or more important points, the longest; distinct
font sizes; labels showing another point's text; labels without a leader away
from their point; seconds from the first labelling call until just before savefig.
"""

from __future__ import annotations

import argparse
import importlib
import inspect
import io
import json
import math
import resource
import sys
import time
import traceback
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from matplotlib.artist import Artist
from matplotlib.collections import PathCollection
from matplotlib.lines import Line2D
from matplotlib.text import Annotation, Text
from matplotlib.transforms import Bbox

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
# The module from build/ and the companion from python/, unless PYTHONPATH names others.
for extra in (HERE, ROOT / "build", ROOT / "python"):
    if str(extra) not in sys.path:
        sys.path.append(str(extra))

import figure_metrics as fm  # noqa: E402
import figure_scenes as fs  # noqa: E402

LABELLERS = ("allow", "hide", "hide+leaders", "textalloc", "textalloc all", "adjustText")
ADJUST_TEXT_MAX = 400  # above this adjustText runs for minutes, then out of memory: skipped
LINE_STEP = 10.0  # pixels between the points along a line handed to adjustText
BIG_MARKER = 8.0  # pixels: markers wider than this go to adjustText as boxes too
MEMORY_LIMIT = 8 << 30  # bytes of address space: a runaway cell fails, not the machine


@dataclass
class Drawn:
    """What one labeller drew: its texts, leader lines and, per text, the input index
    of its point."""

    texts: list[Text] = field(default_factory=list)
    leaders: list[Artist] = field(default_factory=list)
    shown: list[int] = field(default_factory=list)
    owners: list[int] = field(default_factory=list)  # per leader, the index of its text
    note: str = ""
    # quillset's results, by the input index of their first point: each draw may
    # place them again, so what they hold is read after the save.
    results: list[tuple[int, Any]] = field(default_factory=list)

    def read_results(self) -> None:
        if not self.results:
            return
        self.texts, self.leaders, self.shown, self.owners = [], [], [], []
        for start, res in self.results:
            at = {i: len(self.texts) + k for k, i in enumerate(res.shown)}
            self.owners += [at[i] for i in res.leaders]
            self.texts += list(res.texts)
            self.leaders += list(res.lines)
            self.shown += [start + i for i in res.shown]


@dataclass
class PeerInputs:
    """The figure's obstacles in the points' coordinates, for textalloc and adjustText."""

    lines: list[tuple[np.ndarray, np.ndarray]]  # drawn paths, and outlines of boxes
    along: tuple[np.ndarray, np.ndarray]  # points every LINE_STEP px along the lines
    scatter: tuple[np.ndarray, np.ndarray, np.ndarray]  # x, y, size in points²
    scatter_plot: PathCollection | None  # the one scatter, when there is exactly one
    boxes: list[Bbox]  # markers, bars, legend, texts


def peer_inputs(scene: fs.Scene) -> PeerInputs:
    """What a careful user hands textalloc and adjustText about the figure: every drawn
    line, every marker with its size, and the outlines of bars, the legend and other
    texts (neither takes boxes, so they come as closed lines and, for adjustText,
    as boxes of objects to avoid)."""
    renderer = fm.renderer_of(scene.fig)
    back = scene.data_transform().inverted()
    obstacles = fm.gather_obstacles(scene.ax, renderer)
    frame = np.array(scene.ax.get_window_extent(renderer).extents)

    def data(xy: np.ndarray) -> np.ndarray | None:
        """Display pixels to the points' coordinates; None where that has no answer
        (beyond the globe of a map projection)."""
        out = np.asarray(back.transform(xy), dtype=np.float64)
        return out if np.all(np.isfinite(out)) else None

    def inside(b: np.ndarray) -> bool:
        return bool(b[0] < frame[2] and b[2] > frame[0] and b[1] < frame[3] and b[3] > frame[1])

    lines: list[tuple[np.ndarray, np.ndarray]] = []
    along: list[np.ndarray] = []
    for seg in obstacles.segments.values():
        for s in fm.clip_segments(seg, frame):
            xy = data(s.reshape(2, 2))
            if xy is None:
                continue
            lines.append((xy[:, 0], xy[:, 1]))
            steps = max(2, math.ceil(math.dist(s[:2], s[2:]) / LINE_STEP) + 1)
            along.append(np.linspace(s[:2], s[2:], steps))
    boxes: list[Bbox] = []
    for kind in ("patches", "legend", "texts"):
        for b in obstacles.boxes.get(kind, np.empty((0, 4))):
            ring = data(np.array([b[[0, 1]], b[[2, 1]], b[[2, 3]], b[[0, 3]], b[[0, 1]]]))
            if ring is None or not inside(b):  # the title and axis texts lie outside
                continue
            lines.append((ring[:, 0], ring[:, 1]))
            boxes.append(Bbox(ring[[0, 2]]))
    for ring_px, _ in obstacles.polygons.get("patches", []):
        ring = data(ring_px)
        if ring is not None:
            lines.append((ring[:, 0], ring[:, 1]))
    xs, ys, sizes = [], [], []
    collections = [c for c in scene.ax.collections if isinstance(c, PathCollection)]
    for c in collections:
        offsets = np.asarray(c.get_offsets(), dtype=np.float64)
        xs.append(offsets[:, 0])
        ys.append(offsets[:, 1])
        sizes.append(np.resize(np.asarray(c.get_sizes(), dtype=np.float64), len(offsets)))
    for line in scene.ax.lines:
        if line.get_marker() not in (None, "None", "none", "", " "):
            xy = back.transform(line.get_transform().transform(line.get_xydata()))
            xs.append(xy[:, 0])
            ys.append(xy[:, 1])
            sizes.append(np.full(len(xy), float(line.get_markersize()) ** 2))
    # Markers bigger than a dot as boxes too (small ones are points enough, and
    # adjustText's memory grows with the square of what overlaps).
    for marker in obstacles.boxes.get("markers", np.empty((0, 4))):
        if max(marker[2] - marker[0], marker[3] - marker[1]) > BIG_MARKER:
            corners = data(marker.reshape(2, 2))
            if corners is not None:
                boxes.append(Bbox(corners))
    pts = back.transform(np.vstack(along)) if along else np.empty((0, 2))
    return PeerInputs(
        lines,
        (pts[:, 0], pts[:, 1]),
        (
            np.concatenate(xs) if xs else np.empty(0),
            np.concatenate(ys) if ys else np.empty(0),
            np.concatenate(sizes) if sizes else np.empty(0),
        ),
        collections[0] if len(collections) == 1 else None,
        boxes,
    )


# ---------------------------------------------------------------------------------
# The labellers


def run_quillset(scene: fs.Scene, form: str, peers: PeerInputs) -> Drawn:
    from quillset_extras.mpl import label_points

    accepted = inspect.signature(label_points).parameters
    options: dict[str, Any] = {
        "fontsize": fs.FONT_SIZE,
        "overlap": "allow" if form == "allow" else "hide",
        "leaders": form == "hide+leaders",
    }
    if "point_radius" in accepted:
        options["point_radius"] = scene.point_radius
    drawn = Drawn()
    notes = []
    for part in scene.batches:
        priority = None if scene.priority is None else scene.priority[part]
        args = (scene.ax, scene.x[part], scene.y[part], scene.texts[part])
        if scene.transform is not None:
            try:
                res = label_points(*args, priority=priority, transform=scene.transform, **options)
            except TypeError as e:  # as a user would, try again without the transform
                notes.append(f"transform= refused ({e}); ran without it")
                res = label_points(*args, priority=priority, **options)
        else:
            res = label_points(*args, priority=priority, **options)
        drawn.results.append((part.start or 0, res))
    drawn.read_results()
    drawn.note = "; ".join(dict.fromkeys(notes))
    return drawn


def by_priority(scene: fs.Scene, part: slice) -> list[int]:
    """The input indices of one batch, most important first (ties: input order): the
    peers place earlier labels first, so a careful user hands them over in this order."""
    idx = list(range(part.start or 0, part.stop))
    priority = scene.priorities()
    if priority is None:
        return idx
    return sorted(idx, key=lambda i: -priority[i])


def run_textalloc(scene: fs.Scene, draw_all: bool, peers: PeerInputs) -> Drawn:
    textalloc = importlib.import_module("textalloc")
    drawn = Drawn()
    x_lines = [xy[0] for xy in peers.lines] or None
    y_lines = [xy[1] for xy in peers.lines] or None
    sx, sy, sizes = peers.scatter
    extra: dict[str, Any] = {}
    if scene.transform is not None:
        extra["transform"] = scene.transform
    if peers.scatter_plot is not None:
        extra["scatter_plot"] = peers.scatter_plot
    for part in scene.batches:
        order = by_priority(scene, part)
        out = textalloc.allocate(
            scene.ax,
            scene.px[order],
            scene.py[order],
            [scene.expected[i] for i in order],
            x_scatter=sx if len(sx) else None,
            y_scatter=sy if len(sy) else None,
            scatter_sizes=sizes if len(sizes) else None,
            x_lines=x_lines,
            y_lines=y_lines,
            textsize=fs.FONT_SIZE,
            draw_all=draw_all,
            linecolor="0.45",
            linewidth=0.6,
            avoid_label_lines_overlap=True,
            avoid_crossing_label_lines=True,
            **extra,
        )
        at = {}
        for k, t in enumerate(out[2]):
            if isinstance(t, Text):
                at[k] = len(drawn.texts)
                drawn.texts.append(t)
                drawn.shown.append(order[k])
        for k, line in enumerate(out[3]):
            if isinstance(line, Line2D):
                drawn.leaders.append(line)
                drawn.owners.append(at[k])
    return drawn


def run_adjust_text(scene: fs.Scene, peers: PeerInputs) -> Drawn:
    if len(scene) > ADJUST_TEXT_MAX:
        return Drawn(note=f"skipped: more than {ADJUST_TEXT_MAX} labels")
    adjust = importlib.import_module("adjustText").adjust_text
    drawn = Drawn()
    extra = {} if scene.transform is None else {"transform": scene.data_transform()}
    ax_, ay_ = peers.along
    for part in scene.batches:
        start = part.start or 0
        idx = range(start, part.stop)
        texts = [
            scene.ax.text(
                scene.px[i], scene.py[i], scene.expected[i], fontsize=fs.FONT_SIZE, **extra
            )
            for i in idx
        ]
        _, arrows = adjust(
            texts,
            x=np.concatenate((scene.px, ax_)),
            y=np.concatenate((scene.py, ay_)),
            objects=peers.boxes or None,
            ax=scene.ax,
            arrowprops={"arrowstyle": "-", "color": "0.45", "lw": 0.6},
        )
        at = {id(t): len(drawn.texts) + k for k, t in enumerate(texts)}
        drawn.texts += texts
        drawn.shown += list(idx)
        for arrow in arrows:
            patch = arrow.arrow_patch if isinstance(arrow, Annotation) else arrow
            drawn.leaders.append(arrow)
            drawn.owners.append(at[id(patch.patchA)])
    return drawn


def label(scene: fs.Scene, labeller: str, peers: PeerInputs) -> Drawn:
    if labeller in ("allow", "hide", "hide+leaders"):
        return run_quillset(scene, labeller, peers)
    if labeller == "textalloc":
        return run_textalloc(scene, False, peers)
    if labeller == "textalloc all":
        return run_textalloc(scene, True, peers)
    if labeller == "adjustText":
        return run_adjust_text(scene, peers)
    raise ValueError(f"unknown labeller {labeller!r}")


# ---------------------------------------------------------------------------------
# One cell: a new figure, the labelling timed, the counts


@dataclass
class Cell:
    scene: str
    labeller: str
    n: int
    seconds: float = 0.0
    metrics: dict[str, Any] = field(default_factory=dict)
    note: str = ""
    error: str = ""


def run_cell(build: Callable[[], fs.Scene], labeller: str, pictures: Path | None = None) -> Cell:
    scene = build()
    cell = Cell(scene.name, labeller, len(scene))
    scene.ax.set_title(f"{scene.ax.get_title()}: {labeller}", fontsize=11)
    peers = peer_inputs(scene)  # draws the figure: the warm draw before the clock
    start = time.perf_counter()
    try:
        drawn = label(scene, labeller, peers)
    except Exception as e:  # a failing cell is a result, not a crash
        cell.seconds = time.perf_counter() - start
        cell.error = f"{type(e).__name__}: {e}".splitlines()[0][:300]
        cell.note = traceback.format_exc(limit=-1).strip().splitlines()[-3].strip()[:200]
        return cell
    cell.seconds = time.perf_counter() - start
    cell.note = drawn.note
    if drawn.note.startswith("skipped"):
        return cell
    out = io.BytesIO() if pictures is None else pictures / f"{scene.name}--{_slug(labeller)}.png"
    scene.fig.savefig(out, format="png")
    drawn.read_results()
    try:
        renderer = fm.renderer_of(scene.fig)
        metrics = fm.figure_metrics(
            scene.ax,
            drawn.texts,
            drawn.leaders,
            renderer=renderer,
            shown=drawn.shown,
            points=scene.display_points(),
            priority=scene.priorities(),
            expected=scene.expected,
            owners=drawn.owners,
        )
    except Exception as e:  # the run goes on; the cell says why it has no counts
        cell.error = f"counting failed: {type(e).__name__}: {e}".splitlines()[0][:300]
        return cell
    cell.metrics = metrics.as_dict()
    return cell


def _slug(name: str) -> str:
    return name.replace(" ", "-").replace("+", "-")


# ---------------------------------------------------------------------------------
# The table

COLUMNS = (
    ("drawn", "texts"),
    ("undrawn", "undrawn"),
    ("text pairs", "text_pairs"),
    ("× lines", "over_lines"),
    ("× markers", "over_markers"),
    ("× important", "over_important"),
    ("× patches", "over_patches"),
    ("× texts", "over_texts"),
    ("× legend", "over_legend"),
    ("outside", "outside"),
    ("clear", "clear"),
    ("top10", "top10"),
    ("top50", "top50"),
    ("leaders", "leaders"),
    ("L×L", "leader_pairs"),
    ("L×text", "leader_texts"),
    ("L×markers", "leader_markers"),
    ("L×important", "leader_important"),
    ("longest L px", "longest_leader"),
    ("sizes", "font_sizes"),
    ("wrong text", "wrong_texts"),
    ("detached", "detached"),
)


def header() -> list[str]:
    names = ["scene", "n", "labeller", *(c[0] for c in COLUMNS), "s", "note"]
    return ["| " + " | ".join(names) + " |", "|" + " --- |" * len(names)]


def row(cell: Cell) -> str:
    if not cell.metrics:
        values = [""] * len(COLUMNS)
    else:
        values = []
        for _, key in COLUMNS:
            v = cell.metrics[key]
            values.append(f"{v:.0f}" if isinstance(v, float) else ("" if v == -1 else str(v)))
    note = cell.error or cell.note
    return (
        f"| {cell.scene} | {cell.n} | {cell.labeller} | "
        + " | ".join(values)
        + f" | {cell.seconds:.2f} | {note.replace('|', '/')} |"
    )


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help=f"only {', '.join(fs.QUICK)}")
    parser.add_argument("--scenes", help="comma-separated: " + ", ".join([*fs.SCENES, *fs.MORE]))
    parser.add_argument("--labellers", help="comma-separated: " + ", ".join(LABELLERS))
    parser.add_argument(
        "--out", type=Path, default=ROOT / "build-bench" / "whole_figure.json", help="JSON file"
    )
    parser.add_argument("--pictures", type=Path, help="a folder for each cell's PNG")
    args = parser.parse_args(argv)
    names = args.scenes.split(",") if args.scenes else list(fs.QUICK if args.quick else fs.SCENES)
    known = {**fs.SCENES, **fs.MORE}
    unknown = [n for n in names if n not in known]
    if unknown:
        parser.error(f"unknown scenes {unknown}; known: {', '.join(known)}")
    labellers = args.labellers.split(",") if args.labellers else list(LABELLERS)
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, resource.RLIM_INFINITY))
    if args.pictures:
        args.pictures.mkdir(parents=True, exist_ok=True)

    import quillset
    import quillset_extras

    print(
        f"quillset from {Path(str(quillset.__file__)).parent},"
        f" quillset_extras from {Path(quillset_extras.__file__).parent}\n",
        flush=True,
    )
    for line in header():
        print(line, flush=True)
    cells = []
    for name in names:
        for labeller in labellers:
            cell = run_cell(known[name], labeller, args.pictures)
            cells.append(cell)
            print(row(cell), flush=True)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps([c.__dict__ for c in cells], indent=1) + "\n", encoding="utf-8")
    print(f"\nwritten to {args.out}")


if __name__ == "__main__":
    main()
