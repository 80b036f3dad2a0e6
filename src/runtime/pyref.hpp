#pragma once
// An owning reference to a Python object: every early return releases what it holds.

#include <Python.h>

#include <expected>
#include <utility>

namespace runtime {

class PyRef {
  public:
    PyRef() = default;
    static PyRef steal(PyObject* object) { return PyRef(object); }
    static PyRef borrow(PyObject* object) { return PyRef(Py_XNewRef(object)); }

    PyRef(const PyRef& other) : object_(Py_XNewRef(other.object_)) {}
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// The Python error indicator is set; the caller returns its failure value.
struct Raised {};

template <class T>
using PyResult = std::expected<T, Raised>;

inline std::unexpected<Raised> raised() { return std::unexpected(Raised{}); }

// Wraps a new reference from the C API; a null result means an exception is pending.
inline PyResult<PyRef> checked(PyObject* new_reference) {
    if (new_reference == nullptr) return raised();
    return PyRef::steal(new_reference);
}

}  // namespace runtime
