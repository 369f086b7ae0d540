"""The drawing in Unicode box-drawing characters, folded into pages of a given width.

A qubit wire is drawn on three rows, the wire and a row above and below it for box borders and
vertical lines; the row below one wire and the row above the next are then merged into one
(two boxes stacked share a border, as in ├───┤). Classical wires take one row each, with the
conditions written on a row under the last one: at most one instruction per column reaches
the classical wires, as each spans down from a qubit. Columns are as wide as their widest box or
condition; every box of a column takes its full width, so stacked boxes line up, and every
vertical line and mark sits on the column's centre.
"""

from __future__ import annotations

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.visualization.diagram.labels import (
    BIT, BIT_ONE, BIT_ZERO, BOX, DOT, METER, OPLUS, RESULT, SWAP,
)
from norvane.quantum.visualization.diagram.layout import Item, Layout, layout

__all__ = ["to_text", "render_text"]

_MARKS = {DOT: "●", OPLUS: "⊕", SWAP: "╳", BIT_ONE: "■", BIT_ZERO: "□", BIT: "●", RESULT: "╩"}
_QUANTUM, _CLASSICAL = "─", "═"
# (row below a wire, row above the next wire) -> the merged character where both are drawn.
# A column's boxes all have its width, so stacked borders meet corner to corner.
_MERGED = {
    ("─", "─"): "─", ("└", "┌"): "├", ("┘", "┐"): "┤", ("┬", "┴"): "┼", ("┬", "│"): "┬",
    ("│", "┴"): "┴", ("│", "│"): "│", ("╥", "║"): "╥", ("║", "║"): "║",
}


def _column_width(items) -> int:
    need = 3
    for item in items:
        for glyph in item.glyphs:
            if glyph.kind in (BOX, METER):
                need = max(need, len(glyph.text) + 4)
        if item.note:
            need = max(need, len(item.note) + 2)
    return need


def _centred(text: str, width: int) -> str:
    left = (width - len(text)) // 2
    return " " * left + text + " " * (width - len(text) - left)


def _centre(width: int) -> int:
    return (width - 1) // 2


def _vertical(width: int, char: str) -> str:
    if not char:
        return " " * width
    c = _centre(width)
    return " " * c + char + " " * (width - c - 1)


def _border(width: int, ends: str, joint: str) -> str:
    """A box's top or bottom border (`ends` its corners), `joint` where a line meets it."""
    c = _centre(width)
    return ends[0] + "─" * (c - 1) + (joint or "─") + "─" * (width - c - 2) + ends[1]


def _draw(rows: list[str], item: Item, width: int, n_qubits: int) -> None:
    c = _centre(width)
    glyphs = {glyph.wire: glyph for glyph in item.glyphs}
    link, classical = item.link, item.classical_link
    for w in range(item.top, item.bottom + 1):
        up = down = ""
        if link and link[0] < w <= link[1]:
            up = "│"
        if link and link[0] <= w < link[1]:
            down = "│"
        if classical and classical[0] < w <= classical[1]:
            up = "║"
        if classical and classical[0] <= w < classical[1]:
            down = "║"
        fill = _QUANTUM if w < n_qubits else _CLASSICAL
        glyph = glyphs.get(w)
        if glyph is not None and glyph.kind in (BOX, METER):
            rows[3 * w] = _border(width, "┌┐", {"│": "┴", "║": "╨"}.get(up, ""))
            rows[3 * w + 1] = "┤" + _centred(glyph.text, width - 2) + "├"
            rows[3 * w + 2] = _border(width, "└┘", {"│": "┬", "║": "╥"}.get(down, ""))
            continue
        if glyph is not None:
            mark = _MARKS[glyph.kind]
        elif up == "║":
            mark = "╫" if w < n_qubits else "╬"
        else:
            mark = "┼"
        rows[3 * w] = _vertical(width, up)
        rows[3 * w + 1] = fill * c + mark + fill * (width - c - 1)
        rows[3 * w + 2] = _vertical(width, down)
    if item.note:
        rows[-1] = _centred(item.note, width)


def _merge(below: str, above: str, blank: str) -> str:
    if below == blank:
        return above
    if above == blank:
        return below
    return "".join(a if b == " " else b if a == " " else _MERGED.get((a, b), a)
                   for a, b in zip(below, above))


def _column(drawing: Layout, items, notes: bool) -> list[str]:
    """The column's rows: above the first wire, each qubit wire and the row under it, each
    classical wire, and the conditions' row when `notes`."""
    width = _column_width(items)
    blank = " " * width
    rows = []
    for w in range(drawing.n_wires):
        rows += [blank, (_QUANTUM if w < drawing.n_qubits else _CLASSICAL) * width, blank]
    rows.append(blank)
    for item in items:
        _draw(rows, item, width, drawing.n_qubits)
    merged = [rows[0]]
    for w in range(drawing.n_qubits):
        below = rows[3 * w + 2]
        if w + 1 < drawing.n_wires:
            below = _merge(below, rows[3 * w + 3], blank)
        merged += [rows[3 * w + 1], below]
    merged += [rows[3 * w + 1] for w in range(drawing.n_qubits, drawing.n_wires)]
    if notes:
        merged.append(rows[-1])
    return merged


def _pages(columns: list[list[str]], room: int | None) -> list[list[list[str]]]:
    pages, page, used = [], [], 0
    for column in columns:
        width = len(column[0])
        if page and room is not None and used + width > room:
            pages.append(page)
            page, used = [], 0
        page.append(column)
        used += width
    return pages + [page]


def render_text(drawing: Layout, width: int | None = 80) -> str:
    """The text of a `Layout` (see `to_text`)."""
    if drawing.n_wires == 0:
        return ""
    names = drawing.wire_names
    label_width = max(map(len, names)) + 2
    labels = [" " * (label_width + 1)]
    for w, name in enumerate(names):
        fill = _QUANTUM if w < drawing.n_qubits else _CLASSICAL
        labels.append(f"{name}: ".rjust(label_width) + fill)
        if w < drawing.n_qubits:
            labels.append(" " * (label_width + 1))
    notes = any(item.note for items in drawing.columns for item in items)
    if notes:
        labels.append(" " * (label_width + 1))
    tails = [""] + [_QUANTUM, ""] * drawing.n_qubits + [_CLASSICAL] * drawing.n_cbits + [""]
    columns = [_column(drawing, items, notes) for items in drawing.columns]
    room = None if width is None else width - label_width - 2
    out = []
    pages = _pages(columns, room)
    for p, page in enumerate(pages):
        lines = []
        for r, (label, tail) in enumerate(zip(labels, tails)):
            if tail:   # a wire: « where it comes from the page before, » where it goes on
                label = label[:-1] + ("«" if p else label[-1])
                tail = "»" if p + 1 < len(pages) else tail
            lines.append((label + "".join(column[r] for column in page) + tail).rstrip())
        out.append("\n".join(lines))
    return "\n\n".join(out)


def to_text(circuit: DigitalCircuit, *, width: int | None = 80, precision: int = 3) -> str:
    """The circuit drawn in Unicode box-drawing characters, one wire per qubit (q0 at the top)
    and per classical bit. Columns past `width` characters (labels included) go on further
    pages, a blank line apart, whose wires end in » and resume with «; `width=None` draws one
    page. Numbers have
    `precision` significant digits, multiples of π/k are written as such."""
    if width is not None and (isinstance(width, bool) or not isinstance(width, int) or width < 1):
        raise ValueError(f"width must be a positive integer or None, got {width!r}")
    return render_text(layout(circuit, precision=precision), width)
