"""Whole OpenQASM files against a second, independent implementation (qiskit's, from the
`bench` extra): the same unitary up to a global phase on varied generated 2.0 programs, read
by both, on the 3.0 text the second implementation writes for them, and on the 2.0 text
this package writes."""

import random

import pytest

from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.qasm import dumps, loads
from tests.qasm_helpers import assert_equal_up_to_phase, random_unitary, reversed_qubits, unitary

qasm2 = pytest.importorskip("qiskit.qasm2")
quantum_info = pytest.importorskip("qiskit.quantum_info")

# name: (parameters, qubits)
LIBRARY = {
    "x": (0, 1), "y": (0, 1), "z": (0, 1), "h": (0, 1), "s": (0, 1), "sdg": (0, 1),
    "t": (0, 1), "tdg": (0, 1), "sx": (0, 1), "sxdg": (0, 1), "id": (0, 1),
    "rx": (1, 1), "ry": (1, 1), "rz": (1, 1), "p": (1, 1), "u1": (1, 1), "u2": (2, 1),
    "u3": (3, 1), "u": (3, 1), "U": (3, 1), "cx": (0, 2), "CX": (0, 2), "cy": (0, 2),
    "cz": (0, 2), "ch": (0, 2), "swap": (0, 2), "csx": (0, 2), "crx": (1, 2), "cry": (1, 2),
    "crz": (1, 2), "cp": (1, 2), "cu1": (1, 2), "cu3": (3, 2), "cu": (4, 2), "rxx": (1, 2),
    "rzz": (1, 2), "ccx": (0, 3), "cswap": (0, 3), "rccx": (0, 3), "c3x": (0, 4),
    "c3sqrtx": (0, 4), "rc3x": (0, 4), "c4x": (0, 5),
}
REGISTERS = [("a", 2), ("b", 3), ("d", 1)]


def expression(rng, names=()):
    atoms = [f"{rng.uniform(-3, 3):.6f}", "pi", "pi/2", "-pi/4", "2", *names]
    a, b = rng.choice(atoms), rng.choice(atoms)
    return rng.choice([
        a, f"{a} + {b}", f"{a}*{b}", f"-({a})", f"{a}/3", f"sin({a})", f"cos({a}) - {b}",
        f"sqrt(2)*{a}", f"exp(0.1*{a})", f"ln(2) + {a}", f"tan(0.2)*{a}", f"({a})^2",
    ])


def random_program(seed):
    rng = random.Random(seed)
    qubits = [f"{r}[{i}]" for r, size in REGISTERS for i in range(size)]
    lines = ['OPENQASM 2.0;', 'include "qelib1.inc";']
    lines += [f"qreg {r}[{size}];" for r, size in REGISTERS]
    lines.append("gate mix(alpha, beta) x, y { rz(alpha) x; cx x, y; ry(beta - alpha/2) y; "
                 "u2(beta, -alpha) x; barrier x, y; }")
    names = list(LIBRARY) + ["mix"]
    for _ in range(rng.randint(5, 40)):
        name = rng.choice(names)
        n_params, n_qubits = LIBRARY.get(name, (2, 2))
        params = ", ".join(expression(rng) for _ in range(n_params))
        call = f"{name}({params})" if n_params else name
        if n_qubits == 1 and rng.random() < 0.2:
            args = [rng.choice(["a", "b"])]                   # broadcast over a register
        elif n_qubits == 2 and rng.random() < 0.15:
            args = rng.choice([["a[1]", "b"], ["b", "a[0]"]])   # one qubit with a register
        else:
            args = rng.sample(qubits, n_qubits)
        lines.append(f"{call} {', '.join(args)};")
        if rng.random() < 0.1:
            lines.append("barrier a, b;")
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("seed", range(36))
def test_same_unitary_as_a_second_reader(seed):
    text = random_program(seed)
    ours = unitary(loads(text))
    circuit = qasm2.loads(text, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    theirs = quantum_info.Operator(circuit).data
    assert_equal_up_to_phase(ours, reversed_qubits(theirs), atol=1e-8)


@pytest.mark.parametrize("seed", range(0, 36, 3))
def test_openqasm3_written_by_a_second_writer(seed):
    pytest.importorskip("openqasm3")
    qasm3 = pytest.importorskip("qiskit.qasm3")
    circuit = qasm2.loads(random_program(seed), custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    ours = unitary(loads(qasm3.dumps(circuit)))
    assert_equal_up_to_phase(ours, reversed_qubits(quantum_info.Operator(circuit).data), atol=1e-8)


@pytest.mark.parametrize("seed", range(6))
def test_exported_openqasm2_reads_the_same_in_a_second_reader(seed):
    rng = random.Random(seed)
    ours = loads(random_program(seed))
    # Matrix gates take the decomposition path; the rest are the kit's named gates.
    extra = [g.UnitaryGate(rng.sample(range(ours.n_qubits), k), random_unitary(k, seed))
             for k in (1, 2, 3)]
    circuit = DigitalCircuit(ours.n_qubits, list(ours.instructions) + extra + [g.RYY([0, 1], [0.4]), g.SXdg([2])])
    text = dumps(circuit)
    theirs = qasm2.loads(text, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    assert_equal_up_to_phase(unitary(circuit), reversed_qubits(quantum_info.Operator(theirs).data), atol=1e-8)
