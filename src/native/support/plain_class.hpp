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

// Sets `cls.<name>` to a method implemented by f, whose first parameter is the instance (take
// it as nb::handle); `extra` holds the argument annotations and the documentation text.
template <typename F, typename... Extra>
void def_method(nb::handle cls, const char *name, F &&f, const Extra &...extra) {
    nb::setattr(cls, name,
                nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), nb::scope(cls), extra...));
}

}  // namespace norvane

namespace norvane {

// As def_method, for a method that overrides one inherited from a Python base class: nanobind
// refuses to add a scoped function next to a same-named attribute that it did not create.
template <typename F, typename... Extra>
void def_override(nb::handle cls, const char *name, F &&f, const Extra &...extra) {
    nb::setattr(cls, name, nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), extra...));
}

}  // namespace norvane
