#include "task.hpp"

#include "support/args.hpp"
#include "support/module.hpp"
#include "support/plain_class.hpp"
#include "support/pyops.hpp"

namespace oruna1_simulator {

namespace {

const char *const kModuleName = "norvane.quantum.job.oruna1_simulator";

const char *const kTaskDoc =
    "A local task that runs one analog program on the emulator.\n"
    "\n"
    "Fields: shots (number of shots), emulator_ir (the EmulatorProgram), metadata (carried,\n"
    "never read), compile_cache (optional CompileCache for the code generator) and\n"
    "task_result_ir (the NrvJobResults set by run).";

// (module, attribute) pairs bound as module attributes, in the order they are imported.
struct Imported {
    const char *name, *module, *attribute;
};
const Imported kImports[] = {
    {"Optional", "typing", "Optional"},
    {"dataclass", "dataclasses", "dataclass"},
    {"Dict", "beartype.typing", "Dict"},
    {"Any", "beartype.typing", "Any"},
    {"Serializer", "norvane.quantum.serialize", "Serializer"},
    {"Geometry", "norvane.quantum.job.base", "Geometry"},
    {"LocalTask", "norvane.quantum.job.base", "LocalTask"},
    {"ParamType", "norvane.quantum.constructor.base", "ParamType"},
    {"EmulatorProgram", "norvane.quantum.simulator.ir.emulator", "EmulatorProgram"},
    {"AnalogGate", "norvane.quantum.simulator.ir.state_vector", "AnalogGate"},
    {"NrvShotResult", "norvane.quantum.dispatch.program.job_results", "NrvShotResult"},
    {"NrvJobResults", "norvane.quantum.dispatch.program.job_results", "NrvJobResults"},
    {"NrvShotStatusCode", "norvane.quantum.dispatch.program.job_results", "NrvShotStatusCode"},
    {"NrvJobStatusCode", "norvane.quantum.dispatch.program.job_results", "NrvJobStatusCode"},
    {"CompileCache", "norvane.quantum.simulator.codegen.hamiltonian", "CompileCache"},
    {"RydbergHamiltonianCodeGen", "norvane.quantum.simulator.codegen.hamiltonian", "RydbergHamiltonianCodeGen"},
};

// A global of this module, read at call time.
nb::object global(const char *name) {
    static nb::handle module_name = norvane::interned(kModuleName);
    return norvane::module_attr(norvane::imported_module(module_name), norvane::interned(name));
}

nb::object geometry_of(nb::handle task) {
    return task.attr("emulator_ir").attr("register").attr("geometry");
}

// The shot readouts: pre-sequence = the filling; post-sequence = 1 minus the emulator's value
// at each filled site (site order) and 0 at empty sites. One buffer serves every shot; each
// record gets fresh lists.
nb::list shot_results(nb::handle shots_array, nb::handle filling_sequence) {
    nb::object np = global("np");
    nb::object int_type = nb::borrow((PyObject *)&PyLong_Type);
    nb::dict as_int;
    as_int["dtype"] = int_type;
    nb::object filling = np.attr("array")(**nb::dict(as_int), filling_sequence);
    nb::object buffer = np.attr("zeros")(**nb::dict(as_int), filling.attr("shape"));
    nb::object filled = norvane::checked(PyObject_RichCompare(filling.ptr(), nb::int_(1).ptr(), Py_EQ));
    nb::object shot_result = global("NrvShotResult");
    nb::object completed = global("NrvShotStatusCode").attr("Completed");
    nb::object one = nb::int_(1);
    nb::list shots;
    for (nb::handle row : shots_array) {
        nb::object readout = norvane::checked(PyNumber_Subtract(one.ptr(), row.ptr()));
        if (PyObject_SetItem(buffer.ptr(), filled.ptr(), readout.ptr()) < 0) throw nb::python_error();
        nb::dict fields;
        fields["shot_status"] = completed;
        fields["pre_sequence"] = filling.attr("tolist")();
        fields["post_sequence"] = buffer.attr("tolist")();
        shots.append(norvane::call_with_mapping(shot_result, fields));
    }
    return shots;
}

nb::object run(nb::handle self, nb::handle solver_name, nb::handle atol, nb::handle rtol, nb::handle nsteps,
               nb::handle interaction_picture) {
    nb::dict options;
    options["solver_name"] = norvane::arg_str(solver_name, "solver_name");
    options["atol"] = nb::float_(norvane::arg_float(atol, "atol"));
    options["rtol"] = nb::float_(norvane::arg_float(rtol, "rtol"));
    options["nsteps"] = norvane::arg_int(nsteps, "nsteps");
    options["interaction_picture"] = nb::bool_(norvane::truth(interaction_picture));

    nb::object codegen = global("RydbergHamiltonianCodeGen")(self.attr("compile_cache"));
    nb::object hamiltonian = codegen.attr("emit")(self.attr("emulator_ir"));
    nb::object gate = global("AnalogGate")(hamiltonian);
    nb::dict gate_kwargs;
    gate_kwargs["project_hyperfine"] = nb::bool_(true);
    if (PyDict_Update(gate_kwargs.ptr(), options.ptr()) < 0) throw nb::python_error();
    nb::object shots_array = norvane::checked(
        PyObject_Call(gate.attr("run").ptr(), nb::make_tuple(self.attr("shots")).ptr(), gate_kwargs.ptr()));

    nb::list shots = shot_results(shots_array, geometry_of(self).attr("filling"));
    nb::dict result_fields;
    result_fields["task_status"] = global("NrvJobStatusCode").attr("Completed");
    result_fields["shot_outputs"] = shots;
    nb::setattr(self, "task_result_ir", norvane::call_with_mapping(global("NrvJobResults"), result_fields));
    return nb::borrow(self);
}

nb::dict serialize(nb::handle obj) {
    nb::dict d;
    d["shots"] = obj.attr("shots");
    d["emulator_ir"] = obj.attr("emulator_ir");
    d["metadata"] = obj.attr("metadata");
    nb::object results = obj.attr("task_result_ir");
    d["task_result_ir"] = norvane::truth(results) ? results.attr("dict")() : nb::none();
    return d;
}

nb::object deserialize(nb::handle d) {
    nb::object results = norvane::get_item(d, "task_result_ir");
    nb::object decoded =
        norvane::truth(results) ? norvane::call_with_mapping(global("NrvJobResults"), results) : nb::none();
    nb::str key("task_result_ir");
    if (PyObject_SetItem(d.ptr(), key.ptr(), decoded.ptr()) < 0) throw nb::python_error();
    return norvane::call_with_mapping(global("Oruna1SimulatorTask"), d);
}

void add_methods(nb::handle cls) {
    norvane::def_method(
        cls, "_geometry", [](nb::handle self) { return geometry_of(self); },
        "The program's register geometry (emulator_ir.register.geometry).");
    norvane::def_method(
        cls, "result", [](nb::handle self) { return self.attr("task_result_ir"); },
        "The results of the last run (None before the first).");
    // Every option reaches the body, None included, so a wrong kind gets the kit's own message.
    norvane::def_method(cls, "run", &run, nb::arg("solver_name").none() = "dop853", nb::arg("atol").none() = 1e-14,
                        nb::arg("rtol").none() = 1e-7, nb::arg("nsteps").none() = 2147483647,
                        nb::arg("interaction_picture").none() = false,
                        "Compile and run the program on the emulator; set task_result_ir and return the task.\n"
                        "\n"
                        "Each shot's post_sequence holds 1 where an atom was found in the ground state (still\n"
                        "present after the sequence) and 0 where it was excited or the site is empty.");
    norvane::def_property(
        cls, "nshots", [](nb::handle self) { return norvane::arg_int(self.attr("shots"), "shots"); },
        "The number of shots as an integer.");
}

}  // namespace

void import_names(nb::module_ &m) {
    m.attr("np") = nb::module_::import_("numpy");
    for (const Imported &name : kImports) m.attr(name.name) = norvane::import_attr(name.module, name.attribute);
}

void bind_task(nb::module_ &m) {
    nb::dict annotations;
    annotations["shots"] = nb::borrow((PyObject *)&PyLong_Type);
    annotations["emulator_ir"] = m.attr("EmulatorProgram");
    annotations["metadata"] = m.attr("Dict")[nb::make_tuple(nb::borrow((PyObject *)&PyUnicode_Type), m.attr("ParamType"))];
    annotations["compile_cache"] = m.attr("Optional")[m.attr("CompileCache")];
    annotations["task_result_ir"] = m.attr("Optional")[m.attr("NrvJobResults")];
    nb::dict body;
    body["__annotations__"] = annotations;
    body["compile_cache"] = nb::none();
    body["task_result_ir"] = nb::none();
    nb::object cls = norvane::new_derived_class(m, "Oruna1SimulatorTask", m.attr("LocalTask"), kTaskDoc, body);
    add_methods(cls);

    // Registered first; the data-class transformation applies to what the registry returns.
    nb::object registered = m.attr("Serializer").attr("register")(cls);
    nb::object task = m.attr("dataclass")(registered);
    m.attr("Oruna1SimulatorTask") = task;

    nb::object serializer = nb::cpp_function(&serialize, nb::arg("obj"), nb::name("_serialize"), nb::scope(m),
                                             "The task as a mapping: shots, emulator_ir, metadata, task_result_ir.");
    nb::object deserializer = nb::cpp_function(&deserialize, nb::arg("d"), nb::name("_deserialize"), nb::scope(m),
                                               "The task encoded by a mapping from _serialize (changes it in place).");
    m.attr("_serialize") = task.attr("set_serializer")(serializer);
    m.attr("_deserialize") = task.attr("set_deserializer")(deserializer);
}

}  // namespace oruna1_simulator
