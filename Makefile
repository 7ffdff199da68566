# make demo   build the module and find the hydrogen bonds of a sample water trajectory
# make test   every suite: native (sanitizers), Python, and the CPython/NumPy version matrix
SHELL := /bin/bash
PYTHON ?= $(shell tools/find-python)
VENV := .venv
MODULE_SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test test-native test-python test-compat bench clean

demo: $(VENV)/.installed
	$(VENV)/bin/python examples/demo.py

test: test-native test-python test-compat

test-native: $(VENV)/.deps
	tools/run-native-tests $(VENV)

test-python: $(VENV)/.installed
	$(VENV)/bin/python -m pytest

test-compat:
	tools/run-compat-tests

bench: $(VENV)/.installed
	$(VENV)/bin/python bench/bench_grid.py

$(VENV)/.deps: requirements-build.txt requirements-test.txt
	tools/make-venv $(VENV) "$(PYTHON)" "numpy>=2" build
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(MODULE_SOURCES)
	$(VENV)/bin/pip install -q --no-build-isolation --no-deps .
	touch $@

clean:
	rm -rf build dist .venvs $(VENV)
