# `make demo` sets up and runs the demo scene; `make test` sets up and runs every test.
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: setup demo test test-native test-python clean lint format wheel test-wheel test-sdist \
	bench sanitize valgrind readability gallery

setup:
	@tools/setup.sh

demo: setup
	@$(PY) demo/demo.py

test: setup test-native test-python lint test-wheel

# The native tests as ctest discovers them, each test case in its own process.
test-native: setup
	@$(VENV)/bin/ctest --test-dir build --output-on-failure --progress -j2

test-python: setup
	@PYTHONPATH=build $(PY) -m pytest -q

# Style and types: ruff for Python, clang-format for C++ (both pinned in
# requirements-dev.txt), mypy --strict for the companion package, examples and demo.
CXX_SOURCES = $(wildcard engine/*.cpp engine/*.h binding/*.cpp binding/*.h tests/native/*.cpp tests/native/*.h bench/*.cpp)

lint: setup
	@$(VENV)/bin/ruff check --quiet .
	@$(VENV)/bin/ruff format --check --quiet .
	@$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	@$(PY) -m mypy

# Rewrites the sources in the style that lint checks.
format: setup
	@$(VENV)/bin/ruff check --silent --exit-zero --fix .
	@$(VENV)/bin/ruff format --quiet .
	@$(VENV)/bin/clang-format -i $(CXX_SOURCES)

# The cp313 manylinux wheel, in build-wheel/dist (tools/check-wheel.sh).
wheel: setup
	@tools/check-wheel.sh --build-only

# The Python tests against that wheel, installed with the README's install commands
# into a fresh virtual environment with no compiler or CMake on PATH.
test-wheel: setup
	@tools/check-wheel.sh

# The sdist in build-wheel/sdist; a wheel built from it alone passes its own tests.
# A full compile (about a minute), so .ci/run runs it rather than `make test`.
test-sdist: setup
	@tools/check-wheel.sh --sdist

clean:
	rm -rf build build-wheel build-asan build-bench

# Benchmarks (bench/run.py): engine phases, scaling, the baseline commit (through the
# module and the native driver), callgrind, peers; `--only ab --ab PATCH...` times one
# patched engine per patch against the baseline. Several minutes;
# `make bench BENCH_ARGS=--quick` is a smoke test of a minute or two.
bench: setup
	@$(PY) bench/run.py $(BENCH_ARGS)

# Every test (native and Python) against an AddressSanitizer and
# UndefinedBehaviorSanitizer build in build-asan/ (tools/sanitize.sh). Arguments for
# pytest go in SANITIZE_ARGS; QUILLSET_HYPOTHESIS_EXAMPLES lengthens the random runs.
sanitize:
	@tools/sanitize.sh $(SANITIZE_ARGS)

# The memcheck tests under valgrind (tools/valgrind.sh): records that were never
# written must never be read. Installs Debian's valgrind when it is missing.
valgrind:
	@tools/valgrind.sh $(VALGRIND_ARGS)

# Readability on real datasets beside textalloc and adjustText (bench/readability.py;
# a few minutes, READABILITY_ARGS=--quick for seconds), and the gallery's pictures
# (bench/gallery.py, into docs/gallery). Both install bench/requirements-readability.txt first.
$(VENV)/.readability: bench/requirements-readability.txt | setup
	@$(PY) -m pip install --quiet --disable-pip-version-check -r $<
	@touch $@

readability: setup $(VENV)/.readability
	@$(PY) bench/readability.py $(READABILITY_ARGS)

gallery: setup $(VENV)/.readability
	@$(PY) bench/gallery.py $(GALLERY_ARGS)
