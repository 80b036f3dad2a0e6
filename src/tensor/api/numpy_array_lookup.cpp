#include "tensor/api/numpy_array_lookup.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "runtime/once.hpp"

namespace tensor::api {
namespace {

using runtime::PyRef;
using runtime::PyResult;

// Changes made to the watched dictionaries (sys.modules and the namespaces of the modules read
// from) since the process started: the one count the threads share, written only when one of
// them changes, which a program seldom does once its imports are done.
std::atomic<std::uint64_t> namespace_changes{0};

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    namespace_changes.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

// Watchers are the interpreter's: another one (a subinterpreter, where the build lets one import
// the module) keeps nothing.
struct Watching {
    int watcher;  // -1: the interpreter had no dict watcher to spare, so nothing is kept
    PyInterpreterState* interpreter;
    PyObject* key;  // of a thread's entry in its thread state's dictionary
};
runtime::OncePtr<Watching> watching;

PyResult<const Watching*> watching_state() {
    return watching.get_or_init(
        []() -> std::expected<Watching*, runtime::Raised> {
            PyObject* key = PyUnicode_InternFromString("morla_core: numpy.array last read");
            if (key == nullptr) return runtime::raised();
            int watcher = PyDict_AddWatcher(count_change);
            if (watcher < 0) PyErr_Clear();
            return new Watching{watcher, PyInterpreterState_Get(),
                                key};  // kept for the life of the process
        },
        [](Watching* loser) {
            if (loser->watcher >= 0) PyDict_ClearWatcher(loser->watcher);
            Py_DECREF(loser->key);
            delete loser;
        });
}

// A thread's entry: what it read, and the count of changes before it read.
struct Reading {
    std::uint64_t changes;
    PyObject* module;
    PyObject* function;
};
constexpr const char* reading_name = "morla.read";  // short: every lookup compares it

void release_reading(PyObject* capsule) {
    auto* reading = static_cast<Reading*>(PyCapsule_GetPointer(capsule, reading_name));
    Py_DECREF(reading->module);
    Py_DECREF(reading->function);
    delete reading;
}

// The entry and its reading, if it was read since the last change and the module is still a
// plain module (whose attributes are its namespace's entries); else nothing.
PyResult<std::pair<PyRef, const Reading*>> good_entry(PyObject* thread_dict, PyObject* key) {
    PyObject* found = nullptr;
    MORLA_TRY(const int present, runtime::status(PyDict_GetItemRef(thread_dict, key, &found)));
    PyRef entry = PyRef::steal(found);
    if (present == 0) return std::pair{PyRef(), nullptr};
    const auto* reading =
        static_cast<const Reading*>(PyCapsule_GetPointer(entry.get(), reading_name));
    if (reading->changes == namespace_changes.load(std::memory_order_acquire) &&
        Py_IS_TYPE(reading->module, &PyModule_Type)) {
        return std::pair{std::move(entry), reading};
    }
    return std::pair{PyRef(), nullptr};
}

// Keeps the reading as the thread's entry; where that cannot be had (memory), nothing is kept
// and the next construction reads again.
void keep(PyObject* thread_dict, PyObject* key, std::uint64_t changes, PyObject* module,
          PyObject* function) {
    auto* reading = new (std::nothrow) Reading{changes, module, function};
    if (reading == nullptr) return;
    PyObject* capsule = PyCapsule_New(reading, reading_name, release_reading);
    if (capsule == nullptr) {
        delete reading;
        PyErr_Clear();
        return;
    }
    Py_INCREF(module);  // the capsule's now, given back by release_reading
    Py_INCREF(function);
    if (PyDict_SetItem(thread_dict, key, capsule) < 0) PyErr_Clear();
    Py_DECREF(capsule);
}

// Watches a dictionary for changes; says whether it could (it could not: nothing is kept).
bool watched(int watcher, PyObject* dict) {
    if (PyDict_Watch(watcher, dict) == 0) return true;
    PyErr_Clear();
    return false;
}

}  // namespace

PyResult<NumpyArrayReading> read_numpy_array(PyObject* module_name, PyObject* function_name) {
    MORLA_TRY(const Watching* state, watching_state());
    PyObject* thread_dict = state->watcher >= 0 && PyInterpreterState_Get() == state->interpreter
                                ? PyThreadState_GetDict()
                                : nullptr;
    if (thread_dict != nullptr) {
        MORLA_TRY(auto good, good_entry(thread_dict, state->key));
        if (good.second != nullptr)
            return NumpyArrayReading{std::move(good.first), good.second->function};
    }
    // Watched before the count is read: a change from here on is counted after it.
    bool keeping = thread_dict != nullptr && watched(state->watcher, PyImport_GetModuleDict());
    const std::uint64_t changes = namespace_changes.load(std::memory_order_acquire);
    // Not imported yet, or blocked: the import says which.
    PyRef module = PyRef::steal(PyImport_GetModule(module_name));
    if (!module || module.get() == Py_None) {
        if (PyErr_Occurred()) return runtime::raised();
        MORLA_TRY(module, runtime::checked(PyImport_Import(module_name)));
    }
    keeping = keeping && Py_IS_TYPE(module.get(), &PyModule_Type) &&
              watched(state->watcher, PyModule_GetDict(module.get()));
    MORLA_TRY(PyRef function, runtime::checked(PyObject_GetAttr(module.get(), function_name)));
    if (keeping) keep(thread_dict, state->key, changes, module.get(), function.get());
    PyObject* borrowed = function.get();
    return NumpyArrayReading{std::move(function), borrowed};
}

}  // namespace tensor::api
