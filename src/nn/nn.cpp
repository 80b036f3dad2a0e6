#include "nn/nn.hpp"

#include "runtime/module_tools.hpp"

namespace nn {

void init_submodule(PyObject* parent) {
    runtime::PyRef module = runtime::new_submodule("nn");
    functional::init_submodule(module.get());
    runtime::attach(parent, module.get());
}

}  // namespace nn
