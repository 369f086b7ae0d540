#include "mock.hpp"

#include "support/args.hpp"
#include "support/plain_class.hpp"
#include "support/pyops.hpp"

using norvane::checked;

namespace mock {

namespace {

const char *const kBackendDoc =
    "Dispatch back end that stands in for a device: every submitted job is completed at once\n"
    "with fabricated readouts (simulate_job_results), which are kept in a state file shared by\n"
    "every back end and process naming the same path.\n"
    "\n"
    "Fields:\n"
    "    state_file: Path of the state file, relative to the working directory unless absolute.\n"
    "    submission_error: When true, every submission fails with ValueError.";

nb::str submit_task(nb::handle self, nb::handle task) {
    if (norvane::truth(self.attr("submission_error")))
        throw nb::value_error("mock submission error");
    nb::str task_id = nb::str(norvane::imports<Imports>().uuid_module.attr("uuid4")());
    nb::object results = simulate_job_results(task, nb::float_(0.99), nb::float_(0.01));
    append_record(self.attr("state_file"), task_id.c_str(), results.attr("json")());
    return task_id;
}

nb::object task_results(nb::handle self, nb::handle task_id) {
    nb::str id = norvane::arg_str(task_id, "task_id");
    nb::object mapping = find_record(self.attr("state_file"), id);
    if (mapping.is_none()) {
        PyErr_SetObject(PyExc_ValueError, norvane::format_text("unable to fetch results for task_id: %U", id.ptr()).ptr());
        throw nb::python_error();
    }
    return norvane::call_with_mapping(norvane::imports<Imports>().job_results, mapping);
}

void cancel_task(nb::handle, nb::handle task_id) { norvane::arg_str(task_id, "task_id"); }

nb::object task_status(nb::handle, nb::handle task_id) {
    norvane::arg_str(task_id, "task_id");
    return norvane::imports<Imports>().job_status.attr("Completed");
}

}  // namespace

void bind_backend(nb::module_ &m) {
    nb::dict annotations;
    annotations["state_file"] = nb::handle((PyObject *)&PyUnicode_Type);
    annotations["submission_error"] = nb::handle((PyObject *)&PyBool_Type);
    nb::dict body;
    body["__annotations__"] = annotations;
    body["state_file"] = ".mock_state.txt";
    body["submission_error"] = false;
    nb::object cls =
        norvane::new_derived_class(m, "MockBackend", norvane::imports<Imports>().dispatch_executor, kBackendDoc, body);

    norvane::def_method(cls, "submit_task", &submit_task, nb::arg("task").none(),
                        "Fabricate the results of job specification `task`, append them to the state\n"
                        "file under a new random task id, and return that id.");
    norvane::def_method(cls, "task_results", &task_results, nb::arg("task_id").none(),
                        "The NrvJobResults stored for `task_id`; ValueError when the state file holds\n"
                        "no record of it.");
    norvane::def_method(cls, "cancel_task", &cancel_task, nb::arg("task_id").none(),
                        "Does nothing: mock tasks are complete the moment they are submitted.");
    norvane::def_method(cls, "task_status", &task_status, nb::arg("task_id").none(),
                        "NrvJobStatusCode.Completed, for any id.");
}

}  // namespace mock
