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

// Any other pointer from the C API (a borrowed reference, a UTF-8 buffer); null means an
// exception is pending.
template <class T>
PyResult<T*> non_null(T* pointer) {
    if (pointer == nullptr) return raised();
    return pointer;
}

// A C-API status or truth value; a negative one means an exception is pending.
inline PyResult<int> status(int code) {
    if (code < 0) return raised();
    return code;
}

// Sets the exception cls(message) and answers the failure. With arguments, message is
// PyErr_Format's format.
template <class... Args>
std::unexpected<Raised> fail(PyObject* cls, const char* message, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        PyErr_SetString(cls, message);
    } else {
        PyErr_Format(cls, message, args...);
    }
    return raised();
}

template <class T>
bool failed(const PyResult<T>& result) {
    return !result.has_value();
}

}  // namespace runtime

// Passing a failure up, one line for each fallible step:
//   MORLA_TRY(auto x, f());  declares x as f()'s value, or returns the failure to the caller;
//   MORLA_TRY(f());          only checks (a result held in a variable, too).
// f() gives a PyResult (its exception already set) or an engine Result, whose error is raised
// here. The interpreter boundary (`guarded`) turns the failure into a null return.
#define MORLA_TRY(...) MORLA_TRY_PICK(__VA_ARGS__, MORLA_TRY_BIND, MORLA_TRY_CHECK, )(__VA_ARGS__)
#define MORLA_TRY_PICK(first, second, name, ...) name
#define MORLA_TRY_CHECK(expression)       \
    if (!::runtime::failed(expression)) { \
    } else                                \
        return ::runtime::raised()
#define MORLA_TRY_BIND(declaration, expression) \
    MORLA_TRY_BIND_AS(MORLA_TRY_JOIN(morla_try_, __COUNTER__), declaration, expression)
#define MORLA_TRY_BIND_AS(result, declaration, expression)     \
    auto result = (expression);                                \
    if (::runtime::failed(result)) return ::runtime::raised(); \
    declaration = *std::move(result)
#define MORLA_TRY_JOIN(a, b) MORLA_TRY_JOIN_AGAIN(a, b)
#define MORLA_TRY_JOIN_AGAIN(a, b) a##b
