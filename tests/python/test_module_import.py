import glob
import importlib
import json
import os
import shutil
import subprocess
import sys

import pytest

import quillset


def python312():
    """A Python 3.12 interpreter that really runs (PATH may hold a dead shim), or None."""
    root = subprocess.run("pyenv root", shell=True, capture_output=True, text=True).stdout
    for exe in [
        shutil.which("python3.12"),
        *sorted(
            glob.glob(os.path.join(root.strip() or "/nonexistent", "versions/3.12*/bin/python3.12"))
        ),
    ]:
        probe = exe and subprocess.run(
            [exe, "-c", "import sys; print(sys.version_info[:2])"], capture_output=True, text=True
        )
        if probe and probe.stdout.strip() == "(3, 12)":
            return exe
    return None


def test_import_refused_by_other_interpreter_version(tmp_path, run_python):
    exe = python312()
    if exe is None:
        pytest.skip("no Python 3.12 interpreter available")
    shutil.copy(quillset.__file__, tmp_path / "quillset.so")
    out = run_python(
        "import json, sys\n"
        "try:\n"
        "    import quillset\n"
        "    outcome = ['imported', '']\n"
        "except BaseException as e:\n"
        "    outcome = [type(e).__name__, str(e)]\n"
        "print(json.dumps(outcome + [sys.version]))\n",
        python=exe,
        cwd=tmp_path,
    )
    assert out.returncode == 0, out.stderr
    kind, message, version = json.loads(out.stdout)
    assert version.startswith("3.12")
    assert (kind, message) == (
        "ImportError",
        "Python version mismatch: module was compiled "
        "for Python 3.13, but the interpreter version is incompatible: " + version + ".",
    )


def test_reimport_returns_same_module(monkeypatch):
    classes = [quillset.TextSize, quillset.LayoutConfig, quillset.LayoutResult, quillset.Quillset]
    monkeypatch.delitem(sys.modules, "quillset")
    again = importlib.import_module("quillset")
    assert again is quillset
    assert [again.TextSize, again.LayoutConfig, again.LayoutResult, again.Quillset] == classes
    assert sys.modules["quillset"] is quillset
