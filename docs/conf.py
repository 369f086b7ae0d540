"""Sphinx configuration of the norvane.quantum documentation (`make docs`)."""

import pathlib
import sys

DOCS = pathlib.Path(__file__).parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

project = "norvane.quantum"
author = "norvane"
copyright = "norvane"

extensions = [
    "autoapi.extension",
    "myst_parser",
    "docstring_markup",
    "api_pages",
    "example_pages",
]
# Docstrings quote names in single backticks: shown as code.
default_role = "literal"
# Headings get anchors, so that pages can link to a section.
myst_heading_anchors = 3
exclude_patterns = ["_build", "_templates"]
html_theme = "furo"
html_title = "norvane.quantum"
html_static_path = ["_static"]
html_css_files = ["site.css"]

# The API reference: every public module (names without a leading underscore) of the kit and
# of the tavla client, read statically from the sources; a native module is read from its
# typed stub (.pyi), which holds its docstrings.
autoapi_dirs = [str(ROOT / "src" / "norvane"), str(ROOT / "clients" / "tavla" / "src" / "tavla")]
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_root = "api"
autoapi_options = ["members", "undoc-members", "show-inheritance", "show-module-summary", "imported-members"]
autoapi_member_order = "bysource"
autoapi_template_dir = str(DOCS / "_templates" / "autoapi")

# Every cross-reference must resolve, except those into the standard library and the
# third-party packages the kit's signatures name (no inventories are fetched: the build runs
# offline) and those to private names, which have no pages of their own.
nitpicky = True
EXTERNAL_MODULES = sorted(sys.stdlib_module_names) + ["numpy", "pydantic", "bokeh", "httpx", "scipy", "distributed", "tqdm"]
nitpick_ignore_regex = [
    (r"py:.*", rf"({'|'.join(EXTERNAL_MODULES)})\..+"),
    (r"py:.*", r"(.*\.)?_[A-Za-z0-9]\w*(\..*)?"),
    # A type alias local to qasm.synthesis (outside its __all__) in its signatures.
    (r"py:class", r"Operation"),
]

# Example pages: each examples/*.py runs during the build; a failing example fails it.
example_source_dir = str(ROOT / "examples")
# The 51-atom chain takes the longest (about 50 s): it starts first.
example_first = ["z2_chain_51"]
example_commands = {
    # circuit_figures.py is the figure writer that main.py calls: its page makes that call.
    "circuit_figures": ["-c", 'import circuit_figures, main; '
                              'circuit_figures.main({"qft": main.qft(4, prepare=0b0101), "ghz": main.ghz(5)})'],
}
