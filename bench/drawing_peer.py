"""Draws one OpenQASM 2 file with the peers of bench_drawing.py, in an environment that has
them (qiskit, pylatexenc, matplotlib, cirq-core and ply stay out of the project's own
environment): bench_drawing.py starts this file with the Python named by DRAW_PEER_PYTHON and
reads one JSON line back.

    python drawing_peer.py '{"path": "circuits_qasm/x.qasm", "width": 80, "repeats": 3}'

Each peer reads the program first (not timed), then draws it: Qiskit's text drawer folded at
"width" characters, Qiskit's matplotlib drawer saved as SVG, and cirq.contrib.svg. Prints
{peer: {"seconds", "bytes"} or {"skip": why}, "versions": {...}}: the best CPU time of
"repeats" drawings (one for the slow two) and the UTF-8 size of the output.
"""

import io
import json
import sys
import warnings

from common import best_cpu_seconds


def qiskit_peers(text, width, repeats):
    from qiskit import qasm2
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    circuit = qasm2.loads(text, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)

    def mpl_svg():
        figure = circuit.draw("mpl")
        buffer = io.StringIO()
        figure.savefig(buffer, format="svg")
        plt.close(figure)
        return buffer.getvalue()

    return {"Qiskit text": best_cpu_seconds(lambda: str(circuit.draw("text", fold=width)), repeats),
            "Qiskit mpl SVG": best_cpu_seconds(mpl_svg, 1)}


def cirq_peer(text):
    from cirq.contrib.qasm_import import circuit_from_qasm
    from cirq.contrib.svg import circuit_to_svg

    if "OPENQASM" not in text:
        text = "OPENQASM 2.0;\n" + text   # its reader needs the header some public files omit
    circuit = circuit_from_qasm(text)
    return {"Cirq SVG": best_cpu_seconds(lambda: circuit_to_svg(circuit), 1)}


def main():
    case = json.loads(sys.argv[1])
    with open(case["path"], encoding="utf-8") as f:
        text = f.read()
    warnings.filterwarnings("ignore")
    result, versions = {}, {}
    for name, run in (("qiskit", lambda: qiskit_peers(text, case["width"], case["repeats"])),
                      ("cirq", lambda: cirq_peer(text))):
        try:
            for peer, (seconds, size) in run().items():
                result[peer] = {"seconds": seconds, "bytes": size}
            versions[name] = __import__(name).__version__
        except Exception as error:   # a peer that cannot draw the file is reported, not fatal
            result[name] = {"skip": f"{type(error).__name__}: {str(error)[:120]}"}
    import matplotlib
    versions["matplotlib"] = matplotlib.__version__
    result["versions"] = versions
    print(json.dumps(result))


if __name__ == "__main__":
    main()
