#include "module.hpp"

#include <exception>
#include <set>

#include "runtime/parallel.hpp"

namespace norvane {

namespace {
std::set<std::string> &initialised_modules() {
    static std::set<std::string> names;
    return names;
}

// Every extension module is a shared object that links its own copy of the static runtime
// library, and so its own thread setting. One module holds the setting of the process and
// publishes its address in a capsule; every other module points its copy at that one as it
// loads, before any of its work, so a limit set through any module binds every engine. A
// capsule is CPython's own way for extension modules to share C data: unlike a shared runtime
// library it needs no loader path from each module's folder to it (RPATH, @loader_path, a DLL
// beside every .pyd), and works alike in a wheel, an editable install and the build tree.
void adopt_thread_setting() {
    nb::object capsule = import_attr(kThreadSettingModule, "_thread_setting");
    void *shared = PyCapsule_GetPointer(capsule.ptr(), kThreadSettingCapsule);  // checks the capsule's name
    if (!shared) throw nb::python_error();
    runtime::share_thread_setting(*static_cast<runtime::ThreadSetting *>(shared));
}
}  // namespace

ModuleInitClaim::ModuleInitClaim(const char *qualified_name)
    : name_(qualified_name), uncaught_at_start_(std::uncaught_exceptions()) {
    if (initialised_modules().count(name_)) {
        PyErr_Format(PyExc_ImportError,
                     "%s is already initialised in this process and cannot be loaded twice; "
                     "use the module object from the first import",
                     qualified_name);
        throw nb::python_error();
    }
    if (name_ != kThreadSettingModule) adopt_thread_setting();
    initialised_modules().insert(name_);
}

ModuleInitClaim::~ModuleInitClaim() {
    if (!name_.empty() && std::uncaught_exceptions() > uncaught_at_start_)
        initialised_modules().erase(name_);
}

nb::object import_attr(const char *module, const char *name) {
    return nb::module_::import_(module).attr(name);
}

nb::handle import_kept(const char *module, const char *name) {
    return import_attr(module, name).release();
}

std::string py_repr(nb::handle value) { return nb::repr(value).c_str(); }

std::string py_str(nb::handle value) { return nb::str(value).c_str(); }

}  // namespace norvane
