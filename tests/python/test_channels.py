"""compress_channels / decompress_channels: the per-channel containers, whatever the threads."""

import numpy as np
import pytest

import vantrel
import vantrel_tools
from vantrel_tools import DamagedContainerError, compress, decompress
from vantrel_tools.core import channels
from vantrel_tools.core.container import ContainerError

from conftest import smooth

LONG = smooth(1 << 16, seed=3)  # long enough for one channel's coder to take a second thread
WITH_GAPS = np.where(np.arange(3000) % 97 == 0, np.nan, smooth(3000, seed=4))
STRIDED = smooth(8000, seed=5).astype(np.float64)[::2]  # not contiguous


@pytest.mark.parametrize("data, options", [
    (np.stack([smooth(4000, seed=k) for k in range(3)]), None),
    ([LONG[:1000].astype(">f4"), WITH_GAPS, STRIDED], vantrel.CompressionOptions("db4", 9)),
    (LONG, None),
    ((LONG, LONG[:5000]), vantrel.CompressionOptions("cdf53", 12, "high", "arans", 300.0)),
])
@pytest.mark.parametrize("threads", [1, 2, 5])
def test_containers_are_the_per_channel_ones(data, options, threads):
    rows = [data] if isinstance(data, np.ndarray) and data.ndim == 1 else list(data)
    keywords = {}
    if options is not None:
        names = ("method", "scale", "cutoff", "coder", "quant_multiplier")
        keywords = dict(zip(names, vantrel_tools._native.options_fields(
            options, vantrel.CompressionOptions), strict=True))
    expected = [compress(x, **keywords) for x in rows]
    packed = vantrel_tools.compress_channels(data, options, threads=threads)
    assert packed == expected
    decoded = vantrel_tools.decompress_channels(packed, threads=threads)
    for got, container in zip(decoded, packed, strict=True):
        np.testing.assert_array_equal(got, decompress(container))


def test_options_fields_read_back_what_was_given():
    given = vantrel.CompressionOptions("sym4", 7, "medium", "deflate", 0.5)
    fields = vantrel_tools._native.options_fields(given, vantrel.CompressionOptions)
    assert fields == ("sym4", 7, "medium", "deflate", 0.5)


def test_a_refused_channel_fails_the_call_and_names_the_channel():
    good = smooth(2000)
    beyond = np.array([0.0, 1e39, 2.0] * 100)  # float64 outside the float32 range
    with pytest.raises(ValueError, match=r"^channel 2: sample 1 \(1e\+39\) is outside"):
        vantrel_tools.compress_channels([good, good, beyond, np.zeros(0)], threads=2)
    for other in (np.arange(5), "abc"):
        with pytest.raises(ValueError, match=r"^channel 1: expected a 1-D float32"):
            vantrel_tools.compress_channels([good, other], threads=2)
    packed = vantrel_tools.compress_channels([good, good, good])
    damaged = bytearray(packed[1])
    damaged[70] ^= 1
    with pytest.raises(DamagedContainerError, match="^channel 1: container is damaged"):
        vantrel_tools.decompress_channels([packed[0], damaged, packed[2]], threads=3)
    with pytest.raises(ContainerError, match="^channel 0: "):
        vantrel_tools.decompress_channels([b"not a container"], threads=2)


@pytest.mark.parametrize("call, error, text", [
    (lambda: vantrel_tools.compress_channels(np.zeros((2, 2, 2))), ValueError, "3 dimensions"),
    (lambda: vantrel_tools.compress_channels(LONG, threads=0), ValueError, "at least 1"),
    (lambda: vantrel_tools.compress_channels(LONG, "cdf97"), TypeError, "CompressionOptions"),
])
def test_refused_arguments(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_channels_are_copied_before_any_is_coded(monkeypatch):
    data = np.stack([smooth(3000, seed=k) for k in range(4)])
    expected = [compress(x) for x in data]
    code = channels.encode

    def scribbling(samples, coding, threads=1, grid=None):
        data[:] = 0.0  # another thread changing the caller's array while channels are coded
        return code(samples, coding, threads)

    monkeypatch.setattr(channels, "encode", scribbling)
    assert vantrel_tools.compress_channels(data, threads=2) == expected
