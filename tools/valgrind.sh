#!/usr/bin/env bash
# Runs the memcheck tests (tests/python/test_memcheck.py) under valgrind against the
# regular build (build/), installing Debian's valgrind first when it is missing. A
# plain test cannot see a read of uninitialised memory; memcheck reports each one.
# Arguments go to pytest. Under a minute.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind: installing valgrind"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq valgrind >/dev/null
fi
QUILLSET_VALGRIND=1 PYTHONPATH=build .venv/bin/python -m pytest -q tests/python/test_memcheck.py "$@"
