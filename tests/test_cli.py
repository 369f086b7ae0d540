"""The `norvane` command line end to end in a subprocess: each subcommand, exit statuses,
clean messages for user errors and a quiet end on a closed pipe."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

BELL = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[2];\nh q[0];\ncx q[0], q[1];\nmeasure q -> c;\n'


CLI = [sys.executable, "-m", "norvane.quantum"]


def run_cli(*args, cwd=None):
    return subprocess.run([*CLI, *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=120)


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


def test_run_plots_the_counts_beside_the_exact_distribution(tmp_path, bell):
    """--plot writes the histogram of the printed counts; the exact probabilities stand beside
    them only when the bitstrings are the final state's basis states. Progress goes to standard
    error when asked for and is off when standard error is not a terminal."""
    from xml.etree import ElementTree

    def bars(svg_path, kind):
        tree = ElementTree.parse(svg_path)
        return {e.get("data-outcome"): e for e in tree.iter("{http://www.w3.org/2000/svg}" + kind)
                if e.get("class") == ("bar" if kind == "rect" else "exact")}

    out = run_cli("run", bell, "--shots", 300, "--seed", 3, "--json", "--plot", tmp_path / "bell.svg")
    assert out.returncode == 0 and out.stderr == ""
    assert set(bars(tmp_path / "bell.svg", "rect")) == set(json.loads(out.stdout)["counts"]) == {"00", "11"}
    assert set(bars(tmp_path / "bell.svg", "circle")) == {"00", "11"}
    partial = tmp_path / "partial.qasm"
    partial.write_text(BELL.replace("measure q -> c;", "measure q[1] -> c[0];"))
    assert run_cli("run", partial, "--plot", tmp_path / "partial.svg", "--progress").returncode == 0
    assert bars(tmp_path / "partial.svg", "rect") and not bars(tmp_path / "partial.svg", "circle")
    shown = run_cli("run", bell, "--plot", tmp_path / "bell.html", "--progress")
    assert "norvane run" in shown.stderr and "100%" in shown.stderr
    assert "Bokeh" in (tmp_path / "bell.html").read_text()


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


def test_convert_writes_to_standard_output_by_default(bell):
    """Without -o the result goes to standard output, as JSON unless --to says otherwise."""
    from norvane.quantum import serialize
    from norvane.quantum.ir.digital import qasm

    for extra in ([], ["-o", "-"]):
        as_json = run_cli("convert", bell, *extra)
        assert as_json.returncode == 0, as_json.stderr
        assert serialize.loads(as_json.stdout) == qasm.load(bell)
    as_qasm2 = run_cli("convert", bell, "--to", "qasm2")
    assert as_qasm2.stdout == qasm.dumps(qasm.load(bell), version=2)


def test_gates_lists_the_gate_table():
    from norvane.quantum.ir.digital.gate_table import GATES

    plain = run_cli("gates")
    assert plain.returncode == 0, plain.stderr
    header, *rows, note = plain.stdout.splitlines()
    assert header.split() == ["gate", "qubits", "params", "OpenQASM", "2", "OpenQASM", "3", "shift", "rule"]
    names = [s.name for s in GATES]
    assert [r.split()[0] for r in rows] == names and note.startswith("* ")
    assert rows[names.index("RXX")].split() == ["RXX", "2", "1", "rxx", "rxx*", "yes"]
    as_json = json.loads(run_cli("gates", "--json").stdout)
    assert [(r["gate"], r["qubits"], r["params"], r["qasm2"]["name"], r["qasm3"]["definition"],
             r["shift_rule"], r["tag"]) for r in as_json] == \
        [(s.name, s.n_qubits, s.n_params, s.qasm2.name, s.qasm3.definition, s.shift_rule, s.tag)
         for s in GATES]


CIRCUIT = "norvane.quantum.ir.digital.circuit.DigitalCircuit"


@pytest.mark.parametrize("args, message", [
    (["run", "missing.qasm"], "cannot read missing.qasm"),
    (["run", "."], "cannot read ."),
    (["run", "latin1.qasm"], "cannot read latin1.qasm: 'utf-8' codec"),
    (["run", "broken.qasm"], "broken.qasm: line 3, column 1: expected '['"),
    (["run", "other.json"], "not a DigitalCircuit"),
    (["run", "list.json"], "holds a list, not a DigitalCircuit"),
    (["run", "cut.json"], "cut.json: not valid JSON: Expecting"),
    (["run", "deep.json"], "deep.json: the JSON is nested too deeply"),
    (["statevector", "deep.json"], "nested too deeply"),
    (["validate", "deep.json"], "nested too deeply"),
    (["convert", "deep.json", "-o", "out.qasm"], "nested too deeply"),
    (["draw", "deeplist.json", "-o", "out.html"], "nested too deeply"),
    (["run", "shapeless.json"], "not valid circuit JSON: KeyError: 'n_qubits'"),
    (["run", "long_int.json"], "not valid circuit JSON: ValueError: Exceeds the limit"),
    (["run", "unknown_gate.json"], "not valid circuit JSON: unknown instruction 'nope.Gate'"),
    (["run", "range.json"], "gate target 7 is out of range"),
    (["run", "bell.qasm", "--shots", "-1"], "--shots must be >= 0"),
    (["run", "bell.qasm", "--seed", "-1"], "--seed must be >= 0"),
    (["run", "bell.qasm", "--plot", "counts.png"], "--plot writes .svg or .html"),
    (["convert", "bell.qasm", "-o", "out.txt"], "cannot tell the format"),
    (["convert", "bell.qasm", "-o", "no/such/dir/out.qasm"], "cannot write no/such/dir/out.qasm"),
    (["convert", "sym.qasm", "-o", "out.qasm"], "cannot write qasm2"),
    (["run", "bell.qasm", "--param", "x"], "NAME=NUMBER"),
    (["statevector", "sym.qasm", "--param", "t=nan"], "--param t: the value must be a finite number"),
    (["statevector", "sym.qasm", "--param", "t=1", "--param", "t=2"], "--param t is given more than once"),
    (["statevector", "sym.qasm", "--param", "t=1", "--threshold", "nan"], "--threshold must be"),
])
def test_user_errors_are_one_line_with_status_2(tmp_path, bell, args, message):
    (tmp_path / "latin1.qasm").write_bytes(BELL.encode() + b"// caf\xe9\n")
    (tmp_path / "broken.qasm").write_text("OPENQASM 2.0;\nqreg q\n")
    (tmp_path / "other.json").write_text('{"a": 1}')
    (tmp_path / "list.json").write_text("[1, 2]")
    (tmp_path / "cut.json").write_text('{"a": ')
    (tmp_path / "deep.json").write_text('{"a":' * 100_000 + "1" + "}" * 100_000)
    (tmp_path / "deeplist.json").write_text("[" * 100_000 + "]" * 100_000)
    (tmp_path / "shapeless.json").write_text(json.dumps({CIRCUIT: {"instructions": []}}))
    (tmp_path / "unknown_gate.json").write_text(json.dumps({CIRCUIT: {"n_qubits": 1, "instructions": [{"nope.Gate": {}}]}}))
    (tmp_path / "long_int.json").write_text(f'{{"{CIRCUIT}": {{"n_qubits": {"9" * 5000}}}}}')
    cx = {"norvane.quantum.ir.digital.gate.CX": {"targets": [0, 7]}}
    (tmp_path / "range.json").write_text(json.dumps({CIRCUIT: {"n_qubits": 2, "instructions": [cx]}}))
    (tmp_path / "sym.qasm").write_text("OPENQASM 3.0;\ninput float t;\nqubit q;\nU(t, 0, 0) q;\n")
    result = run_cli(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("norvane: error: ") and message in result.stderr
    assert result.stderr.count("\n") == 1 and result.stdout == ""


def test_internal_faults_are_told_apart_from_user_errors(bell):
    """A fault of the command itself is not dressed as a user error: status 70, with its
    traceback before the summary line; an interrupt ends with 130."""
    def run_broken(exception):
        code = ("import sys, norvane.quantum.cli as cli\n"
                f"def broken(*args): raise {exception}\n"
                "cli._bindings = broken\n"
                "sys.exit(cli.main(sys.argv[1:]))")
        return subprocess.run([sys.executable, "-c", code, "run", str(bell)], capture_output=True, text=True,
                              timeout=120)

    internal = run_broken("TypeError('a fault of the command')")
    assert internal.returncode == 70 and internal.stderr.startswith("Traceback")
    assert internal.stderr.splitlines()[-1].startswith("norvane: internal error: TypeError: a fault of the command")
    interrupted = run_broken("KeyboardInterrupt")
    assert (interrupted.returncode, interrupted.stderr) == (130, "")


@pytest.mark.parametrize("args", [
    ["run", "wide.qasm", "--shots", "100000"],
    ["statevector", "wide.qasm"],
    ["validate", "late.qasm"],
    ["convert", "late.qasm", "-o", "-", "--to", "json"],
])
def test_a_pipe_closed_early_ends_the_command_quietly(tmp_path, args):
    """As in `norvane ... | head -1`: each output is far larger than a pipe's buffer, so the
    command is still writing when the reader goes."""
    wide = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[16];\ncreg c[16];\nh q;\nmeasure q -> c;\n'
    (tmp_path / "wide.qasm").write_text(wide)
    (tmp_path / "late.qasm").write_text(wide + "h q[0];\n" * 5000)
    # Unbuffered output (python -u) writes a large text in one system call, and a partial
    # write to a closed pipe then goes unreported; a user's default is buffered.
    env = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}
    process = subprocess.Popen([*CLI, *args], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    assert process.stdout.readline()
    process.stdout.close()
    _, stderr = process.communicate(timeout=120)
    assert (process.returncode, stderr.decode()) == (141, "")


def test_draw_prints_text_and_writes_svg_html_or_text_files(tmp_path, bell):
    import xml.etree.ElementTree as ET

    (tmp_path / "cond.qasm").write_text(BELL + "if(c==1) x q[1];\n")
    text = run_cli("draw", tmp_path / "cond.qasm", "--width", 0)
    assert text.returncode == 0, text.stderr
    rows = text.stdout.splitlines()
    assert rows[1].startswith("q0: ─┤ H ├─●─") and "⊕" in rows[3] and "c[1,0]==1" in rows[-1]
    folded = run_cli("draw", tmp_path / "cond.qasm", "--width", 24).stdout
    assert len(folded.splitlines()) > len(rows) and "»" in folded and "«" in folded
    assert run_cli("draw", bell, "--text", "-o", tmp_path / "c.svg").returncode == 0
    assert (tmp_path / "c.svg").read_text(encoding="utf-8").startswith("     ┌───┐")
    assert run_cli("draw", bell, "-o", tmp_path / "c.txt").returncode == 0
    assert (tmp_path / "c.txt").read_text(encoding="utf-8") == run_cli("draw", bell, "--width", 0).stdout
    assert run_cli("draw", bell, "-o", tmp_path / "d.svg").returncode == 0
    svg = ET.parse(tmp_path / "d.svg").getroot()
    assert svg.tag == "{http://www.w3.org/2000/svg}svg"
    assert svg.find("{http://www.w3.org/2000/svg}title").text == "bell.qasm"
    assert run_cli("draw", bell, "-o", tmp_path / "d.html").returncode == 0
    page = (tmp_path / "d.html").read_text(encoding="utf-8")
    assert page.startswith("<!DOCTYPE html>") and "<svg" in page and "<script" not in page
    for args, message in [(["-o", tmp_path / "d.png"], "cannot tell the drawing format"),
                          (["--figure"], "--figure writes an HTML page"),
                          (["--width", -1], "--width must be >= 0")]:
        refused = run_cli("draw", bell, *args)
        assert refused.returncode == 2 and message in refused.stderr and "Traceback" not in refused.stderr
    ascii_out = subprocess.run([*CLI, "draw", str(bell)], capture_output=True, timeout=120,
                               env=dict(os.environ, PYTHONIOENCODING="ascii"))
    assert ascii_out.returncode == 2 and b"PYTHONIOENCODING=utf-8" in ascii_out.stderr


def test_draw_figure_writes_the_layered_figure_page(tmp_path, bell):
    result = run_cli("draw", bell, "--figure", "-o", tmp_path / "c.html")
    try:
        import norvane.quantum.visualization.circuitview  # noqa: F401
        import bokeh  # noqa: F401
    except ImportError:
        assert result.returncode == 2 and "Traceback" not in result.stderr
        assert "circuit figure" in result.stderr or "Bokeh" in result.stderr
    else:
        assert result.returncode == 0, result.stderr
        page = (tmp_path / "c.html").read_text()
        assert "<html" in page.lower() and "Bokeh" in page


def test_console_script_is_installed():
    script = Path(sys.executable).parent / "norvane"
    if not script.exists():
        pytest.skip("console scripts are not installed beside this interpreter")
    assert subprocess.run([script, "--help"], capture_output=True, text=True).stdout.startswith("usage: norvane")
