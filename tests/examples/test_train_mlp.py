import importlib.util
import pathlib

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "train_mlp.py"


def load_example():
    spec = importlib.util.spec_from_file_location("train_mlp", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_training_reduces_the_loss_clearly():
    lines = []
    losses = load_example().train(steps=150, seed=3, log=lines.append)
    assert len(losses) == 150
    assert losses[-1] < losses[0] / 10
    assert lines[0].startswith("step    0  loss")


def test_training_is_reproducible():
    example = load_example()
    assert example.train(steps=20, seed=7, log=None) == example.train(steps=20, seed=7, log=None)
