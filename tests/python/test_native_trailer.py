"""The C++ trailer and C interface against the companion package's Python trailer: the same
sealed bytes for the same signal, the same gaps restored, the same refusals; CRC-32C against
google_crc32c. Driven through the trailer_probe tool (VANTREL_TEST_TOOLS)."""

import os
import subprocess

import google_crc32c
import numpy as np
import pytest

import vantrel_tools
from vantrel_tools.trailer import DamagedContainerError

TOOLS = os.environ.get("VANTREL_TEST_TOOLS")
if not TOOLS:
    pytest.skip("VANTREL_TEST_TOOLS is not set; point it at the directory holding trailer_probe "
                "(e.g. build/<dir>/tests/cpp)", allow_module_level=True)
PROBE = os.path.join(TOOLS, "trailer_probe")
if not os.access(PROBE, os.X_OK):
    pytest.skip(f"{PROBE} is not an executable; build the C++ test tools first",
                allow_module_level=True)

NAN, INF = np.nan, np.inf
OPTIONS = {"method": ("cdf53", "cdf97", "db4", "sym4"), "cutoff": ("low", "medium", "high"),
           "coder": ("deflate", "arans", "cmodel")}


def probe(*args, check=True):
    return subprocess.run([PROBE, *map(str, args)], capture_output=True, text=True, check=check)


def signal(kind, dtype):
    rng = np.random.default_rng(7)
    x = np.sin(np.arange(700) / 13.0) * 50 + rng.normal(0, 1, 700)
    if kind == "gaps":  # runs of every kind, at both ends and side by side
        x[:3] = NAN
        x[40:45], x[45:47], x[200] = INF, -INF, NAN
        x[-5:] = -INF
    elif kind == "one finite":
        x[:] = NAN
        x[350] = 2.5
    elif kind == "no finite":
        x[:] = INF
    elif kind == "huge steps":  # interpolation between neighbours far apart in value
        x[100:300] = NAN
        x[99], x[300] = -1.7e30, 3.1e30
    return x.astype(dtype)


class TestSameBytesAsPython:
    @pytest.mark.parametrize("dtype", ["float32", "float64"])
    @pytest.mark.parametrize("kind", ["finite", "gaps", "one finite", "no finite", "huge steps"])
    def test_sealed_containers(self, tmp_path, kind, dtype):
        x = signal(kind, dtype)
        raw, out = tmp_path / "x.raw", tmp_path / "x.vtrl"
        x.tofile(raw)
        probe("compress", "f4" if dtype == "float32" else "f8", raw, out)
        assert out.read_bytes() == vantrel_tools.compress(x)

    @pytest.mark.parametrize("method, scale, cutoff, coder",
                             [("cdf53", 6, "high", "deflate"), ("sym4", 12, "medium", "arans"),
                              ("db4", 9, "low", "cmodel")])
    def test_options(self, tmp_path, method, scale, cutoff, coder):
        x = signal("gaps", "float32")
        raw, out = tmp_path / "x.raw", tmp_path / "x.vtrl"
        x.tofile(raw)
        codes = [OPTIONS["method"].index(method), scale, OPTIONS["cutoff"].index(cutoff),
                 OPTIONS["coder"].index(coder)]
        probe("compress", "f4", raw, out, *codes)
        expected = vantrel_tools.compress(x, method=method, scale=scale, cutoff=cutoff, coder=coder)
        assert out.read_bytes() == expected


class TestReadsPythonContainers:
    def test_gaps_restored(self, tmp_path):
        x = signal("gaps", "float32")
        packed, out = tmp_path / "x.vtrl", tmp_path / "y.raw"
        packed.write_bytes(vantrel_tools.compress(x))
        probe("decompress", packed, out)
        y = np.fromfile(out, dtype=np.float32)
        np.testing.assert_array_equal(y, vantrel_tools.decompress(packed.read_bytes()))
        np.testing.assert_array_equal(np.isnan(y), np.isnan(x))

    @pytest.mark.parametrize("change", ["flip payload", "flip trailer", "cut", "newer version"])
    def test_same_refusals(self, tmp_path, change):
        data = bytearray(vantrel_tools.compress(signal("gaps", "float32")))
        if change == "flip payload":
            data[60] ^= 1
        elif change == "flip trailer":
            data[-10] ^= 0x80
        elif change == "cut":
            data = data[:-3]
        else:  # a later version with a valid checksum
            start = len(data) - (25 + 9 * 5)  # five runs
            data[start + 4] = 2
            data[-4:] = google_crc32c.value(bytes(data[:-4])).to_bytes(4, "little")
        packed = tmp_path / "x.vtrl"
        packed.write_bytes(bytes(data))
        with pytest.raises(ValueError) as python_error:
            vantrel_tools.decompress(bytes(data))
        assert (change == "newer version") != isinstance(python_error.value, DamagedContainerError)
        result = probe("decompress", packed, tmp_path / "y.raw", check=False)
        assert result.returncode == 1
        assert result.stderr.strip() == str(python_error.value)


@pytest.mark.parametrize("size", [0, 1, 7, 8, 9, 63, 64, 1000, 4099])
def test_crc32c_every_path(tmp_path, size):
    data = np.random.default_rng(size).integers(0, 256, size, dtype=np.uint8).tobytes()
    (tmp_path / "d").write_bytes(data)
    lines = probe("crc", tmp_path / "d").stdout.split()
    values = dict(zip(lines[::2], lines[1::2]))
    assert "table" in values
    for value in values.values():
        assert int(value, 16) == google_crc32c.value(data)
