"""The format registry's contract: every registered format writes a file that its own library
reads back as the samples given, and that read_signal reads back the same way; archives open
with plain zarr."""

import numpy as np
import pytest

from conftest import smooth
from vantrel_tools.io import FORMATS, ChannelInfo, Signal, encode_recording, read_signal

pytestmark = pytest.mark.filterwarnings("ignore:::wfdb.*")


def _lib(name):
    return pytest.importorskip(name)


# Format -> (the format's own reader: path -> channels x samples, error allowed / range).
ORACLES = {
    "npy": (lambda p: np.load(p).T, 0),
    "csv": (lambda p: np.loadtxt(p, ndmin=2).T, 0),
    "f32": (lambda p: np.fromfile(p, "<f4")[None], 0),
    "edf": (lambda p: [s.data for s in _lib("edfio").read_edf(p).signals], 2e-5),
    # The 8-character header fields limit BDF's physical range, not its 24 bits.
    "bdf": (lambda p: [s.data for s in _lib("edfio").read_bdf(p).signals], 5e-6),
    "wfdb": (lambda p: _lib("wfdb").rdrecord(p[:-4]).p_signal.T, 2e-5),
    "wav": (lambda p: _lib("soundfile").read(p, always_2d=True)[0].T, 0),
    "flac": (lambda p: _lib("soundfile").read(p, always_2d=True)[0].T, 2e-5),
    "ogg": (lambda p: _lib("soundfile").read(p, always_2d=True)[0].T, 0.05),
    "hdf5": (lambda p: _lib("h5py").File(p, "r")["/signal"][()].T, 0),
}


def _edf_meta(p):
    edf = _lib("edfio").read_bdf(p) if p.endswith(".bdf") else _lib("edfio").read_edf(p)
    return [s.label for s in edf.signals], [s.sampling_frequency for s in edf.signals]


def _h5_meta(p):
    with _lib("h5py").File(p, "r") as f:
        attrs = f["/signal"].attrs
        return list(attrs["labels"]), [float(attrs["sample_rate"])] * 2


def _audio_rate(p):
    return None, [_lib("soundfile").info(p).samplerate] * 2


# Format -> (labels or None, rate of each channel) as the format's own library reads them.
META = {
    "edf": _edf_meta, "bdf": _edf_meta, "hdf5": _h5_meta,
    "wfdb": lambda p: (lambda r: (r.sig_name, [r.fs * n for n in r.samps_per_frame]))(
        _lib("wfdb").rdheader(p[:-4])),
    "wav": _audio_rate, "flac": _audio_rate, "ogg": _audio_rate,
}


def test_every_registered_format_has_an_oracle():
    assert set(FORMATS) == set(ORACLES)


@pytest.mark.parametrize("name", sorted(ORACLES))
def test_every_format_reads_what_it_writes(tmp_path, name):
    row = FORMATS[name]
    if row.library:
        _lib(row.library)
    count = 1 if name in ("csv", "f32") else 2
    # Different shapes per channel, so that swapped or transposed channels show.
    channels = [(0.3 + 0.2 * k) * smooth(2560, seed=k).astype(np.float64) for k in range(count)]
    info = [ChannelInfo(label=f"ch{k}", rate=256.0) for k in range(count)]
    path = str(tmp_path / f"rec{row.suffixes[0]}")
    for file_path, data in encode_recording(path, Signal(channels, 256, info=info)).files.items():
        with open(file_path, "wb") as f:
            f.write(data)
    oracle, tolerance = ORACLES[name]
    expected = np.asarray(channels, dtype=np.float32)
    for got in (oracle(path), read_signal(path).channels):
        got = np.asarray(got, dtype=np.float32)
        assert got.shape == expected.shape
        assert np.max(np.abs(got - expected)) <= tolerance * np.ptp(expected)
    if name in META:
        labels, rates = META[name](path)
        assert labels in (None, [i.label for i in info]) and rates == [256.0] * count


def test_an_archive_opens_with_plain_zarr(tmp_path):
    zarr = pytest.importorskip("zarr")
    import vantrel_tools
    from vantrel_tools.core.options import Options
    from vantrel_tools.store.archive import write_archive

    x = [smooth(3000, seed=1), smooth(1000, seed=2)]
    # A physical range without a digital one describes no codes: neither is stored.
    info = [ChannelInfo("Fz", 250.0, "uV"), ChannelInfo("Resp", 25.0, "mV", (-1.0, 1.0))]
    write_archive(str(tmp_path / "rec.zarr"), Signal(x, info=info, source="edf"),
                  [vantrel_tools.compress(c) for c in x], Options(scale=12))
    root = zarr.open_group(str(tmp_path / "rec.zarr"), mode="r")
    assert root.attrs["vantrel"]["channels"] == 2 and root.attrs["vantrel"]["source"] == "edf"
    for k, (channel, meta) in enumerate(zip(x, info)):
        array = root[f"ch{k}"]
        assert (array.attrs["label"], array.attrs["sample_rate"]) == (meta.label, meta.rate)
        assert "physical_range" not in array.attrs
        assert np.max(np.abs(array[:] - channel)) < 1e-3 * np.ptp(channel)
