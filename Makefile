# Two entry points: `make demo` runs the kit's main example, `make test` the whole test suite.
# Both create or refresh the local virtual environment and install through pyproject.toml;
# the persistent build folder (build/) keeps native rebuilds incremental.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: demo test bench install

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)

install: $(VENV)/bin/python
	$(PY) -m pip install -q -U pip
	$(PY) -m pip install -q $$($(PY) -c "import tomllib; print(' '.join(tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires']))") ninja
	$(PY) -m pip install -q --no-build-isolation -e '.[test,scipy,plot]'

demo: install
	$(PY) examples/main.py

test: install
	$(PY) -m pytest

bench: install
	$(PY) -m pip install -q --no-build-isolation -e '.[bench]' || echo "some benchmark peers did not install; their rows are skipped"
	$(PY) bench/run_all.py

# Circuit figures rendered by a real browser: installs Debian's chromium (and a font with the
# title's CJK characters) when missing, then runs the rendering tests, which `make test` skips
# on machines without the browser.
.PHONY: test-render
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
test-render: install
	dpkg -s chromium fonts-wqy-microhei >/dev/null 2>&1 || \
	  ($(SUDO) apt-get update -q && $(SUDO) apt-get install -y -q --no-install-recommends chromium fonts-wqy-microhei)
	$(PY) -m pytest -rs tests/test_circuitview_render.py
