#include "tensor/api/arguments.hpp"

#include <algorithm>
#include <cstring>
#include <vector>
#include <string>

namespace tensor::api {
namespace {

using runtime::PyResult;

std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) text += "and ";
        text += std::string("'") + names[i] + "'";
    }
    return text;
}

PyResult<void> type_error(const std::string& message) {
    return runtime::fail(PyExc_TypeError, message.c_str());
}

PyResult<void> check_positional_count(const Parameters& p, std::size_t nargs) {
    if (nargs <= p.names.size()) return {};
    const std::size_t most = p.names.size() + p.self_count;
    const std::size_t least = p.required + p.self_count;
    const std::size_t given = nargs + p.self_count;
    std::string takes = least == most ? std::to_string(most)
                                      : "from " + std::to_string(least) + " to " + std::to_string(most);
    return type_error(std::string(p.function) + "() takes " + takes + " positional argument" +
                      (most == 1 ? "" : "s") + " but " + std::to_string(given) +
                      (given == 1 ? " was" : " were") + " given");
}

PyResult<void> bind_keyword(const Parameters& p, PyObject* key, PyObject* value,
                            std::span<PyObject*> out) {
    if (!PyUnicode_Check(key)) return type_error("keywords must be strings");
    MORLA_TRY(const char* name, runtime::non_null(PyUnicode_AsUTF8(key)));
    auto found = std::find_if(p.names.begin(), p.names.end(),
                              [&](const char* candidate) { return std::strcmp(candidate, name) == 0; });
    if (found == p.names.end()) {
        return type_error(std::string(p.function) + "() got an unexpected keyword argument '" +
                          name + "'");
    }
    PyObject*& slot = out[std::size_t(found - p.names.begin())];
    if (slot != nullptr) {
        return type_error(std::string(p.function) + "() got multiple values for argument '" +
                          name + "'");
    }
    slot = value;
    return {};
}

PyResult<void> check_required(const Parameters& p, std::span<PyObject*> out) {
    if (std::find(out.begin(), out.begin() + std::ptrdiff_t(p.required), nullptr) ==
        out.begin() + std::ptrdiff_t(p.required)) {
        return {};
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < p.required; ++i) {
        if (out[i] == nullptr) missing.push_back(p.names[i]);
    }
    if (missing.empty()) return {};
    return type_error(std::string(p.function) + "() missing " + std::to_string(missing.size()) +
                      " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                      quoted_list(missing));
}

}  // namespace

PyResult<void> bind_arguments(const Parameters& p, PyObject* const* args, std::size_t nargs,
                              PyObject* kwnames, std::span<PyObject*> out) {
    // Every parameter given by position and none by keyword: nothing can be missing or doubled.
    if (kwnames == nullptr && nargs == p.names.size()) {
        std::copy_n(args, nargs, out.begin());
        return {};
    }
    std::fill(out.begin(), out.end(), nullptr);
    MORLA_TRY(check_positional_count(p, nargs));
    std::copy_n(args, nargs, out.begin());
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        MORLA_TRY(bind_keyword(p, PyTuple_GET_ITEM(kwnames, i), args[nargs + std::size_t(i)], out));
    }
    return check_required(p, out);
}

PyResult<void> bind_arguments(const Parameters& p, PyObject* args, PyObject* kwargs,
                              std::span<PyObject*> out) {
    std::fill(out.begin(), out.end(), nullptr);
    const auto nargs = std::size_t(PyTuple_GET_SIZE(args));
    MORLA_TRY(check_positional_count(p, nargs));
    for (std::size_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, Py_ssize_t(i));
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            MORLA_TRY(bind_keyword(p, key, value, out));
        }
    }
    return check_required(p, out);
}

}  // namespace tensor::api
