"""The drawing as a static SVG document, and as an HTML page that embeds it.

The document stays small for large circuits: all wires and vertical lines are one path each,
all boxes one path, marks are `<use>` references to a few shapes in `<defs>`, and styling is
a short style sheet, so an instruction costs a few dozen bytes. A wide circuit gives a wide
document, which scrolls in a browser (the HTML page scrolls it in a frame).
"""

from __future__ import annotations

import html

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.visualization.diagram.labels import (
    BIT, BIT_ONE, BIT_ZERO, DOT, METER, OPLUS, RESULT, SWAP,
)
from norvane.quantum.visualization.diagram.layout import Layout, layout
from norvane.quantum.visualization.diagram.shapes import (
    BOX_HEIGHT, METER_FILL, NOTE, WIRE_NAME, shapes,
)

__all__ = ["to_svg", "to_html", "render_svg"]

_USES = {DOT: "d", BIT_ONE: "d", BIT_ZERO: "o", BIT: "k", OPLUS: "x", SWAP: "s", RESULT: "r"}
_STYLE = (".w,.b,.m{stroke:#000;shape-rendering:crispEdges}.w{fill:none}.b{fill:#fff}"
          f".m{{fill:{METER_FILL}}}"
          "text{font:13px monospace;text-anchor:middle;dominant-baseline:central}"
          ".n{font-size:11px}.l{text-anchor:end}")
_DEFS = ('<circle id="d" r="5"/><circle id="o" r="5" fill="#fff" stroke="#000"/>'
         '<path id="k" d="M0-6L6 0 0 6-6 0z"/>'
         '<g id="x"><circle r="9" fill="#fff" stroke="#000"/>'
         '<path d="M-9 0H9M0-9V9" stroke="#000" shape-rendering="crispEdges"/></g>'
         '<path id="s" d="M-6-6L6 6M-6 6L6-6" stroke="#000" stroke-width="2"/>'
         '<path id="r" d="M-5-7H5L0 0z"/>')
_TEXT_CLASS = {WIRE_NAME: ' class="l"', NOTE: ' class="n"'}


def render_svg(drawing: Layout, title: str | None = None) -> str:
    """The SVG document of a `Layout` (see `to_svg`)."""
    drawn = shapes(drawing)
    width, height = drawn.width, drawn.height
    wires = [f"M{x0} {y0}H{x1}" for x0, y0, x1, _ in drawn.wires]
    lines = [f"M{x0} {y0}V{y1}" for x0, y0, _, y1 in drawn.links]
    boxes: list[str] = []
    meters: list[str] = []
    for box in drawn.boxes:
        shape = (f"M{box.x - box.half} {box.y - BOX_HEIGHT // 2}h{2 * box.half}v{BOX_HEIGHT}"
                 f"h{-2 * box.half}z")
        (meters if box.kind == METER else boxes).append(shape)
    texts = [f'<text{_TEXT_CLASS.get(label.role, "")} x="{label.x}" y="{label.y}">'
             f"{html.escape(label.text)}</text>" for label in drawn.labels]
    uses = [f'<use href="#{_USES[mark.kind]}" x="{mark.x}" y="{mark.y}"/>' for mark in drawn.marks]
    head = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}">')
    if title:
        head += f"<title>{html.escape(title)}</title>"
    parts = [head, f"<style>{_STYLE}</style><defs>{_DEFS}</defs>",
             '<rect width="100%" height="100%" fill="#fff"/>']
    for css, paths in (("w", wires), ("w", lines), ("b", boxes), ("m", meters)):
        if paths:
            parts.append(f'<path class="{css}" d="{"".join(paths)}"/>')
    parts += texts
    parts += uses
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def _title(circuit: DigitalCircuit, title: str | None) -> str:
    if title is not None:
        return str(title)
    return circuit.name if isinstance(circuit.name, str) and circuit.name else "circuit"


def to_svg(circuit: DigitalCircuit, *, title: str | None = None, precision: int = 3) -> str:
    """The circuit as a standalone SVG document (UTF-8 text): one wire per qubit (q0 at the
    top) and per classical bit, every instruction in a column of its own wires. `title`
    (default: the circuit's name) becomes the document's title."""
    return render_svg(layout(circuit, precision=precision), _title(circuit, title))


def to_html(circuit: DigitalCircuit, *, title: str | None = None, precision: int = 3) -> str:
    """A standalone HTML page (no scripts, no network) showing `to_svg(circuit)` under a
    heading, in a frame that scrolls when the drawing is wider or taller than the window."""
    drawing = layout(circuit, precision=precision)
    heading = html.escape(_title(circuit, title))
    items = sum(len(column) for column in drawing.columns)
    summary = (f"{drawing.n_qubits} qubit(s), {drawing.n_cbits} classical bit(s), "
               f"{len(circuit.instructions)} instruction(s) in {len(drawing.columns)} column(s)"
               + ("" if items == len(circuit.instructions) else f" ({items} drawn items)"))
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<title>{heading}</title><style>body{{margin:16px;font-family:sans-serif}}"
            "h1{font-size:18px;margin:0 0 4px}p{margin:0 0 12px;color:#555}"
            ".frame{overflow:auto;max-height:90vh;border:1px solid #ccc}"
            ".frame svg{display:block}</style></head>\n"
            f"<body><h1>{heading}</h1><p>{summary}</p><div class=\"frame\">\n"
            + render_svg(drawing) + "</div></body></html>\n")
