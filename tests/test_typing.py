"""The shipped typing: a .pyi for every native module, current with the modules, py.typed, and
mypy run as a user runs it in the environment the package is installed in, over the stubs, the
examples and a typed usage file (and deliberate errors it must catch)."""

import importlib.machinery
import os
import subprocess
import sys
from pathlib import Path

import pytest

import norvane

ROOT = Path(__file__).resolve().parents[1]
SOURCES = ROOT / "src"


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
    """The module's stub where the package holds it (an editable install keeps the stubs with
    the Python files and the compiled modules apart)."""
    relative = Path(*module.split(".")[1:]).with_suffix(".pyi")
    found = [Path(p) / relative for p in norvane.__path__ if (Path(p) / relative).is_file()]
    assert found, f"no stub for {module}"
    return found[0]


def test_every_native_module_ships_a_stub_and_the_package_is_typed():
    # Every .cpp under src/norvane is one module (there are none beside an installed wheel).
    built = [".".join(p.relative_to(SOURCES).with_suffix("").parts)
             for p in SOURCES.glob("norvane/**/*.cpp")]
    assert NATIVE and sorted(built) in ([], NATIVE)
    for module in NATIVE:
        assert stub_of(module).is_file()
    assert any((Path(p) / "py.typed").is_file() for p in norvane.__path__)


@pytest.mark.skipif(not (ROOT / "scripts" / "generate_stubs.py").is_file(), reason="needs the source tree")
def test_stubs_are_what_the_generator_makes_of_the_built_modules(tmp_path):
    pytest.importorskip("nanobind.stubgen")
    subprocess.run([sys.executable, str(ROOT / "scripts" / "generate_stubs.py"), "--output-dir", str(tmp_path)],
                   check=True, capture_output=True, timeout=300)
    stale = [module for module in NATIVE
             if (tmp_path.joinpath(*module.split(".")).with_suffix(".pyi").read_text()
                 != stub_of(module).read_text())]
    assert not stale, f"stubs out of date (run `make stubs`): {stale}"


def mypy(cwd, *args):
    """mypy as a user runs it: from their own folder, finding the package where it is installed."""
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull, *map(str, args)],
        capture_output=True, text=True, env=env, cwd=cwd, timeout=300)


def test_stubs_examples_and_typed_usage_pass_the_type_checker(tmp_path):
    pytest.importorskip("mypy")
    # The examples import one another; only the files named here are checked.
    result = mypy(tmp_path, "--check-untyped-defs", "--follow-imports=silent",
                  ROOT / "examples" / "main.py", ROOT / "examples" / "maxcut_qaoa.py",
                  ROOT / "tests" / "typing" / "usage.py", *map(stub_of, NATIVE))
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_type_checker_sees_the_native_types(tmp_path):
    pytest.importorskip("mypy")
    right = tmp_path / "right.py"
    right.write_text(
        "from norvane.quantum.ir.digital.circuit import DigitalCircuit\n"
        "from norvane.quantum.ir.digital.gate import CX, H\n"
        "from norvane.quantum.ir.digital.measurement import Measurement\n"
        "from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator\n"
        "circuit = DigitalCircuit(2, [H([0]), CX([0, 1]), Measurement([0, 1])])\n"
        "counts: dict[str, int] = DigitalDenseSimulator(circuit, seed=1).run(100).counts\n")
    result = mypy(tmp_path, right)
    assert result.returncode == 0, result.stdout + result.stderr
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator\n"
        "from norvane.quantum.ir.digital.circuit import DigitalCircuit\n"
        "shots: str = DigitalDenseSimulator(DigitalCircuit(1)).run(1).shots\n"
        "DigitalDenseSimulator(DigitalCircuit(1)).run(2.5)\n"
        "DigitalDenseSimulator('not a circuit')\n"
        "from norvane.quantum.dispatch.mock import MockBackend\n"
        "results: str = MockBackend().task_results('id')\n")
    result = mypy(tmp_path, wrong)
    assert result.returncode == 1
    assert 'Incompatible types in assignment (expression has type "int"' in result.stdout
    assert 'Argument 1 to "run" of "DigitalDenseSimulator" has incompatible type "float"; expected "int"' \
        in result.stdout
    assert 'incompatible type "str"; expected "DigitalCircuit"' in result.stdout
    assert 'Incompatible types in assignment (expression has type "NrvJobResults"' in result.stdout
