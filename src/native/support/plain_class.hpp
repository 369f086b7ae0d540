// Plain Python classes with methods implemented in C++. The class is made when the module
// loads by calling `type` as a class statement would, so instances keep their fields in
// __dict__, and the class subclasses, compares and prints like one written in Python.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace norvane {

namespace nb = nanobind;

// A new class `name` deriving from object only, documented by `doc`, added to module m.
nb::object new_plain_class(nb::module_ &m, const char *name, const char *doc);

// A new class `name` deriving from `base`, made by the base's own metaclass from `body` (the
// class namespace: annotations, defaults) as a class statement would, documented by `doc` and
// added to module m. Attach compiled methods afterwards: some metaclasses (validated models)
// would take unknown objects in the namespace for fields.
nb::object new_derived_class(nb::module_ &m, const char *name, nb::handle base, const char *doc, nb::dict body);

// The scope that names a compiled method `name` of `cls` (its __qualname__ and __module__).
// That is `cls` itself unless the class already has a public attribute of that name (a method
// it overrides), which nanobind would refuse to replace: then a stand-in namespace carrying
// the class's __module__ and __qualname__, kept for the rest of the process like the class
// (nanobind holds a method's scope without a reference).
nb::handle method_scope(nb::handle cls, const char *name);

// Sets `cls.<name>` to a method implemented by f, whose first parameter is the instance (take
// it as nb::handle); `extra` holds the argument annotations and the documentation text.
template <typename F, typename... Extra>
void def_method(nb::handle cls, const char *name, F &&f, const Extra &...extra) {
    nb::handle scope = method_scope(cls, name);
    nb::setattr(cls, name,
                nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), nb::scope(scope), extra...));
}

// Sets `cls.<name>` to a read-only property whose getter f takes the instance (as nb::handle).
template <typename F>
void def_property(nb::handle cls, const char *name, F &&f, const char *doc) {
    nb::object getter = nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name),
                                         nb::scope(method_scope(cls, name)));
    nb::handle property_type = (PyObject *)&PyProperty_Type;
    nb::setattr(cls, name, property_type(getter, nb::none(), nb::none(), doc));
}

}  // namespace norvane
