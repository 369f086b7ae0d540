#include <cmath>
#include <cstddef>
#include <memory>

#include "support/args.hpp"
#include "support/module.hpp"
#include "support/plain_class.hpp"
#include "support/pyops.hpp"
#include "support/vectors.hpp"
#include "vqe.hpp"

namespace vqe {

namespace {

nb::handle result_type;

using norvane::DoubleView;

// One optimisation run: the cost and gradient at a point go through the instance's own
// methods with the run's shot count, and every recorded point is a copy.
class Run {
public:
    Run(nb::handle vqe, nb::handle shots) : vqe_(nb::borrow(vqe)), shots_(norvane::arg_int(shots, "shots")) {}

    nb::object cost(nb::handle x) const { return vqe_.attr("cost")(x, shots_); }
    nb::object gradient(nb::handle x) const { return vqe_.attr("gradient")(x, shots_); }
    void record(nb::handle x, nb::handle value) { history_.append(nb::make_tuple(norvane::float_array_copy(x), value)); }

    nb::object result(nb::handle params, nb::handle value, bool converged, nb::handle iterations,
                      nb::handle message) const {
        return result_type(nb::arg("optimal_params") = params, nb::arg("optimal_value") = value,
                           nb::arg("history") = history_, nb::arg("converged") = converged,
                           nb::arg("n_iterations") = iterations, nb::arg("n_evaluations") = vqe_.attr("_n_evals"),
                           nb::arg("message") = message);
    }

    nb::list &history() { return history_; }

private:
    nb::object vqe_;
    nb::int_ shots_;
    nb::list history_;
};

// The gradient at x as a float64 array of x's shape.
nb::object gradient_like(const Run &run, nb::handle x) {
    nb::object g = norvane::float_array_copy(run.gradient(x));
    nb::tuple g_shape = norvane::shape_of(g), x_shape = norvane::shape_of(x);
    if (!norvane::compare(g_shape, x_shape, Py_EQ)) {
        PyErr_SetObject(PyExc_ValueError, norvane::format_text("the gradient has shape %R, but the parameter vector "
                                                               "has shape %R",
                                                               g_shape.ptr(), x_shape.ptr())
                                              .ptr());
        throw nb::python_error();
    }
    return g;
}

// Whether max(|x_new - x|) < tol; a NaN difference never converges.
bool parameter_change_below(nb::handle x_new, nb::handle x, double tol) {
    DoubleView a(x_new, DoubleView::Access::read), b(x, DoubleView::Access::read);
    if (a.size() != b.size()) throw nb::value_error("a parameter vector changed its size during the run");
    if (a.size() == 0) throw nb::value_error("zero-size array to reduction operation maximum which has no identity");
    bool below = true;
    for (std::size_t k = 0; k < a.size(); ++k) below = below && std::fabs(a.data()[k] - b.data()[k]) < tol;
    return below;
}

// Tells `track` (a progress Tracker, or None) that `done` iterations have run.
void report_iterations(nb::handle track, long long done) {
    if (!track.is_none()) track.attr("update")(nb::int_(done));
}

// The iteration loop shared by Adam and gradient descent: step(x, t) returns the next point.
template <typename Step>
nb::object iterate(Run &run, nb::handle x0, nb::handle max_iter, nb::handle track, double tol,
                   const char *converged_message, Step step) {
    nb::int_ limit = norvane::arg_int(max_iter, "max_iter");
    long long iterations = norvane::arg_long(limit, "max_iter");
    nb::object x = norvane::float_array_copy(x0);
    nb::object value = run.cost(x);
    run.record(x, value);
    for (long long t = 1; t <= iterations; ++t) {
        nb::object x_new = step(x, t);
        nb::object value_new = run.cost(x_new);
        run.record(x_new, value_new);
        report_iterations(track, t);
        if (parameter_change_below(x_new, x, tol))
            return run.result(x_new, value_new, true, nb::int_(t), nb::str(converged_message));
        x = x_new;
        value = value_new;
    }
    return run.result(x, value, false, limit, nb::str("Maximum iterations reached."));
}

// A new array like x whose element at every flat position k is combine(k).
template <typename Combine> nb::object elementwise(nb::handle x, Combine combine) {
    nb::object out = norvane::empty_like(x);
    DoubleView view(out, DoubleView::Access::write);
    for (std::size_t k = 0; k < view.size(); ++k) view.data()[k] = combine(k);
    return out;
}

nb::object run_adam(nb::handle self, nb::handle x0, nb::handle shots, nb::handle max_iter, nb::handle track,
                    nb::handle lr_, nb::handle beta1_, nb::handle beta2_, nb::handle eps_, nb::handle tol_) {
    double lr = norvane::arg_float(lr_, "lr"), beta1 = norvane::arg_float(beta1_, "beta1"),
           beta2 = norvane::arg_float(beta2_, "beta2"), eps = norvane::arg_float(eps_, "eps"),
           tol = norvane::arg_float(tol_, "tol");
    Run run(self, shots);
    nb::object start = norvane::as_float_array(x0);
    nb::object m = norvane::zeros_like(start), v = norvane::zeros_like(start);
    auto step = [&](nb::handle x, long long t) {
        nb::object g = gradient_like(run, x);
        DoubleView gv(g, DoubleView::Access::read), xv(x, DoubleView::Access::read);
        DoubleView mv(m, DoubleView::Access::write), vv(v, DoubleView::Access::write);
        if (xv.size() != mv.size()) throw nb::value_error("a parameter vector changed its size during the run");
        double m_scale = 1.0 - std::pow(beta1, double(t)), v_scale = 1.0 - std::pow(beta2, double(t));
        return elementwise(x, [&](std::size_t k) {
            double gk = gv.data()[k];
            mv.data()[k] = beta1 * mv.data()[k] + (1.0 - beta1) * gk;
            vv.data()[k] = beta2 * vv.data()[k] + (1.0 - beta2) * (gk * gk);
            double m_hat = mv.data()[k] / m_scale, v_hat = vv.data()[k] / v_scale;
            return xv.data()[k] - lr * m_hat / (std::sqrt(v_hat) + eps);
        });
    };
    return iterate(run, start, max_iter, track, tol, "Converged (parameter change < tol).", step);
}

nb::object run_gradient_descent(nb::handle self, nb::handle x0, nb::handle shots, nb::handle max_iter,
                                nb::handle track, nb::handle lr_, nb::handle tol_) {
    double lr = norvane::arg_float(lr_, "lr"), tol = norvane::arg_float(tol_, "tol");
    Run run(self, shots);
    auto step = [&](nb::handle x, long long) {
        nb::object g = gradient_like(run, x);
        DoubleView gv(g, DoubleView::Access::read), xv(x, DoubleView::Access::read);
        return elementwise(x, [&](std::size_t k) { return xv.data()[k] - lr * gv.data()[k]; });
    };
    return iterate(run, norvane::as_float_array(x0), max_iter, track, tol, "Converged.", step);
}

nb::object run_scipy(nb::handle self, nb::handle x0, nb::handle shots, nb::handle max_iter, nb::handle track,
                     nb::handle method, nb::kwargs minimizer_kwargs) {
    nb::object minimize;
    try {
        minimize = norvane::import_attr("scipy.optimize", "minimize");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        nb::raise_from(e, PyExc_ImportError,
                       "scipy is required for optimizer='scipy_minimize'. Install with: pip install scipy");
    }
    nb::str method_name = norvane::arg_str(method, "method");
    // The two functions share the run, which stays valid for as long as either is referenced.
    auto run = std::make_shared<Run>(self, shots);
    nb::int_ limit = norvane::arg_int(max_iter, "max_iter");
    nb::object start = norvane::float_array_copy(x0);
    nb::object cost_fn = nb::cpp_function(
        [run](nb::handle z) {
            nb::object value = run->cost(z);
            run->record(z, value);
            return value;
        },
        nb::arg("z").none(), nb::name("cost"));
    nb::object gradient_fn = nb::cpp_function([run](nb::handle z) { return run->gradient(z); }, nb::arg("z").none(),
                                              nb::name("gradient"));
    nb::dict options;
    options["maxiter"] = limit;
    nb::dict keywords;
    keywords["jac"] = gradient_fn;
    keywords["method"] = method_name;
    keywords["options"] = options;
    nb::dict extra = minimizer_kwargs;
    if (!track.is_none()) {
        // The callback that counts iterations calls the caller's own, if any.
        extra = nb::borrow<nb::dict>(norvane::checked(PyDict_Copy(minimizer_kwargs.ptr())));
        nb::object callback = nb::none();
        if (extra.contains("callback")) {
            callback = extra["callback"];
            nb::del(extra["callback"]);
        }
        keywords["callback"] = norvane::import_attr("norvane.quantum.progress", "iteration_callback")(track, callback);
    }
    nb::object res = call_with_extra_keywords(minimize, nb::make_tuple(cost_fn, start), keywords, extra);

    nb::object params = res.attr("x");
    nb::object value = nb::steal(PyNumber_Float(nb::object(res.attr("fun")).ptr()));
    if (!value.is_valid()) throw nb::python_error();
    bool success = norvane::truth(nb::object(res.attr("success")));
    nb::object iterations = norvane::contains(res, nb::str("nit")) ? nb::object(res[nb::str("nit")])
                                                                   : nb::object(nb::int_(run->history().size()));
    return run->result(params, value, success, iterations, nb::object(res.attr("message")));
}

}  // namespace

void bind_loops(nb::handle vqe_class, nb::handle result_class) {
    result_type = result_class;
    norvane::def_method(vqe_class, "_run_adam", &run_adam, nb::arg("x0").none(), nb::arg("shots").none(),
                        nb::arg("max_iter").none(), nb::arg("track").none(), nb::arg("lr").none() = 0.1,
                        nb::arg("beta1").none() = 0.9, nb::arg("beta2").none() = 0.999, nb::arg("eps").none() = 1e-8,
                        nb::arg("tol").none() = 1e-6,
                        "Adam from x0 until the largest parameter change is below tol or max_iter iterations\n"
                        "have run; history holds the start and every iterate with its cost. `track` (a\n"
                        "norvane.quantum.progress.Tracker, or None) is told the iterations done.");
    norvane::def_method(vqe_class, "_run_gradient_descent", &run_gradient_descent, nb::arg("x0").none(),
                        nb::arg("shots").none(), nb::arg("max_iter").none(), nb::arg("track").none(),
                        nb::arg("lr").none() = 0.1, nb::arg("tol").none() = 1e-6,
                        "Gradient descent x <- x - lr * gradient, stopping like Adam.");
    norvane::def_method(vqe_class, "_run_scipy", &run_scipy, nb::arg("x0").none(), nb::arg("shots").none(),
                        nb::arg("max_iter").none(), nb::arg("track").none(), nb::arg("method").none() = "L-BFGS-B",
                        nb::arg("minimizer_kwargs"),
                        "scipy.optimize.minimize with the cost, its gradient as jac, `method` and\n"
                        "options={'maxiter': max_iter}; further keywords go to minimize. history holds\n"
                        "every cost evaluation the minimiser asked for. `track` as for _run_adam, told each\n"
                        "iteration the minimiser reports to its callback (the caller's own callback, if any,\n"
                        "still called first).");
}

}  // namespace vqe
