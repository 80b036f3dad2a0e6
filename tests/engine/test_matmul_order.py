"""The float32 matrix product, bit for bit, on the instruction-set path this process runs.

out[..., i, j] sums a[..., i, p] * b[..., p, j] over p in blocks of 256 (the last may be shorter):
each block from 0.0 in increasing p, then the block sums added onto the first one in block order
with float32 additions. Within a block the vector paths round each step a * b + acc once (a fused
multiply-add); the portable path rounds the product, then the sum. Operands here have
full random float32 significands, so the two rules give different bits and only the right one
passes.
"""

import functools
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from morla._kernel_path import active_path, compiled_paths
from morla_core import Tensor

BLOCK = 256


def bits(x):
    return np.asarray(x, np.float32).view(np.uint32)


def fused_step(acc, a, b):
    """float32(a * b + acc) with one rounding, element-wise over broadcast float32 arrays."""
    with np.errstate(all="ignore"):
        prod = a.astype(np.float64) * b.astype(np.float64)  # exact: 24 + 24 significant bits
        addend = acc.astype(np.float64)
        s = prod + addend
        # s + err == prod + addend exactly (two-sum).
        back = s - prod
        err = (prod - (s - back)) + (addend - back)
        # Rounding s to float32 rounds a second time. That can only go wrong when s is inexact and
        # falls exactly halfway between two float32 values, where ties-to-even may pick the side
        # away from the exact sum. Such an s is even in float64 (a halfway value has at most 25
        # significant bits); stepping every inexact even s one float64 step toward the exact sum
        # (rounding to odd) moves those ties to the correct side and cannot move any other s across
        # a halfway point.
        even = (s.view(np.uint64) & np.uint64(1)) == 0
        fix = np.isfinite(s) & (err != 0) & even
        s = np.where(fix, np.nextafter(s, np.where(err > 0, np.inf, -np.inf)), s)
        return s.astype(np.float32)


def double_rounded_step(acc, a, b):
    """The fused step without the halfway correction: the sum rounded to float64, then float32."""
    return (a.astype(np.float64) * b.astype(np.float64) + acc.astype(np.float64)).astype(np.float32)


def unfused_step(acc, a, b):
    """float32 product, then float32 sum."""
    with np.errstate(all="ignore"):
        return acc + a * b


def blocked_product(a, b, step):
    """a @ b (float32, batch axes broadcast) summed in the module's order, each step by step()."""
    a, b = np.asarray(a, np.float32), np.asarray(b, np.float32)
    k = a.shape[-1]
    assert b.shape[-2] == k
    shape = np.broadcast_shapes(a.shape[:-2], b.shape[:-2]) + (a.shape[-2], b.shape[-1])
    out = np.zeros(shape, np.float32)
    for start in range(0, k, BLOCK):
        acc = np.zeros(shape, np.float32)
        for p in range(start, min(start + BLOCK, k)):
            acc = step(acc, a[..., :, p, None], b[..., None, p, :])
        with np.errstate(all="ignore"):
            out = acc if start == 0 else out + acc
    return out


def rule_step(isa):
    return unfused_step if isa == "portable" else fused_step


def operand(rng, shape, centre=0, spread=6):
    """float32 values with random signs and full random significands, binary exponents within
    centre +- spread, plus some signed zeros, subnormals and values near the bottom of the normal
    range."""
    shape = tuple(shape)
    sign = rng.integers(0, 2, shape, dtype=np.uint32) << np.uint32(31)
    mantissa = rng.integers(0, 1 << 23, shape, dtype=np.uint32)
    exponent = rng.integers(127 + centre - spread, 127 + centre + spread + 1, shape, dtype=np.uint32)
    low = rng.integers(1, 12, shape, dtype=np.uint32)
    kind = rng.random(shape)
    exponent = np.where(kind < 0.04, 0, exponent)  # zeros and subnormals
    mantissa = np.where(kind < 0.02, 0, mantissa)  # zeros
    exponent = np.where((kind >= 0.04) & (kind < 0.06), low, exponent)
    return (sign | (exponent << np.uint32(23)) | mantissa).view(np.float32)


def tensor(x, transposed):
    """A Tensor of x; when transposed, stored with its last two axes swapped."""
    if not transposed:
        return Tensor(x)
    r = x.ndim
    t = Tensor(np.ascontiguousarray(x.swapaxes(-1, -2))).transpose(r - 2, r - 1)
    assert t.shape == list(x.shape)
    return t


def assert_same_bits(got, want):
    assert got.dtype == np.float32 and got.shape == want.shape
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan)
    differ = np.flatnonzero((bits(got) != bits(want)) & ~nan)
    assert differ.size == 0, (
        f"{differ.size} of {want.size} elements differ, first at flat index {differ[:5].tolist()}: "
        f"got {[hex(v) for v in bits(got).ravel()[differ[:5]]]}, "
        f"want {[hex(v) for v in bits(want).ravel()[differ[:5]]]}")


# (a shape, b shape, binary exponent centre of the operands). Tile sizes are 4-8 rows by 16-64
# columns, rows are blocked by 96; products up to 2**16 floats with K <= 256 and B's rows
# contiguous are computed without packing.
CASES = {
    "k1": ((5, 1), (1, 7), 0),
    "k2": ((5, 2), (2, 7), 0),
    "k3-subnormal": ((3, 3), (3, 67), -70),
    "k255": ((13, 255), (255, 70), 0),
    "k256": ((13, 256), (256, 70), 0),
    "k257": ((13, 257), (257, 70), 0),
    "k300-rows-blocked": ((100, 300), (300, 5), 0),
    "k513": ((7, 513), (513, 19), 3),
    "k700": ((4, 700), (700, 66), -3),
    "k300-near-subnormal": ((6, 300), (300, 9), -66),
    "batch-broadcast": ((3, 1, 6, 260), (4, 260, 5), 0),
    "batch-of-one": ((1, 5, 513), (3, 513, 4), 0),
    "batch-left": ((2, 9, 257), (257, 11), 0),
}


@functools.cache
def case_data(name, fused):
    a_shape, b_shape, centre = CASES[name]
    rng = np.random.default_rng(list(CASES).index(name))
    a = operand(rng, a_shape, centre)
    b = operand(rng, b_shape, centre)
    want = blocked_product(a, b, fused_step if fused else unfused_step)
    return a, b, want


@pytest.mark.parametrize("flips", [(False, False), (True, False), (False, True), (True, True)],
                         ids=["plain", "a-transposed", "b-transposed", "both-transposed"])
@pytest.mark.parametrize("name", list(CASES))
def test_bits_follow_the_documented_order(isa, name, flips):
    a, b, want = case_data(name, isa != "portable")
    got = (tensor(a, flips[0]) @ tensor(b, flips[1])).to_numpy()
    assert_same_bits(got, want)


# With K = 1 both rules round a * b + 0 once; sums that stay among subnormals lie on an evenly
# spaced grid, where rounding the product first loses nothing more.
@pytest.mark.parametrize("name", [n for n in CASES if n not in ("k1", "k3-subnormal")])
def test_reference_tells_the_rules_apart(name):
    # On these operands the two rules disagree, so the test above fails for the other path's rule.
    _, _, fused = case_data(name, True)
    _, _, unfused = case_data(name, False)
    differ = np.mean(bits(fused) != bits(unfused))
    assert differ > 0.1, differ


# Products of float32 values whose exact sum with 1 lies just beside the halfway point between
# two float32 neighbours, 2**-60 away: rounded to float64 first, the sum lands on that halfway point.
#   (1 + 2**-12) * (2**-24 - 2**-36 + 2**-48) = 2**-24 + 2**-60   ((2**12 + 1)(2**24 - 2**12 + 1))
#   (1 - 2**-18) * (2**-24 + 2**-42)        = 2**-24 - 2**-60   ((2**18 - 1)(2**18 + 1))
ABOVE = (1 + 2.0**-12, 2.0**-24 - 2.0**-36 + 2.0**-48)
BELOW = (1 - 2.0**-18, 2.0**-24 + 2.0**-42)


def exact_float32(x):
    """The float32 nearest the rational x, ties to even (finite, nonzero, in range)."""
    lo = np.float32(float(x))
    while Fraction(float(lo)) > x:
        lo = np.nextafter(lo, np.float32(-np.inf))
    while Fraction(float(np.nextafter(lo, np.float32(np.inf)))) <= x:
        lo = np.nextafter(lo, np.float32(np.inf))
    hi = np.nextafter(lo, np.float32(np.inf))
    below, above = x - Fraction(float(lo)), Fraction(float(hi)) - x
    if below != above:
        return lo if below < above else hi
    return lo if bits(lo) % 2 == 0 else hi


def one_step(step, acc, a, b):
    return step(np.float32([acc]), np.float32([a]), np.float32([b]))[0]


@pytest.mark.parametrize("acc, pair, want", [
    # 1 + 2**-24 + 2**-60: the tie would go to even 1.0; the exact sum is above the halfway point
    (1.0, ABOVE, 1 + 2.0**-23),
    # 1 + 2**-23 + 2**-24 - 2**-60: the tie would go to even 1 + 2**-22; the exact sum is below
    (1 + 2.0**-23, BELOW, 1 + 2.0**-23),
    (-1.0, (-ABOVE[0], ABOVE[1]), -(1 + 2.0**-23)),
    (-(1 + 2.0**-23), (BELOW[0], -BELOW[1]), -(1 + 2.0**-23)),
])
def test_fused_step_rounds_halfway_float64_sums_once(acc, pair, want):
    a, b = pair
    assert np.float32(a) == a and np.float32(b) == b and np.float32(acc) == acc
    exact = Fraction(acc) + Fraction(a) * Fraction(b)
    assert exact_float32(exact) == np.float32(want)
    assert bits(one_step(fused_step, acc, a, b)) == bits(np.float32(want))
    # the two cheaper roundings both miss it
    assert one_step(double_rounded_step, acc, a, b) != np.float32(want)
    assert one_step(unfused_step, acc, a, b) != np.float32(want)


finite_f32 = st.floats(width=32, allow_nan=False, allow_infinity=False, allow_subnormal=True,
                       min_value=-2.0**60, max_value=2.0**60)


@settings(max_examples=300, deadline=None)
@given(acc=finite_f32, a=finite_f32, b=finite_f32)
def test_fused_step_is_the_exactly_rounded_sum(acc, a, b):
    exact = Fraction(acc) + Fraction(a) * Fraction(b)
    got = one_step(fused_step, acc, a, b)
    if exact == 0:
        assert got == 0
    else:
        assert bits(got) == bits(exact_float32(exact))


@settings(max_examples=200, deadline=None)
@given(acc=st.floats(width=32, min_value=2.0**-90, max_value=2.0**100),
       below=st.booleans(), acc_sign=st.sampled_from([1.0, -1.0]), b_sign=st.sampled_from([1.0, -1.0]))
def test_fused_step_near_halfway_points(acc, below, acc_sign, b_sign):
    # a * b is half a float32 step of acc, plus or minus 2**-36 of itself: every such sum lands on
    # a halfway point in float64.
    acc = np.float32(acc_sign * acc)
    e = int(np.frexp(np.float64(acc))[1]) - 25  # half a step of acc is 2**e (acc not a power of 2)
    a, b = BELOW if below else ABOVE
    b = b_sign * b * 2.0 ** (e + 24)
    assert np.float32(b) == b
    a, b = np.float32(a), np.float32(b)
    exact = Fraction(float(acc)) + Fraction(float(a)) * Fraction(float(b))
    assert bits(one_step(fused_step, acc, a, b)) == bits(exact_float32(exact))


@pytest.mark.parametrize("offset", [0, 100, 254, 255, 256, 600])
@pytest.mark.parametrize("pair, first", [(ABOVE, 1.0), (BELOW, 1 + 2.0**-23)])
@pytest.mark.parametrize("sign", [1.0, -1.0])
def test_halfway_sums_in_a_product(isa, offset, pair, first, sign):
    # [first, a] . [1, b] at p = offset, offset + 1 of a 700-long zero row. In one block a fused
    # step rounds first + a * b once; the portable path rounds a * b to 2**-24 first and the tie
    # goes to even. Split across blocks (offset 255), a * b is rounded alone on every path.
    k = 700
    a = np.zeros((2, k), np.float32)
    b = np.zeros((k, 3), np.float32)
    a[0, offset:offset + 2] = [sign * first, sign * pair[0]]
    b[offset:offset + 2, 1] = [1.0, pair[1]]
    got = (Tensor(a) @ Tensor(b)).to_numpy()
    one_block = offset // BLOCK == (offset + 1) // BLOCK
    if isa != "portable" and one_block:
        want = 1 + 2.0**-23
    else:
        want = 1.0 if pair is ABOVE else 1 + 2.0**-22
    assert got[0, 1] == np.float32(sign * want)
    assert_same_bits(got, blocked_product(a, b, rule_step(isa)))


def test_specials_follow_the_documented_order(isa):
    # inf and NaN operands propagate through the same steps; NaNs are compared as NaN.
    rng = np.random.default_rng(7)
    a = operand(rng, (6, 300))
    b = operand(rng, (300, 20))
    a[0, 5], a[1, 260], a[2, 7] = np.inf, -np.inf, np.nan
    b[9, 3], b[270, 4] = np.inf, np.nan
    a[3] = np.abs(a[3])
    b[:, 6] = 2.0**125  # row 3 overflows within the first block
    want = blocked_product(a, b, rule_step(isa))
    assert np.isnan(want).any() and np.isinf(want).any()
    for flips in [(False, False), (True, True)]:
        got = (tensor(a, flips[0]) @ tensor(b, flips[1])).to_numpy()
        assert_same_bits(got, want)


def test_active_path_is_a_compiled_one():
    assert compiled_paths()[0] == "portable" and active_path() in compiled_paths()
