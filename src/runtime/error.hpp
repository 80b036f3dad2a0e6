#pragma once
// Failures are values: every fallible operation returns its result or an Error that names
// the Python exception class it is raised as. Only a broken invariant throws (InternalFailure).

#include <expected>
#include <new>
#include <stdexcept>
#include <string>

namespace runtime {

// Raised: the Python exception is already set on the interpreter (a failure of Python code or of
// NumPy's set-up that a lower layer ran into); raising the error leaves it as it is.
enum class ErrorKind : unsigned char { ValueError, TypeError, RuntimeError, Raised };

struct Error {
    ErrorKind kind;
    std::string message;

    static Error value(std::string m) { return {ErrorKind::ValueError, std::move(m)}; }
    static Error type(std::string m) { return {ErrorKind::TypeError, std::move(m)}; }
    static Error runtime(std::string m) { return {ErrorKind::RuntimeError, std::move(m)}; }
    static Error already_raised() { return {ErrorKind::Raised, {}}; }
};

template <class T>
using Result = std::expected<T, Error>;

// A kernel reports failures as plain text; the storage layer attaches the exception class.
template <class T>
using KernelResult = std::expected<T, std::string>;

// A broken internal invariant. It unwinds to the interpreter boundary, where it becomes the
// internal-failure exception.
class InternalFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An element buffer that could not be allocated: raised as MemoryError with this text, and the
// process goes on.
class OutOfMemory : public std::bad_alloc {
  public:
    explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

}  // namespace runtime
