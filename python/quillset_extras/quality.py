"""Quality figures of a placement, computed from the results that Quillset.layout
returns and the object boxes that were added."""

from __future__ import annotations

import math
import numbers
import struct
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass

import quillset

from .geometry import Box, BoxIndex, Segment, bounds, crosses, overlaps_strictly, segments_cross

__all__ = [
    "Quality",
    "Readability",
    "inner_box",
    "is_fallback",
    "label_box",
    "label_object_pairs",
    "object_box",
    "overlapping_boxes",
    "overlapping_label_pairs",
    "quality",
    "readability",
]


def _f32(value: float) -> float:
    return float(struct.unpack("f", struct.pack("f", value))[0])


def object_box(left: float, top: float, right: float, bottom: float) -> Box:
    """The object box as the engine stores it: an edge shorter than 2 units becomes
    2 units around its centre, then the box grows outward to whole units (in the
    engine's single precision)."""
    l, t, r, b = _f32(left), _f32(top), _f32(right), _f32(bottom)
    if _f32(r - l) < 2.0:
        c = _f32(_f32(r + l) * 0.5)
        l, r = _f32(c - 1.0), _f32(c + 1.0)
    if _f32(b - t) < 2.0:
        c = _f32(_f32(t + b) * 0.5)
        t, b = _f32(c - 1.0), _f32(c + 1.0)
    return (math.floor(l), math.floor(t), math.ceil(r), math.ceil(b))


def is_fallback(result: quillset.LayoutResult) -> bool:
    """True for a label that found no box on the canvas: the engine reports it at the
    origin with zero size and zero ascent."""
    return (
        result.left == 0.0
        and result.top == 0.0
        and result.width == 0
        and result.height == 0
        and result.textAscent == 0
    )


def label_box(result: quillset.LayoutResult) -> Box:
    """The label's box as reported: left, top, left + width, top + height."""
    return (result.left, result.top, result.left + result.width, result.top + result.height)


def inner_box(result: quillset.LayoutResult) -> Box:
    """The part of the label's reported box that its text takes: the box minus the
    padding on each side."""
    return (
        result.left + result.padding_x,
        result.top + result.padding_y,
        result.left + result.width - result.padding_x,
        result.top + result.height - result.padding_y,
    )


def _index(boxes: Sequence[Box]) -> BoxIndex[tuple[float, float, float, float, int]]:
    """An empty index with cells of about the boxes' median size."""
    sizes = sorted(max(b[2] - b[0], b[3] - b[1]) for b in boxes)
    return BoxIndex(sizes[len(sizes) // 2] if sizes else 1.0)


def _self_pairs(boxes: Sequence[Box]) -> list[tuple[int, int]]:
    """Overlapping pairs (i, j), i < j, among `boxes`."""
    index = _index(boxes)
    found: set[tuple[int, int]] = set()
    for j, box in enumerate(boxes):
        found.update((near[4], j) for near in index.near(box) if overlaps_strictly(near, box))
        index.add((box[0], box[1], box[2], box[3], j))
    return sorted(found)


def _cross_pairs(first: Sequence[Box], second: Sequence[Box]) -> list[tuple[int, int]]:
    """Overlapping pairs (i, j) of first[i] and second[j]."""
    index = _index(first)
    for i, box in enumerate(first):
        index.add((box[0], box[1], box[2], box[3], i))
    found: set[tuple[int, int]] = set()
    for j, box in enumerate(second):
        found.update((near[4], j) for near in index.near(box) if overlaps_strictly(near, box))
    return sorted(found)


def overlapping_label_pairs(
    results: Sequence[quillset.LayoutResult], *, text: bool = False
) -> list[tuple[int, int]]:
    """Pairs (i, j), i < j, of labels whose reported boxes overlap; with `text`,
    those whose texts overlap (inner_box: the boxes without their padding)."""
    boxes = [inner_box(r) if text else label_box(r) for r in results]
    placed = [i for i, r in enumerate(results) if not is_fallback(r)]
    pairs = _self_pairs([boxes[i] for i in placed])
    return [(placed[i], placed[j]) for i, j in pairs]


def label_object_pairs(
    results: Sequence[quillset.LayoutResult], objects: Sequence[Box]
) -> list[tuple[int, int]]:
    """Pairs (label i, object j) where label i's box overlaps object j's box as the
    engine stores it (see object_box); its own object included."""
    placed = [i for i, r in enumerate(results) if not is_fallback(r)]
    stored = [object_box(*o) for o in objects]
    pairs = _cross_pairs([label_box(results[i]) for i in placed], stored)
    return [(placed[i], j) for i, j in pairs]


@dataclass(frozen=True)
class Quality:
    """How good a placement is; the fewer of each, the better."""

    labels: int
    """labels in the placement"""
    label_label: int
    """pairs of labels whose boxes overlap, padding included"""
    label_object: int
    """(label, object) pairs whose boxes overlap"""
    smaller_tier: int
    """labels placed at a font size below their base size"""
    fallback: int
    """labels that found no box on the canvas"""
    text_text: int = 0
    """pairs of labels whose drawn texts overlap: boxes without their padding"""

    @property
    def placed(self) -> int:
        """Labels that found a box on the canvas."""
        return self.labels - self.fallback


def quality(
    results: Sequence[quillset.LayoutResult],
    objects: Sequence[Box],
    base_font_sizes: Iterable[int] | int,
) -> Quality:
    """Quality figures of `results` (from Quillset.layout), given the object boxes
    and base font sizes that were passed to add, in the same order."""
    if len(objects) != len(results):
        raise ValueError(f"{len(results)} results but {len(objects)} objects")
    if isinstance(base_font_sizes, numbers.Integral):
        sizes = [int(base_font_sizes)] * len(results)
    elif isinstance(base_font_sizes, Iterable) and not isinstance(base_font_sizes, (str, bytes)):
        sizes = list(base_font_sizes)
        if len(sizes) != len(results):
            raise ValueError(f"{len(results)} results but {len(sizes)} base font sizes")
    else:
        raise TypeError(
            "quality: base_font_sizes must be an integer or one integer per result, not "
            f"{type(base_font_sizes).__name__}"
        )
    fallback = sum(map(is_fallback, results))
    smaller = sum(
        1
        for r, size in zip(results, sizes, strict=True)
        if not is_fallback(r) and r.fontSize < size
    )
    return Quality(
        labels=len(results),
        label_label=len(overlapping_label_pairs(results)),
        label_object=len(label_object_pairs(results, objects)),
        smaller_tier=smaller,
        fallback=fallback,
        text_text=len(overlapping_label_pairs(results, text=True)),
    )


def _cross_count(first: Sequence[Box], second: Sequence[Box]) -> int:
    return len(_cross_pairs(first, second))


def overlapping_boxes(boxes: Sequence[Box]) -> list[tuple[int, int]]:
    """Pairs (i, j), i < j, of boxes that overlap (sharing an edge does not count)."""
    return _self_pairs(boxes)


@dataclass(frozen=True)
class Readability:
    """What a reader sees of a set of drawn labels: the fewer overlaps, the better."""

    shown: int
    """labels drawn"""
    hidden: int
    """labels not drawn"""
    text_text: int
    """pairs of drawn texts that overlap"""
    text_marker: int
    """(text, marker) pairs that overlap where the text may not cover the marker:
    its own, that of a point whose label is drawn or of a more important point
    (every marker, when ranks are not known)"""
    outside: int
    """drawn texts not wholly inside the canvas"""
    leader_lines: int
    """labels drawn away from their point, joined to it by a line"""
    longest_leader: float
    """length of the longest leader line, 0 without any"""
    smaller_tier: int
    """drawn labels at a font size below the base size"""
    covered_markers: int = 0
    """markers of less important points whose labels are not drawn, under a text"""
    text_obstacle: int = 0
    """drawn texts over an obstacle: anything else drawn"""
    leader_crossings: int = 0
    """pairs of leader lines that cross"""
    leader_text: int = 0
    """(leader line, text) pairs where the line crosses a text not its own"""
    leader_marker: int = 0
    """(leader line, marker) pairs where the line passes over a marker that its
    text could not cover, other than its own point's"""

    @property
    def leaders(self) -> int:
        """The earlier name of `leader_lines`."""
        return self.leader_lines


def readability(
    texts: Sequence[Box],
    markers: Sequence[Box],
    width: float,
    height: float,
    *,
    hidden: int = 0,
    leader_lines: Sequence[Segment] = (),
    smaller_tier: int = 0,
    labels: Sequence[int] | None = None,
    rank: Sequence[int] | None = None,
    leader_labels: Sequence[int] | None = None,
    obstacles: Sequence[Box] = (),
    blocked: Callable[[Box], bool] | None = None,
) -> Readability:
    """Readability figures of drawn text boxes on a `width` x `height` canvas.

    Parameters
    ----------
    texts : sequence of boxes
        The drawn texts.
    markers : sequence of boxes
        The points' markers.
    width, height : float
        The canvas.
    hidden : int, default: 0
        How many labels are not drawn.
    leader_lines : sequence of segments, default: ()
        The leader lines (x0, y0, x1, y1), each from its point.
    smaller_tier : int, default: 0
        How many drawn labels are smaller than asked.
    labels : sequence of int or None, default: None
        texts[k] is the text of label labels[k], whose point's marker is
        markers[labels[k]]; with `rank`, a text counts only over the markers it
        may not cover.
    rank : sequence of int or None, default: None
        Each point's rank, 0 the most important.
    leader_labels : sequence of int or None, default: None
        leader_lines[k] belongs to label leader_labels[k].
    obstacles : sequence of boxes, default: ()
        Anything else drawn, which no text should cover.
    blocked : callable or None, default: None
        Whether a text box covers anything else drawn that `obstacles` does not
        hold (drawn pixels, say).
    """
    ranked = labels is not None and rank is not None
    forbidden, covered = _marker_pairs(texts, markers, labels, rank)
    obstacle_hits = {i for i, _ in _cross_pairs(texts, obstacles)}
    if blocked is not None:
        obstacle_hits.update(k for k, box in enumerate(texts) if blocked(box))
    crossings, over_text, over_marker = _leader_counts(
        texts, markers, leader_lines, labels, rank if ranked else None, leader_labels
    )
    return Readability(
        shown=len(texts),
        hidden=hidden,
        text_text=len(_self_pairs(texts)),
        text_marker=forbidden,
        outside=sum(1 for b in texts if b[0] < 0.0 or b[1] < 0.0 or b[2] > width or b[3] > height),
        leader_lines=len(leader_lines),
        longest_leader=max(
            (math.hypot(x1 - x0, y1 - y0) for x0, y0, x1, y1 in leader_lines), default=0.0
        ),
        smaller_tier=smaller_tier,
        covered_markers=covered,
        text_obstacle=len(obstacle_hits),
        leader_crossings=crossings,
        leader_text=over_text,
        leader_marker=over_marker,
    )


def _marker_pairs(
    texts: Sequence[Box],
    markers: Sequence[Box],
    labels: Sequence[int] | None,
    rank: Sequence[int] | None,
) -> tuple[int, int]:
    """(text, marker) pairs that overlap, split into those the text may not cover
    and the markers of less important, unlabelled points that it covers."""
    pairs = _cross_pairs(texts, markers)
    if labels is None or rank is None:
        return len(pairs), 0
    shown = set(labels)
    forbidden = [
        (k, j) for k, j in pairs if j in shown or rank[j] <= rank[labels[k]]
    ]  # fmt: skip
    return len(forbidden), len({j for _, j in pairs} - {j for _, j in forbidden})


def _leader_counts(
    texts: Sequence[Box],
    markers: Sequence[Box],
    lines: Sequence[Segment],
    labels: Sequence[int] | None,
    rank: Sequence[int] | None,
    owners: Sequence[int] | None,
) -> tuple[int, int, int]:
    """Leader lines that cross each other, cross a text not their own, and pass
    over a marker that their text could not cover (not their own point's)."""
    crossings = 0
    seen = BoxIndex[tuple[float, float, float, float, int]](16.0)
    for k, line in enumerate(lines):
        crossings += sum(segments_cross(lines[j[4]], line) for j in set(seen.near(bounds(line))))
        seen.add((*bounds(line), k))
    where = {label: t for t, label in enumerate(labels or ())}
    text_index = _index(texts)
    for t, box in enumerate(texts):
        text_index.add((box[0], box[1], box[2], box[3], t))
    marker_index = _index(markers)
    for j, box in enumerate(markers):
        marker_index.add((box[0], box[1], box[2], box[3], j))
    shown = set(labels or ())
    over_text = over_marker = 0
    for k, line in enumerate(lines):
        owner = owners[k] if owners is not None else None
        own = where.get(owner) if owner is not None else None
        near = {b[4] for b in text_index.near(bounds(line)) if crosses(line, b)}
        over_text += len(near - {own})
        for j in {b[4] for b in marker_index.near(bounds(line)) if crosses(line, b)}:
            if j == owner:
                continue
            if rank is None or owner is None or j in shown or rank[j] < rank[owner]:
                over_marker += 1
    return crossings, over_text, over_marker
