#include "numpy_random.hpp"

#include "pyops.hpp"

namespace norvane {

BitGenerator::BitGenerator(nb::handle generator)
    : bit_generator_(generator.attr("bit_generator")), capsule_(bit_generator_.attr("capsule")),
      lock_(nb::getattr(bit_generator_, "lock", nb::none())) {
    bitgen_ = static_cast<bitgen_t *>(PyCapsule_GetPointer(capsule_.ptr(), "BitGenerator"));
    if (!bitgen_) throw nb::python_error();
}

void BitGenerator::hold() {
    if (held_) return;
    if (!lock_.is_none()) lock_held_.emplace(lock_);
    held_ = true;
}

void BitGenerator::let_go() noexcept {
    lock_held_.reset();
    held_ = false;
}

}  // namespace norvane
