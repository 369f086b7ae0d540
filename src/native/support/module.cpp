#include "module.hpp"

#include <exception>
#include <set>

namespace norvane {

namespace {
std::set<std::string> &initialised_modules() {
    static std::set<std::string> names;
    return names;
}
}  // namespace

ModuleInitClaim::ModuleInitClaim(const char *qualified_name)
    : name_(qualified_name), uncaught_at_start_(std::uncaught_exceptions()) {
    if (!initialised_modules().insert(name_).second) {
        PyErr_Format(PyExc_ImportError,
                     "%s is already initialised in this process and cannot be loaded twice; "
                     "use the module object from the first import",
                     qualified_name);
        throw nb::python_error();
    }
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
