# make demo        build the module and find the hydrogen bonds of a sample water trajectory
# make test        every suite: lint, native under sanitizers, Python and typing on the newest
#                  CPython, the Python suites against a sanitizer build of the modules, and on
#                  CPython 3.12 with NumPy 2.x and 1.26 from an sdist
# make check       the quick loop, under a minute once built: lint, unsanitized native tests
#                  (incremental) and the Python suites without the tests marked stress (leak and
#                  memory-pressure sweeps) or slow (racing threads, dying workers, timeouts)
# make test-quick  the Python and typing suites on the newest CPython only, stress and slow included
# make lint        ruff over the Python code
# make format      clang-format over the C++ code
# make fuzz        the property-based suite with many more examples, and 200 000 cases of the
#                  .xtc/.trr fuzz target under AddressSanitizer/UndefinedBehaviorSanitizer
# make bench       the benchmarks (grid against its floor, threads against serial, find_hbonds,
#                  trajectory file to answers against reading the file and the other tools,
#                  the native .xtc/.trr reader against MDTraj's)
SHELL := /bin/bash
PYTHON ?= $(shell tools/find-python)
VENV := .venv
MODULE_SOURCES := $(shell find src python -type f -not -name "*.pyc") CMakeLists.txt pyproject.toml

.PHONY: demo test check test-quick test-native test-native-plain test-python test-python-unstressed \
	test-types test-compat test-sanitized lint format fuzz bench clean

demo: $(VENV)/.installed
	$(VENV)/bin/python examples/demo.py

test: lint test-native test-python test-types test-sanitized test-compat

check: lint test-native-plain test-python-unstressed

test-quick: test-python test-types

test-native: $(VENV)/.deps
	tools/run-native-tests $(VENV) sanitized

test-native-plain: $(VENV)/.deps
	tools/run-native-tests $(VENV) plain

test-python: $(VENV)/.installed
	$(VENV)/bin/python -m pytest -n 2

test-python-unstressed: $(VENV)/.installed
	$(VENV)/bin/python -m pytest -n 2 -m "not stress and not slow"

test-types: $(VENV)/.installed
	$(VENV)/bin/python -m mypy --strict --warn-unused-ignores tests/typing python/brenvox_hbond

test-compat: $(VENV)/.deps
	tools/run-compat-tests $(VENV)

test-sanitized: $(VENV)/.deps
	tools/run-sanitized-python-tests "$(PYTHON)"

lint: $(VENV)/.deps
	$(VENV)/bin/ruff check .

format:
	clang-format -i --style=file $$(git ls-files 'src/*.[ch]pp' 'tests/native/*.[ch]pp' 'bench/*.cpp')

fuzz: $(VENV)/.installed
	HYPOTHESIS_PROFILE=fuzz $(VENV)/bin/python -m pytest tests/engine/test_properties.py
	tools/run-native-tests $(VENV) fuzz 200000

bench: $(VENV)/.installed
	$(VENV)/bin/python bench/bench_grid.py
	$(VENV)/bin/python bench/bench_threads.py
	$(VENV)/bin/python bench/bench_find_hbonds.py
	$(VENV)/bin/python bench/bench_pipeline.py
	$(VENV)/bin/python bench/bench_xdr.py

$(VENV)/.deps: requirements-build.txt requirements-test.txt requirements-analysis.txt
	tools/make-venv $(VENV) "$(PYTHON)" "numpy>=2" build
	$(VENV)/bin/python -m pip install -q --disable-pip-version-check -r requirements-analysis.txt
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(MODULE_SOURCES)
	$(VENV)/bin/pip install -q --no-build-isolation --no-deps -Ccmake.define.BRENVOX_WERROR=ON .
	touch $@

clean:
	rm -rf build dist .venvs $(VENV) compile_commands.json
