"""Reads the kit's docstrings as the plain text they are written in.

Docstrings quote code in backticks and write formulas in plain characters (``|g><r|``,
``2**n``, ``f(*args)``, ``n_k``); in reStructuredText those characters would open
substitutions, emphasis and references. Outside backtick spans they are escaped here. Then
the Google-style sections of modules, classes and functions (``Args:``, ``Returns:``, and
``Fields:`` for a record's fields) become field lists. The docstring of an attribute or a
property is left as text: its first line is a sentence, not ``type: description``.
(conf.py renders a single-backtick span as code.)
"""

import re

from sphinx.ext.napoleon import Config
from sphinx.ext.napoleon.docstring import GoogleDocstring

# Inline literals and single-backtick spans are kept as written.
_CODE = re.compile(r"(``.+?``|`[^`]+`)")
# Characters reStructuredText would read as markup: \ | * and a trailing underscore.
_MARKUP = re.compile(r"[\\|*]|(?<=\w)_(?!\w)")
_SECTIONS = Config(napoleon_custom_sections=[("Fields", "params_style")])
_SECTIONED = {"module", "package", "class", "exception", "function", "method"}


def escape_markup(text: str) -> str:
    """`text` with the markup characters outside backtick spans escaped, and a span that
    touches a word (`Item`s) set apart by an escaped space, which renders as nothing."""
    parts = _CODE.split(text)
    parts[::2] = [_MARKUP.sub(lambda m: "\\" + m.group(0), part) for part in parts[::2]]
    for i in range(1, len(parts), 2):
        if parts[i - 1][-1:].isalnum():
            parts[i] = "\\ " + parts[i]
        if parts[i + 1][:1].isalnum():
            parts[i] += "\\ "
    return "".join(parts)


def _convert(app, what, name, obj, options, lines):
    lines[:] = [escape_markup(line) for line in lines]
    if what in _SECTIONED:
        lines[:] = GoogleDocstring(lines, _SECTIONS, app, what, name, obj, options).lines()


def setup(app):
    app.connect("autodoc-process-docstring", _convert)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
