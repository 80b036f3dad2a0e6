"""Other processes' load while a workload runs: it skews timings, thread scaling most of all."""

from __future__ import annotations

import os

LOAD_WARNING_CORES = 0.2  # other processes' load, in cores, that marks a row's figures as skewed


class LoadMonitor:
    """CPU time other processes took while a workload ran, in cores (0 = the machine was ours).

    System-wide busy time from /proc/stat, less this process's and its waited-for children's
    CPU time from /proc/self/stat, and a running helper's (the PyTorch peer, by its pid). Other
    load skews timings, thread scaling most of all.
    """

    def __init__(self, helper_pid: int | None = None):
        self.helper_pid = helper_pid
        self.start = self._read()
        self.helper_start = self._helper_ticks()

    @staticmethod
    def _ticks(stat: str) -> int:
        fields = stat.rsplit(")", 1)[1].split()
        return sum(int(fields[i]) for i in (11, 12, 13, 14))  # utime stime cutime cstime

    def _helper_ticks(self) -> int | None:
        """The helper's CPU time so far; None when there is none or it is gone."""
        if self.helper_pid is None:
            return None
        try:
            with open(f"/proc/{self.helper_pid}/stat") as f:
                return self._ticks(f.read())
        except (OSError, ValueError, IndexError):
            return None

    @classmethod
    def _read(cls):
        try:
            with open("/proc/stat") as f:
                fields = [int(x) for x in f.readline().split()[1:]]
            with open("/proc/self/stat") as f:
                own_ticks = cls._ticks(f.read())
        except (OSError, ValueError, IndexError):
            return None
        idle = fields[3] + (fields[4] if len(fields) > 4 else 0)  # idle + iowait
        total = sum(fields[:8])
        return total, total - idle, own_ticks

    def foreign_cores(self) -> float | None:
        end = self._read()
        if self.start is None or end is None:
            return None
        total, busy, own = (e - s for e, s in zip(end, self.start))
        # A helper that ended meanwhile took at least what it had taken by then; its last ticks
        # count as other processes'.
        helper_end = self._helper_ticks()
        if self.helper_start is not None and helper_end is not None:
            own += helper_end - self.helper_start
        if total <= 0:
            return None
        cores = os.cpu_count() or 1
        return round(max(busy - own, 0) / (total / cores), 3)
