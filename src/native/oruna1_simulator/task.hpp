// The task class of oruna1_simulator and its serializer functions.
#pragma once

#include <nanobind/nanobind.h>

namespace oruna1_simulator {

namespace nb = nanobind;

// Binds the names the module imports (typing helpers, numpy as np, the serializer registry,
// the task base, the emulator and the job records) as module attributes. The task looks them
// up there when it runs, as a Python module reads its globals.
void import_names(nb::module_ &m);

// Creates Oruna1SimulatorTask (registered, then made a data class) and binds _serialize and
// _deserialize to what the registry returns for them.
void bind_task(nb::module_ &m);

}  // namespace oruna1_simulator
