"""The `norvane` command line (also `python -m norvane.quantum`).

FILE is an OpenQASM 2.0 or 3.0 program or the kit's JSON form of a `DigitalCircuit` (told
apart by content). Bitstrings put classical bit 0 first (leftmost). `norvane gates` lists the
kit's gate table.

Exit statuses: 0 success; 1 `validate` found problems in the circuit; 2 a user error (bad
arguments or input), reported as one `norvane: error:` line on stderr; 70 an internal error
(a fault of the kit, not of the input): its traceback, for a bug report, then one
`norvane: internal error:` line; 130 interrupted (Ctrl-C);
141 standard output was closed early (as in `norvane run c.qasm | head -1`), which ends the
command quietly, as a program stopped by SIGPIPE would.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import math
import os
import sys
import traceback
from typing import Iterator, Sequence

__all__ = ["main"]

# Longest error text printed; a message quoting a huge input value is cut to this.
_MAX_MESSAGE_CHARS = 1000


class UserError(Exception):
    """A problem with the command's input, reported without a traceback."""


@contextlib.contextmanager
def _circuit_faults() -> Iterator[None]:
    """Faults the circuit itself carries (an unbound parameter, a target out of range, a
    register too large to simulate) while the kit works on it: the user's to fix."""
    try:
        yield
    except (ValueError, TypeError, IndexError, ArithmeticError, MemoryError) as error:
        raise UserError(_described(error)) from None


def _described(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


def _read_circuit(path: str):
    from norvane.quantum import serialize
    from norvane.quantum.ir._node import Node
    from norvane.quantum.ir.digital.circuit import DigitalCircuit
    from norvane.quantum.ir.digital import qasm

    try:
        with open(path, encoding="utf-8-sig") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as error:
        raise UserError(f"cannot read {path}: {error}") from None
    if text.lstrip().startswith(("{", "[")):
        try:
            circuit = serialize.loads(text)
        except json.JSONDecodeError as error:
            raise UserError(f"{path}: not valid JSON: {error}") from None
        except RecursionError:
            raise UserError(f"{path}: the JSON is nested too deeply to read") from None
        except (ValueError, TypeError, KeyError, IndexError, ArithmeticError) as error:
            # A deserializer met a payload of the wrong shape.
            raise UserError(f"{path}: not valid circuit JSON: {_described(error)}") from None
        if not isinstance(circuit, DigitalCircuit):
            raise UserError(f"{path}: the JSON holds a {type(circuit).__name__}, not a DigitalCircuit")
        # A tag no deserializer knows stays a plain mapping, which no engine would run.
        unknown = next((i for i in circuit.instructions if not isinstance(i, Node)), None)
        if unknown is not None:
            shown = ", ".join(map(repr, unknown)) if isinstance(unknown, dict) else type(unknown).__name__
            raise UserError(f"{path}: not valid circuit JSON: unknown instruction {shown[:200]}")
        return circuit
    try:
        return qasm.loads(text)
    except qasm.QasmError as error:
        raise UserError(f"{path}: {error}") from None


def _bindings(pairs: Sequence[str]) -> dict[str, float]:
    bindings = {}
    for pair in pairs:
        name, sep, value = pair.partition("=")
        try:
            if not sep or not name:
                raise ValueError
            number = float(value)
        except ValueError:
            raise UserError(f"--param expects NAME=NUMBER, got {pair!r}") from None
        if not math.isfinite(number):
            raise UserError(f"--param {name}: the value must be a finite number, got {value!r}")
        if name in bindings:
            raise UserError(f"--param {name} is given more than once")
        bindings[name] = number
    return bindings


def _simulator(circuit, args):
    from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator

    if args.seed is not None and args.seed < 0:
        raise UserError(f"--seed must be >= 0, got {args.seed}")
    with _circuit_faults():
        return DigitalDenseSimulator(circuit, seed=args.seed)


def _stages(args, names: Sequence[str]):
    """A progress bar over the command's stages (reading, simulating, writing...) on standard
    error: the engines run natively and report nothing finer. On by default when standard
    error is a terminal (--progress / --no-progress)."""
    from norvane.quantum.progress import tracker

    shown = sys.stderr.isatty() if args.progress is None else args.progress
    track = tracker(shown, len(names), desc=f"norvane {args.command}", unit="stage")
    track.update(0, note=names[0])

    def advance(stage: int) -> None:
        track.update(stage, note=names[stage] if stage < len(names) else None)

    return track, advance


# The exact distribution is drawn beside sampled counts up to this many qubits (a second
# simulation, of the state the measurements read).
_EXACT_OVERLAY_MAX_QUBITS = 20


def _reads_whole_register(circuit) -> bool:
    """Whether the counts' bitstrings are the basis states of the final gate state: every
    qubit k measured in Z into bit k by measurements after the last gate, no conditions."""
    from norvane.quantum.ir.digital.conditional import ConditionalInstruction
    from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis

    instructions = list(circuit.instructions)
    first = next((i for i, node in enumerate(instructions) if isinstance(node, Measurement)),
                 len(instructions))
    readout = instructions[first:]
    if not readout or not all(isinstance(m, Measurement) and m.basis is MeasurementBasis.Z
                              for m in readout):
        return False
    if any(isinstance(node, ConditionalInstruction) for node in instructions[:first]):
        return False
    pairs = [pair for m in readout for pair in zip(m.qubits, m.bits)]
    wanted = [(q, q) for q in range(circuit.n_qubits)]
    return circuit.n_cbits == circuit.n_qubits and sorted(pairs) == wanted


def _write_counts_plot(path: str, result, exact, title: str) -> None:
    from norvane.quantum.visualization.plots import counts_figure, counts_svg

    if path.lower().endswith(".svg"):
        _write(path, counts_svg(result, exact, title=title))
        return
    try:
        from bokeh.embed import file_html
        from bokeh.resources import INLINE
    except ImportError:
        raise UserError("--plot FILE.html needs Bokeh; install norvane-quantum[plot] "
                        "(or write FILE.svg)") from None
    _write(path, file_html(counts_figure(result, exact, title=title), INLINE, title=title))


def _run(args) -> int:
    if args.shots < 0:
        raise UserError(f"--shots must be >= 0, got {args.shots}")
    if args.plot is not None and os.path.splitext(args.plot)[1].lower() not in (".svg", ".html", ".htm"):
        raise UserError(f"--plot writes .svg or .html, got {args.plot!r}")
    bindings = _bindings(args.param)
    track, advance = _stages(args, ["reading", "simulating"] + ["plotting"] * (args.plot is not None))
    with track:
        circuit = _read_circuit(args.file)
        simulator = _simulator(circuit, args)
        advance(1)
        with _circuit_faults():
            result = simulator.run(args.shots, **bindings)
        if args.plot is not None:
            advance(2)
            exact = None
            if circuit.n_qubits <= _EXACT_OVERLAY_MAX_QUBITS and _reads_whole_register(circuit):
                with _circuit_faults():
                    exact = simulator.statevector(**bindings)
            _write_counts_plot(args.plot, result, exact, circuit.name or os.path.basename(args.file))
        track.finish()
    if args.json:
        print(json.dumps({"shots": result.shots, "counts": result.counts}))
    else:
        width = max((len(b) for b in result.counts), default=0)
        for bitstring, count in result.most_common(len(result.counts)):
            print(f"{bitstring or '(no bits)':<{width}}  {count}")
    return 0


def _statevector(args) -> int:
    if not args.threshold >= 0:  # also refuses NaN, which would hide every amplitude
        raise UserError(f"--threshold must be a number >= 0, got {args.threshold}")
    bindings = _bindings(args.param)
    circuit = _read_circuit(args.file)
    simulator = _simulator(circuit, args)
    with _circuit_faults():
        state = simulator.statevector(**bindings)
    n = circuit.n_qubits
    if args.json:
        print(json.dumps([[float(a.real), float(a.imag)] for a in state]))
        return 0
    for index, amplitude in enumerate(state):
        if abs(amplitude) > args.threshold:
            label = format(index, f"0{n}b") if n else ""
            print(f"|{label}>  {amplitude.real:+.6f}{amplitude.imag:+.6f}j  "
                  f"p={abs(amplitude) ** 2:.6f}")
    return 0


def _validate(args) -> int:
    from norvane.quantum.compiler.analysis.digital.validate import (
        DigitalCircuitValidator, ValidationError,
    )

    validator = DigitalCircuitValidator(allow_mid_circuit_measurement=args.allow_mid_circuit)
    circuit = _read_circuit(args.file)
    try:
        with _circuit_faults():
            validator.validate(circuit)
    except ValidationError as error:
        print(error)
        return 1
    print("valid")
    return 0


def _draw(args) -> int:
    """The circuit drawing: text on standard output (or in a .txt file), an SVG document or an
    HTML page by the output's suffix; with --bokeh the same drawing as an interactive Bokeh
    figure's page, with --figure the layered Bokeh figure's page."""
    if args.width is not None and args.width < 0:
        raise UserError(f"--width must be >= 0 (0: one page), got {args.width}")
    output = "-" if args.output is None else args.output
    suffix = os.path.splitext(output)[1].lower()
    if args.figure or args.bokeh:
        kind = "figure" if args.figure else "bokeh"
        if args.output is None:
            raise UserError(f"--{kind} writes an HTML page: give -o FILE.html (or -o - for "
                            "standard output)")
    elif args.text or output == "-":
        kind = "text"
    else:
        kind = {".svg": "svg", ".html": "html", ".htm": "html", ".txt": "text"}.get(suffix)
        if kind is None:
            raise UserError(f"cannot tell the drawing format of {output!r}; use a .svg, .html "
                            "or .txt file, or --text")
    track, advance = _stages(args, ["reading", "drawing"])
    with track:
        circuit = _read_circuit(args.file)
        advance(1)
        if kind == "figure":
            try:
                from norvane.quantum.visualization.circuitview import get_circuit_figure
            except ImportError as error:
                raise UserError(f"--figure needs the circuit figure module "
                                f"(norvane.quantum.visualization.circuitview), which is not available: "
                                f"{error}") from None
            try:
                from bokeh.embed import file_html
                from bokeh.resources import INLINE
            except ImportError:
                raise UserError("--figure needs Bokeh; install norvane-quantum[plot]") from None
            with _circuit_faults():
                figure = get_circuit_figure(circuit)
            text = file_html(figure, INLINE, title=circuit.name or args.file)
        else:
            text = _drawing(circuit, kind, output, args)
        track.finish()
    _write(output, text)
    return 0


def _drawing(circuit, kind: str, output: str, args) -> str:
    """The trustworthy drawing of `circuit` as text, SVG, an HTML page or a Bokeh figure's
    page."""
    import shutil

    from norvane.quantum.visualization import diagram

    title = circuit.name or os.path.basename(args.file)
    if kind == "bokeh":
        try:
            from bokeh.embed import file_html
            from bokeh.resources import INLINE
        except ImportError:
            raise UserError("--bokeh needs Bokeh; install norvane-quantum[plot]") from None
    with _circuit_faults():
        if kind == "text":
            width = args.width
            if width is None and output == "-":
                width = shutil.get_terminal_size().columns
            text = diagram.to_text(circuit, width=width or None) + "\n"
            if output == "-":
                encoding = sys.stdout.encoding or "utf-8"
                try:
                    text.encode(encoding)
                except UnicodeEncodeError:
                    raise UserError(f"standard output ({encoding}) cannot show the drawing's "
                                    "box-drawing characters; set PYTHONIOENCODING=utf-8 or "
                                    "give -o FILE.txt") from None
        elif kind == "svg":
            text = diagram.to_svg(circuit, title=title)
        elif kind == "bokeh":
            text = file_html(diagram.to_bokeh(circuit, title=title), INLINE, title=title)
        else:
            text = diagram.to_html(circuit, title=title)
    return text


_FORMATS = {".json": "json", ".qasm": "qasm2", ".qasm2": "qasm2", ".qasm3": "qasm3"}


def _convert(args) -> int:
    from norvane.quantum import serialize
    from norvane.quantum.ir.digital import qasm

    target = args.to
    if target is None and args.output == "-":
        target = "json"
    elif target is None:
        suffix = args.output[args.output.rfind("."):] if "." in args.output else ""
        target = _FORMATS.get(suffix.lower())
        if target is None:
            raise UserError(f"cannot tell the format of {args.output!r}; give --to "
                            "qasm2, qasm3 or json")
    circuit = _read_circuit(args.file)
    with _circuit_faults():
        try:
            if target == "json":
                text = serialize.dumps(circuit, indent=1) + "\n"
            else:
                text = qasm.dumps(circuit, version=3 if target == "qasm3" else 2)
        except qasm.QasmError as error:
            raise UserError(f"cannot write {target}: {error}") from None
    _write(args.output, text)
    return 0


def _gates(args) -> int:
    from norvane.quantum.ir.digital.gate_table import GATES

    if args.json:
        print(json.dumps([{"gate": spec.name, "qubits": spec.n_qubits, "params": spec.n_params,
                           "qasm2": dataclasses.asdict(spec.qasm2),
                           "qasm3": dataclasses.asdict(spec.qasm3),
                           "shift_rule": spec.shift_rule, "tag": spec.tag} for spec in GATES],
                         indent=1))
        return 0

    def qasm_name(spelling) -> str:
        return spelling.name + ("*" if spelling.definition is not None else "")

    rows = [("gate", "qubits", "params", "OpenQASM 2", "OpenQASM 3", "shift rule")]
    rows += [(spec.name, str(spec.n_qubits), str(spec.n_params), qasm_name(spec.qasm2),
              qasm_name(spec.qasm3), "yes" if spec.shift_rule else "no") for spec in GATES]
    widths = [max(len(row[k]) for row in rows) for k in range(len(rows[0]))]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    print("* written with its gate definition: the version's standard library lacks it")
    return 0


def _write(path: str, text: str) -> None:
    if path == "-":
        sys.stdout.write(text)
        return
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as error:
        raise UserError(f"cannot write {path}: {error}") from None


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="norvane", description="Run, check, draw and convert digital quantum circuits "
        "(OpenQASM 2.0/3.0 or the kit's JSON). Bitstrings put classical bit 0 first.")
    commands = parser.add_subparsers(dest="command", required=True)

    def command(name, handler, help_text):
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("file", metavar="FILE", help="OpenQASM or circuit JSON file")
        sub.set_defaults(handler=handler)
        return sub

    def simulation_options(sub):
        sub.add_argument("--seed", type=int, default=None, help="random seed")
        sub.add_argument("--param", action="append", default=[], metavar="NAME=VALUE",
                         help="value of a symbolic parameter (repeatable)")
        sub.add_argument("--json", action="store_true", help="print JSON")

    def progress_option(sub):
        sub.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                         help="show the command's stages on standard error (default: when "
                         "standard error is a terminal)")

    run = command("run", _run, "sample shots and print the counts, most frequent first")
    run.add_argument("--shots", type=int, default=1024, help="number of shots (default 1024)")
    simulation_options(run)
    run.add_argument("--plot", metavar="FILE", help="also write a histogram of the counts: "
                     "FILE.html (Bokeh, the plot extra) or FILE.svg; beside them the exact "
                     "probabilities when every qubit k is measured into bit k at the end "
                     f"(up to {_EXACT_OVERLAY_MAX_QUBITS} qubits)")
    progress_option(run)
    state = command("statevector", _statevector,
                    "print the final state of the gates (qubit 0 most significant)")
    simulation_options(state)
    state.add_argument("--threshold", type=float, default=1e-12,
                       help="hide amplitudes of at most this magnitude")
    check = command("validate", _validate, "check ranges, measurement order and parameters")
    check.add_argument("--allow-mid-circuit", action="store_true",
                       help="allow gates after measurements")
    draw = command("draw", _draw, "draw the circuit: text on standard output, or an SVG "
                   "document or HTML page")
    draw.add_argument("-o", "--output", help="file to write, its format by its suffix: .svg, "
                      ".html or .txt (default: the text drawing on standard output)")
    drawing = draw.add_mutually_exclusive_group()
    drawing.add_argument("--text", action="store_true",
                         help="the text drawing, whatever the output's suffix")
    drawing.add_argument("--bokeh", action="store_true",
                         help="the drawing as an interactive Bokeh figure (each instruction "
                         "described on hover, pan and zoom along the wires) in an HTML page "
                         "(needs -o and the plot extra)")
    drawing.add_argument("--figure", action="store_true",
                         help="the layered Bokeh circuit figure as an HTML page (needs -o and "
                         "the plot extra)")
    draw.add_argument("--width", type=int, help="fold the text drawing into pages of this many "
                      "characters (default: the terminal's width on standard output, one page "
                      "in a file; 0: one page)")
    progress_option(draw)
    convert = command("convert", _convert, "convert between OpenQASM 2, OpenQASM 3 and JSON")
    convert.add_argument("-o", "--output", default="-",
                         help="file to write (default '-': standard output)")
    convert.add_argument("--to", choices=["qasm2", "qasm3", "json"],
                         help="output format (default: from the output file's suffix; "
                         "json on standard output)")
    gates = commands.add_parser("gates", help="list the kit's standard gates",
                                description="list the kit's standard gates: qubits, parameters, "
                                "OpenQASM names and whether the parameter-shift rule is exact")
    gates.add_argument("--json", action="store_true", help="print JSON")
    gates.set_defaults(handler=_gates)
    return parser


def _complain(kind: str, message: str) -> None:
    """One line on stderr, however long or multi-line the message."""
    message = " ".join(message.splitlines())
    if len(message) > _MAX_MESSAGE_CHARS:
        message = message[:_MAX_MESSAGE_CHARS] + "..."
    print(f"norvane: {kind}: {message}", file=sys.stderr)


def _silence_stdout() -> None:
    """Point standard output at the null device, so that the flush at interpreter exit
    does not fail again on the closed pipe."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        status = args.handler(args)
        sys.stdout.flush()  # a closed pipe shows here, not at interpreter exit
        return status
    except BrokenPipeError:
        _silence_stdout()
        return 141
    except KeyboardInterrupt:
        return 130
    except UserError as error:
        _complain("error", str(error))
        return 2
    except Exception as error:
        traceback.print_exc()
        _complain("internal error", f"{_described(error)} (a fault of norvane, not of the input: please report it "
                                    "with the traceback above)")
        return 70
