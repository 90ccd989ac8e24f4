"""vantrel_tools._native: the codec's own names, checked against what the codec does with them."""

import sys
import threading
import time

import numpy as np
import pytest

import vantrel
from vantrel_tools import _native

SIGNAL = np.sin(np.linspace(0.0, 30.0, 500)).astype(np.float32)


@pytest.mark.parametrize("name, code, tag", _native.wavelet_methods())
def test_method_name_selects_its_tag(name, code, tag):
    packed = vantrel.compress_signal(SIGNAL, vantrel.CompressionOptions(method=name))
    assert packed[8:12] == tag


@pytest.mark.parametrize("name, code", _native.entropy_coders())
def test_coder_name_selects_its_code(name, code):
    packed = vantrel.compress_signal(SIGNAL, vantrel.CompressionOptions(coder=name))
    assert packed[14] == code


def test_orders_and_ranges():
    for table in (_native.wavelet_methods(), _native.entropy_coders()):
        assert [entry[1] for entry in table] == list(range(len(table)))
    low, high = _native.scale_range()
    for scale in (low, high):
        vantrel.CompressionOptions(scale=scale)
    for scale in (low - 1, high + 1):
        with pytest.raises(ValueError):
            vantrel.CompressionOptions(scale=scale)
    for level in _native.cutoff_levels():
        vantrel.CompressionOptions(cutoff=level)


# --- the codec without the interpreter ---------------------------------------------------------

OPTION_CASES = [
    ("cdf97", 11, "low", None, None),
    ("db4", 9, "high", "arans", 700.0),
    ("sym4", 12, "medium", "deflate", None),
    ("cdf53", 6, "low", "auto", 3.5),
]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("method, scale, cutoff, coder, multiplier", OPTION_CASES)
def test_same_containers_and_samples_as_the_module(dtype, method, scale, cutoff, coder, multiplier):
    x = SIGNAL.astype(dtype)
    options = vantrel.CompressionOptions(method=method, scale=scale, cutoff=cutoff, coder=coder,
                                         quant_multiplier=multiplier)
    expected = vantrel.compress_signal(x, options)
    packed = _native.compress(x, method, scale, cutoff, coder, multiplier)
    assert packed == expected
    samples = np.frombuffer(_native.decompress(bytearray(packed)), np.float32)
    np.testing.assert_array_equal(samples, vantrel.decompress_signal(expected))


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: _native.compress(np.zeros(0, np.float32), "cdf97", 11, "low", None, None),
         "Unsupported compression configuration 'Can't compress empty data'"),
        (lambda: _native.compress(np.zeros((2, 2), np.float32), "cdf97", 11, "low", None, None),
         "expected a 1-D float32 or float64 NumPy array"),
        (lambda: _native.compress(SIGNAL.astype(">f4"), "cdf97", 11, "low", None, None),
         "expected a 1-D float32 or float64 NumPy array"),
        (lambda: _native.compress(np.array([0.0, 4e38]), "cdf97", 11, "low", None, None),
         "sample 1 (4e+38) is outside the float32 range; the codec works in 32-bit floats"),
        (lambda: _native.compress_to(np.array([0.0, 4e38]), "psnr", 60.0, None),
         "sample 1 (4e+38) is outside the float32 range; the codec works in 32-bit floats"),
        (lambda: _native.decompress(b"VTRL"), "Header is invalid"),
    ],
)
def test_refusals_carry_the_module_texts(call, text):
    with pytest.raises(ValueError) as raised:
        call()
    assert str(raised.value) == text


def progress_of_other_threads(call):
    """How often another Python thread ran while `call` was running. The interval after which the
    interpreter switches threads by force is made longer than any call here, so the count is zero
    exactly when `call` holds the interpreter throughout."""
    count, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            count[0] += 1
            time.sleep(0)  # lets the interpreter go at once

    interval = sys.getswitchinterval()
    sys.setswitchinterval(60.0)
    thread = threading.Thread(target=spin)
    thread.start()
    try:
        while count[0] == 0:
            time.sleep(0.001)
        before = count[0]
        call()
        return count[0] - before
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)


def test_the_interpreter_is_released_while_coding_and_the_input_is_copied_first():
    big = np.sin(np.arange(1 << 21, dtype=np.float32) * 1e-3)
    expected = vantrel.compress_signal(big)
    packed = []
    # The spinner runs while the native call codes; the module's call holds the interpreter.
    assert progress_of_other_threads(
        lambda: packed.append(_native.compress(big, "cdf97", 11, "low", None, None))) > 0
    assert packed == [expected]
    assert progress_of_other_threads(lambda: _native.decompress(expected)) > 0
    assert progress_of_other_threads(lambda: _native.compress_to(big, "psnr", 60.0, None)) > 0
    assert progress_of_other_threads(lambda: _native.compress_to(
        big, "psnr", 60.0, None, reference=big.astype(np.float64), grid=PCM16)) > 0
    assert progress_of_other_threads(lambda: vantrel.compress_signal(big)) == 0
    # A thread changing the array while it is coded changes nothing: the call coded a copy.
    scribble = threading.Thread(target=lambda: big.__setitem__(slice(None), 0.0))
    result = []
    caller = threading.Thread(
        target=lambda: result.append(_native.compress(big, "cdf97", 11, "low", None, None)))
    big[:] = np.sin(np.arange(big.size, dtype=np.float32) * 1e-3)
    caller.start()
    scribble.start()
    caller.join()
    scribble.join()
    assert result[0] in (expected, vantrel.compress_signal(np.zeros_like(big)))


# --- quality targets on what a reader gets back -------------------------------------------------

PCM16 = (2.0**-15, 0.0, -32768.0, 32767.0)
EDF = (6553.6 / 65535, -3276.8 + 32768 * 6553.6 / 65535, -32768.0, 32767.0)


def read_back(y, grid):
    if grid is None:
        return y
    step, origin, low, high = grid
    return origin + step * np.clip(np.rint((y - origin) / step), low, high)


def measured(x, y):
    """(psnr, prd, rmse, max_error) over the finite originals, from the definitions."""
    keep = np.isfinite(x)
    x, e = x[keep], y[keep] - x[keep]
    rmse = np.sqrt(np.mean(e * e))
    with np.errstate(divide="ignore"):  # an exact copy has an infinite PSNR
        psnr = 20 * np.log10(np.ptp(x) / rmse)
    return psnr, 100 * np.sqrt(np.sum(e * e) / np.sum(x * x)), rmse, np.max(np.abs(e))


class TestCompressToOnAGrid:
    trace = 40 * np.sin(np.arange(6000) * 0.013) + 25 * np.sin(np.arange(6000) * 0.21)

    @pytest.mark.parametrize("metric, value, grid, scale", [
        ("psnr", 60.0, EDF, 1.0), ("prd", 0.5, EDF, 1.0), ("max_error", 0.3, EDF, 1.0),
        ("psnr", 70.0, PCM16, -0.01),  # float originals between the codes
        ("max_error", 0.0, (1.0, 0.0, -32768.0, 32767.0), 10.0),
        ("max_error", 1e-3, None, -0.01),  # float32 samples are their own reference
    ])
    def test_target_holds_on_the_values_read_back_without_the_gaps(self, metric, value, grid,
                                                                   scale):
        x = read_back(self.trace * scale, grid) if scale > 0 else self.trace * scale
        x[1000:3000] = np.nan  # gaps: coded as the caller fills them (or not), not measured
        x[[10, 20]] = (np.inf, -np.inf)
        if grid is None:
            x = x.astype(np.float32)
            container, achieved, *_ = _native.compress_to(x, metric, value, None)
        else:
            filled = np.where(np.isfinite(x), x, x[999]).astype(np.float32)
            container, achieved, *_ = _native.compress_to(filled, metric, value, None,
                                                          reference=x, grid=grid)
        y = read_back(vantrel.decompress_signal(container).astype(np.float64), grid)
        truth = measured(x.astype(np.float64), y)
        index = ("psnr", "prd", "rmse", "max_error").index(metric)
        assert (truth[index] >= value) if metric == "psnr" else (truth[index] <= value)
        np.testing.assert_allclose(achieved, truth, rtol=1e-9)

    @pytest.mark.parametrize("kwargs, error, text", [
        ({"reference": np.zeros(10)}, ValueError,
         "Unsupported compression configuration 'Reference has 10 values but the signal has 6000'"),
        ({"reference": np.zeros(6000, np.float32)}, ValueError,
         "reference must be a 1-D float64 NumPy array"),
        ({"grid": [1.0, 0.0, 0.0, 9.0]}, TypeError, "grid must be a tuple of four numbers"),
        ({"grid": (0.0, 0.0, 0.0, 9.0)}, ValueError,
         "Unsupported compression configuration 'Sample grid with step 0, origin 0 and codes 0 to "
         "9 is invalid"),
    ])
    def test_refusals(self, kwargs, error, text):
        with pytest.raises(error) as raised:
            _native.compress_to(self.trace.astype(np.float32), "psnr", 60.0, None, **kwargs)
        assert str(raised.value).startswith(text)


# --- buffers the caller can change --------------------------------------------------------------


class TestMutableBuffersAreCopied:
    """Another thread rewriting the caller's buffer while the codec runs without the interpreter
    changes nothing: every entry point codes the buffer as it was at one moment. The writer swaps
    whole contents with one bytearray assignment, which holds the interpreter, so a call that
    copies before releasing it sees one content or the other, never a mixture."""

    N = 1 << 21
    A = np.sin(np.arange(N) * 1e-3).astype(np.float32)
    B = np.random.default_rng(5).uniform(-2.0, 2.0, N).astype(np.float32)
    VIEWS = {
        "memoryview": lambda ba, dtype: memoryview(ba).cast(np.dtype(dtype).char),
        "numpy": lambda ba, dtype: np.frombuffer(ba, dtype),
        "bytearray": lambda ba, dtype: ba,
    }

    @staticmethod
    def containers():
        a, b = (_native.compress(x, "cdf97", 11, "low", None, None) for x in
                (TestMutableBuffersAreCopied.A, TestMutableBuffersAreCopied.B))
        size = max(len(a), len(b))  # bytes after the payload are ignored
        return a.ljust(size, b"\0"), b.ljust(size, b"\0")

    @pytest.mark.parametrize("entry, dtype, view", [
        ("compress", np.float32, "memoryview"), ("compress", np.float32, "numpy"),
        ("compress", np.float64, "numpy"), ("compress_to", np.float32, "memoryview"),
        ("compress_to", np.float64, "numpy"), ("decompress", np.uint8, "bytearray"),
        ("decompress", np.uint8, "memoryview"),
    ])
    def test_a_writer_thread_changes_nothing(self, entry, dtype, view):
        call = {
            "compress": lambda buf: _native.compress(buf, "cdf97", 11, "low", None, None),
            "compress_to": lambda buf: _native.compress_to(buf, "psnr", 45.0, "cdf97"),
            "decompress": lambda buf: bytes(_native.decompress(buf)),
        }[entry]
        contents = self.containers() if entry == "decompress" else \
            tuple(x.astype(dtype).tobytes() for x in (self.A, self.B))
        # Oracle: the call on immutable bytes holding each content.
        expected = [call(c if entry == "decompress" else np.frombuffer(c, dtype)) for c in contents]
        assert expected[0] != expected[1]
        shared = bytearray(contents[0])
        stop = threading.Event()

        def rewrite():
            while not stop.is_set():
                for c in contents:
                    shared[:] = c

        writer = threading.Thread(target=rewrite)
        writer.start()
        try:
            got = [call(self.VIEWS[view](shared, dtype)) for _ in range(3)]
        finally:
            stop.set()
            writer.join()
        assert all(g in expected for g in got)
