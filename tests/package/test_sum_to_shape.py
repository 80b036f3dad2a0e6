import ml_dtypes
import numpy as np
import pytest

import morla
from morla import Tensor, sum_to_shape

RNG = np.random.default_rng(5)


@pytest.mark.parametrize(
    "grad_shape, shape",
    [((4, 3), (3,)), ((4, 3), (1, 3)), ((4, 3), (4, 1)), ((4, 3), ()), ((4, 3), (1, 1)),
     ((2, 4, 3), (4, 1)), ((2, 4, 3), (3,)), ((4, 3), (4, 3)), ((0, 3), (3,)), ((4, 0), (1, 0))],
)
def test_sums_broadcast_axes_back(grad_shape, shape):
    grad = RNG.standard_normal(grad_shape).astype(np.float32)
    got = sum_to_shape(grad, shape)
    # the adjoint of broadcasting: <g, broadcast(v)> == <sum_to_shape(g), v> for every v
    v = RNG.standard_normal(shape).astype(np.float64)
    assert got.shape == shape and got.dtype == np.float32
    np.testing.assert_allclose(float(np.sum(got * v)), float(np.sum(grad * np.broadcast_to(v, grad_shape))),
                               rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("grad_shape, shape", [((4, 3), (2,)), ((4, 3), (4,)), ((3,), (2, 3)),
                                               ((4, 3), (2, 1)), ((4, 3), (4, 3, 1))])
def test_refuses_shapes_that_cannot_have_been_broadcast(grad_shape, shape):
    with pytest.raises(ValueError, match=r"cannot be summed to shape"):
        sum_to_shape(np.zeros(grad_shape, np.float32), shape)


@pytest.mark.parametrize("dtype", [np.float16, ml_dtypes.bfloat16])
def test_16_bit_gradients_are_summed_in_float32_and_rounded_once(dtype):
    # 4097 ones per column: a 16-bit running sum would stop at 2048 (float16) or 256 (bfloat16)
    grad = np.ones((4097, 3), dtype)
    got = sum_to_shape(grad, (1, 3))
    assert got.dtype == dtype and got.shape == (1, 3)
    assert np.all(got.astype(np.float32) == np.float32(4097).astype(dtype).astype(np.float32))


@pytest.mark.parametrize("bias_shape", [(3,), (1, 3), ()])
def test_bias_update_keeps_the_parameter_shape(bias_shape):
    # the pitfall: summing only leading axes leaves a [1, n] bias's gradient at [batch, n]
    x = Tensor(np.ones((5, 3), np.float32))
    b = Tensor(np.zeros(bias_shape, np.float32), requires_grad=True)
    (x + b).backward()
    grad = sum_to_shape(b.grad(), bias_shape)
    assert grad.shape == bias_shape and np.all(grad == 15.0 / np.prod(bias_shape))
    morla.Tensor.clear_graph()


@pytest.mark.parametrize("gradient, shape, error", [
    (None, (), TypeError),               # a parameter that no pass reached
    ([1.0, 2.0], (2,), TypeError),       # not an array
    (np.ones(3, np.int8), (1,), TypeError),
    (np.ones(3, np.bool_), (1,), TypeError),
    (np.ones(3, np.float32), (4.9,), TypeError),
    (np.ones(3, np.float32), ("3",), TypeError),
])
def test_refuses_what_is_not_a_gradient(gradient, shape, error):
    with pytest.raises(error):
        sum_to_shape(gradient, shape)
