#include "plain_class.hpp"

namespace norvane {

nb::object new_plain_class(nb::module_ &m, const char *name, const char *doc) {
    return new_derived_class(m, name, nb::handle((PyObject *)&PyBaseObject_Type), doc, nb::dict());
}

nb::object new_derived_class(nb::module_ &m, const char *name, nb::handle base, const char *doc, nb::dict body) {
    body["__module__"] = m.attr("__name__");
    body["__qualname__"] = name;
    body["__doc__"] = doc;
    nb::handle metaclass = (PyObject *)Py_TYPE(base.ptr());
    nb::object cls = metaclass(name, nb::make_tuple(base), body);
    m.attr(name) = cls;
    return cls;
}

nb::handle method_scope(nb::handle cls, const char *name) {
    if (name[0] == '_' || !nb::hasattr(cls, name)) return cls;
    nb::dict body;
    body["__module__"] = cls.attr("__module__");
    body["__qualname__"] = cls.attr("__qualname__");
    nb::handle type = (PyObject *)&PyType_Type;
    return type(cls.attr("__name__"), nb::tuple(), body).release();
}

}  // namespace norvane
