#pragma once
// numpy.array as `import numpy` and an attribute read give it at this moment, found without
// touching what every thread shares.
//
// Importing and reading on every construction means a lookup in sys.modules and one in numpy's
// namespace, and each hands out a new reference to an object made on another thread: an atomic
// operation on its one shared count, and under contention the lock of sys.modules. Threads that
// made tensors together ran slower than one alone. So each thread keeps what it last read in its
// thread state's dictionary, with a count of the changes made to sys.modules and to numpy's
// namespace (dict watchers); the entry serves until one of them changes or numpy's module object
// is no longer a plain module.

#include <Python.h>

#include "runtime/pyref.hpp"

namespace tensor::api {

// The array() read: borrowed from `holder` (the thread's entry, an object of the calling thread's,
// so holding it counts locally; or the function itself), valid while holder is held.
struct NumpyArrayReading {
    runtime::PyRef holder;
    PyObject* function;
};

// Imports module_name (sys.modules' entry, or a full import when there is none or it is None)
// and reads its attribute function_name, as the interpreter would; where the thread's last
// reading is still good, returns it. Both names are interned strings that live for the process.
runtime::PyResult<NumpyArrayReading> read_numpy_array(PyObject* module_name,
                                                      PyObject* function_name);

}  // namespace tensor::api
