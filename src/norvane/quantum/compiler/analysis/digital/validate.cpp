// norvane.quantum.compiler.analysis.digital.validate: static checks of a digital circuit.
//
// DigitalCircuitValidator is an ordinary Python class, made at load by calling `type` with
// methods implemented here: its settings live in the instance __dict__, it can be subclassed,
// and `validate` reaches the checks through attribute lookup on the instance, so a subclass
// that overrides one of them changes the report. Every value shown in a message is rendered
// by the interpreter itself (str for single values, repr for lists).
#include <nanobind/nanobind.h>

#include "support/module.hpp"
#include "support/plain_class.hpp"
#include "support/pyops.hpp"

namespace nb = nanobind;
using norvane::compare;
using norvane::for_each_item;
using norvane::format_text;
using norvane::is_instance;
using norvane::truth;

namespace {

const char *const kModuleName = "norvane.quantum.compiler.analysis.digital.validate";

const char *const kValidatorDoc =
    "Static checks of a DigitalCircuit before it runs.\n"
    "\n"
    "`validate` collects the error lines of three checks, in this order: register bounds of\n"
    "every qubit and classical bit, the order of measurements, gates and conditional\n"
    "instructions, and (when `validate_params` is true) unresolved variables in the\n"
    "parameters of parametric gates. If any line was found it raises one ValidationError that\n"
    "lists them all, numbered from 1. The settings are plain attributes, read at every\n"
    "validation.";

// Classes of the digital IR, imported once when the module loads and kept for the life of the
// process (plain handles, so nothing is released after the interpreter has finalised).
struct IrClasses {
    nb::handle gate, parametric_gate, conditional, measurement, measurement_basis;
};

nb::handle &validation_error() {
    static nb::handle cls;
    return cls;
}

// The compiled `_find_variables` function, to tell whether an instance overrides it.
nb::handle &native_find_variables() {
    static nb::handle fn;
    return fn;
}

// A circuit attribute read on first need and then reused for the rest of one check.
class LazyAttr {
public:
    LazyAttr(nb::handle obj, nb::handle name) : obj_(obj), name_(name) {}
    nb::handle get() {
        if (!value_.is_valid()) value_ = obj_.attr(name_);
        return value_;
    }

private:
    nb::handle obj_, name_;
    nb::object value_;
};

bool out_of_range(nb::handle index, nb::handle size) {
    static nb::handle zero = PyLong_FromLong(0);
    return compare(index, size, Py_GE) || compare(index, zero, Py_LT);
}

nb::object sorted(nb::handle iterable) {
    PyObject *list = PySequence_List(iterable.ptr());
    if (!list) throw nb::python_error();
    nb::object result = nb::steal(list);
    if (PyList_Sort(list) < 0) throw nb::python_error();
    return result;
}

nb::object py_index(Py_ssize_t i) {
    PyObject *value = PyLong_FromSsize_t(i);
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

// ---- bounds -------------------------------------------------------------------------------

nb::list check_qubit_bounds(nb::handle /*self*/, nb::handle circuit) {
    const IrClasses &c = norvane::imports<IrClasses>();
    nb::list errors;
    LazyAttr n_qubits(circuit, NORVANE_NAME("n_qubits"));
    LazyAttr n_cbits(circuit, NORVANE_NAME("n_cbits"));
    Py_ssize_t i = 0;
    for_each_item(circuit.attr(NORVANE_NAME("instructions")), [&](nb::handle inst) {
        if (is_instance(inst, c.gate) || is_instance(inst, c.conditional)) {
            for_each_item(inst.attr(NORVANE_NAME("targets")), [&](nb::handle q) {
                if (out_of_range(q, n_qubits.get()))
                    errors.append(format_text(
                        "Instruction %zd (%S): qubit %S out of range [0, %S).", i, inst.ptr(),
                        q.ptr(), n_qubits.get().ptr()));
            });
        } else if (is_instance(inst, c.measurement)) {
            for_each_item(inst.attr(NORVANE_NAME("qubits")), [&](nb::handle q) {
                if (out_of_range(q, n_qubits.get()))
                    errors.append(format_text(
                        "Instruction %zd (Measure): qubit %S out of range [0, %S).", i, q.ptr(),
                        n_qubits.get().ptr()));
            });
            nb::object bits = inst.attr(NORVANE_NAME("bits"));
            if (!bits.is_none())
                for_each_item(bits, [&](nb::handle b) {
                    if (out_of_range(b, n_cbits.get()))
                        errors.append(format_text(
                            "Instruction %zd (Measure): classical bit %S out of range [0, %S).", i,
                            b.ptr(), n_cbits.get().ptr()));
                });
        }
        ++i;
    });
    return errors;
}

// ---- measurement order --------------------------------------------------------------------

// Working state of one measurement-semantics check.
struct OrderCheck {
    bool mid_circuit;          // allow_mid_circuit_measurement, read at the start of the check
    nb::object supported;      // supported_measurement_bases, read at the start of the check
    LazyAttr n_cbits;
    nb::dict measured_qubits;  // qubit -> most recent measuring instruction
    nb::dict written_bits;     // bit -> first measuring instruction that wrote it
    nb::list errors;

    void conditional_bits(Py_ssize_t i, nb::handle inst) {
        nb::object condition = inst.attr(NORVANE_NAME("condition"));
        for_each_item(condition.attr(NORVANE_NAME("clbits")), [&](nb::handle bit) {
            if (out_of_range(bit, n_cbits.get()))
                errors.append(format_text(
                    "Instruction %zd (Conditional): classical bit %S out of range [0, %S).", i,
                    bit.ptr(), n_cbits.get().ptr()));
            else if (mid_circuit && !norvane::contains(written_bits, bit))
                errors.append(format_text(
                    "Instruction %zd (Conditional): condition reads classical bit %S before it "
                    "is written by a measurement.",
                    i, bit.ptr()));
        });
    }

    void gate_targets(Py_ssize_t i, nb::handle inst) {
        for_each_item(inst.attr(NORVANE_NAME("targets")), [&](nb::handle q) {
            if (norvane::contains(measured_qubits, q))
                errors.append(format_text(
                    "Instruction %zd (%S): qubit %S was already measured at instruction %S.", i,
                    inst.ptr(), q.ptr(), measured_qubits[q].ptr()));
        });
    }

    void measurement(Py_ssize_t i, nb::handle inst) {
        nb::object index = py_index(i);
        nb::object basis = inst.attr(NORVANE_NAME("basis"));
        if (!norvane::contains(supported, basis)) {
            nb::list values;
            for_each_item(supported,
                          [&](nb::handle b) { values.append(b.attr(NORVANE_NAME("value"))); });
            errors.append(format_text(
                "Instruction %zd (Measure): unsupported measurement basis %S; supported bases "
                "are %R.",
                i, basis.attr(NORVANE_NAME("value")).ptr(), sorted(values).ptr()));
        }
        nb::object qubits = inst.attr(NORVANE_NAME("qubits"));
        for_each_item(qubits, [&](nb::handle q) {
            if (!mid_circuit && norvane::contains(measured_qubits, q))
                errors.append(format_text(
                    "Instruction %zd (Measure): qubit %S was already measured at instruction %S.",
                    i, q.ptr(), measured_qubits[q].ptr()));
            measured_qubits[q] = index;
        });
        nb::object bits = inst.attr(NORVANE_NAME("bits"));
        for_each_item(truth(bits) ? bits : qubits, [&](nb::handle bit) {
            if (!norvane::contains(written_bits, bit))
                written_bits[bit] = index;
            else if (!mid_circuit)
                errors.append(format_text(
                    "Instruction %zd (Measure): classical bit %S is written more than once; "
                    "first write was at instruction %S.",
                    i, bit.ptr(), written_bits[bit].ptr()));
        });
    }
};

nb::list check_measurement_semantics(nb::handle self, nb::handle circuit) {
    const IrClasses &c = norvane::imports<IrClasses>();
    OrderCheck check{truth(self.attr(NORVANE_NAME("allow_mid_circuit_measurement"))),
                     self.attr(NORVANE_NAME("supported_measurement_bases")),
                     LazyAttr(circuit, NORVANE_NAME("n_cbits")),
                     nb::dict(), nb::dict(), nb::list()};
    Py_ssize_t i = 0;
    for_each_item(circuit.attr(NORVANE_NAME("instructions")), [&](nb::handle inst) {
        if (is_instance(inst, c.gate)) {
            if (!check.mid_circuit) check.gate_targets(i, inst);
        } else if (is_instance(inst, c.conditional)) {
            check.conditional_bits(i, inst);
            if (!check.mid_circuit) check.gate_targets(i, inst);
        } else if (is_instance(inst, c.measurement)) {
            check.measurement(i, inst);
        }
        ++i;
    });
    return std::move(check.errors);
}

// ---- parameters ---------------------------------------------------------------------------

// Scalar classes, looked up afresh at every `_find_variables` call.
struct ScalarClasses {
    nb::object variable, literal, assigned, negative, add, mul, div, min, max;

    static ScalarClasses lookup() {
        nb::object m = norvane::imported_module(NORVANE_NAME("norvane.quantum.ir.scalar"));
        auto get = [&](nb::handle name) { return norvane::module_attr(m, name); };
        return {get(NORVANE_NAME("Variable")), get(NORVANE_NAME("Literal")),
                get(NORVANE_NAME("AssignedVariable")), get(NORVANE_NAME("Negative")),
                get(NORVANE_NAME("Add")), get(NORVANE_NAME("Mul")), get(NORVANE_NAME("Div")),
                get(NORVANE_NAME("Min")), get(NORVANE_NAME("Max"))};
    }
};

// One walk of a scalar expression. While the instance uses the compiled `_find_variables`,
// sub-expressions are walked here directly; when a subclass or the instance overrides it,
// every sub-expression goes through the override, as a recursive Python method would.
struct VariableWalk {
    nb::handle self;
    ScalarClasses classes;
    bool redispatch;
    nb::list names;

    void node(nb::handle scalar) {
        norvane::RecursionGuard guard(" while walking a scalar expression");
        const ScalarClasses &s = classes;
        if (is_instance(scalar, s.variable)) {
            names.append(scalar.attr(NORVANE_NAME("name")));
        } else if (is_instance(scalar, s.literal) || is_instance(scalar, s.assigned)) {
            // resolved: contributes no names
        } else if (is_instance(scalar, s.negative)) {
            child(scalar.attr(NORVANE_NAME("expr")));
        } else if (is_instance(scalar, s.add) || is_instance(scalar, s.mul) ||
                   is_instance(scalar, s.div)) {
            child(scalar.attr(NORVANE_NAME("lhs")));
            child(scalar.attr(NORVANE_NAME("rhs")));
        } else if (is_instance(scalar, s.min) || is_instance(scalar, s.max)) {
            for_each_item(scalar.attr(NORVANE_NAME("scalars")),
                          [&](nb::handle operand) { child(operand); });
        }
    }

    void child(nb::handle scalar) {
        if (!redispatch) return node(scalar);
        for_each_item(self.attr(NORVANE_NAME("_find_variables"))(scalar),
                      [&](nb::handle name) { names.append(name); });
    }
};

// Whether `self._find_variables` would find anything but the compiled function: an entry in
// the instance's __dict__, another function on its class, or a class that customises
// attribute access. Mirrors the interpreter's lookup order for a non-data descriptor.
bool overrides_find_variables(nb::handle self) {
    nb::handle name = NORVANE_NAME("_find_variables");
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return true;
    PyObject *on_type = PyObject_GetAttr((PyObject *) type, name.ptr());
    if (!on_type) {
        PyErr_Clear();  // the redispatched lookup raises the proper error
        return true;
    }
    bool native = on_type == native_find_variables().ptr();
    Py_DECREF(on_type);
    if (!native) return true;
    PyObject *dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return true;
    }
    int shadowed = PyDict_Contains(dict, name.ptr());
    Py_DECREF(dict);
    if (shadowed < 0) throw nb::python_error();
    return shadowed == 1;
}

nb::list find_variables(nb::handle self, nb::handle scalar) {
    VariableWalk walk{self, ScalarClasses::lookup(), overrides_find_variables(self), nb::list()};
    walk.node(scalar);
    return std::move(walk.names);
}

nb::list check_param_completeness(nb::handle self, nb::handle circuit) {
    const IrClasses &c = norvane::imports<IrClasses>();
    nb::list errors;
    Py_ssize_t i = 0;
    for_each_item(circuit.attr(NORVANE_NAME("instructions")), [&](nb::handle inst) {
        nb::object gate = is_instance(inst, c.conditional)
                              ? nb::object(inst.attr(NORVANE_NAME("instruction")))
                              : nb::borrow(inst);
        if (is_instance(gate, c.parametric_gate)) {
            Py_ssize_t j = 0;
            for_each_item(gate.attr(NORVANE_NAME("params")), [&](nb::handle p) {
                nb::object names = self.attr(NORVANE_NAME("_find_variables"))(p);
                if (truth(names))
                    errors.append(format_text(
                        "Instruction %zd (%S): param %zd contains unresolved variables: %R", i,
                        gate.attr(NORVANE_NAME("print_node"))().ptr(), j, sorted(names).ptr()));
                ++j;
            });
        }
        ++i;
    });
    return errors;
}

// ---- the validator ------------------------------------------------------------------------

void init(nb::handle self, nb::handle validate_params, nb::handle supported_measurement_bases,
          nb::handle allow_mid_circuit_measurement) {
    self.attr("validate_params") = nb::bool_(truth(validate_params));
    nb::handle basis = norvane::imports<IrClasses>().measurement_basis;
    nb::object members = supported_measurement_bases.is_none()
                             ? nb::object(nb::make_tuple(basis.attr("Z"), basis.attr("X"),
                                                         basis.attr("Y")))
                             : nb::borrow(supported_measurement_bases);
    PyObject *bases = PySet_New(members.ptr());
    if (!bases) throw nb::python_error();
    self.attr("supported_measurement_bases") = nb::steal(bases);
    self.attr("allow_mid_circuit_measurement") = nb::bool_(truth(allow_mid_circuit_measurement));
}

void append_all(nb::list &errors, nb::handle lines) {
    for_each_item(lines, [&](nb::handle line) { errors.append(line); });
}

void validate(nb::handle self, nb::handle circuit) {
    nb::list errors;
    append_all(errors, self.attr(NORVANE_NAME("_check_qubit_bounds"))(circuit));
    append_all(errors, self.attr(NORVANE_NAME("_check_measurement_semantics"))(circuit));
    if (truth(self.attr(NORVANE_NAME("validate_params"))))
        append_all(errors, self.attr(NORVANE_NAME("_check_param_completeness"))(circuit));
    Py_ssize_t count = (Py_ssize_t) errors.size();
    if (count == 0) return;

    nb::list numbered;
    for (Py_ssize_t k = 0; k < count; ++k)
        numbered.append(format_text("  [%zd] %S", k + 1, errors[k].ptr()));
    PyObject *body = PyUnicode_Join(nb::str("\n").ptr(), numbered.ptr());
    if (!body) throw nb::python_error();
    nb::str report = format_text("Circuit validation failed (%zd error(s)):\n%U", count, body);
    Py_DECREF(body);

    nb::object error = validation_error()(report);
    PyErr_SetObject((PyObject *) Py_TYPE(error.ptr()), error.ptr());
    throw nb::python_error();
}

// Every argument is taken as a plain object (None included) and checked where it is used, so
// a wrong value fails with the interpreter's own error rather than a binding mismatch.
void make_validator_class(nb::module_ &m) {
    nb::object cls = norvane::new_plain_class(m, "DigitalCircuitValidator", kValidatorDoc);
    auto add_method = [&](const char *name, const char *signature, auto f, const auto &...extra) {
        norvane::def_method(cls, name, f, nb::sig(signature), extra...);
    };
    add_method("__init__",
               "def __init__(self, validate_params: bool = True, "
               "supported_measurement_bases: typing.Optional[typing.Iterable[MeasurementBasis]] "
               "= None, allow_mid_circuit_measurement: bool = False) -> None",
               &init, nb::arg("validate_params").none() = true,
               nb::arg("supported_measurement_bases").none() = nb::none(),
               nb::arg("allow_mid_circuit_measurement").none() = false,
               "Store the settings: `validate_params` and `allow_mid_circuit_measurement` as\n"
               "truth values, `supported_measurement_bases` as a new set (None: X, Y and Z).");
    add_method("validate", "def validate(self, circuit: DigitalCircuit) -> None", &validate,
               nb::arg("circuit").none(),
               "Return None if `circuit` passes every check; otherwise raise ValidationError\n"
               "with every error line, numbered from 1.");
    add_method("_check_qubit_bounds",
               "def _check_qubit_bounds(self, circuit: DigitalCircuit) -> list[str]",
               &check_qubit_bounds, nb::arg("circuit").none(),
               "Error lines for gate targets, measured qubits and measured classical bits\n"
               "outside the circuit's registers, in circuit order.");
    add_method("_check_measurement_semantics",
               "def _check_measurement_semantics(self, circuit: DigitalCircuit) -> list[str]",
               &check_measurement_semantics, nb::arg("circuit").none(),
               "Error lines for measurement order, conditional bits and measurement bases, in\n"
               "circuit order, under the rule set chosen by `allow_mid_circuit_measurement`.");
    add_method("_check_param_completeness",
               "def _check_param_completeness(self, circuit: DigitalCircuit) -> list[str]",
               &check_param_completeness, nb::arg("circuit").none(),
               "Error lines for parameters of parametric gates (also inside conditional\n"
               "instructions) that still contain unresolved variables.");
    add_method("_find_variables", "def _find_variables(self, scalar: Scalar) -> list[str]",
               &find_variables, nb::arg("scalar").none(),
               "Names of the unresolved variables of a scalar expression, in walk order,\n"
               "duplicates kept.");
    native_find_variables() = nb::object(cls.attr("__dict__")["_find_variables"]).release();
}

}  // namespace

NB_MODULE(validate, m) {
    norvane::ModuleInitClaim claim(kModuleName);
    m.doc() = "Static checks of a digital circuit, reported together in one ValidationError.";
    norvane::imports<IrClasses>() = {norvane::import_kept("norvane.quantum.ir.digital.gate", "Gate"),
            norvane::import_kept("norvane.quantum.ir.digital.gate", "ParametricGate"),
            norvane::import_kept("norvane.quantum.ir.digital.conditional",
                                 "ConditionalInstruction"),
            norvane::import_kept("norvane.quantum.ir.digital.measurement", "Measurement"),
            norvane::import_kept("norvane.quantum.ir.digital.measurement", "MeasurementBasis")};

    PyObject *error = PyErr_NewExceptionWithDoc(
        "norvane.quantum.compiler.analysis.digital.validate.ValidationError",
        "Raised when a DigitalCircuit fails validation.", PyExc_Exception, nullptr);
    if (!error) throw nb::python_error();
    validation_error() = error;  // kept for the life of the process
    m.attr("ValidationError") = nb::handle(error);
    make_validator_class(m);

    nb::list exports;
    exports.append("DigitalCircuitValidator");
    exports.append("ValidationError");
    m.attr("__all__") = exports;
}
