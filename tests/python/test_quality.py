"""Quality targets: compress_to, the CLI's target flags and the codecs' target keys."""

import re

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


# --- every reported figure against NumPy's float64 computation from the definitions ------------


def _ecg_like(n=20000, fs=360.0):
    """Beats at 72 per minute (a sharp R wave between small Q and T waves) on a wandering
    baseline, in mV."""
    t = np.arange(n) / fs
    phase = (1.2 * t) % 1.0
    beats = sum(a * np.exp(-(((phase - c) / w) ** 2))
                for a, c, w in [(-0.15, 0.27, 0.01), (1.2, 0.3, 0.012), (0.3, 0.6, 0.04)])
    return beats + 0.1 * np.sin(2 * np.pi * 0.3 * t) + 0.01 * RNG.standard_normal(n)


def _gapped():
    x = (3 * np.sin(np.arange(12000) * 0.01) + RNG.normal(0, 0.02, 12000)).astype(np.float32)
    x[3000:3400] = np.nan
    x[[0, 9000]] = (np.inf, -np.inf)
    return x


FIGURES = ("psnr", "prd", "rmse", "max_error")
ORACLE_SIGNALS = {
    "sine+noise": lambda: SIGNAL.astype(np.float32),
    "ecg-like": _ecg_like,
    # Piecewise constant, 400 samples a level: the errors gather at the edges.
    "steps": lambda: np.repeat(RNG.integers(-50, 50, 40), 400) * 0.1,
    "gaps": _gapped,
}


def numpy_figures(x, y):
    """(psnr, prd, rmse, max_error) of y against the finite samples of x, in float64."""
    keep = np.isfinite(x)
    x = np.asarray(x, np.float64)[keep]
    e = np.asarray(y, np.float64)[keep] - x
    rmse = np.sqrt(np.mean(e**2))
    return (20 * np.log10((x.max() - x.min()) / rmse), 100 * np.sqrt(np.sum(e**2) / np.sum(x**2)),
            rmse, np.max(np.abs(e)))


@pytest.mark.parametrize("signal, metric, value, method", [
    ("sine+noise", "psnr", 65.0, None), ("sine+noise", "rmse", 0.003, "db4"),
    ("ecg-like", "prd", 1.0, None), ("ecg-like", "max_error", 0.005, "cdf97"),
    ("steps", "max_error", 0.02, None), ("steps", "psnr", 55.0, "sym4"),
    ("gaps", "prd", 0.5, None), ("gaps", "rmse", 0.004, "cdf53"),
])
def test_reported_figures_match_numpy(tmp_path, capsys, signal, metric, value, method):
    x = ORACLE_SIGNALS[signal]()
    found = compress_to_target(x, QualityTarget(metric, value), method)
    y = decompress(found.container)
    truth = numpy_figures(x, y)
    reached = truth[FIGURES.index(metric)]
    assert reached >= value if metric == "psnr" else reached <= value
    np.testing.assert_allclose(
        [found.achieved.psnr, found.achieved.prd, found.achieved.rmse, found.achieved.max_err],
        truth, rtol=1e-9)
    finite = np.isfinite(x)
    d = distortion(x[finite], y[finite])
    np.testing.assert_allclose([d.psnr, d.prd, d.rmse, d.max_err], truth, rtol=1e-12)
    np.save(tmp_path / "x.npy", x)
    (tmp_path / "x.vtrl").write_bytes(found.container)
    assert main(["info", str(tmp_path / "x.vtrl"), "--original", str(tmp_path / "x.npy")]) == 0
    printed = re.search(r"PSNR (\S+) dB, PRD (\S+) %, RMSE (\S+), max error (\S+)",
                        capsys.readouterr().out)
    np.testing.assert_allclose([float(v) for v in printed.groups()], truth, rtol=6e-4)  # as printed


@pytest.mark.parametrize("x, target", [
    (np.zeros(3000), {"prd": 1.0}),  # no PRD without energy: met only by an exact copy
    (np.full(3000, np.nan), {"psnr": 60.0}),  # nothing measured
    (np.full(3000, 2.5, np.float32), {"psnr": 200.0}),  # constant: no peak to measure against
])
def test_targets_without_a_value_are_met_exactly(x, target):
    np.testing.assert_array_equal(decompress(compress_to(x, **target)), x.astype(np.float32))
