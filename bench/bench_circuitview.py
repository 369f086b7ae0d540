"""Circuit figure construction: how much the native circuit view adds to Bokeh's own cost.

Seeded random circuits of 10, 100 and 1,000 instructions on 8 qubits (one-, two- and
three-qubit gates and measurements). For each, the best of N CPU times of:

- native: `get_circuit_figure`, the figure built end to end;
- Python model: the literal Python drawing of tests/reference, end to end;
- Bokeh alone: the same figure settings and glyph calls replayed straight into a Bokeh
  figure, precomputed: the floor both implementations share;
- native / Python model without Bokeh: each drawing run against a stand-in figure that only
  records its calls, which isolates the packing, geometry and call building.

Both drawings must issue the same glyph calls. Run from the repository root:
`python bench/bench_circuitview.py`; the table goes to bench/results/circuitview.md.
"""

import datetime
import gc
import os
import random
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [ROOT]

import bokeh.plotting  # noqa: E402

from common import best_seconds, machine  # noqa: E402
from norvane.quantum.ir.digital.circuit import DigitalCircuit  # noqa: E402
from norvane.quantum.ir.digital.gate import CCX, CX, RZ, H  # noqa: E402
from norvane.quantum.ir.digital.measurement import Measurement  # noqa: E402
from norvane.quantum.visualization.circuitview import get_circuit_figure  # noqa: E402
from tests.reference.circuitview_reference import circuit_figure as model_figure  # noqa: E402

N_QUBITS, SIZES, SEED = 8, (10, 100, 1000), 11
REPEATS = {10: 10, 100: 5, 1000: 1}


def random_circuit(size, rng):
    instructions = []
    for _ in range(size):
        kind = rng.random()
        qubits = rng.sample(range(N_QUBITS), 3)
        if kind < 0.4:
            instructions.append(H(qubits[:1]) if kind < 0.2 else RZ(qubits[:1], [0.25]))
        elif kind < 0.8:
            instructions.append(CX(qubits[:2]))
        elif kind < 0.9:
            instructions.append(CCX(qubits))
        else:
            instructions.append(Measurement(qubits[:2]))
    return DigitalCircuit(N_QUBITS, instructions, name=f"random{size}")


class RecordedFigure:
    """Stands in for bokeh.plotting.figure: keeps the settings and glyph calls, builds nothing."""

    def __init__(self, **settings):
        self.settings = settings
        self.calls = []
        self.grid, self.axis, self.title = (types.SimpleNamespace() for _ in range(3))

    def __getattr__(self, glyph):
        def method(*args, **kwargs):
            # Positional x and y become keywords, so both drawings record alike.
            self.calls.append((glyph, dict(zip(("x", "y"), args), **kwargs)))
        return method


def recorded(draw, circuit):
    """The figure `draw` makes of `circuit` with the recording stand-in in place of Bokeh's
    (both drawings import bokeh.plotting.figure when they run)."""
    real = bokeh.plotting.figure
    bokeh.plotting.figure = RecordedFigure
    try:
        return draw(circuit)
    finally:
        bokeh.plotting.figure = real


def replay(record):
    fig = bokeh.plotting.figure(**record.settings)
    fig.grid.visible = False
    fig.axis.visible = False
    fig.title.text_font_size = "14px"
    fig.title.text_color = "#1E293B"
    for glyph, kwargs in record.calls:
        getattr(fig, glyph)(**kwargs)
    return fig


def timed(fn, repeats):
    """Best CPU time of `repeats` calls (the machine is shared, so wall time would measure the
    neighbours), each from a collected heap: Bokeh's models form reference cycles, and one
    figure's garbage should not slow the next call down."""
    times = []
    for _ in range(repeats):
        gc.collect()
        times.append(best_seconds(fn, 1, clock=time.process_time))
    return min(times)


def main():
    rng = random.Random(SEED)
    rows = []
    for size in SIZES:
        circuit = random_circuit(size, rng)
        native_record, model_record = recorded(get_circuit_figure, circuit), recorded(model_figure, circuit)
        if (native_record.settings, native_record.calls) != (model_record.settings, model_record.calls):
            raise SystemExit(f"{size} instructions: the native and Python drawings differ")
        n = REPEATS[size]
        rows.append((size, len(native_record.calls),
                     timed(lambda: get_circuit_figure(circuit), n),
                     timed(lambda: model_figure(circuit), n),
                     timed(lambda: replay(native_record), n),
                     timed(lambda: recorded(get_circuit_figure, circuit), n),
                     timed(lambda: recorded(model_figure, circuit), n)))

    table = ["| instructions | glyphs | native ms | Python model ms | Bokeh alone ms | native / Bokeh alone "
             "| native without Bokeh ms | Python model without Bokeh ms | native share of its time |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for size, glyphs, native, model, floor, native_own, model_own in rows:
        table.append(f"| {size:,} | {glyphs:,} | {native * 1e3:.1f} | {model * 1e3:.1f} | {floor * 1e3:.1f} "
                     f"| {native / floor:.2f} | {native_own * 1e3:.2f} | {model_own * 1e3:.2f} "
                     f"| {native_own / native:.1%} |")
    text = "\n".join(table) + "\n"
    print(text)
    note = (f"# Circuit figure construction, {N_QUBITS} qubits\n\n"
            f"Machine: {machine()}; Bokeh {bokeh.__version__}; date {datetime.date.today().isoformat()}.\n"
            f"CPU time (process_time), best of {', '.join(f'{REPEATS[s]} ({s:,})' for s in SIZES)} runs. "
            "Both drawings issue the "
            "same glyph calls; \"Bokeh alone\" replays them, precomputed, into a fresh figure. The "
            "\"without Bokeh\" columns run each drawing against a stand-in figure that records its "
            "calls in Python, so they are upper bounds, mostly the stand-in's own cost.\n\n" + text)
    out = os.path.join(HERE, "results", "circuitview.md")
    with open(out, "w", encoding="utf-8") as f:
        f.write(note)


if __name__ == "__main__":
    main()
