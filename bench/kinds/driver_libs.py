"""morla_core, ml_dtypes and morla's busy-machine rule, for the kinds' driver side. The PyTorch
peer's Python has none of them and runs only the kinds' torch_body, so there these names are None.
"""

from __future__ import annotations

import numpy as np

try:
    import ml_dtypes  # also registers bfloat16 with NumPy, which to_numpy() needs
    import morla_core
    from morla import scaling
except ModuleNotFoundError:
    ml_dtypes = morla_core = scaling = Tensor = relu = NUMPY_DTYPES = None
else:
    Tensor = morla_core.Tensor
    relu = morla_core.nn.functional.relu  # nn is an attribute, not an importable sub-package
    NUMPY_DTYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}
