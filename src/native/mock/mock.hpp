// The parts of the mock module: the result fabricator, the state file and the back end class.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "support/module.hpp"

namespace mock {

namespace nb = nanobind;

// The outside classes the module works with, looked up once when it loads.
struct Imports {
    nb::handle uuid_module;
    nb::handle numpy_module;
    nb::handle dispatch_executor;
    nb::handle shot_result;
    nb::handle job_results;
    nb::handle shot_status;
    nb::handle job_status;
    nb::handle io_open;     // io.open, for the state file
    nb::handle json_loads;  // json.loads, for its records
};
// Fills norvane::imports<Imports>() and binds the names the module exposes; called once by the
// module body.
void load_imports(nb::module_ &m);

// simulate_job_results(task, p_full, p_empty): fabricated readouts of every shot of a job.
nb::object simulate_job_results(nb::handle task, nb::handle p_full, nb::handle p_empty);

// Appends the record line "('<task id>',<results JSON>)\n" to the state file at `path` with
// one write on a file opened for appending, first ending a torn last line if there is one.
void append_record(nb::handle path, const std::string &task_id, nb::handle results_json);

// The decoded results mapping of the first well-formed record of `task_id` in the state file,
// or None. Only the record whose id matches is decoded; malformed lines are passed over.
nb::object find_record(nb::handle path, nb::handle task_id);

// Adds the class MockBackend to m.
void bind_backend(nb::module_ &m);

}  // namespace mock
