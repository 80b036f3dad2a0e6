#include "nn/functional/relu.hpp"
#include "nn/nn.hpp"
#include "runtime/module_tools.hpp"

namespace nn::functional {

runtime::PyResult<void> init_submodule(PyObject* parent) {
    auto module = runtime::new_submodule("functional");
    if (!module) return runtime::raised();
    auto module_name = runtime::checked(PyUnicode_FromString("functional"));
    if (!module_name) return runtime::raised();
    auto relu = runtime::checked(PyCFunction_NewEx(&relu_definition, module->get(), module_name->get()));
    if (!relu) return runtime::raised();
    if (!runtime::add_public(module->get(), relu_definition.ml_name, relu->get())) {
        return runtime::raised();
    }
    return runtime::attach(parent, module->get());
}

}  // namespace nn::functional
