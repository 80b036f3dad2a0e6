#pragma once
// The interpreter boundary: every entry point from Python runs through `guarded`, which turns
// error values into Python exceptions and broken invariants into the internal-failure exception.

#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "runtime/error.hpp"
#include "runtime/pyref.hpp"

namespace runtime {

// Sets the Python exception that an error value names.
void raise(const Error& error);

// Sets the internal-failure exception (a class derived directly from BaseException).
void raise_internal_failure(std::string_view message);

// Whether the pending exception is an ordinary failure that a fallback may clear: an Exception
// other than MemoryError. An interrupt, exhaustion or exit must reach the caller unchanged.
inline bool pending_is_ordinary() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

// The pending exception's text as "Class: message", clearing it ("unknown error" when none is).
std::string take_exception_text();

// Adds the note "while processing '{name}'" to the pending exception.
void note_processing(const char* name);

// Whether an engine result failed; its error is raised as the Python exception it names.
template <class T>
bool failed(const Result<T>& result) {
    if (result) return false;
    raise(result.error());
    return true;
}

// convert(argument), with the note "while processing '{name}'" added to its exception when it
// fails (the result is returned where it was made, never moved).
template <class Convert, class Argument>
auto noted(const char* name, Convert convert, Argument argument) -> decltype(convert(argument)) {
    auto result = convert(argument);
    if (!result) note_processing(name);
    return result;
}

// Runs an entry point's body; returns a new reference or null with an exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        PyResult<PyRef> result = body();
        return result ? result->release() : nullptr;
    } catch (const InternalFailure& failure) {
        raise_internal_failure(failure.what());
    } catch (const OutOfMemory& failure) {
        PyErr_SetString(PyExc_MemoryError, failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_internal_failure(failure.what());
    } catch (...) {
        raise_internal_failure("unknown internal failure");
    }
    return nullptr;
}

// The same for entry points that answer 0 on success and -1 on failure.
template <class Body>
int guarded_status(Body&& body) noexcept {
    PyObject* result = guarded([&]() -> PyResult<PyRef> {
        if (!body()) return raised();
        return PyRef::borrow(Py_None);
    });
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

}  // namespace runtime
