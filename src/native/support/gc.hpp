// Garbage-collector support for nanobind classes that hold Python objects: pass
// nb::type_slots(norvane::gc_slots<T>) to nb::class_<T>. T provides
//   int traverse(visitproc visit, void *arg) const;  // Py_VISIT every held object
//   void clear();                                    // drop them (reference cycles end here)
// so that a reference cycle through an instance is found and freed by the collector.
#pragma once

#include <nanobind/nanobind.h>

namespace norvane {

namespace nb = nanobind;

template <class T> int traverse_slot(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));  // an instance keeps its heap type alive
    if (!nb::inst_ready(self)) return 0;  // constructor not finished: nothing held yet
    return nb::inst_ptr<T>(self)->traverse(visit, arg);
}

template <class T> int clear_slot(PyObject *self) {
    if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->clear();
    return 0;
}

template <class T>
inline PyType_Slot gc_slots[] = {{Py_tp_traverse, (void *)traverse_slot<T>},
                                 {Py_tp_clear, (void *)clear_slot<T>},
                                 {0, nullptr}};

// Classes written in Python that accept weak references show the first one as __weakref__
// (None when there is none); a class made weak-referenceable by nanobind lacks the attribute.
template <class Class> Class with_weakref_attribute(Class cls) {
    cls.def_prop_ro("__weakref__", [](nb::handle self) -> nb::object {
        char *base = reinterpret_cast<char *>(self.ptr());
        PyObject *first = *reinterpret_cast<PyObject **>(base + Py_TYPE(self.ptr())->tp_weaklistoffset);
        return first ? nb::borrow(first) : nb::none();
    });
    return cls;
}

}  // namespace norvane
