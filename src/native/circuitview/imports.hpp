// What the figure needs from outside, imported when a function runs (the IR's instruction
// classes, the plotting library's figure factory and show).
#pragma once

#include <nanobind/nanobind.h>

namespace circuitview {

namespace nb = nanobind;

// `from <module> import <name>`: a missing name is an ImportError, as in Python.
nb::object from_import(nb::handle module, nb::handle name);

// The IR classes that decide how an instruction is packed and drawn.
struct InstructionKinds {
    nb::object gate, measurement;

    static InstructionKinds import_now();
};

// bokeh.plotting.figure, after checking that the plotting library and the models the figure
// relies on import; an ImportError on the way becomes the kit's fixed "Bokeh is required" error.
nb::object bokeh_figure_factory();

// bokeh.plotting.show, imported with the interpreter's own error when it is missing.
nb::object bokeh_show();

}  // namespace circuitview
