"""Circuit drawings in which every instruction can be read off: as text, SVG, an HTML page or
an interactive Bokeh figure.

One wire per qubit (q0 at the top) and per classical bit. Each instruction reserves every
wire its marks and lines span, so no vertical line crosses another instruction's mark in the
same column. Control dots join their target (⊕ for CX and CCX, crosses for SWAP), parameters
are written compactly (π/4, 0.785, or a variable's name), measurements draw a double line to
the bit they write, and conditional gates a double line to the bits they read with the
condition under them (`c[2]==1`).

    from norvane.quantum.visualization.diagram import to_text, to_svg, to_html, to_bokeh, layout

    print(to_text(circuit))                  # folded at 80 characters (width=None: one page)
    open("c.svg", "w").write(to_svg(circuit))
    layout(circuit).columns                  # the placed items, column by column
    to_bokeh(circuit)                        # the same drawing, each instruction on hover

Pure Python; only `to_bokeh` needs an optional dependency, Bokeh (the `plot` extra).
"""

from norvane.quantum.visualization.diagram.bokeh_figure import to_bokeh
from norvane.quantum.visualization.diagram.labels import format_number, format_param
from norvane.quantum.visualization.diagram.layout import Glyph, Item, Layout, layout
from norvane.quantum.visualization.diagram.svg import to_html, to_svg
from norvane.quantum.visualization.diagram.text import to_text

__all__ = ["layout", "to_text", "to_svg", "to_html", "to_bokeh", "Layout", "Item", "Glyph",
           "format_number", "format_param"]
