#pragma once
// Binding of Python call arguments to named parameters, with the interpreter's usual wording
// for argument errors ("Tensor.reshape() missing 1 required positional argument: 'shape'").

#include <Python.h>

#include <cstddef>
#include <span>

#include "runtime/pyref.hpp"

namespace tensor::api {

struct Parameters {
    const char* function;                 // as named in messages, e.g. "Tensor.reshape"
    std::span<const char* const> names;   // all parameters, in order
    std::size_t required;                 // the first `required` ones have no default
    std::size_t self_count = 0;           // 1 for methods: messages count the receiver too
};

// Fast-call arguments (positional args[0..nargs), then one value per name in kwnames).
// out receives borrowed references, null for parameters not given.
runtime::PyResult<void> bind_arguments(const Parameters& parameters, PyObject* const* args,
                                       std::size_t nargs, PyObject* kwnames,
                                       std::span<PyObject*> out);

// The same for a tuple and an optional dict.
runtime::PyResult<void> bind_arguments(const Parameters& parameters, PyObject* args,
                                       PyObject* kwargs, std::span<PyObject*> out);

}  // namespace tensor::api
