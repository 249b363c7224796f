"""Dumps what label_points draws, to the last bit, so that two commits can be
compared: for every dataset of bench/readability.py in each of quillset's forms,
for the examples that call label_points, for zooms into two maps (each draw
placing again) and for whole figures of bench/whole_figure.py, each drawn text's
string, position, font size and colour, and each leader line's vertices.

    python bench/label_dump.py dump OUT.json [--quick]
    python bench/label_dump.py compare A.json B.json

To compare two commits: dump at each (git worktree or checkout, rebuilt), then
compare. Positions are written as float.hex, so equal means equal to the bit.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")

import methods  # noqa: E402
import sample_data as ds  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.text import Text  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
FORMS = ("allow", "hide", "hide+leaders", "hide+leaders far")


def use_source_tree() -> None:
    """Imports quillset from this checkout's build/ and the companion from its
    python/, whichever checkout the environment would import otherwise."""
    for extra in ("python", "build"):
        sys.path.insert(0, str(ROOT / extra))


def text_record(text: Text) -> list[Any]:
    x, y = text.get_position()
    return [
        text.get_text(),
        float(x).hex(),
        float(y).hex(),
        float(text.get_fontsize()),
        str(text.get_color()),
    ]


def line_record(line: Line2D) -> list[list[str]]:
    xs, ys = line.get_data()
    return [[float(v).hex() for v in xs], [float(v).hex() for v in ys]]  # type: ignore[union-attr,arg-type]


def result_record(res: Any) -> dict[str, Any]:
    return {
        "texts": [text_record(t) for t in res.texts],
        "lines": [line_record(line) for line in res.lines],
        "shown": list(res.shown),
        "leaders": list(res.leaders),
    }


def datasets(quick: bool) -> dict[str, Any]:
    loaders: dict[str, Callable[[], ds.Dataset]] = {
        "gapminder": ds.gapminder,
        "airports": ds.us_airports,
        "cars": ds.cars,
        "europe": ds.europe,
        "south-america": ds.south_america,
    }
    out: dict[str, Any] = {}
    for key, load in loaders.items():
        data = load()
        if quick:
            data = data.head(300)
        for form in FORMS:
            fig, ax = methods.new_axes(data, key)
            captured: list[Any] = []
            with recording(captured):
                methods.run_quillset(ax, data, form)
            out[f"{key} {form}"] = result_record(captured[0])
            print(f"{key} {form}: {len(captured[0].shown)} shown", flush=True)
    return out


def zooms(quick: bool) -> dict[str, Any]:
    """What each draw shows while zooming into the middle of a map, a step at a
    time (each draw places the labels again)."""
    out: dict[str, Any] = {}
    for key, load in (("europe", ds.europe), ("south-america", ds.south_america)):
        data = load().head(300 if quick else 3000)
        for form in ("hide", "hide+leaders"):
            fig, ax = methods.new_axes(data, key)
            captured: list[Any] = []
            with recording(captured):
                methods.run_quillset(ax, data, form)
            (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
            for step in range(1, 5):
                f, cx, cy = 0.7**step, (x0 + x1) / 2 - step, (y0 + y1) / 2 + step
                ax.set(xlim=(cx - (x1 - x0) * f / 2, cx + (x1 - x0) * f / 2),
                       ylim=(cy - (y1 - y0) * f / 2, cy + (y1 - y0) * f / 2))  # fmt: skip
                fig.canvas.draw()
                out[f"zoom {key} {form} {step}"] = result_record(captured[0])
    return out


def figures(quick: bool) -> dict[str, Any]:
    """Whole figures of bench/whole_figure.py: lines, bars, dates, two calls."""
    fs = importlib.import_module("figure_scenes")  # not type-checked: cartopy has no types
    out: dict[str, Any] = {}
    for name in ("lines16", "bars", "dates", "two-calls") if quick else fs.QUICK:
        for form in ("allow", "hide", "hide+leaders"):
            scene = fs.SCENES[name]()
            captured: list[Any] = []
            with recording(captured):
                run_scene(scene, form)
            for k, res in enumerate(captured):
                out[f"figure {name} {form} {k}"] = result_record(res)
    return out


def run_scene(scene: Any, form: str) -> None:
    """label_points on the scene as bench/whole_figure.py calls it."""
    from quillset_extras.mpl import label_points

    fs = importlib.import_module("figure_scenes")

    for part in scene.batches:
        label_points(
            scene.ax, scene.x[part], scene.y[part], scene.texts[part],
            fontsize=fs.FONT_SIZE,
            overlap="allow" if form == "allow" else "hide",
            leaders=form == "hide+leaders",
            priority=None if scene.priority is None else scene.priority[part],
            transform=scene.transform,
            point_radius=scene.point_radius,
        )  # fmt: skip


class recording:
    """Wraps quillset_extras.mpl.label_points so that every result is kept."""

    def __init__(self, into: list[Any]) -> None:
        self.into = into

    def __enter__(self) -> None:
        import quillset_extras.mpl as mpl

        self.module, self.original = mpl, mpl.label_points

        def label_points(*args: Any, **kwargs: Any) -> Any:
            res = self.original(*args, **kwargs)
            self.into.append(res)
            return res

        mpl.label_points = label_points

    def __exit__(self, *exc: object) -> None:
        self.module.label_points = self.original


def examples(quick: bool) -> dict[str, Any]:
    out: dict[str, Any] = {}
    runs: dict[str, Callable[[Any, str], None]] = {
        "matplotlib_scatter": lambda module, path: module.main(path),
        "label_speed": lambda module, path: module.main(True),
    }
    for name, run in runs.items():
        if quick and name == "label_speed":
            continue
        captured: list[Any] = []
        with recording(captured), tempfile.TemporaryDirectory() as tmp:
            found = importlib.util.spec_from_file_location(name, ROOT / "examples" / f"{name}.py")
            assert found is not None and found.loader is not None
            module = importlib.util.module_from_spec(found)
            found.loader.exec_module(module)
            run(module, str(Path(tmp) / "out.png"))
        for k, res in enumerate(captured):
            out[f"example {name} {k}"] = result_record(res)
    return out


def compare(a: dict[str, Any], b: dict[str, Any]) -> int:
    differ = 0
    for key in sorted(set(a) | set(b)):
        if key not in a or key not in b:
            print(f"{key}: only in {'first' if key in a else 'second'}")
            differ += 1
        elif a[key] != b[key]:
            fields = [f for f in a[key] if a[key][f] != b[key].get(f)]
            print(f"{key}: differs in {', '.join(fields)}")
            differ += 1
    print(f"{len(set(a) | set(b))} cases, {differ} differ")
    return 1 if differ else 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    dump = sub.add_parser("dump")
    dump.add_argument("out", type=Path)
    dump.add_argument("--quick", action="store_true", help="the first 300 points of each")
    comp = sub.add_parser("compare")
    comp.add_argument("a", type=Path)
    comp.add_argument("b", type=Path)
    args = parser.parse_args(argv)
    if args.command == "compare":
        return compare(json.loads(args.a.read_text()), json.loads(args.b.read_text()))
    use_source_tree()
    found = datasets(args.quick)
    found.update(examples(args.quick))
    found.update(zooms(args.quick))
    found.update(figures(args.quick))
    args.out.write_text(json.dumps(found, sort_keys=True) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
