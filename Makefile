# make demo        build the module and find the hydrogen bonds of a sample water trajectory
# make test        every suite: native under sanitizers, Python and typing on the newest CPython,
#                  and the Python suites on CPython 3.12 with NumPy 2.x and 1.26 from an sdist
# make test-quick  the Python and typing suites on the newest CPython only
# make fuzz        the property-based suite with many more examples
# make bench       the benchmarks (grid against its floor, threads against serial, find_hbonds,
#                  trajectory file to answers against reading the file and the other tools)
SHELL := /bin/bash
PYTHON ?= $(shell tools/find-python)
VENV := .venv
MODULE_SOURCES := $(shell find src python -type f -not -name "*.pyc") CMakeLists.txt pyproject.toml

.PHONY: demo test test-quick test-native test-python test-types test-compat fuzz bench clean

demo: $(VENV)/.installed
	$(VENV)/bin/python examples/demo.py

test: test-native test-python test-types test-compat

test-quick: test-python test-types

test-native: $(VENV)/.deps
	tools/run-native-tests $(VENV)

test-python: $(VENV)/.installed
	$(VENV)/bin/python -m pytest

test-types: $(VENV)/.installed
	$(VENV)/bin/python -m mypy --strict --warn-unused-ignores tests/typing python/brenvox_hbond

test-compat: $(VENV)/.deps
	tools/run-compat-tests $(VENV)

fuzz: $(VENV)/.installed
	HYPOTHESIS_PROFILE=fuzz $(VENV)/bin/python -m pytest tests/python/test_properties.py

bench: $(VENV)/.installed
	$(VENV)/bin/python bench/bench_grid.py
	$(VENV)/bin/python bench/bench_threads.py
	$(VENV)/bin/python bench/bench_find_hbonds.py
	$(VENV)/bin/python bench/bench_pipeline.py

$(VENV)/.deps: requirements-build.txt requirements-test.txt requirements-analysis.txt
	tools/make-venv $(VENV) "$(PYTHON)" "numpy>=2" build
	$(VENV)/bin/python -m pip install -q --disable-pip-version-check -r requirements-analysis.txt
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(MODULE_SOURCES)
	$(VENV)/bin/pip install -q --no-build-isolation --no-deps .
	touch $@

clean:
	rm -rf build dist .venvs $(VENV)
