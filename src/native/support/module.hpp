// Module lifecycle and small object helpers shared by every native module.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace norvane {

namespace nb = nanobind;

// The module that holds the process's one thread limit of the native runtime, and the capsule
// through which it shares the setting with every other module.
constexpr const char *kThreadSettingModule = "norvane.quantum.native_threads";
constexpr const char *kThreadSettingCapsule = "norvane.quantum.native_threads._thread_setting";

// Declare first in a module body: the body runs once per process, and a second initialisation
// of the same module raises ImportError instead of building and registering everything again.
// The claim is released if the body fails, so a failed first import can be retried. Claiming
// also points the module's runtime at the process's one thread setting, importing its module.
class ModuleInitClaim {
public:
    explicit ModuleInitClaim(const char *qualified_name);
    ~ModuleInitClaim();
    ModuleInitClaim(const ModuleInitClaim &) = delete;
    ModuleInitClaim &operator=(const ModuleInitClaim &) = delete;

private:
    std::string name_;
    int uncaught_at_start_;
};

// The Python objects a module works with (classes, functions, constants), held one way in
// every module: `Names` is a struct of nb::handle fields, filled once by the module body with
// import_kept and read through imports<Names>() for the rest of the process. Objects the kit
// requires to be looked up at each call (or read from the module's globals) are looked up
// there instead.
template <class Names>
Names &imports() {
    static Names names;
    return names;
}

// `module.name`, imported now.
nb::object import_attr(const char *module, const char *name);

// `module.name`, imported now and kept alive for the rest of the process: for module-level
// lookups held in C++ statics, which must not be released after the interpreter finalises.
nb::handle import_kept(const char *module, const char *name);

// The interpreter's repr() and str() of a value, as UTF-8.
std::string py_repr(nb::handle value);
std::string py_str(nb::handle value);

}  // namespace norvane
