# Two entry points: `make demo` runs the kit's main example, `make test` the whole test suite.
# Both create or refresh the local virtual environment and install through pyproject.toml;
# the persistent build folder (build/) keeps native rebuilds incremental.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: demo test bench install wheel-check

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)

install: $(VENV)/bin/python
	$(PY) -m pip install -q -U pip
	$(PY) -m pip install -q $$($(PY) -c "import tomllib; print(' '.join(tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires']))") ninja
	$(PY) -m pip install -q --no-build-isolation -e '.[test,scipy]'

demo: install
	$(PY) examples/main.py
	@echo "== norvane run examples/teleport.qasm (OpenQASM 2.0 through the command line): the last"
	@echo "   bit is the teleported qubit, 1 with probability sin^2(0.55) = 0.273 whatever m0 and m1 read"
	$(VENV)/bin/norvane run examples/teleport.qasm --shots 2000 --seed 7

test: install
	$(PY) -m pytest

bench: install
	$(PY) -m pip install -q --no-build-isolation -e '.[bench]' || echo "some benchmark peers did not install; their rows are skipped"
	$(PY) bench/run_all.py

# Builds the sdist and a wheel from it, installs the wheel into a fresh environment and runs
# the tests there (slow: a full isolated build).
wheel-check:
	bash scripts/check_wheel.sh
