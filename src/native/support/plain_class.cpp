#include "plain_class.hpp"

namespace norvane {

nb::object new_plain_class(nb::module_ &m, const char *name, const char *doc) {
    nb::dict body;
    body["__module__"] = m.attr("__name__");
    body["__qualname__"] = name;
    body["__doc__"] = doc;
    nb::handle type = (PyObject *)&PyType_Type;
    nb::object cls = type(name, nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)), body);
    m.attr(name) = cls;
    return cls;
}

}  // namespace norvane
