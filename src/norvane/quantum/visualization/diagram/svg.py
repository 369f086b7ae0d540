"""The drawing as a static SVG document, and as an HTML page that embeds it.

The document stays small for large circuits: all wires and vertical lines are one path each,
all boxes one path, marks are `<use>` references to a few shapes in `<defs>`, and styling is
a short style sheet, so an instruction costs a few dozen bytes. A wide circuit gives a wide
document, which scrolls in a browser (the HTML page scrolls it in a frame).
"""

from __future__ import annotations

import html
import math

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.visualization.diagram.labels import (
    BIT, BIT_ONE, BIT_ZERO, BOX, DOT, METER, OPLUS, RESULT, SWAP,
)
from norvane.quantum.visualization.diagram.layout import Layout, layout

__all__ = ["to_svg", "to_html", "render_svg", "geometry"]

CHAR_WIDTH = 7.8     # px per character of the 13 px monospace font (0.6 em)
NOTE_CHAR_WIDTH = 6.6
PITCH = 40           # px between wires
BOX_HEIGHT = 24
MARGIN = 12
TOP = 28             # y of the first wire
BOTTOM = 30          # room under the last wire for a condition's text

_USES = {DOT: "d", BIT_ONE: "d", BIT_ZERO: "o", BIT: "k", OPLUS: "x", SWAP: "s", RESULT: "r"}
_STYLE = (".w,.b,.m{stroke:#000;shape-rendering:crispEdges}.w{fill:none}.b{fill:#fff}"
          ".m{fill:#e8eef6}"
          "text{font:13px monospace;text-anchor:middle;dominant-baseline:central}"
          ".n{font-size:11px}.l{text-anchor:end}")
_DEFS = ('<circle id="d" r="5"/><circle id="o" r="5" fill="#fff" stroke="#000"/>'
         '<path id="k" d="M0-6L6 0 0 6-6 0z"/>'
         '<g id="x"><circle r="9" fill="#fff" stroke="#000"/>'
         '<path d="M-9 0H9M0-9V9" stroke="#000" shape-rendering="crispEdges"/></g>'
         '<path id="s" d="M-6-6L6 6M-6 6L6-6" stroke="#000" stroke-width="2"/>'
         '<path id="r" d="M-5-7H5L0 0z"/>')


def _box_half(text: str) -> int:
    return max(12, math.ceil(len(text) * CHAR_WIDTH / 2) + 6)


def geometry(drawing: Layout) -> tuple[int, int, int, list[int]]:
    """(width, height, x where the wires start, x of each column's centre) in px."""
    left = MARGIN + math.ceil(max(map(len, drawing.wire_names), default=0) * CHAR_WIDTH) + 8
    x, centres = left + MARGIN, []
    for items in drawing.columns:
        half = 12
        for item in items:
            for glyph in item.glyphs:
                if glyph.kind in (BOX, METER):
                    half = max(half, _box_half(glyph.text))
            if item.note:
                half = max(half, math.ceil(len(item.note) * NOTE_CHAR_WIDTH / 2) + 2)
        centres.append(x + half)
        x += 2 * half + MARGIN
    width = x + MARGIN
    height = TOP + max(drawing.n_wires - 1, 0) * PITCH + BOTTOM
    return width, height, left, centres


def render_svg(drawing: Layout, title: str | None = None) -> str:
    """The SVG document of a `Layout` (see `to_svg`)."""
    width, height, left, centres = geometry(drawing)
    right = width - MARGIN
    n_qubits = drawing.n_qubits
    wires, lines, boxes, meters, texts, uses = [], [], [], [], [], []
    for w, name in enumerate(drawing.wire_names):
        y = TOP + w * PITCH
        if w < n_qubits:
            wires.append(f"M{left} {y}H{right}")
        else:
            wires.append(f"M{left} {y - 2}H{right}M{left} {y + 2}H{right}")
        texts.append(f'<text class="l" x="{left - 6}" y="{y}">{name}</text>')
    for items, x in zip(drawing.columns, centres):
        for item in items:
            if item.link:
                lines.append(f"M{x} {TOP + item.link[0] * PITCH}V{TOP + item.link[1] * PITCH}")
            if item.classical_link:
                y1, y2 = TOP + item.classical_link[0] * PITCH, TOP + item.classical_link[1] * PITCH
                lines.append(f"M{x - 2} {y1}V{y2}M{x + 2} {y1}V{y2}")
            for glyph in item.glyphs:
                y = TOP + glyph.wire * PITCH
                if glyph.kind in (BOX, METER):
                    half = _box_half(glyph.text)
                    shape = f"M{x - half} {y - BOX_HEIGHT // 2}h{2 * half}v{BOX_HEIGHT}h{-2 * half}z"
                    (meters if glyph.kind == METER else boxes).append(shape)
                    texts.append(f'<text x="{x}" y="{y}">{html.escape(glyph.text)}</text>')
                else:
                    uses.append(f'<use href="#{_USES[glyph.kind]}" x="{x}" y="{y}"/>')
            if item.note:
                y = TOP + item.bottom * PITCH + 15
                texts.append(f'<text class="n" x="{x}" y="{y}">{html.escape(item.note)}</text>')
    head = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}">')
    if title:
        head += f"<title>{html.escape(title)}</title>"
    parts = [head, f"<style>{_STYLE}</style><defs>{_DEFS}</defs>",
             '<rect width="100%" height="100%" fill="#fff"/>']
    for css, shapes in (("w", wires), ("w", lines), ("b", boxes), ("m", meters)):
        if shapes:
            parts.append(f'<path class="{css}" d="{"".join(shapes)}"/>')
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
