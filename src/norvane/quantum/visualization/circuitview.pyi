"""
Circuit figures: one horizontal wire per qubit (q0 at the top), gates packed into layer
columns greedily from left to right, two-qubit gates as a control dot joined to a target
box, measurements as boxes marked M. The plotting library (Bokeh) is imported when a
figure is first requested. The style constants are read at every call.
"""

from bokeh.plotting import figure

from norvane.quantum.ir.digital.circuit import DigitalCircuit



WIRE_SPACING: int = 60

LAYER_WIDTH: int = 70

LEFT_MARGIN: int = 80

TOP_MARGIN: int = 40

GATE_SIZE: int = 42

WIRE_COLOR: str = '#94A3B8'

GATE_COLOR_1Q: str = '#06B6D4'

GATE_COLOR_2Q: str = '#F59E0B'

GATE_COLOR_3Q: str = '#EF4444'

MEASURE_COLOR: str = '#10B981'

TEXT_COLOR: str = '#1E293B'

BACKGROUND_COLOR: str = '#FAFAFA'

def get_circuit_figure(circuit: DigitalCircuit, **assignments: object) -> figure:
    """
    The circuit drawn as a Bokeh figure (keyword arguments are accepted and ignored).

    Raises ImportError when Bokeh is not installed.
    """

def display_circuit(circuit: DigitalCircuit, **assignments: object) -> None:
    """
    Builds the figure with get_circuit_figure(circuit, **assignments) and shows it with
    bokeh.plotting.show (a browser tab, or the notebook's output). Returns None.
    """

__all__: list[str] = ['get_circuit_figure', 'display_circuit']
