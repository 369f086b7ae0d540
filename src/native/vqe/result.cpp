#include "support/args.hpp"
#include "support/plain_class.hpp"
#include "support/pyops.hpp"
#include "vqe.hpp"

namespace vqe {

namespace {

const char *const kResultDoc =
    "Result of a VQE optimisation.\n"
    "\n"
    "Fields:\n"
    "    optimal_params: The parameter vector at which the optimiser stopped.\n"
    "    optimal_value: The cost at optimal_params, as recorded by the optimiser.\n"
    "    history: List of (parameter vector, cost) pairs, one per recorded evaluation.\n"
    "    converged: Whether the optimiser declared convergence.\n"
    "    n_iterations: Number of iterations performed.\n"
    "    n_evaluations: Number of cost evaluations since the run began.\n"
    "    message: Termination message of the optimiser.";

void init(nb::handle self, nb::handle optimal_params, nb::handle optimal_value, nb::handle history,
          nb::handle converged, nb::handle n_iterations, nb::handle n_evaluations, nb::handle message) {
    // Every argument is checked before the first field is set.
    nb::float_ value(norvane::arg_float(optimal_value, "optimal_value"));
    nb::list entries = norvane::arg_list(history, "history");
    nb::bool_ flag(norvane::truth(converged));
    nb::int_ iterations = norvane::arg_int(n_iterations, "n_iterations");
    nb::int_ evaluations = norvane::arg_int(n_evaluations, "n_evaluations");
    nb::str text = norvane::arg_str(message, "message");
    self.attr("optimal_params") = optimal_params;
    self.attr("optimal_value") = value;
    self.attr("history") = entries;
    self.attr("converged") = flag;
    self.attr("n_iterations") = iterations;
    self.attr("n_evaluations") = evaluations;
    self.attr("message") = text;
}

nb::object repr(nb::handle self) {
    return nb::str("VQEResult(optimal_value={:.6f}, converged={}, n_iter={})")
        .format(self.attr("optimal_value"), self.attr("converged"), self.attr("n_iterations"));
}

}  // namespace

nb::object bind_result(nb::module_ &m) {
    nb::object cls = norvane::new_plain_class(m, "VQEResult", kResultDoc);
    norvane::def_method(cls, "__init__", &init, nb::arg("optimal_params").none(), nb::arg("optimal_value").none(),
                        nb::arg("history").none(), nb::arg("converged").none(), nb::arg("n_iterations").none(),
                        nb::arg("n_evaluations").none(), nb::arg("message").none() = "");
    norvane::def_method(cls, "__repr__", &repr);
    return cls;
}

}  // namespace vqe
