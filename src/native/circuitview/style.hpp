// The figure's style constants. The module starts with the values set by add_constants;
// drawing reads the module's current values at every call, so assigning a new value to a
// module attribute restyles the figures drawn after it.
#pragma once

#include <nanobind/nanobind.h>

namespace circuitview {

namespace nb = nanobind;

// Sets WIRE_SPACING, LAYER_WIDTH, LEFT_MARGIN, TOP_MARGIN, GATE_SIZE (figure units) and the
// colour texts WIRE_COLOR ... BACKGROUND_COLOR on module m.
void add_constants(nb::module_ &m);

// The current values of those constants in `module`.
struct Style {
    nb::object wire_spacing, layer_width, left_margin, top_margin, gate_size;
    nb::object wire_color, gate_color_1q, gate_color_2q, gate_color_3q, measure_color, text_color,
        background_color;

    static Style read(nb::handle module);
};

}  // namespace circuitview
