#include "layers.hpp"

#include <algorithm>

#include "support/pyops.hpp"

namespace circuitview {

namespace {

void collect(nb::handle iterable, std::vector<nb::object> &out) {
    norvane::for_each_item(iterable, [&out](nb::handle item) { out.push_back(nb::borrow(item)); });
}

}  // namespace

std::vector<nb::object> instruction_qubits(nb::handle instruction, const InstructionKinds &kinds) {
    std::vector<nb::object> qubits;
    if (norvane::is_instance(instruction, kinds.gate))
        collect(instruction.attr(NORVANE_NAME("targets")), qubits);
    else if (norvane::is_instance(instruction, kinds.measurement))
        collect(instruction.attr(NORVANE_NAME("qubits")), qubits);
    return qubits;
}

std::vector<long long> assign_layers(nb::handle instructions, const InstructionKinds &kinds) {
    nb::dict last_layer;  // qubit -> last layer used on it
    std::vector<long long> layers;
    norvane::for_each_item(instructions, [&](nb::handle instruction) {
        std::vector<nb::object> qubits = instruction_qubits(instruction, kinds);
        long long layer = 0;
        for (const nb::object &q : qubits) {
            PyObject *used = PyDict_GetItemWithError(last_layer.ptr(), q.ptr());
            if (!used && PyErr_Occurred()) throw nb::python_error();
            if (used) layer = std::max(layer, PyLong_AsLongLong(used) + 1);
        }
        nb::int_ layer_value(layer);
        for (const nb::object &q : qubits) last_layer[q] = layer_value;
        layers.push_back(layer);
    });
    return layers;
}

}  // namespace circuitview
