import numpy as np
import pytest


def smooth(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    x = np.sin(0.02 * t) + 0.4 * np.sin(0.13 * t + 1.0) + 0.02 * rng.standard_normal(n)
    return x.astype(np.float32)


def noise(n, seed=0):
    return np.random.default_rng(seed).uniform(-3.0, 5.0, n).astype(np.float32)


@pytest.fixture
def signals():
    return {"smooth": smooth, "noise": noise}
