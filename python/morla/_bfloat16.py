"""NumPy has no bfloat16 of its own: ml_dtypes registers one under the name "bfloat16", which is
what morla_core looks up for bfloat16 tensors."""

import warnings

INSTALL_HINT = 'pip install ml_dtypes (or "morla_core[bfloat16]")'


class MissingBfloat16Warning(UserWarning):
    """No package registers NumPy's "bfloat16" dtype, so bfloat16 tensors cannot be made."""


def register_bfloat16() -> bool:
    """Imports ml_dtypes, which registers the dtype; without it, warns with what to install
    (unless another package registered the dtype already). Returns whether the dtype is known."""
    try:
        import ml_dtypes  # noqa: F401 - imported for the dtype it registers
    except ImportError:
        import numpy

        try:
            numpy.dtype("bfloat16")
        except TypeError:
            warnings.warn(f"bfloat16 tensors (dtype='bf16') need ml_dtypes: {INSTALL_HINT}",
                          MissingBfloat16Warning, stacklevel=3)
            return False
    return True
