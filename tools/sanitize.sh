#!/usr/bin/env bash
# Builds the module and the native tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/) and runs every test against them: the
# native tests, then the whole Python suite. Any finding ends the run with an error.
# Arguments go to pytest (tools/sanitize.sh tests/python/test_stateful.py);
# QUILLSET_HYPOTHESIS_EXAMPLES raises the number of random call sequences.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-asan
QUILLSET_BUILD_DIR=$build QUILLSET_CMAKE_ARGS=-DQUILLSET_SANITIZE=ON tools/setup.sh

# Every UBSan finding aborts (-fno-sanitize-recover=all); show where it happened.
export UBSAN_OPTIONS=print_stacktrace=1
checks=detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1

# The native tests own all their memory: full leak checking.
ASAN_OPTIONS=$checks:detect_leaks=1 "$build/engine_tests" --gtest_brief=1

# The interpreter is not built with the sanitizer, so the runtime is preloaded ahead
# of it, with libstdc++, which the interpreter does not load itself: without it ASan
# cannot intercept exceptions thrown by any C++ extension. PYTHONMALLOC=malloc sends
# every object through malloc, where ASan sees it.
# Leak detection stays off here. CPython leaves most of its objects allocated at exit
# on purpose, and every allocation of the module has interpreter frames below it, so
# a suppression of the interpreter's leaks would hide the module's as well (cutting
# the recorded stacks short to tell them apart needs the slow unwinder, which more
# than doubles the run). tests/python/test_leaks.py checks the module instead:
# reference counts, resident memory and object counts over long use.
# allocator_may_return_null=1: malloc fails as without ASan. ASan's operator new still
# aborts rather than throw, so the address-space tests of test_exhaustion.py skip.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
runtime="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libstdc++.so)"
LD_PRELOAD=$runtime PYTHONMALLOC=malloc PYTHONPATH=$build \
  ASAN_OPTIONS=$checks:detect_leaks=0:allocator_may_return_null=1 \
  .venv/bin/python -m pytest -q "$@"
