"""Recording formats through the archive: each format's small file, written here with its own
library, goes into a Zarr archive and back out to its format with its metadata intact."""

import datetime
import os
import sys

import numpy as np
import pytest

from conftest import smooth
from vantrel_tools.cli import main
from vantrel_tools.io import encode_recording
from vantrel_tools.io import ChannelInfo, Signal, SignalFileError, read_signal

edfio = pytest.importorskip("edfio")
wfdb = pytest.importorskip("wfdb")
sf = pytest.importorskip("soundfile")
h5py = pytest.importorskip("h5py")

# wfdb's warnings about its own use of pandas, when the tests write records with it.
pytestmark = pytest.mark.filterwarnings("ignore:::wfdb.*")

# Worst error at scale 12 with the low dead zone, as a share of the range (see test_cli).
TOLERANCE = 9 * 3.5 * 2 / 2**12


def write_edf(path, make=None):
    """EDF+: three channels at two rates, calibrated three ways, and an annotation."""
    make = make or edfio.EdfSignal
    signals = [
        make(100 * smooth(2560, seed=1), 256, label="EEG Fz", physical_dimension="uV",
             physical_range=(-250, 250)),
        make(80 * smooth(2560, seed=2), 256, label="EEG Cz", physical_dimension="uV",
             physical_range=(-200, 200), digital_range=(-2048, 2047)),
        make(smooth(640, seed=3), 64, label="Resp", physical_dimension="mV",
             physical_range=(-3, 3), transducer_type="belt", prefiltering="HP:0.1Hz"),
    ]
    kind = edfio.Bdf if make is edfio.BdfSignal else edfio.Edf
    kind(signals, starttime=datetime.time(22, 5, 0),
         annotations=[edfio.EdfAnnotation(3.5, 1.0, "arousal")]).write(path)


def write_wfdb(path):
    x = np.stack([smooth(3600, seed=4), 0.5 * smooth(3600, seed=5) + 1], axis=1)
    wfdb.wrsamp(os.path.basename(path)[:-4], fs=360, units=["mV", "mV"], sig_name=["MLII", "V5"],
                p_signal=x, fmt=["16", "212"], adc_gain=[200.0, 400.0], baseline=[0, 12],
                comments=["age 64"], write_dir=os.path.dirname(path),
                base_date=datetime.date(2001, 6, 1), base_time=datetime.time(8, 0, 0))


def write_audio(container, subtype):
    def write(path):
        x = np.stack([smooth(8000, seed=6), 0.7 * smooth(8000, seed=7)], axis=1) * 0.6
        sf.write(path, x, 44100, subtype=subtype, format=container)
    return write


def write_hdf5(path):
    with h5py.File(path, "w") as f:
        data = f.create_dataset("/session/eeg/data",
                                data=(np.stack([smooth(5000, seed=8), smooth(5000, seed=9)], 1)
                                      * 3000).astype(np.int16))
        data.attrs["sample_rate"] = 500.0
        data.attrs["unit"] = "uV"
        f.create_dataset("/session/notes", data=np.arange(3.0))


FORMATS = [
    # (name, file written, writer, archive, what the archive names the output)
    ("EDF+", "rec.edf", write_edf, "rec.zarr", "back.edf"),
    ("BDF", "rec.bdf", lambda p: write_edf(p, edfio.BdfSignal), "rec.vtrl.zip", "back.bdf"),
    ("WFDB", "rec.hea", write_wfdb, "rec.zarr", "back.hea"),
    ("FLAC", "take.flac", write_audio("FLAC", "PCM_16"), "take.vtrl.zip", "back.flac"),
    ("WAV 24-bit extensible", "take.wav", write_audio("WAVEX", "PCM_24"), "take.zarr",
     "back.wav"),
    ("HDF5 nested dataset", "rec.h5:/session/eeg/data", write_hdf5, "rec.zarr",
     "back.h5"),
]


@pytest.mark.parametrize("name,source,write,archive,output", FORMATS,
                         ids=[f[0] for f in FORMATS])
def test_round_trip_through_the_archive(tmp_path, capsys, name, source, write, archive,
                                        output):
    source, archive, output = (str(tmp_path / p) for p in (source, archive, output))
    write(source.split(":")[0])
    assert main(["compress", source, "-o", archive, "--method", "cdf53", "--scale", "12"]) == 0
    assert main(["info", archive]) == 0
    listing = capsys.readouterr().out
    assert main(["decompress", archive, "-o", output]) == 0
    original, back = read_signal(source), read_signal(output)
    for k, info in enumerate(original.info):
        assert f"{info.rate:g}" in listing and (info.label or "-") in listing
        span = float(np.ptp(original.channels[k]))
        step = (np.ptp(info.physical_range) / np.ptp(info.digital_range)
                if info.digital_range else 0.0)
        assert np.max(np.abs(back.channels[k] - original.channels[k])) <= (
            TOLERANCE * span + step)
    assert back.info == original.info
    assert (back.start, back.annotations, back.attrs, back.description) == (
        original.start, original.annotations, original.attrs, original.description)


def test_wav_extensible_is_written_back_as_extensible(tmp_path):
    write_audio("WAVEX", "PCM_24")(str(tmp_path / "x.wav"))
    data = encode_recording("y.wav", read_signal(str(tmp_path / "x.wav"))).files["y.wav"]
    assert int.from_bytes(data[20:22], "little") == 0xFFFE and data[34] == 24


@pytest.mark.parametrize("module,suffix,extra", [
    ("edfio", "rec.edf", "edf"), ("wfdb", "rec.hea", "wfdb"), ("soundfile", "a.flac", "audio"),
    ("h5py", "a.h5", "hdf5"), ("zarr", "a.zarr", "zarr"),
])
def test_a_missing_library_names_its_extra(tmp_path, capsys, monkeypatch, module, suffix,
                                           extra):
    monkeypatch.setitem(sys.modules, module, None)
    command = "info" if suffix.endswith(".zarr") else "eval"
    assert main([command, str(tmp_path / suffix)]) == 2
    assert f"pip install 'vantrel[{extra}]'" in capsys.readouterr().err


def test_a_channel_that_cannot_be_coded_fails_the_whole_archive(tmp_path, capsys):
    plateau = np.r_[np.zeros(5120), np.full(5120, 100.0)]
    edfio.Edf([edfio.EdfSignal(smooth(10240), 1024, label="ok"),
               edfio.EdfSignal(plateau, 1024, label="EMG step")]).write(tmp_path / "r.edf")
    for out in ("r.zarr", "r.vtrl.zip"):
        assert main(["compress", str(tmp_path / "r.edf"), "-o", str(tmp_path / out),
                     "--scale", "12"]) == 2
        assert "channel 1 ('EMG step'): Unsupported compression" in capsys.readouterr().err
    assert sorted(os.listdir(tmp_path)) == ["r.edf"]


@pytest.mark.parametrize("output,info,expected,channels", [
    ("o.edf", ChannelInfo("a", 4.0, "uV", (-1.0, 1.0), (-100, 100)), "2 samples clipped", 1),
    ("o.hea", ChannelInfo("a", 4.0, "mV", extra={"fmt": "16", "adc_gain": 1e4, "baseline": 0}),
     "2 samples clipped", 1),
    ("o.wav", ChannelInfo(rate=4.0), "samples: 2 samples clipped", 1),
    ("o.wav", ChannelInfo(rate=4.0), "channel 1: 2 samples clipped", 2),
    ("o.flac", ChannelInfo(rate=4.0), "1 NaN samples written as 0", 1),
])
def test_writing_integers_reports_what_does_not_fit(output, info, expected, channels):
    samples = np.array([0.5, 7.0, -9.0, np.nan]) * (1.0 if output != "o.flac" else 0.1)
    signal = Signal([np.zeros(4)] * (channels - 1) + [samples], info=[info] * channels)
    notes = encode_recording(output, signal, "pcm16").notes
    assert any(expected in note for note in notes), notes


@pytest.mark.parametrize("existing,replaced", [("zarr.json", True), ("notes.txt", False)])
def test_force_replaces_a_store_but_never_another_directory(tmp_path, capsys, existing,
                                                            replaced):
    write_edf(str(tmp_path / "r.edf"))
    (tmp_path / "r.zarr").mkdir()
    for name in (existing, "old"):
        (tmp_path / "r.zarr" / name).write_text("{}")
    command = ["compress", str(tmp_path / "r.edf"), "-o", str(tmp_path / "r.zarr"), "-f"]
    assert main(command) == (0 if replaced else 2)
    assert (tmp_path / "r.zarr" / "old").exists() != replaced
    assert sorted(os.listdir(tmp_path)) == ["r.edf", "r.zarr"]  # no temporary left behind


def test_a_cut_wav_file_is_refused(tmp_path):
    write_audio("WAV", "PCM_16")(str(tmp_path / "cut.wav"))
    data = (tmp_path / "cut.wav").read_bytes()
    (tmp_path / "cut.wav").write_bytes(data[:-1001])
    with pytest.raises(SignalFileError, match=f"announces {len(data) - 44} bytes, the file "
                                              f"holds {len(data) - 1045}"):
        read_signal(str(tmp_path / "cut.wav"))


def test_channels_of_two_rates_refuse_a_one_rate_format():
    signal = Signal([np.zeros(8), np.zeros(4)], info=[ChannelInfo(rate=8.0), ChannelInfo(rate=4.0)])
    with pytest.raises(SignalFileError, match="different lengths"):
        encode_recording("x.wav", signal)
