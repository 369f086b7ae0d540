#include "mock.hpp"

#include "support/args.hpp"
#include "support/pyops.hpp"

using norvane::checked;

namespace mock {

nb::object simulate_job_results(nb::handle task, nb::handle p_full, nb::handle p_empty) {
    nb::float_ full(norvane::arg_float(p_full, "p_full"));
    nb::float_ empty(norvane::arg_float(p_empty, "p_empty"));
    const Imports &outside = norvane::imports<Imports>();

    nb::object lattice = task.attr("lattice");
    Py_ssize_t n_sites = PyObject_Length(nb::object(lattice.attr("sites")).ptr());
    if (n_sites < 0) throw nb::python_error();
    nb::list load_probability;
    nb::int_ one(1);
    norvane::for_each_item(nb::object(lattice.attr("filling")), [&](nb::handle entry) {
        load_probability.append(norvane::compare(entry, one, Py_EQ) ? full : empty);
    });
    nb::object np = nb::borrow(outside.numpy_module);
    nb::object prob = np.attr("array")(load_probability, nb::arg("dtype") = np.attr("float64"));
    nb::object second_readout = np.attr("full")(n_sites, 0.5);

    // One generator per call, from fresh entropy.
    nb::object rng = np.attr("random").attr("default_rng")();
    nb::object binomial = rng.attr("binomial");
    nb::object size = nb::int_(n_sites);
    nb::object completed_shot = outside.shot_status.attr("Completed");
    nb::object nshots = checked(PyNumber_Index(nb::object(task.attr("nshots")).ptr()));
    long long shot_count = PyLong_AsLongLong(nshots.ptr());
    if (shot_count == -1 && PyErr_Occurred()) throw nb::python_error();

    nb::list shots;
    for (long long shot = 0; shot < shot_count; ++shot) {
        nb::object pre = binomial(one, prob, size);
        nb::object post_probability = checked(PyNumber_Multiply(pre.ptr(), second_readout.ptr()));
        nb::object post = binomial(one, post_probability, size);
        shots.append(outside.shot_result(nb::arg("shot_status") = completed_shot,
                                         nb::arg("pre_sequence") = pre.attr("tolist")(),
                                         nb::arg("post_sequence") = post.attr("tolist")()));
    }
    return outside.job_results(nb::arg("task_status") = outside.job_status.attr("Completed"),
                               nb::arg("shot_outputs") = shots);
}

}  // namespace mock
