import importlib.metadata
import pathlib
import subprocess
import sys
import textwrap

import pytest

import morla
import morla_core

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_package_presents_the_module():
    from morla.nn.functional import relu

    assert morla.Tensor is morla_core.Tensor
    assert relu is morla_core.nn.functional.relu
    assert morla.nn.functional.relu is relu
    assert morla.__version__ == importlib.metadata.version("morla_core")
    t = morla.Tensor([-1.0, 2.0], requires_grad=True)
    relu(t).backward()
    assert t.grad().tolist() == [0.0, 1.0]


@pytest.mark.parametrize("ml_dtypes_present", [True, False])
def test_importing_morla_makes_bfloat16_known_or_says_what_to_install(fresh_python, ml_dtypes_present):
    block = "" if ml_dtypes_present else "sys.modules['ml_dtypes'] = None\n"
    result = fresh_python(f"""import sys, warnings
{block}warnings.simplefilter("error")
try:
    import morla
except Warning as warning:
    print("warned:", warning)
else:
    print(morla.Tensor([1.0, 2.0], dtype="bf16").to_numpy().dtype)
""")
    assert result.returncode == 0, result.stderr
    expected = "bfloat16" if ml_dtypes_present else "warned: bfloat16 tensors (dtype='bf16') need ml_dtypes: pip install ml_dtypes"
    assert result.stdout.startswith(expected), result.stdout


def test_module_keeps_its_own_contents():
    assert [name for name in dir(morla_core) if not name.startswith("__")] == ["Tensor", "nn"]


@pytest.mark.thread_unsafe
def test_stubs_match_the_module():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist",
         str(ROOT / "python" / "stubtest-allowlist.txt"), "morla_core", "morla"],
        capture_output=True, text=True, timeout=600, cwd=ROOT / "tests",
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.thread_unsafe
def test_stubs_type_check_typical_use(tmp_path):
    pytest.importorskip("mypy")
    program = tmp_path / "use.py"
    program.write_text(textwrap.dedent(
        """
        import numpy as np
        import morla
        from morla.nn.functional import relu

        x = morla.Tensor(np.ones((2, 3)), dtype="f16", requires_grad=True)
        y: morla.Tensor = relu(x @ x.transpose(0, 1) * 2.0 - 1.0) / 3.0
        mask: morla.Tensor = (y > 0.5) & ~(y == 1.0)
        y.backward()
        g = x.grad()
        shape: list[int] = y.shape
        same: bool = y != x
        morla.Tensor.clear_graph()
        bad = 1.0 - y  # unsupported: the checker must say so
        """
    ))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", str(program)],
        capture_output=True, text=True, timeout=600, cwd=tmp_path,
    )
    lines = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(lines) == 1 and "use.py:14" in lines[0] and "Unsupported" in lines[0], result.stdout
