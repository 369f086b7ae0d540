// norvane.quantum.visualization.circuitview: a digital circuit drawn as a layered figure.
#include <nanobind/nanobind.h>
#include <nanobind/stl/vector.h>

#include "circuitview/drawing.hpp"
#include "circuitview/imports.hpp"
#include "circuitview/layers.hpp"
#include "circuitview/style.hpp"
#include "support/args.hpp"
#include "support/module.hpp"

namespace nb = nanobind;

namespace {

const char *const kModuleDoc =
    "Circuit figures: one horizontal wire per qubit (q0 at the top), gates packed into layer\n"
    "columns greedily from left to right, two-qubit gates as a control dot joined to a target\n"
    "box, measurements as boxes marked M. The plotting library (Bokeh) is imported when a\n"
    "figure is first requested. The style constants are read at every call.";

const char *const kAssignLayersDoc =
    "The layer index of every instruction, in instruction order (a list of ints).\n"
    "\n"
    "An instruction goes into the first column after every earlier instruction that shares a\n"
    "qubit with it (a gate's targets, a measurement's qubits); other instructions, such as\n"
    "conditional ones, sit in layer 0 and reserve no qubit. `n_qubits` must be a number and is\n"
    "otherwise unused.";

const char *const kFigureDoc =
    "The circuit drawn as a Bokeh figure (keyword arguments are accepted and ignored).\n"
    "\n"
    "Raises ImportError when Bokeh is not installed.";

const char *const kDisplayDoc =
    "Builds the figure with get_circuit_figure(circuit, **assignments) and shows it with\n"
    "bokeh.plotting.show (a browser tab, or the notebook's output). Returns None.";

}  // namespace

NB_MODULE(circuitview, m) {
    norvane::ModuleInitClaim claim("norvane.quantum.visualization.circuitview");
    m.doc() = kModuleDoc;
    circuitview::add_constants(m);
    // Drawing reads the constants from this module at each call; it lives for the process.
    nb::handle module = m.inc_ref();

    m.def(
        "_assign_layers",
        [](nb::handle instructions, nb::handle n_qubits) {
            norvane::arg_int(n_qubits, "n_qubits");
            return circuitview::assign_layers(instructions, circuitview::InstructionKinds::import_now());
        },
        nb::arg("instructions").none(), nb::arg("n_qubits").none(), kAssignLayersDoc);
    m.def(
        "get_circuit_figure",
        [module](nb::handle circuit, nb::kwargs) { return circuitview::draw_circuit(circuit, module); },
        nb::arg("circuit").none(), nb::arg("assignments"), kFigureDoc);
    m.def(
        "display_circuit",
        [module](nb::handle circuit, nb::kwargs) {
            nb::object show = circuitview::bokeh_show();
            show(circuitview::draw_circuit(circuit, module));
        },
        nb::arg("circuit").none(), nb::arg("assignments"), kDisplayDoc);

    nb::list exports;
    exports.append("get_circuit_figure");
    exports.append("display_circuit");
    m.attr("__all__") = exports;
}
