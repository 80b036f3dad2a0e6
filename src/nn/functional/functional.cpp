#include "nn/functional/relu.hpp"
#include "nn/nn.hpp"
#include "runtime/module_tools.hpp"

namespace nn::functional {

void init_submodule(PyObject* parent) {
    runtime::PyRef module = runtime::new_submodule("functional");
    runtime::PyRef module_name = runtime::checked(PyUnicode_FromString("functional"));
    runtime::PyRef relu =
        runtime::checked(PyCFunction_NewEx(&relu_definition, module.get(), module_name.get()));
    runtime::add_public(module.get(), relu_definition.ml_name, relu.get());
    runtime::attach(parent, module.get());
}

}  // namespace nn::functional
