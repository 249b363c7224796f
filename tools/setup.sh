#!/usr/bin/env bash
# Sets up the development environment and builds the module, doing only what is
# not done yet: the virtual environment (.venv), the Python requirements, the
# native test framework (Debian's libgtest-dev) and the CMake build (build/).
set -euo pipefail
cd "$(dirname "$0")/.."

venv=.venv
reqs=requirements-dev.txt
stamp=$venv/.requirements.sha256

if [ ! -x "$venv/bin/python" ]; then
  python=$(tools/find-python313)
  echo "setup: creating $venv with $python"
  "$python" -m venv "$venv"
fi
want=$(sha256sum "$reqs" | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
  echo "setup: installing $reqs"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$reqs"
  echo "$want" > "$stamp"
fi

if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "setup: installing GoogleTest (libgtest-dev)"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev >/dev/null
fi

build=${QUILLSET_BUILD_DIR:-build}
if [ ! -f "$build/build.ninja" ]; then
  "$venv/bin/cmake" -S . -B "$build" -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$PWD/$venv/bin/ninja" \
    -DPython_EXECUTABLE="$PWD/$venv/bin/python" \
    -Dpybind11_DIR="$("$venv/bin/python" -m pybind11 --cmakedir)" \
    -DQUILLSET_NATIVE_TESTS=ON ${QUILLSET_CMAKE_ARGS:-} >/dev/null
fi
"$venv/bin/cmake" --build "$build"

# The development environment imports the module from the default build and the
# companion from the source tree, with no PYTHONPATH: a .pth file in its
# site-packages. Other builds (the sanitizers') are reached through PYTHONPATH.
if [ "$build" = build ]; then
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
  printf '%s\n%s\n' "$PWD/build" "$PWD/python" > "$site/quillset-dev.pth"
fi
