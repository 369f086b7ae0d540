#include "mock.hpp"

#include "support/module.hpp"

namespace mock {

namespace {
Imports loaded;
}

const Imports &imports() { return loaded; }

void load_imports(nb::module_ &m) {
    const char *results_module = "norvane.quantum.dispatch.program.job_results";
    loaded.uuid_module = nb::module_::import_("uuid").release();
    loaded.numpy_module = nb::module_::import_("numpy").release();
    loaded.dispatch_executor = norvane::import_kept("norvane.quantum.dispatch.base", "DispatchExecutor");
    loaded.shot_result = norvane::import_kept(results_module, "NrvShotResult");
    loaded.job_results = norvane::import_kept(results_module, "NrvJobResults");
    loaded.shot_status = norvane::import_kept(results_module, "NrvShotStatusCode");
    loaded.job_status = norvane::import_kept(results_module, "NrvJobStatusCode");
    m.attr("uuid") = loaded.uuid_module;
    m.attr("np") = loaded.numpy_module;
    m.attr("DispatchExecutor") = loaded.dispatch_executor;
    m.attr("NrvShotResult") = loaded.shot_result;
    m.attr("NrvJobResults") = loaded.job_results;
    m.attr("NrvShotStatusCode") = loaded.shot_status;
    m.attr("NrvJobStatusCode") = loaded.job_status;
    m.attr("NrvJobSpecification") =
        norvane::import_attr("norvane.quantum.dispatch.program.job_specification", "NrvJobSpecification");
}

}  // namespace mock
