"""The correction layer through the package: largest-error targets hold on what decompress returns
(NumPy float64 oracles), integer samples come back as their type and exactly at max_error=0, and
a trailer that holds a correction is refused where it cannot be applied."""

import re
import struct

import google_crc32c
import numpy as np
import pytest

import vantrel
import vantrel_tools
from vantrel_tools.cli import main
from vantrel_tools.core.codec import compress_to_target
from vantrel_tools.core.container import HEADER_SIZE, parse_header
from vantrel_tools.core.target import QualityTarget

RNG = np.random.default_rng(29)
N = 6000
T = np.arange(N)
WALK = np.cumsum(RNG.normal(size=N))
BEATS = 0.3 * np.sin(0.013 * T) + 1.5 * np.exp(-0.5 * ((T % 180) - 90.0) ** 2 / 6.0)


def with_gaps(x):
    x = x.copy()
    x[100:130], x[4000] = np.nan, np.inf
    return x


FLOAT_SIGNALS = {
    "walk f64": WALK,
    "beats+noise f32": (BEATS + RNG.normal(0, 0.02, N)).astype(np.float32),
    "noise f64": RNG.normal(0, 1, N),
    "gaps f32": with_gaps(BEATS).astype(np.float32),
    "0.01 grid f64": np.round(BEATS * 100) / 100,  # a grid found without being told
    "0.01 grid f32 gaps": with_gaps(np.round(BEATS * 100) / 100).astype(np.float32),
}


def span(x):
    finite = x[np.isfinite(x)].astype(np.float64)
    return finite.max() - finite.min()


@pytest.mark.parametrize("bits", [6, 10, 14, 18])
@pytest.mark.parametrize("name", FLOAT_SIGNALS)
def test_max_error_holds_on_what_decompress_returns(name, bits):
    x = FLOAT_SIGNALS[name]
    bound = span(x) / 2**bits
    found = compress_to_target(x, QualityTarget("max_error", bound))
    y = vantrel_tools.decompress(found.container)
    finite = np.isfinite(x)
    assert y.dtype == np.float32 and np.array_equal(~finite, ~np.isfinite(y))
    np.testing.assert_array_equal(y[~finite], x[~finite])
    err = np.abs(y[finite].astype(np.float64) - x[finite].astype(np.float64))
    assert err.max() <= bound
    assert found.achieved.max_err == pytest.approx(err.max(), rel=1e-12, abs=1e-300)
    # A decoder that ignores the trailer gets the base, of the quality reported for it.
    base = vantrel.decompress_signal(found.container).astype(np.float64)[finite]
    base_err = np.abs(base - x[finite].astype(np.float64)).max()
    if found.base_achieved is None:
        assert base_err == err.max()
    else:
        assert found.base_achieved.max_err == pytest.approx(base_err, rel=1e-12)


def test_the_layer_serves_largest_errors_only():
    x = FLOAT_SIGNALS["noise f64"]
    tight = compress_to_target(x, QualityTarget("max_error", span(x) / 2**14))
    assert tight.base_achieved is not None and tight.base_achieved.max_err > span(x) / 2**14
    for metric, value in [("psnr", 80.0), ("prd", 0.5), ("rmse", 1e-3)]:
        assert compress_to_target(x, QualityTarget(metric, value)).base_achieved is None


INT_TYPES = ["int8", "int16", "int32", "uint8", "uint16"]


def codes(dtype):
    info = np.iinfo(dtype)
    lo, hi = max(info.min, -(2**24)), min(info.max, 2**24)
    mid, half = (lo + hi) / 2, (hi - lo) / 2
    x = mid + half * (0.8 * np.sin(T / 50.0) + 0.15 * RNG.uniform(-1, 1, N))
    x[:3] = lo, hi, lo  # the extremes of the type survive rounding and clipping
    return np.clip(np.rint(x), lo, hi).astype(dtype)


@pytest.mark.parametrize("target", [{"max_error": 0}, {"max_error": 3}, {"psnr": 50}, None])
@pytest.mark.parametrize("dtype", INT_TYPES)
def test_integers_come_back_as_their_type_within_the_target(dtype, target):
    x = codes(dtype)
    if target is None:
        packed = vantrel_tools.compress(x, scale=9)
    else:  # through the channels, each byte for byte what compress_to makes
        packed = vantrel_tools.compress_channels([x], **target)[0]
    y = vantrel_tools.decompress(packed)
    assert y.dtype == np.dtype(dtype) and y.shape == x.shape
    err = y.astype(np.float64) - x
    if target and "max_error" in target:
        assert np.abs(err).max() <= target["max_error"]
        found = compress_to_target(x, QualityTarget("max_error", target["max_error"]))
        back = vantrel_tools.decompress(found.container).astype(np.float64)
        assert found.achieved.max_err == np.abs(back - x).max()
    elif target:
        assert 20 * np.log10(span(x.astype(np.float64)) / np.sqrt(np.mean(err**2))) >= 50


@pytest.mark.parametrize("data, text", [
    (np.array([0, 2**24 + 1], np.int32), "sample 1 is 16777217, outside float32's exact integers"),
    (np.array([-(2**31)], np.int32), "sample 0 is -2147483648, outside"),
    (np.arange(4), "expected a 1-D float32 or float64 NumPy array, or integers of int8, int16, "
                   "int32, uint8, uint16; got int64"),
    (np.arange(4, dtype=np.uint32), "got uint32"),
])
def test_integers_the_coder_cannot_hold_are_refused(data, text):
    for call in (vantrel_tools.compress, lambda d: vantrel_tools.compress_to(d, max_error=0)):
        with pytest.raises(ValueError, match=re.escape(text)):
            call(data)


EMPTY_RUNS = np.zeros(0, dtype=[("start", "<u8"), ("length", "<u8"), ("kind", "u1")])


def test_int32_samples_past_the_type_are_clamped_to_it():
    packed = vantrel_tools.core.trailer.seal(
        bytes(vantrel.compress_signal(np.array([3e9, -3e9, 5.0, 7.0], np.float32))), EMPTY_RUNS,
        sample_type="int32")
    y = vantrel_tools.decompress(packed)
    assert y.dtype == np.int32 and (y[0], y[1]) == (2**31 - 1, -2**31)


def test_an_integer_sample_that_decodes_to_nan_is_refused(monkeypatch):
    packed = vantrel_tools.core.trailer.seal(
        bytes(vantrel.compress_signal(np.arange(16, dtype=np.float32))), EMPTY_RUNS,
        sample_type="int16")
    # A base the checksum cannot vouch for: the base decoder's own output, one sample made NaN.
    decode_base = vantrel_tools.core.codec._native.decompress

    def with_nan(data):
        out = bytearray(decode_base(data))
        out[8:12] = np.float32(np.nan).tobytes()
        return out

    monkeypatch.setattr(vantrel_tools.core.codec._native, "decompress", with_nan)
    with pytest.raises(ValueError, match="an integer sample decodes to NaN"):
        vantrel_tools.decompress(packed)


@pytest.mark.parametrize("packed, version", [
    (lambda: vantrel_tools.compress(WALK), 1),
    (lambda: vantrel_tools.compress(np.arange(9, dtype=np.uint8)), 2),  # rounded to integers
    (lambda: vantrel_tools.compress_to(np.round(WALK, 1), psnr=40, grid=0.1), 2),  # to the grid
])
def test_trailers_a_reader_must_apply_are_version_2(packed, version):
    data = packed()
    assert data[sections(data)[0] + 4] == version


def refined():
    x = FLOAT_SIGNALS["noise f64"]
    found = compress_to_target(x, QualityTarget("max_error", span(x) / 2**14))
    assert found.base_achieved is not None
    return bytearray(found.container)


def sections(data):
    """(offset of the trailer, {tag: offset of its body})."""
    end = HEADER_SIZE + parse_header(bytes(data)).payload_len
    pos, found = end + 12, {}
    while pos < len(data) - 4:
        tag, size = struct.unpack_from("<BI", data, pos)
        found[tag] = pos + 5
        pos += 5 + size
    return end, found


def resealed(data):
    data[-4:] = google_crc32c.value(bytes(data[:-4])).to_bytes(4, "little")
    return bytes(data)


def edit(field, value):
    def apply(data):
        end, body = sections(data)
        at = {"version": end + 4, "kind": body[3], "count": body[3] + 4,
              "bins": body[3] + 40}[field]
        data[at] = value
        return resealed(data)
    return apply


def cut_stream(data):
    end, body = sections(data)
    size = len(data) - 4 - body[3]
    struct.pack_into("<I", data, body[3] - 4, size - 2)
    struct.pack_into("<I", data, end + 8, len(data) - end - 2)
    del data[-6:-4]
    return resealed(data)


@pytest.mark.parametrize("change, error", [
    (edit("version", 3), "trailer version 3 is newer than this reader (2)"),
    (edit("kind", 9), "refinement section's quantisation is of an unknown kind"),
    (edit("count", 7), "refinement section's sample count disagrees"),
    (edit("bins", 2), "refinement section's quantisation is invalid"),  # codes per bin off a grid
    (cut_stream, "container is damaged or truncated"),
])
def test_a_correction_that_cannot_be_applied_is_refused(change, error):
    data = refined()
    assert data[sections(data)[0] + 4] == 2
    with pytest.raises(ValueError, match=re.escape(error)):
        vantrel_tools.decompress(change(data))


def test_a_grid_whose_top_value_overflows_is_refused():
    found = compress_to_target(np.arange(64.0) * 0.5, QualityTarget("max_error", 0.25), grid=0.5)
    data = bytearray(found.container)
    struct.pack_into("<4d", data, sections(data)[1][5], 1e300, 0.0, -1.0, 1e10)
    with pytest.raises(ValueError, match="the grid section holds no grid"):
        vantrel_tools.decompress(resealed(data))


STEPS = np.cumsum(RNG.integers(-3, 4, N))  # codes of a slow random walk


@pytest.mark.parametrize("steps_off", [0, 1, 2.5])
@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_a_declared_grid_returns_its_multiples_within_the_bound(dtype, steps_off):
    step = 0.01
    # float32 samples are the float32 nearest the multiples; float64 ones rounded to decimals
    x = (STEPS * step).astype(np.float32) if dtype == "float32" else np.round(STEPS * step, 2)
    x[50:60] = np.nan
    found = compress_to_target(x, QualityTarget("max_error", steps_off * step), grid=step)
    y = vantrel_tools.decompress(found.container)
    assert y.dtype == np.dtype(dtype) and np.isnan(y[50:60]).all()
    finite = np.isfinite(x)
    codes = np.rint(y[finite].astype(np.float64) / step)
    np.testing.assert_array_equal(y[finite], (codes * step).astype(dtype))  # on the grid
    assert np.abs(codes - STEPS[finite]).max() <= steps_off
    margin = 0.0 if dtype == "float32" else 2.0**-50 * step * np.abs(STEPS).max()
    assert np.abs(y[finite].astype(np.float64) - x[finite]).max() <= steps_off * step + margin
    assert found.achieved.max_err <= steps_off * step + margin


@pytest.mark.parametrize("call, error, text", [
    (lambda: vantrel_tools.compress_to(np.array([0.0, 0.02, 0.035]), max_error=0, grid=0.01),
     ValueError, "sample 2 (0.035) is not a whole multiple of the grid step 0.01"),
    (lambda: vantrel_tools.compress_to(np.float32([0.1, 0.3]) * np.float32(1.0001), max_error=0,
                                       grid=0.1), ValueError, "sample 0 (0.10001"),
    (lambda: vantrel_tools.compress_to(np.arange(4.0), max_error=0, grid=-1.0), ValueError,
     "grid must be a positive finite step, not -1.0"),
    (lambda: vantrel_tools.compress_to(np.arange(4, dtype=np.int16), psnr=40, grid=1.0),
     ValueError, "grid is for float samples"),
    (lambda: vantrel_tools.compress_channels([np.arange(4.0)], grid=1.0), ValueError,
     "grid goes with a quality target"),
    (lambda: vantrel_tools.compress_to(np.arange(4.0), max_error=0, grid="1"), TypeError,
     "grid must be a step or a grid of codes, not str"),
])
def test_a_grid_the_samples_are_not_on_is_refused(call, error, text):
    with pytest.raises(error, match=re.escape(text)):
        call()


def test_command_line_grid_and_info_of_base_and_correction(tmp_path, capsys):
    src = tmp_path / "g.npy"
    x = (STEPS * 0.01).astype(np.float32)
    np.save(src, x)
    out = tmp_path / "g.vtrl"
    assert main(["compress", str(src), "--max-error", "0", "--grid", "0.01", "-q",
                 "-o", str(out)]) == 0
    assert main(["decompress", str(out), "-o", str(tmp_path / "y.npy"), "-q"]) == 0
    np.testing.assert_array_equal(np.load(tmp_path / "y.npy"), x)
    assert main(["info", str(out), "--original", str(src)]) == 0
    rows = dict(line.split(None, 1) for line in capsys.readouterr().out.splitlines()
                if line.split(None, 1)[0] in ("quality", "grid", "correction"))
    assert "max error 0\n" in rows["quality"] + "\n" and "(lossless)" in rows["correction"]
    assert "step 0.01," in rows["grid"]
    for args, text in [(["--scale", "9", "--grid", "0.01"], "--grid goes with a quality target"),
                       (["--psnr", "50", "--grid", "0.03"], "is not a whole multiple of the grid"),
                       (["--psnr", "50", "--grid", "0.01", "-o", str(tmp_path / "a.zarr")],
                        "--grid is not kept in archives")]:
        assert main(["compress", str(src), "-f", *args]) == 2
        assert text in capsys.readouterr().err
