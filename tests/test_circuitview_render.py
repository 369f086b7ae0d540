"""The circuit figure rendered by a real browser: a standalone page with inline resources is
opened in headless Chromium, and the screenshot must show each box, dot and connector in its
colour where the layer and wire geometry puts it.

Needs the `chromium` executable (Debian's package): `make test-render` installs it and runs
these tests; without it they are skipped."""

import numpy as np
import pytest

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.gate import CCX, CX, H
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.visualization import circuitview

from browser import CHROMIUM, SKIP_REASON
from browser import screenshot as screenshot_page

pytest.importorskip("bokeh", reason="Bokeh (the 'plot' extra) is not installed")
pytestmark = pytest.mark.skipif(CHROMIUM is None, reason=SKIP_REASON)


def rgb(hex_color):
    return np.array([int(hex_color[i:i + 2], 16) for i in (1, 3, 5)], dtype=float)


def screenshot(fig, folder):
    """The page of `fig` (inline Bokeh resources, no network) as rendered by Chromium."""
    from bokeh.embed import file_html
    from bokeh.resources import INLINE

    page = folder / "figure.html"
    page.write_text(file_html(fig, INLINE, "circuit"), encoding="utf-8")
    return screenshot_page(page, folder / "figure.png", fig.width + 80, fig.height + 80,
                           virtual_time_ms=15000, dtype=float)


class Frame:
    """Maps figure coordinates to screenshot pixels. The plot frame is the large area painted
    in the background colour (rows and columns mostly of that colour; a toolbar icon may hold
    a few such pixels too), and the ranges (0, width) and (0, height) span it exactly."""

    def __init__(self, pixels, fig):
        painted = np.all(pixels == rgb(circuitview.BACKGROUND_COLOR), axis=2)
        assert painted.sum() > fig.width * fig.height / 4, "no plot frame: the figure did not render"
        row_counts, col_counts = painted.sum(axis=1), painted.sum(axis=0)
        rows = np.nonzero(row_counts > row_counts.max() / 2)[0]
        cols = np.nonzero(col_counts > col_counts.max() / 2)[0]
        self.pixels = pixels
        self.top, self.left = rows.min(), cols.min()
        self.sx = (cols.max() + 1 - self.left) / fig.width
        self.sy = (rows.max() + 1 - self.top) / fig.height
        self.height = fig.height

    def colour_at(self, x, y):
        col = int(self.left + x * self.sx)
        row = int(self.top + (self.height - y) * self.sy)
        return self.pixels[row, col]

    def box_fill(self, x, y):
        """A point of a box centred at (x, y) clear of its outline, its label and its wire."""
        return self.colour_at(x - 12, y + 12)


def assert_colour(actual, expected, tolerance=4):
    assert np.abs(actual - expected).max() <= tolerance, (actual, expected)


def test_browser_draws_every_part_where_the_geometry_puts_it(tmp_path):
    circuit = DigitalCircuit(3, [H([0]), CX([0, 1]), CCX([0, 1, 2]), Measurement([0, 1, 2])], name="render")
    fig = circuitview.get_circuit_figure(circuit)
    frame = Frame(screenshot(fig, tmp_path), fig)
    assert frame.sx > 0.9 and frame.sy > 0.75  # the frame fills most of the figure

    def qubit_y(q):
        return fig.height - circuitview.TOP_MARGIN - q * circuitview.WIRE_SPACING

    def layer_x(layer):
        return circuitview.LEFT_MARGIN + layer * circuitview.LAYER_WIDTH + circuitview.LAYER_WIDTH / 2

    background, ink = rgb(circuitview.BACKGROUND_COLOR), rgb(circuitview.TEXT_COLOR)
    assert_colour(frame.box_fill(layer_x(0), qubit_y(0)), rgb(circuitview.GATE_COLOR_1Q))
    assert_colour(frame.box_fill(layer_x(0), qubit_y(1)), background)  # nothing on q1 in layer 0
    assert_colour(frame.colour_at(layer_x(1), qubit_y(0)), ink)  # control dot
    assert_colour(frame.box_fill(layer_x(1), qubit_y(1)), rgb(circuitview.GATE_COLOR_2Q))
    connector = frame.colour_at(layer_x(1), (qubit_y(0) + qubit_y(1)) / 2)
    assert np.abs(connector - ink).max() < np.abs(connector - background).max()
    # The three-qubit box is translucent (fill alpha 0.85) over the background.
    blended = 0.85 * rgb(circuitview.GATE_COLOR_3Q) + 0.15 * background
    for y in (qubit_y(0) - 20, qubit_y(1) - 20, qubit_y(2) + 20):
        assert_colour(frame.colour_at(layer_x(2) - 12, y), blended)
    for q in range(3):
        assert_colour(frame.box_fill(layer_x(3), qubit_y(q)), rgb(circuitview.MEASURE_COLOR))
        # The wire shows left of the first layer, and the white "M" inside the box.
        wire = [frame.colour_at(circuitview.LEFT_MARGIN - 10, qubit_y(q) + dy) for dy in (-1, 0, 1)]
        assert min(np.abs(w - rgb(circuitview.WIRE_COLOR)).max() for w in wire) < 40
        label = [frame.colour_at(layer_x(3) + dx, qubit_y(q) + dy) for dx in range(-6, 7) for dy in range(-6, 7)]
        assert max(p.min() for p in label) > 230
