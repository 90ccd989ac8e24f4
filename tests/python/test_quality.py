"""Quality targets: compress_to, the CLI's target flags and the codecs' target keys."""

import numpy as np
import pytest

import vantrel
from vantrel_tools import compress_to, decompress
from vantrel_tools.cli import main
from vantrel_tools.metrics import distortion
from vantrel_tools.numcodecs_codec import Vantrel
from vantrel_tools.core.codec import compress_to_target
from vantrel_tools.core.target import QualityTarget
from vantrel_tools.zarr3_codec import VantrelCodec

RNG = np.random.default_rng(3)
SIGNAL = (np.sin(np.arange(6000) * 0.02) * 5 + RNG.normal(0, 0.05, 6000) + 10).astype(np.float64)


def met(name, value, d):
    return {"psnr": d.psnr >= value, "prd": d.prd <= value, "rmse": d.rmse <= value,
            "max_error": d.max_err <= value}[name]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("name, value, method", [
    ("psnr", 70.0, None), ("prd", 0.1, "cdf97"), ("rmse", 0.002, "db4"),
    ("max_error", 0.003, None),
])
def test_decoded_signal_meets_the_target(dtype, name, value, method):
    x = SIGNAL.astype(dtype)
    found = compress_to_target(x, QualityTarget(name, value), method)
    y = decompress(found.container)  # the base plus its correction layer, when it has one
    d = distortion(x, y)  # against the float64 values when given float64
    assert met(name, value, d)
    assert d.max_err == found.achieved.max_err
    assert method is None or found.method == method
    assert compress_to(x, **{name: value}, method=method) == found.container
    if name == "psnr":
        assert d.psnr < value + 0.25


def test_gaps_come_back_and_the_rest_meets_the_target():
    x = SIGNAL.astype(np.float32)
    x[100:110] = np.nan
    y = decompress(compress_to(x, max_error=0.01))
    assert np.isnan(y[100:110]).all()
    finite = np.isfinite(x)
    assert distortion(x[finite], y[finite]).max_err <= 0.01


@pytest.mark.parametrize("kwargs, error, text", [
    ({}, ValueError, "exactly one quality target"),
    ({"psnr": 60, "prd": 1}, ValueError, "got psnr, prd"),
    ({"rmse": -1.0}, ValueError, "^rmse must be finite and not negative"),
    ({"psnr": float("nan")}, ValueError, "must be finite"),
    ({"psnr": True}, TypeError, "must be a number"),
    ({"psnr": 60, "method": "haar"}, ValueError, "method must be one of"),
    ({"max_error": 0.0}, ValueError, "the closest one reaches max_error"),
])
def test_refusals(kwargs, error, text):
    with pytest.raises(error, match=text):
        compress_to(SIGNAL, **kwargs)


def test_cli_target_and_info_quality(tmp_path, capsys):
    src = tmp_path / "x.npy"
    np.save(src, SIGNAL.astype(np.float32))
    assert main(["compress", str(src), "--prd", "0.2", "-q"]) == 0
    assert main(["info", str(tmp_path / "x.vtrl"), "--original", str(src)]) == 0
    out = capsys.readouterr().out
    prd = float(out.split("PRD ")[1].split(" %")[0])
    assert prd <= 0.2
    assert "step " in out
    assert main(["compress", str(src), "--psnr", "60", "--multiplier", "9", "-f"]) == 2
    assert "--multiplier cannot be combined" in capsys.readouterr().err


def test_codecs_carry_the_target_in_their_configuration():
    codec = Vantrel(max_error=0.004, method="sym4")
    restored = Vantrel(**{k: v for k, v in codec.get_config().items() if k != "id"})
    chunk = SIGNAL.astype(np.float32)
    assert restored.encode(chunk) == compress_to(chunk, max_error=0.004, method="sym4")
    zarr_codec = VantrelCodec(psnr=65.0)
    assert VantrelCodec.from_dict(zarr_codec.to_dict()) == zarr_codec
    with pytest.raises(ValueError, match="cannot be combined"):
        Vantrel(psnr=60, coder="deflate")


def test_archive_channels_meet_the_target(tmp_path):
    from vantrel_tools.store.archive import read_archive

    src, store = tmp_path / "two.npy", str(tmp_path / "two.zarr")
    np.save(src, np.stack([SIGNAL, SIGNAL[::-1] * 2], axis=1).astype(np.float32))
    assert main(["compress", str(src), "-o", store, "--max-error", "0.01", "-q"]) == 0
    archive = read_archive(store)
    assert archive.codec["max_error"] == 0.01
    for k, channel in enumerate(archive.signal.channels):
        original = np.load(src)[:, k]
        assert np.max(np.abs(channel - original)) <= 0.01


def test_channels_coded_to_a_target_on_threads():
    from vantrel_tools import compress_channels

    leads = np.stack([SIGNAL, SIGNAL[::-1]])
    assert compress_channels(leads, prd=0.5, threads=2) == [compress_to(x, prd=0.5) for x in leads]
    with pytest.raises(ValueError, match="cannot be combined"):
        compress_channels(leads, vantrel.CompressionOptions(), psnr=60)
