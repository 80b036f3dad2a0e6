"""Bit battery: one line per case, `<case> <sha256 of dtype, shape and result bytes>`.

Run on two machines (or a native and an emulated one) and diff the outputs: every line must
match. Inputs are built from integer bit patterns only, never from NumPy float arithmetic, so
they are the same on every CPU. Partner values are grouped so that a difference points at its
cause: `fin` (nonzero finite partners, where every result is a rounding question), `zinf`
(signed zeros and infinities) and `nan` (NaN partners with payloads, signalling ones included).

A NaN that one operand carries through keeps its bits on every CPU. A NaN that an operation makes
(0 * inf, inf - inf, 0 / 0) is the processor's default NaN, and where two NaNs meet the processor
picks one by its own rule (x86 the first operand, ARM a signalling one first): those cases mark
every NaN alike before the digest, so their lines still show which elements are NaN.

Usage: python tests/platforms/bits_battery.py > out.txt (the digest is each line's last field)
"""

import hashlib

import ml_dtypes
import numpy as np

from morla_core import Tensor, nn

relu = nn.functional.relu

NP = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}
UINT = {"f32": np.uint32, "f16": np.uint16, "bf16": np.uint16}
UINT_OF = {4: np.uint32, 2: np.uint16}
# (sign bit, exponent bias, mantissa bits) of each type
LAYOUT = {"f32": (31, 127, 23), "f16": (15, 15, 10), "bf16": (15, 127, 7)}

PARTNERS = {
    "f16": {
        # 1, -1, 1+ulp, 0.5, 1.5 and 0.75 (products with a tie bit), 3, ~1/3, 2^-11 (sum with 1 is a
        # tie), smallest and largest subnormal, smallest normal, +-largest normal
        "fin": [0x3C00, 0xBC00, 0x3C01, 0x3800, 0x3E00, 0x3A00, 0x4200, 0x3555, 0x1000, 0x9000,
                0x0001, 0x8001, 0x03FF, 0x0400, 0x7BFF, 0xFBFF],
        "zinf": [0x0000, 0x8000, 0x7C00, 0xFC00],
        "nan": [0x7E00, 0xFE2A, 0x7FFF, 0x7C01, 0x7D55, 0xFDFF],
    },
    "bf16": {
        # 1, -1, 1+ulp, 0.5, 1.5, 3, ~1/3, 2^-8 (sum with 1 is a tie), subnormals, normals
        "fin": [0x3F80, 0xBF80, 0x3F81, 0x3F00, 0x3FC0, 0x4040, 0x3EAB, 0x3B80, 0xBB80,
                0x0001, 0x8001, 0x007F, 0x0080, 0x7F7F, 0xFF7F],
        "zinf": [0x0000, 0x8000, 0x7F80, 0xFF80],
        "nan": [0x7FC0, 0xFFD5, 0x7FFF, 0x7F81, 0x7FA5, 0xFFBF],
    },
}
_F32_FINITE = [0x00000001, 0x00000002, 0x00400000, 0x007FFFFF, 0x00800000, 0x00800001,
               0x00FFFFFF, 0x0C000000, 0x1F800000, 0x33800000, 0x33800001, 0x34000000,
               0x3EAAAAAB, 0x3F000000, 0x3F7FFFFF, 0x3F800000, 0x3F800001, 0x3FC00000,
               0x40400000, 0x4B800000, 0x4B800001, 0x5F800000, 0x7F000000, 0x7F7FFFFE,
               0x7F7FFFFF]
PARTNERS["f32"] = {
    "fin": _F32_FINITE + [p | 0x80000000 for p in _F32_FINITE],
    "zinf": [0x00000000, 0x80000000, 0x7F800000, 0xFF800000],
    "nan": [0x7FC00000, 0xFFC00000, 0x7FC12345, 0xFFFFFFFF, 0x7F800001, 0x7FA00000,
            0xFF812345, 0x7FBFFFFF],
}
SCALARS = [2.5, 0.1, 3.0, -0.0, float("inf"), float("nan")]


def emit(name, result, nans_of_the_processor=False):
    if result is None:  # a gradient that never arrived
        print(name, None, flush=True)
        return
    a = result.to_numpy() if isinstance(result, Tensor) else result
    if nans_of_the_processor and a.dtype != np.bool_:
        a = a.copy()
        nan = np.isnan(a.astype(np.float32))
        a.view(UINT_OF[a.itemsize])[nan] = {2: 0x7FC0, 4: 0x7FC00000}[a.itemsize]
    digest = hashlib.sha256(f"{a.dtype.name} {list(a.shape)}\n".encode())
    digest.update(np.ascontiguousarray(a).tobytes())
    print(name, digest.hexdigest(), flush=True)


def from_bits(dtype, bits, requires_grad=False):
    array = np.asarray(bits, dtype=np.uint64).astype(UINT[dtype]).view(NP[dtype])
    return Tensor(array, dtype=dtype, requires_grad=requires_grad)


def mix(n, seed):
    """n pseudo-random 64-bit words (splitmix64 in wrapping integer arithmetic)."""
    z = (np.arange(n, dtype=np.uint64) + np.uint64(seed)) * np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return z ^ (z >> np.uint64(31))


def values(dtype, shape, seed, lo=-3, hi=3, requires_grad=False):
    """Random signs, exponents in [lo, hi] and full mantissas, as a tensor of `shape`."""
    sign, bias, mant = LAYOUT[dtype]
    h = mix(int(np.prod(shape)), seed)
    exp = np.uint64(bias + lo) + (h >> np.uint64(40)) % np.uint64(hi - lo + 1)
    bits = (h >> np.uint64(63)) << np.uint64(sign) | exp << np.uint64(mant)
    bits |= h & np.uint64((1 << mant) - 1)
    return from_bits(dtype, bits.reshape(shape), requires_grad)


def elementwise(dtype, x, label):
    """x (a column) against every partner group, both operand orders; comparisons; scalars."""
    everyone = []
    for group, partners in PARTNERS[dtype].items():
        everyone += partners
        p = from_bits(dtype, [partners])
        for op, f in (("+", lambda a, b: a + b), ("-", lambda a, b: a - b),
                      ("*", lambda a, b: a * b), ("/", lambda a, b: a / b)):
            emit(f"{dtype} {label} {op} {group}", f(x, p), group != "fin")
            emit(f"{dtype} {group} {op} {label}", f(p, x), group != "fin")
    p = from_bits(dtype, [everyone])
    for op, r in (("<", x < p), ("<=", x <= p), ("==", x == p), (">", x > p), (">=", x >= p)):
        emit(f"{dtype} {label} {op} partners", r)
    for s in SCALARS:
        makes_nans = not 0 < abs(s) < float("inf")
        for op, r in (("+", x + s), ("-", x - s), ("*", x * s), ("/", x / s), ("<", x < s),
                      ("<=", x <= s), ("==", x == s), (">", x > s), (">=", x >= s)):
            emit(f"{dtype} {label} {op} {s!r}", r, makes_nans)
        emit(f"{dtype} {s!r} / {label}", s / x, makes_nans)
    emit(f"{dtype} relu {label}", relu(x))


def sixteen_bit(dtype):
    every = from_bits(dtype, np.arange(1 << 16).reshape(-1, 1))
    emit(f"{dtype} every pattern, transposed", every.transpose(0, 1))
    elementwise(dtype, every, "every")


def float32():
    grid = [b for group in PARTNERS["f32"].values() for b in group]
    elementwise("f32", from_bits("f32", np.array(grid).reshape(-1, 1)), "grid")
    # finite random pairs whose exponents lie close enough for sums and quotients to round,
    # subnormals included
    h, g = mix(1 << 15, 11), mix(1 << 15, 12)
    exp_a = (h >> np.uint64(40)) % np.uint64(255)
    shift = (g >> np.uint64(40)).astype(np.int64) % 49 - 24
    exp_b = np.clip(exp_a.astype(np.int64) + shift, 0, 254)
    mant = np.uint64(0x807FFFFF)  # sign and mantissa
    a = from_bits("f32", exp_a << np.uint64(23) | h & mant)
    b = from_bits("f32", exp_b.astype(np.uint64) << np.uint64(23) | g & mant)
    for op, r in (("+", a + b), ("-", a - b), ("*", a * b), ("/", a / b)):
        emit(f"f32 random {op} random", r)


def products():
    # (dtype, shape of A, shape of B, transpose A?, transpose B?): shapes before the transpose
    cases = [
        ("f32", (7, 300), (300, 5), False, False),
        ("f32", (3, 520), (520, 9), False, False),
        ("f32", (1, 520), (520, 33), False, False),
        ("f32", (17, 300), (300, 1), False, False),
        ("f32", (65, 257), (257, 12), False, False),
        ("f32", (2, 257), (257, 1027), False, False),
        ("f32", (4, 6, 300), (300, 10), False, False),
        ("f32", (2, 1, 5, 257), (3, 257, 4), False, False),
        ("f32", (300, 7), (5, 300), True, True),
        ("f32", (3, 520, 4), (3, 6, 520), True, True),
        ("f16", (5, 520), (520, 7), False, False),
        ("f16", (5, 300), (6, 300), False, True),
        ("bf16", (5, 300), (300, 6), False, False),
        ("bf16", (2, 3, 520), (2, 520, 4), False, False),
    ]
    for seed, (dtype, sa, sb, ta, tb) in enumerate(cases):
        a, b = values(dtype, sa, 2 * seed + 100), values(dtype, sb, 2 * seed + 101)
        a = a.transpose(len(sa) - 2, len(sa) - 1) if ta else a
        b = b.transpose(len(sb) - 2, len(sb) - 1) if tb else b
        name = f"{dtype} matmul {list(sa)}{'^T' * ta} @ {list(sb)}{'^T' * tb}"
        emit(name, a @ b)
    # specials met inside a sum: inf + finite, inf - inf, 0 * inf, a NaN with a payload
    a_bits = np.uint32(0x3F800000) + np.arange(3 * 300, dtype=np.uint32).reshape(3, 300)
    b_bits = np.full((300, 4), 0x3F800000, dtype=np.uint32)
    a_bits[0, 10], a_bits[1, 10], a_bits[1, 270] = 0x7F800000, 0x7F800000, 0xFF800000
    a_bits[2, 5], b_bits[5, 2], b_bits[20, 3] = 0, 0x7F800000, 0x7FC12345
    a, b = from_bits("f32", a_bits), from_bits("f32", b_bits)
    emit("f32 matmul [3, 300] @ [300, 4] specials", a @ b, True)


def gradient(dtype, n, k, hidden, out, lo, hi):
    """relu(x @ w1 + b) @ w2 * c, backward from every output element (their sum)."""
    Tensor.clear_graph()
    shapes = {"x": (n, k), "w1": (k, hidden), "b": (hidden,), "w2": (hidden, out), "c": (out,)}
    leaves = {name: values(dtype, shape, 200 + i, lo, hi, requires_grad=True)
              for i, (name, shape) in enumerate(shapes.items())}
    y = relu(leaves["x"] @ leaves["w1"] + leaves["b"]) @ leaves["w2"] * leaves["c"]
    y.backward()
    emit(f"{dtype} model output", y)
    for name, t in leaves.items():
        emit(f"{dtype} model grad {name}", t.grad())
    Tensor.clear_graph()


def main():
    sixteen_bit("f16")
    sixteen_bit("bf16")
    float32()
    products()
    gradient("f32", 270, 12, 300, 5, -3, 3)
    gradient("f16", 40, 8, 270, 3, -4, -1)
    gradient("bf16", 260, 6, 40, 3, -3, 1)


if __name__ == "__main__":
    main()
