"""The circuit figure read back from its renderers: frame, title, every glyph's type,
coordinates and style in drawing order, display_circuit, and malformed or off-wire input."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.gate import CCX, CX, RZ, H, X
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.visualization import circuitview
from tests.reference import circuitview_reference as reference
from tests.test_circuitview_layers import conditional, instruction

pytest.importorskip("bokeh", reason="Bokeh (the 'plot' extra) is not installed")

CYAN, AMBER, RED, GREEN = "#06B6D4", "#F59E0B", "#EF4444", "#10B981"
INK, WIRE = "#1E293B", "#94A3B8"


def glyphs(fig):
    """(glyph class name, data columns, glyph) for every renderer, in drawing order."""
    return [(type(r.glyph).__name__, {k: list(v) for k, v in r.data_source.data.items()}, r.glyph)
            for r in fig.renderers]


def describe(fig):
    """Everything the figure shows, in a form that compares by value."""
    return {
        "title": (fig.title.text, fig.title.text_font_size, fig.title.text_color),
        "size": (fig.width, fig.height),
        "frame": (fig.toolbar_location, fig.background_fill_color,
                  [g.visible for g in fig.grid], [a.visible for a in fig.axis]),
        "ranges": [(type(r).__name__, r.start, r.end) for r in (fig.x_range, fig.y_range)],
        "glyphs": [(name, data, glyph.properties_with_values(include_defaults=True))
                   for name, data, glyph in glyphs(fig)],
    }


def box_text(glyph, size):
    assert (glyph.text_align, glyph.text_baseline, glyph.text_color, glyph.text_font_style,
            glyph.text_font_size) == ("center", "bottom", "white", "bold", size)


def box(glyph, fill, height=42):
    assert (glyph.width, glyph.height, glyph.fill_color, glyph.line_color, glyph.line_width) == (
        42, height, fill, INK, 1)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 5), st.lists(instruction, max_size=8), st.sampled_from([None, "", "demo"]))
def test_figure_matches_the_literal_drawing(n_qubits, instructions, name):
    circuit = DigitalCircuit(n_qubits, instructions, name=name)
    assert describe(circuitview.get_circuit_figure(circuit)) == describe(reference.circuit_figure(circuit))


def test_figure_frame_and_title():
    fig = circuitview.get_circuit_figure(DigitalCircuit(2, [H([0]), H([1])], name="Bell"), shots=5, theta=1.0)
    assert type(fig).__name__ == "figure"
    assert (fig.width, fig.height) == (210, 200)
    assert fig.title.text == "Bell (2 量子比特)"
    assert (fig.title.text_font_size, fig.title.text_color) == ("14px", INK)
    assert (fig.toolbar_location, fig.background_fill_color) == ("above", "#FAFAFA")
    assert [(type(r).__name__, r.start, r.end) for r in (fig.x_range, fig.y_range)] == [
        ("Range1d", 0, 210), ("Range1d", 0, 200)]
    assert fig.grid and not any(g.visible for g in fig.grid)
    assert fig.axis and not any(a.visible for a in fig.axis)
    (_, wire0, _), _, (_, wire1, _), _, (_, box0, _), _, (_, box1, _), _ = glyphs(fig)
    assert (wire0["y"], wire1["y"], box0, box1) == (
        [160, 160], [100, 100], {"x": [115.0], "y": [160]}, {"x": [115.0], "y": [100]})
    assert type(box0["x"][0]) is float and type(box0["y"][0]) is int

    assert circuitview.get_circuit_figure(DigitalCircuit(3, name="")).title.text == "DigitalCircuit (3 量子比特)"
    assert circuitview.get_circuit_figure(DigitalCircuit(1)).title.text == "DigitalCircuit (1 量子比特)"


def test_empty_circuit_draws_wires_only():
    fig = circuitview.get_circuit_figure(DigitalCircuit(2))
    assert (fig.width, fig.height) == (140, 200)
    drawn = glyphs(fig)
    assert [name for name, _, _ in drawn] == ["Line", "Text", "Line", "Text"]
    for q, ((_, line, line_glyph), (_, label, label_glyph)) in enumerate(zip(drawn[::2], drawn[1::2])):
        y = 160 - 60 * q
        assert line == {"x": [60, 110], "y": [y, y]}
        assert (line_glyph.line_color, line_glyph.line_width) == (WIRE, 1.5)
        assert label == {"x": [55], "y": [y - 6], "text": [f"q{q}"]}
        assert (label_glyph.text_align, label_glyph.text_baseline, label_glyph.text_font_size,
                label_glyph.text_color) == ("right", "bottom", "11px", INK)


def test_bell_circuit_glyphs_in_drawing_order():
    fig = circuitview.get_circuit_figure(DigitalCircuit(2, [H([0]), CX([0, 1]), Measurement([0, 1])]))
    assert (fig.width, fig.height) == (350, 200)
    drawn = glyphs(fig)
    assert [(name, data) for name, data, _ in drawn[4:]] == [
        ("Rect", {"x": [115.0], "y": [160]}),
        ("Text", {"x": [115.0], "y": [153], "text": ["H"]}),
        ("Line", {"x": [185.0, 185.0], "y": [100, 160]}),
        ("Scatter", {"x": [185.0], "y": [160]}),
        ("Rect", {"x": [185.0], "y": [100]}),
        ("Text", {"x": [185.0], "y": [93], "text": ["CX"]}),
        ("Rect", {"x": [255.0], "y": [160]}),
        ("Text", {"x": [255.0], "y": [153], "text": ["M"]}),
        ("Rect", {"x": [255.0], "y": [100]}),
        ("Text", {"x": [255.0], "y": [93], "text": ["M"]}),
    ]
    assert drawn[0][1]["x"] == [60, 320]
    h_box, h_text, connector, dot, cx_box, cx_text, *measured = (g for _, _, g in drawn[4:])
    box(h_box, CYAN)
    box_text(h_text, "11px")
    assert (connector.line_color, connector.line_width) == (INK, 2)
    assert (dot.marker, dot.size, dot.fill_color, dot.line_color) == ("circle", 10, INK, INK)
    box(cx_box, AMBER)
    box_text(cx_text, "10px")
    for m_box, m_text in zip(measured[::2], measured[1::2]):
        box(m_box, GREEN)
        box_text(m_text, "13px")
    assert h_box.fill_alpha == 1.0


def test_first_target_is_the_dot_and_wide_gates_span_their_wires():
    fig = circuitview.get_circuit_figure(DigitalCircuit(3, [CX([1, 0]), CCX([0, 1, 2]), RZ([2], [0.5])]))
    drawn = glyphs(fig)[6:]
    assert [name for name, _, _ in drawn] == ["Line", "Scatter", "Rect", "Text", "Rect", "Text", "Rect", "Text"]
    connector, dot, target, label = (data for _, data, _ in drawn[:4])
    assert connector["y"] == [160, 220] and dot["y"] == [160] and target["y"] == [220] and label["y"] == [213]
    (_, wide, wide_glyph), (_, wide_label, wide_text) = drawn[4:6]
    assert wide == {"x": [185.0], "y": [160.0]} and type(wide["y"][0]) is float
    box(wide_glyph, RED, height=162)
    assert wide_glyph.fill_alpha == 0.85
    assert wide_label == {"x": [185.0], "y": [153.0], "text": ["CCX"]}
    box_text(wide_text, "9px")
    assert drawn[7][1]["text"] == ["RZ"] and drawn[6][1] == {"x": [255.0], "y": [100]}


def test_instructions_that_are_not_drawn_and_targets_off_the_wires():
    zero_target = H([0])
    zero_target.targets = ()
    float_target = H([0])
    float_target.targets = (1.9,)  # truncated to wire 1
    circuit = DigitalCircuit(2, [conditional(X([0])), "comment", zero_target, H([5]), Measurement([-1]),
                                 float_target, CX([0, 4])])
    assert circuitview._assign_layers(circuit.instructions, 2) == [0, 0, 0, 0, 0, 0, 0]
    drawn = glyphs(circuitview.get_circuit_figure(circuit))
    assert len(drawn) == 4 + 2 * 3 + 4
    ys = [data["y"] for _, data, _ in drawn[4:]]
    assert ys == [[-140], [-147], [220], [213], [100], [93], [-80, 160], [160], [-80], [-87]]

    bad = H([0])
    bad.targets = ("a",)
    with pytest.raises(TypeError, match=r"^Argument 'q' has incorrect type \(expected int, got str\)$"):
        circuitview.get_circuit_figure(DigitalCircuit(1, [bad]))
    with pytest.raises(AttributeError):
        circuitview.get_circuit_figure("not a circuit")


def test_style_constants_are_read_at_each_call(monkeypatch):
    monkeypatch.setattr(circuitview, "GATE_COLOR_1Q", "#123456")
    monkeypatch.setattr(circuitview, "WIRE_SPACING", 100)
    fig = circuitview.get_circuit_figure(DigitalCircuit(2, [H([1])]))
    assert fig.height == 280
    _, data, glyph = glyphs(fig)[4]
    assert data["y"] == [140] and glyph.fill_color == "#123456"


def test_display_circuit_shows_the_figure_it_built(monkeypatch):
    import bokeh.plotting

    shown = []
    monkeypatch.setattr(bokeh.plotting, "show", shown.append)
    circuit = DigitalCircuit(2, [H([0]), CX([0, 1])], name="ghz")
    assert circuitview.display_circuit(circuit, theta=0.3) is None
    assert len(shown) == 1
    assert describe(shown[0]) == describe(circuitview.get_circuit_figure(circuit))


def test_a_missing_bokeh_model_is_reported_as_missing_bokeh(monkeypatch):
    import bokeh.models

    monkeypatch.delattr(bokeh.models, "NormalHead")
    with pytest.raises(ImportError) as info:
        circuitview.get_circuit_figure(DigitalCircuit(1))
    assert str(info.value) == ("Bokeh is required for digital circuit visualization. "
                               "Install it with: pip install bokeh")
    assert "NormalHead" in str(info.value.__cause__)