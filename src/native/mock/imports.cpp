#include "mock.hpp"

#include "support/module.hpp"

namespace mock {

void load_imports(nb::module_ &m) {
    Imports &loaded = norvane::imports<Imports>();
    const char *results_module = "norvane.quantum.dispatch.program.job_results";
    loaded.uuid_module = nb::module_::import_("uuid").release();
    loaded.numpy_module = nb::module_::import_("numpy").release();
    loaded.dispatch_executor = norvane::import_kept("norvane.quantum.dispatch.base", "DispatchExecutor");
    loaded.shot_result = norvane::import_kept(results_module, "NrvShotResult");
    loaded.job_results = norvane::import_kept(results_module, "NrvJobResults");
    loaded.shot_status = norvane::import_kept(results_module, "NrvShotStatusCode");
    loaded.job_status = norvane::import_kept(results_module, "NrvJobStatusCode");
    loaded.io_open = norvane::import_kept("io", "open");
    loaded.json_loads = norvane::import_kept("json", "loads");
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
