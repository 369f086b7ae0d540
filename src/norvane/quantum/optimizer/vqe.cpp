// norvane.quantum.optimizer.vqe: the variational quantum eigensolver and its result record.
#include <nanobind/nanobind.h>

#include "support/module.hpp"
#include "support/vectors.hpp"
#include "vqe/vqe.hpp"

namespace nb = nanobind;

NB_MODULE(vqe, m) {
    norvane::ModuleInitClaim claim("norvane.quantum.optimizer.vqe");
    norvane::load_numpy();
    m.attr("parameter_shift_gradient") =
        norvane::import_attr("norvane.quantum.optimizer.gradient", "parameter_shift_gradient");
    m.attr("FiniteDiffGradient") = norvane::import_attr("norvane.quantum.optimizer.gradient", "FiniteDiffGradient");
    m.attr("ParamMap") = norvane::import_attr("norvane.quantum.optimizer.param_map", "ParamMap");

    nb::object result_class = vqe::bind_result(m);
    nb::object vqe_class = vqe::bind_driver(m, norvane::import_kept("norvane.quantum.optimizer.gradient",
                                                                   "parameter_shift_gradient"));
    vqe::bind_loops(vqe_class, result_class);
    nb::list exports;
    exports.append("VQEResult");
    exports.append("VQE");
    m.attr("__all__") = exports;
}
