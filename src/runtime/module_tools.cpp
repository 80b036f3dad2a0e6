#include "runtime/module_tools.hpp"

#include <string>

namespace runtime {

PyResult<void> add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return raised();
    PyRef names = PyRef::steal(all);
    if (!names) {
        names = PyRef::steal(PyList_New(0));
        if (!names || PyObject_SetAttrString(module, "__all__", names.get()) < 0) return raised();
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(names.get(), text.get()) < 0) return raised();
    if (PyObject_SetAttr(module, text.get(), value) < 0) return raised();
    return {};
}

PyResult<void> attach(PyObject* parent, PyObject* submodule) {
    auto name = checked(PyObject_GetAttrString(submodule, "__name__"));
    if (!name) return raised();
    const char* full = PyUnicode_AsUTF8(name->get());
    if (full == nullptr) return raised();
    std::string text(full);
    std::string last = text.substr(text.rfind('.') + 1);  // npos + 1 == 0: the whole name
    return add_public(parent, last.c_str(), submodule);
}

PyResult<PyRef> new_submodule(const char* name) {
    auto module = checked(PyModule_New(name));
    if (!module) return module;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module->get(), Py_MOD_GIL_NOT_USED) < 0) return raised();
#endif
    return module;
}

}  // namespace runtime
