#include "numpy_random.hpp"

namespace norvane {

BitGenerator::BitGenerator(nb::handle generator)
    : capsule_(generator.attr("bit_generator").attr("capsule")) {
    bitgen_ = static_cast<bitgen_t *>(PyCapsule_GetPointer(capsule_.ptr(), "BitGenerator"));
    if (!bitgen_) throw nb::python_error();
}

}  // namespace norvane
