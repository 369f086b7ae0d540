// norvane.quantum.job.oruna1_simulator: the local analog emulator task. The task compiles its
// program with the kit's code generator, evolves and samples it with the kit's emulator gate,
// and reports each shot as a device readout; it is registered with the serializer registry.
#include <nanobind/nanobind.h>

#include "oruna1_simulator/task.hpp"
#include "support/module.hpp"

namespace nb = nanobind;

NB_MODULE(oruna1_simulator, m) {
    norvane::ModuleInitClaim claim("norvane.quantum.job.oruna1_simulator");
    oruna1_simulator::import_names(m);
    oruna1_simulator::bind_task(m);
}
