"""The drawing as a Bokeh figure: the same wires, boxes, marks and labels at the same places
as the SVG document, every instruction described on hover, the view along the wires, the
`norvane draw --bokeh` page, and that page painted by headless Chromium."""

import re
import subprocess
import sys
import xml.etree.ElementTree as ET

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings

from norvane.quantum.ir.digital import gate as g
from norvane.quantum.ir.digital import qasm
from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.conditional import ClassicalCondition, ConditionalInstruction
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.ir.scalar import Literal, Variable
from norvane.quantum.visualization.diagram import layout, shapes, to_bokeh, to_svg
from norvane.quantum.visualization.diagram.bokeh_figure import MAX_WIDTH

from browser import CHROMIUM, SKIP_REASON, screenshot
from test_diagram import PUBLIC_STYLE, circuits

pytest.importorskip("bokeh")

SVG = "{http://www.w3.org/2000/svg}"
# The SVG document's mark (its <use> reference) -> the figure's marker and fill.
SVG_MARKS = {"d": ("circle", "black"), "o": ("circle", "white"), "k": ("diamond", "black"),
             "x": ("circle_cross", "white"), "s": ("x", "black"), "r": ("inverted_triangle", "black")}


def sources(fig):
    """The figure's data, by glyph type: MultiLine, Quad, Scatter and Text."""
    found = {type(r.glyph).__name__: r.data_source.data for r in fig.renderers}
    assert len(fig.renderers) == len(found) == 4, "one renderer per kind of shape"
    return found


def rows(data, *keys):
    return list(zip(*(data[key] for key in keys)))


def svg_shapes(document):
    """Segments, boxes (left, top, right, bottom, class), marks and texts of an SVG drawing."""
    root = ET.fromstring(document)
    segments, boxes = [], []
    for path in root.iter(SVG + "path"):
        d, css = path.get("d"), path.get("class")
        if css == "w":
            for x, y, axis, end in re.findall(r"M(-?\d+) (-?\d+)([HV])(-?\d+)", d):
                x, y, end = int(x), int(y), int(end)
                segments.append((x, y, end, y) if axis == "H" else (x, y, x, end))
        elif css in ("b", "m"):
            for x, y, w, h in re.findall(r"M(-?\d+) (-?\d+)h(\d+)v(\d+)h-\d+z", d):
                x, y, w, h = map(int, (x, y, w, h))
                boxes.append((x, y, x + w, y + h, css))
    marks = [(u.get("href")[1:], int(u.get("x")), int(u.get("y"))) for u in root.iter(SVG + "use")]
    texts = [(int(t.get("x")), int(t.get("y")), t.text, t.get("class")) for t in root.iter(SVG + "text")]
    return segments, boxes, marks, texts


def check_figure_matches_svg(circuit):
    fig = to_bokeh(circuit)
    data = sources(fig)
    segments, boxes, marks, texts = svg_shapes(to_svg(circuit))

    assert [(xs[0], ys[0], xs[1], ys[1]) for xs, ys in rows(data["MultiLine"], "xs", "ys")] == segments
    meter_fill = shapes.METER_FILL
    assert sorted(rows(data["Quad"], "left", "top", "right", "bottom", "fill")) == sorted(
        (left, top, right, bottom, meter_fill if css == "m" else "white")
        for left, top, right, bottom, css in boxes)
    assert rows(data["Scatter"], "x", "y", "marker", "fill") == [
        (x, y, *SVG_MARKS[href]) for href, x, y in marks]
    align = {"l": ("right", "13px"), "n": ("center", "11px"), None: ("center", "13px")}
    assert rows(data["Text"], "x", "y", "text", "align", "size") == [
        (x, y, text, *align[css]) for x, y, text, css in texts]
    return fig, data


def check_hover(circuit, data):
    """Each box and mark names the instruction whose item is drawn at its column and wire,
    every instruction is hoverable, and its targets and parameters are given in full."""
    drawing = layout(circuit)
    _, _, _, centres = shapes.geometry(drawing)
    at = {(centres[item.column], shapes.TOP + glyph.wire * shapes.PITCH): item.index
          for column in drawing.columns for item in column for glyph in item.glyphs}
    hovered = set()
    for data_of, x, y in (("Quad", "left", "top"), ("Scatter", "x", "y")):
        columns = data[data_of]
        for row in range(len(columns["instruction"])):
            if data_of == "Quad":
                cx = (columns["left"][row] + columns["right"][row]) / 2
                cy = (columns["top"][row] + columns["bottom"][row]) / 2
            else:
                cx, cy = columns["x"][row], columns["y"][row]
            index = columns["instruction"][row]
            assert at[cx, cy] == index
            hovered.add(index)
            instruction = circuit.instructions[index]
            if isinstance(instruction, ConditionalInstruction):
                assert columns["classical"][row].startswith("if c[")
                instruction = instruction.instruction
            qubits = instruction.qubits if isinstance(instruction, Measurement) else instruction.targets
            assert columns["targets"][row] == ", ".join(f"q{q}" for q in qubits)
            params = getattr(instruction, "params", None) or ()
            shown = columns["parameters"][row].split(", ") if params else []
            assert len(shown) == len(params)
            for text, param in zip(shown, params):
                if isinstance(param, Literal):
                    assert float(text) == param.evaluate()  # every digit kept
                else:
                    assert text == param.print_node()
    assert hovered == set(range(len(circuit.instructions)))


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(circuits())
def test_random_circuits_draw_as_the_svg_does_with_every_instruction_on_hover(circuit):
    _, data = check_figure_matches_svg(circuit)
    check_hover(circuit, data)


def test_hover_describes_gates_measurements_and_conditions_in_full():
    circuit = DigitalCircuit(3, [
        g.CRZ([2, 0], [0.1234567891234567]), g.U3([1], [Variable("theta") * 2, 0.5, "phi"]),
        Measurement([0, 1], [1, 0]),
        ConditionalInstruction(g.X([2]), ClassicalCondition([1, 0], 2)),
        g.CustomGate([1], lambda: [[0, 1], [1, 0]], label="flip")], n_cbits=2)
    fig, data = check_figure_matches_svg(circuit)
    check_hover(circuit, data)
    described = {}
    for name in ("Quad", "Scatter"):
        for row in rows(data[name], "instruction", "gate", "targets", "parameters", "classical"):
            described.setdefault(row[0], set()).add(row[1:])
    assert described == {
        0: {("CRZ", "q2, q0", "0.1234567891234567", "")},
        1: {("U3", "q1", "(theta * 2), 0.5, phi", "")},
        2: {("Measurement (Z basis)", "q0, q1", "", "q0 -> c1, q1 -> c0")},
        3: {("X", "q2", "", "if c[1,0]==2")},
        4: {("flip", "q1", "", "")},
    }
    (hover,) = [tool for tool in fig.tools if type(tool).__name__ == "HoverTool"]
    assert {type(r.glyph).__name__ for r in hover.renderers} == {"Quad", "Scatter"}
    assert {field for _, field in hover.tooltips} == {
        "@instruction", "@gate", "@targets", "@parameters", "@classical"}


def test_the_view_moves_along_the_wires_only_and_a_wide_drawing_opens_on_its_start():
    small = qasm.loads(PUBLIC_STYLE)
    drawn = shapes.shapes(layout(small))
    width, height = drawn.width, drawn.height
    fig = to_bokeh(small, title="teleport")
    assert fig.title.text == "teleport"
    assert (fig.frame_width, fig.frame_height) == (width, height)
    assert (fig.x_range.start, fig.x_range.end, fig.y_range.start, fig.y_range.end) == (0, width, height, 0)
    movers = [tool for tool in fig.tools if hasattr(tool, "dimensions")]
    assert {type(tool).__name__ for tool in movers} == {"PanTool", "WheelZoomTool"}
    assert all(tool.dimensions == "width" for tool in movers)

    wide = DigitalCircuit(4, [g.CX([k % 4, (k + 1) % 4]) if k % 2 else g.RZ([k % 4], [0.01 * k])
                              for k in range(2000)])
    drawn = shapes.shapes(layout(wide))
    fig = to_bokeh(wide)
    assert drawn.width > MAX_WIDTH and fig.frame_width == MAX_WIDTH
    assert (fig.x_range.start, fig.x_range.end, fig.x_range.bounds) == (0, MAX_WIDTH, (0, drawn.width))
    assert (fig.y_range.bounds, fig.frame_height) == ((0, drawn.height), drawn.height)
    data = sources(fig)
    assert len(data["Quad"]["left"]) + len(data["Scatter"]["x"]) == len(drawn.boxes) + len(drawn.marks)


def test_without_bokeh_the_error_names_the_extra(monkeypatch):
    for name in ("bokeh", "bokeh.core.properties", "bokeh.models", "bokeh.plotting"):
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError, match=re.escape("norvane-quantum[plot]")):
        to_bokeh(DigitalCircuit(1, [g.H([0])]))


# -- the command line ---------------------------------------------------------------------------

def run_cli(*args, prelude=""):
    code = f"import sys; {prelude}from norvane.quantum.cli import main; sys.exit(main(sys.argv[1:]))"
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                          text=True, timeout=120)


@pytest.fixture
def teleport(tmp_path):
    path = tmp_path / "teleport.qasm"
    path.write_text(PUBLIC_STYLE)
    return path


def test_draw_bokeh_writes_a_standalone_page(tmp_path, teleport):
    written = run_cli("draw", teleport, "--bokeh", "-o", tmp_path / "t.html")
    assert written.returncode == 0 and written.stderr == ""
    page = (tmp_path / "t.html").read_text(encoding="utf-8")
    assert "<title>teleport.qasm</title>" in page and "Bokeh" in page
    assert not re.search(r'<script[^>]+src=', page), "resources must be inline"
    assert "if c[3,2]==2" in page and "RZ(-0.3)" in page
    for args, message in [([], "--bokeh writes an HTML page: give -o"),
                          (["-o", tmp_path / "u.html"], "--bokeh needs Bokeh; install norvane-quantum[plot]")]:
        refused = run_cli("draw", teleport, "--bokeh", *args,
                          prelude="sys.modules['bokeh'] = None; " if args else "")
        assert refused.returncode == 2 and refused.stderr.count("\n") == 1
        assert message in refused.stderr
    assert not (tmp_path / "u.html").exists()
    assert run_cli("draw", teleport, "--bokeh", "--figure", "-o", tmp_path / "v.html").returncode == 2


@pytest.mark.skipif(CHROMIUM is None, reason=SKIP_REASON)
def test_browser_paints_the_page_with_every_part_in_place(tmp_path, teleport):
    page, png = tmp_path / "t.html", tmp_path / "t.png"
    assert run_cli("draw", teleport, "--bokeh", "-o", page).returncode == 0
    drawing = layout(qasm.loads(PUBLIC_STYLE))
    drawn = shapes.shapes(drawing)
    pixels = screenshot(page, png, drawn.width + 100, drawn.height + 100, virtual_time_ms=20000)
    dark = pixels.max(axis=2) < 100

    # The wires are the only rows dark for most of the drawing's width: one per qubit, two per
    # classical bit, at the geometry's heights below the frame's top.
    wire_rows = [y for y in range(dark.shape[0]) if dark[y].sum() > drawn.width // 2]
    assert len(wire_rows) == len(drawn.wires), "the page is blank or the wires are missing"
    top = wire_rows[0] - drawn.wires[0][1]
    assert wire_rows == [top + y for _, y, _, _ in drawn.wires]
    # The first wire ends at the drawing's right margin, and starts after its name.
    x0, y0, x1, _ = drawn.wires[0]
    left = int(np.flatnonzero(dark[wire_rows[0]])[-1]) + 1 - x1
    assert dark[top + y0, left + x0 + 1] and not dark[top + y0, left + x0 - 2]

    def at(x, y):
        return pixels[top + y, left + x]

    for box in drawn.boxes:
        fill = (0xE8, 0xEE, 0xF6) if box.kind == "meter" else (255, 255, 255)
        corner = at(box.x - box.half + 3, box.y - shapes.BOX_HEIGHT // 2 + 3)
        assert np.abs(corner - fill).max() <= 8, (box, corner)
        assert at(box.x - box.half + 6, box.y - shapes.BOX_HEIGHT // 2).max() < 100  # top edge
        assert at(box.x - box.half - 1, box.y).max() < 100  # the wire reaches the box
    for mark in drawn.marks:
        if mark.kind in ("dot", "bit1", "result"):
            assert at(mark.x, mark.y - (3 if mark.kind == "result" else 0)).max() < 100, mark
        elif mark.kind in ("oplus", "bit0"):
            radius = 9 if mark.kind == "oplus" else 5
            assert at(mark.x + 3, mark.y - 3).min() > 200, mark  # white inside
            assert any(at(mark.x + radius + d, mark.y).max() < 130 for d in (-1, 0)), mark
