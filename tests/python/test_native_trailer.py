"""The C++ trailer and C interface against the companion package's Python trailer: the same
sealed bytes for the same signal, the same refusals; CRC-32C against google_crc32c. Driven
through the trailer_probe tool (VANTREL_TEST_TOOLS)."""

import os
import subprocess

import google_crc32c
import numpy as np
import pytest

import vantrel_tools
from vantrel_tools.core.codec import encode
from vantrel_tools.core.options import Options
from vantrel_tools.core.trailer import About

PROBE = os.path.join(os.environ.get("VANTREL_TEST_TOOLS", ""), "trailer_probe")
if not os.access(PROBE, os.X_OK):
    pytest.skip("VANTREL_TEST_TOOLS does not hold the trailer_probe tool (build/<dir>/tests/cpp)",
                allow_module_level=True)


def probe(*args, check=True):
    return subprocess.run([PROBE, *map(str, args)], capture_output=True, text=True, check=check)


def signal(kind, dtype):
    x = np.sin(np.arange(700) / 13.0) * 50 + np.random.default_rng(7).normal(0, 1, 700)
    if kind == "gaps":  # runs of every kind, at both ends and side by side
        x[:3], x[40:45], x[45:47], x[200], x[-5:] = np.nan, np.inf, -np.inf, np.nan, -np.inf
    elif kind == "one finite":
        x[:], x[350] = np.nan, 2.5
    elif kind == "no finite":
        x[:] = np.inf
    elif kind == "far neighbours":  # a long line between values far apart
        x[100:300], x[99], x[300] = np.nan, -1.7e30, 3.1e30
    return x.astype(dtype)


@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("kind", ["finite", "gaps", "one finite", "no finite", "far neighbours"])
def test_same_sealed_bytes(tmp_path, kind, dtype):
    x = signal(kind, dtype)
    x.tofile(tmp_path / "x.raw")
    probe("compress", "f4" if dtype == "float32" else "f8", tmp_path / "x.raw", tmp_path / "x.vtrl")
    assert (tmp_path / "x.vtrl").read_bytes() == vantrel_tools.compress(x)


def doubled_gaps(t):
    """The trailer with its gap section twice, its length grown to match."""
    return t[:8] + (2 * len(t) - 8).to_bytes(4, "little") + t[12:] * 2


# Trailers (CRC left out) with a valid checksum whose fields are still wrong, and the words of
# the refusal.
TRAILER_EDITS = {
    "newer version": (lambda t: t[:4] + b"\x03" + t[5:], "is newer than this reader"),
    "version 0": (lambda t: t[:4] + b"\x00" + t[5:], "damaged or truncated: trailer version 0"),
    "short length": (lambda t: t[:8] + b"\x04\0\0\0" + t[12:], "length 4 is below the 16"),
    "two gap sections": (doubled_gaps, "two gap sections"),
}


@pytest.mark.parametrize("change", [None, "signal section", "flip payload", "flip trailer", "cut",
                                    *TRAILER_EDITS])
def test_reads_python_containers_alike(tmp_path, change):
    data = bytearray(vantrel_tools.compress(signal("gaps", "float32")))
    if change == "signal section":  # a section this reader skips
        data = bytearray(encode(signal("gaps", "float32"), Options(), about=About(
            rate=250.0, label="Fz", digital_range=(-2048, 2047), physical_range=(-1.0, 1.0))))
        change = None
    if change == "flip payload":
        data[60] ^= 1
    elif change == "flip trailer":
        data[-10] ^= 0x80
    elif change == "cut":
        data = data[:-3]
    elif change is not None:
        at = len(data) - (25 + 9 * 5)  # five runs
        data = data[:at] + TRAILER_EDITS[change][0](data[at:-4])
        data += google_crc32c.value(bytes(data)).to_bytes(4, "little")
    (tmp_path / "x.vtrl").write_bytes(bytes(data))
    result = probe("decompress", tmp_path / "x.vtrl", tmp_path / "y.raw", check=False)
    if change is None:
        y = np.fromfile(tmp_path / "y.raw", dtype=np.float32)
        np.testing.assert_array_equal(y, vantrel_tools.decompress(bytes(data)))  # NaN where NaN
        return
    with pytest.raises(ValueError) as python_error:
        vantrel_tools.decompress(bytes(data))
    assert result.returncode == 1 and result.stderr.strip() == str(python_error.value)
    if change in TRAILER_EDITS:
        assert TRAILER_EDITS[change][1] in str(python_error.value)


@pytest.mark.parametrize("size", [0, 1, 7, 8, 9, 63, 64, 1000, 4099])
def test_crc32c_every_path(tmp_path, size):
    data = np.random.default_rng(size).integers(0, 256, size, dtype=np.uint8).tobytes()
    (tmp_path / "d").write_bytes(data)
    lines = probe("crc", tmp_path / "d").stdout.split()
    assert lines[0] == "table" and len(lines) in (2, 4)
    assert [int(v, 16) for v in lines[1::2]] == [google_crc32c.value(data)] * (len(lines) // 2)


@pytest.mark.parametrize("dtype, target, grid", [
    ("float32", {"max_error": 1e-3}, None), ("float64", {"max_error": 1e-4}, None),
    ("int16", {"max_error": 0}, None), ("float32", {"psnr": 40}, 0.25),
    ("float32", {"max_error": 0}, 0.25),
])
def test_applies_a_correction_layer_and_a_grid_as_python_does(tmp_path, dtype, target, grid):
    x = signal("finite", "float64")
    x = np.rint(x * 100).astype(dtype) if dtype == "int16" else x.astype(dtype)
    if grid:
        x = (np.rint(x / grid) * grid).astype(dtype)
    packed = vantrel_tools.compress_to(x, **target, grid=grid)
    (tmp_path / "x.vtrl").write_bytes(packed)
    probe("decompress", tmp_path / "x.vtrl", tmp_path / "y.raw")
    y = np.fromfile(tmp_path / "y.raw", dtype=np.float32)
    np.testing.assert_array_equal(y.astype(x.dtype), vantrel_tools.decompress(packed))
