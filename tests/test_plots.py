"""Counts plots: which bars, in which order, the "other" bar, the exact overlay, and the same
numbers in the SVG document and in the Bokeh figure's data."""

import sys
from xml.etree import ElementTree

import numpy as np
import pytest

from norvane.quantum.ir.digital.circuit import DigitalCircuit
from norvane.quantum.ir.digital.gate import CX, H, RY
from norvane.quantum.ir.digital.measurement import Measurement
from norvane.quantum.simulator.digital.dense_sim import DigitalDenseSimulator
from norvane.quantum.visualization.plots import EXACT_FLOOR, counts_figure, counts_plot_data, counts_svg

SVG = "{http://www.w3.org/2000/svg}"
COUNTS = {"101": 40, "000": 25, "111": 25, "010": 7, "001": 3}


def test_bars_by_bitstring_or_by_count_with_the_rest_summed_as_other():
    data = counts_plot_data(COUNTS)
    assert data.labels == ("000", "001", "010", "101", "111") and data.summed == 0
    assert data.counts == (25, 3, 7, 40, 25) and data.probabilities == (0.25, 0.03, 0.07, 0.4, 0.25)
    assert data.exact is None and "100 shots, 5 outcomes, sorted by bitstring" in data.note
    capped = counts_plot_data(COUNTS, top=3, sort="count")
    # The three most counted, ties by bitstring, then the other two summed.
    assert capped.labels == ("101", "000", "111", "other") and capped.counts == (40, 25, 25, 10)
    assert (capped.outcomes, capped.summed) == (5, 2)
    assert "top 3 of 5 outcomes by count" in capped.note and "other 2 summed as 'other'" in capped.note
    by_bitstring = counts_plot_data(COUNTS, top=3)
    assert by_bitstring.labels == ("000", "101", "111", "other")
    assert counts_plot_data(COUNTS, top=None, sort="count").labels == ("101", "000", "111", "010", "001")


def test_an_exact_distribution_as_statevector_vector_or_mapping_gives_the_same_markers():
    bell = DigitalCircuit(2, [H([0]), CX([0, 1])])
    state = DigitalDenseSimulator(bell).statevector()
    result = DigitalDenseSimulator(DigitalCircuit(2, [H([0]), CX([0, 1]), Measurement([0, 1])]), seed=3).run(500)
    from_state = counts_plot_data(result, state)
    assert from_state.labels == ("00", "11") and from_state.shots == 500
    assert from_state.probabilities == tuple(result.counts[b] / 500 for b in ("00", "11"))
    np.testing.assert_allclose(from_state.exact, [0.5, 0.5])
    for exact in (np.abs(state) ** 2, {"00": 0.5, "11": 0.5}):
        assert counts_plot_data(result, exact).exact == pytest.approx(from_state.exact)
    # Outcomes only the exact distribution has get bars (count 0); measured ones it lacks, 0.
    skewed = counts_plot_data({"00": 9, "01": 1}, {"00": 0.7, "11": 0.3})
    assert skewed.labels == ("00", "01", "11") and skewed.counts == (9, 1, 0)
    assert skewed.exact == (0.7, 0.0, 0.3)


def test_with_a_cap_the_largest_measured_or_exact_win_and_other_sums_the_rest_of_both():
    exact = np.full(8, 0.02)
    exact[[0b110, 0b011]] = [0.5, 0.38]  # neither was measured: they win bars by their exact probability
    data = counts_plot_data(COUNTS, exact, top=3, sort="count")
    assert data.labels == ("101", "110", "011", "other")  # by count, then by exact probability
    assert data.counts == (40, 0, 0, 60) and data.exact == pytest.approx((0.02, 0.5, 0.38, 0.1))
    assert data.outcomes == 8 and "by probability (measured or exact)" in data.note
    assert sum(data.counts) == data.shots and sum(data.exact) == pytest.approx(1.0)


@pytest.mark.parametrize("counts, exact, kwargs, error, match", [
    ({"00": 1}, None, {"sort": "probability"}, ValueError, "sort must be"),
    ({"00": 1}, None, {"top": 0}, ValueError, "top must be a positive integer"),
    ({"0x1": 1}, None, {}, ValueError, "bitstrings of '0' and '1'"),
    ({"00": 1, "1": 2}, None, {}, ValueError, "differ in length"),
    ({"00": 1.5}, None, {}, ValueError, "integers >= 0"),
    ({"00": -1}, None, {}, ValueError, "integers >= 0"),
    ([("00", 1)], None, {}, TypeError, "SimulationResult or a mapping"),
    ({"00": 1}, np.ones(8) / 8, {}, ValueError, "needs 4"),
    ({"00": 1}, np.ones(3) / 3, {}, ValueError, "2\\*\\*n entries"),
    ({"00": 1}, np.array([0.5, 0.5, 0.5, 0.5]), {}, ValueError, "complex array"),
    ({"00": 1}, {"00": 0.6, "11": 0.6}, {}, ValueError, "sum to 1"),
    ({"00": 1}, {"000": 1.0}, {}, ValueError, "differ in length"),
    ({"00": 1}, {"00": float("nan")}, {}, ValueError, "finite numbers >= 0"),
])
def test_bad_input_is_a_clear_error(counts, exact, kwargs, error, match):
    with pytest.raises(error, match=match):
        counts_plot_data(counts, exact, **kwargs)


def parse(svg: str):
    return ElementTree.fromstring(svg)


def test_the_svg_document_holds_the_same_bars_and_markers():
    exact = {"000": 0.2, "101": 0.4, "111": 0.2, "110": 0.2}
    data = counts_plot_data(COUNTS, exact, top=4)
    root = parse(counts_svg(COUNTS, exact, top=4, title="counts <&> \"quoted\""))
    bars = root.findall(f"{SVG}rect[@class='bar']")
    markers = root.findall(f"{SVG}circle[@class='exact']")
    assert [b.get("data-outcome") for b in bars] == [m.get("data-outcome") for m in markers] == list(data.labels)
    assert [int(b.get("data-count")) for b in bars] == list(data.counts)
    assert [float(b.get("data-probability")) for b in bars] == list(data.probabilities)
    assert [float(m.get("data-probability")) for m in markers] == list(data.exact)
    # Bar heights follow the probabilities; markers sit above the axis by their probability.
    heights = np.array([float(b.get("height")) for b in bars])
    np.testing.assert_allclose(heights / heights.max(), np.array(data.probabilities) / max(data.probabilities),
                               atol=0.01)
    texts = ["".join(t.itertext()) for t in root.iter(f"{SVG}text")]
    assert 'counts <&> "quoted"' in texts and data.note in texts and "other" in texts
    plain = parse(counts_svg({"": 4}))
    assert not plain.findall(f"{SVG}circle[@class='exact']")
    assert [b.get("data-outcome") for b in plain.findall(f"{SVG}rect[@class='bar']")] == ["(no bits)"]
    assert parse(counts_svg({})).findall(f"{SVG}rect[@class='bar']") == []


def test_the_bokeh_figure_holds_the_same_numbers():
    pytest.importorskip("bokeh")
    from bokeh.models import ColumnDataSource, FactorRange, Title

    exact = {"000": 0.2, "101": 0.4, "111": 0.2, "110": 0.2}
    data = counts_plot_data(COUNTS, exact, top=4, sort="count")
    fig = counts_figure(COUNTS, exact, top=4, sort="count", title="My run")
    (source,) = fig.select(type=ColumnDataSource)
    assert source.data["outcome"] == list(data.labels) and source.data["count"] == list(data.counts)
    assert source.data["probability"] == list(data.probabilities) and source.data["exact"] == list(data.exact)
    assert isinstance(fig.x_range, FactorRange) and list(fig.x_range.factors) == list(data.labels)
    titles = [t.text for t in fig.select(type=Title)]
    assert "My run" in titles and data.note in titles
    assert "exact" not in counts_figure(COUNTS).select(type=ColumnDataSource)[0].data


def test_without_bokeh_the_figure_is_an_import_error_naming_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "bokeh.plotting", None)
    with pytest.raises(ImportError, match=r"norvane-quantum\[plot\]"):
        counts_figure(COUNTS)
    assert parse(counts_svg(COUNTS)) is not None  # the SVG needs nothing


def test_a_large_statevector_keeps_only_what_the_bars_need():
    n = 16
    circuit = DigitalCircuit(n, [RY([q], 0.3 + 0.1 * q) for q in range(n)])
    state = DigitalDenseSimulator(circuit).statevector()
    counts = DigitalDenseSimulator(DigitalCircuit(n, [*circuit.instructions, Measurement(tuple(range(n)))]),
                                   seed=1).run(300).counts
    data = counts_plot_data(counts, state, top=10, sort="count")
    probabilities = np.abs(state) ** 2
    assert len(data.labels) == 11 and data.labels[-1] == "other"
    assert data.exact == pytest.approx([probabilities[int(b, 2)] for b in data.labels[:-1]] +
                                       [1 - sum(probabilities[int(b, 2)] for b in data.labels[:-1])])
    # Every outcome above the floor counts, though only the largest were looked at.
    assert data.outcomes == np.count_nonzero(probabilities > EXACT_FLOOR) > 1000
    assert data.summed == data.outcomes - 10
