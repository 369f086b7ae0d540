"""Where every part of the drawing goes, in px (y downwards), for any renderer.

The SVG document and the Bokeh figure both draw these shapes: wires and vertical lines as
segments, boxes by their centre and half width, marks by their centre and glyph kind, and
labels with the role that decides their font and alignment. Boxes and marks name the
instruction (and measured qubit) they belong to, so a renderer can describe it.
"""

from __future__ import annotations

import math
from typing import NamedTuple

from norvane.quantum.visualization.diagram.labels import BOX, METER
from norvane.quantum.visualization.diagram.layout import Layout

__all__ = ["Box", "Mark", "Label", "Shapes", "WIRE_NAME", "BOX_TEXT", "NOTE", "geometry", "shapes"]

CHAR_WIDTH = 7.8     # px per character of the 13 px monospace font (0.6 em)
NOTE_CHAR_WIDTH = 6.6
PITCH = 40           # px between wires
BOX_HEIGHT = 24
MARGIN = 12
TOP = 28             # y of the first wire
BOTTOM = 30          # room under the last wire for a condition's text
NOTE_OFFSET = 15     # a condition's text is this far under its last wire
LABEL_GAP = 6        # between a wire's name and the wire's start
CLASSICAL_GAP = 2    # half the distance between the two lines of a classical wire or link
METER_FILL = "#e8eef6"

# Label roles: a wire's name (right-aligned, ending before the wire), a box's text and a
# condition's text (a smaller font), both centred.
WIRE_NAME = "wire"
BOX_TEXT = "box"
NOTE = "note"


class Box(NamedTuple):
    """A BOX or METER glyph: BOX_HEIGHT tall, 2 * half wide, centred on (x, y)."""

    x: int
    y: int
    half: int
    kind: str
    text: str
    instruction: int
    part: int


class Mark(NamedTuple):
    """A fixed mark (DOT, OPLUS, ... from `labels`) centred on (x, y)."""

    x: int
    y: int
    kind: str
    instruction: int
    part: int


class Label(NamedTuple):
    x: int
    y: int
    text: str
    role: str


class Shapes(NamedTuple):
    """The whole drawing: `wires` and `links` are segments (x0, y0, x1, y1), horizontal for
    wires and vertical for links, a classical one drawn as two segments CLASSICAL_GAP px
    either side of its line. Labels come wire names first, then in drawing order."""

    width: int
    height: int
    wires: list[tuple[int, int, int, int]]
    links: list[tuple[int, int, int, int]]
    boxes: list[Box]
    marks: list[Mark]
    labels: list[Label]


def box_half(text: str) -> int:
    return max(12, math.ceil(len(text) * CHAR_WIDTH / 2) + 6)


def wire_y(wire: int) -> int:
    return TOP + wire * PITCH


def geometry(drawing: Layout) -> tuple[int, int, int, list[int]]:
    """(width, height, x where the wires start, x of each column's centre) in px."""
    left = MARGIN + math.ceil(max(map(len, drawing.wire_names), default=0) * CHAR_WIDTH) + 8
    x, centres = left + MARGIN, []
    for items in drawing.columns:
        half = 12
        for item in items:
            for glyph in item.glyphs:
                if glyph.kind in (BOX, METER):
                    half = max(half, box_half(glyph.text))
            if item.note:
                half = max(half, math.ceil(len(item.note) * NOTE_CHAR_WIDTH / 2) + 2)
        centres.append(x + half)
        x += 2 * half + MARGIN
    width = x + MARGIN
    height = TOP + max(drawing.n_wires - 1, 0) * PITCH + BOTTOM
    return width, height, left, centres


def shapes(drawing: Layout) -> Shapes:
    """Every wire, line, box, mark and label of the drawing of `drawing`."""
    width, height, left, centres = geometry(drawing)
    right = width - MARGIN
    gap = CLASSICAL_GAP
    wires, links, boxes, marks, labels = [], [], [], [], []
    for w, name in enumerate(drawing.wire_names):
        y = wire_y(w)
        if w < drawing.n_qubits:
            wires.append((left, y, right, y))
        else:
            wires += [(left, y - gap, right, y - gap), (left, y + gap, right, y + gap)]
        labels.append(Label(left - LABEL_GAP, y, name, WIRE_NAME))
    for items, x in zip(drawing.columns, centres):
        for item in items:
            if item.link:
                links.append((x, wire_y(item.link[0]), x, wire_y(item.link[1])))
            if item.classical_link:
                y1, y2 = wire_y(item.classical_link[0]), wire_y(item.classical_link[1])
                links += [(x - gap, y1, x - gap, y2), (x + gap, y1, x + gap, y2)]
            for glyph in item.glyphs:
                y = wire_y(glyph.wire)
                if glyph.kind in (BOX, METER):
                    boxes.append(Box(x, y, box_half(glyph.text), glyph.kind, glyph.text,
                                     item.index, item.part))
                    labels.append(Label(x, y, glyph.text, BOX_TEXT))
                else:
                    marks.append(Mark(x, y, glyph.kind, item.index, item.part))
            if item.note:
                labels.append(Label(x, wire_y(item.bottom) + NOTE_OFFSET, item.note, NOTE))
    return Shapes(width, height, wires, links, boxes, marks, labels)
