import os
import pathlib
import subprocess
import sys

import pytest

import quillset


class Recorder:
    """Measuring callable that logs every call and answers one fixed size."""

    def __init__(self, size=(46, 12, 4)):
        self.size = size
        self.calls = []

    def __call__(self, text, font_size):
        self.calls.append((text, font_size))
        return quillset.TextSize(*self.size)


@pytest.fixture
def measure():
    return Recorder()


@pytest.fixture
def engine(measure):
    """A 1000 x 1000 engine with the default configuration."""
    return quillset.Quillset(1000, 1000, measure)


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (this one by default) that imports
    quillset and the companion from where this one does, unless given its own env."""
    paths = [
        os.path.dirname(os.path.abspath(quillset.__file__)),
        str(pathlib.Path(__file__).resolve().parents[2] / "python"),
        os.environ.get("PYTHONPATH", ""),
    ]

    def run(code, python=sys.executable, **kwargs):
        kwargs.setdefault("env", {**os.environ, "PYTHONPATH": os.pathsep.join(paths)})
        return subprocess.run(
            [python, "-c", code], capture_output=True, text=True, timeout=120, **kwargs
        )

    return run
