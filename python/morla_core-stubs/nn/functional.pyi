from .. import Tensor

__all__ = ["relu"]

def relu(py_tensor: Tensor) -> Tensor: ...
