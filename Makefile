# `make demo` sets up and runs the demo scene; `make test` sets up and runs every test.
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: setup demo test test-native test-python clean

setup:
	@tools/setup.sh

demo: setup
	@PYTHONPATH=build $(PY) demo/demo.py

test: setup test-native test-python

test-native: setup
	@build/engine_tests --gtest_brief=1

test-python: setup
	@PYTHONPATH=build $(PY) -m pytest -q

clean:
	rm -rf build
