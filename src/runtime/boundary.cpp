#include "runtime/boundary.hpp"

#include <string>

#include "runtime/once.hpp"

namespace runtime {
namespace {

OncePtr<PyObject> internal_failure_type;

// Ends the process: a failure happened while another failure was being turned into an exception.
[[noreturn]] void uncaught(const char* what) {
    std::string message = "morla_core: a failure was not caught at the interpreter boundary: ";
    message += what;
    Py_FatalError(message.c_str());
}

PyObject* exception_class(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::ValueError: return PyExc_ValueError;
        case ErrorKind::TypeError: return PyExc_TypeError;
        case ErrorKind::RuntimeError:
            return PyExc_RuntimeError;
        case ErrorKind::Raised: break;
    }
    return PyExc_RuntimeError;
}

}  // namespace

void raise(const Error& error) {
    if (error.kind == ErrorKind::Raised) {
        if (!PyErr_Occurred()) raise_internal_failure("an error reported as raised set no exception");
        return;
    }
    PyErr_SetString(exception_class(error.kind), error.message.c_str());
}

void raise_internal_failure(std::string_view message) {
    auto type = internal_failure_type.get_or_init([]() -> std::expected<PyObject*, Raised> {
        PyObject* made = PyErr_NewExceptionWithDoc(
            "morla_core.InternalFailure",
            "A broken internal invariant of morla_core; its argument is the failure's text.",
            PyExc_BaseException, nullptr);
        if (made == nullptr) return raised();
        return made;  // kept for the life of the process
    }, [](PyObject* loser) { Py_DECREF(loser); });
    if (!type) uncaught("the internal-failure exception class could not be created");
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size()));
    if (text == nullptr) uncaught("the internal failure's text could not be converted");
    PyErr_SetObject(*type, text);
    Py_DECREF(text);
}

std::string take_exception_text() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) return "unknown error";
    std::string text = Py_TYPE(exception.get())->tp_name;
    if (PyRef message = PyRef::steal(PyObject_Str(exception.get()))) {
        if (const char* utf8 = PyUnicode_AsUTF8(message.get())) text += std::string(": ") + utf8;
    }
    PyErr_Clear();
    return text;
}

void note_processing(const char* name) {
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) return;
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", name);
    if (note != nullptr) {
        PyObject* done = PyObject_CallMethod(exception, "add_note", "O", note);
        Py_DECREF(note);
        if (done == nullptr) {
            Py_DECREF(exception);  // the failure of add_note replaces the original exception
            return;
        }
        Py_DECREF(done);
    }
    PyErr_SetRaisedException(exception);
}

}  // namespace runtime
