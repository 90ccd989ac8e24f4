"""Containers with a trailer: gaps restored exactly, damage found, plain containers unchanged."""

import numpy as np
import pytest

import vantrel
import vantrel_tools as trailer
from vantrel_tools.core.container import ContainerError

RNG = np.random.default_rng(7)
BASE = (1000 + np.sin(np.arange(4000) * 0.01)).astype(np.float32)


def with_gaps(positions, value=np.nan):
    x = BASE.copy()
    x[positions] = value
    return x


GAP_CASES = {
    "none": BASE,
    "first": with_gaps([0]),
    "last": with_gaps([-1]),
    "run at start": with_gaps(slice(0, 50), np.inf),
    "run at end": with_gaps(slice(-70, None), -np.inf),
    "mixed kinds": with_gaps([10, 11, 12], np.inf) * np.where(np.arange(4000) == 900, np.nan, 1),
    "scattered": with_gaps(RNG.choice(4000, 300, replace=False)),
    "every sample": np.full(100, np.nan, np.float32),
    "alternating": np.where(np.arange(64) % 2, np.float32(np.nan), np.float32(3.0)),
}


@pytest.mark.parametrize("signal", GAP_CASES.values(), ids=GAP_CASES.keys())
def test_gaps_come_back_exactly_and_cost_the_rest_nothing(signal):
    packed = trailer.compress(signal)
    back = trailer.decompress(packed)
    np.testing.assert_array_equal(np.isnan(back), np.isnan(signal))
    np.testing.assert_array_equal(np.isposinf(back), np.isposinf(signal))
    np.testing.assert_array_equal(np.isneginf(back), np.isneginf(signal))
    finite = np.isfinite(signal)
    if finite.any():
        # One gap must not widen the normalisation range of the others.
        clean_error = np.abs(vantrel.decompress_signal(vantrel.compress_signal(BASE)) - BASE).max()
        assert np.abs(back[finite] - signal[finite]).max() <= max(4 * clean_error, 1e-6)
    # The plain decoder reads the same container, to the filled signal.
    plain = vantrel.decompress_signal(packed)
    assert plain.size == signal.size and np.isfinite(plain).all()


def test_plain_containers_open_unchanged():
    packed = vantrel.compress_signal(BASE)
    np.testing.assert_array_equal(trailer.decompress(packed), vantrel.decompress_signal(packed))


def test_every_single_bit_flip_and_truncation_is_found():
    signal = with_gaps([3, 4, 50], np.nan)[:200]
    packed = trailer.compress(signal)
    missed = []
    for bit in range(len(packed) * 8):
        damaged = bytearray(packed)
        damaged[bit // 8] ^= 1 << (bit % 8)
        try:
            trailer.decompress(bytes(damaged))
        except (ValueError, ContainerError):  # damage, or a header that is no container any more
            continue
        missed.append(bit)
    assert missed == []
    for size in range(len(packed)):
        with pytest.raises((ValueError, ContainerError)):
            trailer.decompress(packed[:size])


@pytest.mark.parametrize("compress", [vantrel.compress_signal, trailer.compress])
@pytest.mark.parametrize(
    "values, index",
    [([1e39, 2.0], 0), ([1.0, 2.0, -5e39], 2), ([3.5e38, 3e38, 1.0], 0), ([np.nan, 1e300], 1)],
)
def test_finite_float64_beyond_float32_is_refused(compress, values, index):
    text = f"sample {index} ({values[index]!r}) is outside the float32 range; the codec works in 32-bit floats"
    with pytest.raises(ValueError) as raised:
        compress(np.array(values))
    assert str(raised.value) == text
