// norvane.quantum.ir.digital.serialize: dictionary encodings of the digital IR nodes.
//
// Loading the module registers a serializer and deserializer pair for every serializable node
// class with the kit's registry, norvane.quantum.serialize.Serializer. Node dictionaries hold
// only JSON-compatible values; nested nodes are left to the registry's encoder, and the
// deserializers hand nested node dictionaries back to its object_hook.
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

#include "support/args.hpp"
#include "support/module.hpp"
#include "support/pyops.hpp"

namespace nb = nanobind;
using norvane::dict_get;
using norvane::for_each_item;
using norvane::get_item;
using norvane::is_instance;
using norvane::RecursionGuard;

namespace {

// Objects looked up once at load and kept for the life of the process (plain handles, so
// nothing is released after the interpreter has finalised).
struct Kit {
    nb::handle scalar_module, decimal, serializer;
    nb::handle unitary_gate, measurement, measurement_basis;
    nb::handle classical_condition, conditional_instruction, digital_circuit;
};

// The interpreter's list(), tuple(), str(), int() and float(). They take handles on purpose:
// a nanobind attribute accessor given straight to a typed constructor is only relabelled.
nb::object list_of(nb::handle h) { return nb::list(h); }
nb::object tuple_of(nb::handle h) { return nb::tuple(h); }
nb::object text_of(nb::handle h) { return nb::str(h); }
nb::object int_of(nb::handle h) { return nb::int_(h); }
nb::object float_of(nb::handle h) { return nb::float_(h); }

nb::object object_hook(nb::handle value) { return norvane::imports<Kit>().serializer.attr("object_hook")(value); }

// ---------------------------------------------------------------------------------------------
// Scalars and parameter lists

// The scalar node classes, read from the scalar module each time an operation starts, so the
// module's current bindings decide.
struct ScalarKinds {
    nb::object literal, assigned_variable, variable, negative, add, mul, div, min, max;

    static ScalarKinds lookup() {
        nb::handle m = norvane::imports<Kit>().scalar_module;
        return {m.attr("Literal"), m.attr("AssignedVariable"), m.attr("Variable"),
                m.attr("Negative"), m.attr("Add"), m.attr("Mul"), m.attr("Div"),
                m.attr("Min"), m.attr("Max")};
    }
};

struct TaggedKind {
    const char *tag;
    nb::object ScalarKinds::*cls;
};

const TaggedKind kBinaryKinds[] = {
    {"Add", &ScalarKinds::add}, {"Mul", &ScalarKinds::mul}, {"Div", &ScalarKinds::div}};
const TaggedKind kExtremumKinds[] = {{"Min", &ScalarKinds::min}, {"Max", &ScalarKinds::max}};

const char *const kSerializeScalarDoc = "Serialize a Scalar node to a JSON-compatible nested dict.";
const char *const kDeserializeScalarDoc =
    "Deserialize a dict produced by _serialize_scalar back to a Scalar node.";

nb::dict serialize_scalar(nb::handle expr, const ScalarKinds &k) {
    RecursionGuard guard(" while serializing a Scalar");
    nb::dict out;
    if (is_instance(expr, k.literal)) {
        out["__type__"] = "Literal";
        out["value"] = text_of(expr.attr("value"));
        return out;
    }
    if (is_instance(expr, k.assigned_variable)) {
        out["__type__"] = "AssignedVariable";
        out["name"] = expr.attr("name");
        out["value"] = text_of(expr.attr("value"));
        return out;
    }
    if (is_instance(expr, k.variable)) {
        out["__type__"] = "Variable";
        out["name"] = expr.attr("name");
        return out;
    }
    if (is_instance(expr, k.negative)) {
        out["__type__"] = "Negative";
        out["expr"] = serialize_scalar(expr.attr("expr"), k);
        return out;
    }
    for (const TaggedKind &kind : kBinaryKinds) {
        if (!is_instance(expr, k.*kind.cls)) continue;
        out["__type__"] = kind.tag;
        out["lhs"] = serialize_scalar(expr.attr("lhs"), k);
        out["rhs"] = serialize_scalar(expr.attr("rhs"), k);
        return out;
    }
    for (const TaggedKind &kind : kExtremumKinds) {
        if (!is_instance(expr, k.*kind.cls)) continue;
        nb::list operands;
        for_each_item(expr.attr("scalars"),
                      [&](nb::handle s) { operands.append(serialize_scalar(s, k)); });
        out["__type__"] = kind.tag;
        out["scalars"] = operands;
        return out;
    }
    PyErr_Format(PyExc_TypeError, "Cannot serialize Scalar of type %S",
                 (PyObject *)Py_TYPE(expr.ptr()));
    throw nb::python_error();
}

bool tag_is(nb::handle tag, const char *name) {
    int equal = PyObject_RichCompareBool(tag.ptr(), nb::str(name).ptr(), Py_EQ);
    if (equal < 0) throw nb::python_error();
    return equal == 1;
}

nb::object parse_decimal(nb::handle text) { return norvane::imports<Kit>().decimal(text); }

nb::object deserialize_scalar(nb::handle data, const ScalarKinds &k) {
    RecursionGuard guard(" while deserializing a Scalar");
    nb::object tag = get_item(data, "__type__");
    if (tag_is(tag, "Literal")) return k.literal(parse_decimal(get_item(data, "value")));
    if (tag_is(tag, "Variable")) return k.variable(get_item(data, "name"));
    if (tag_is(tag, "AssignedVariable")) {
        nb::object name = get_item(data, "name");
        return k.assigned_variable(name, parse_decimal(get_item(data, "value")));
    }
    if (tag_is(tag, "Negative")) return k.negative(deserialize_scalar(get_item(data, "expr"), k));
    for (const TaggedKind &kind : kBinaryKinds) {
        if (!tag_is(tag, kind.tag)) continue;
        nb::object lhs = deserialize_scalar(get_item(data, "lhs"), k);
        nb::object rhs = deserialize_scalar(get_item(data, "rhs"), k);
        return (k.*kind.cls)(lhs, rhs);
    }
    for (const TaggedKind &kind : kExtremumKinds) {
        if (!tag_is(tag, kind.tag)) continue;
        nb::list operands;
        for_each_item(get_item(data, "scalars"),
                      [&](nb::handle s) { operands.append(deserialize_scalar(s, k)); });
        return (k.*kind.cls)(operands);
    }
    PyErr_Format(PyExc_ValueError, "Unknown Scalar type: %S", tag.ptr());
    throw nb::python_error();
}

nb::list serialize_params(nb::handle params) {
    nb::object scalar_base = norvane::imports<Kit>().scalar_module.attr("Scalar");
    ScalarKinds kinds = ScalarKinds::lookup();
    nb::list out;
    for_each_item(params, [&](nb::handle p) {
        if (is_instance(p, scalar_base)) {
            nb::dict wrapped;
            wrapped["__scalar__"] = serialize_scalar(p, kinds);
            out.append(wrapped);
        } else {
            out.append(float_of(p));
        }
    });
    return out;
}

nb::object deserialize_params(nb::handle data) {
    nb::list items = norvane::arg_list(data, "data");
    nb::object cast = norvane::imports<Kit>().scalar_module.attr("cast");
    ScalarKinds kinds = ScalarKinds::lookup();
    nb::str scalar_key("__scalar__");
    nb::list out;
    for_each_item(items, [&](nb::handle item) {
        if (PyDict_Check(item.ptr())) {
            int has_key = PySequence_Contains(item.ptr(), scalar_key.ptr());
            if (has_key < 0) throw nb::python_error();
            if (has_key) {
                out.append(deserialize_scalar(get_item(item, "__scalar__"), kinds));
                return;
            }
        }
        out.append(cast(item));
    });
    return tuple_of(out);
}

// ---------------------------------------------------------------------------------------------
// Node pairs

nb::dict as_dict(nb::handle d) { return norvane::arg_dict(d, "d"); }

nb::object call_kw(nb::handle cls, nb::handle kwargs) {
    PyObject *empty = PyTuple_New(0);
    if (!empty) throw nb::python_error();
    PyObject *result = PyObject_Call(cls.ptr(), empty, kwargs.ptr());
    Py_DECREF(empty);
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

nb::dict fixed_gate_serializer(nb::handle obj) {
    nb::dict out;
    out["targets"] = list_of(obj.attr("targets"));
    return out;
}

nb::dict parametric_gate_serializer(nb::handle obj) {
    nb::dict out;
    out["targets"] = list_of(obj.attr("targets"));
    out["params"] = serialize_params(obj.attr("params"));
    return out;
}

// Each call makes a new pair: the deserializer builds instances of `cls` from "targets" and,
// for a parametric gate, "params"; the serializer needs no class.
nb::tuple make_gate_pair(nb::handle cls, bool parametric) {
    nb::object target_cls = nb::borrow(cls);
    auto deserializer = [target_cls, parametric](nb::handle d) {
        nb::dict data = as_dict(d);
        nb::dict kwargs;
        kwargs["targets"] = tuple_of(get_item(data, "targets"));
        if (parametric) kwargs["params"] = deserialize_params(get_item(data, "params"));
        return call_kw(target_cls, kwargs);
    };
    return nb::make_tuple(
        nb::cpp_function(parametric ? parametric_gate_serializer : fixed_gate_serializer, nb::arg("obj").none(),
                         nb::name("serializer")),
        nb::cpp_function(deserializer, nb::arg("d").none(), nb::name("deserializer")));
}

// Unpacks `element` into exactly two components, as `first, second = element` does.
nb::list unpack_pair(nb::handle element) {
    PyObject *o = element.ptr();
    if (!Py_TYPE(o)->tp_iter && !PySequence_Check(o)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(o)->tp_name);
        throw nb::python_error();
    }
    PyObject *raw_iter = PyObject_GetIter(o);
    if (!raw_iter) throw nb::python_error();
    nb::object it = nb::steal(raw_iter);
    nb::list pair;
    while (pair.size() < 2) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw nb::python_error();
            Py_ssize_t count = (Py_ssize_t)pair.size();
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                         count == 1 ? "" : "s");
            throw nb::python_error();
        }
        pair.append(nb::steal(item));
    }
    // One more item means too many; reading only that one never drains an endless iterator.
    if (PyObject *extra = PyIter_Next(it.ptr())) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)2);
        throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return pair;
}

nb::dict unitary_serializer(nb::handle obj) {
    nb::dict out;
    out["targets"] = list_of(obj.attr("targets"));
    nb::list rows;
    for_each_item(obj.attr("unitary"), [&](nb::handle row) {
        nb::list pairs;
        for_each_item(row, [&](nb::handle element) { pairs.append(unpack_pair(element)); });
        rows.append(pairs);
    });
    out["unitary"] = rows;
    return out;
}

nb::object component(nb::handle element, Py_ssize_t index) {
    nb::object key = nb::int_(index);
    PyObject *value = PyObject_GetItem(element.ptr(), key.ptr());
    if (!value) throw nb::python_error();
    return float_of(nb::steal(value));
}

nb::object unitary_deserializer(nb::handle d) {
    nb::dict data = as_dict(d);
    nb::dict kwargs;
    kwargs["targets"] = tuple_of(get_item(data, "targets"));
    nb::list rows;
    for_each_item(get_item(data, "unitary"), [&](nb::handle row) {
        nb::list pairs;
        for_each_item(row, [&](nb::handle element) {
            nb::object re = component(element, 0);
            nb::object im = component(element, 1);
            pairs.append(nb::make_tuple(re, im));
        });
        rows.append(tuple_of(pairs));
    });
    kwargs["unitary"] = tuple_of(rows);
    return call_kw(norvane::imports<Kit>().unitary_gate, kwargs);
}

nb::dict measurement_serializer(nb::handle obj) {
    nb::dict out;
    out["qubits"] = list_of(obj.attr("qubits"));
    nb::object bits = obj.attr("bits");
    out["bits"] = bits.is_none() ? nb::none() : nb::object(list_of(bits));
    out["basis"] = obj.attr("basis").attr("value");
    return out;
}

nb::object measurement_deserializer(nb::handle d) {
    nb::dict data = as_dict(d);
    nb::dict kwargs;
    kwargs["qubits"] = tuple_of(get_item(data, "qubits"));
    nb::object bits = dict_get(data, "bits", nb::none());
    kwargs["bits"] = bits.is_none() ? nb::none() : nb::object(tuple_of(bits));
    kwargs["basis"] = norvane::imports<Kit>().measurement_basis(dict_get(data, "basis", nb::str("Z")));
    return call_kw(norvane::imports<Kit>().measurement, kwargs);
}

nb::dict classical_condition_serializer(nb::handle obj) {
    nb::dict out;
    out["clbits"] = list_of(obj.attr("clbits"));
    out["value"] = obj.attr("value");
    out["operator"] = obj.attr("operator");
    return out;
}

nb::object classical_condition_deserializer(nb::handle d) {
    nb::dict data = as_dict(d);
    nb::dict kwargs;
    kwargs["clbits"] = tuple_of(get_item(data, "clbits"));
    kwargs["value"] = int_of(get_item(data, "value"));
    kwargs["operator"] = text_of(dict_get(data, "operator", nb::str("==")));
    return call_kw(norvane::imports<Kit>().classical_condition, kwargs);
}

nb::dict conditional_instruction_serializer(nb::handle obj) {
    nb::dict out;
    out["instruction"] = obj.attr("instruction");
    out["condition"] = obj.attr("condition");
    return out;
}

nb::object conditional_instruction_deserializer(nb::handle d) {
    // Nested node dictionaries come back through the registry, which may call in here again.
    RecursionGuard guard(" while deserializing a ConditionalInstruction");
    nb::dict data = as_dict(d);
    nb::dict kwargs;
    kwargs["instruction"] = object_hook(get_item(data, "instruction"));
    kwargs["condition"] = object_hook(get_item(data, "condition"));
    return call_kw(norvane::imports<Kit>().conditional_instruction, kwargs);
}

nb::dict circuit_serializer(nb::handle obj) {
    nb::dict out;
    out["n_qubits"] = obj.attr("n_qubits");
    out["n_cbits"] = obj.attr("n_cbits");
    out["name"] = obj.attr("name");
    out["instructions"] = list_of(obj.attr("instructions"));
    return out;
}

nb::object circuit_deserializer(nb::handle d) {
    RecursionGuard guard(" while deserializing a DigitalCircuit");
    nb::dict data = as_dict(d);
    nb::list instructions;
    for_each_item(dict_get(data, "instructions", nb::list()), [&](nb::handle item) {
        instructions.append(PyDict_Check(item.ptr()) ? object_hook(item) : nb::borrow(item));
    });
    nb::dict kwargs;
    kwargs["n_qubits"] = get_item(data, "n_qubits");
    kwargs["instructions"] = tuple_of(instructions);
    kwargs["n_cbits"] = dict_get(data, "n_cbits", nb::none());
    kwargs["name"] = dict_get(data, "name", nb::none());
    return call_kw(norvane::imports<Kit>().digital_circuit, kwargs);
}

// ---------------------------------------------------------------------------------------------
// Registration

// Registers `cls` and records the pair through the class's own set calls; returns what those
// calls return.
std::pair<nb::object, nb::object> register_pair(nb::handle cls, nb::handle serializer,
                                                nb::handle deserializer) {
    norvane::imports<Kit>().serializer.attr("register")(cls);
    nb::object recorded_serializer = cls.attr("set_serializer")(serializer);
    nb::object recorded_deserializer = cls.attr("set_deserializer")(deserializer);
    return {recorded_serializer, recorded_deserializer};
}

// Registers every class of the kit's gate table with the factory its counts call for: fixed
// gates by qubit count, parametric gates with the parametric factory.
void register_gate_table(nb::module_ &m) {
    static const char *const kFixedFactories[] = {"_make_std_serializer", "_make_std_serializer2",
                                                  "_make_std_serializer3"};
    for (nb::handle spec : norvane::import_attr("norvane.quantum.ir.digital.gate_table", "GATES")) {
        nb::object cls = spec.attr("cls");
        const auto n_params = nb::cast<std::size_t>(spec.attr("n_params"));
        const auto n_qubits = nb::cast<std::size_t>(spec.attr("n_qubits"));
        if (n_params == 0 && (n_qubits < 1 || n_qubits > 3))
            throw nb::value_error("no serializer factory for a fixed gate of this many qubits");
        const char *factory = n_params > 0 ? "_make_parametric_serializer" : kFixedFactories[n_qubits - 1];
        nb::object pair = m.attr(factory)(cls);
        register_pair(cls, nb::object(pair[0]), nb::object(pair[1]));
    }
}

// Registers a class whose pair is the module-level functions `serializer_name` and
// `deserializer_name`, then rebinds those names to what the set calls returned.
void register_module_pair(nb::module_ &m, nb::handle cls, const char *serializer_name,
                          const char *deserializer_name) {
    auto [serializer, deserializer] =
        register_pair(cls, m.attr(serializer_name), m.attr(deserializer_name));
    m.attr(serializer_name) = serializer;
    m.attr(deserializer_name) = deserializer;
}

}  // namespace

NB_MODULE(serialize, m) {
    norvane::ModuleInitClaim claim("norvane.quantum.ir.digital.serialize");
    m.doc() = "Dictionary encodings of the digital IR nodes, registered with the kit's "
              "serializer registry when this module loads.";

    const char *gate = "norvane.quantum.ir.digital.gate";
    const char *measurement = "norvane.quantum.ir.digital.measurement";
    const char *conditional = "norvane.quantum.ir.digital.conditional";
    norvane::imports<Kit>() = {nb::module_::import_("norvane.quantum.ir.scalar").release(),
             norvane::import_kept("decimal", "Decimal"),
             norvane::import_kept("norvane.quantum.serialize", "Serializer"),
             norvane::import_kept(gate, "UnitaryGate"),
             norvane::import_kept(measurement, "Measurement"),
             norvane::import_kept(measurement, "MeasurementBasis"),
             norvane::import_kept(conditional, "ClassicalCondition"),
             norvane::import_kept(conditional, "ConditionalInstruction"),
             norvane::import_kept("norvane.quantum.ir.digital.circuit", "DigitalCircuit")};

    m.def("_serialize_scalar", [](nb::handle expr) {
        return serialize_scalar(expr, ScalarKinds::lookup());
    }, nb::arg("expr").none(), kSerializeScalarDoc);
    m.def("_deserialize_scalar", [](nb::handle data) {
        return deserialize_scalar(data, ScalarKinds::lookup());
    }, nb::arg("data").none(), kDeserializeScalarDoc);
    m.def("_serialize_params", &serialize_params, nb::arg("params").none(),
          "Serialize gate parameters: plain numbers as floats, Scalar nodes as "
          "{\"__scalar__\": scalar dict}.");
    m.def("_deserialize_params", &deserialize_params, nb::arg("data").none(),
          "Deserialize a list produced by _serialize_params to a tuple of Scalar nodes.");

    const char *fixed_doc = "Return (serializer, deserializer) for the fixed gate class `cls`.";
    m.def("_make_std_serializer", [](nb::handle cls) { return make_gate_pair(cls, false); }, nb::arg("cls").none(), fixed_doc);
    m.def("_make_std_serializer2", [](nb::handle cls) { return make_gate_pair(cls, false); }, nb::arg("cls").none(), fixed_doc);
    m.def("_make_std_serializer3", [](nb::handle cls) { return make_gate_pair(cls, false); }, nb::arg("cls").none(), fixed_doc);
    m.def("_make_parametric_serializer", [](nb::handle cls) { return make_gate_pair(cls, true); }, nb::arg("cls").none(),
          "Return (serializer, deserializer) for the parametric gate class `cls`.");

    m.def("_unitary_serializer", &unitary_serializer, nb::arg("obj").none(),
          "UnitaryGate to {\"targets\", \"unitary\": rows of [real, imag] lists}.");
    m.def("_unitary_deserializer", &unitary_deserializer, nb::arg("d").none(),
          "UnitaryGate from its dict; matrix components are converted to float.");
    m.def("_measurement_serializer", &measurement_serializer, nb::arg("obj").none(),
          "Measurement to {\"qubits\", \"bits\", \"basis\"}.");
    m.def("_measurement_deserializer", &measurement_deserializer, nb::arg("d").none(),
          "Measurement from its dict; bits default to None and basis to Z.");
    m.def("_classical_condition_serializer", &classical_condition_serializer, nb::arg("obj").none(),
          "ClassicalCondition to {\"clbits\", \"value\", \"operator\"}.");
    m.def("_classical_condition_deserializer", &classical_condition_deserializer, nb::arg("d").none(),
          "ClassicalCondition from its dict; operator defaults to \"==\".");
    m.def("_conditional_instruction_serializer", &conditional_instruction_serializer,
          nb::arg("obj").none(), "ConditionalInstruction to {\"instruction\", \"condition\"} nodes.");
    m.def("_conditional_instruction_deserializer", &conditional_instruction_deserializer,
          nb::arg("d").none(), "ConditionalInstruction from its dict, nested nodes via object_hook.");
    m.def("_circuit_serializer", &circuit_serializer, nb::arg("obj").none(),
          "DigitalCircuit to {\"n_qubits\", \"n_cbits\", \"name\", \"instructions\"}.");
    m.def("_circuit_deserializer", &circuit_deserializer, nb::arg("d").none(),
          "DigitalCircuit from its dict; instruction dicts are decoded via object_hook.");

    register_gate_table(m);
    register_module_pair(m, norvane::imports<Kit>().unitary_gate, "_unitary_serializer", "_unitary_deserializer");
    register_module_pair(m, norvane::imports<Kit>().measurement, "_measurement_serializer",
                         "_measurement_deserializer");
    register_module_pair(m, norvane::imports<Kit>().classical_condition, "_classical_condition_serializer",
                         "_classical_condition_deserializer");
    register_module_pair(m, norvane::imports<Kit>().conditional_instruction, "_conditional_instruction_serializer",
                         "_conditional_instruction_deserializer");
    register_module_pair(m, norvane::imports<Kit>().digital_circuit, "_circuit_serializer", "_circuit_deserializer");
}
