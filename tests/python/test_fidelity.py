"""Quality targets judged in the file the user gets back: recordings written by their own
libraries (edfio, wfdb, soundfile, h5py), compressed to a target, decompressed to the same format
and read back by those libraries (pyedflib for EDF/BDF), against the original physical values in
NumPy float64."""

import os
import re

import google_crc32c
import numpy as np
import pytest

import vantrel
from conftest import smooth
from vantrel_tools import compress_channels, decompress_channels
from vantrel_tools.cli import main
from vantrel_tools.core.codec import compress_to_target, decode, decompress, encode
from vantrel_tools.core.container import HEADER_SIZE, parse_header
from vantrel_tools.core.options import Options, Targeted
from vantrel_tools.core.target import QualityTarget
from vantrel_tools.core.trailer import About, DamagedContainerError, read_trailer
from vantrel_tools.io import encode_recording, read_signal
from vantrel_tools.io.types import SampleGrid
from vantrel_tools.store.archive import read_archive, write_archive

edfio = pytest.importorskip("edfio")
pyedflib = pytest.importorskip("pyedflib")
wfdb = pytest.importorskip("wfdb")
sf = pytest.importorskip("soundfile")
h5py = pytest.importorskip("h5py")
pytest.importorskip("zarr")

pytestmark = pytest.mark.filterwarnings("ignore:::wfdb.*", "ignore::UserWarning",
                                        "ignore::RuntimeWarning")


def wave(n, amplitude, seed):
    """A smooth signal with noise of about one step of the coarse grids below."""
    x = smooth(n, seed).astype(np.float64)
    return amplitude * x / np.abs(x).max() * 0.9


def write_edf(path, bdf=False):
    make, rec = (edfio.BdfSignal, edfio.Bdf) if bdf else (edfio.EdfSignal, edfio.Edf)
    rec([make(wave(5000, 150, 1), 250, label="EEG Fz", physical_dimension="uV",
              physical_range=(-200, 200), digital_range=(-2048, 2047)),
         make(wave(1000, 3, 2), 50, label="Resp", physical_range=(-4, 4),
              digital_range=(-700, 1100))]).write(path)
    with open(path, "r+b") as f:  # Resp's polarity flipped: physical minimum 4, maximum -4
        f.seek(256 + 2 * 104 + 8)
        f.write(b"4       ")
        f.seek(256 + 2 * 112 + 8)
        f.write(b"-4      ")


def read_edf(path):
    with pyedflib.EdfReader(path) as r:
        return [r.readSignal(k) for k in range(r.signals_in_file)]


def write_wfdb(path):
    folder, name = os.path.split(path[: -len(".hea")])
    wfdb.wrsamp(name, fs=360, units=["mV", "mV"], sig_name=["MLII", "V5"], write_dir=folder,
                p_signal=np.stack([wave(4000, 2.0, 3), wave(4000, 0.8, 4)], axis=1),
                fmt=["16", "212"], adc_gain=[200.0, 100.0], baseline=[0, 10])


def read_wfdb(path):
    record = wfdb.rdrecord(path[: -len(".hea")])
    return list(record.p_signal.T)


def write_wav(path):
    sf.write(path, np.stack([wave(6000, 0.01, 5), wave(6000, 0.02, 6)], axis=1), 44100,
             subtype="PCM_16")


def read_wav(path):
    return list(sf.read(path, dtype="float64", always_2d=True)[0].T)


def write_h5(path, dtype):
    with h5py.File(path, "w") as f:
        f["data"] = np.rint(wave(5000, 300, 7)).astype(dtype)


def read_h5(path):
    with h5py.File(path, "r") as f:  # the one dataset, wherever it went
        (name,) = f.keys()
        return [f[name][:].astype(np.float64)]


def h5_kind(path):
    with h5py.File(path, "r") as f:
        return [node.dtype for node in f.values()]


def edf_kind(path):
    with pyedflib.EdfReader(path) as r:
        return (r.getSignalLabels(), list(r.getSampleFrequencies()),
                [r.getPhysicalDimension(k) for k in range(r.signals_in_file)])


def wfdb_kind(path):
    h = wfdb.rdheader(path[: -len(".hea")])
    return h.fs, h.sig_name, h.units, h.fmt, h.adc_gain, h.baseline


def wav_kind(path):
    info = sf.info(path)
    return info.samplerate, info.subtype


FORMATS = {  # suffix, writer, reader of physical values, what else the file must keep
    "edf": ("edf", write_edf, read_edf, edf_kind),
    "bdf": ("bdf", lambda p: write_edf(p, bdf=True), read_edf, edf_kind),
    "wfdb": ("hea", write_wfdb, read_wfdb, wfdb_kind),
    "wav": ("wav", write_wav, read_wav, wav_kind),
    "h5": ("h5", lambda p: write_h5(p, np.int16), read_h5, h5_kind),
    "h5 int64": ("h5", lambda p: write_h5(p, np.int64), read_h5, h5_kind),
}
# Targets in terms of each channel's range, near the grids' own steps (a few codes).
TARGETS = [("psnr", 60.0), ("prd", 1.0), ("rmse", 4e-4), ("max_error", 2e-3)]


def measured(x, y):
    e = y - x
    rmse = np.sqrt(np.mean(e * e))
    return {"psnr": 20 * np.log10(np.ptp(x) / rmse) if rmse else np.inf,
            "prd": 100 * np.linalg.norm(e) / np.linalg.norm(x), "rmse": rmse,
            "max_error": np.abs(e).max()}


def holds(metric, goal, value):
    return value >= goal if metric == "psnr" else value <= goal


def cli(*args):
    assert main([*args, "-q"]) == 0


@pytest.mark.parametrize("metric,value", TARGETS)
@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("route", ["archive", "container", "python archive", "python channels",
                                   "float file"])
def test_target_holds_in_the_file_written_back(tmp_path, fmt, metric, value, route):
    suffix, write, read, kind = FORMATS[fmt]
    source, back = str(tmp_path / f"a.{suffix}"), str(tmp_path / "back" / f"b.{suffix}")
    write(source)
    originals = read(source)
    # One target for the whole recording: the channel with the smallest range sets it.
    goal = value if metric in ("psnr", "prd") else value * min(np.ptp(x) for x in originals)
    flag = f"--{metric.replace('_', '-')}"
    if route == "archive":
        cli("compress", source, "-o", str(tmp_path / "a.zarr"), flag, str(goal))
        cli("decompress", str(tmp_path / "a.zarr"), "-o", back)
    elif route.startswith("python"):
        signal = read_signal(source)
        if route == "python archive":
            write_archive(str(tmp_path / "a.zarr"), signal, None,
                          Targeted(QualityTarget(metric, goal)))
            signal = read_archive(str(tmp_path / "a.zarr")).signal
        else:
            signal.channels = decompress_channels(compress_channels(
                signal.channels, grid=[i.grid for i in signal.info], **{metric: goal}))
        os.mkdir(tmp_path / "back")
        for path, data in encode_recording(back, signal).files.items():
            with open(path, "wb") as f:
                f.write(data)
    else:
        cli("compress", source, "-o", str(tmp_path / "c"), flag, str(goal))
        containers = sorted(str(p) for p in (tmp_path / "c").iterdir())
        if route == "float file":  # the first channel alone, to a format of floats
            containers, originals = containers[:1], originals[:1]
            back = back[: -len(suffix)] + "npy"
        cli("decompress", *containers, "-o", back)
    written = [np.load(back)] if back.endswith(".npy") else read(back)
    if route != "float file":  # rates, labels, units, sample types: a file of the same kind
        assert kind(back) == kind(source)
    for x, y in zip(originals, written, strict=True):
        reached = measured(x, y)[metric]
        assert holds(metric, goal, reached), f"{metric} {reached} misses {goal}"


def with_gaps(n=6000):
    """Three quarters missing, as a recording that stopped early; infinities too."""
    x = wave(n, 5.0, 8) + np.random.default_rng(8).normal(0, 0.05, n)
    x[n // 4 :], x[10:13] = np.nan, np.inf
    return x


CASES = {
    "gaps": with_gaps,
    "constant 0.1": lambda n=6000: np.full(n, 0.1),  # not exact in float32
    "constant -3e7": lambda n=6000: np.full(n, -3e7 - 1 / 3),
    "flat with gaps": lambda n=6000: np.where(np.arange(n) % 7 == 0, np.nan, 0.1),
}


@pytest.mark.parametrize("metric,value", TARGETS)
@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("route", ["python", "cli"])
def test_target_holds_on_the_samples_that_exist(tmp_path, route, case, metric, value):
    x = CASES[case]()
    finite = np.isfinite(x)
    scale = np.ptp(x[finite]) or np.abs(x[finite]).max()
    goal = value if metric in ("psnr", "prd") else value * scale
    if route == "python":
        found = compress_to_target(x, QualityTarget(metric, goal))
        y = decompress(found.container)
        reported = getattr(found.achieved, "max_err" if metric == "max_error" else metric)
    else:  # beside a channel without anything odd: one odd channel must not fail the recording
        np.save(tmp_path / "in.npy", np.stack([x, wave(x.size, 1.0, 9)]))
        cli("compress", str(tmp_path / "in.npy"), "--channels-first", "-o", str(tmp_path / "c"),
            f"--{metric.replace('_', '-')}", str(goal))
        cli("decompress", str(tmp_path / "c" / "in.ch0.vtrl"), "-o", str(tmp_path / "b.npy"))
        y = np.load(tmp_path / "b.npy")
        reported = read_trailer((tmp_path / "c" / "in.ch0.vtrl").read_bytes()).about.quality[
            "reached"]
    np.testing.assert_array_equal(y[~finite], x[~finite].astype(np.float32))
    reached = measured(x[finite], y[finite].astype(np.float64))[metric]
    if np.ptp(x[finite]) == 0 and metric == "psnr":  # no range: every PSNR target is met
        assert np.isnan(reported) or reported == np.inf
    else:
        assert holds(metric, goal, reached) and reported == pytest.approx(reached, rel=1e-9)


def test_info_reports_what_the_file_written_back_reaches(tmp_path, capsys):
    source = str(tmp_path / "a.edf")
    write_edf(source)
    cli("compress", source, "-o", str(tmp_path / "a.zarr"), "--psnr", "55")
    cli("compress", source, "-o", str(tmp_path / "c"), "--psnr", "55")
    cli("decompress", str(tmp_path / "a.zarr"), "-o", str(tmp_path / "b.edf"))
    capsys.readouterr()
    assert main(["info", str(tmp_path / "a.zarr"), "--original", source]) == 0
    shown = [float(v) for v in re.findall(r"PSNR ([\d.]+) dB", capsys.readouterr().out)]
    want = [measured(x, y)["psnr"] for x, y in zip(read_edf(source),
                                                   read_edf(str(tmp_path / "b.edf")), strict=True)]
    assert shown == pytest.approx(want, abs=1e-3)
    assert main(["info", str(tmp_path / "c" / "a.ch1.vtrl")]) == 0
    rows = dict(line.split(None, 1) for line in capsys.readouterr().out.splitlines())
    assert rows["target"].startswith("psnr >= 55 dB asked") and "not used" in rows["scale"]
    assert rows["signal"] == "50 Hz 'Resp' from edf" and rows["grid"].startswith("codes -700 to 1100")


def hand_sealed(body):
    """A container whose trailer holds empty gaps and a signal section of `body`, built from the
    trailer's documented layout."""
    x = wave(300, 1.0, 10).astype(np.float32)
    plain = bytearray(vantrel.compress_signal(x))
    plain[15] |= 1
    sections = bytes([1]) + (4).to_bytes(4, "little") + bytes(4)
    sections += bytes([2]) + len(body).to_bytes(4, "little") + body
    length = 12 + len(sections) + 4
    data = bytes(plain) + b"VTRT" + bytes([1, 0, 0, 0]) + length.to_bytes(4, "little") + sections
    return data + google_crc32c.value(data).to_bytes(4, "little"), x


@pytest.mark.parametrize("body,rate", [
    (b'{"rate": 250, "a later key": [1]}', 250.0),
    (b'{"quality": {"metric": "psnr", "value": 60, "reached": "inf"}}', None),
    (b"not json", "damaged"), (b"[250]", "damaged"), (b'{"rate": "fast"}', "damaged"),
    (b'{"rate": NaN}', "damaged"), (b'{"rate": -1}', "damaged"),
    (b'{"digital_range": [0, 1, 2]}', "damaged"), (b'{"digital_range": [0, 2e47]}', "damaged"),
    (b'{"sample": true}', "damaged"),
    (b'{"quality": {"reached": [60]}}', "damaged"), (b"\xff{}", "damaged"),
])
def test_signal_section_read_or_refused(body, rate):
    data, x = hand_sealed(body)
    assert np.array_equal(vantrel.decompress_signal(data), vantrel.decompress_signal(
        vantrel.compress_signal(x)))  # the standard decoder ignores the trailer
    if rate == "damaged":
        with pytest.raises(DamagedContainerError, match="signal section"):
            decode(data)
    else:
        assert decode(data)[1].rate == rate


def test_eval_measures_the_samples_that_exist(tmp_path, capsys):
    x = with_gaps()
    np.save(tmp_path / "g.npy", x)
    assert main(["eval", str(tmp_path / "g.npy"), "--scales", "8", "--targets", "60"]) == 0
    row = next(line for line in capsys.readouterr().out.splitlines() if line.startswith("target"))
    assert 60 <= float(row.split()[3]) < 60.5


def test_signal_section_written_for_any_metadata():
    about = About(rate=np.nan, physical_range=(np.nan, 1.0), extra={"gain": np.inf},
                  quality={"metric": "psnr", "value": 60.0, "reached": np.nan})
    back = decode(encode(np.ones(10), Options(), about=about))[1]
    assert (back.rate, back.physical_range, back.extra["gain"]) == (None, None, None)


def trailer_version(data):
    return data[parse_header(data).payload_len + HEADER_SIZE + 4]


GRIDDED = wave(4000, 3.0, 11)  # float64, not on any of the grids below
ROUNDED = np.round(GRIDDED, 2)


@pytest.mark.parametrize("x,target,grid,version,kept", [
    (GRIDDED, None, None, 1, None),
    (ROUNDED, ("psnr", 50), 0.01, 2,
     (0.01, 0.0, float(np.rint(ROUNDED.min() * 100)), float(np.rint(ROUNDED.max() * 100)))),
    # An EDF channel of flipped polarity: kept as its mirror, with a positive step.
    (GRIDDED, ("max_error", 0.01), SampleGrid(-0.004, 0.5, -2048, 2047), 2,
     (0.004, 0.5, -2047.0, 2048.0)),
])
def test_one_grid_section_for_declared_steps_and_format_grids(x, target, grid, version, kept):
    about = About(rate=250.0)
    data = (encode(x, Options(), about=about) if target is None else
            compress_to_target(x, QualityTarget(*target), grid=grid, about=about).container)
    found = read_trailer(data)
    assert (trailer_version(data), found.grid, found.about.rate) == (version, kept, 250.0)
    if target is None:
        return
    y = decompress(data)  # the grid's values, in the samples' own precision
    codes = (y - kept[1]) / kept[0]
    assert y.dtype == np.float64 and np.abs(codes - np.rint(codes)).max() < 1e-6
    reached = measured(x, y)[target[0]]
    assert holds(*target, reached) and found.about.quality["reached"] == pytest.approx(reached)


def test_grid_option_other_than_the_files_own_is_refused(tmp_path, capsys):
    write_wav(str(tmp_path / "a.wav"))
    assert main(["compress", str(tmp_path / "a.wav"), "-o", str(tmp_path / "c"), "--max-error",
                 "0", "--grid", "0.5", "-q"]) == 2
    assert "--grid 0.5 is not the file's own grid" in capsys.readouterr().err
    cli("compress", str(tmp_path / "a.wav"), "-o", str(tmp_path / "c"), "--max-error", "0",
        "--grid", str(2.0**-15))
    cli("decompress", *sorted(str(p) for p in (tmp_path / "c").iterdir()), "-o",
        str(tmp_path / "b.wav"))
    assert np.array_equal(sf.read(tmp_path / "b.wav", dtype="int16")[0],
                          sf.read(tmp_path / "a.wav", dtype="int16")[0])
