# Two entry points: `make demo` runs the kit's main example, `make test` the whole test suite;
# `make docs` builds the documentation into docs/_build/html (`make test-docs` checks it).
# Both create or refresh the local virtual environment and install through pyproject.toml;
# the persistent build folder (build/) keeps native rebuilds incremental. `make sanitize` runs
# the test suite on an AddressSanitizer/UBSan build kept apart (.venv-asan, build/asan).

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python

SAN_VENV := .venv-asan
SAN_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all

.PHONY: demo test bench install sanitize stubs wheel-check

%/bin/python:
	$(PYTHON) -m venv $*

# Build requirements first: the package is built without isolation, against this environment.
define install_into
	$(1) -m pip install -q -U pip
	$(1) -m pip install -q $$($(1) -c "import tomllib; print(' '.join(tomllib.load(open('pyproject.toml', 'rb'))['build-system']['requires']))") ninja
	$(1) -m pip install -q --no-build-isolation -e '.[test,scipy,plot]' $(2)
	$(1) -m pip install -q -e clients/tavla
endef

install: $(VENV)/bin/python
	$(call install_into,$(PY),)

sanitize: $(SAN_VENV)/bin/python
	$(call install_into,$(SAN_VENV)/bin/python,-Cbuild-dir=build/asan -Ccmake.build-type=RelWithDebInfo \
		-Ccmake.define.CMAKE_CXX_FLAGS="$(SAN_FLAGS)" -Ccmake.define.CMAKE_SHARED_LINKER_FLAGS="$(SAN_FLAGS)" \
		-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS="$(SAN_FLAGS)")
# The typing tests (mypy and the stub generator, which check the stubs) are left to `make test`.
	.ci/sanitized $(SAN_VENV)/bin/python -m pytest -p no:cacheprovider --ignore=tests/test_typing.py

demo: install
	$(PY) examples/main.py
	@echo "== norvane run examples/teleport.qasm (OpenQASM 2.0 through the command line): the last"
	@echo "   bit is the teleported qubit, 1 with probability sin^2(0.55) = 0.273 whatever m0 and m1 read"
	$(VENV)/bin/norvane run examples/teleport.qasm --shots 2000 --seed 7 --no-progress
	@echo "== norvane draw examples/teleport.qasm: every instruction in its own span of wires, the"
	@echo "   corrections with the bits they read (filled: must read 1); -o x.svg writes an SVG"
	$(VENV)/bin/norvane draw examples/teleport.qasm --width 100 --no-progress

test: install
	$(PY) -m pytest

bench: install
	$(PY) -m pip install -q --no-build-isolation -e '.[bench]' || echo "some benchmark peers did not install; their rows are skipped"
	$(PY) bench/run_all.py

# Debian's chromium, its WebDriver and a font with the circuit titles' CJK characters, installed
# when missing (as root or through sudo), for the tests that render pages in a real browser.
.PHONY: browser test-render
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
BROWSER_PACKAGES := chromium chromium-driver fonts-wqy-microhei
browser:
	dpkg -s $(BROWSER_PACKAGES) >/dev/null 2>&1 || \
	  ($(SUDO) apt-get update -q && $(SUDO) apt-get install -y -q --no-install-recommends $(BROWSER_PACKAGES))

# Circuit figures and drawings rendered by a real browser; `make test` skips these tests
# without one.
RENDER_TESTS := tests/test_circuitview_render.py tests/test_diagram_render.py tests/test_diagram_bokeh.py
test-render: install browser
	$(PY) -m pytest -rs $(RENDER_TESTS)

# The documentation: the `docs` extra's packages, then the guide, the API reference and one page
# per example (each example runs; a failing one fails the build) into docs/_build/html, with
# warnings as errors and every cross-reference checked. The HTML is written afresh each time
# (pages of removed modules must not linger); the parsed pages in docs/_build/doctrees are kept.
.PHONY: docs test-docs
docs: install
	$(PY) -m pip install -q $$($(PY) -c "import tomllib; print(' '.join(tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['docs']))")
	rm -rf docs/_build/html
	$(PY) -m sphinx -W --keep-going -n -b html -d docs/_build/doctrees docs docs/_build/html

# The built pages opened in headless Chromium (images, links, API and example pages), and the
# rendering tests of the circuit figures and drawings; a missing browser or build fails the
# docs tests instead of skipping them.
test-docs: docs browser
	NORVANE_DOCS_REQUIRED=1 $(PY) -m pytest -rs tests/test_docs_render.py $(RENDER_TESTS)

# The typed stubs of the native modules, written beside their sources: run after changing a
# module's interface (the typing tests say when a stub is out of date).
stubs: install
	$(PY) scripts/generate_stubs.py

# Builds the sdist and a wheel from it, installs the wheel into a fresh environment and runs
# the tests there (slow: a full isolated build).
wheel-check:
	bash scripts/check_wheel.sh
