#pragma once
// An owning reference to a Python object: every early return releases what it holds.

#include <Python.h>

#include <expected>
#include <type_traits>
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

// The Python error indicator is set: thrown where a call into the interpreter failed, and caught
// only at the interpreter boundary (runtime::guarded), which answers the interpreter's failure
// result. It is no std::exception, so nothing takes it for an internal failure.
struct PythonError {};

// A new reference from the C API; null means an exception is pending.
inline PyRef checked(PyObject* new_reference) {
    if (new_reference == nullptr) throw PythonError();
    return PyRef::steal(new_reference);
}

// The answer of a C API call that is negative with an exception pending (PyObject_IsTrue,
// PyList_Append, ...); the others are passed back.
inline int checked(int status) {
    if (status < 0) throw PythonError();
    return status;
}

// The value of a result whose failure is already raised.
template <class T>
T value_or_raise(PyResult<T>&& result) {
    if (!result) throw PythonError();
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace runtime
