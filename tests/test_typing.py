"""The shipped typing: a .pyi beside every native module, py.typed, and mypy over the stubs,
the examples and a typed usage file (and a deliberate error it must catch)."""

import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import norvane

ROOT = Path(__file__).resolve().parents[1]


def compiled_modules():
    """The native modules of the installed package, by dotted name."""
    found = set()
    for location in map(Path, norvane.__path__):
        for path in location.rglob("*.*"):
            # The suffixes run from the most specific ('.cpython-311-...so') to plain '.so'.
            suffix = next((s for s in importlib.machinery.EXTENSION_SUFFIXES if path.name.endswith(s)), None)
            if suffix:
                parts = path.relative_to(location).with_name(path.name[: -len(suffix)]).parts
                found.add(".".join(("norvane",) + parts))
    return sorted(found)


NATIVE = compiled_modules()


def stub_of(module):
    origin = Path(importlib.util.find_spec(module).origin)
    return origin.with_name(module.rsplit(".", 1)[1] + ".pyi")


def test_every_native_module_ships_a_stub_and_the_package_is_typed():
    # Every .cpp under src/norvane is one module (there are none beside an installed wheel).
    sources = ROOT / "src"
    built = [".".join(p.relative_to(sources).with_suffix("").parts)
             for p in sources.glob("norvane/**/*.cpp")]
    assert NATIVE and sorted(built) in ([], NATIVE)
    for module in NATIVE:
        assert stub_of(module).is_file(), module
    assert any((Path(p) / "py.typed").is_file() for p in norvane.__path__)


@pytest.fixture(scope="module")
def typed_tree(tmp_path_factory):
    """The package as a type checker sees an installed copy: its Python files, py.typed and
    the stubs beside the compiled modules (an editable install keeps them apart)."""
    pytest.importorskip("mypy")
    tree = tmp_path_factory.mktemp("typed") / "norvane"
    for location in norvane.__path__:
        for path in Path(location).rglob("*"):
            if path.suffix in (".py", ".pyi", ".typed") and "__pycache__" not in path.parts:
                target = tree / path.relative_to(location)
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(path, target)
    for module in NATIVE:
        shutil.copyfile(stub_of(module), tree.parent / (module.replace(".", "/") + ".pyi"))
    return tree.parent


def mypy(tree, *files):
    env = dict(os.environ, MYPYPATH=os.pathsep.join([str(tree), str(ROOT / "examples")]))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--check-untyped-defs", "--follow-imports=silent",
         "--no-incremental", "--cache-dir", os.devnull, *map(str, files)],
        capture_output=True, text=True, env=env, cwd=tree, timeout=300)


def test_stubs_examples_and_typed_usage_pass_the_type_checker(typed_tree):
    stubs = [module.replace(".", "/") + ".pyi" for module in NATIVE]   # relative to the tree
    result = mypy(typed_tree, ROOT / "examples" / "main.py", ROOT / "examples" / "maxcut_qaoa.py",
                  ROOT / "tests" / "typing" / "usage.py", *stubs)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_type_checker_sees_the_native_types(typed_tree, tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator\n"
        "from norvane.quantum.ir.digital.circuit import DigitalCircuit\n"
        "shots: str = DigitalDenseSimulator(DigitalCircuit(1)).run(1).shots\n"
        "DigitalDenseSimulator('not a circuit')\n"
        "from norvane.quantum.dispatch.mock import MockBackend\n"
        "results: str = MockBackend().task_results('id')\n")
    result = mypy(typed_tree, wrong)
    assert result.returncode == 1
    assert 'Incompatible types in assignment (expression has type "int"' in result.stdout
    assert 'incompatible type "str"; expected "DigitalCircuit"' in result.stdout
    assert 'Incompatible types in assignment (expression has type "NrvJobResults"' in result.stdout
