"""The driver's end of the PyTorch peer (bench/torch_peer.py): one process for the whole run,
which times a workload's PyTorch side one sample at a time, when asked, so that its samples take
turns with this process's own (common.measure_sides). While the peer times a sample, this process
waits on the pipe, and the other way round: each side has the machine to itself as it would alone.
"""

from __future__ import annotations

import json
import select
import subprocess
import tempfile
import time
from pathlib import Path
from typing import NoReturn

HERE = Path(__file__).resolve().parent
ANSWER_TIMEOUT_S = 600  # no request takes this long (the first one imports torch)


class PeerError(RuntimeError):
    """The peer failed a request or is gone."""


class TorchPeer:
    def __init__(self, python: str):
        self.started = time.perf_counter()
        self.stderr = tempfile.TemporaryFile("w+")  # a pipe nobody reads could fill and stall it
        self.proc = subprocess.Popen([python, str(HERE / "torch_peer.py")], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.stderr, text=True, bufsize=1)
        self.error: str | None = None

    @property
    def pid(self) -> int:
        return self.proc.pid

    def ask(self, request: dict) -> dict:
        if self.error:
            raise PeerError(self.error)
        line, detail = "", ""
        try:
            self.proc.stdin.write(json.dumps(request) + "\n")
            self.proc.stdin.flush()
            if select.select([self.proc.stdout], [], [], ANSWER_TIMEOUT_S)[0]:
                line = self.proc.stdout.readline()
            else:
                detail = f"no answer to {request['op']!r} within {ANSWER_TIMEOUT_S} s"
        except OSError as error:
            detail = str(error)
        try:
            answer = json.loads(line) if line else None
        except json.JSONDecodeError:
            answer, detail = None, f"not an answer: {line.strip()[:200]!r}"
        if not isinstance(answer, dict):
            self.fail(detail)
        if "error" in answer:
            raise PeerError(answer["error"])
        return answer

    def fail(self, detail: str) -> NoReturn:
        """Ends a peer that is gone, stuck or out of step, and raises the reason."""
        self.proc.kill()
        code = self.proc.wait()
        self.stderr.seek(0)
        self.error = f"torch peer exited {code}: {detail or self.stderr.read().strip()[-2000:]}"
        raise PeerError(self.error)

    def prepare(self, work: dict, timing: dict):
        """Builds the workload's PyTorch sides; returns its record and its timed sides by name
        ("torch", ...): functions of n that have the peer run n calls and return the seconds they
        took there."""
        answer = self.ask({"op": "prepare", "work": work, "timing": timing})

        def side(name):
            return lambda n: self.ask({"op": "time", "side": name, "n": n})["s"]
        return answer["record"], {name: side(name) for name in answer["sides"]}

    def default_threads(self, timing: dict) -> dict:
        """The prepared workload timed alone with PyTorch's default thread count."""
        return self.ask({"op": "default_threads", "timing": timing})["stats"]

    def close(self) -> dict:
        """The peer's versions, and its end: {"versions", "threadpools", "wall_s"} or {"error"}."""
        try:
            out = self.ask({"op": "versions"})
        except PeerError as error:
            out = {"error": str(error)}
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        out["wall_s"] = time.perf_counter() - self.started
        return out
