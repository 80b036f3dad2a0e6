import inspect
import math

import numpy as np
import pytest

from morla_core import Tensor


@pytest.fixture(autouse=True)
def _clean_tape():
    yield
    Tensor.clear_graph()


def vals(t):
    return t.to_numpy().tolist()


class Floaty:
    def __float__(self):
        return 1.0


class BadFloat:
    def __float__(self):
        raise ValueError("no float here")


T = Tensor([1.0, 2.0, 4.0])
B = Tensor([True, False, True], dtype="bool")


@pytest.mark.parametrize(
    "fn, msg",
    [
        (lambda: 1.0 - T, "unsupported operand type(s) for -: 'float' and 'morla.Tensor'"),
        (lambda: T + "a", "unsupported operand type(s) for +: 'morla.Tensor' and 'str'"),
        (lambda: "a" + T, "can only concatenate str (not \"morla.Tensor\") to str"),
        (lambda: T / None, "unsupported operand type(s) for /: 'morla.Tensor' and 'NoneType'"),
        (lambda: T * {}, "unsupported operand type(s) for *: 'morla.Tensor' and 'dict'"),
        (lambda: T * [1.0], "can't multiply sequence by non-int of type 'morla.Tensor'"),
        (lambda: T - BadFloat(), "unsupported operand type(s) for -: 'morla.Tensor' and 'BadFloat'"),
        (lambda: BadFloat() / T, "unsupported operand type(s) for /: 'BadFloat' and 'morla.Tensor'"),
        (lambda: T + 10**400, "unsupported operand type(s) for +: 'morla.Tensor' and 'int'"),
        (lambda: T @ 2.0, "unsupported operand type(s) for @: 'morla.Tensor' and 'float'"),
        (lambda: 2.0 @ T, "unsupported operand type(s) for @: 'float' and 'morla.Tensor'"),
        (lambda: True & B, "unsupported operand type(s) for &: 'bool' and 'morla.Tensor'"),
        (lambda: B | True, "unsupported operand type(s) for |: 'morla.Tensor' and 'bool'"),
        (lambda: B ^ 1, "unsupported operand type(s) for ^: 'morla.Tensor' and 'int'"),
        (lambda: T ** 2, "unsupported operand type(s) for ** or pow(): 'morla.Tensor' and 'int'"),
        (lambda: T // 2, "unsupported operand type(s) for //: 'morla.Tensor' and 'int'"),
        (lambda: T % 2, "unsupported operand type(s) for %: 'morla.Tensor' and 'int'"),
        (lambda: T << 1, "unsupported operand type(s) for <<: 'morla.Tensor' and 'int'"),
        (lambda: -T, "bad operand type for unary -: 'morla.Tensor'"),
        (lambda: +T, "bad operand type for unary +: 'morla.Tensor'"),
        (lambda: abs(T), "bad operand type for abs(): 'morla.Tensor'"),
        (lambda: T < "a", "'<' not supported between instances of 'morla.Tensor' and 'str'"),
        (lambda: T >= None, "'>=' not supported between instances of 'morla.Tensor' and 'NoneType'"),
    ],
)
def test_interpreter_type_errors(fn, msg):
    with pytest.raises(TypeError) as info:
        fn()
    assert type(info.value) is TypeError and str(info.value) == msg
    assert vals(T) == [1.0, 2.0, 4.0]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError, GeneratorExit])
@pytest.mark.parametrize("fn", [lambda t, o: t + o, lambda t, o: o * t, lambda t, o: o / t,
                                lambda t, o: t - o, lambda t, o: t < o, lambda t, o: t == o])
def test_an_interrupt_while_converting_a_number_propagates(error, fn):
    class Raising:
        def __float__(self):
            raise error("from __float__")

    with pytest.raises(error, match="from __float__"):
        fn(T, Raising())


@pytest.mark.parametrize(
    "other", [1, 1.0, True, np.float32(1), np.float64(1), np.int64(1), np.bool_(True), Floaty()]
)
def test_numbers_convert_like_floats(other):
    want = [2.0, 3.0, 5.0]
    assert vals(T + other) == want and vals(other + T) == want
    assert vals(T - other) == [0.0, 1.0, 3.0]
    assert vals(T * other) == vals(T) and vals(T / other) == vals(T)
    if not isinstance(other, np.generic):  # NumPy scalars on the left take the operator themselves
        assert vals(other * T) == vals(T) and vals(other / T) == [1.0, 0.5, 0.25]
    assert vals(T == other) == [True, False, False] and vals(T > other) == [False, True, True]


def test_number_divided_by_tensor():
    assert vals(2.0 / T) == [2.0, 1.0, 0.5] and vals(T / 2.0) == [0.5, 1.0, 2.0]
    t = Tensor([[1.0, -2.0], [0.0, 4.0]]).transpose(0, 1)
    r = 1.0 / t
    assert r.shape == [2, 2] and vals(r) == [[1.0, math.inf], [-0.5, 0.25]]


def test_reflected_comparisons():
    t = Tensor([0.25, 0.5, 0.75])
    lt = vals(t < 0.5)
    assert lt == [True, False, False]
    assert vals(0.5 > t) == lt and vals(t.__rgt__(0.5)) == lt and vals(t.__rgt__(other=0.5)) == lt
    assert vals(t.__rlt__(0.5)) == vals(t > 0.5) == vals(0.5 < t) == [False, False, True]
    assert vals(t.__req__(0.5)) == vals(t == 0.5) == vals(0.5 == t) == [False, True, False]
    assert vals(0.5 >= t) == vals(t <= 0.5) == [True, True, False]
    assert vals(t.__req__(True)) == [False, False, False]


@pytest.mark.parametrize("name", ["__req__", "__rgt__", "__rlt__"])
@pytest.mark.parametrize("bad, exc", [("x", TypeError), (None, TypeError), (10**400, OverflowError)])
def test_reflected_methods_note_the_argument(name, bad, exc):
    with pytest.raises(exc) as info:
        getattr(T, name)(bad)
    assert type(info.value) is exc
    assert info.value.__notes__ == ["while processing 'other'"]


@pytest.mark.parametrize("name", ["__req__", "__rgt__", "__rlt__"])
def test_reflected_method_signatures(name):
    assert str(inspect.signature(getattr(Tensor, name))) == "(self, /, other)"
    with pytest.raises(TypeError, match=rf"^Tensor\.{name}\(\) missing 1 required positional argument: 'other'$"):
        getattr(T, name)()
    with pytest.raises(TypeError, match=rf"^Tensor\.{name}\(\) got an unexpected keyword argument 'x'$"):
        getattr(T, name)(x=1.0)


def test_equality_with_non_numbers_falls_back_to_identity():
    u = Tensor([1.0, 2.0, 4.0])
    assert (T == None) is False and (T != None) is True
    assert (T == "x") is False and (T != BadFloat()) is True
    assert (T != T) is False and (T != 5.0) is False and (T != u) is False
    assert (T != Tensor([9.0, 9.0, 9.0])) is False


@pytest.mark.parametrize(
    "other, exc, msg",
    [
        (Tensor([1.0, 2.0, 4.0], dtype="f16"), RuntimeError, "Tensor device or dtype mismatch for element-wise == operation."),
        (Tensor([1.0, 2.0]), RuntimeError, "Shape mismatch: cannot broadcast [3] and [2]"),
    ],
)
def test_not_equal_propagates_errors_of_equal(other, exc, msg):
    with pytest.raises(exc) as info:
        T != other
    assert str(info.value) == msg


def test_augmented_assignment_rebinds():
    t = Tensor([1.0, 2.0])
    alias = t
    t += 1.0
    t *= Tensor([2.0, 2.0])
    assert t is not alias
    assert vals(alias) == [1.0, 2.0] and vals(t) == [4.0, 6.0]


def _grad_inputs(ra, rb):
    return Tensor([[1.0, 2.0], [3.0, 4.0]], requires_grad=ra), Tensor([[0.5, 1.0], [2.0, 3.0]], requires_grad=rb)


@pytest.mark.parametrize("ra, rb", [(False, False), (True, False), (False, True), (True, True)])
def test_requires_grad_of_results(ra, rb):
    a, b = _grad_inputs(ra, rb)
    for r in (a + b, a - b, a * b, a / b, a @ b):
        assert r.requires_grad is (ra or rb)
    for r in (a + 1.0, 1.0 + a, a - 1.0, a * 2.0, 2.0 * a, a / 2.0, 2.0 / a):
        assert r.requires_grad is ra
    for r in (a < b, a == b, a >= 1.0, 0.5 > a, a.__req__(1.0), a.zeros_like(), a.ones_like()):
        assert r.requires_grad is False
    p = Tensor([True, False], dtype="bool", requires_grad=ra)
    q = Tensor([True, True], dtype="bool", requires_grad=rb)
    for r in (p & q, p | q, p ^ q, ~p, p == q, p > q, p.zeros_like()):
        assert r.requires_grad is False
