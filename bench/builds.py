"""Builds for the benchmark: the peers' requirements, and the module and native
driver of the current tree or of any commit, optionally with a patch applied.

Every tree is built by the current CMakeLists.txt (its QUILLSET_BENCH_DRIVER option
builds bench/driver.cpp against the engine), so compiler flags live in one place and
two engines compared are built alike. The build of a commit goes to
build-bench/tree-COMMIT[-PATCH]/build.
"""

from __future__ import annotations

import hashlib
import pathlib
import re
import shutil
import subprocess
import sys

BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent
OUT = ROOT / "build-bench"
VENV = ROOT / ".venv" / "bin"
REQUIREMENTS = BENCH / "requirements.txt"


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def ensure_requirements() -> None:
    """Installs the peers and plotting packages of bench/requirements.txt into .venv."""
    stamp = ROOT / ".venv" / ".bench-requirements.sha256"
    want = hashlib.sha256(REQUIREMENTS.read_bytes()).hexdigest()
    if stamp.exists() and stamp.read_text().strip() == want:
        return
    log(f"bench: installing {REQUIREMENTS.relative_to(ROOT)}")
    pip = [str(VENV / "python"), "-m", "pip", "install", "--quiet", "--disable-pip-version-check"]
    subprocess.run([*pip, "-r", str(REQUIREMENTS)], check=True)
    stamp.write_text(want + "\n")


def _configure_and_build(tree: pathlib.Path, build: pathlib.Path, targets: list[str]) -> None:
    if not (build / "build.ninja").exists():
        pybind11_dir = subprocess.run(
            [str(VENV / "python"), "-m", "pybind11", "--cmakedir"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        subprocess.run(
            [
                str(VENV / "cmake"),
                "-S",
                str(tree),
                "-B",
                str(build),
                "-G",
                "Ninja",
                f"-DCMAKE_MAKE_PROGRAM={VENV / 'ninja'}",
                f"-DPython_EXECUTABLE={VENV / 'python'}",
                f"-Dpybind11_DIR={pybind11_dir}",
                "-DQUILLSET_BENCH_DRIVER=ON",
            ],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    subprocess.run(
        [str(VENV / "cmake"), "--build", str(build), "-j2", "--target", *targets],
        check=True,
        stdout=subprocess.DEVNULL,
    )


def current(targets: tuple[str, ...] = ("quillset", "bench_driver")) -> pathlib.Path:
    """The build directory of the current tree (build-bench/current)."""
    build = OUT / "current"
    _configure_and_build(ROOT, build, list(targets))
    return build


def commit_tree(commit: str, patch: pathlib.Path | None = None) -> pathlib.Path:
    """The build directory of `commit`'s sources, with `patch` applied (-p1), built
    by the current build description and driver."""
    name = f"tree-{commit}" + (f"-{patch.stem}" if patch else "")
    tree = OUT / name
    build = tree / "build"
    if not (build / "bench_driver").exists() or not list(build.glob("quillset*.so")):
        log(f"bench: building {commit}" + (f" with {patch.name}" if patch else ""))
        shutil.rmtree(tree, ignore_errors=True)
        tree.mkdir(parents=True)
        archive = subprocess.run(
            ["git", "-C", str(ROOT), "archive", commit, "engine", "binding"],
            capture_output=True,
            check=True,
        ).stdout
        subprocess.run(["tar", "-x", "-C", str(tree)], input=archive, check=True)
        if patch:
            subprocess.run(
                ["patch", "-s", "-p1", "-d", str(tree), "-i", str(patch.resolve())], check=True
            )
        shutil.copy(ROOT / "CMakeLists.txt", tree / "CMakeLists.txt")
        (tree / "bench").mkdir()
        shutil.copy(BENCH / "driver.cpp", tree / "bench" / "driver.cpp")
        _configure_and_build(tree, build, ["quillset", "bench_driver"])
    return build


def instructions(driver: pathlib.Path, n: int, kind: str, mode: str) -> int:
    """Instructions executed inside Quillset::solve, counted by callgrind."""
    done = subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            "--callgrind-out-file=/dev/null",
            "--toggle-collect=quillset::Quillset::solve()",
            str(driver),
            str(n),
            kind,
            mode,
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    found = re.search(r"Collected : (\d+)", done.stderr)
    if found is None:
        raise RuntimeError(f"no callgrind count from {driver}:\n{done.stderr[-2000:]}")
    return int(found.group(1))
