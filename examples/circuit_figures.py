"""Circuit figures: each circuit is drawn by norvane's circuit view and saved as a standalone
HTML page with Bokeh's resources inline, so it opens in any browser without a network."""

import pathlib

from bokeh.embed import file_html
from bokeh.resources import INLINE

from norvane.quantum.visualization.circuitview import get_circuit_figure


def save_figure(circuit, path):
    figure = get_circuit_figure(circuit)
    path.write_text(file_html(figure, INLINE, title=figure.title.text), encoding="utf-8")
    print(f"   {figure.title.text}: {len(circuit.instructions)} instructions, "
          f"{figure.width} x {figure.height} px, {len(figure.renderers)} glyphs")
    print(f"   -> {path}")


def main(circuits, folder=None):
    """Saves circuits[label] to <folder>/circuit_<label>.html (folder: the current directory)."""
    folder = pathlib.Path(folder or pathlib.Path.cwd()).resolve()
    for label, circuit in circuits.items():
        save_figure(circuit, folder / f"circuit_{label}.html")
