"""The README's Python snippets run as written, each in a fresh interpreter in an
empty folder, and leave what they say they write."""

import re
from pathlib import Path

import pytest

README = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
SNIPPETS = re.findall(r"^```python\n(.*?)^```", README, re.M | re.S)


def test_the_readme_has_its_snippets():
    assert len(SNIPPETS) >= 4


@pytest.mark.parametrize("snippet", SNIPPETS, ids=lambda s: s.splitlines()[0][:40])
def test_readme_snippet_runs_as_written(snippet, run_python, tmp_path):
    run = run_python(snippet, cwd=tmp_path)
    assert run.returncode == 0, run.stderr[-3000:]
    for written in re.findall(r"""(?:savefig|save)\("([^"]+)"\)""", snippet):
        assert (tmp_path / written).stat().st_size > 0
