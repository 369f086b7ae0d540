#include "style.hpp"

#include "support/pyops.hpp"

namespace circuitview {

void add_constants(nb::module_ &m) {
    m.attr("WIRE_SPACING") = 60;  // vertical distance between neighbouring wires
    m.attr("LAYER_WIDTH") = 70;   // horizontal width of one layer column
    m.attr("LEFT_MARGIN") = 80;   // x of the left edge of layer 0
    m.attr("TOP_MARGIN") = 40;    // distance from the top edge to wire 0
    m.attr("GATE_SIZE") = 42;     // side of a gate or measurement box
    m.attr("WIRE_COLOR") = "#94A3B8";
    m.attr("GATE_COLOR_1Q") = "#06B6D4";
    m.attr("GATE_COLOR_2Q") = "#F59E0B";
    m.attr("GATE_COLOR_3Q") = "#EF4444";
    m.attr("MEASURE_COLOR") = "#10B981";
    m.attr("TEXT_COLOR") = "#1E293B";  // title, labels, outlines, control dots, connectors
    m.attr("BACKGROUND_COLOR") = "#FAFAFA";
}

Style Style::read(nb::handle module) {
    auto get = [module](nb::handle name) { return norvane::module_attr(module, name); };
    return Style{get(NORVANE_NAME("WIRE_SPACING")),  get(NORVANE_NAME("LAYER_WIDTH")),
                 get(NORVANE_NAME("LEFT_MARGIN")),   get(NORVANE_NAME("TOP_MARGIN")),
                 get(NORVANE_NAME("GATE_SIZE")),     get(NORVANE_NAME("WIRE_COLOR")),
                 get(NORVANE_NAME("GATE_COLOR_1Q")), get(NORVANE_NAME("GATE_COLOR_2Q")),
                 get(NORVANE_NAME("GATE_COLOR_3Q")), get(NORVANE_NAME("MEASURE_COLOR")),
                 get(NORVANE_NAME("TEXT_COLOR")),    get(NORVANE_NAME("BACKGROUND_COLOR"))};
}

}  // namespace circuitview
