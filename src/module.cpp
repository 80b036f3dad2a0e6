// The module's only export and its execution step.
#include <Python.h>

#include "nn/nn.hpp"
#include "runtime/boundary.hpp"
#include "runtime/module_tools.hpp"
#include "tensor/api/py_tensor.hpp"

namespace {

// Populates the module: the class Tensor, then the sub-module nn.
runtime::PyResult<void> morla_core(PyObject* module) {
    MORLA_TRY(auto type, tensor::api::tensor_type());
    MORLA_TRY(runtime::add_public(module, "Tensor", reinterpret_cast<PyObject*>(type)));
    return nn::init_submodule(module);
}

int execute(PyObject* module) {
    return runtime::guarded_status([&]() -> runtime::PyResult<void> {
        if (!PyModule_Check(module)) {
            return runtime::fail(PyExc_TypeError, "morla_core can only initialise a module object");
        }
        return morla_core(module);
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    // The class object and NumPy's table are kept once per process, so the module cannot serve
    // a second interpreter; importing it there raises ImportError.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "morla_core",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_morla_core() { return PyModuleDef_Init(&definition); }
