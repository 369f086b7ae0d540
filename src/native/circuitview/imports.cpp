#include "imports.hpp"

#include "support/pyops.hpp"

namespace circuitview {

nb::object from_import(nb::handle module, nb::handle name) {
    nb::object loaded = norvane::imported_module(module);
    try {
        return norvane::module_attr(loaded, name);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        nb::raise_from(e, PyExc_ImportError, "cannot import name '%U' from '%U'", name.ptr(), module.ptr());
    }
}

InstructionKinds InstructionKinds::import_now() {
    return InstructionKinds{from_import(NORVANE_NAME("norvane.quantum.ir.digital.gate"), NORVANE_NAME("Gate")),
                            from_import(NORVANE_NAME("norvane.quantum.ir.digital.measurement"),
                                        NORVANE_NAME("Measurement"))};
}

nb::object bokeh_figure_factory() {
    static const char *const kModels[] = {"ColumnDataSource", "Text",      "Rect",   "Segment",
                                          "Arrow",            "NormalHead", "Circle", "Label"};
    try {
        nb::object figure = from_import(NORVANE_NAME("bokeh.plotting"), NORVANE_NAME("figure"));
        nb::handle models = NORVANE_NAME("bokeh.models");
        for (const char *model : kModels) from_import(models, nb::str(model));
        return figure;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        nb::raise_from(e, PyExc_ImportError,
                       "Bokeh is required for digital circuit visualization. Install it with: pip install bokeh");
    }
}

nb::object bokeh_show() { return from_import(NORVANE_NAME("bokeh.plotting"), NORVANE_NAME("show")); }

}  // namespace circuitview
