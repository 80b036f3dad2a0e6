"""Data-parallel training across processes: the ranks that an MPI launcher started
(``mpiexec -n K python train.py``), on one machine or many, each summing its gradients with the
others' every step.

Threads share a process's memory and scale a step across its cores; processes scale it across
machines. Each process takes its share of every global mini-batch (``share``), computes the
gradients of that share on its own threads, and ``sum_in_place`` adds them over all processes with
one ``Allreduce`` on a flat float32 buffer, so that every process applies the same update to the
same parameters.

Without a launcher everything here is local and mpi4py is not even imported: one process, rank 0.
Under a launcher it needs mpi4py and an MPI runtime: ``pip install "morla_core[mpi]"``.
"""

from __future__ import annotations

import hashlib
import os
import sys
from collections.abc import Mapping

import numpy as np

# Set in every process an MPI launcher starts: MPICH's and Intel's (PMI), Open MPI's, PMIx's.
LAUNCHER_VARIABLES = ("PMI_SIZE", "OMPI_COMM_WORLD_SIZE", "PMIX_RANK")


def launched_by_mpi() -> bool:
    """Whether an MPI launcher started this process as one of several.

    A job of one process needs no MPI. A program that a rank starts inherits the launcher's
    variables but not its connection (PMI_FD names a descriptor the child does not have): it is a
    process of its own, not a rank.
    """
    if not any(name in os.environ for name in LAUNCHER_VARIABLES):
        return False
    size = os.environ.get("PMI_SIZE") or os.environ.get("OMPI_COMM_WORLD_SIZE")
    if size is not None and size.strip() == "1":
        return False
    descriptor = os.environ.get("PMI_FD")
    if descriptor is not None:
        try:
            os.fstat(int(descriptor))
        except (ValueError, OSError):
            return False
    return True


class Processes:
    """The processes of one data-parallel job, seen from one of them (``rank`` of ``size``)."""

    def __init__(self, communicator=None):
        self._comm = communicator
        self._mpi = None
        self._buffer = None
        if communicator is None:
            self.rank, self.size, self.on_this_machine = 0, 1, 1
        else:
            from mpi4py import MPI

            self._mpi = MPI
            self.rank, self.size = communicator.Get_rank(), communicator.Get_size()
            local = communicator.Split_type(MPI.COMM_TYPE_SHARED)
            self.on_this_machine = local.Get_size()
            local.Free()

    @property
    def is_root(self) -> bool:
        """Rank 0: the process that reports, evaluates and writes files."""
        return self.rank == 0

    def share(self, rows: np.ndarray) -> np.ndarray:
        """This process's contiguous share of a global mini-batch (possibly empty)."""
        return np.array_split(rows, self.size)[self.rank]

    def sum_in_place(self, arrays: Mapping[str, np.ndarray], *scalars: float) -> list[float]:
        """Replaces each float32 array by its sum over all processes; returns the float64
        scalars, each summed the same way.

        The arrays travel as one buffer through one Allreduce (the scalars through another), and
        MPI's reduction hands every process the same result, so processes that apply the same
        update keep the same parameters bit for bit (``same_everywhere`` checks it). The sums are
        associated as MPI's algorithm does, so they may differ from one process's sum in the
        last bits.
        """
        if self._comm is None:
            return list(scalars)
        names = sorted(arrays)
        # Every process must pass the same names, shapes and number of scalars; a job whose
        # processes disagree fails on all of them alike instead of summing unrelated numbers.
        layout = repr(([(name, np.shape(arrays[name])) for name in names], len(scalars)))
        if not self._agree(layout):
            raise ValueError("sum_in_place: the processes passed different arrays or scalars")
        for name in names:
            value = arrays[name]
            if not (isinstance(value, np.ndarray) and value.dtype == np.float32 and value.flags.writeable):
                raise TypeError(f"{name}: expected a writable float32 NumPy array")
        count = sum(arrays[name].size for name in names)
        if self._buffer is None or self._buffer.size != count:
            # One buffer for every step: a fresh one costs MPI more than the sum itself.
            self._buffer = np.empty(count, np.float32)
        flat = self._buffer
        if count:
            np.concatenate([arrays[name].ravel() for name in names], out=flat)
            self._comm.Allreduce(self._mpi.IN_PLACE, flat, op=self._mpi.SUM)
        at = 0
        for name in names:
            value = arrays[name]
            value[...] = flat[at:at + value.size].reshape(value.shape)
            at += value.size
        totals = np.array(scalars, np.float64)
        if len(scalars):
            self._comm.Allreduce(self._mpi.IN_PLACE, totals, op=self._mpi.SUM)
        return [float(t) for t in totals]

    def _agree(self, text: str) -> bool:
        """Whether every process passed the same text: one small Allreduce of its fingerprint's
        largest and smallest value, so that all processes reach the same answer."""
        fingerprint = float(int.from_bytes(hashlib.sha256(text.encode()).digest()[:6], "little"))
        extremes = np.array([fingerprint, -fingerprint])
        self._comm.Allreduce(self._mpi.IN_PLACE, extremes, op=self._mpi.MAX)
        return extremes[0] == -extremes[1]

    def same_everywhere(self, arrays: Mapping[str, np.ndarray]) -> bool:
        """Whether every process holds these arrays bit for bit (a digest compared on all)."""
        digest = hashlib.sha256()
        for name in sorted(arrays):
            value = np.asarray(arrays[name])
            digest.update(name.encode())
            digest.update(str((value.dtype.str, value.shape)).encode())
            digest.update(np.ascontiguousarray(value).tobytes())
        if self._comm is None:
            return True
        return len(set(self._comm.allgather(digest.hexdigest()))) == 1

    def gather(self, value):
        """Every process's value, in rank order, on every process."""
        return [value] if self._comm is None else self._comm.allgather(value)


def processes() -> Processes:
    """The job this process belongs to: MPI's world under a launcher, else this process alone.

    Under a launcher, an exception that nothing catches ends the whole job (MPI's Abort, after
    the traceback): the other processes would otherwise wait in their next sum forever.
    """
    if not launched_by_mpi():
        return Processes()
    try:
        from mpi4py import MPI
    except ImportError as error:
        raise RuntimeError('started by an MPI launcher, but mpi4py is missing: '
                           'pip install "morla_core[mpi]"') from error
    _abort_on_uncaught_exceptions(MPI.COMM_WORLD)
    return Processes(MPI.COMM_WORLD)


def _abort_on_uncaught_exceptions(world) -> None:
    previous = sys.excepthook
    if getattr(previous, "_morla_aborts", False):
        return

    def report_and_abort(kind, value, traceback):
        previous(kind, value, traceback)
        sys.stderr.flush()
        world.Abort(1)

    report_and_abort._morla_aborts = True  # type: ignore[attr-defined]
    sys.excepthook = report_and_abort
