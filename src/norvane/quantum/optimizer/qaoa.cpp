// norvane.quantum.optimizer.qaoa: the QAOA ansatz of a weighted graph, its parameter names
// and its Ising and max-cut cost observables.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

#include "runtime/memory.hpp"
#include "runtime/poll.hpp"

#include "support/args.hpp"
#include "support/module.hpp"
#include "support/plain_class.hpp"
#include "support/pyops.hpp"
#include "support/vectors.hpp"

using norvane::checked;

namespace nb = nanobind;

namespace {

const char *const kAnsatzDoc =
    "QAOA circuit ansatz for Ising-model cost Hamiltonians.\n"
    "\n"
    "Args:\n"
    "    n_qubits: Number of qubits (graph vertices).\n"
    "    edges: Weighted edges as (i, j, w) triples; pass w = 1.0 for an unweighted graph.\n"
    "    p: Number of QAOA layers (circuit depth parameter).\n"
    "\n"
    "Parameters are named gamma_1, beta_1, ..., gamma_p, beta_p (cost and mixer angle of each\n"
    "layer). The observables index qubit k as bit k of the basis index (least significant\n"
    "first).";

nb::handle param_map_class;

// The three items of an edge, unpacked as `i, j, w = edge` would, with the same errors.
std::vector<nb::object> unpack_edge(nb::handle edge) {
    std::vector<nb::object> items;
    nb::object it = checked(PyObject_GetIter(edge.ptr()));
    while (items.size() < 4) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        items.push_back(nb::steal(item));
    }
    if (items.size() > 3) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        throw nb::python_error();
    }
    if (items.size() < 3) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", Py_ssize_t(items.size()));
        throw nb::python_error();
    }
    return items;
}

void init(nb::handle self, nb::handle n_qubits, nb::handle edges, nb::handle p) {
    nb::int_ qubits = norvane::arg_int(n_qubits, "n_qubits");
    nb::int_ layers = norvane::arg_int(p, "p");
    if (norvane::compare(layers, nb::int_(1), Py_LT)) {
        PyErr_SetObject(PyExc_ValueError, norvane::format_text("p must be >= 1, got %S.", layers.ptr()).ptr());
        throw nb::python_error();
    }
    nb::list normalised;
    for (nb::handle edge : edges) {
        std::vector<nb::object> e = unpack_edge(edge);
        normalised.append(nb::make_tuple(checked(PyNumber_Long(e[0].ptr())), checked(PyNumber_Long(e[1].ptr())),
                                         checked(PyNumber_Float(e[2].ptr()))));
    }
    self.attr("n_qubits") = qubits;
    self.attr("edges") = normalised;
    self.attr("p") = layers;
}

nb::str gamma_name(nb::handle, nb::handle layer) {
    return norvane::format_text("gamma_%S", norvane::arg_int(layer, "layer").ptr());
}

nb::str beta_name(nb::handle, nb::handle layer) {
    return norvane::format_text("beta_%S", norvane::arg_int(layer, "layer").ptr());
}

long long layer_count(nb::handle self) { return norvane::arg_long(nb::object(self.attr("p")), "p"); }

nb::list parameter_names(nb::handle self) {
    nb::list names;
    for (long long layer = 1, p = layer_count(self); layer <= p; ++layer) {
        names.append(self.attr("_gamma_name")(layer));
        names.append(self.attr("_beta_name")(layer));
    }
    return names;
}

nb::object param_map(nb::handle self) { return param_map_class(self.attr("parameter_names")()); }

// The IR classes that build() uses, imported at every call.
struct Ir {
    nb::object h, rx, rzz, variable, mul, cast, measurement, circuit, routine;

    Ir() {
        nb::object gates = nb::module_::import_("norvane.quantum.ir.digital.gate");
        nb::object scalars = nb::module_::import_("norvane.quantum.ir.scalar");
        h = gates.attr("H");
        rx = gates.attr("RX");
        rzz = gates.attr("RZZ");
        variable = scalars.attr("Variable");
        mul = scalars.attr("Mul");
        cast = scalars.attr("cast");
        measurement = norvane::import_attr("norvane.quantum.ir.digital.measurement", "Measurement");
        circuit = norvane::import_attr("norvane.quantum.ir.digital.circuit", "DigitalCircuit");
        routine = norvane::import_attr("norvane.quantum.ir.routine.digital", "DigitalRoutine");
    }
};

nb::object build(nb::handle self) {
    Ir ir;
    nb::object n_qubits = self.attr("n_qubits");
    long long n = norvane::arg_long(n_qubits, "n_qubits");
    long long p = layer_count(self);
    nb::object two = nb::float_(2.0);
    nb::list instructions;
    for (long long q = 0; q < n; ++q) instructions.append(ir.h(nb::arg("targets") = nb::make_tuple(q)));
    for (long long layer = 1; layer <= p; ++layer) {
        nb::object gamma = ir.variable(nb::arg("name") = self.attr("_gamma_name")(layer));
        nb::object beta = ir.variable(nb::arg("name") = self.attr("_beta_name")(layer));
        for (nb::handle edge : self.attr("edges")) {
            std::vector<nb::object> e = unpack_edge(edge);
            nb::object weight = ir.cast(checked(PyNumber_Multiply(two.ptr(), e[2].ptr())));
            nb::object angle = ir.mul(nb::arg("lhs") = weight, nb::arg("rhs") = gamma);
            instructions.append(ir.rzz(nb::arg("targets") = nb::make_tuple(e[0], e[1]),
                                       nb::arg("params") = nb::make_tuple(angle)));
        }
        for (long long q = 0; q < n; ++q) {
            nb::object angle = ir.mul(nb::arg("lhs") = ir.cast(two), nb::arg("rhs") = beta);
            instructions.append(
                ir.rx(nb::arg("targets") = nb::make_tuple(q), nb::arg("params") = nb::make_tuple(angle)));
        }
    }
    nb::list qubits;
    for (long long q = 0; q < n; ++q) qubits.append(q);
    instructions.append(ir.measurement(nb::arg("qubits") = nb::tuple(qubits)));
    nb::object circuit = ir.circuit(nb::arg("n_qubits") = n_qubits, nb::arg("instructions") = nb::tuple(instructions),
                                    nb::arg("name") = norvane::format_text("QAOA_p%lld", p));
    return ir.routine(nb::arg("source") = nb::none(), nb::arg("circuit") = circuit);
}

// An edge with its endpoints resolved against n qubits as list indices (a negative one counts
// from the end), so that bit i of a basis index is the value of qubit i.
struct Edge {
    unsigned i, j;
    double w;
};

std::vector<Edge> resolved_edges(nb::handle self, long long n) {
    std::vector<Edge> out;
    for (nb::handle edge : self.attr("edges")) {
        std::vector<nb::object> e = unpack_edge(edge);
        unsigned ends[2];
        for (int k = 0; k < 2; ++k) {
            Py_ssize_t index = PyNumber_AsSsize_t(checked(PyNumber_Index(e[k].ptr())).ptr(), PyExc_IndexError);
            if (index == -1 && PyErr_Occurred()) throw nb::python_error();
            if (index < 0) index += Py_ssize_t(n);
            if (index < 0 || index >= Py_ssize_t(n)) throw nb::index_error("list index out of range");
            ends[k] = unsigned(index);
        }
        double w = PyFloat_AsDouble(e[2].ptr());
        if (w == -1.0 && PyErr_Occurred()) throw nb::python_error();
        out.push_back({ends[0], ends[1], w});
    }
    return out;
}

// MemoryError for an integer register size whose 2**n_qubits doubles cannot be in memory, before
// any power of two is computed (a huge exponent would take minutes of big-integer work).
void refuse_oversized_register(nb::handle n_qubits) {
    if (!PyLong_Check(n_qubits.ptr())) return;
    const long long n = norvane::index_saturated(n_qubits);
    if (n < 0 || (n <= 60 && runtime::bytes_fit(std::uint64_t(8) << n))) return;
    PyErr_Format(PyExc_MemoryError,
                 "an observable over %S qubits has 2**%S entries, more than this machine's memory", n_qubits.ptr(),
                 n_qubits.ptr());
    throw nb::python_error();
}

// A new array of 2**n_qubits entries; entry x starts at 0.0 and takes
// total = accumulate(total, w, z_i, z_j) for every edge in order.
template <typename Accumulate> nb::object tabulate(nb::handle self, Accumulate accumulate) {
    nb::object n_qubits = self.attr("n_qubits");
    refuse_oversized_register(n_qubits);
    nb::object size = checked(PyNumber_Power(nb::int_(2).ptr(), n_qubits.ptr(), Py_None));
    nb::object out = norvane::float_zeros(size);
    long long n = norvane::arg_long(n_qubits, "n_qubits");
    std::vector<Edge> edges = resolved_edges(self, n);
    norvane::DoubleView view(out, norvane::DoubleView::Access::write);
    double *entries = view.data();
    const std::size_t count = view.size();
    nb::gil_scoped_release no_gil;
    runtime::Poller poll(norvane::check_signals_without_gil);
    for (std::size_t x = 0; x < count; ++x) {
        double total = 0.0;
        for (const Edge &e : edges) {
            double z_i = 1.0 - 2.0 * double((x >> e.i) & 1u);
            double z_j = 1.0 - 2.0 * double((x >> e.j) & 1u);
            total = accumulate(total, e.w, z_i, z_j);
        }
        entries[x] = total;
        if ((x & 0xffff) == 0) poll();
    }
    return out;
}

nb::object cost_observable(nb::handle self) {
    return tabulate(self, [](double total, double w, double z_i, double z_j) { return total + w * z_i * z_j; });
}

nb::object max_cut_observable(nb::handle self) {
    return tabulate(self, [](double total, double w, double z_i, double z_j) {
        return total - w * (1.0 - z_i * z_j) / 2.0;
    });
}

nb::str repr(nb::handle self) {
    nb::object edges = self.attr("edges");
    Py_ssize_t n_edges = PyObject_Length(edges.ptr());
    if (n_edges < 0) throw nb::python_error();
    return norvane::format_text("QAOAAnsatz(n_qubits=%S, n_edges=%zd, p=%S)", nb::object(self.attr("n_qubits")).ptr(),
                                n_edges, nb::object(self.attr("p")).ptr());
}

}  // namespace

NB_MODULE(qaoa, m) {
    norvane::ModuleInitClaim claim("norvane.quantum.optimizer.qaoa");
    norvane::load_numpy();
    param_map_class = norvane::import_kept("norvane.quantum.optimizer.param_map", "ParamMap");

    nb::object cls = norvane::new_plain_class(m, "QAOAAnsatz", kAnsatzDoc);
    norvane::def_method(cls, "__init__", &init, nb::arg("n_qubits").none(), nb::arg("edges").none(),
                        nb::arg("p").none() = 1);
    norvane::def_method(cls, "_gamma_name", &gamma_name, nb::arg("layer").none(), "'gamma_' + str(layer)");
    norvane::def_method(cls, "_beta_name", &beta_name, nb::arg("layer").none(), "'beta_' + str(layer)");
    norvane::def_method(cls, "parameter_names", &parameter_names,
                        "[gamma_1, beta_1, ..., gamma_p, beta_p]: the names in parameter-vector order.");
    norvane::def_method(cls, "param_map", &param_map, "A ParamMap of parameter_names(), without bounds.");
    norvane::def_method(cls, "build", &build,
                        "A new DigitalRoutine of the QAOA circuit: H on every qubit, then per layer one RZZ\n"
                        "(angle 2*w*gamma_l) per edge and one RX (angle 2*beta_l) per qubit, then one\n"
                        "measurement of every qubit. Each layer's two Variable objects are shared by its gates.");
    norvane::def_method(cls, "cost_observable", &cost_observable,
                        "Diagonal of the Ising cost: entry x = sum of w * z_i * z_j over the edges, with\n"
                        "z_k = 1 - 2 * ((x >> k) & 1).");
    norvane::def_method(cls, "max_cut_observable", &max_cut_observable,
                        "Diagonal of the negated cut weight: entry x = -sum of w * (1 - z_i * z_j) / 2 over\n"
                        "the edges, with z_k = 1 - 2 * ((x >> k) & 1); its minimum is the maximum cut.");
    norvane::def_method(cls, "__repr__", &repr);
    nb::list exports;
    exports.append("QAOAAnsatz");
    m.attr("__all__") = exports;
}
