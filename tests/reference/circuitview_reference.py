"""Literal Python model of the circuit figure: the greedy layer packing and the drawing,
step by step as documented, with the style constants fixed at their documented values."""

from norvane.quantum.ir.digital.gate import Gate
from norvane.quantum.ir.digital.measurement import Measurement

WIRE_SPACING, LAYER_WIDTH, LEFT_MARGIN, TOP_MARGIN, GATE_SIZE = 60, 70, 80, 40, 42
WIRE_COLOR, TEXT_COLOR, BACKGROUND_COLOR = "#94A3B8", "#1E293B", "#FAFAFA"
GATE_COLOR_1Q, GATE_COLOR_2Q, GATE_COLOR_3Q, MEASURE_COLOR = "#06B6D4", "#F59E0B", "#EF4444", "#10B981"


def assign_layers(instructions):
    last = {}
    layers = []
    for inst in instructions:
        if isinstance(inst, Gate):
            qubits = list(inst.targets)
        elif isinstance(inst, Measurement):
            qubits = list(inst.qubits)
        else:
            qubits = []
        layer = 1 + max([last.get(q, -1) for q in qubits], default=-1)
        for q in qubits:
            last[q] = layer
        layers.append(layer)
    return layers


def circuit_figure(circuit):
    from bokeh.plotting import figure
    n_qubits = circuit.n_qubits
    instructions = list(circuit.instructions)
    layers = assign_layers(instructions)
    n_layers = max(layers) + 1 if layers else 0
    width = LEFT_MARGIN + n_layers * LAYER_WIDTH + 60
    height = TOP_MARGIN + n_qubits * WIRE_SPACING + 40

    def qubit_y(q):
        return height - TOP_MARGIN - q * WIRE_SPACING

    def layer_x(layer):
        return LEFT_MARGIN + layer * LAYER_WIDTH + LAYER_WIDTH / 2

    title = f"{circuit.name or 'DigitalCircuit'} ({n_qubits} 量子比特)"
    p = figure(title=title, width=width, height=height, toolbar_location="above",
               background_fill_color=BACKGROUND_COLOR, x_range=(0, width), y_range=(0, height))
    p.grid.visible = False
    p.axis.visible = False
    p.title.text_font_size = "14px"
    p.title.text_color = TEXT_COLOR

    for q in range(n_qubits):
        y = qubit_y(q)
        p.line([LEFT_MARGIN - 20, LEFT_MARGIN + n_layers * LAYER_WIDTH + 30], [y, y],
               line_color=WIRE_COLOR, line_width=1.5)
        p.text([LEFT_MARGIN - 25], [y - 6], text=[f"q{q}"], text_align="right",
               text_baseline="bottom", text_font_size="11px", text_color=TEXT_COLOR)

    def box(x, y, fill, height=GATE_SIZE, **extra):
        p.rect([x], [y], width=GATE_SIZE, height=height, fill_color=fill, line_color=TEXT_COLOR,
               line_width=1, **extra)

    def label(x, y, text, size):
        p.text([x], [y - 7], text=[text], text_align="center", text_baseline="bottom",
               text_font_size=size, text_color="white", text_font_style="bold")

    for inst, layer in zip(instructions, layers):
        x = layer_x(layer)
        if isinstance(inst, Gate):
            targets = list(inst.targets)
            name = inst.print_node()
            ys = [qubit_y(q) for q in targets]
            if len(targets) == 1:
                box(x, ys[0], GATE_COLOR_1Q)
                label(x, ys[0], name, "11px")
            elif len(targets) == 2:
                yc, yt = ys
                p.line([x, x], [min(yc, yt), max(yc, yt)], line_color=TEXT_COLOR, line_width=2)
                p.scatter([x], [yc], size=10, fill_color=TEXT_COLOR, line_color=TEXT_COLOR)
                box(x, yt, GATE_COLOR_2Q)
                label(x, yt, name, "10px")
            elif len(targets) >= 3:
                mean = sum(ys) / len(ys)
                box(x, mean, GATE_COLOR_3Q, height=max(ys) - min(ys) + GATE_SIZE, fill_alpha=0.85)
                label(x, mean, name, "9px")
        elif isinstance(inst, Measurement):
            for q in inst.qubits:
                box(x, qubit_y(q), MEASURE_COLOR)
                label(x, qubit_y(q), "M", "13px")
    return p
