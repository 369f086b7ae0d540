#include "pyops.hpp"

#include <cstdarg>
#include <cstdint>
#include <vector>

namespace norvane {

nb::object checked(PyObject *result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

PyObject *class_attribute(PyTypeObject *type, nb::handle name) {
    PyObject *mro = type->tp_mro;
    if (!mro) return nullptr;  // a class not yet readied has no attributes to find
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i) {
        auto *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
        // Built-in static classes keep their dictionary per interpreter, outside tp_dict.
        nb::object dict = nb::steal(PyType_GetDict(base));
        PyObject *value = PyDict_GetItemWithError(dict.ptr(), name.ptr());
#else
        PyObject *value = PyDict_GetItemWithError(base->tp_dict, name.ptr());
#endif
        if (value) return value;
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return nullptr;
}

namespace {

// Whether obj.__class__ is type(obj) for every instance of `type`: it reads attributes the
// generic way and inherits object's own __class__ descriptor.
bool class_is_own_type_uncached(PyTypeObject *type) {
    static PyObject *const object_class = class_attribute(&PyBaseObject_Type, NORVANE_NAME("__class__"));
    return type->tp_getattro == PyObject_GenericGetAttr &&
           class_attribute(type, NORVANE_NAME("__class__")) == object_class;
}

// The same, remembered per class. The interpreter gives a class a new version tag whenever it
// or a base changes (0 until one is assigned), so an answer is reused only for the tag it was
// found under.
bool class_is_own_type(PyTypeObject *type) {
    struct Entry {
        PyTypeObject *type = nullptr;
        unsigned int tag = 0;
        bool own = false;
    };
    thread_local Entry entries[64];
    const unsigned int tag = type->tp_version_tag;
    Entry &entry = entries[(reinterpret_cast<std::uintptr_t>(type) >> 4) % 64];
    if (tag != 0 && entry.type == type && entry.tag == tag) return entry.own;
    const bool own = class_is_own_type_uncached(type);
    if (tag != 0 && type->tp_version_tag == tag) entry = {type, tag, own};
    return own;
}

}  // namespace

bool is_instance(nb::handle obj, nb::handle cls) {
    // With a plain class (no metaclass __instancecheck__) isinstance tests the type's bases, then
    // those of obj.__class__; that second look-up, an attribute read, is skipped where it cannot
    // differ from the first.
    if (PyType_CheckExact(cls.ptr())) {
        PyTypeObject *type = Py_TYPE(obj.ptr());
        if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject *>(cls.ptr()))) return true;
        if (class_is_own_type(type)) return false;
    }
    int result = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

bool truth(nb::handle obj) {
    int result = PyObject_IsTrue(obj.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

bool contains(nb::handle container, nb::handle item) {
    int result = PySequence_Contains(container.ptr(), item.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

nb::object get_item(nb::handle container, const char *key) {
    nb::str key_obj(key);
    PyObject *value = PyObject_GetItem(container.ptr(), key_obj.ptr());
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

nb::object dict_get(const nb::dict &d, const char *key, nb::handle fallback) {
    nb::str key_obj(key);
    PyObject *value = PyDict_GetItemWithError(d.ptr(), key_obj.ptr());
    if (value) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(fallback);
}

bool compare(nb::handle a, nb::handle b, int op) {
    if (PyLong_CheckExact(a.ptr()) && PyLong_CheckExact(b.ptr())) {
        int overflow_a = 0, overflow_b = 0;
        long long x = PyLong_AsLongLongAndOverflow(a.ptr(), &overflow_a);
        long long y = PyLong_AsLongLongAndOverflow(b.ptr(), &overflow_b);
        if (!overflow_a && !overflow_b) {
            switch (op) {
                case Py_LT: return x < y;
                case Py_LE: return x <= y;
                case Py_EQ: return x == y;
                case Py_NE: return x != y;
                case Py_GT: return x > y;
                case Py_GE: return x >= y;
            }
        }
    }
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0) throw nb::python_error();
    return result == 1;
}

nb::object call_with_mapping(nb::handle callable, nb::handle mapping) {
    nb::object keywords = checked(PyDict_New());
    if (!PyDict_Check(mapping.ptr()) && !PyObject_HasAttrString(mapping.ptr(), "keys")) {
        PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
                     Py_TYPE(mapping.ptr())->tp_name);
        throw nb::python_error();
    }
    if (PyDict_Merge(keywords.ptr(), mapping.ptr(), 1) < 0) throw nb::python_error();
    for (auto [key, value] : nb::borrow<nb::dict>(keywords))
        if (!PyUnicode_Check(key.ptr())) throw nb::type_error("keywords must be strings");
    nb::object args = checked(PyTuple_New(0));
    return checked(PyObject_Call(callable.ptr(), args.ptr(), keywords.ptr()));
}

nb::str format_text(const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyObject *text = PyUnicode_FromFormatV(format, args);
    va_end(args);
    if (!text) throw nb::python_error();
    return nb::steal<nb::str>(text);
}

nb::object imported_module(nb::handle name) {
    PyObject *module = PyImport_GetModule(name.ptr());
    if (!module && PyErr_Occurred()) throw nb::python_error();
    if (module && module != Py_None) return nb::steal(module);
    Py_XDECREF(module);
    // Not loaded, or blocked by a None entry: the import machinery raises the proper error.
    return nb::module_::import_(name);
}

nb::object module_attr(nb::handle module, nb::handle name) {
    if (PyModule_CheckExact(module.ptr())) {
        PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(module.ptr()), name.ptr());
        if (value) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return module.attr(name);
}

nb::object call_method(nb::handle obj, nb::handle name, std::initializer_list<nb::handle> args, nb::handle kwargs) {
    const std::size_t n_args = 1 + args.size();
    const Py_ssize_t n_kwargs = kwargs.is_valid() ? PyDict_GET_SIZE(kwargs.ptr()) : 0;
    if (n_kwargs == 0 && n_args <= 4) {  // the common calls: no list to allocate
        PyObject *stack[4] = {obj.ptr()};
        std::size_t i = 1;
        for (nb::handle arg : args) stack[i++] = arg.ptr();
        return checked(PyObject_VectorcallMethod(name.ptr(), stack, n_args, nullptr));
    }
    std::vector<PyObject *> stack{obj.ptr()};
    for (nb::handle arg : args) stack.push_back(arg.ptr());
    nb::object names;
    std::vector<nb::object> values;  // held for the call: the callee may change the dict
    if (n_kwargs) {
        names = checked(PyTuple_New(n_kwargs));
        Py_ssize_t position = 0, slot = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs.ptr(), &position, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(names.ptr(), slot++, key);
            values.push_back(nb::borrow(value));
            stack.push_back(value);
        }
    }
    return checked(PyObject_VectorcallMethod(name.ptr(), stack.data(), n_args, names.ptr()));
}

nb::handle interned(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name) throw nb::python_error();
    return name;
}

RecursionGuard::RecursionGuard(const char *where) {
    if (Py_EnterRecursiveCall(where)) throw nb::python_error();
}

RecursionGuard::~RecursionGuard() { Py_LeaveRecursiveCall(); }

nb::list dict_items(nb::handle mapping) {
    nb::object items = checked(PyMapping_Items(mapping.ptr()));
    return nb::borrow<nb::list>(items);
}

HeldLock::HeldLock(nb::handle lock) : lock_(nb::borrow(lock)) {
    checked(PyObject_CallMethod(lock_.ptr(), "acquire", nullptr));
}

void call_keeping_error(nb::handle obj, const char *method) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *result = PyObject_CallMethod(obj.ptr(), method, nullptr);
    if (result) Py_DECREF(result);
    else PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

// Only a lock held by another thread refuses release(), and this one is ours.
HeldLock::~HeldLock() { call_keeping_error(lock_, "release"); }

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

void check_signals_without_gil() {
    nb::gil_scoped_acquire gil;
    check_signals();
}

}  // namespace norvane
