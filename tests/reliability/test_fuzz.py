"""Random programs over a pool of small tensors, with wrong arguments mixed in.

Each step must succeed (and then meet the shape, dtype, value and requires_grad rules checked
here) or raise a documented exception class. The pool keeps its tracked tensors across
clear_graph() and hands them to short-lived worker threads and back, so ids that name nothing, or
another node, on the calling thread's tape reach operations, backward() and grad(). 150 programs
by default; for a long run:

    MORLA_FUZZ_EXAMPLES=20000 python -m pytest -q tests/reliability/test_fuzz.py
"""

import math
import operator as o
import os
import queue
import threading
import time

import ml_dtypes
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from conftest import INTERNAL

from morla_core import Tensor, nn

relu = nn.functional.relu
EXAMPLES = int(os.environ.get("MORLA_FUZZ_EXAMPLES", "150"))
NP = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16, "bool": np.bool_}
SPELL = {"float32": "f32", "float16": "f16", "bfloat16": "bf16", **{k: k for k in NP}}
DOCUMENTED = {ValueError, TypeError, RuntimeError, OverflowError, MemoryError}
OK, NUMPY = "ok", "numpy"  # must succeed / may also raise NumPy's own classes
ARITH = {"+": o.add, "-": o.sub, "*": o.mul, "/": o.truediv}
COMPARE = {"<": o.lt, "<=": o.le, "==": o.eq, ">": o.gt, ">=": o.ge, "!=": o.ne}
MIRROR = {"<": ">", ">": "<", "<=": ">=", ">=": "<=", "==": "==", "!=": "!="}
LOGICAL = {"&": o.and_, "|": o.or_, "^": o.xor}
PY_NUMBERS = st.one_of(st.floats(), st.floats(width=32), st.integers(-(2**80), 2**80),
                       st.sampled_from([True, False, 1e40, -1e40, 1e-46, -0.0, math.nan, math.inf]))
NUMBERS = st.one_of(PY_NUMBERS, st.sampled_from([np.float32(2.5), np.float16(0.1), np.float64(-7.0), np.int8(3)]))
WRONG = st.sampled_from(["a", None, [1.0], (2, 3), {}, 10**400, object(), b"x", 1j])
BAD_SHAPES = st.sampled_from([[-1], [2**64], [10**30, 2], [2**62, 4], [2**63], "23", None, 5, [2.0], [[2]], [1, "a"]])
AXES = st.sampled_from([True, -1, 2**64, 10**30, "0", None, 1.0, 6])
WORKER_SECONDS = 60  # a worker thread still running after this has hung


class Abandoned(BaseException):
    """Ends a worker whose test has stopped drawing for it."""


def wide(t):
    a = t.to_numpy()
    return a if a.dtype == np.bool_ else a.astype(np.float32)


def narrow(values, dt):
    return np.asarray(values, np.float32).astype(NP[dt])


def broadcast(a, b):
    try:
        return np.broadcast_shapes(tuple(a), tuple(b))
    except ValueError:
        return None


def row_major(shape, strides):
    step, ok = 1, True
    for n, s in reversed(list(zip(shape, strides))):
        ok, step = ok and (n == 1 or s == step), step * n
    return ok or 0 in shape


def axis_failure(value):
    if isinstance(value, int):
        return OverflowError if value < 0 or value >= 2**64 else None
    return TypeError


class Program:
    """The pool holds (tensor, tape) pairs: tape names the tape, and its span between clears, on
    which the tensor was made. A tracked tensor from any other is stale: its id names nothing, or
    an unrelated node, on the running tape. A step that records a stale tensor, or runs backward()
    from one, is weak: it may raise any documented class, and it taints the running tape, whose
    gradients are then only checked for being well formed."""

    def __init__(self, data):
        self.data, self.pool, self.tapes, self.tape, self.tainted, self.weak = data, [], 0, 0, set(), False
        self.worker = self.requests = self.replies = None
        for _ in range(self.draw(st.integers(2, 5))):
            self.keep(self.new_tensor())

    def draw(self, strategy):
        if threading.current_thread() is not self.worker:
            return self.data.draw(strategy)
        self.requests.put(strategy)  # Hypothesis draws only on the test's own thread
        drawn, value = self.replies.get()
        if not drawn:
            raise Abandoned
        return value

    def stale(self, t, tape):
        return t.requires_grad and tape != self.tape

    def new_tape(self):
        self.tapes += 1
        self.tape = self.tapes

    def step(self, steps):
        self.weak = False
        self.draw(st.sampled_from(steps))(self)
        if self.weak:
            self.tainted.add(self.tape)
        assert Tensor([0.0], requires_grad=True).grad() is None  # a new node's slot starts empty

    def keep(self, t):
        self.pool.append((t, self.tape))
        if len(self.pool) > 12:
            self.pool.pop(self.draw(st.integers(0, 11)))
        return t

    def values(self, shape):
        rng = np.random.default_rng(self.draw(st.integers(0, 2**32 - 1)))
        v = np.asarray(rng.standard_normal(shape) * rng.choice([0.5, 100.0]))
        special = rng.random(shape) < 0.1
        v[special] = rng.choice([0.0, -0.0, np.inf, -np.inf, np.nan], size=int(special.sum()))
        return v

    def new_shape(self):
        if self.pool and self.draw(st.booleans()):  # derived from a pool member, so it often broadcasts
            return [self.draw(st.sampled_from([n, 1])) for n in self.pick(False).shape[self.draw(st.integers(0, 2)):]]
        return self.draw(st.lists(st.integers(0, 5), max_size=6))

    def new_tensor(self, shape=None, dt=None):
        dt = dt or self.draw(st.sampled_from(list(NP)))
        grad = self.draw(st.booleans()) and (dt != "bool" or self.draw(st.booleans()))
        t = Tensor(self.values(self.new_shape() if shape is None else shape), dtype=dt, requires_grad=grad)
        if t.ndim >= 2 and self.draw(st.booleans()):
            t = t.transpose(*sorted(self.draw(st.lists(st.integers(0, t.ndim - 1), min_size=2, max_size=2))))
        return t

    def pick(self, recording=True, where=None):
        """A pool member, mostly one meeting where; stale ones enter new graphs now and then."""
        usable = self.pool
        if recording and any(self.stale(*e) for e in usable) and self.draw(st.booleans()):
            usable = [e for e in usable if not self.stale(*e)]
        if where and self.draw(st.integers(0, 3)) and any(where(t) for t, _ in usable):
            usable = [e for e in usable if where(e[0])]
        if not usable:
            return self.keep(self.new_tensor())
        t, tape = self.draw(st.sampled_from(usable))
        self.weak |= recording and self.stale(t, tape)
        return t

    def run(self, fn, expect, message=None):
        """Runs one step; expect is OK, NUMPY, an exception class or a tuple of allowed ones."""
        try:
            result = fn()
        except BaseException as error:  # noqa: BLE001 - classified below
            kind, text = type(error), f"{type(error).__name__}: {error}"
            if kind is INTERNAL:
                # a stale id can bring a gradient of fewer axes to a transpose's node: the
                # transpose's broken invariant, as in the forward step
                stale_transpose = self.weak and str(error).startswith("index out of bounds: the len is")
                assert stale_transpose or (expect is INTERNAL and error.args == (message,)), \
                    f"internal failure {text}"
            elif expect == NUMPY:
                assert isinstance(error, (ValueError, TypeError, OverflowError)), text
            else:
                assert kind in DOCUMENTED, f"undocumented exception {text}"
                assert self.weak or kind is expect or (isinstance(expect, tuple) and kind in expect), \
                    f"expected {expect}: {text}"
            assert kind is not MemoryError or str(error).startswith("Out of memory: "), text
            return None
        assert expect in (OK, NUMPY) or isinstance(expect, tuple), f"expected {expect}, got a result"
        return result

    def check(self, r, dt, requires_grad, expected=None):
        assert (r.dtype, r.requires_grad) == (dt, requires_grad) and len(r.strides) == r.ndim == len(r.shape)
        if expected is not None:
            expected = np.asarray(expected)
            assert tuple(r.shape) == expected.shape
            np.testing.assert_array_equal(wide(r), expected if dt == "bool" else expected.astype(np.float32))
        return self.keep(r)

    def step_binary(self):
        a = self.pick()
        b, op = self.pick(where=lambda t: t.dtype == a.dtype), self.draw(st.sampled_from(sorted(ARITH)))
        expect = (ValueError if a.dtype != b.dtype else TypeError if a.dtype == "bool"
                  else RuntimeError if broadcast(a.shape, b.shape) is None else OK)
        if (r := self.run(lambda: ARITH[op](a, b), expect)) is not None:
            self.check(r, a.dtype, a.requires_grad or b.requires_grad, narrow(ARITH[op](wide(a), wide(b)), a.dtype))

    def step_scalar(self):
        a, op = self.pick(), self.draw(st.sampled_from(["+", "-", "*", "/", "r+", "r*", "r/", "r-"]))
        x = self.draw(st.one_of(PY_NUMBERS if op[0] == "r" else NUMBERS, WRONG))
        fn = (lambda: ARITH[op[1]](x, a)) if op[0] == "r" else (lambda: ARITH[op](a, x))
        try:
            s = np.float32(float(x))
        except (TypeError, OverflowError, ValueError):
            return self.run(fn, TypeError)
        if (r := self.run(fn, TypeError if op == "r-" else ValueError if a.dtype == "bool" else OK)) is not None:
            sn, v = narrow(s, a.dtype).astype(np.float32), wide(a)
            reciprocal = narrow(np.float32(1) / s, a.dtype).astype(np.float32)
            value = {"+": v + sn, "r+": v + sn, "-": v - sn, "*": v * sn, "r*": v * sn, "/": v * reciprocal,
                     "r/": sn / v}[op]
            self.check(r, a.dtype, a.requires_grad, narrow(value, a.dtype))

    def step_compare(self):
        a, op = self.pick(False), self.draw(st.sampled_from(sorted(COMPARE)))
        kind = self.draw(st.sampled_from(["tensor", "number", "reflected", "wrong"]))
        if kind == "wrong":
            x = self.draw(WRONG)
            r = self.run(lambda: COMPARE[op](a, x), OK if op in ("==", "!=") else TypeError)
            assert r is None or r is (op == "!=")
            return
        if kind == "tensor":
            x = self.pick(False, lambda t: t.dtype == a.dtype)
            bad = a.dtype != x.dtype or broadcast(a.shape, x.shape) is None
            other = None if bad else wide(x)
        else:
            x = self.draw(PY_NUMBERS if kind == "reflected" else NUMBERS)
            bad = a.dtype == "bool"
            other = None if bad else narrow(np.float32(float(x)), a.dtype).astype(np.float32)
        fn = (lambda: COMPARE[op](x, a)) if kind == "reflected" else (lambda: COMPARE[op](a, x))
        if (r := self.run(fn, RuntimeError if bad else OK)) is not None and op == "!=":
            assert r is False
        elif r is not None:  # the interpreter runs x < t as t > x
            self.check(r, "bool", False, COMPARE[MIRROR[op] if kind == "reflected" else op](wide(a), other))

    def step_logical(self):
        a, op = self.pick(False, lambda t: t.dtype == "bool"), self.draw(st.sampled_from(["&", "|", "^", "~", "?"]))
        if op == "~":
            if (r := self.run(lambda: ~a, OK if a.dtype == "bool" else RuntimeError)) is not None:
                self.check(r, "bool", False, ~a.to_numpy())
            return
        if op == "?":
            x = self.draw(st.one_of(WRONG, NUMBERS))
            return self.run(lambda: a & x, TypeError)
        b = self.pick(False, lambda t: t.dtype == "bool")
        good = a.dtype == b.dtype == "bool" and broadcast(a.shape, b.shape) is not None
        if (r := self.run(lambda: LOGICAL[op](a, b), OK if good else RuntimeError)) is not None:
            self.check(r, "bool", False, LOGICAL[op](a.to_numpy(), b.to_numpy()))

    def step_matmul(self):
        a = self.pick(where=lambda t: t.ndim >= 2 and t.dtype != "bool")
        if a.ndim >= 2 and self.draw(st.booleans()):  # a partner whose inner length fits
            batch = [self.draw(st.sampled_from([n, 1])) for n in a.shape[self.draw(st.integers(0, 2)):-2]]
            b = self.keep(self.new_tensor(batch + [a.shape[-1], self.draw(st.integers(0, 5))], a.dtype))
        elif not self.draw(st.integers(0, 5)):
            x = self.draw(NUMBERS)
            return self.run(lambda: a @ x, TypeError)
        else:
            b = self.pick(where=lambda t: t.dtype == a.dtype)
        batch = broadcast(a.shape[:-2], b.shape[:-2]) if min(a.ndim, b.ndim) >= 2 else None
        expect = (ValueError if a.dtype != b.dtype else TypeError if a.dtype == "bool"
                  else RuntimeError if batch is None or a.shape[-1] != b.shape[-2] else OK)
        if (r := self.run(lambda: a @ b, expect)) is not None:
            assert tuple(r.shape) == batch + (a.shape[-2], b.shape[-1]) and row_major(r.shape, r.strides)
            self.check(r, a.dtype, a.requires_grad or b.requires_grad)

    def step_reshape(self):
        a = self.pick()
        numel, how = math.prod(a.shape), self.draw(st.sampled_from(["bad", "factors", "random"]))
        if how == "bad":
            shape = self.draw(BAD_SHAPES)
        elif how == "factors":
            shape, rest = ([] if numel else [0]), max(numel, 1)
            for p in (2, 3, 5):
                while rest % p == 0:
                    rest, shape = rest // p, shape + [p]
            shape = self.draw(st.permutations(shape + [1] * self.draw(st.integers(0, 2))))
            while len(shape) > 6:
                shape = [shape[0] * shape[1]] + shape[2:]
        else:
            shape = self.draw(st.lists(st.integers(0, 6), max_size=6))
        expect = TypeError
        if isinstance(shape, list) and all(type(n) is int for n in shape):
            fits = math.prod(n for n in shape if n) < 2**63 and math.prod(shape) == numel
            expect = next(filter(None, map(axis_failure, shape)), OK if fits and row_major(a.shape, a.strides) else
                          ValueError)
        if (r := self.run(lambda: a.reshape(shape), expect)) is not None:
            self.check(r, a.dtype, a.requires_grad, a.to_numpy().reshape(shape))

    def step_transpose(self):
        a = self.pick()
        d0, d1 = (self.draw(st.integers(0, max(a.ndim - 1, 0)) if self.draw(st.integers(0, 3)) else AXES)
                  for _ in "01")
        expect, message = axis_failure(d0) or axis_failure(d1), None
        if expect is None:
            wrong = [d for d in (d0, d1) if d >= a.ndim]
            message = wrong and f"index out of bounds: the len is {a.ndim} but the index is {int(wrong[0])}"
            expect = INTERNAL if wrong else OK
        if (r := self.run(lambda: a.transpose(d0, d1), expect, message)) is not None:
            self.check(r, a.dtype, a.requires_grad, np.swapaxes(a.to_numpy(), d0, d1))

    def step_relu(self):
        a = self.pick() if self.draw(st.integers(0, 7)) else self.draw(st.one_of(WRONG, NUMBERS))
        if (r := self.run(lambda: relu(a), OK if isinstance(a, Tensor) and a.dtype != "bool" else TypeError)):
            self.check(r, a.dtype, a.requires_grad, np.where(wide(a) > 0, wide(a), 0))

    def step_like(self):
        a, ones = self.pick(False), self.draw(st.booleans())
        self.check(self.run(a.ones_like if ones else a.zeros_like, OK), a.dtype, False, np.full(a.shape, ones))

    def step_backward(self):
        a = self.pick(where=lambda t: t.requires_grad)
        stale, self.weak = self.weak, self.weak or self.tape in self.tainted
        expect = (ValueError, TypeError, RuntimeError) if a.requires_grad else ValueError
        if self.run(lambda: a.backward() or True, expect):  # run() gives None for a failure
            self.check_grad(g := a.grad(), a, exact=not stale)
            if not stale:  # the seed stays in the result's own slot
                assert g is not None and g.shape == tuple(a.shape) and np.all(g.astype(np.float32) == 1), g

    def check_grad(self, g, t, exact):
        assert g is None or (isinstance(g, np.ndarray) and t.requires_grad)
        if g is not None:
            assert g.dtype in NP.values() and len(g.tobytes()) == g.nbytes
            assert not exact or g.dtype == NP[t.dtype], (g.dtype, t.dtype)  # the shape may be a broadcast one

    def step_grad(self):
        t, tape = self.draw(st.sampled_from(self.pool))
        self.check_grad(self.run(t.grad, OK), t, exact=not self.stale(t, tape) and self.tape not in self.tainted)

    def step_clear(self):
        assert self.run(Tensor.clear_graph, OK) is None
        self.new_tape()
        assert all(t.grad() is None for t, _ in self.pool)

    def on_worker(self, work):
        """Runs work() on a new thread, whose tape starts empty, and waits for it; this thread
        makes the worker's draws, as Hypothesis draws only on the test's own thread."""
        home, failures = self.tape, []

        def body():
            try:
                # NumPy's error state is per thread where threads do not inherit their starter's
                # context (the builds with the GIL): the oracle's overflows are expected here too.
                with np.errstate(all="ignore"):
                    work()
            except BaseException as error:  # noqa: BLE001 - raised again on this thread
                failures.append(error)
            finally:
                self.requests.put(None)

        self.new_tape()
        self.requests, self.replies = queue.SimpleQueue(), queue.SimpleQueue()
        self.worker = worker = threading.Thread(target=body, daemon=True)
        worker.start()
        deadline = time.monotonic() + WORKER_SECONDS
        try:
            while True:
                try:
                    strategy = self.requests.get(timeout=max(deadline - time.monotonic(), 0))
                except queue.Empty:
                    raise AssertionError(f"the worker thread is still running after {WORKER_SECONDS} s") from None
                if strategy is None:
                    break
                try:
                    self.replies.put((True, self.data.draw(strategy)))
                except BaseException:  # Hypothesis ending the example: the worker stops too
                    self.replies.put((False, None))
                    raise
        finally:
            worker.join(max(deadline - time.monotonic(), 0))
            self.worker, self.tape, self.weak = None, home, False
        if failures:
            raise failures[0]

    def step_thread(self):
        """A few steps on a new thread over the pool's tensors; what they make joins the pool, and
        nothing they do reaches this thread's tape."""
        before, count = [(t, t.grad()) for t, _ in self.pool], self.draw(st.integers(1, 8))

        def work():
            assert all(t.grad() is None for t, _ in self.pool), "a new thread's tape has gradients"
            for _ in range(count):
                self.step(WORKER_STEPS)

        self.on_worker(work)
        for t, g in before:
            after = t.grad()
            assert (g is None) == (after is None), "a worker thread changed this thread's tape"
            assert g is None or (g.dtype, g.shape, g.tobytes()) == (after.dtype, after.shape, after.tobytes())

    def step_construct(self):
        data = self.values(self.new_shape())
        data = self.draw(st.sampled_from([
            data.astype(np.float32), data.astype(np.float16), data.astype(ml_dtypes.bfloat16), data > 0, data,
            data.astype(np.int64), data.tolist(), "abc", None, [[1.0], [1.0, 2.0]], 10**400, self.pick(False)]))
        dtype = self.draw(st.sampled_from([None, *SPELL, np.float16, ml_dtypes.bfloat16, bool, np.dtype("float32")]))
        device, requires_grad = "cpu", self.draw(st.booleans())
        if self.draw(st.booleans()):  # wrong arguments
            dtype = self.draw(st.sampled_from([dtype, "float64", "F32", float, 3, ""]))
            device = self.draw(st.sampled_from(["cpu", "CPU", "cuda", None, 0]))
            requires_grad = self.draw(st.sampled_from([False, True, np.True_, 1, None]))
        text = "float32" if dtype is None else dtype if isinstance(dtype, str) else getattr(dtype, "__name__", None)
        expect = (TypeError if not isinstance(device, str) or not isinstance(requires_grad, (bool, np.bool_))
                  else ValueError if device.lower() != "cpu" or (text is not None and text not in SPELL) else NUMPY)
        if (r := self.run(lambda: Tensor(data, dtype=dtype, device=device, requires_grad=requires_grad), expect)):
            dt = SPELL[text or np.dtype(dtype).name]
            self.check(r, dt, bool(requires_grad), np.array(data, dtype=NP[dt]))

    STEPS = [step_binary, step_scalar, step_compare, step_logical, step_matmul, step_reshape, step_transpose,
             step_relu, step_like, step_backward, step_grad, step_clear, step_construct, step_thread]


WORKER_STEPS = [step for step in Program.STEPS if step is not Program.step_thread]


@settings(max_examples=EXAMPLES, deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(st.data())
def test_random_programs_raise_only_documented_exceptions(data):
    Tensor.clear_graph()
    with np.errstate(all="ignore"):
        program = Program(data)
        for _ in range(data.draw(st.integers(1, 30))):
            program.step(Program.STEPS)
    Tensor.clear_graph()


@pytest.mark.parametrize("handoff", ["clear_graph", "thread"])
@settings(max_examples=max(EXAMPLES // 3, 1), deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_backward_from_stale_ids_into_recorded_nodes_raises_only_documented_exceptions(handoff, data):
    """Tracked leaves made on an empty tape hold ids 0, 1, ...; after a clear, or on a new thread,
    those ids name what a random program records there, so backward() from them runs nodes of every
    kind, failed ones too, on seeds and contributions of unrelated shape and dtype."""
    Tensor.clear_graph()
    kinds = data.draw(st.lists(st.tuples(st.lists(st.integers(0, 4), max_size=4), st.sampled_from(list(NP))),
                               min_size=1, max_size=32))
    stale = [Tensor(np.ones(shape), dtype=dt, requires_grad=True) for shape, dt in kinds]

    def record_then_backward_from_stale():
        for _ in range(program.draw(st.integers(0, 12))):
            program.step(WORKER_STEPS)
        program.weak = True
        for s in program.draw(st.permutations(stale)):
            program.run(lambda: s.backward() or True, OK)
            program.tainted.add(program.tape)
            for t in [s, *(t for t, _ in program.pool)]:
                program.check_grad(t.grad(), t, exact=False)
            assert Tensor([0.0], requires_grad=True).grad() is None

    with np.errstate(all="ignore"):
        if handoff == "clear_graph":
            Tensor.clear_graph()
            program = Program(data)
            record_then_backward_from_stale()
        else:
            program = Program(data)
            program.on_worker(record_then_backward_from_stale)
    Tensor.clear_graph()
