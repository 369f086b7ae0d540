"""The drawing as an interactive Bokeh figure (the `plot` extra, imported when first needed).

It draws the shapes the SVG document draws (`shapes.shapes`), at one data unit per px with
the y axis pointing down, in five glyph renderers whatever the circuit's size: one multi-line
for every wire and vertical line, one quad for the boxes, one scatter for the marks and one
text glyph for the labels, each from one ColumnDataSource. Hovering a box or mark shows its
instruction in full: position in the circuit, gate, targets, parameters at full precision,
and the classical bits it writes or its condition.
"""

from __future__ import annotations

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.visualization.diagram.labels import (
    BIT, BIT_ONE, BIT_ZERO, DOT, METER, OPLUS, RESULT, SWAP,
)
from norvane.quantum.visualization.diagram.layout import condition_text, layout
from norvane.quantum.visualization.diagram.shapes import (
    BOX_HEIGHT, METER_FILL, NOTE, WIRE_NAME, shapes,
)
from norvane.quantum.visualization.diagram.svg import _title

__all__ = ["to_bokeh", "MAX_WIDTH"]

MAX_WIDTH = 1200     # px; a wider drawing opens on its first part and pans
_FONT_SIZE = {NOTE: "11px"}
# Mark kind -> (Bokeh marker, size in px, fill colour, line width).
_MARKERS = {
    DOT: ("circle", 10, "black", 1), BIT_ONE: ("circle", 10, "black", 1),
    BIT_ZERO: ("circle", 10, "white", 1), BIT: ("diamond", 14, "black", 1),
    OPLUS: ("circle_cross", 18, "white", 1), SWAP: ("x", 12, "black", 2),
    RESULT: ("inverted_triangle", 10, "black", 1),
}
_DESCRIBED = ("gate", "targets", "parameters", "classical")
_TOOLTIPS = [("instruction", "@instruction"), ("gate", "@gate"), ("targets", "@targets"),
             ("parameters", "@parameters"), ("classical", "@classical")]


def _bokeh():
    try:
        from bokeh.core.properties import value
        from bokeh.models import (
            ColumnDataSource, HoverTool, PanTool, Range1d, ResetTool, SaveTool, WheelZoomTool,
        )
        from bokeh.plotting import figure
    except ImportError as error:
        raise ImportError("the interactive circuit drawing needs Bokeh: install it with "
                          "pip install 'norvane-quantum[plot]'") from error
    return (value, ColumnDataSource, HoverTool, PanTool, Range1d, ResetTool, SaveTool,
            WheelZoomTool, figure)


def _qubits(qubits) -> str:
    return ", ".join(f"q{q}" for q in qubits)


def _describe(instruction) -> dict[str, str]:
    """The hover columns of one instruction: gate, targets, parameters (literals exactly as
    stored, symbolic ones by expression) and classical (bits written, or the condition)."""
    if isinstance(instruction, Measurement):
        bits = instruction.bits or instruction.qubits
        written = ", ".join(f"q{q} -> c{b}" for q, b in zip(instruction.qubits, bits))
        return {"gate": f"Measurement ({instruction.basis.name} basis)",
                "targets": _qubits(instruction.qubits), "parameters": "",
                "classical": written or "(no bits written)"}
    condition = ""
    if isinstance(instruction, ConditionalInstruction):
        condition = "if " + condition_text(instruction.condition)
        instruction = instruction.instruction
    params = getattr(instruction, "params", None) or ()
    return {"gate": instruction.print_node(), "targets": _qubits(instruction.targets),
            "parameters": ", ".join(p.print_node() for p in params), "classical": condition}


def _columns(rows, instructions, described) -> dict[str, list]:
    """The hover columns for rows of boxes or marks, one description per instruction."""
    columns: dict[str, list] = {key: [] for key in ("instruction", *_DESCRIBED)}
    for row in rows:
        text = described.get(row.instruction)
        if text is None:
            text = described[row.instruction] = _describe(instructions[row.instruction])
        columns["instruction"].append(row.instruction)
        for key in _DESCRIBED:
            columns[key].append(text[key])
    return columns


def to_bokeh(circuit: DigitalCircuit, *, title: str | None = None, precision: int = 3):
    """The drawing of `to_svg(circuit)` as a Bokeh figure: each instruction described on
    hover, pan and wheel zoom along the wires (the wires stay in view), at most MAX_WIDTH px
    wide, showing the first part of a wider drawing. `title` defaults to the circuit's name.
    ImportError when Bokeh is missing."""
    drawing = layout(circuit, precision=precision)
    (value, ColumnDataSource, HoverTool, PanTool, Range1d, ResetTool, SaveTool, WheelZoomTool,
     figure) = _bokeh()
    drawn = shapes(drawing)
    width, height = drawn.width, drawn.height
    shown = min(width, MAX_WIDTH)
    instructions = circuit.instructions
    described: dict[int, dict[str, str]] = {}

    lines = drawn.wires + drawn.links
    line_source = ColumnDataSource({"xs": [[x0, x1] for x0, _, x1, _ in lines],
                                    "ys": [[y0, y1] for _, y0, _, y1 in lines]})
    half_height = BOX_HEIGHT / 2
    box_source = ColumnDataSource({
        "left": [b.x - b.half for b in drawn.boxes], "right": [b.x + b.half for b in drawn.boxes],
        "top": [b.y - half_height for b in drawn.boxes], "bottom": [b.y + half_height for b in drawn.boxes],
        "fill": [METER_FILL if b.kind == METER else "white" for b in drawn.boxes],
        **_columns(drawn.boxes, instructions, described)})
    styles = [_MARKERS[m.kind] for m in drawn.marks]
    mark_source = ColumnDataSource({
        "x": [m.x for m in drawn.marks], "y": [m.y for m in drawn.marks],
        "marker": [s[0] for s in styles], "size": [s[1] for s in styles],
        "fill": [s[2] for s in styles], "line_width": [s[3] for s in styles],
        **_columns(drawn.marks, instructions, described)})
    label_source = ColumnDataSource({
        "x": [label.x for label in drawn.labels], "y": [label.y for label in drawn.labels],
        "text": [label.text for label in drawn.labels],
        "align": ["right" if label.role == WIRE_NAME else "center" for label in drawn.labels],
        "size": [_FONT_SIZE.get(label.role, "13px") for label in drawn.labels]})

    hover = HoverTool(tooltips=_TOOLTIPS)
    fig = figure(
        title=_title(circuit, title), frame_width=shown, frame_height=height,
        x_range=Range1d(0, shown, bounds=(0, width)),
        # Reversed, so y grows downwards as in the shapes; no tool moves it.
        y_range=Range1d(height, 0, bounds=(0, height)),
        tools=[PanTool(dimensions="width"), WheelZoomTool(dimensions="width"), ResetTool(),
               SaveTool(), hover],
        active_drag="auto", active_scroll="auto", toolbar_location="above", min_border=0,
        background_fill_color="white", outline_line_color=None)
    fig.axis.visible = False
    fig.grid.visible = False
    fig.multi_line("xs", "ys", source=line_source, line_color="black", line_width=1)
    boxes = fig.quad(left="left", right="right", top="top", bottom="bottom", source=box_source,
                     fill_color="fill", line_color="black", line_width=1)
    marks = fig.scatter("x", "y", source=mark_source, marker="marker", size="size",
                        fill_color="fill", line_color="black", line_width="line_width")
    fig.text("x", "y", text="text", source=label_source, text_align="align",
             text_baseline="middle", text_font=value("monospace"), text_font_size="size",
             text_color="black")
    hover.renderers = [boxes, marks]
    return fig
