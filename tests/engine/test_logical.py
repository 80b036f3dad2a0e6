import operator

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from morla_core import Tensor
from test_elementwise import LAYOUT_CASES, col_strides, laid_out, make, row_strides, shape_pairs

LOGICAL = {"&": operator.and_, "|": operator.or_, "^": operator.xor}


@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_logical_ops_match_numpy(data):
    sa, sb = data.draw(shape_pairs)
    ta, a = make(data.draw, "bool", sa)
    tb, b = make(data.draw, "bool", sb)
    for sym, op in LOGICAL.items():
        r = op(ta, tb)
        want = op(a, b)
        assert r.dtype == "bool" and r.shape == list(want.shape), sym
        assert r.strides in (row_strides(list(want.shape)), col_strides(list(want.shape))), sym
        np.testing.assert_array_equal(r.to_numpy(), want)
    r = ~ta
    assert r.dtype == "bool" and r.shape == ta.shape and r.strides == ta.strides
    np.testing.assert_array_equal(r.to_numpy(), ~a)


def test_truth_tables_with_broadcasting():
    a = Tensor([[False], [True]], dtype="bool")
    b = Tensor([False, True, True], dtype="bool")
    assert (a & b).to_numpy().tolist() == [[False, False, False], [False, True, True]]
    assert (a | b).to_numpy().tolist() == [[False, True, True], [True, True, True]]
    assert (a ^ b).to_numpy().tolist() == [[False, True, True], [True, False, False]]
    assert (Tensor([True, False], dtype="bool") ^ Tensor([True], dtype="bool")).to_numpy().tolist() == [False, True]


def test_invert_keeps_transposed_layout():
    b = Tensor(np.array([[True, False, True], [False, False, True]]), dtype="bool").transpose(0, 1)
    r = ~b
    assert r.shape == [3, 2] and r.strides == [1, 3]
    assert r.to_numpy().tolist() == [[False, True], [True, True], [False, False]]
    assert (~r).to_numpy().tolist() == b.to_numpy().tolist()


@pytest.mark.parametrize("sym", list(LOGICAL))
@pytest.mark.parametrize(
    "left, right",
    [
        (("f32", (2,)), ("bool", (2,))),
        (("bool", (2,)), ("f16", (2,))),
        (("bf16", (2,)), ("bf16", (2,))),
        (("f32", (2, 3)), ("bool", (3, 2))),  # the element type is checked before the shapes
        (("bool", (2,)), ("f32", (3,))),
    ],
)
def test_non_bool_operands_are_refused(sym, left, right):
    a = Tensor(np.ones(left[1]), dtype=left[0])
    b = Tensor(np.ones(right[1]), dtype=right[0])
    with pytest.raises(RuntimeError) as info:
        LOGICAL[sym](a, b)
    assert type(info.value) is RuntimeError
    assert info.value.args == ("Logical operations are only supported for Bool data types.",)


@pytest.mark.parametrize("sym", list(LOGICAL))
@pytest.mark.parametrize(
    "sa, sb, msg",
    [
        ((2, 3), (3, 2), "Shape mismatch: cannot broadcast [2, 3] and [3, 2]"),
        ((0,), (2,), "Shape mismatch: cannot broadcast [0] and [2]"),
        ((0, 2**32, 1), (0, 1, 2**32), "Broadcast failed for A: [0, 4294967296, 1] -> [0, 4294967296, 4294967296]"),
    ],
)
def test_logical_broadcast_failures(sym, sa, sb, msg):
    a, b = Tensor(np.zeros(sa, bool), dtype="bool"), Tensor(np.zeros(sb, bool), dtype="bool")
    with pytest.raises(RuntimeError) as info:
        LOGICAL[sym](a, b)
    assert info.value.args == (msg,)
    assert a.shape == list(sa) and b.shape == list(sb)


@pytest.mark.parametrize("name", ["f32", "f16", "bf16"])
def test_invert_refuses_numeric_tensors(name):
    t = Tensor([1.0, 0.0], dtype=name)
    with pytest.raises(RuntimeError) as info:
        ~t
    assert type(info.value) is RuntimeError
    assert info.value.args == ("Logical NOT is only supported for Bool data type.",)
    assert t.to_numpy().tolist() == [1.0, 0.0]


@pytest.mark.parametrize("a_shape, a_order, b_shape, b_order, order", LAYOUT_CASES)
def test_result_memory_order(a_shape, a_order, b_shape, b_order, order):
    # logical operations place their results by the same rule as arithmetic
    ta, a = laid_out(a_shape, a_order, "bool")
    tb, b = laid_out(b_shape, b_order, "bool")
    for sym, op in LOGICAL.items():
        r, want = op(ta, tb), op(a, b)
        shape = list(want.shape)
        expected = {"row": row_strides(shape), "col": col_strides(shape), "zero": [0] * len(shape)}[order]
        assert r.strides == expected, sym
        np.testing.assert_array_equal(r.to_numpy(), want)
