"""The SVG drawing rendered by a real browser: headless Chromium must paint the document at
its declared size, with the wires, boxes and marks where the geometry puts them.

Needs the `chromium` executable (Debian's package); without it these tests are skipped."""

import numpy as np
import pytest

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.gate import CX, RZ, H
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.visualization.diagram import layout, shapes, svg

from browser import CHROMIUM, SKIP_REASON
from browser import screenshot as screenshot_page

pytestmark = pytest.mark.skipif(CHROMIUM is None, reason=SKIP_REASON)
PAGE = (150, 150, 150)   # the page around the drawing, unlike anything the drawing paints


def screenshot(document, width, height, folder):
    page = folder / "drawing.html"
    page.write_text(f'<!DOCTYPE html><html><body style="margin:20px;background:rgb{PAGE}">'
                    f"{document}</body></html>", encoding="utf-8")
    return screenshot_page(page, folder / "drawing.png", width + 40, height + 40)


def test_browser_paints_the_drawing_at_its_size_with_every_part_in_place(tmp_path):
    circuit = DigitalCircuit(3, [
        H([0]), CX([0, 2]), RZ([1], [0.5]), Measurement([0]),
        ConditionalInstruction(H([2]), ClassicalCondition([0], 1))], n_cbits=1)
    drawing = layout(circuit)
    width, height, left, centres = shapes.geometry(drawing)
    pixels = screenshot(svg.render_svg(drawing), width, height, tmp_path)

    # The document's white background covers exactly width x height px at the page margin.
    drawn = np.nonzero(np.any(pixels != PAGE, axis=2))
    assert (drawn[0].min(), drawn[1].min()) == (20, 20)
    assert (drawn[0].max() + 1 - 20, drawn[1].max() + 1 - 20) == (height, width)

    def at(x, y):
        return pixels[20 + y, 20 + x]

    def wire_y(w):
        return shapes.TOP + w * shapes.PITCH

    dark = lambda p: p.max() < 90  # noqa: E731
    white = lambda p: p.min() > 240  # noqa: E731

    def line_at(x, y):  # a one-pixel line at a whole coordinate lands on either side of it
        return dark(at(x, y)) or dark(at(x, y - 1))

    # Every wire runs from after its name to the right margin.
    for w in range(drawing.n_wires):
        for y in ([wire_y(w)] if w < drawing.n_qubits else [wire_y(w) - 2, wire_y(w) + 2]):
            assert line_at(left + 2, y) and line_at(width - shapes.MARGIN - 2, y)
    column = {(item.index, item.part): c for c, items in enumerate(drawing.columns) for item in items}
    # The H box on q0: white inside, with its text dark somewhere near the centre.
    x = centres[column[0, 0]]
    assert white(at(x - shapes.BOX_HEIGHT // 2 + 3, wire_y(0) - shapes.BOX_HEIGHT // 2 + 3))
    assert any(dark(at(x + dx, wire_y(0) + dy)) for dx in range(-4, 5) for dy in range(-5, 6))
    # The CX: a filled control dot on q0, the line crossing q1 down to the target ring on q2.
    x = centres[column[1, 0]]
    assert dark(at(x + 2, wire_y(0) + 2))
    assert all(dark(at(x, y)) or dark(at(x - 1, y)) for y in range(wire_y(0), wire_y(2), 5))
    assert dark(at(x + 9, wire_y(2))) and white(at(x + 5, wire_y(2) - 5))
    # The measurement box is tinted, and its double line reaches the classical wire.
    x = centres[column[3, 0]]
    assert tuple(at(x - 10, wire_y(0) - 8)) == (0xE8, 0xEE, 0xF6)
    for y in range(wire_y(0) + shapes.BOX_HEIGHT // 2 + 2, wire_y(3), 5):
        assert dark(at(x - 2, y)) or dark(at(x - 3, y))
        assert dark(at(x + 2, y)) or dark(at(x + 1, y))
    # The condition: a filled mark on c0 under the conditional H, with its text below.
    x = centres[column[4, 0]]
    assert dark(at(x, wire_y(3)))
    below = [at(x + dx, wire_y(3) + dy) for dx in range(-25, 26) for dy in range(10, 20)]
    assert any(dark(p) for p in below)
