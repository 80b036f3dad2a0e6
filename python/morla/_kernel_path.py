"""Which instruction-set path morla_core's kernels run on in this process, as the module itself
chose it: "portable", "avx2", "avx512" (x86-64) or "neon" (aarch64). For tests and benchmarks
that need to know; the module exports the name from its shared object, outside its Python
surface."""

import ctypes

import morla_core


def _read_active_path() -> str:
    name = ctypes.CDLL(morla_core.__file__).morla_active_path
    name.restype = ctypes.c_char_p
    return name().decode()


_ACTIVE_PATH = _read_active_path()


def active_path() -> str:
    return _ACTIVE_PATH

