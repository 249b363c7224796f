"""The type stubs: mypy accepts typed use of the module and rejects the calls that
the module itself refuses, and stubtest finds the stubs in line with the module.

Against an installed wheel the stubs come from its quillset-stubs package; in the
source tree from python/stubs."""

import os
import pathlib
import runpy
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import quillset

ROOT = pathlib.Path(__file__).resolve().parents[2]
INSTALLED = (pathlib.Path(sysconfig.get_path("purelib")) / "quillset-stubs").is_dir()

GOOD = """
import quillset
from quillset_extras import Memoized, fixed_advance, quality


def measure(text: str, font_size: int) -> quillset.TextSize:
    size = quillset.TextSize(len(text) * font_size // 2, font_size)
    size.baseline = size.height // 4
    return size


config = quillset.LayoutConfig()
config.gridSize = 64
config.maxIterations = config.maxIterations + 1
config.costOverlapBase = 5e4
config.costPos2_Right = 1
engine = quillset.Quillset(800, 600, measure, config)
engine = quillset.Quillset(w=800, h=600, measure_func=Memoized(measure), config=config)
engine.set_config(config)
engine.set_canvas_size(1024, 768)
engine.add(100, 100, 300.5, 200, "harbour", 16)
engine.add(l=1.0, t=2.0, r=3.0, b=4.0, text=b"pier", baseFontSize=12)
engine.solve()
results: list[quillset.LayoutResult] = engine.layout()
corner: tuple[float, float] = (results[0].left, results[0].top)
size: int = results[0].width * results[0].height + results[0].fontSize
text_box: int = results[0].textAscent + results[0].textDescent + results[0].padding_y
figures = quality(results, [(100, 100, 300.5, 200), (1, 2, 3, 4)], [16, 12])
placed: int = figures.placed
engine.clear()
quiet = quillset.Quillset(10, 10, None)
preview = quillset.Quillset(10, 10, fixed_advance(0.6))
"""

SETUP = """
import quillset
config = quillset.LayoutConfig()
engine = quillset.Quillset(800, 600, lambda text, size: quillset.TextSize(10, 8, 2))
engine.add(100, 100, 300, 200, "x", 16)
"""

# A call the module refuses at run time, what mypy says about it, and the error.
WRONG = {
    "float font size": (
        'engine.add(0, 0, 10, 10, "x", 12.0)',
        'Argument 6 to "add" of "Quillset" has incompatible type "float"',
        TypeError,
    ),
    "float for an int field": (
        "quillset.TextSize(40.5, 12)",
        'Argument 1 to "TextSize" has incompatible type "float"',
        TypeError,
    ),
    "keywords for set_canvas_size": (
        "engine.set_canvas_size(w=1024, h=768)",
        'Unexpected keyword argument "w" for "set_canvas_size"',
        TypeError,
    ),
    "keyword for set_config": (
        "engine.set_config(config=config)",
        'Unexpected keyword argument "config" for "set_config"',
        TypeError,
    ),
    "LayoutConfig takes no fields": (
        "quillset.LayoutConfig(gridSize=50)",
        'Unexpected keyword argument "gridSize" for "LayoutConfig"',
        TypeError,
    ),
    "float assigned to an int field": (
        "config.maxIterations = 2.0",
        'Incompatible types in assignment (expression has type "float"',
        TypeError,
    ),
    "misspelt field": (
        "config.gridsize = 50",
        '"LayoutConfig" has no attribute "gridsize"',
        AttributeError,
    ),
    "results are read-only": (
        "engine.layout()[0].left = 1.0",
        'Property "left" defined in "LayoutResult" is read-only',
        AttributeError,
    ),
    "measure_func not callable": (
        "quillset.Quillset(800, 600, 42)",
        'Argument 3 to "Quillset" has incompatible type "int"',
        TypeError,
    ),
    "measure_func returns a tuple": (
        'quillset.Quillset(800, 600, lambda text, size: (1, 2, 3)).add(0, 0, 9, 9, "x", 12)',
        "Incompatible return value type",
        RuntimeError,
    ),
}


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy --strict (or stubtest) in a scratch directory without project config."""
    scratch = tmp_path_factory.mktemp("typing")
    config = scratch / "mypy.ini"
    config.write_text("[mypy]\n")
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    # stubtest imports the module this interpreter imported; cwd is the scratch dir.
    env["PYTHONPATH"] = os.path.dirname(os.path.abspath(quillset.__file__))
    if not INSTALLED:
        env["MYPYPATH"] = os.pathsep.join([str(ROOT / "python" / "stubs"), str(ROOT / "python")])

    def run(*args, tool="mypy"):
        command = [sys.executable, "-m", tool]
        if tool == "mypy":
            command += ["--strict", "--config-file", str(config), "--cache-dir", str(scratch)]
        else:
            command += ["--mypy-config-file", str(config)]
        return subprocess.run(
            command + list(args), cwd=scratch, env=env, capture_output=True, text=True, timeout=300
        )

    run.scratch = scratch
    return run


def test_typed_example_passes_mypy_and_runs(mypy):
    path = mypy.scratch / "good.py"
    path.write_text(GOOD)
    checked = mypy(str(path))
    assert checked.returncode == 0, checked.stdout + checked.stderr
    runpy.run_path(str(path))


@pytest.fixture(scope="module")
def wrong_report(mypy):
    """mypy's errors for a file holding every wrong call, by line number."""
    lines = textwrap.dedent(SETUP).splitlines()
    where = {}
    for name, (statement, _, _) in WRONG.items():
        lines.append(statement)
        where[name] = len(lines)
    path = mypy.scratch / "wrong.py"
    path.write_text("\n".join(lines) + "\n")
    checked = mypy(str(path))
    assert checked.returncode == 1, checked.stdout + checked.stderr
    report = {}
    for line in checked.stdout.splitlines():
        parts = line.split(":", 3)
        if len(parts) == 4 and parts[0].endswith("wrong.py") and " error:" in line:
            report.setdefault(int(parts[1]), []).append(parts[3])
    return where, report


@pytest.mark.parametrize("name", WRONG)
def test_wrong_call_is_rejected_by_mypy_and_by_the_module(name, wrong_report):
    statement, message, error = WRONG[name]
    where, report = wrong_report
    errors = report.get(where[name], [])
    assert any(message in e for e in errors), errors
    namespace = {}
    exec(textwrap.dedent(SETUP), namespace)
    with pytest.raises(error):
        exec(statement, namespace)


def test_stubs_match_the_module(mypy):
    allowlist = ROOT / "python" / "stubs" / "stubtest-allowlist.txt"
    checked = mypy("quillset", "--allowlist", str(allowlist), tool="mypy.stubtest")
    assert checked.returncode == 0, checked.stdout + checked.stderr
