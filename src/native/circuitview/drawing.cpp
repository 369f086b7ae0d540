#include "drawing.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "imports.hpp"
#include "layers.hpp"
#include "style.hpp"
#include "support/args.hpp"
#include "support/pyops.hpp"

namespace circuitview {

namespace {

// The title's qubit-count suffix, " 量子比特)", spelled in UTF-8 bytes so that every
// compiler's source and execution character sets agree.
const char *const kTitleFormat = "{} ({} \xE9\x87\x8F\xE5\xAD\x90\xE6\xAF\x94\xE7\x89\xB9)";

nb::list one(nb::handle value) {
    nb::list list;
    list.append(value);
    return list;
}

nb::list two(nb::handle first, nb::handle second) {
    nb::list list;
    list.append(first);
    list.append(second);
    return list;
}

// Draws onto one figure. Coordinates are Python numbers computed with the interpreter's
// arithmetic, so y values are ints, x values floats, and any target index can be drawn.
class Drawing {
public:
    Drawing(nb::object figure, Style style, nb::object height)
        : figure_(std::move(figure)), style_(std::move(style)), height_(std::move(height)) {}

    // Wire y of qubit q (an integer; other numbers truncate): qubit 0 is the top wire.
    nb::object qubit_y(nb::handle q) const {
        return height_ - style_.top_margin - norvane::arg_int(q, "q") * style_.wire_spacing;
    }

    // Centre x of a layer column.
    nb::object layer_x(long long layer) const {
        return style_.left_margin + nb::int_(layer) * style_.layer_width + style_.layer_width / nb::int_(2);
    }

    void wire(long long q, nb::handle x_end) {
        nb::object y = qubit_y(nb::int_(q));
        nb::dict line;
        line["x"] = two(style_.left_margin - nb::int_(20), x_end);
        line["y"] = two(y, y);
        line["line_color"] = style_.wire_color;
        line["line_width"] = 1.5;
        call("line", line);

        nb::dict label;
        label["x"] = one(style_.left_margin - nb::int_(25));
        label["y"] = one(y - nb::int_(6));
        label["text"] = one(nb::str("q{}").format(q));
        label["text_align"] = "right";
        label["text_baseline"] = "bottom";
        label["text_font_size"] = "11px";
        label["text_color"] = style_.text_color;
        call("text", label);
    }

    void gate(nb::handle gate, nb::handle x) {
        std::vector<nb::object> ys;
        norvane::for_each_item(gate.attr(NORVANE_NAME("targets")), [&](nb::handle q) { ys.push_back(qubit_y(q)); });
        nb::object label = gate.attr(NORVANE_NAME("print_node"))();
        if (ys.size() == 1) {
            box(x, ys[0], style_.gate_size, style_.gate_color_1q, nb::handle());
            box_text(x, ys[0], label, "11px");
        } else if (ys.size() == 2) {
            // The first target is the control dot and the second the box, whatever the gate.
            const nb::object &yc = ys[0], &yt = ys[1];
            bool target_below = norvane::compare(yt, yc, Py_LT);
            nb::dict connector;
            connector["x"] = two(x, x);
            connector["y"] = target_below ? two(yt, yc) : two(yc, yt);
            connector["line_color"] = style_.text_color;
            connector["line_width"] = 2;
            call("line", connector);

            nb::dict dot;
            dot["x"] = one(x);
            dot["y"] = one(yc);
            dot["size"] = 10;
            dot["fill_color"] = style_.text_color;
            dot["line_color"] = style_.text_color;
            call("scatter", dot);

            box(x, yt, style_.gate_size, style_.gate_color_2q, nb::handle());
            box_text(x, yt, label, "10px");
        } else if (ys.size() >= 3) {
            nb::object lowest = ys[0], highest = ys[0], total = nb::int_(0);
            for (const nb::object &y : ys) {
                if (norvane::compare(y, lowest, Py_LT)) lowest = y;
                if (norvane::compare(y, highest, Py_GT)) highest = y;
                total = total + y;
            }
            nb::object centre = total / nb::int_(ys.size());
            box(x, centre, highest - lowest + style_.gate_size, style_.gate_color_3q, nb::float_(0.85));
            box_text(x, centre, label, "9px");
        }
        // A gate without targets occupies no wire and is not drawn.
    }

    void measurement(nb::handle measurement, nb::handle x) {
        nb::str mark("M");
        norvane::for_each_item(measurement.attr(NORVANE_NAME("qubits")), [&](nb::handle q) {
            nb::object y = qubit_y(q);
            box(x, y, style_.gate_size, style_.measure_color, nb::handle());
            box_text(x, y, mark, "13px");
        });
    }

private:
    void call(const char *glyph, const nb::dict &kwargs) { figure_.attr(glyph)(**kwargs); }

    // A box GATE_SIZE wide and `height` high centred at (x, y), outlined in TEXT_COLOR;
    // fill_alpha is set only when given.
    void box(nb::handle x, nb::handle y, nb::handle height, nb::handle fill, nb::handle fill_alpha) {
        nb::dict rect;
        rect["x"] = one(x);
        rect["y"] = one(y);
        rect["width"] = style_.gate_size;
        rect["height"] = height;
        rect["fill_color"] = fill;
        if (fill_alpha.is_valid()) rect["fill_alpha"] = fill_alpha;
        rect["line_color"] = style_.text_color;
        rect["line_width"] = 1;
        call("rect", rect);
    }

    // White bold text standing on a baseline 7 units below the box centre.
    void box_text(nb::handle x, nb::handle centre_y, nb::handle text, const char *size) {
        nb::dict label;
        label["x"] = one(x);
        label["y"] = one(centre_y - nb::int_(7));
        label["text"] = one(text);
        label["text_align"] = "center";
        label["text_baseline"] = "bottom";
        label["text_font_size"] = size;
        label["text_color"] = "white";
        label["text_font_style"] = "bold";
        call("text", label);
    }

    nb::object figure_;
    Style style_;
    nb::object height_;
};

nb::object title_of(nb::handle circuit, nb::handle n_qubits) {
    nb::object name = circuit.attr(NORVANE_NAME("name"));
    if (!norvane::truth(name)) name = nb::str("DigitalCircuit");
    return nb::str(kTitleFormat).format(name, n_qubits);
}

}  // namespace

nb::object draw_circuit(nb::handle circuit, nb::handle module) {
    nb::object figure_factory = bokeh_figure_factory();
    InstructionKinds kinds = InstructionKinds::import_now();
    Style style = Style::read(module);

    nb::int_ n_qubits = norvane::arg_int(circuit.attr(NORVANE_NAME("n_qubits")), "n_qubits");
    long long wire_count = norvane::arg_long(n_qubits, "n_qubits");
    nb::object instructions = norvane::checked(PySequence_List(circuit.attr(NORVANE_NAME("instructions")).ptr()));
    std::vector<long long> layers = assign_layers(instructions, kinds);
    long long n_layers = 0;
    for (long long layer : layers) n_layers = std::max(n_layers, layer + 1);

    nb::object layers_width = nb::int_(n_layers) * style.layer_width;
    nb::object width = style.left_margin + layers_width + nb::int_(60);
    nb::object height = style.top_margin + n_qubits * style.wire_spacing + nb::int_(40);

    nb::dict settings;
    settings["title"] = title_of(circuit, n_qubits);
    settings["width"] = width;
    settings["height"] = height;
    settings["toolbar_location"] = "above";
    settings["background_fill_color"] = style.background_color;
    settings["x_range"] = nb::make_tuple(0, width);
    settings["y_range"] = nb::make_tuple(0, height);
    nb::object figure = figure_factory(**settings);
    figure.attr("grid").attr("visible") = false;
    figure.attr("axis").attr("visible") = false;
    nb::object title = figure.attr("title");
    title.attr("text_font_size") = "14px";
    title.attr("text_color") = style.text_color;

    Drawing drawing(figure, style, height);
    nb::object wire_end = style.left_margin + layers_width + nb::int_(30);
    for (long long q = 0; q < wire_count; ++q) drawing.wire(q, wire_end);

    // `instructions` is a private list, so it still holds one item per layer entry.
    for (std::size_t i = 0; i < layers.size(); ++i) {
        nb::object instruction = nb::borrow(PyList_GET_ITEM(instructions.ptr(), static_cast<Py_ssize_t>(i)));
        nb::object x = drawing.layer_x(layers[i]);
        if (norvane::is_instance(instruction, kinds.gate))
            drawing.gate(instruction, x);
        else if (norvane::is_instance(instruction, kinds.measurement))
            drawing.measurement(instruction, x);
    }
    return figure;
}

}  // namespace circuitview
