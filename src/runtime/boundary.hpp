#pragma once
// The interpreter boundary: every entry point from Python runs through `guarded`, which answers
// the interpreter's failure result for a raised Python exception and turns broken invariants into
// the internal-failure exception.

#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

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

// The value of a result; its error is set as the Python exception it names, and thrown on.
template <class T>
T value_or_raise(Result<T>&& result) {
    if (!result) {
        raise(result.error());
        throw PythonError();
    }
    if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// Runs an entry point's body, which answers a new reference; returns it, or null with an
// exception set. Failures of the interpreter's calls arrive as PythonError with the exception
// already set, and are caught here only.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (const PythonError&) {
        // the exception is set
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
    PyObject* result = guarded([&] {
        body();
        return PyRef::borrow(Py_None);
    });
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

}  // namespace runtime
