"""Which instruction-set path morla_core's kernels run on in this process, as the module itself
chose it, and which paths it was built with: "portable", "avx2", "avx512", "avx512bf16" (x86-64)
or "neon" (aarch64), as its list of paths names them. For tests and benchmarks that need to know; the module
exports the names from its shared object, outside its Python surface."""

import ctypes

import morla_core


def _read(symbol: str) -> str:
    function = getattr(ctypes.CDLL(morla_core.__file__), symbol)
    function.restype = ctypes.c_char_p
    return function().decode()


_ACTIVE_PATH = _read("morla_active_path")
_COMPILED_PATHS = tuple(_read("morla_compiled_paths").split())


def active_path() -> str:
    return _ACTIVE_PATH


def compiled_paths() -> tuple[str, ...]:
    """Every path compiled into the module, the least preferred (portable) first."""
    return _COMPILED_PATHS

