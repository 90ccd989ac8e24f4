"""compress_signal and decompress_signal: argument checks, buffers, errors, round trips."""

import gc
import os
import subprocess
import sys

import numpy as np
import pytest

import vantrel
from vantrel import CompressionOptions, compress_signal, decompress_signal

NOT_A_SIGNAL = "expected a 1-D float32 or float64 NumPy array"
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
EMPTY = "Unsupported compression configuration 'Can't compress empty data'"


def make_signal(n, dtype=np.float32):
    t = np.arange(n, dtype=np.float64)
    # Values on a 1/64 grid are exact in float32, so float64 input converts losslessly.
    return (np.round((np.sin(t / 9.0) * 5.0 + np.cos(t / 31.0)) * 64.0) / 64.0).astype(dtype)


SIGNAL = make_signal(1000)


def assert_raises_with_note(exc_type, message, parameter, call):
    """`call()` raises `exc_type` with exactly `message` and the note naming `parameter`."""
    with pytest.raises(exc_type) as info:
        call()
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


class TestArgumentBinding:
    @pytest.mark.parametrize(
        "call, name",
        [
            (lambda: compress_signal(), "compress_signal"),
            (lambda: compress_signal(SIGNAL, None, None), "compress_signal"),
            (lambda: compress_signal(SIGNAL, level=3), "compress_signal"),
            (lambda: compress_signal(SIGNAL, data=SIGNAL), "compress_signal"),
            (lambda: compress_signal(options=None), "compress_signal"),
            (lambda: decompress_signal(), "decompress_signal"),
            (lambda: decompress_signal(b"", b""), "decompress_signal"),
            (lambda: decompress_signal(payload=b""), "decompress_signal"),
            (lambda: decompress_signal(b"", data=b""), "decompress_signal"),
        ],
    )
    def test_binding_errors(self, call, name):
        with pytest.raises(TypeError, match=rf"{name}\(\)"):
            call()

    def test_keywords_bind_like_positions(self):
        packed = compress_signal(SIGNAL, CompressionOptions(scale=8))
        assert compress_signal(options=CompressionOptions(scale=8), data=SIGNAL) == packed
        assert np.array_equal(decompress_signal(data=packed), decompress_signal(packed))


class TestOptionsArgument:
    def test_absent_none_and_default_are_identical(self):
        expected = compress_signal(SIGNAL)
        assert compress_signal(SIGNAL, None) == expected
        assert compress_signal(SIGNAL, options=None) == expected
        assert compress_signal(SIGNAL, CompressionOptions()) == expected

    @pytest.mark.parametrize("options, type_name", [(5, "int"), ("cdf97", "str"),
                                                   ({"scale": 7}, "dict"),
                                                   (CompressionOptions, "type")])
    def test_wrong_type(self, options, type_name):
        assert_raises_with_note(
            TypeError, f"'{type_name}' object is not an instance of 'CompressionOptions'",
            "options", lambda: compress_signal(SIGNAL, options))

    def test_options_are_checked_before_data(self):
        assert_raises_with_note(
            TypeError, "'int' object is not an instance of 'CompressionOptions'", "options",
            lambda: compress_signal([1.0], 5))


class TestInputArray:
    @pytest.mark.parametrize(
        "data",
        [
            np.zeros((4, 4), np.float32),
            np.zeros((1, 8), np.float64),
            np.zeros(8, np.int16),
            np.zeros(8, np.float16),
            np.zeros(8, np.complex64),
            np.zeros(8, ">f4"),
            np.zeros(8, ">f8"),
            np.float32(1.0),
            np.array(1.0, np.float32),
            [1.0, 2.0, 3.0],
            b"\0" * 16,
            None,
            # The type test comes first: an empty array of another type is not "empty data".
            np.zeros(0, np.float16),
            np.zeros((0, 3), np.float32),
        ],
        ids=lambda data: type(data).__name__ + "-" + str(getattr(data, "dtype", "")),
    )
    def test_not_a_signal(self, data):
        with pytest.raises(ValueError) as info:
            compress_signal(data)
        assert str(info.value) == NOT_A_SIGNAL

    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    def test_layout_is_checked(self, dtype):
        base = make_signal(64, dtype)
        for view in (base[::2], base[::-1]):
            with pytest.raises(TypeError) as info:
                compress_signal(view)
            assert str(info.value) == NOT_CONTIGUOUS
        raw = bytearray(base.tobytes()) + b"\0"
        misaligned = np.frombuffer(raw, dtype=dtype, count=len(base) - 1, offset=1)
        assert not misaligned.flags.aligned
        with pytest.raises(TypeError) as info:
            compress_signal(misaligned)
        assert str(info.value) == NOT_CONTIGUOUS

    def test_contiguous_slice_is_read_in_place(self):
        assert compress_signal(SIGNAL[100:600]) == compress_signal(SIGNAL[100:600].copy())

    @pytest.mark.parametrize(
        "data",
        [
            np.zeros(0, np.float32),
            np.zeros(0, np.float64),
            np.zeros(10, np.float64)[::2][:0],
            np.zeros(10, np.float32)[3:3],
        ],
        ids=["float32", "float64", "float64-strided-view", "float32-slice"],
    )
    def test_empty_reaches_the_codec(self, data):
        with pytest.raises(ValueError) as info:
            compress_signal(data)
        assert str(info.value) == EMPTY

    def test_float64_converts_to_float32(self):
        assert compress_signal(SIGNAL.astype(np.float64)) == compress_signal(SIGNAL)
        as_fortran = np.asfortranarray(SIGNAL.astype(np.float64))
        assert compress_signal(as_fortran) == compress_signal(SIGNAL)

    def test_float64_rounds_to_nearest(self):
        wide = SIGNAL.astype(np.float64) + 1e-12
        assert compress_signal(wide) == compress_signal(wide.astype(np.float32))

    def test_accepts_subclasses_and_read_only_arrays(self):
        class Samples(np.ndarray):
            pass

        read_only = SIGNAL.copy()
        read_only.flags.writeable = False
        expected = compress_signal(SIGNAL)
        assert compress_signal(SIGNAL.view(Samples)) == expected
        assert compress_signal(read_only) == expected

    def test_input_is_not_modified(self):
        data = SIGNAL.copy()
        compress_signal(data)
        assert np.array_equal(data, SIGNAL)


class TestDecompressInput:
    @pytest.mark.parametrize(
        "data, type_name",
        [
            (bytearray(b"VTRL"), "bytearray"),
            (memoryview(b"VTRL"), "memoryview"),
            ("VTRL", "str"),
            (None, "NoneType"),
            (np.frombuffer(b"VTRL", np.uint8), "ndarray"),
        ],
    )
    def test_only_bytes(self, data, type_name):
        assert_raises_with_note(TypeError, f"'{type_name}' object is not an instance of 'bytes'",
                                "data", lambda: decompress_signal(data))

    @pytest.mark.parametrize(
        "data, message",
        [
            (b"", "Header is invalid"),
            (b"VTRL" + bytes(47), "Header is invalid"),
            (b"VTRX" + bytes(48), "Magic should be 'VTRL' but it was 'VTRX'"),
            (b"\xff" * 52, "Magic should be 'VTRL' but it was '????'"),
            # Valid UTF-8 control characters, NUL included, reach the message unchanged.
            (b"\0\x01\n\0" + bytes(48), "Magic should be 'VTRL' but it was '\0\x01\n\0'"),
        ],
    )
    def test_codec_errors_are_value_errors(self, data, message):
        with pytest.raises(ValueError) as info:
            decompress_signal(data)
        assert str(info.value) == message
        assert not hasattr(info.value, "__notes__")

    def test_bytes_subclass_and_trailing_bytes(self):
        class Container(bytes):
            pass

        packed = compress_signal(SIGNAL)
        expected = decompress_signal(packed)
        assert np.array_equal(decompress_signal(Container(packed)), expected)
        assert np.array_equal(decompress_signal(packed + b"trailing"), expected)

    def test_truncated_payload(self):
        packed = compress_signal(SIGNAL)
        with pytest.raises(ValueError, match=r"^Can't decompress data, reason: Minimum data size"):
            decompress_signal(packed[:-1])


class TestOutputArray:
    def test_properties(self):
        out = decompress_signal(compress_signal(SIGNAL))
        assert type(out) is np.ndarray
        assert out.dtype == np.float32
        assert out.ndim == 1 and out.shape == SIGNAL.shape
        assert out.strides == (4,)
        assert out.flags.c_contiguous and out.flags.writeable and out.flags.aligned
        assert not out.flags.owndata
        assert type(out.base).__name__ == "PyCapsule"

    def test_outlives_the_input_bytes(self):
        packed = bytes(compress_signal(SIGNAL))
        expected = decompress_signal(packed).copy()
        out = decompress_signal(packed)
        del packed
        gc.collect()
        np.testing.assert_array_equal(out, expected)
        view = out[10:20]
        del out
        gc.collect()
        np.testing.assert_array_equal(view, expected[10:20])
        view[:] = 1.0

    def test_each_call_gets_its_own_buffer(self):
        packed = compress_signal(SIGNAL)
        first, second = decompress_signal(packed), decompress_signal(packed)
        first[:] = 0.0
        assert not np.array_equal(first, second)


class TestRoundTrip:
    @pytest.mark.parametrize("n", [1, 7, 1000])
    def test_length_and_error(self, n):
        signal = make_signal(n)
        out = decompress_signal(compress_signal(signal))
        assert out.shape == (n,)
        span = float(signal.max() - signal.min()) or 1.0
        assert float(np.max(np.abs(out - signal))) <= 0.02 * span

class TestReferenceCounts:
    # Counts over many calls, failing ones included, are watched in test_boundary.py.
    def test_output_is_freed_with_its_array(self):
        packed = compress_signal(SIGNAL)
        out = decompress_signal(packed)
        holder = out.base
        assert sys.getrefcount(out) == 2
        assert sys.getrefcount(holder) == 3  # the array, the local and the call's argument
        del out
        assert sys.getrefcount(holder) == 2


class TestNumpyLoading:
    def test_first_calls_from_many_threads(self):
        # A fresh interpreter where NumPy is not imported yet: the first calls race to load
        # NumPy's C-API table.
        container = compress_signal(SIGNAL[:300])
        script = f"""
import sys, threading
import vantrel
assert "numpy" not in sys.modules
container = bytes.fromhex("{container.hex()}")
results = [None] * 8
barrier = threading.Barrier(8)
def work(i):
    barrier.wait()
    results[i] = vantrel.decompress_signal(container).tobytes()
threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
for t in threads: t.start()
for t in threads: t.join()
assert len(set(results)) == 1 and results[0] is not None
sys.stdout.write(results[0].hex())
"""
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                                text=True, check=False)
        assert result.returncode == 0, result.stderr
        assert result.stdout == decompress_signal(container).tobytes().hex()
