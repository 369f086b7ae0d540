// Oruna1Backend: the dispatch back end of the remote device service, reached through the
// cloud queue client (tavla.api_client.api.QueueApi), which is imported on first use.
#include "oruna1.hpp"

#include <string_view>

#include "support/args.hpp"
#include "support/module.hpp"
#include "support/plain_class.hpp"
#include "support/pyops.hpp"

using norvane::checked;

namespace oruna1 {

namespace {

const char *const kBackendDoc =
    "Dispatch back end of the remote neutral-atom device service. The queue client is built on\n"
    "first use from the fields that are not None and reused afterwards. The secret key and the\n"
    "session token are passed to the client unchanged and never shown in repr() or str().";

const char *const kMissingClient = "Must install Tavla-client to use Oruna1 Cloud";

// The fields passed to the client, in declaration order.
const char *const kFieldNames[] = {"api_hostname", "qpu_id", "api_stage", "virtual_queue", "proxy",
                                   "region", "access_key", "secret_key", "session_token", "session_expires",
                                   "role_arn", "role_session_name", "profile"};

struct Outside {
    nb::handle dispatch_executor;
    nb::handle validation_error;
    nb::handle capabilities;
    nb::handle job_results;
    nb::handle job_status;
};

nb::object queue_api_getter(nb::handle self) {
    nb::object client = self.attr("_queue_api");
    if (!client.is_none()) return client;
    PyObject *api = PyImport_ImportModule("tavla.api_client.api");
    PyObject *cls = api ? PyObject_GetAttrString(api, "QueueApi") : nullptr;
    Py_XDECREF(api);
    if (!cls) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        nb::python_error import_error;
        nb::raise_from(import_error, PyExc_RuntimeError, kMissingClient);
    }
    nb::object queue_api_class = nb::steal(cls);
    nb::dict keywords;
    for (const char *name : kFieldNames) {
        nb::object value = self.attr(name);
        if (!value.is_none()) keywords[name] = value;
    }
    client = norvane::call_with_mapping(queue_api_class, keywords);
    self.attr("_queue_api") = client;
    return client;
}

// The client as every operation reaches it: through the queue_api property, which a subclass
// may replace.
nb::object client_of(nb::handle self) { return self.attr(NORVANE_NAME("queue_api")); }

// The job specification as the service takes it: JSON under the field aliases, without None
// values and without fields that were never set.
nb::object job_json(nb::handle task_ir) {
    return task_ir.attr("json")(nb::arg("by_alias") = true, nb::arg("exclude_none") = true,
                                nb::arg("exclude_unset") = true);
}

nb::object get_capabilities(nb::handle self, nb::handle use_experimental) {
    try {
        nb::object mapping = client_of(self).attr("get_capabilities")();
        return norvane::call_with_mapping(norvane::imports<Outside>().capabilities, mapping);
    } catch (nb::python_error &error) {
        // Any failure (no client, a failing service, data the record refuses) falls back to
        // the shipped capabilities; interrupts and exits still propagate.
        if (!error.matches(PyExc_Exception)) throw;
    }
    return norvane::imports<Outside>().dispatch_executor.attr("get_capabilities")(self, use_experimental);
}

nb::object submit_task(nb::handle self, nb::handle task_ir) {
    nb::object client = client_of(self);
    nb::object task_id = client.attr("submit_task")(job_json(task_ir));
    if (!PyUnicode_Check(task_id.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(task_id.ptr())->tp_name);
        throw nb::python_error();
    }
    return task_id;
}

nb::object task_results(nb::handle self, nb::handle task_id) {
    norvane::arg_str(task_id, "task_id");
    nb::object mapping = client_of(self).attr("poll_job_results")(task_id);
    return norvane::call_with_mapping(norvane::imports<Outside>().job_results, mapping);
}

void cancel_task(nb::handle self, nb::handle task_id) {
    norvane::arg_str(task_id, "task_id");
    client_of(self).attr("cancel_job_in_queue")(task_id);
}

nb::object task_status(nb::handle self, nb::handle task_id) {
    norvane::arg_str(task_id, "task_id");
    return norvane::imports<Outside>().job_status(client_of(self).attr("get_job_status_in_queue")(task_id));
}

void validate_task(nb::handle self, nb::handle task_ir) {
    nb::object client = client_of(self);
    try {
        client.attr("validate_task")(job_json(task_ir));
    } catch (nb::python_error &error) {
        // The client's error class is read from the client while handling the error.
        PyObject *client_error = PyObject_GetAttrString(client.ptr(), "ValidationError");
        if (!client_error) PyErr_Clear();
        bool from_client = client_error && error.matches(client_error);
        Py_XDECREF(client_error);
        if (!from_client) throw;
        nb::object message = nb::str(error.value());
        nb::object converted = norvane::imports<Outside>().validation_error(message);
        PyException_SetCause(converted.ptr(), error.value().inc_ref().ptr());
        PyErr_SetObject(norvane::imports<Outside>().validation_error.ptr(), converted.ptr());
        throw nb::python_error();
    }
}

// A credential argument: a text or None.
void check_credential(nb::handle value, const char *name) {
    if (!value.is_none()) norvane::arg_str(value, name);
}

void update_credential(nb::handle self, nb::handle access_key, nb::handle secret_key, nb::handle session_token) {
    check_credential(access_key, "access_key");
    check_credential(secret_key, "secret_key");
    check_credential(session_token, "session_token");
    if (!secret_key.is_none()) self.attr("secret_key") = secret_key;
    if (!access_key.is_none()) self.attr("access_key") = access_key;
    if (!session_token.is_none()) self.attr("session_token") = session_token;
}

// The class namespace: annotations and defaults of every field, and the private client cache.
nb::dict backend_body() {
    nb::object optional = norvane::import_attr("typing", "Optional");
    nb::object field = norvane::import_attr("pydantic.v1", "Field");
    nb::object private_attr = norvane::import_attr("pydantic.v1", "PrivateAttr");
    nb::handle text = (PyObject *)&PyUnicode_Type;
    nb::object optional_text = optional[text];
    nb::object optional_int = optional[nb::handle((PyObject *)&PyLong_Type)];

    nb::dict annotations;
    nb::dict body;
    annotations["api_hostname"] = text;
    annotations["qpu_id"] = text;
    annotations["api_stage"] = text;
    body["api_stage"] = "v0";
    for (const char *name : kFieldNames) {
        if (norvane::contains(annotations, nb::str(name))) continue;
        bool integer = std::string_view(name) == "session_expires";
        bool secret = std::string_view(name) == "secret_key" || std::string_view(name) == "session_token";
        annotations[name] = integer ? optional_int : optional_text;
        body[name] = secret ? field(nb::none(), nb::arg("repr") = false) : nb::none();
    }
    body["__annotations__"] = annotations;
    body["_queue_api"] = private_attr(nb::arg("default") = nb::none());
    return body;
}

}  // namespace

void bind(nb::module_ &m) {
    Outside &outside = norvane::imports<Outside>();
    const char *dispatch = "norvane.quantum.dispatch.base";
    const char *results = "norvane.quantum.dispatch.program.job_results";
    m.attr("Optional") = norvane::import_attr("typing", "Optional");
    m.attr("PrivateAttr") = norvane::import_attr("pydantic.v1", "PrivateAttr");
    m.attr("ValidationError") = outside.validation_error = norvane::import_kept(dispatch, "ValidationError");
    m.attr("DispatchExecutor") = outside.dispatch_executor = norvane::import_kept(dispatch, "DispatchExecutor");
    m.attr("NrvCapabilities") = outside.capabilities =
        norvane::import_kept("norvane.quantum.dispatch.program.capabilities", "NrvCapabilities");
    m.attr("NrvJobResults") = outside.job_results = norvane::import_kept(results, "NrvJobResults");
    m.attr("NrvJobStatusCode") = outside.job_status = norvane::import_kept(results, "NrvJobStatusCode");
    m.attr("NrvJobSpecification") =
        norvane::import_attr("norvane.quantum.dispatch.program.job_specification", "NrvJobSpecification");

    nb::object cls = norvane::new_derived_class(m, "Oruna1Backend", outside.dispatch_executor, kBackendDoc, backend_body());
    norvane::def_property(cls, "queue_api", &queue_api_getter, "The queue client, built on first use and kept.");
    norvane::def_method(cls, "get_capabilities", &get_capabilities, nb::arg("use_experimental").none() = false,
                        "The device's capabilities from the service; on any failure, the capabilities\n"
                        "shipped with the kit (DispatchExecutor.get_capabilities).");
    norvane::def_method(cls, "submit_task", &submit_task, nb::arg("task_ir").none(),
                        "Submit a job specification; returns the service's task id.");
    norvane::def_method(cls, "task_results", &task_results, nb::arg("task_id").none(),
                        "The task's NrvJobResults as the service reports them now.");
    norvane::def_method(cls, "cancel_task", &cancel_task, nb::arg("task_id").none(),
                        "Ask the service to cancel the task.");
    norvane::def_method(cls, "task_status", &task_status, nb::arg("task_id").none(),
                        "The task's NrvJobStatusCode.");
    norvane::def_method(cls, "validate_task", &validate_task, nb::arg("task_ir").none(),
                        "Have the service check a job specification; a job it refuses raises\n"
                        "ValidationError with the service's message.");
    norvane::def_method(cls, "update_credential", &update_credential, nb::arg("access_key").none() = nb::none(),
                        nb::arg("secret_key").none() = nb::none(), nb::arg("session_token").none() = nb::none(),
                        "Replace the credentials given (None leaves one unchanged). A client built\n"
                        "earlier keeps the credentials it was built with.");
}

}  // namespace oruna1
