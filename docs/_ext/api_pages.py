"""Adjustments of sphinx-autoapi's pages to the kit's sources.

- Summary tables show each object's first sentence: autoapi shows a docstring's first line,
  and the kit's docstrings wrap their first sentence over several lines, so the table would
  stop mid-sentence (and mid-markup).
- A package that re-exports a name equal to one of its submodules (`diagram.layout`, the
  function, beside `diagram.layout`, the module) keeps the submodule under that name: the
  object is documented on the submodule's page, not a second time on the package's.
"""

import pathlib
import re

from autoapi.directives import AutoapiSummary

# A sentence ends at a full stop followed by a capital letter, or at the paragraph's end
# ("e.g. `x`" and "1.5 us" go on).
_SENTENCE = re.compile(r"^.*?\.(?=\s+[A-Z])")


def first_sentence(docstring: str) -> str:
    """The first sentence of the first paragraph of `docstring`, on one line; the whole
    paragraph where cutting it would split a backtick span."""
    paragraph = " ".join(docstring.strip().split("\n\n")[0].split())
    match = _SENTENCE.match(paragraph)
    if match and match.group(0).count("`") % 2 == 0:
        return match.group(0)
    return paragraph


class SentenceSummary(AutoapiSummary):
    def get_items(self, names):
        objects = self.env.autoapi_all_objects
        return [(name, signature, first_sentence(objects[full].docstring), full)
                for name, signature, _, full in super().get_items(names)]


def module_names(folders) -> set[str]:
    """Dotted names of the modules and packages in the package `folders`."""
    names = set()
    for folder in map(pathlib.Path, folders):
        for path in folder.rglob("*.py*"):
            if path.suffix in (".py", ".pyi"):
                parts = (folder.name, *path.relative_to(folder).with_suffix("").parts)
                names.add(".".join(parts[:-1] if parts[-1] == "__init__" else parts))
    return names


def _keep_submodules(app, what, name, obj, skip, options):
    if what not in ("module", "package") and name in app.env.norvane_module_names:
        return True
    return None


def _collect_modules(app):
    app.env.norvane_module_names = module_names(app.config.autoapi_dirs)


def setup(app):
    app.setup_extension("autoapi.extension")
    app.add_directive("autoapisummary", SentenceSummary, override=True)
    # Before autoapi reads the sources (its own builder-inited handler, priority 500).
    app.connect("builder-inited", _collect_modules, priority=400)
    app.connect("autoapi-skip-member", _keep_submodules)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
