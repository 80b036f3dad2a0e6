#pragma once
#include <Python.h>

#include <vector>

namespace tensor::api {
// The number slots and rich comparison of the class.
std::vector<PyType_Slot> operator_slots();
}  // namespace tensor::api
