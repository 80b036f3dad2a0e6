#include "nn/functional/relu.hpp"
#include "nn/nn.hpp"
#include "runtime/module_tools.hpp"

namespace nn::functional {

runtime::PyResult<void> init_submodule(PyObject* parent) {
    MORLA_TRY(runtime::PyRef module, runtime::new_submodule("functional"));
    MORLA_TRY(runtime::PyRef module_name, runtime::checked(PyUnicode_FromString("functional")));
    MORLA_TRY(runtime::PyRef relu, runtime::checked(PyCFunction_NewEx(
                                       &relu_definition, module.get(), module_name.get())));
    // Threads that call relu would otherwise all count their references to it on its one shared
    // count; with deferred counting the interpreter leaves that count alone (the function is then
    // freed by the collector, once its module is).
#if PY_VERSION_HEX >= 0x030E0000
    PyUnstable_Object_EnableDeferredRefcount(relu.get());
#endif
    MORLA_TRY(runtime::add_public(module.get(), relu_definition.ml_name, relu.get()));
    return runtime::attach(parent, module.get());
}

}  // namespace nn::functional
