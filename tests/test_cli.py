"""The `norvane` command line end to end in a subprocess: each subcommand, exit statuses and
clean messages for user errors."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

BELL = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[2];\nh q[0];\ncx q[0], q[1];\nmeasure q -> c;\n'


def run_cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "norvane.quantum", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=120)


@pytest.fixture
def bell(tmp_path):
    path = tmp_path / "bell.qasm"
    path.write_text(BELL)
    return path


def test_run_prints_counts_and_json(bell):
    plain = run_cli("run", bell, "--shots", 400, "--seed", 5)
    assert plain.returncode == 0, plain.stderr
    rows = [line.split() for line in plain.stdout.splitlines()]
    assert {r[0] for r in rows} == {"00", "11"} and sum(int(r[1]) for r in rows) == 400
    as_json = json.loads(run_cli("run", bell, "--shots", 400, "--seed", 5, "--json").stdout)
    assert as_json["shots"] == 400
    assert as_json["counts"] == {r[0]: int(r[1]) for r in rows}


def test_statevector_and_parameters(tmp_path):
    path = tmp_path / "p.qasm"
    path.write_text('OPENQASM 3.0;\ninclude "stdgates.inc";\ninput float t;\nqubit[2] q;\nry(t) q[1];\n')
    out = run_cli("statevector", path, "--param", "t=3.141592653589793")
    assert out.returncode == 0, out.stderr
    assert out.stdout.split()[0] == "|01>"
    amplitudes = json.loads(run_cli("statevector", path, "--param", "t=0", "--json").stdout)
    assert amplitudes == [[1.0, 0.0], [0.0, 0.0], [0.0, 0.0], [0.0, 0.0]]
    missing = run_cli("statevector", path)
    assert missing.returncode == 2 and "'t'" in missing.stderr and "Traceback" not in missing.stderr


def test_validate_reports_problems_with_status_1(tmp_path, bell):
    ok = run_cli("validate", bell)
    assert (ok.returncode, ok.stdout.strip()) == (0, "valid")
    bad = tmp_path / "bad.qasm"
    bad.write_text(BELL + "h q[0];\nmeasure q[0] -> c[0];\n")
    report = run_cli("validate", bad)
    assert report.returncode == 1
    assert report.stdout.startswith("Circuit validation failed (")
    assert run_cli("validate", bad, "--allow-mid-circuit").returncode == 0


def test_convert_between_all_formats(tmp_path, bell):
    for name in ["c.json", "c.qasm3", "c.qasm"]:
        source = tmp_path / ("c.json" if name != "c.json" else "bell.qasm")
        result = run_cli("convert", bell if name == "c.json" else source, "-o", tmp_path / name)
        assert result.returncode == 0, result.stderr
    assert json.loads((tmp_path / "c.json").read_text())
    assert (tmp_path / "c.qasm3").read_text().startswith("OPENQASM 3.0;")
    counts = [json.loads(run_cli("run", tmp_path / f, "--seed", 9, "--json").stdout)["counts"]
              for f in ["bell.qasm", "c.json", "c.qasm3", "c.qasm"]]
    assert all(set(c) == {"00", "11"} for c in counts)
    to_stdout = run_cli("convert", bell, "-o", "-", "--to", "qasm3")
    assert to_stdout.stdout.startswith("OPENQASM 3.0;")


@pytest.mark.parametrize("args, message", [
    (["run", "missing.qasm"], "cannot read missing.qasm"),
    (["run", "broken.qasm"], "broken.qasm: line 3, column 1: expected '['"),
    (["run", "other.json"], "not a DigitalCircuit"),
    (["run", "bell.qasm", "--shots", "-1"], "--shots must be >= 0"),
    (["convert", "bell.qasm", "-o", "out.txt"], "cannot tell the format"),
    (["convert", "sym.qasm", "-o", "out.qasm"], "cannot write qasm2"),
    (["run", "bell.qasm", "--param", "x"], "NAME=NUMBER"),
])
def test_user_errors_exit_2_without_traceback(tmp_path, bell, args, message):
    (tmp_path / "broken.qasm").write_text("OPENQASM 2.0;\nqreg q\n")
    (tmp_path / "other.json").write_text('{"a": 1}')
    (tmp_path / "sym.qasm").write_text("OPENQASM 3.0;\ninput float t;\nqubit q;\nU(t, 0, 0) q;\n")
    result = run_cli(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert message in result.stderr and "Traceback" not in result.stderr
    assert result.stderr.startswith("norvane: error: ")


def test_draw_needs_the_figure_module(tmp_path, bell):
    result = run_cli("draw", bell, "-o", tmp_path / "c.html")
    try:
        import norvane.quantum.visualization.circuitview  # noqa: F401
        import bokeh  # noqa: F401
    except ImportError:
        assert result.returncode == 2 and "Traceback" not in result.stderr
        assert "circuit figure" in result.stderr or "Bokeh" in result.stderr
    else:
        assert result.returncode == 0, result.stderr
        assert "<html" in (tmp_path / "c.html").read_text().lower()


def test_console_script_is_installed():
    script = Path(sys.executable).parent / "norvane"
    if not script.exists():
        pytest.skip("console scripts are not installed beside this interpreter")
    assert subprocess.run([script, "--help"], capture_output=True, text=True).stdout.startswith("usage: norvane")
