"""Circuit drawing: the kit's text and SVG drawings against Qiskit's text and matplotlib
drawers and Cirq's SVG, on the public OpenQASM 2 files of bench/circuits_qasm; beside them the
time to build the same drawing as a Bokeh figure (no peer).

Each drawer gets the circuit already read (reading is not timed) and produces its whole output
as text: the text drawings folded at 80 characters, the SVG documents as strings (Qiskit's
matplotlib figure saved as SVG). Times are the best CPU time (process_time) of several
drawings, one for the two slowest peers; sizes are the output's UTF-8 bytes.

The peers run in another environment (see drawing_peer.py): set DRAW_PEER_PYTHON to its Python,
e.g. a venv with `pip install qiskit pylatexenc matplotlib cirq-core ply`. Without it the
peer columns are left out. Run from the repository root: `python bench/bench_drawing.py`;
the table goes to bench/results/drawing.md.
"""

import datetime
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE]

from common import best_cpu_seconds, machine, write_results  # noqa: E402
from norvane.quantum.ir.digital import qasm  # noqa: E402
from norvane.quantum.visualization.diagram import layout, to_bokeh, to_svg, to_text  # noqa: E402

CIRCUITS = ["sat_n11", "sat_n11_transpiled", "dnn_n16", "gcm_h6"]
WIDTH, REPEATS = 80, 5
PEER_REPEATS = 3
TEXT_PEERS, SVG_PEERS = ["Qiskit text"], ["Cirq SVG", "Qiskit mpl SVG"]


def peers(path):
    python = os.environ.get("DRAW_PEER_PYTHON")
    if not python:
        return {}
    case = json.dumps({"path": path, "width": WIDTH, "repeats": PEER_REPEATS})
    out = subprocess.run([python, os.path.join(HERE, "drawing_peer.py"), case],
                         capture_output=True, text=True, timeout=1800)
    lines = [line for line in out.stdout.splitlines() if line.startswith("{")]
    if not lines:
        raise SystemExit(f"the peer run failed: {out.stderr.strip()[-400:]}")
    return json.loads(lines[-1])


def cell(result):
    if result is None:
        return "-"
    if "skip" in result:
        return f"failed ({result['skip']})"
    size = "" if result["bytes"] is None else f" / {result['bytes'] / 1e3:,.0f} kB"
    return f"{result['seconds'] * 1e3:,.0f} ms{size}"


def main():
    rows, versions, verdicts = [], {}, []
    for name in CIRCUITS:
        path = os.path.join(HERE, "circuits_qasm", f"{name}.qasm")
        circuit = qasm.load(path)
        columns = len(layout(circuit).columns)
        ours = {"text": best_cpu_seconds(lambda: to_text(circuit, width=WIDTH), REPEATS),
                "SVG": best_cpu_seconds(lambda: to_svg(circuit), REPEATS),
                "Bokeh": best_cpu_seconds(lambda: to_bokeh(circuit), REPEATS)}
        theirs = peers(path)
        versions.update(theirs.pop("versions", {}))
        row = [name, str(circuit.n_qubits), f"{len(circuit.instructions):,}", f"{columns:,}"]
        for kind, peer_names in (("text", TEXT_PEERS), ("SVG", SVG_PEERS)):
            seconds, size = ours[kind]
            row.append(cell({"seconds": seconds, "bytes": size}))
            drawn = [theirs[p] for p in peer_names if "seconds" in theirs.get(p, {})]
            row += [cell(theirs.get(p)) for p in peer_names]
            if drawn:
                speedup = min(p["seconds"] for p in drawn) / seconds
                smallest = min([size] + [p["bytes"] for p in drawn])
                verdicts.append(f"{name}, {kind}: {speedup:,.0f}x faster than the fastest peer; "
                                f"{size / smallest:.2f}x the smallest output of its kind")
        row.append(cell({"seconds": ours["Bokeh"][0], "bytes": None}))
        rows.append("| " + " | ".join(row) + " |")
        print(rows[-1], flush=True)

    peer_text = ", ".join(f"{k} {v}" for k, v in sorted(versions.items())) or "not run"
    write_results(os.path.join(HERE, "results", "drawing.md"), [
        "# Circuit drawing: text and SVG against Qiskit and Cirq", "",
        f"Machine: {machine()}; shared with other work while measured (CPU times, not wall "
        f"times, for that reason). Date: {datetime.date.today().isoformat()}. Peers: {peer_text}.",
        "",
        "Public OpenQASM 2 files from QASMBench (bench/circuits_qasm). Reading the file is not "
        f"timed. Each cell: best CPU time of {REPEATS} drawings (ours), {PEER_REPEATS} (Qiskit "
        "text) or 1 (Cirq, Qiskit matplotlib) / output size in UTF-8. Text drawings are folded "
        f"at {WIDTH} characters. Ours draws one wire per classical bit; Qiskit's text drawer "
        "bundles each classical register into one wire. Cirq's reader needs the `OPENQASM 2.0;` "
        "header, which sat_n11.qasm omits: it is given the file with the header added. "
        "The Bokeh column is the time to build the figure object (`to_bokeh`), not to write "
        "its page.",
        "",
        "| circuit | qubits | instructions | our columns | ours, text | "
        + " | ".join(TEXT_PEERS) + " | ours, SVG | " + " | ".join(SVG_PEERS) + " | ours, Bokeh figure |",
        "|---|---:|---:|---:|" + "---:|" * (3 + len(TEXT_PEERS) + len(SVG_PEERS)),
        *rows, "",
        *[f"- {verdict}" for verdict in verdicts], ""])


if __name__ == "__main__":
    main()
