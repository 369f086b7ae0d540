// Double-precision NumPy vectors for native code: conversion and copies with NumPy's own rules
// and messages, and direct access to the elements of an array.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace norvane {

namespace nb = nanobind;

// Imports NumPy and looks up the functions below; call it when a module loads. The lookups are
// kept for the rest of the process.
void load_numpy();

// numpy.asarray(value, dtype=numpy.float64): no copy when `value` already is such an array.
nb::object as_float_array(nb::handle value);

// A new C-ordered float64 array with the values of `value`, never sharing its memory.
nb::object float_array_copy(nb::handle value);

// numpy.zeros(n): a new float64 array of n zeros.
nb::object float_zeros(nb::handle n);

// numpy.zeros_like(array) and numpy.empty_like(array).
nb::object zeros_like(nb::handle array);
nb::object empty_like(nb::handle array);

// numpy.dot(a, b)
nb::object dot(nb::handle a, nb::handle b);

// numpy.random.default_rng(seed)
nb::object default_rng(nb::handle seed);

// numpy.pi
double pi();

// The shape of an array, as a tuple.
nb::tuple shape_of(nb::handle array);

// The elements of a C-contiguous float64 array, in C order, read or written in place. The view
// holds a buffer export of the array while it lives, so the array cannot be resized under it;
// keep it only across code that calls no Python.
class DoubleView {
public:
    enum class Access { read, write };
    DoubleView(nb::handle array, Access access);
    ~DoubleView();
    DoubleView(const DoubleView &) = delete;
    DoubleView &operator=(const DoubleView &) = delete;

    std::size_t size() const { return size_; }
    double *data() { return static_cast<double *>(view_.buf); }  // Access::write only
    const double *data() const { return static_cast<const double *>(view_.buf); }

private:
    Py_buffer view_;
    std::size_t size_;
};

}  // namespace norvane
