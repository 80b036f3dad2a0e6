#include "runtime/module_tools.hpp"

#include <string>

namespace runtime {

void add_public(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = nullptr;
    checked(PyObject_GetOptionalAttrString(module, "__all__", &all));
    PyRef names = PyRef::steal(all);
    if (!names) {
        names = checked(PyList_New(0));
        checked(PyObject_SetAttrString(module, "__all__", names.get()));
    }
    PyRef text = checked(PyUnicode_FromString(name));
    checked(PyList_Append(names.get(), text.get()));
    checked(PyObject_SetAttr(module, text.get(), value));
}

void attach(PyObject* parent, PyObject* submodule) {
    PyRef name = checked(PyObject_GetAttrString(submodule, "__name__"));
    const char* full = PyUnicode_AsUTF8(name.get());
    if (full == nullptr) throw PythonError();
    std::string text(full);
    std::string last = text.substr(text.rfind('.') + 1);  // npos + 1 == 0: the whole name
    add_public(parent, last.c_str(), submodule);
}

PyRef new_submodule(const char* name) {
    PyRef module = checked(PyModule_New(name));
#ifdef Py_GIL_DISABLED
    checked(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED));
#endif
    return module;
}

}  // namespace runtime
