#include "nn/nn.hpp"

#include "runtime/module_tools.hpp"

namespace nn {

runtime::PyResult<void> init_submodule(PyObject* parent) {
    MORLA_TRY(runtime::PyRef module, runtime::new_submodule("nn"));
    MORLA_TRY(functional::init_submodule(module.get()));
    return runtime::attach(parent, module.get());
}

}  // namespace nn
