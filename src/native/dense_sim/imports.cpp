#include "imports.hpp"

#include "support/module.hpp"

namespace dense_sim {

void load_imports() {
    using norvane::import_kept;
    Imports &loaded = norvane::imports<Imports>();
    const char *gates = "norvane.quantum.ir.digital.gate";
    loaded.gate = import_kept(gates, "Gate");
    loaded.h = import_kept(gates, "H");
    loaded.s = import_kept(gates, "S");
    loaded.sdg = import_kept(gates, "Sdg");
    loaded.conditional = import_kept("norvane.quantum.ir.digital.conditional", "ConditionalInstruction");
    loaded.measurement = import_kept("norvane.quantum.ir.digital.measurement", "Measurement");
    nb::handle basis = import_kept("norvane.quantum.ir.digital.measurement", "MeasurementBasis");
    loaded.basis_x = nb::object(basis.attr("X")).release();
    loaded.basis_y = nb::object(basis.attr("Y")).release();
    loaded.gate_matrix_cache = import_kept("norvane.quantum.simulator.digital.unitab", "GateMatrixCache");
    loaded.cache_get_method = nb::object(loaded.gate_matrix_cache.attr("__dict__")["get"]).release();
    loaded.cache_get = reinterpret_cast<norvane::CacheGetFunction>(PyCapsule_Import(norvane::kCacheGetCapsule, 0));
    if (!loaded.cache_get) throw nb::python_error();
    loaded.default_rng = import_kept("numpy.random", "default_rng");
    loaded.numpy = nb::module_::import_("numpy").release();
    loaded.ascontiguousarray = import_kept("numpy", "ascontiguousarray");
    loaded.complex128 = import_kept("numpy", "complex128");
    loaded.rlock = import_kept("threading", "RLock");
    loaded.noise_model = import_kept("norvane.quantum.noise", "NoiseModel");
}

}  // namespace dense_sim
