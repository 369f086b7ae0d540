"""The circuit drawing: its layout against literal references and, on random circuits and
circuits written as public OpenQASM files are, against an independent reading of what each
instruction acts on; the text and SVG renderings built from it."""

import re
import xml.etree.ElementTree as ET

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.digital import qasm
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.gate_table import GATES
from norvane.quantum.ir.digital.measurement import Measurement, MeasurementBasis
from norvane.quantum.ir.scalar import Variable
from norvane.quantum.visualization.diagram import (
    format_number, format_param, layout, to_html, to_svg, to_text,
)
from norvane.quantum.visualization.diagram import labels

SVG = "{http://www.w3.org/2000/svg}"


# -- an independent reading of the circuit ---------------------------------------------------

def parts(instruction):
    return len(instruction.qubits) if isinstance(instruction, Measurement) else 1


def acted_wires(instruction, part, n_qubits):
    """The qubit and classical-bit wires (classical bit b is wire n_qubits + b) that one
    drawn part of an instruction acts on."""
    if isinstance(instruction, Measurement):
        bits = instruction.bits or instruction.qubits
        recorded = {n_qubits + bits[part]} if part < len(bits) else set()
        return {instruction.qubits[part]} | recorded
    if isinstance(instruction, ConditionalInstruction):
        return set(instruction.targets) | {n_qubits + b for b in instruction.condition.clbits}
    return set(instruction.targets)


def check_layout(circuit):
    """Every part placed once, in its own wire range, no two items of a column on a shared
    wire, and on every wire the parts acting on it in circuit order."""
    drawing = layout(circuit)
    n = circuit.n_qubits
    items = [item for column in drawing.columns for item in column]
    placed = sorted((item.index, item.part) for item in items)
    assert placed == [(i, p) for i, ins in enumerate(circuit.instructions) for p in range(parts(ins))]
    for c, column in enumerate(drawing.columns):
        assert column, "empty column"
        spans = sorted((item.top, item.bottom) for item in column)
        assert all(item.column == c for item in column)
        assert all(a[1] < b[0] for a, b in zip(spans, spans[1:])), f"column {c} overlaps: {spans}"
    by_part = {}
    for item in items:
        wires = acted_wires(circuit.instructions[item.index], item.part, n)
        assert {glyph.wire for glyph in item.glyphs} == wires
        assert (item.top, item.bottom) == (min(wires), max(wires))
        by_part[item.index, item.part] = (item.column, wires)
    for w in range(drawing.n_wires):
        columns = [column for _, (column, wires) in sorted(by_part.items()) if w in wires]
        assert columns == sorted(set(columns)), f"wire {w} out of order: {columns}"
    return drawing


def columns_of(circuit):
    return [[(item.index, item.part) for item in column] for column in layout(circuit).columns]


# -- literal layouts --------------------------------------------------------------------------

def test_literal_layouts():
    bell = DigitalCircuit(2, [g.H([0]), g.CX([0, 1]), Measurement([0, 1])])
    # q0 -> c0 crosses q1, so q1's measurement gets its own column.
    assert columns_of(bell) == [[(0, 0)], [(1, 0)], [(2, 0)], [(2, 1)]]

    crossing = DigitalCircuit(3, [g.CX([0, 2]), g.H([1]), g.H([0]), g.Z([2])])
    # H on q1 is as early as the CX but not in its column: the CX's line crosses q1.
    assert columns_of(crossing) == [[(0, 0)], [(1, 0)], [(2, 0), (3, 0)]]

    conditional = DigitalCircuit(2, [
        g.H([0]), Measurement([0], [1]),
        ConditionalInstruction(g.X([1]), ClassicalCondition([1], 1)), g.H([0])], n_cbits=2)
    # The condition reads c1 (wire 3) after the measurement writes it; H on q0 shares its column.
    assert columns_of(conditional) == [[(0, 0)], [(1, 0)], [(2, 0), (3, 0)]]
    item = layout(conditional).columns[2][0]
    assert (item.top, item.bottom, item.classical_link, item.note) == (1, 3, (1, 3), "c[1]==1")

    staircase = DigitalCircuit(3, [Measurement([2, 0]), g.H([1])])
    # q2 -> c2 spans wires 2..5, q0 -> c0 spans 0..3; H on q1 fits beside the first.
    assert columns_of(staircase) == [[(0, 0), (1, 0)], [(0, 1)]]


def test_literal_text_drawing():
    circuit = DigitalCircuit(3, [
        g.H([0]), g.CX([0, 1]), g.RZ([2], [0.7853981633974483]), g.SWAP([1, 2]), Measurement([0]),
        ConditionalInstruction(g.X([2]), ClassicalCondition([0], 1)), g.CZ([1, 2])], n_cbits=1)
    assert to_text(circuit, width=None) == "\n".join([
        "     ┌─────────┐      ┌───┐",
        "q0: ─┤    H    ├─●────┤ M ├─────────────",
        "     └─────────┘ │    └─╥─┘",
        "q1: ─────────────⊕──╳───╫────────────●──",
        "     ┌─────────┐    │   ║  ┌───────┐ │",
        "q2: ─┤ RZ(π/4) ├────╳───╫──┤   X   ├─●──",
        "     └─────────┘        ║  └───╥───┘",
        "c0: ════════════════════╩══════■════════",
        "                            c[0]==1",
    ])


def test_conditions_mark_each_bit_and_name_the_register_bits():
    circuit = DigitalCircuit(1, [
        ConditionalInstruction(g.X([0]), ClassicalCondition([2, 1, 0], 5)),
        ConditionalInstruction(g.X([0]), ClassicalCondition([0, 1], 2, "<")),
    ], n_cbits=3)
    first, second = (column[0] for column in check_layout(circuit).columns)
    marks = {glyph.wire: glyph.kind for glyph in first.glyphs if glyph.wire >= 1}
    # 5 = 101 with c2 most significant: c2 and c0 must read 1, c1 must read 0.
    assert marks == {3: labels.BIT_ONE, 2: labels.BIT_ZERO, 1: labels.BIT_ONE}
    assert first.note == "c[2..0]==5" and second.note == "c[0,1]<2"
    assert {glyph.kind for glyph in second.glyphs if glyph.wire >= 1} == {labels.BIT}
    text = to_text(circuit, width=None)
    assert "c[2..0]==5" in text and "c[0,1]<2" in text and text.count("■") == 2


# -- glyphs and labels --------------------------------------------------------------------------

DOT, OPLUS, SWAP, BOX = labels.DOT, labels.OPLUS, labels.SWAP, labels.BOX
EXPECTED_KINDS = {
    "CX": [DOT, OPLUS], "CY": [DOT, BOX], "CZ": [DOT, DOT], "SWAP": [SWAP, SWAP],
    "CCX": [DOT, DOT, OPLUS], "CSWAP": [DOT, SWAP, SWAP], "CRX": [DOT, BOX], "CRY": [DOT, BOX],
    "CRZ": [DOT, BOX], "CPhase": [DOT, BOX], "RXX": [BOX, BOX], "RYY": [BOX, BOX], "RZZ": [BOX, BOX],
}
EXPECTED_TEXT = {
    "H": "H", "X": "X", "Y": "Y", "Z": "Z", "S": "S", "Sdg": "S†", "T": "T", "Tdg": "T†", "SX": "√X",
    "SXdg": "√X†", "CY": "Y", "RX": "RX(π/4)", "RY": "RY(π/4)", "RZ": "RZ(π/4)", "Phase": "P(π/4)",
    "U1": "U1(π/4)", "U2": "U2(π/4,π/4)", "U3": "U3(π/4,π/4,π/4)", "U": "U(π/4,π/4,π/4)",
    "CRX": "RX(π/4)", "CRY": "RY(π/4)", "CRZ": "RZ(π/4)", "CPhase": "P(π/4)", "RXX": "RXX(π/4)",
    "RYY": "RYY(π/4)", "RZZ": "RZZ(π/4)",
}


@pytest.mark.parametrize("spec", GATES, ids=lambda spec: spec.name)
def test_every_gate_of_the_table_has_its_glyphs(spec):
    targets = list(range(spec.n_qubits))[::-1]
    gate = spec.cls(targets, [0.7853981633974483] * spec.n_params) if spec.n_params else spec.cls(targets)
    made = labels.gate_glyphs(gate)
    assert [q for q, _, _ in made] == targets  # marks follow the target order, controls first
    assert [kind for _, kind, _ in made] == EXPECTED_KINDS.get(spec.name, [BOX])
    assert {text for _, kind, text in made if kind == BOX} <= {EXPECTED_TEXT.get(spec.name)}


def test_unitary_and_custom_boxes_name_each_target_position():
    unitary = g.UnitaryGate([2, 0], [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]])
    assert labels.gate_glyphs(unitary) == [(2, BOX, "Unitary₀"), (0, BOX, "Unitary₁")]
    custom = g.CustomGate([1], lambda: [[0, 1], [1, 0]], label="flip")
    assert labels.gate_glyphs(custom) == [(1, BOX, "flip")]


@pytest.mark.parametrize("value, text", [
    (0.7853981633974483, "π/4"), (-1.5707963267948966, "-π/2"), (2.356194490192345, "3π/4"),
    (6.283185307179586, "2π"), (3.141592653589793, "π"), (3.4557519189487724, "11π/10"),
    (0.785, "0.785"), (1.1, "1.1"), (1.0000001, "1"), (123456.0, "1.23e5"), (-2.5e-07, "-2.5e-7"),
    (0.0, "0"), (float("nan"), "nan"),
])
def test_numbers_are_written_compactly(value, text):
    assert format_number(value) == text


def test_symbolic_parameters_by_name():
    gate = g.RZ([0], Variable("theta") * 2)
    assert format_param(gate.params[0]) == "(theta * 2)"
    assert labels.gate_glyphs(g.U3([0], ["a", 0.5, "b"]), precision=2)[0][2] == "U3(a,0.5,b)"
    assert format_number(0.123456, precision=5) == "0.12346"


# -- random circuits ------------------------------------------------------------------------------

@st.composite
def gates(draw, n):
    choice = draw(st.integers(0, 11))
    if choice == 0:
        k = draw(st.integers(1, min(3, n)))
        targets = draw(st.permutations(range(n)))[:k]
        return g.UnitaryGate(targets, [[1 if r == c else 0 for c in range(1 << k)] for r in range(1 << k)])
    if choice == 1:
        return g.CustomGate([draw(st.integers(0, n - 1))], lambda: [[1, 0], [0, 1]], label="K<&>")
    spec = draw(st.sampled_from([s for s in GATES if s.n_qubits <= n]))
    targets = draw(st.permutations(range(n)))[:spec.n_qubits]
    if spec.n_params:
        values = st.one_of(st.floats(-10, 10, allow_nan=False), st.just("theta"))
        return spec.cls(targets, [draw(values) for _ in range(spec.n_params)])
    return spec.cls(targets)


@st.composite
def circuits(draw):
    n, n_cbits = draw(st.integers(1, 5)), draw(st.integers(1, 4))
    instructions = []
    for _ in range(draw(st.integers(0, 25))):
        kind = draw(st.integers(0, 9))
        if kind < 6:
            instructions.append(draw(gates(n)))
        elif kind < 8:
            qubits = draw(st.lists(st.integers(0, n - 1), min_size=1, max_size=n, unique=True))
            bits = draw(st.lists(st.integers(0, n_cbits - 1), min_size=1, max_size=len(qubits) + 1))
            basis = draw(st.sampled_from(list(MeasurementBasis)))
            instructions.append(Measurement(qubits, bits, basis))
        else:
            clbits = draw(st.lists(st.integers(0, n_cbits - 1), min_size=1, max_size=3, unique=True))
            condition = ClassicalCondition(clbits, draw(st.integers(0, 7)),
                                           draw(st.sampled_from(["==", "!=", "<", ">="])))
            instructions.append(ConditionalInstruction(draw(gates(n)), condition))
    return DigitalCircuit(n, instructions, n_cbits)


def check_svg(circuit, drawing):
    svg = to_svg(circuit)
    root = ET.fromstring(svg)
    assert root.tag == SVG + "svg"
    texts = [t for t in root.iter(SVG + "text")]
    glyphs = [glyph for column in drawing.columns for item in column for glyph in item.glyphs]
    boxes = [glyph.text for glyph in glyphs if glyph.kind in (labels.BOX, labels.METER)]
    notes = [item.note for column in drawing.columns for item in column if item.note]
    assert sorted(t.text for t in texts if t.get("class") is None) == sorted(boxes)
    assert sorted(t.text for t in texts if t.get("class") == "n") == sorted(notes)
    assert [t.text for t in texts if t.get("class") == "l"] == drawing.wire_names
    assert len(list(root.iter(SVG + "use"))) == len(glyphs) - len(boxes)
    return svg


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(circuits())
def test_random_circuits_lay_out_and_render_every_instruction(circuit):
    drawing = check_layout(circuit)
    check_svg(circuit, drawing)
    text = to_text(circuit, width=None)
    notes = [item.note for column in drawing.columns for item in column if item.note]
    for note in notes:
        assert note in text
    rows = text.split("\n")
    assert len(rows) == 2 * circuit.n_qubits + 1 + circuit.n_cbits + (1 if notes else 0)


def page_bodies(text, rows, label_width):
    """Each page's rows (pages are `rows` lines, a blank line apart) without the wire names and
    the closing wire stub, padded to the page's width."""
    lines = text.split("\n")
    bodies = []
    for first in range(0, len(lines), rows + 1):
        page = lines[first:first + rows]
        width = max(map(len, page))
        bodies.append([line.ljust(width)[label_width + 1:width - 1] for line in page])
    return bodies


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(circuits(), st.integers(20, 90))
def test_folding_into_pages_loses_nothing(circuit, width):
    whole = to_text(circuit, width=None)
    folded = to_text(circuit, width=width)
    rows = len(whole.split("\n"))
    label_width = max(len(f"q{circuit.n_qubits - 1}: "), len(f"c{circuit.n_cbits - 1}: "))
    pages = page_bodies(folded, rows, label_width)
    assert len(folded.split("\n")) == len(pages) * (rows + 1) - 1
    joined = ["".join(page[r] for page in pages).rstrip() for r in range(rows)]
    assert joined == [row.rstrip() for row in page_bodies(whole, rows, label_width)[0]]
    if max(len(page[1]) for page in pages) + label_width + 2 <= width:
        assert all(len(line) <= width for line in folded.split("\n"))


# -- circuits as public OpenQASM files write them ---------------------------------------------------

PUBLIC_STYLE = """OPENQASM 2.0;
include "qelib1.inc";
qreg q[3];
qreg anc[2];
creg c0[1];
creg c1[1];
creg syn[2];
u3(pi/2,0,pi) q[0];
h q[1];
cx q[1],q[2];
cx q[0],q[1];
h q[0];
barrier q;
measure q[0] -> c0[0];
measure q[1] -> c1[0];
if(c0==1) z q[2];
if(c1==1) x q[2];
cx q[2],anc[0];
cx q[0],anc[1];
measure anc -> syn;
if(syn==2) x q[1];
rz(-0.3) anc[1];
"""


def test_circuits_written_as_public_files_are():
    circuit = qasm.loads(PUBLIC_STYLE)
    drawing = check_layout(circuit)
    text, svg = to_text(circuit, width=None), check_svg(circuit, drawing)
    # Registers are flattened: c0 -> bit 0, c1 -> bit 1, syn -> bits 2 and 3 (syn[0] least
    # significant), so `syn==2` needs bit 3 set and bit 2 clear.
    for note in ("c[0]==1", "c[1]==1", "c[3,2]==2"):
        assert note in text and f">{note}</text>" in svg
    assert "U3(π/2,0,π)" in text and "RZ(-0.3)" in text
    headerless = qasm.loads(PUBLIC_STYLE.replace("OPENQASM 2.0;\n", ""))
    assert to_text(headerless, width=None) == text


def test_html_page_embeds_the_drawing():
    circuit = qasm.loads(PUBLIC_STYLE)
    page = to_html(circuit, title="teleport & check")
    assert page.startswith("<!DOCTYPE html>") and "<title>teleport &amp; check</title>" in page
    svg = page[page.index("<svg"):page.index("</svg>") + 6]
    ET.fromstring(svg)
    assert "overflow:auto" in page and f"{len(circuit.instructions)} instruction(s)" in page


def test_svg_stays_small_per_instruction():
    circuit = DigitalCircuit(8, [g.CX([q, (q + 1) % 8]) if k % 3 else g.RZ([q], [0.1 * k])
                                 for k in range(600) for q in [k % 8]])
    svg = to_svg(circuit)
    assert len(svg.encode()) < 100 * len(circuit.instructions)
    assert not re.search(r'style="', svg)


# -- bad input --------------------------------------------------------------------------------------

@pytest.mark.parametrize("make, error, message", [
    (lambda: layout("not a circuit"), TypeError, "expected a DigitalCircuit"),
    (lambda: layout(DigitalCircuit(2, [g.CX([0, 5])])), ValueError, "instruction 0 (CX) acts on qubit 5"),
    (lambda: layout(DigitalCircuit(1, [Measurement([0], [3])], n_cbits=1)), ValueError,
     "classical bit 3, but the circuit has 1"),
    (lambda: layout(DigitalCircuit(1, [ConditionalInstruction(g.X([0]), ClassicalCondition([], 0))])),
     ValueError, "reads no bits"),
    (lambda: layout(DigitalCircuit(1, [ConditionalInstruction(Measurement([0]), ClassicalCondition([0], 1))])),
     TypeError, "only be drawn around a gate"),
    (lambda: layout(DigitalCircuit(1, [{"a": 1}])), TypeError, "instruction 0 is a dict"),
    (lambda: layout(DigitalCircuit(1), precision=0), ValueError, "precision"),
    (lambda: to_text(DigitalCircuit(1), width=0), ValueError, "width"),
])
def test_bad_input_is_refused_clearly(make, error, message):
    with pytest.raises(error, match=re.escape(message)):
        make()


def test_empty_circuits():
    assert to_text(DigitalCircuit(0, n_cbits=0)) == ""
    assert to_text(DigitalCircuit(1, n_cbits=0)) == "\nq0: ──\n"
    ET.fromstring(to_svg(DigitalCircuit(0, n_cbits=0)))
