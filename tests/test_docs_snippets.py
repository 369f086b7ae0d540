"""The guide's Python snippets run as written: each page's ```python blocks, in order, in one
namespace (a later block uses what an earlier one defined), in an empty working folder."""

import re
from pathlib import Path

import pytest

GUIDE = Path(__file__).resolve().parents[1] / "docs" / "guide"
BLOCK = re.compile(r"^```python\n(.*?)^```", re.DOTALL | re.MULTILINE)
PAGES = sorted(GUIDE.glob("*.md"))


def test_the_guide_has_snippets():
    assert sum(len(BLOCK.findall(page.read_text(encoding="utf-8"))) for page in PAGES) >= 10


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.stem)
def test_page_snippets_run(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": f"guide_{page.stem}"}
    for number, block in enumerate(BLOCK.findall(page.read_text(encoding="utf-8")), start=1):
        exec(compile(block, f"{page.name}, block {number}", "exec"), namespace)
