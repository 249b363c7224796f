#!/usr/bin/env bash
# Builds the cp313 wheel into build-wheel/dist. Unless --build-only is given, then
# installs it into a fresh virtual environment and runs the Python tests against
# that install, from outside the source tree, so that quillset and quillset_extras
# come from the wheel and not from build/ or python/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
venv=$root/.venv
work=$root/build-wheel
mkdir -p "$work"

# No isolation: the build requirements are in .venv already (requirements-dev.txt).
# The CMake build directory is kept between runs, so only changes recompile.
rm -rf "$work/dist"
if ! "$venv/bin/python" -m build --wheel --no-isolation --outdir "$work/dist" \
    -C build-dir="$work/cmake" . >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  exit 1
fi
wheel=$(echo "$work"/dist/quillset-*-cp313-cp313-*.whl)
if [ ! -f "$wheel" ]; then
  echo "check-wheel: no cp313 wheel in build-wheel/dist" >&2
  exit 1
fi
echo "check-wheel: built ${wheel#"$root"/}"
[ "${1:-}" = --build-only ] && exit 0

fresh=$(mktemp -d)
trap 'rm -rf "$fresh"' EXIT
"$venv/bin/python" -m venv --without-pip "$fresh/venv"
py=$fresh/venv/bin/python
"$venv/bin/python" -m pip --python "$py" install --quiet --disable-pip-version-check \
  --no-index --no-deps "$wheel"
# The test tools (pytest, mypy, Pillow, matplotlib, ...) come from .venv, which
# this .pth file puts on sys.path after the fresh environment's own site-packages.
purelib() { "$1" -c 'import sysconfig; print(sysconfig.get_path("purelib"))'; }
purelib "$venv/bin/python" >"$(purelib "$py")/quillset-dev-tools.pth"

cd "$fresh"
export QUILLSET_WHEEL_TEST=1 MPLBACKEND=Agg
unset PYTHONPATH
"$py" -c '
import sys, quillset, quillset_extras
for module in (quillset, quillset_extras):
    assert module.__file__.startswith(sys.prefix), module.__file__
    print("check-wheel:", module.__name__, "from", module.__file__)
'
# -o pythonpath= drops the source tree's python/ that pyproject.toml adds for
# development runs.
"$py" -m pytest -q -p no:cacheprovider -c "$root/pyproject.toml" --rootdir "$root" \
  -o pythonpath= "$root/tests/python"
