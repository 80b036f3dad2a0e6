#define MORLA_NUMPY_API_OWNER
#include "runtime/numpy.hpp"

#include <iterator>
#include <memory>
#include <string>

#include "runtime/text.hpp"

#include "runtime/boundary.hpp"
#include "runtime/once.hpp"

namespace runtime {
namespace {

using runtime::PyRef;
using runtime::PyResult;
using runtime::Raised;

// The built-in dtypes kept at set-up, by type number and name; the order is that of
// NumpyApi::descrs.
struct Builtin {
    int type_num;
    const char* name;
};
constexpr Builtin builtins[] = {{NPY_FLOAT32, "float32"}, {NPY_FLOAT16, "float16"}, {NPY_BOOL, "bool"}};

// NumPy's C API table and the built-in dtypes that tensors use. The dtypes are held for the life
// of the process and lent out uncounted, so threads do not contend on their reference counts.
struct NumpyApi {
    void** table = nullptr;
    int feature = 0;
    PyObject* descrs[std::size(builtins)] = {};

    ~NumpyApi() {
        for (PyObject* descr : descrs) Py_XDECREF(descr);
    }
};
runtime::OncePtr<NumpyApi> numpy_api;

// Finds and checks the "_ARRAY_API" table; an error is the text that the failure message carries.
std::expected<std::unique_ptr<NumpyApi>, std::string> fetch_table() {
    auto version = import_attribute("numpy", "__version__");
    if (!version) return std::unexpected(take_exception_text());
    auto numpy_version = import_attribute("numpy.lib", "NumpyVersion");
    if (!numpy_version) return std::unexpected(take_exception_text());
    auto parsed = runtime::checked(PyObject_CallOneArg(numpy_version->get(), version->get()));
    if (!parsed) return std::unexpected(take_exception_text());
    auto major = runtime::checked(PyObject_GetAttrString(parsed->get(), "major"));
    if (!major) return std::unexpected(take_exception_text());
    long major_number = PyLong_AsLong(major->get());
    if (major_number == -1 && PyErr_Occurred()) return std::unexpected(take_exception_text());

    const char* multiarray = major_number >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    auto capsule = import_attribute(multiarray, "_ARRAY_API");
    if (!capsule) return std::unexpected(take_exception_text());
    if (!PyCapsule_CheckExact(capsule->get())) {
        return std::unexpected(std::string("RuntimeError: _ARRAY_API is not a PyCapsule object"));
    }
    auto table = static_cast<void**>(PyCapsule_GetPointer(capsule->get(), nullptr));
    if (table == nullptr) return std::unexpected(take_exception_text());

    // The checks use the candidate table without publishing it.
    auto abi = reinterpret_cast<unsigned (*)()>(table[0])();
    if (abi > 0x02000000u) {
        return std::unexpected("RuntimeError: module compiled against ABI version 0x2000000 but this version of "
            "numpy is 0x" + hex(abi));
    }
    auto feature = reinterpret_cast<unsigned (*)()>(table[211])();
    if (feature < NPY_1_15_API_VERSION) {
        return std::unexpected(
            "RuntimeError: module was compiled against NumPy C-API version 0xc (NumPy 1.15) but "
            "the running NumPy has C-API version 0x" +
            hex(feature));
    }
    auto endianness = reinterpret_cast<int (*)()>(table[210])();
    if (endianness != NPY_CPU_LITTLE) {
        return std::unexpected(std::string(
            "RuntimeError: module compiled as little endian, but detected different endianness "
            "at runtime"));
    }
    auto api = std::make_unique<NumpyApi>();
    api->table = table;
    api->feature = int(feature);
    return api;
}

// numpy.dtype(name) for the built-in dtypes that tensors use; an error as fetch_table gives it.
std::expected<void, std::string> fetch_builtin_descrs(NumpyApi& api) {
    for (std::size_t i = 0; i < std::size(builtins); ++i) {
        auto descr = numpy_dtype_named(builtins[i].name);
        if (!descr) return std::unexpected(take_exception_text());
        api.descrs[i] = descr->release();
    }
    return {};
}

}  // namespace

PyResult<void> ensure_numpy_api() {
    MORLA_TRY(numpy_api.get_or_init(
        []() -> std::expected<NumpyApi*, Raised> {
            auto fetched = fetch_table();
            if (fetched) {
                auto descrs = fetch_builtin_descrs(**fetched);
                if (!descrs) fetched = std::unexpected(std::move(descrs.error()));
            }
            if (!fetched) {
                runtime::raise_internal_failure("Failed to access NumPy array API capsule: " +
                                                fetched.error());
                return runtime::raised();
            }
            return fetched->release();  // kept for the life of the process
        },
        [](NumpyApi* loser) { delete loser; },
        [](NumpyApi* winner) {
            PyArray_API = winner->table;
            PyArray_RUNTIME_VERSION = winner->feature;
        }));
    return {};
}

bool numpy_api_ready() { return numpy_api.peek() != nullptr; }

PyObject* swap_data_handler(PyObject* handler) {
    // PyDataMem_SetHandler, in the table from NumPy 1.22 (C-API feature version 0xf) on
    constexpr unsigned handler_feature = 0xf;
    constexpr std::size_t set_handler_slot = 304;
    const NumpyApi* api = numpy_api.peek();
    if (api == nullptr || unsigned(api->feature) < handler_feature) return nullptr;
    auto set_handler = reinterpret_cast<PyObject* (*)(PyObject*)>(api->table[set_handler_slot]);
    PyObject* previous = set_handler(handler);
    if (previous == nullptr) PyErr_Clear();
    return previous;
}

PyObject* builtin_descr(int type_num) {
    const NumpyApi* api = numpy_api.peek();
    if (api == nullptr) return nullptr;
    for (std::size_t i = 0; i < std::size(builtins); ++i) {
        if (type_num == builtins[i].type_num) return api->descrs[i];
    }
    return nullptr;
}

PyResult<PyRef> import_attribute(const char* module_name, const char* attribute) {
    MORLA_TRY(PyRef module, checked(PyImport_ImportModule(module_name)));
    return checked(PyObject_GetAttrString(module.get(), attribute));
}

PyResult<PyRef> numpy_dtype_named(const char* name) {
    MORLA_TRY(PyRef numpy_dtype, import_attribute("numpy", "dtype"));
    return checked(PyObject_CallFunction(numpy_dtype.get(), "s", name));
}

}  // namespace runtime
