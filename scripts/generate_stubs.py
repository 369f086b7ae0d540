"""Writes the typed stub (.pyi) of every native module beside its source under src/norvane.

Each stub is what nanobind's stub generator makes of the built module, with the argument and
result types of src/native/stub_patterns.txt. The stubs are kept in the source tree, so a type
checker finds them in an editable install as in a wheel. Run `make stubs` after changing a
module's interface; tests/test_typing.py fails while a stub is out of date.

    python scripts/generate_stubs.py [--output-dir DIR]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SOURCES = ROOT / "src"
PATTERNS = ROOT / "src" / "native" / "stub_patterns.txt"


def native_modules() -> list[str]:
    """Every .cpp under src/norvane is one extension module: a/b.cpp is module a.b."""
    return sorted(".".join(path.relative_to(SOURCES).with_suffix("").parts)
                  for path in SOURCES.glob("norvane/**/*.cpp"))


def stub_path(module: str, root: Path = SOURCES) -> Path:
    return root.joinpath(*module.split(".")).with_suffix(".pyi")


def generate(output_root: Path = SOURCES) -> list[Path]:
    """Generates every stub under output_root (laid out as src/); returns their paths."""
    written = []
    for module in native_modules():
        target = stub_path(module, output_root)
        target.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, "-m", "nanobind.stubgen", "-q", "-m", module,
                        "-p", str(PATTERNS), "-o", str(target)], check=True)
        written.append(target)
    return written


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--output-dir", type=Path, default=SOURCES,
                        help="root to write under, laid out as src/ (default: src/)")
    for path in generate(parser.parse_args().output_dir):
        print(path)


if __name__ == "__main__":
    main()
