"""The module's boundary: every kind of bad argument, and no references or memory kept behind.

test_signal.py covers the common cases (2-D, int16, float16, big-endian, strided and misaligned
arrays, lists, bytearray and memoryview containers); this table adds the rest and pins the exact
texts of argument binding.
"""

import array
import gc
import sys

import numpy as np
import pytest

from vantrel import CompressionOptions, compress_signal, decompress_signal

NOT_A_SIGNAL = "expected a 1-D float32 or float64 NumPy array"
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
SIGNAL = np.linspace(-1.0, 1.0, 8, dtype=np.float32)
PACKED = compress_signal(SIGNAL)


class Samples(np.ndarray):
    pass


class Container(bytes):
    pass


def misaligned(dtype):
    raw = bytearray(np.zeros(9, dtype).tobytes()) + b"\0"
    return np.frombuffer(raw, dtype=dtype, count=8, offset=1)


def not_instance(type_name, of, parameter):
    return f"'{type_name}' object is not an instance of '{of}'", f"while processing '{parameter}'"


# (id, call, exception type, message, note or None)
BAD_CALLS = [
    # Argument binding, in CPython's wording.
    ("compress-no-args", lambda: compress_signal(), TypeError,
     "compress_signal() missing required argument 'data' (pos 1)", None),
    ("compress-only-options", lambda: compress_signal(options=None), TypeError,
     "compress_signal() missing required argument 'data' (pos 1)", None),
    ("compress-three-args", lambda: compress_signal(SIGNAL, None, None), TypeError,
     "compress_signal() takes at most 2 arguments (3 given)", None),
    ("compress-unknown-keyword", lambda: compress_signal(SIGNAL, level=3), TypeError,
     "'level' is an invalid keyword argument for compress_signal()", None),
    ("compress-data-twice", lambda: compress_signal(SIGNAL, data=SIGNAL), TypeError,
     "argument for compress_signal() given by name ('data') and position (1)", None),
    ("compress-options-twice", lambda: compress_signal(SIGNAL, None, options=None), TypeError,
     "compress_signal() takes at most 2 arguments (3 given)", None),
    ("decompress-no-args", lambda: decompress_signal(), TypeError,
     "decompress_signal() missing required argument 'data' (pos 1)", None),
    ("decompress-two-args", lambda: decompress_signal(PACKED, PACKED), TypeError,
     "decompress_signal() takes at most 1 argument (2 given)", None),
    ("decompress-unknown-keyword", lambda: decompress_signal(PACKED, level=1), TypeError,
     "decompress_signal() takes at most 1 argument (2 given)", None),
    # Options of the wrong type, checked before the data.
    ("options-bytes", lambda: compress_signal(SIGNAL, b"cdf97"), TypeError,
     *not_instance("bytes", "CompressionOptions", "options")),
    ("options-float-keyword", lambda: compress_signal(SIGNAL, options=1.5), TypeError,
     *not_instance("float", "CompressionOptions", "options")),
    ("options-before-bad-data", lambda: compress_signal(None, []), TypeError,
     *not_instance("list", "CompressionOptions", "options")),
    # Data that is not a 1-D float32 or float64 array.
    ("bytearray", lambda: compress_signal(bytearray(SIGNAL.tobytes())), ValueError,
     NOT_A_SIGNAL, None),
    ("memoryview", lambda: compress_signal(memoryview(SIGNAL)), ValueError, NOT_A_SIGNAL, None),
    ("array-module", lambda: compress_signal(array.array("f", [1.0, 2.0])), ValueError,
     NOT_A_SIGNAL, None),
    ("0-d-float64", lambda: compress_signal(np.array(2.0)), ValueError, NOT_A_SIGNAL, None),
    ("3-d", lambda: compress_signal(np.zeros((2, 2, 2), np.float32)), ValueError, NOT_A_SIGNAL,
     None),
    ("2-d-subclass", lambda: compress_signal(SIGNAL.reshape(2, 4).view(Samples)), ValueError,
     NOT_A_SIGNAL, None),
    ("subclass-float16", lambda: compress_signal(SIGNAL.astype(np.float16).view(Samples)),
     ValueError, NOT_A_SIGNAL, None),
    ("int32", lambda: compress_signal(np.arange(8, dtype=np.int32)), ValueError, NOT_A_SIGNAL,
     None),
    ("int64", lambda: compress_signal(np.arange(8)), ValueError, NOT_A_SIGNAL, None),
    ("uint8", lambda: compress_signal(np.arange(8, dtype=np.uint8)), ValueError, NOT_A_SIGNAL,
     None),
    ("bool", lambda: compress_signal(np.ones(8, bool)), ValueError, NOT_A_SIGNAL, None),
    ("longdouble", lambda: compress_signal(np.ones(8, np.longdouble)), ValueError, NOT_A_SIGNAL,
     None),
    ("object", lambda: compress_signal(np.array([1.0, 2.0], object)), ValueError, NOT_A_SIGNAL,
     None),
    ("structured", lambda: compress_signal(np.zeros(4, [("x", "<f4")])), ValueError,
     NOT_A_SIGNAL, None),
    ("big-endian-subclass", lambda: compress_signal(SIGNAL.astype(">f4").view(Samples)),
     ValueError, NOT_A_SIGNAL, None),
    ("python-float", lambda: compress_signal(1.0), ValueError, NOT_A_SIGNAL, None),
    # Layout.
    ("strided-subclass", lambda: compress_signal(SIGNAL.view(Samples)[::2]), TypeError,
     NOT_CONTIGUOUS, None),
    ("strided-float64", lambda: compress_signal(np.zeros(16)[::3]), TypeError, NOT_CONTIGUOUS,
     None),
    ("column-of-2-d", lambda: compress_signal(np.zeros((8, 3), np.float32)[:, 1]), TypeError,
     NOT_CONTIGUOUS, None),
    ("misaligned-float32", lambda: compress_signal(misaligned(np.float32)), TypeError,
     NOT_CONTIGUOUS, None),
    # Containers that are not bytes.
    ("array-module-container", lambda: decompress_signal(array.array("B", PACKED)), TypeError,
     *not_instance("array", "bytes", "data")),
    ("int-container", lambda: decompress_signal(7), TypeError,
     *not_instance("int", "bytes", "data")),
    ("keyword-bytearray", lambda: decompress_signal(data=bytearray(PACKED)), TypeError,
     *not_instance("bytearray", "bytes", "data")),
    ("memoryview-of-bytes", lambda: decompress_signal(memoryview(PACKED)[:]), TypeError,
     *not_instance("memoryview", "bytes", "data")),
    # Codec errors reach Python as ValueError with the codec's text and no note.
    ("truncated-container", lambda: decompress_signal(PACKED[:60]), ValueError,
     f"Can't decompress data, reason: Minimum data size is {len(PACKED)}, but it was 60", None),
    ("empty-float64", lambda: compress_signal(np.zeros(0)), ValueError,
     "Unsupported compression configuration 'Can't compress empty data'", None),
]


def call_failing(call):
    try:
        call()
    except (TypeError, ValueError):
        return
    raise AssertionError("the call did not fail")


class TestBadArguments:
    @pytest.mark.parametrize("call, exc_type, message, note",
                             [case[1:] for case in BAD_CALLS], ids=[case[0] for case in BAD_CALLS])
    def test_exception_message_and_note(self, call, exc_type, message, note):
        with pytest.raises(Exception) as info:
            call()
        assert type(info.value) is exc_type
        assert str(info.value) == message
        assert getattr(info.value, "__notes__", None) == (None if note is None else [note])


class TestAcceptedArguments:
    @pytest.mark.parametrize(
        "data",
        [
            SIGNAL.view(Samples),
            np.ma.masked_array(SIGNAL),
            np.asfortranarray(SIGNAL),
            SIGNAL.reshape(1, 8)[0],
            np.frombuffer(SIGNAL.tobytes(), np.float32),  # read-only, memory of a bytes object
            np.concatenate([SIGNAL, SIGNAL])[8:],
        ],
        ids=["subclass", "masked", "fortran", "row", "read-only-buffer", "offset-slice"],
    )
    def test_one_dimensional_float32_views(self, data):
        assert compress_signal(data) == PACKED

    def test_bytes_subclasses(self):
        expected = decompress_signal(PACKED)
        for container in (Container(PACKED), np.bytes_(PACKED + b"\x01")):
            assert np.array_equal(decompress_signal(container), expected)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def repeat(call, times):
    for _ in range(times):
        call()


# Every path out of the two functions: success, and one failure of each kind the binding raises.
FAILURE_PATHS = ["compress-data-twice", "decompress-two-args", "options-float-keyword",
                 "bytearray", "0-d-float64", "strided-float64", "misaligned-float32",
                 "keyword-bytearray", "truncated-container", "empty-float64"]
LEAK_CALLS = [
    ("compress-float32", lambda: compress_signal(SIGNAL)),
    ("compress-float64-options", lambda: compress_signal(SIGNAL.astype(np.float64),
                                                         CompressionOptions(scale=8))),
    ("decompress", lambda: decompress_signal(PACKED)),
    ("decompress-keyword", lambda: decompress_signal(data=PACKED)),
] + [(name, lambda call=call: call_failing(call))
     for name, call, *_ in BAD_CALLS if name in FAILURE_PATHS]


class TestNoLeaks:
    CALLS = 100_000

    @pytest.mark.parametrize("call", [c[1] for c in LEAK_CALLS], ids=[c[0] for c in LEAK_CALLS])
    def test_flat_over_many_calls(self, call):
        watched = [SIGNAL, PACKED, CompressionOptions]
        repeat(call, 2000)
        gc.collect()
        refs = [sys.getrefcount(obj) for obj in watched]
        total = getattr(sys, "gettotalrefcount", lambda: 0)()
        before = resident_bytes()
        repeat(call, self.CALLS)
        gc.collect()
        # Ten bytes a call would show as a megabyte.
        assert resident_bytes() - before < 512 << 10
        assert [sys.getrefcount(obj) for obj in watched] == refs
        if hasattr(sys, "gettotalrefcount"):
            assert abs(sys.gettotalrefcount() - total) < 100

    def test_dropped_arrays_release_their_buffers(self):
        big = compress_signal(np.full(2_000_000, 0.5, np.float32))  # 8 MB of samples
        out = decompress_signal(big)
        del out
        gc.collect()
        before = resident_bytes()
        for _ in range(50):
            out = decompress_signal(big)
            view = out[1000:2000]
            del out  # the view keeps the buffer alive...
            assert view[0] == 0.5
            del view  # ...until it goes too
        gc.collect()
        # Keeping the buffers would cost 400 MB.
        assert resident_bytes() - before < 32 << 20
