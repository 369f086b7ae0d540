"""Plots of measured outcomes: a histogram of counts as probabilities (count / shots), with an
exact distribution beside it as markers.

`counts_plot_data` chooses and orders the bars; `counts_figure` draws them as a Bokeh figure
(the `plot` extra, imported when first needed) and `counts_svg` as a standalone SVG document
(no dependency), so both show the same bars.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass
from xml.sax.saxutils import escape, quoteattr

import numpy as np

__all__ = ["CountsPlotData", "counts_figure", "counts_plot_data", "counts_svg"]

# The bar that sums the outcomes beyond the `top` largest; never a bitstring.
OTHER_LABEL = "other"
# The label of the outcome of a circuit without classical bits (the empty bitstring).
NO_BITS_LABEL = "(no bits)"
# Exact probabilities at most this small make no bar of their own (they still count in "other").
EXACT_FLOOR = 1e-12
# How far an exact distribution's total may be from 1.
EXACT_TOLERANCE = 1e-6
BAR_COLOR = "#4c72b0"
EXACT_COLOR = "#dd5533"
SORTS = ("bitstring", "count")


@dataclass(frozen=True)
class CountsPlotData:
    """The bars of a counts plot, in display order; the "other" bar, when there is one, last.

    labels: each bar's bitstring ("other" for the summed rest, "(no bits)" for the empty
        bitstring); counts: its shots; probabilities: count / shots (0 without shots);
        exact: its exact probability (the "other" bar: the rest's total), or None without an
        exact distribution; shots: the total; outcomes: how many outcomes were considered
        (measured, or of exact probability above EXACT_FLOOR); summed: how many of them the
        "other" bar holds (0: none); sort: "bitstring" or "count"; top: the cap on outcome
        bars (None: none).
    """

    labels: tuple[str, ...]
    counts: tuple[int, ...]
    probabilities: tuple[float, ...]
    exact: tuple[float, ...] | None
    shots: int
    outcomes: int
    summed: int
    sort: str
    top: int | None

    @property
    def note(self) -> str:
        """What the plot shows and how its bars were chosen, in one line."""
        markers = "; markers: exact probabilities" if self.exact is not None else ""
        if not self.summed:
            return f"{self.shots} shots, {self.outcomes} outcomes, sorted by {self.sort}{markers}"
        ranking = "probability (measured or exact)" if self.exact is not None else "count"
        return (f"{self.shots} shots; top {self.outcomes - self.summed} of {self.outcomes} outcomes by {ranking}, "
                f"sorted by {self.sort}; the other {self.summed} summed as '{OTHER_LABEL}'{markers}")


def _bitstring(key, what: str) -> str:
    if not isinstance(key, str) or key.strip("01"):
        raise ValueError(f"{what} must be bitstrings of '0' and '1' characters, got {key!r}")
    return key


def _counts_of(result) -> tuple[dict[str, int], int]:
    """The counts of a SimulationResult or a {bitstring: count} mapping, checked, and the shots."""
    counts = result if isinstance(result, Mapping) else getattr(result, "counts", None)
    if not isinstance(counts, Mapping):
        raise TypeError(f"expected a SimulationResult or a mapping of bitstrings to counts, got "
                        f"{type(result).__name__}")
    checked = {}
    for key, count in counts.items():
        if isinstance(count, bool) or not isinstance(count, numbers.Integral) or count < 0:
            raise ValueError(f"counts must be integers >= 0, got {count!r} for {key!r}")
        checked[_bitstring(key, "the counts' keys")] = int(count)
    lengths = sorted({len(key) for key in checked})
    if len(lengths) > 1:
        raise ValueError(f"the counts' bitstrings differ in length ({lengths[0]} to {lengths[-1]} bits)")
    return checked, sum(checked.values())


def _probability_vector(exact) -> np.ndarray:
    """The probabilities of an exact distribution given as a vector: |a|^2 of a complex
    statevector, a real vector as it is."""
    vector = np.asarray(exact)
    if vector.ndim != 1 or vector.size == 0 or vector.size & (vector.size - 1):
        raise ValueError(f"an exact distribution given as a vector needs 2**n entries, got shape {vector.shape}")
    if np.iscomplexobj(vector):
        return np.abs(vector) ** 2
    if not np.issubdtype(vector.dtype, np.number) or vector.dtype == np.bool_:
        raise TypeError(f"an exact distribution given as a vector must hold numbers, got dtype {vector.dtype}")
    return vector.astype(float)


def _exact_of(exact, width: int | None, observed, top: int | None) -> tuple[dict[str, float], float, int]:
    """The exact probabilities the plot needs: every observed outcome's and those of the
    outcomes that may win a bar (all above EXACT_FLOOR, or the `top` largest); their total;
    how many outcomes are above EXACT_FLOOR."""
    if isinstance(exact, Mapping):
        probabilities = {_bitstring(key, "the exact distribution's keys"): p for key, p in exact.items()}
        widths = {len(key) for key in probabilities} | ({width} if width is not None else set())
        if len(widths) > 1:
            raise ValueError("the exact distribution's bitstrings and the counts' differ in length")
        values = np.array(list(probabilities.values()), dtype=float)
        _check_probabilities(values, exact)
        entries = probabilities
    else:
        values = _probability_vector(exact)
        _check_probabilities(values, exact)
        n = values.size.bit_length() - 1
        if width is not None and n != width:
            raise ValueError(f"the exact distribution has {values.size} entries, but the counts' bitstrings have "
                             f"{width} bits: it needs {2 ** width}")
        above = np.flatnonzero(values > EXACT_FLOOR)
        if top is not None:
            above = above[np.argsort(-values[above], kind="stable")[:top]]
        wanted = set(above.tolist()) | {int(b, 2) if b else 0 for b in observed}
        entries = {format(k, f"0{n}b") if n else "": float(values[k]) for k in sorted(wanted)}
    return {key: float(p) for key, p in entries.items()}, float(values.sum()), int(np.sum(values > EXACT_FLOOR))


def _check_probabilities(values: np.ndarray, exact) -> None:
    if not np.all(np.isfinite(values)) or np.any(values < 0):
        raise ValueError("exact probabilities must be finite numbers >= 0")
    total = float(values.sum())
    if abs(total - 1.0) > EXACT_TOLERANCE:
        amplitudes = not isinstance(exact, Mapping) and abs(float((values ** 2).sum()) - 1.0) <= EXACT_TOLERANCE
        hint = "; give a statevector's amplitudes as a complex array" if amplitudes else ""
        raise ValueError(f"exact probabilities must sum to 1, they sum to {total:.9g}{hint}")


def counts_plot_data(result, exact=None, *, top: int | None = 64, sort: str = "bitstring") -> CountsPlotData:
    """The bars of a counts plot of `result` (a SimulationResult or a {bitstring: count}
    mapping), with `exact` (None, a {bitstring: probability} mapping, or a vector over the
    2**n outcomes, a complex one read as a statevector: index j is the bitstring of j's n
    binary digits, leftmost most significant) beside them.

    Outcomes are those measured and those of exact probability above EXACT_FLOOR. With more
    than `top` (None: no cap), the `top` of largest probability (measured or exact; ties by
    bitstring) get bars and an "other" bar, last, sums the rest. `sort` orders the outcome
    bars: "bitstring" (ascending) or "count" (descending, ties by exact probability, then
    bitstring)."""
    if sort not in SORTS:
        raise ValueError(f"sort must be 'bitstring' or 'count', got {sort!r}")
    if top is not None and (isinstance(top, bool) or not isinstance(top, numbers.Integral) or top < 1):
        raise ValueError(f"top must be a positive integer or None, got {top!r}")
    counts, shots = _counts_of(result)
    width = len(next(iter(counts))) if counts else None
    probabilities, total, above = ({}, 0.0, 0) if exact is None else _exact_of(exact, width, counts, top)

    def measured(key: str) -> float:
        return counts.get(key, 0) / shots if shots else 0.0

    candidates = set(counts) | {key for key, p in probabilities.items() if p > EXACT_FLOOR}
    outcomes = above + sum(probabilities.get(key, 0.0) <= EXACT_FLOOR for key in counts)
    ranked = sorted(candidates, key=lambda b: (-max(measured(b), probabilities.get(b, 0.0)), b))
    shown = ranked if top is None else ranked[:top]
    if sort == "bitstring":
        shown.sort()
    else:
        shown.sort(key=lambda b: (-counts.get(b, 0), -probabilities.get(b, 0.0), b))
    labels = [b or NO_BITS_LABEL for b in shown]
    bar_counts = [counts.get(b, 0) for b in shown]
    bar_exact = [probabilities.get(b, 0.0) for b in shown]
    summed = outcomes - len(shown)
    if summed:
        labels.append(OTHER_LABEL)
        bar_counts.append(shots - sum(bar_counts))
        bar_exact.append(max(0.0, total - sum(bar_exact)))
    return CountsPlotData(
        labels=tuple(labels), counts=tuple(bar_counts),
        probabilities=tuple(c / shots if shots else 0.0 for c in bar_counts),
        exact=None if exact is None else tuple(bar_exact), shots=shots, outcomes=outcomes,
        summed=summed, sort=sort, top=None if top is None else int(top))


def _bokeh():
    try:
        from bokeh.models import ColumnDataSource, HoverTool, Title
        from bokeh.plotting import figure
    except ImportError as error:
        raise ImportError("counts figures need Bokeh: install it with pip install 'norvane-quantum[plot]'") from error
    return figure, ColumnDataSource, HoverTool, Title


def _vertical_labels(data: CountsPlotData) -> bool:
    return len(data.labels) > 8 or max(map(len, data.labels), default=0) > 4


def counts_figure(result, exact=None, *, top: int | None = 64, sort: str = "bitstring", title: str | None = None):
    """The counts plot (see `counts_plot_data`) as a Bokeh figure: bars of count / shots, exact
    probabilities as markers, a line under the title saying how the bars were chosen, and
    each bar's numbers on hover. One ColumnDataSource holds the bars' data (columns outcome,
    count, probability and, with `exact`, exact). ImportError when Bokeh is missing."""
    data = counts_plot_data(result, exact, top=top, sort=sort)
    figure, ColumnDataSource, HoverTool, Title = _bokeh()
    columns = {"outcome": list(data.labels), "count": list(data.counts), "probability": list(data.probabilities)}
    tooltips = [("outcome", "@outcome"), ("count", "@count"), ("probability", "@probability{0.0000}")]
    if data.exact is not None:
        columns["exact"] = list(data.exact)
        tooltips.append(("exact", "@exact{0.0000}"))
    source = ColumnDataSource(columns)
    fig = figure(x_range=list(data.labels), width=max(420, 120 + 28 * len(data.labels)), height=380,
                 title=title or "Measured outcomes", y_axis_label="probability", toolbar_location="right",
                 tools="pan,box_zoom,reset,save")
    fig.add_layout(Title(text=data.note, text_font_size="9pt", text_font_style="italic"), "above")
    bars = fig.vbar(x="outcome", top="probability", width=0.8, source=source, color=BAR_COLOR,
                    legend_label="measured (count / shots)")
    renderers = [bars]
    if data.exact is not None:
        renderers.append(fig.scatter(x="outcome", y="exact", source=source, marker="circle", size=8,
                                     color=EXACT_COLOR, legend_label="exact"))
    fig.add_tools(HoverTool(renderers=renderers, tooltips=tooltips))
    fig.y_range.start = 0
    fig.y_range.end = 1.08 * max([*data.probabilities, *(data.exact or ()), 0.0]) or 1.0
    fig.xgrid.grid_line_color = None
    legend = fig.legend[0]
    legend.orientation = "horizontal"
    legend.location = "top_left"
    fig.add_layout(legend, "above")  # outside the bars, which may reach any height
    if _vertical_labels(data):
        fig.xaxis.major_label_orientation = math.pi / 2
    return fig


def _tick_step(top_value: float) -> float:
    """A round step (1, 2 or 5 times a power of ten) giving about five ticks up to top_value."""
    raw = top_value / 5
    power = 10 ** math.floor(math.log10(raw))
    return next(m * power for m in (1, 2, 5, 10) if m * power >= raw)


def counts_svg(result, exact=None, *, top: int | None = 64, sort: str = "bitstring",
               title: str | None = None) -> str:
    """The counts plot (see `counts_plot_data`) as a standalone SVG document (a str): bars of
    count / shots, exact probabilities as markers, a line under the title saying how the bars
    were chosen. Each bar is a <rect class="bar"> and each marker a <circle class="exact">,
    both carrying data-outcome and their numbers (data-count, data-probability), and a
    <title> shown on hover."""
    data = counts_plot_data(result, exact, top=top, sort=sort)
    n = len(data.labels)
    bar_width = 28 if n <= 16 else 14
    vertical = _vertical_labels(data)
    label_room = 7 * max(map(len, data.labels), default=1) + 12 if vertical else 20
    left, right, top_margin, plot_height = 64, 24, 64, 240
    width = max(420, left + right + bar_width * n, 40 + int(5.5 * len(data.note)))
    height = top_margin + plot_height + label_room + 28
    peak = max([*data.probabilities, *(data.exact or ()), 0.0])
    step = _tick_step(peak * 1.05) if peak > 0 else 0.2
    y_max = step * math.ceil(peak * 1.05 / step) if peak > 0 else 1.0
    base = top_margin + plot_height
    slot = (width - left - right) / max(n, 1)
    bar = min(0.8 * slot, 48.0)

    def y(p: float) -> float:
        return base - plot_height * p / y_max

    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="11">',
             f'<rect width="{width}" height="{height}" fill="white"/>',
             f'<text x="{width / 2:.1f}" y="20" text-anchor="middle" font-size="14" font-weight="bold">'
             f'{escape(title or "Measured outcomes")}</text>',
             f'<text class="note" x="{width / 2:.1f}" y="38" text-anchor="middle" font-style="italic" '
             f'font-size="10">{escape(data.note)}</text>']
    ticks = int(round(y_max / step))
    for k in range(ticks + 1):
        value = k * step
        parts.append(f'<line x1="{left}" y1="{y(value):.1f}" x2="{width - right}" y2="{y(value):.1f}" '
                     f'stroke="#e5e5e5"/>')
        parts.append(f'<text x="{left - 6}" y="{y(value) + 4:.1f}" text-anchor="end">{value:.3g}</text>')
    parts.append(f'<text x="14" y="{base - plot_height / 2:.1f}" text-anchor="middle" '
                 f'transform="rotate(-90 14 {base - plot_height / 2:.1f})">probability</text>')
    for k, label in enumerate(data.labels):
        center = left + slot * (k + 0.5)
        p = data.probabilities[k]
        tip = f"{label}: {data.counts[k]} shots, p = {p:.4g}"
        if data.exact is not None:
            tip += f", exact {data.exact[k]:.4g}"
        parts.append(f'<rect class="bar" data-outcome={quoteattr(label)} data-count="{data.counts[k]}" '
                     f'data-probability="{p!r}" x="{center - bar / 2:.1f}" y="{y(p):.1f}" '
                     f'width="{bar:.1f}" height="{base - y(p):.1f}" fill="{BAR_COLOR}">'
                     f'<title>{escape(tip)}</title></rect>')
        if vertical:
            parts.append(f'<text x="{center + 4:.1f}" y="{base + 6}" text-anchor="end" '
                         f'transform="rotate(-90 {center + 4:.1f} {base + 6})">{escape(label)}</text>')
        else:
            parts.append(f'<text x="{center:.1f}" y="{base + 16}" text-anchor="middle">{escape(label)}</text>')
    if data.exact is not None:
        for k, label in enumerate(data.labels):
            center = left + slot * (k + 0.5)
            parts.append(f'<circle class="exact" data-outcome={quoteattr(label)} '
                         f'data-probability="{data.exact[k]!r}" cx="{center:.1f}" cy="{y(data.exact[k]):.1f}" r="4" '
                         f'fill="{EXACT_COLOR}"><title>{escape(f"{label}: exact {data.exact[k]:.4g}")}</title>'
                         f'</circle>')
    parts.append(f'<line x1="{left}" y1="{base}" x2="{width - right}" y2="{base}" stroke="black"/>')
    parts.append(f'<line x1="{left}" y1="{top_margin}" x2="{left}" y2="{base}" stroke="black"/>')
    legend_y = top_margin - 12
    parts.append(f'<rect x="{left}" y="{legend_y - 8}" width="10" height="10" fill="{BAR_COLOR}"/>'
                 f'<text x="{left + 14}" y="{legend_y + 1}">measured (count / shots)</text>')
    if data.exact is not None:
        parts.append(f'<circle cx="{left + 175}" cy="{legend_y - 3}" r="4" fill="{EXACT_COLOR}"/>'
                     f'<text x="{left + 183}" y="{legend_y + 1}">exact</text>')
    parts.append("</svg>")
    return "\n".join(parts) + "\n"
