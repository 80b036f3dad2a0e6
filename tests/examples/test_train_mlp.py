import importlib.util
import pathlib

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "train_mlp.py"


def load_example():
    found = importlib.util.spec_from_file_location("train_mlp", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_training_reduces_the_loss_clearly():
    lines = []
    losses = load_example().train(epochs=40, seed=3, log=lines.append)
    assert len(losses) == len(lines) == 40
    assert losses[-1] < losses[0] / 4
    assert lines[0].startswith("epoch   1/40  loss")


def test_training_is_reproducible():
    example = load_example()
    assert example.train(epochs=2, seed=7, log=None) == example.train(epochs=2, seed=7, log=None)


@pytest.mark.thread_unsafe  # matplotlib's text layout is not
def test_loss_curve_is_saved(tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "curve" / "loss.png"
    assert load_example().save_plot([1.0, 0.5, 0.25], path)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
