#include "runtime/module_tools.hpp"

#include <string>

namespace runtime {

PyResult<void> add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = nullptr;
    MORLA_TRY(status(PyObject_GetOptionalAttrString(module, "__all__", &all)));
    PyRef names = PyRef::steal(all);
    if (!names) {
        MORLA_TRY(names, checked(PyList_New(0)));
        MORLA_TRY(status(PyObject_SetAttrString(module, "__all__", names.get())));
    }
    MORLA_TRY(PyRef text, checked(PyUnicode_FromString(name)));
    MORLA_TRY(status(PyList_Append(names.get(), text.get())));
    MORLA_TRY(status(PyObject_SetAttr(module, text.get(), value)));
    return {};
}

PyResult<void> attach(PyObject* parent, PyObject* submodule) {
    MORLA_TRY(PyRef name, checked(PyObject_GetAttrString(submodule, "__name__")));
    MORLA_TRY(const char* full, non_null(PyUnicode_AsUTF8(name.get())));
    std::string text(full);
    std::string last = text.substr(text.rfind('.') + 1);  // npos + 1 == 0: the whole name
    return add_public(parent, last.c_str(), submodule);
}

PyResult<PyRef> new_submodule(const char* name) {
    MORLA_TRY(PyRef module, checked(PyModule_New(name)));
#ifdef Py_GIL_DISABLED
    MORLA_TRY(status(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED)));
#endif
    return module;
}

}  // namespace runtime
