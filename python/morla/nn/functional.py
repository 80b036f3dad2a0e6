"""Functions on tensors, differentiable like the operators."""

import morla_core as _core

__all__ = ["relu"]

#: relu(py_tensor): each element where it is greater than zero, +0 elsewhere; recorded on the
#: calling thread's tape when the input requires gradients.
relu = _core.nn.functional.relu
