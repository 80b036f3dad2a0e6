"""morla: a CPU tensor with reverse-mode automatic differentiation, for free-threaded Python.

``morla.Tensor`` is the class that the native module ``morla_core`` provides; ``morla.nn``
holds the neural-network functions; ``morla.sum_to_shape`` sums a gradient, which keeps its
broadcast shape, back to its parameter's shape; ``morla.distributed`` sums gradients across the
processes of an MPI job. Every thread records on its own autograd tape.

Importing ``morla`` makes NumPy's bfloat16 dtype known (it imports ml_dtypes), so that
``Tensor(data, dtype="bf16")`` works; without ml_dtypes it warns once with what to install.
"""

from importlib import metadata as _metadata

from morla_core import Tensor

from . import distributed, nn
from ._bfloat16 import MissingBfloat16Warning, register_bfloat16
from .gradients import sum_to_shape

__all__ = ["MissingBfloat16Warning", "Tensor", "distributed", "nn", "sum_to_shape", "__version__"]

register_bfloat16()

try:
    __version__: str = _metadata.version("morla_core")
except _metadata.PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0+unknown"
