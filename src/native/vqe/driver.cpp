#include <string>
#include <utility>
#include <vector>

#include "support/args.hpp"
#include "support/module.hpp"
#include "support/plain_class.hpp"
#include "support/pyops.hpp"
#include "support/vectors.hpp"
#include "vqe.hpp"

using norvane::checked;

namespace vqe {

namespace {

const char *const kVqeDoc =
    "Variational quantum eigensolver: minimises the expectation of a diagonal observable over\n"
    "the parameters of a parameterised digital circuit, sampled on the statevector simulator.\n"
    "\n"
    "Args:\n"
    "    routine: The parameterised DigitalRoutine; only its circuit is used.\n"
    "    spec: The ParamMap giving the names and order of the parameters.\n"
    "    observable: Diagonal of the observable, 2**n entries; entry j belongs to the outcome\n"
    "        bitstring whose base-2 value (leftmost character most significant) is j.\n"
    "    shots: Default number of shots per cost evaluation.\n"
    "    gradient: Gradient function g(f, x); None selects parameter_shift_gradient.\n"
    "    optimizer: 'adam', 'gradient_descent' or 'scipy_minimize' (checked by run).\n"
    "    noise: Keyword only: a norvane.quantum.noise.NoiseModel for every cost evaluation's\n"
    "        simulator (None: noiseless).";

nb::handle default_gradient_fn;

// The simulator module, looked up when first needed so that it loads with the first use.
nb::object simulator_module() {
    return norvane::imported_module(NORVANE_NAME("norvane.quantum.simulator.digital.dense_sim"));
}

void init(nb::handle self, nb::handle routine, nb::handle spec, nb::handle observable, nb::handle shots,
          nb::handle gradient, nb::handle optimizer, nb::handle noise) {
    // Every argument is converted and checked before the first field is set.
    nb::object diagonal = norvane::as_float_array(observable);
    nb::int_ shot_count = norvane::arg_int(shots, "shots");
    nb::str optimizer_name = norvane::arg_str(optimizer, "optimizer");
    if (!noise.is_none()) {
        nb::object model_class = norvane::module_attr(norvane::imported_module(NORVANE_NAME("norvane.quantum.noise")),
                                                      NORVANE_NAME("NoiseModel"));
        if (!norvane::is_instance(noise, model_class))
            throw nb::type_error(("noise must be a NoiseModel or None, got " +
                                  std::string(Py_TYPE(noise.ptr())->tp_name)).c_str());
    }
    self.attr("routine") = routine;
    self.attr("spec") = spec;
    self.attr("observable") = diagonal;
    self.attr("shots") = shot_count;
    self.attr("gradient_fn") = gradient.is_none() ? default_gradient_fn : gradient;
    self.attr("optimizer") = optimizer_name;
    if (!noise.is_none()) self.attr("noise") = noise;  // noiseless drivers keep their fields as they were
    self.attr("_n_evals") = nb::int_(0);
}

nb::object shots_or_default(nb::handle self, nb::handle shots) {
    return shots.is_none() ? nb::object(self.attr("shots")) : nb::object(norvane::arg_int(shots, "shots"));
}

// The basis index of an outcome bitstring, leftmost character most significant.
Py_ssize_t outcome_index(nb::handle bitstring) {
    if (PyUnicode_CheckExact(bitstring.ptr())) {
        Py_ssize_t length = 0;
        const char *text = PyUnicode_AsUTF8AndSize(bitstring.ptr(), &length);
        if (!text) throw nb::python_error();
        if (length > 0 && length < 63) {
            Py_ssize_t index = 0;
            Py_ssize_t k = 0;
            for (; k < length && (text[k] == '0' || text[k] == '1'); ++k) index = (index << 1) | (text[k] - '0');
            if (k == length) return index;
        }
    }
    // Anything else is read by int(bitstring, 2), with its errors.
    nb::object number = nb::handle((PyObject *)&PyLong_Type)(bitstring, 2);
    Py_ssize_t index = PyNumber_AsSsize_t(number.ptr(), PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) throw nb::python_error();
    return index;
}

// The sampled probabilities laid into a vector of `size` entries by outcome index.
nb::object probability_vector(nb::handle probabilities, nb::handle size) {
    nb::object vector = norvane::float_zeros(size);
    std::vector<std::pair<Py_ssize_t, double>> entries;
    for (nb::handle item : probabilities.attr("items")()) {
        nb::object bitstring = item[0], p = item[1];
        double value = PyFloat_AsDouble(p.ptr());
        if (value == -1.0 && PyErr_Occurred()) throw nb::python_error();
        entries.emplace_back(outcome_index(bitstring), value);
    }
    norvane::DoubleView view(vector, norvane::DoubleView::Access::write);
    Py_ssize_t length = Py_ssize_t(view.size());
    for (auto [index, value] : entries) {
        Py_ssize_t position = index < 0 ? index + length : index;
        if (position < 0 || position >= length) {
            PyErr_Format(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", index, length);
            throw nb::python_error();
        }
        view.data()[position] = value;
    }
    return vector;
}

// Adds `count` to the instance's evaluation count.
void add_evaluations(nb::handle self, nb::handle count) {
    self.attr("_n_evals") = checked(PyNumber_Add(nb::object(self.attr("_n_evals")).ptr(), count.ptr()));
}

nb::object cost(nb::handle self, nb::handle x, nb::handle shots) {
    nb::object simulator_class = norvane::module_attr(simulator_module(), NORVANE_NAME("DigitalDenseSimulator"));
    // Counted before binding, so an evaluation that fails later still counts.
    add_evaluations(self, nb::int_(1));
    nb::object assignments = self.attr("spec").attr("bind")(x);
    nb::object shot_count = shots_or_default(self, shots);
    nb::object circuit = self.attr("routine").attr("circuit");
    // A noiseless VQE (or one pickled before noise models existed) has no `noise` field.
    nb::object noise = nb::getattr(self, "noise", nb::none());
    nb::object simulator = noise.is_none() ? simulator_class(circuit) : simulator_class(circuit, nb::arg("noise") = noise);
    nb::dict keywords;
    keywords["shots"] = shot_count;
    nb::object result =
        call_with_extra_keywords(simulator.attr("run"), nb::tuple(), std::move(keywords), assignments);
    nb::object probabilities = result.attr("probabilities")();
    nb::object size = checked(PyNumber_Power(nb::int_(2).ptr(), nb::object(circuit.attr("n_qubits")).ptr(), Py_None));
    nb::object vector = probability_vector(probabilities, size);
    return checked(PyNumber_Float(norvane::dot(self.attr("observable"), vector).ptr()));
}

nb::handle cost_at_class;

nb::object gradient(nb::handle self, nb::handle x, nb::handle shots) {
    nb::object cost_at = cost_at_class(self, shots_or_default(self, shots));
    return self.attr("gradient_fn")(cost_at, x);
}

// The cost function a gradient request hands to gradient_fn: a plain object, so that it
// pickles (with its VQE) for evaluation in other processes.
const char *const kCostAtDoc =
    "The cost of a VQE at a parameter vector with a fixed shot count.\n"
    "\n"
    "Calling it is vqe.cost(z, shots), which counts one evaluation. For evaluations that an\n"
    "executor makes (in worker processes on copies of the VQE, or in threads on the VQE\n"
    "itself), uncounted(z) evaluates through vqe.cost and takes its count back, and the caller\n"
    "adds them all with count_evaluations(n).";

// The cost at z through the VQE's own cost method (a subclass's included), its count taken back.
nb::object uncounted_cost(nb::handle self, nb::handle z) {
    nb::object vqe = self.attr("vqe");
    nb::object value;
    try {
        value = vqe.attr("cost")(z, self.attr("shots"));
    } catch (nb::python_error &) {
        add_evaluations(vqe, nb::int_(-1));
        throw;
    }
    add_evaluations(vqe, nb::int_(-1));
    return value;
}

void cost_at_init(nb::handle self, nb::handle vqe, nb::handle shots) {
    nb::int_ shot_count = norvane::arg_int(shots, "shots");
    self.attr("vqe") = vqe;
    self.attr("shots") = shot_count;
}

void bind_cost_at(nb::module_ &m) {
    nb::object cls = norvane::new_plain_class(m, "_CostAt", kCostAtDoc);
    cost_at_class = nb::handle(cls).inc_ref();  // kept for the process, like the module
    norvane::def_method(cls, "__init__", &cost_at_init, nb::arg("vqe").none(), nb::arg("shots").none());
    norvane::def_method(
        cls, "__call__", [](nb::handle self, nb::handle z) { return self.attr("vqe").attr("cost")(z, self.attr("shots")); },
        nb::arg("z").none(), "The cost at z, counted.");
    norvane::def_method(cls, "uncounted", &uncounted_cost, nb::arg("z").none(), "The cost at z, not counted.");
    norvane::def_method(
        cls, "count_evaluations", [](nb::handle self, nb::handle n) { add_evaluations(self.attr("vqe"), norvane::arg_int(n, "n")); },
        nb::arg("n").none(), "Add n evaluations to the VQE's count.");
}

const char *const kLoops[][2] = {
    {"adam", "_run_adam"}, {"gradient_descent", "_run_gradient_descent"}, {"scipy_minimize", "_run_scipy"}};

// The method name of the loop that `optimizer` names; ValueError for any other value.
const char *loop_of(nb::handle optimizer) {
    if (PyUnicode_Check(optimizer.ptr())) {
        for (const auto &[name, loop] : kLoops)
            if (norvane::compare(optimizer, nb::str(name), Py_EQ)) return loop;
    }
    PyErr_SetObject(PyExc_ValueError,
                    norvane::format_text("Unknown optimizer %R. Choose 'adam', 'gradient_descent', or 'scipy_minimize'.",
                                         optimizer.ptr())
                        .ptr());
    throw nb::python_error();
}

// The progress of a run's iterations (a norvane.quantum.progress.Tracker, or None when the
// run's `progress` asks for none), closed however the run ends.
class IterationProgress {
public:
    IterationProgress(nb::handle progress, long long max_iter) : tracker_(nb::none()) {
        if (progress.is_none() || progress.ptr() == Py_False) return;
        nb::object make = norvane::import_attr("norvane.quantum.progress", "tracker");
        tracker_ = make(progress, nb::int_(max_iter < 0 ? 0 : max_iter), nb::arg("desc") = "VQE",
                        nb::arg("unit") = "it");
    }
    ~IterationProgress() {
        if (!tracker_.is_none()) norvane::call_keeping_error(tracker_, "close");
    }
    IterationProgress(const IterationProgress &) = delete;
    IterationProgress &operator=(const IterationProgress &) = delete;

    nb::handle tracker() const { return tracker_; }
    void finish() const {
        if (!tracker_.is_none()) tracker_.attr("finish")();
    }

private:
    nb::object tracker_;
};

nb::object run(nb::handle self, nb::handle x0, nb::handle shots, nb::handle max_iter, nb::handle progress,
               nb::kwargs optimizer_kwargs) {
    self.attr("_n_evals") = nb::int_(0);
    nb::object start = x0.is_none() ? nb::object(self.attr("spec").attr("random")()) : nb::borrow(x0);
    start = norvane::as_float_array(start);
    nb::object shot_count = shots_or_default(self, shots);
    nb::int_ iterations = norvane::arg_int(max_iter, "max_iter");
    const char *loop = loop_of(self.attr("optimizer"));
    IterationProgress iterations_done(progress, norvane::arg_long(iterations, "max_iter"));
    nb::object arguments = nb::make_tuple(start, shot_count, iterations, iterations_done.tracker());
    nb::object result = call_with_extra_keywords(self.attr(loop), arguments, nb::dict(), optimizer_kwargs);
    iterations_done.finish();
    return result;
}

}  // namespace

nb::object bind_driver(nb::module_ &m, nb::handle default_gradient) {
    default_gradient_fn = default_gradient;
    bind_cost_at(m);
    nb::object cls = norvane::new_plain_class(m, "VQE", kVqeDoc);
    norvane::def_method(cls, "__init__", &init, nb::arg("routine").none(), nb::arg("spec").none(),
                        nb::arg("observable").none(), nb::arg("shots").none() = 1024,
                        nb::arg("gradient").none() = nb::none(), nb::arg("optimizer").none() = "adam", nb::kw_only(),
                        nb::arg("noise").none() = nb::none());
    norvane::def_method(cls, "cost", &cost, nb::arg("x").none(), nb::arg("shots").none() = nb::none(),
                        "The sampled expectation of the observable at parameter vector x: a new unseeded\n"
                        "simulator runs the circuit for `shots` shots (default: the field shots) with\n"
                        "the bindings spec.bind(x). Every call counts one evaluation.");
    norvane::def_method(cls, "gradient", &gradient, nb::arg("x").none(), nb::arg("shots").none() = nb::none(),
                        "gradient_fn applied to the cost (with the given shot count) at x.");
    norvane::def_method(cls, "run", &run, nb::arg("x0").none() = nb::none(), nb::arg("shots").none() = nb::none(),
                        nb::arg("max_iter").none() = 100, nb::kw_only(), nb::arg("progress").none() = false,
                        nb::arg("optimizer_kwargs"),
                        "Minimise the cost from x0 (default: spec.random()) with the loop named by\n"
                        "`optimizer`, at most max_iter iterations; extra keywords go to the loop. Returns\n"
                        "a VQEResult whose n_evaluations counts the evaluations of this run.\n"
                        "\n"
                        "progress (keyword only, never passed to the loop): False or None, silent; True, a\n"
                        "bar on stderr; or a callable progress(done, total) called with the iterations done\n"
                        "and max_iter, after every iteration (scipy_minimize: every iteration the\n"
                        "minimiser reports to its callback) and with total at the end (see\n"
                        "norvane.quantum.progress). What it raises ends the run.");
    return cls;
}

}  // namespace vqe
