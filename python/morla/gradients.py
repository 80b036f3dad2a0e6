"""Gradients back in their parameters' shapes.

A gradient keeps the shape its operation broadcast to: a bias of shape [n] added to a [batch, n]
matrix receives a [batch, n] gradient. ``sum_to_shape`` sums such a gradient back over the axes
that broadcasting added (leading axes) or stretched (axes of length 1 in the target).
"""

from __future__ import annotations

import operator
from collections.abc import Sequence

import numpy as np

__all__ = ["sum_to_shape"]


def sum_to_shape(gradient: np.ndarray, shape: Sequence[int]) -> np.ndarray:
    """Sums ``gradient`` over the axes by which ``shape`` was broadcast to the gradient's shape.

    Leading axes beyond the target's rank are summed away, and so is every axis where the target
    has length 1 and the gradient a different length (the sum keeps that axis, with length 1).
    16-bit gradients are summed in float32 and rounded once. Raises ValueError when ``shape``
    cannot have been broadcast to the gradient's shape, and TypeError for a gradient that is not
    a floating-point NumPy array (None, say: a parameter no pass reached) or a shape that is not
    a sequence of integers.
    """
    if not isinstance(gradient, np.ndarray):
        raise TypeError(f"the gradient must be a NumPy array (as grad() returns), not {type(gradient).__name__}")
    if gradient.dtype.kind not in "fV":
        raise TypeError(f"the gradient must hold floating-point numbers, not {gradient.dtype}")
    grad = gradient
    target = tuple(operator.index(n) for n in shape)
    lead = grad.ndim - len(target)
    stretched = [i for i, (g, t) in enumerate(zip(grad.shape[max(lead, 0):], target)) if g != t]
    if lead < 0 or any(target[i] != 1 for i in stretched):
        raise ValueError(f"a gradient of shape {list(grad.shape)} cannot be summed to shape {list(target)}")
    axes = tuple(range(lead)) + tuple(lead + i for i in stretched)
    if not axes:
        return grad
    wide = np.float32 if grad.dtype.kind in "fV" and grad.dtype.itemsize < 4 else None
    summed = grad.sum(axis=axes, keepdims=True, dtype=wide)
    return summed.reshape(target).astype(grad.dtype, copy=False)
