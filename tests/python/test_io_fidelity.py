"""What a reader gives back a writer of the same format writes again, judged by the format's own
libraries: EDF flavours with their start fraction and annotations (edfio, pyedflib, mne), WFDB
records of mixed rates with clipped extremes, gaps and annotation files (wfdb), HDF5 datasets
written into an existing file (h5py), and the grid integer writers code on."""

import datetime
import os

import numpy as np
import pytest

from conftest import smooth
from vantrel_tools.io import ChannelInfo, Signal, SignalFileError, encode_recording, read_signal
from vantrel_tools.io.digital import to_codes

edfio = pytest.importorskip("edfio")
wfdb = pytest.importorskip("wfdb")
h5py = pytest.importorskip("h5py")
sf = pytest.importorskip("soundfile")

pytestmark = pytest.mark.filterwarnings("ignore:::wfdb.*", "ignore::UserWarning",
                                        "ignore::RuntimeWarning")


def write_back(source, target):
    """Reads `source` and writes it to `target` with the project's reader and writer."""
    for path, data in encode_recording(target, read_signal(source)).files.items():
        with open(path, "wb") as f:
            f.write(data)


def edf_fixture(path, flavour):
    """Two channels at 256 and 64 Hz with a start date, the first at both ends of its range;
    EDF+ and BDF+ add a start fraction of a second and annotations; "EDF annotated" is a legacy
    header over an annotation signal (as pyedflib's own legacy test file)."""
    annotated = flavour == "EDF annotated"
    flavour = "EDF+C" if annotated else flavour
    bdf = flavour.startswith("BDF")
    make = edfio.BdfSignal if bdf else edfio.EdfSignal
    eeg = 60 * smooth(2560, seed=1)
    eeg[100:102] = (-250, 250)
    signals = [make(eeg, 256, label="EEG Fz", physical_dimension="uV",
                    physical_range=(-250, 250)),
               make(smooth(640, seed=2), 64, label="Resp", physical_range=(-3, 3),
                    digital_range=(-2000, 2000))]
    plus = flavour.endswith("+C")
    edf = (edfio.Bdf if bdf else edfio.Edf)(
        signals, starttime=datetime.time(4, 5, 56, 394531 if plus and not annotated else 0),
        annotations=[edfio.EdfAnnotation(1.5, 0.5, "arousal"),
                     edfio.EdfAnnotation(7.25, None, "spindle")] if plus else None)
    edf.startdate = datetime.date(2021, 3, 4)
    edf.write(path)
    if annotated:
        with open(path, "r+b") as f:
            f.seek(192)
            f.write(b" " * 44)


def pyedflib_view(path):
    pyedflib = pytest.importorskip("pyedflib")
    with pyedflib.EdfReader(path) as r:
        return (r.filetype, r.getStartdatetime(), r.getSignalLabels(),
                list(r.getSampleFrequencies()), [r.readSignal(k) for k in range(r.signals_in_file)],
                [list(a) for a in r.readAnnotations()])


def mne_view(path):
    mne = pytest.importorskip("mne")
    raw = (mne.io.read_raw_bdf if path.endswith(".bdf") else mne.io.read_raw_edf)(
        path, preload=False, verbose="error")
    return (raw.info["meas_date"], raw.ch_names, list(raw.annotations.onset),
            list(raw.annotations.description))


class TestEdfFlavour:
    @pytest.mark.parametrize("flavour,suffix", [("EDF", "edf"), ("EDF+C", "edf"),
                                                ("EDF annotated", "edf"), ("BDF", "bdf"),
                                                ("BDF+C", "bdf")])
    def test_written_back_as_the_libraries_read_the_original(self, tmp_path, flavour, suffix):
        source, back = str(tmp_path / f"a.{suffix}"), str(tmp_path / f"b.{suffix}")
        edf_fixture(source, flavour)
        write_back(source, back)
        reader = edfio.read_bdf if suffix == "bdf" else edfio.read_edf
        assert reader(back).reserved == reader(source).reserved
        want, got = pyedflib_view(source), pyedflib_view(back)
        assert got[:4] == want[:4] and got[5] == want[5]
        for w, g in zip(want[4], got[4], strict=True):
            np.testing.assert_allclose(g, w, rtol=0, atol=1e-9 * np.ptp(w))
        assert mne_view(back) == mne_view(source)
        if flavour.endswith("+C"):
            assert read_signal(back).start == "2021-03-04T04:05:56.394531"

    @pytest.mark.parametrize("flavour,suffix", [("EDF", "edf"), ("BDF+C", "bdf")])
    def test_read_as_pyedflib_reads_it(self, tmp_path, flavour, suffix):
        path = str(tmp_path / f"a.{suffix}")
        edf_fixture(path, flavour)
        signal, (_, _, labels, rates, samples, _) = read_signal(path), pyedflib_view(path)
        # pyedflib reads an EDF+ start's fraction of a second ten times too small; edfio wrote it.
        edf = (edfio.read_bdf if suffix == "bdf" else edfio.read_edf)(path)
        assert signal.start == edf.startdatetime.isoformat()
        assert [(i.label, i.rate) for i in map(signal.channel_info, range(2))] == list(
            zip(labels, rates))
        for got, want in zip(signal.channels, samples, strict=True):
            np.testing.assert_allclose(got, want, rtol=0, atol=1e-9 * np.ptp(want))


class TestWfdbRecord:
    @staticmethod
    def record(directory):
        """Two signals of one frame, the second at twice the rate, formats 212 and 16; codes at
        both ends of each range, and the missing-value code; an annotation file."""
        slow = np.arange(-1000, 1000, 2, dtype=np.int64)
        slow[:2] = (-2047, 2047)
        fast = np.repeat(np.arange(-1000, 1000, 2, dtype=np.int64), 2) * 30
        fast[:3] = (-32767, 32767, -32768)  # the lowest code of format 16 is a gap
        wfdb.wrsamp("rec", fs=250, units=["mV", "mmHg"], sig_name=["ECG", "ABP"],
                    e_d_signal=[slow, fast], samps_per_frame=[1, 2], fmt=["212", "16"],
                    adc_gain=[200.0, 13.5], baseline=[-12, 100], comments=["age: 64"],
                    base_date=datetime.date(2001, 6, 1), base_time=datetime.time(8, 0, 1, 500000),
                    write_dir=str(directory))
        wfdb.wrann("rec", "atr", np.array([10, 500, 900]), symbol=["N", "V", "N"],
                   aux_note=["", "(VT", ""], fs=250, write_dir=str(directory))

    def test_written_back_as_wfdb_reads_the_original(self, tmp_path):
        (tmp_path / "in").mkdir()
        (tmp_path / "out").mkdir()
        self.record(tmp_path / "in")
        write_back(str(tmp_path / "in" / "rec.hea"), str(tmp_path / "out" / "rec.hea"))
        want, got = (wfdb.rdrecord(str(tmp_path / d / "rec"), physical=False,
                                   smooth_frames=False) for d in ("in", "out"))
        for field in ("fs", "samps_per_frame", "fmt", "adc_gain", "baseline", "sig_name",
                      "units", "comments", "base_date", "base_time"):
            assert getattr(got, field) == getattr(want, field), field
        for w, g in zip(want.e_d_signal, got.e_d_signal, strict=True):
            np.testing.assert_array_equal(g, w)
        ann_want, ann_got = (wfdb.rdann(str(tmp_path / d / "rec"), "atr") for d in ("in", "out"))
        assert list(ann_got.sample) == list(ann_want.sample)
        assert (ann_got.symbol, ann_got.aux_note) == (ann_want.symbol, ann_want.aux_note)

    def test_read_as_wfdb_reads_it(self, tmp_path):
        self.record(tmp_path)
        signal = read_signal(str(tmp_path / "rec.hea"))
        want = wfdb.rdrecord(str(tmp_path / "rec"), smooth_frames=False)
        assert [(i.label, i.rate, i.unit) for i in map(signal.channel_info, range(2))] == list(
            zip(want.sig_name, [want.fs * n for n in want.samps_per_frame], want.units))
        assert signal.start.startswith("2001-06-01T08:00:01.5")
        for got, expected in zip(signal.channels, want.e_p_signal, strict=True):
            np.testing.assert_allclose(got, expected, rtol=1e-12, equal_nan=True)
        assert np.isnan(signal.channels[1][2])  # the missing-value code


class TestHdf5:
    def test_a_named_dataset_replaces_only_itself(self, tmp_path):
        path = str(tmp_path / "lab.h5")
        with h5py.File(path, "w") as f:
            f.create_dataset("/raw/data", data=np.arange(10.0)).attrs["fs"] = 10.0
            f.create_dataset("/other/keep", data=np.arange(3))
            f.attrs["lab"] = "north"
        signal = Signal([np.linspace(0, 1, 20)], info=[ChannelInfo(rate=5.0)])
        files = encode_recording(path + ":/raw/data", signal).files
        with open(path, "wb") as f:
            f.write(files[path])
        with h5py.File(path, "r") as f:
            assert f.attrs["lab"] == "north" and list(f["/other/keep"][()]) == [0, 1, 2]
            np.testing.assert_array_equal(f["/raw/data"][()], np.linspace(0, 1, 20, dtype="f4"))
        with pytest.raises(SignalFileError, match="is a group"):
            encode_recording(path + ":/other", signal)

    def test_a_float64_dataset_is_written_back_as_float64(self, tmp_path):
        x = np.linspace(0.0, 1.0, 7) / 3.0
        h5py.File(tmp_path / "f.h5", "w").create_dataset("x", data=x).file.close()
        out = str(tmp_path / "back.h5")
        (tmp_path / "back.h5").write_bytes(
            encode_recording(out, read_signal(str(tmp_path / "f.h5"))).files[out])
        with h5py.File(out, "r") as f:
            assert f["x"].dtype == np.float64
            np.testing.assert_array_equal(f["x"][()], x)

    def test_nwb_keeps_its_rate_and_start_and_is_never_written(self, tmp_path):
        path = str(tmp_path / "s.nwb")
        with h5py.File(path, "w") as f:
            f["session_start_time"] = "2020-01-02T10:00:00+00:00"
            f["/acquisition/ts/data"] = np.arange(100.0)
            f["/acquisition/ts/starting_time"] = 2.5
            f["/acquisition/ts/starting_time"].attrs["rate"] = 30.0
        signal = read_signal(path + ":/acquisition/ts/data")
        assert signal.channel_info(0).rate == 30.0
        assert signal.start == "2020-01-02T10:00:02.500000+00:00"
        with pytest.raises(SignalFileError, match="vantrel_tools.hdf5.Vantrel"):
            encode_recording(str(tmp_path / "out.nwb"), signal)


class TestGrid:
    @pytest.mark.parametrize("name,make", [
        ("x.edf", lambda p: edf_fixture(p, "EDF")),
        ("x.wav", lambda p: sf.write(p, smooth(500) * 0.9, 8000, subtype="PCM_16")),
        ("x.h5", lambda p: h5py.File(p, "w").create_dataset("s", data=np.arange(-9, 90,
                                                            dtype=np.int8)).file.close()),
    ])
    def test_every_code_reads_back_as_its_grid_value(self, tmp_path, name, make):
        path = str(tmp_path / name)
        make(path)
        signal = read_signal(path)
        for k, channel in enumerate(signal.channels):
            grid = signal.channel_info(k).grid
            codes = to_codes(channel, grid, 0, "", [])
            # The values the file's own library read lie on the grid, at their codes.
            np.testing.assert_allclose(grid.origin + grid.step * codes, channel, rtol=0,
                                       atol=1e-9 * abs(grid.step))
            assert grid.min_code <= codes.min() and codes.max() <= grid.max_code

    def test_wfdb_gaps_are_its_missing_value_and_the_range_leaves_it_out(self, tmp_path):
        signal = Signal([np.array([0.5, np.nan, -1e9])], info=[ChannelInfo(
            "x", 4.0, "mV", extra={"fmt": "16", "adc_gain": 100.0, "baseline": 0})])
        encoded = encode_recording(str(tmp_path / "g.hea"), signal)
        for path, data in encoded.files.items():
            with open(path, "wb") as f:
                f.write(data)
        back = wfdb.rdrecord(str(tmp_path / "g"), physical=False)
        assert list(back.d_signal[:, 0]) == [50, -32768, -32767]
