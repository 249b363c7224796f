# `make demo` sets up and runs the demo scene; `make test` sets up and runs every test.
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: setup demo test test-native test-python clean lint format wheel test-wheel bench sanitize \
	readability gallery

setup:
	@tools/setup.sh

demo: setup
	@PYTHONPATH=build $(PY) demo/demo.py

test: setup test-native test-python lint test-wheel

test-native: setup
	@build/engine_tests --gtest_brief=1

test-python: setup
	@PYTHONPATH=build $(PY) -m pytest -q

# Style and types: ruff for Python, clang-format for C++ (both pinned in
# requirements-dev.txt), mypy --strict for the companion package, examples and demo.
CXX_SOURCES = $(wildcard engine/*.cpp engine/*.h binding/*.cpp binding/*.h tests/native/*.cpp)

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

# The cp313 wheel, in build-wheel/dist.
wheel: setup
	@tools/check-wheel.sh --build-only

# The Python tests against the wheel, installed into a fresh virtual environment.
test-wheel: setup
	@tools/check-wheel.sh

clean:
	rm -rf build build-wheel build-asan build-bench

# Benchmarks (bench/run.py): engine phases, scaling, peers, baseline commit, callgrind.
# Several minutes; `make bench BENCH_ARGS=--quick` is a smoke test of seconds.
bench: setup
	@$(PY) bench/run.py $(BENCH_ARGS)

# Every test (native and Python) against an AddressSanitizer and
# UndefinedBehaviorSanitizer build in build-asan/ (tools/sanitize.sh). Arguments for
# pytest go in SANITIZE_ARGS; QUILLSET_HYPOTHESIS_EXAMPLES lengthens the random runs.
sanitize:
	@tools/sanitize.sh $(SANITIZE_ARGS)

# Readability on real datasets beside textalloc and adjustText (bench/readability.py;
# a few minutes, READABILITY_ARGS=--quick for seconds), and the gallery's pictures
# (docs/gallery/make.py). Both install bench/requirements-readability.txt first.
$(VENV)/.readability: bench/requirements-readability.txt | setup
	@$(PY) -m pip install --quiet --disable-pip-version-check -r $<
	@touch $@

readability: setup $(VENV)/.readability
	@$(PY) bench/readability.py $(READABILITY_ARGS)

gallery: setup $(VENV)/.readability
	@$(PY) docs/gallery/make.py $(GALLERY_ARGS)
