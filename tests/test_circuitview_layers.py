"""Circuit figure module without drawing: its surface, the greedy layer packing, and the
Bokeh-absent errors in an interpreter that cannot import Bokeh."""

import json
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.gate import CCX, CSWAP, CX, SWAP, H, X
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.visualization import circuitview
from tests.native_modules import assert_initialises_once
from tests.reference import circuitview_reference as reference


def conditional(gate):
    return ConditionalInstruction(instruction=gate, condition=ClassicalCondition([0], 1))


def test_module_surface():
    assert circuitview.__all__ == ["get_circuit_figure", "display_circuit"]
    constants = {name: getattr(circuitview, name) for name in (
        "WIRE_SPACING", "LAYER_WIDTH", "LEFT_MARGIN", "TOP_MARGIN", "GATE_SIZE", "WIRE_COLOR",
        "GATE_COLOR_1Q", "GATE_COLOR_2Q", "GATE_COLOR_3Q", "MEASURE_COLOR", "TEXT_COLOR",
        "BACKGROUND_COLOR")}
    assert constants == {
        "WIRE_SPACING": 60, "LAYER_WIDTH": 70, "LEFT_MARGIN": 80, "TOP_MARGIN": 40, "GATE_SIZE": 42,
        "WIRE_COLOR": "#94A3B8", "GATE_COLOR_1Q": "#06B6D4", "GATE_COLOR_2Q": "#F59E0B",
        "GATE_COLOR_3Q": "#EF4444", "MEASURE_COLOR": "#10B981", "TEXT_COLOR": "#1E293B",
        "BACKGROUND_COLOR": "#FAFAFA"}
    assert all(type(v) is int for v in list(constants.values())[:5])
    assert_initialises_once("norvane.quantum.visualization.circuitview")


def test_layers_of_documented_examples():
    assign = circuitview._assign_layers
    assert assign([H([0]), H([1]), CX([0, 1]), Measurement([0])], 2) == [0, 0, 1, 2]
    # Conditionals sit in layer 0 and reserve nothing; other objects likewise.
    assert assign((H([0]), conditional(X([0])), H([0]), "note", Measurement([0, 1])), 2) == [0, 0, 1, 0, 2]
    assert assign([CCX([0, 1, 2]), H([3]), CX([3, 1]), SWAP([0, 0])], 4) == [0, 0, 1, 1]
    assert assign(iter([H([7]), H([7])]), 1) == [0, 1]  # any iterable; qubits are not range-checked
    assert assign([], 0) == []
    assert assign([H([0])], 2.9) == [0]  # numbers are accepted
    with pytest.raises(TypeError, match=r"^Argument 'n_qubits' has incorrect type \(expected int, got str\)$"):
        assign([H([0])], "2")
    with pytest.raises(TypeError, match="n_qubits"):
        assign([], None)


instruction = st.one_of(
    st.builds(lambda q: H([q]), st.integers(-2, 6)),
    st.builds(lambda a, b: CX([a, b]), st.integers(0, 5), st.integers(0, 5)),
    st.builds(lambda a, b, c: CSWAP([a, b, c]), st.integers(0, 5), st.integers(0, 5), st.integers(0, 5)),
    st.builds(lambda qs: Measurement(qs), st.lists(st.integers(0, 5), max_size=3)),
    st.builds(lambda q: conditional(X([q])), st.integers(0, 5)),
)


@settings(max_examples=200, deadline=None)
@given(st.lists(instruction, max_size=30))
def test_layers_follow_the_greedy_rule(instructions):
    assert circuitview._assign_layers(instructions, 6) == reference.assign_layers(instructions)


def test_without_bokeh():
    """A fresh interpreter whose import system refuses bokeh, as when it is not installed."""
    script = textwrap.dedent("""
        import json, sys

        class NoBokeh:
            def find_spec(self, name, path=None, target=None):
                if name == "bokeh" or name.startswith("bokeh."):
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)

        sys.meta_path.insert(0, NoBokeh())
        from norvane.quantum.ir.digital.circuit import DigitalCircuit
        from norvane.quantum.ir.digital.gate import H
        from norvane.quantum.visualization import circuitview

        circuit = DigitalCircuit(1, [H([0]), H([0])])
        out = {"layers": circuitview._assign_layers(circuit.instructions, 1)}
        for name in ("get_circuit_figure", "display_circuit"):
            try:
                getattr(circuitview, name)(circuit)
            except ImportError as error:
                out[name] = [type(error).__name__, str(error)]
        out["bokeh loaded"] = "bokeh" in sys.modules
        print(json.dumps(out))
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == {
        "layers": [0, 1],
        "get_circuit_figure": ["ImportError", "Bokeh is required for digital circuit visualization. "
                               "Install it with: pip install bokeh"],
        # display_circuit imports show first: the interpreter's own error comes through.
        "display_circuit": ["ModuleNotFoundError", "No module named 'bokeh'"],
        "bokeh loaded": False,
    }
