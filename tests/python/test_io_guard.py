"""Damaged and hostile recordings: each row edits one field of a valid file made here with the
format's own library, and reading it must fail with one line that names the file."""

import datetime
import os

import numpy as np
import pytest

from conftest import smooth
from vantrel_tools.io import Annotation, ChannelInfo, Signal, SignalFileError, encode_recording
from vantrel_tools.io import read_signal

edfio = pytest.importorskip("edfio")
wfdb = pytest.importorskip("wfdb")
sf = pytest.importorskip("soundfile")
h5py = pytest.importorskip("h5py")

pytestmark = pytest.mark.filterwarnings("ignore:::wfdb.*")

# The EDF header's fields in file order: (name, width, once per signal).
EDF_FIELDS = [("version", 8, 0), ("patient", 80, 0), ("recording", 80, 0), ("startdate", 8, 0),
              ("starttime", 8, 0), ("header_bytes", 8, 0), ("reserved", 44, 0),
              ("records", 8, 0), ("duration", 8, 0), ("signals", 4, 0), ("label", 16, 1),
              ("transducer", 80, 1), ("dimension", 8, 1), ("pmin", 8, 1), ("pmax", 8, 1),
              ("dmin", 8, 1), ("dmax", 8, 1), ("prefiltering", 80, 1), ("spr", 8, 1)]


def edf_edit(field, value):
    def edit(data):
        offset, count = 0, 2
        for name, width, per_signal in EDF_FIELDS:
            if name == field:
                return data[:offset] + value.ljust(width).encode() + data[offset + width:]
            offset += width * (count if per_signal else 1)
        raise KeyError(field)
    return edit


def write_edf(path):
    edfio.Edf([edfio.EdfSignal(smooth(512, seed=1), 256, label="Fz", physical_range=(-2, 2)),
               edfio.EdfSignal(smooth(128, seed=2), 64, label="Resp", physical_range=(-2, 2))]
              ).write(path)


def write_wfdb(path):
    wfdb.wrsamp("rec", fs=360, units=["mV"], sig_name=["II"], p_signal=smooth(720)[:, None],
                fmt=["16"], adc_gain=[200.0], baseline=[0], write_dir=os.path.dirname(path))


def hea_edit(line, old, new):
    def edit(data):
        lines = data.decode().split("\n")
        lines[line] = lines[line].replace(old, new, 1)
        return "\n".join(lines).encode()
    return edit


def write_audio(kind, subtype):
    def write(path):
        sf.write(path, 0.5 * smooth(96000)[:, None], 48000, format=kind, subtype=subtype)
    return write


def write_h5(make):
    def write(path):
        with h5py.File(path, "w") as f:
            make(f)
    return write


def cut(n):
    return lambda data: data[:-n]


def patch(offset, raw):
    return lambda data: data[:offset] + raw + data[offset + len(raw):]


HOSTILE = [
    # (row, file, writer, file edited (None: the file itself), edit, words of the message)
    ("edf digital min = max", "r.edf", write_edf, None, edf_edit("dmin", "32767"),
     "digital range"),
    ("edf physical min nan", "r.edf", write_edf, None, edf_edit("pmin", "nan"), "physical min"),
    ("edf duration -1", "r.edf", write_edf, None, edf_edit("duration", "-1"), "duration"),
    ("edf duration nan", "r.edf", write_edf, None, edf_edit("duration", "nan"), "duration"),
    ("edf duration 0", "r.edf", write_edf, None, edf_edit("duration", "0"), "duration"),
    ("edf duration 1e300", "r.edf", write_edf, None, edf_edit("duration", "1e300"), "rate"),
    ("edf duration 1e-30", "r.edf", write_edf, None, edf_edit("duration", "1e-30"), "rate"),
    ("edf 0 signals", "r.edf", write_edf, None, edf_edit("signals", "0"), "number of signals"),
    ("edf negative spr", "r.edf", write_edf, None, edf_edit("spr", "-256"), "samples per"),
    ("edf 0 records", "r.edf", write_edf, None, edf_edit("records", "0"), "data records"),
    ("edf records not a number", "r.edf", write_edf, None, edf_edit("records", "x"), "records"),
    ("edf header size", "r.edf", write_edf, None, edf_edit("header_bytes", "512"), "header"),
    ("edf truncated", "r.edf", write_edf, None, cut(3), "truncated"),
    ("edf record count beyond the file", "r.edf", write_edf, None, edf_edit("records", "9999"),
     "truncated"),
    ("wfdb fs 0", "rec.hea", write_wfdb, None, hea_edit(0, " 360 ", " 0 "), "sampling freq"),
    ("wfdb fs negative", "rec.hea", write_wfdb, None, hea_edit(0, " 360 ", " -360 "),
     "sampling freq"),
    ("wfdb fs absurd", "rec.hea", write_wfdb, None, hea_edit(0, " 360 ", " 1e300 "),
     "sampling freq"),
    ("wfdb 0 signals", "rec.hea", write_wfdb, None, hea_edit(0, " 1 ", " 0 "), "signals"),
    ("wfdb gain infinite", "rec.hea", write_wfdb, None, hea_edit(1, "200.0", "1e999"), "gain"),
    ("wfdb gain 1e300", "rec.hea", write_wfdb, None, hea_edit(1, "200.0", "1e300"),
     "below the float32 range"),
    ("wfdb header without a record line", "rec.hea", write_wfdb, None, lambda d: b"# x\n",
     "no record line"),
    ("wfdb format", "rec.hea", write_wfdb, None, hea_edit(1, " 16 ", " 17 "), "format"),
    ("wfdb 4e9 samples", "rec.hea", write_wfdb, None, hea_edit(0, " 720", " 4000000000"),
     "truncated"),
    ("wfdb cut signal file", "rec.hea", write_wfdb, "rec.dat", cut(2), "truncated"),
    ("ogg cut by one byte", "a.ogg", write_audio("OGG", "VORBIS"), None, cut(1), "truncated"),
    ("oga cut in half", "a.oga", write_audio("OGG", "VORBIS"), None,
     lambda d: d[:len(d) // 2], "truncated"),
    ("flac cut", "a.flac", write_audio("FLAC", "PCM_16"), None, cut(100), "a.flac"),
    ("wav rate 0", "a.wav", write_audio("WAV", "PCM_16"), None, patch(24, bytes(4)), "a.wav"),
    ("wav 0 channels", "a.wav", write_audio("WAV", "PCM_16"), None, patch(22, bytes(2)),
     "a.wav"),
    ("h5 0-d", "a.h5:/x", write_h5(lambda f: f.create_dataset("x", data=1.5)), None, None,
     "single value"),
    ("h5 3-d", "a.h5:/x", write_h5(lambda f: f.create_dataset("x", data=np.zeros((2, 2, 20)))),
     None, None, "shape"),
    ("h5 strings", "a.h5:/x", write_h5(lambda f: f.create_dataset("x", data=["a", "b"])), None,
     None, "elements"),
    ("h5 unwritten chunks", "a.h5",
     write_h5(lambda f: f.create_dataset("x", shape=(500_000_000,), dtype="f4",
                                         chunks=(1 << 20,))), None, None, "never written"),
    ("h5 nine datasets, none named", "a.h5",
     write_h5(lambda f: [f.create_dataset(f"d{i}", data=np.zeros(4)) for i in range(9)]), None,
     None, "9 numeric datasets (/d0, /d1, /d2, /d3, /d4, /d5, /d6, /d7, ...)"),
    ("h5 rate nan", "a.h5",
     write_h5(lambda f: f.create_dataset("x", data=np.zeros(64)).attrs.create("fs", np.nan)),
     None, None, "attribute fs"),
]


class TestHostileRecordings:
    @pytest.mark.parametrize("row,name,write,edited,edit,words", HOSTILE,
                             ids=[row[0] for row in HOSTILE])
    def test_refused_in_one_line_naming_the_file(self, tmp_path, row, name, write, edited,
                                                 edit, words):
        path = str(tmp_path / name)
        write(path.split(":")[0])
        if edit is not None:
            target = tmp_path / (edited or name)
            target.write_bytes(edit(target.read_bytes()))
        with pytest.raises(SignalFileError) as caught:
            read_signal(path)
        message = str(caught.value)
        assert message.startswith(str(tmp_path)) and "\n" not in message
        assert words in message


def one_channel(label="a", rate=8.0, **signal):
    return Signal([np.zeros(8)], info=[ChannelInfo(label, rate, "uV")], **signal)


HOSTILE_WRITES = [
    # (row, output, signal, words of the message)
    ("wfdb comment with a newline", "o.hea",
     one_channel(source="wfdb", attrs={"comments": ["two\nlines"]}), "comment 'two\\nlines'"),
    ("wfdb label with a control character", "o.hea", one_channel("a\x00b"), "label"),
    ("edf label with a newline", "o.edf", one_channel("a\nb"), "label"),
    ("edf label too long", "o.edf", one_channel("x" * 17), "16 characters"),
    ("edf patient with a newline", "o.edf", one_channel(source="edf", attrs={"patient": "a\nb"}),
     "patient"),
    ("edf annotation holding a separator", "o.edf",
     one_channel(annotations=[Annotation(0.0, None, "a\x14b")]), "annotation"),
    ("audio at a fractional rate", "o.wav", one_channel(rate=44100.5), "sample rate"),
    ("nwb output", "o.nwb", one_channel(), "HDF5 filter"),
]


class TestHostileWrites:
    @pytest.mark.parametrize("row,name,signal,words", HOSTILE_WRITES,
                             ids=[row[0] for row in HOSTILE_WRITES])
    def test_refused_in_one_line_naming_the_file(self, tmp_path, row, name, signal, words):
        with pytest.raises(SignalFileError) as caught:
            encode_recording(str(tmp_path / name), signal)
        message = str(caught.value)
        assert message.startswith(str(tmp_path / name)) and "\n" not in message
        assert words in message
