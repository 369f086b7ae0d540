// The layered circuit figure: wires, gate boxes, control dots and measurement boxes drawn
// with the plotting library's glyph methods.
#pragma once

#include <nanobind/nanobind.h>

namespace circuitview {

namespace nb = nanobind;

// A new figure of `circuit` (a DigitalCircuit), styled by the constants of `module`.
nb::object draw_circuit(nb::handle circuit, nb::handle module);

}  // namespace circuitview
