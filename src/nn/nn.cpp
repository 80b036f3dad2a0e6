#include "nn/nn.hpp"

#include "runtime/module_tools.hpp"

namespace nn {

runtime::PyResult<void> init_submodule(PyObject* parent) {
    auto module = runtime::new_submodule("nn");
    if (!module) return runtime::raised();
    if (!functional::init_submodule(module->get())) return runtime::raised();
    return runtime::attach(parent, module->get());
}

}  // namespace nn
