"""Recordings read and written block by block: the blocks concatenated are what the whole reader
gives, with the same metadata; a file written by blocks reads back, with the format's own
library, as the whole writer's file does; a failed writer leaves nothing."""

import contextlib
import fcntl
import os
import pathlib
import pty
import re
import struct
import subprocess
import sys
import termios

import numpy as np
import pytest

from conftest import smooth
from test_archive_guard import members
from test_io_fidelity import TestWfdbRecord, edf_fixture
from vantrel_tools.cli import archives, commands, main
from vantrel_tools.io import (
    ChannelInfo,
    Signal,
    SignalFileError,
    encode_recording,
    open_block_writer,
    open_blocks,
    read_signal,
)

edfio = pytest.importorskip("edfio")
wfdb = pytest.importorskip("wfdb")
h5py = pytest.importorskip("h5py")
sf = pytest.importorskip("soundfile")

pytestmark = pytest.mark.filterwarnings("ignore:::wfdb.*", "ignore::UserWarning",
                                        "ignore::RuntimeWarning")

# The metadata a block reader knows before its first block, as the whole reader gives it.
_HEADER_FIELDS = ("description", "info", "attrs", "start", "annotations", "rate", "source",
                  "sample_bits", "stored_bytes", "notes")


def _hdf5(path, data, **attrs):
    with h5py.File(path, "w") as f:
        node = f.create_dataset("/g/data", data=data)
        for key, value in attrs.items():
            node.attrs[key] = value


def _wfdb_open_length(path):
    """A record whose header leaves its length (and so its start) out: wfdb infers it."""
    TestWfdbRecord.record(pathlib.Path(path).parent)
    with open(path) as f:
        lines = f.read().splitlines()
    with open(path, "w") as f:
        f.write("\n".join(["rec 2 250", *lines[1:]]) + "\n")


def _stereo(n):
    return np.stack([smooth(n, seed=3) * 0.9, smooth(n, seed=4) * 0.5], axis=1)


# name -> (file name, maker, reading keywords). Mixed rates and several samples per frame in
# EDF/BDF and WFDB; a cut last block everywhere; integer and float samples.
FILES = {
    "edf": ("r.edf", lambda p: edf_fixture(p, "EDF"), {}),
    "edf+": ("r.edf", lambda p: edf_fixture(p, "EDF+C"), {}),
    "bdf+": ("r.bdf", lambda p: edf_fixture(p, "BDF+C"), {}),
    "wfdb": ("rec.hea", lambda p: TestWfdbRecord.record(pathlib.Path(p).parent), {}),
    "wfdb-open": ("rec.hea", _wfdb_open_length, {}),
    "wav16": ("a.wav", lambda p: sf.write(p, _stereo(5001), 8000, subtype="PCM_16"), {}),
    "wav32": ("a.wav", lambda p: sf.write(p, _stereo(3001), 8000, subtype="PCM_32"), {}),
    "flac": ("a.flac", lambda p: sf.write(p, _stereo(4001), 44100, subtype="PCM_24"), {}),
    "h5-int": ("d.h5", lambda p: _hdf5(p, np.arange(-900, 900, dtype=np.int16).reshape(900, 2),
                                       sample_rate=250, labels=["x", "y"]), {}),
    "h5-rows": ("d.h5", lambda p: _hdf5(p, np.random.default_rng(0).random((3, 777)),
                                        fs=100.5, unit="mV"), {"channels_first": True}),
    "h5-1d": ("d.h5", lambda p: _hdf5(p, smooth(1000)), {}),
}


def _made(tmp_path, case):
    name, make, kwargs = FILES[case]
    path = str(tmp_path / name)
    make(path)
    return path, kwargs


def whole_header(path, **kwargs):
    with open_blocks(path, 1, **kwargs) as reader:
        return reader.header


def _blocks(path, samples, **kwargs):
    with open_blocks(path, samples, **kwargs) as reader:
        return reader.header, reader.lengths, list(reader)


class TestRead:
    @pytest.mark.parametrize("samples", [1, 300, 1 << 20])
    @pytest.mark.parametrize("case", FILES)
    def test_blocks_concatenated_are_the_whole_read(self, tmp_path, case, samples):
        path, kwargs = _made(tmp_path, case)
        whole = read_signal(path, **kwargs)
        header, lengths, blocks = _blocks(path, samples, **kwargs)
        assert lengths == [c.size for c in whole.channels]
        for field in _HEADER_FIELDS:
            assert getattr(header, field) == getattr(whole, field), field
        for k, channel in enumerate(whole.channels):
            got = np.concatenate([b[k] for b in blocks])
            assert got.dtype == channel.dtype and header.channels[k].dtype == channel.dtype
            np.testing.assert_array_equal(got, channel)
        # Every block covers one time span on every channel: samples in the ratio of rates.
        rates = [i.rate or 1.0 for i in whole.info]
        for block in blocks:
            spans = {len(c) / r for c, r in zip(block, rates, strict=True)}
            assert len(spans) == 1
        if samples < 1 << 20 and case != "wfdb-open":
            assert len(blocks) > 1

    @pytest.mark.parametrize("case,cut,message", [
        ("edf", 10, "truncated: the header declares 10 data records"),
        ("wav16", 100, "truncated"),
    ])
    def test_a_cut_file_is_refused_as_the_whole_reader_refuses_it(self, tmp_path, case, cut,
                                                                 message):
        path, _ = _made(tmp_path, case)
        with open(path, "r+b") as f:
            f.truncate(os.path.getsize(path) - cut)
        with pytest.raises(SignalFileError, match=message):
            _blocks(path, 256)

    @pytest.mark.parametrize("read", [read_signal, lambda p: _blocks(p, 7)])
    def test_a_chunk_of_the_wrong_size_is_refused(self, tmp_path, read):
        """HDF5 would fill the rest of its buffer with whatever memory held."""
        path = str(tmp_path / "d.h5")
        with h5py.File(path, "w") as f:
            node = f.create_dataset("x", data=np.arange(64.0), chunks=(16,))
            node.id.write_direct_chunk((16,), np.arange(5.0).tobytes())
        with pytest.raises(SignalFileError, match="chunk 1 at .16,. is damaged"):
            read(path)


def _pieces(channels, units):
    """The channels cut into pieces of `units` samples of the slowest channel (and the same
    time on the others), so that pieces cut data records and frames."""
    ratio = [c.size // min(c.size for c in channels) for c in channels]
    shortest = min(c.size for c in channels)
    for at in range(0, shortest, units):
        yield [c[at * r:(at + units) * r] for c, r in zip(channels, ratio, strict=True)]


def _library_view(path):
    """The file as its format's own library reads it."""
    if path.endswith((".edf", ".bdf")):
        edf = (edfio.read_bdf if path.endswith(".bdf") else edfio.read_edf)(path)
        return ([(s.label, s.sampling_frequency, s.physical_range, s.digital_range,
                  s.digital.tolist()) for s in edf.signals], edf.startdatetime,
                [tuple(a) for a in edf.annotations], edf.reserved)
    if path.endswith(".hea"):
        record = wfdb.rdrecord(path[:-4], physical=False, smooth_frames=False)
        return ([s.tolist() for s in record.e_d_signal], record.fmt, record.adc_gain,
                record.baseline, record.checksum, record.init_value, record.sig_name,
                record.base_datetime, list(wfdb.rdann(path[:-4], "atr").sample))
    if path.endswith(".h5"):
        with h5py.File(path) as f:
            node = f["/g/data"]
            return node[()].tolist(), str(node.dtype), {k: str(v) for k, v in node.attrs.items()}
    data, rate = sf.read(path, dtype="int32")
    return data.tolist(), rate, sf.info(path).subtype


class TestWrite:
    @pytest.mark.parametrize("case", ["edf", "edf+", "bdf+", "wfdb", "wav16", "flac", "h5-int",
                                      "h5-rows"])
    def test_blocks_write_what_the_whole_writer_writes(self, tmp_path, case):
        path, kwargs = _made(tmp_path, case)
        whole = read_signal(path, **kwargs)
        header = whole_header(path, **kwargs)
        name = os.path.basename(path)
        for out in ("blocks", "whole"):
            (tmp_path / out).mkdir()
        target = str(tmp_path / "blocks" / name)
        mask = os.umask(0o027)  # the files made take their mode from it, as new files do
        try:
            with open_block_writer(target, header) as writer:
                for piece in _pieces(whole.channels, 7):
                    writer.write(piece)
        finally:
            os.umask(mask)
        assert {os.stat(tmp_path / "blocks" / f).st_mode & 0o777
                for f in os.listdir(tmp_path / "blocks")} == {0o640}
        for file_name, data in encode_recording(str(tmp_path / "whole" / name),
                                                whole).files.items():
            with open(file_name, "wb") as f:
                f.write(data)
        assert sorted(os.listdir(tmp_path / "blocks")) == sorted(os.listdir(tmp_path / "whole"))
        assert _library_view(target) == _library_view(str(tmp_path / "whole" / name))

    @pytest.mark.parametrize("case", ["edf+", "wfdb", "wav16", "h5-int"])
    def test_a_failed_writer_leaves_nothing(self, tmp_path, case):
        path, kwargs = _made(tmp_path, case)
        header, _, blocks = _blocks(path, 100, **kwargs)
        (tmp_path / "out").mkdir()
        with pytest.raises(KeyboardInterrupt), \
                open_block_writer(str(tmp_path / "out" / os.path.basename(path)),
                                  header) as writer:
            writer.write(blocks[0])
            raise KeyboardInterrupt
        assert os.listdir(tmp_path / "out") == []

    @pytest.mark.parametrize("case,drop,message", [
        # Half a data record at the end (256 and 64 samples a record): EDF holds whole records.
        ("edf", (128, 32), "128 samples are left over after 9 records"),
        # Half a frame: the faster signal has two samples a frame.
        ("wfdb", (0, 1), "1 samples are left over after 999 whole frames"),
    ])
    def test_a_cut_unit_at_the_end_is_refused_and_nothing_written(self, tmp_path, case, drop,
                                                                 message):
        path, kwargs = _made(tmp_path, case)
        whole = read_signal(path, **kwargs)
        (tmp_path / "out").mkdir()
        cut = [c[:c.size - n] for c, n in zip(whole.channels, drop, strict=True)]
        with pytest.raises(SignalFileError, match=message), open_block_writer(
                str(tmp_path / "out" / os.path.basename(path)), whole_header(path)) as writer:
            writer.write(cut)
        assert os.listdir(tmp_path / "out") == []

    @pytest.mark.parametrize("name", ["x.edf", "x.hea"])
    def test_integer_formats_need_the_range_before_the_samples(self, tmp_path, name):
        header = Signal([np.empty(0)], info=[ChannelInfo(label="a", rate=100.0)])
        with pytest.raises(SignalFileError, match="range must be known|ranges must be known"):
            open_block_writer(str(tmp_path / name), header)
        assert os.listdir(tmp_path) == []


def _edf_ranges(path, low, high):
    """The EDF fixture with its second signal's physical range edited to [low, high]."""
    edf_fixture(path, "EDF")
    with open(path, "r+b") as f:
        for field, text in ((3, low), (4, high)):  # physical minimum, maximum of 2 signals
            f.seek(256 + 2 * (16 + 80 + 8) + 8 * 2 * (field - 3) + 8)
            f.write(text.encode().ljust(8))


@pytest.mark.parametrize("low,high,says", [
    ("-1e39", "1e39", "channel 1: sample 46 (3.4899999999999996e+38) is outside the float32"),
    ("-3e-39", "3e-39", "channel 1: every sample is below the float32 range"),
])
def test_codes_held_for_a_streamed_archive_are_refused_as_values_are(tmp_path, capsys, low,
                                                                      high, says):
    path = str(tmp_path / "r.edf")
    _edf_ranges(path, low, high)
    for read in (list, lambda r: list(r.stored_blocks())):
        with pytest.raises(SignalFileError, match=re.escape(says)):
            read(open_blocks(path, 100))
    assert main(["compress", path, "-o", str(tmp_path / "a.zarr")]) == 2
    assert says in capsys.readouterr().err and os.listdir(tmp_path) == ["r.edf"]


class TestProgress:
    @pytest.mark.parametrize("verb,output,flags,terminal,shown", [
        ("compress", "out", [], True, True),
        ("compress", "out.zarr", [], True, True),
        ("compress", "out", ["-q"], True, False),
        ("compress", "out", [], False, False),
        ("decompress", "back.edf", [], True, True),  # chunk by chunk
        ("decompress", "back.npy", [], True, True),  # decoded whole
    ])
    def test_one_file_of_several_channels_counts_its_samples_on_a_terminal(
            self, tmp_path, verb, output, flags, terminal, shown):
        pytest.importorskip("zarr")
        path, _ = _made(tmp_path, "edf")  # 2560 + 640 samples
        (tmp_path / "out").mkdir()
        if verb == "decompress":
            if output.endswith(".npy"):  # channels of one length, 3200 samples as well
                path = str(tmp_path / "x.npy")
                np.save(path, np.stack([smooth(1600, seed=1), smooth(1600, seed=2)], 1))
            assert main(["compress", path, "-o", str(tmp_path / "a.zarr"), "-q"]) == 0
            path = str(tmp_path / "a.zarr")
        command = [sys.executable, "-m", "vantrel_tools", verb, path,
                   "-o", str(tmp_path / output), *flags]
        if terminal:
            master, slave = pty.openpty()
            # A terminal of 100 columns: tqdm draws nothing on one of none.
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
            subprocess.run(command, stderr=slave, stdout=subprocess.DEVNULL, check=True,
                           timeout=120)
            os.close(slave)
            err = b""
            with contextlib.suppress(OSError):
                while chunk := os.read(master, 4096):
                    err += chunk
            os.close(master)
        else:
            err = subprocess.run(command, capture_output=True, check=True, timeout=120).stderr
        assert (b"/3200" in err and b"sample" in err) == shown, err


class TestArchive:
    # A multi-rate EDF+ and WFDB record, integer and float audio and HDF5, chunks of 256.
    @pytest.mark.parametrize("case,form,flags", [
        ("edf+", ".vtrl.zip", ["--psnr", "50"]),
        ("bdf+", ".zarr", []),
        ("wfdb", ".vtrl.zip", ["--prd", "2"]),
        ("wav16", ".zarr", ["--max-error", "0.001"]),
        ("flac", ".vtrl.zip", ["--psnr", "40"]),
        ("h5-rows", ".zarr", ["--rmse", "0.01", "--channels-first"]),
        ("h5-int", ".zarr", ["--psnr", "50"]),
    ])
    def test_compressed_by_blocks_as_read_whole(self, tmp_path, monkeypatch, case, form, flags):
        pytest.importorskip("zarr")
        path, _ = _made(tmp_path, case)

        def compressed(name, threads):
            out = str(tmp_path / (name + form))
            assert main(["compress", path, "-o", out, "--chunk-samples", "256", "-q",
                         "--threads", threads, *flags]) == 0
            return members(out)

        monkeypatch.setattr(archives, "BLOCK_FORMATS", {})
        whole = compressed("whole", "1")
        monkeypatch.undo()
        monkeypatch.setattr(archives, "read_input", None)  # nothing is read whole
        assert compressed("one", "1") == whole
        assert compressed("three", "3") == whole
        assert not [n for n in os.listdir(tmp_path) if n.startswith(".")]  # no temporaries

    @pytest.mark.parametrize("case,flags", [
        ("edf+", ["--psnr", "50"]), ("bdf+", []), ("wfdb", ["--max-error", "2"]),
        ("wav16", []), ("flac", ["--rmse", "0.001"]), ("h5-int", []),
    ])
    def test_decompressed_by_chunks_as_decoded_whole(self, tmp_path, monkeypatch, case, flags):
        pytest.importorskip("zarr")
        path, _ = _made(tmp_path, case)
        archive, name = str(tmp_path / "a.zarr"), os.path.basename(path)
        assert main(["compress", path, "-o", archive, "--chunk-samples", "256", "-q",
                     *flags]) == 0

        def decompressed(folder, named=True):
            (tmp_path / folder).mkdir()
            out = tmp_path / folder / (name if named else "a" + os.path.splitext(name)[1])
            assert main(["decompress", archive, "-o", str(out if named else out.parent),
                         "-q"]) == 0  # -o a directory: back to the format it came from
            return len(os.listdir(tmp_path / folder)), _library_view(str(out))

        monkeypatch.setattr(archives, "BLOCK_FORMATS", {})
        whole = decompressed("whole")
        monkeypatch.undo()
        monkeypatch.setattr(commands, "decode_archive", None)  # nothing is decoded whole
        assert decompressed("streamed") == whole
        assert decompressed("beside", named=False) == whole
        assert not [n for n in os.listdir(tmp_path) if n.startswith(".")]  # no temporaries


def test_notes_of_blocks_sum_their_counts_per_subject():
    from vantrel_tools.io.blocks import merged_notes

    notes = ["a.wav channel 1: 5 samples clipped to the 16-bit range", "a.wav: a remark",
             "a.wav channel 1: 3 samples clipped to the 16-bit range", "a.wav: a remark"]
    assert merged_notes(notes) == ["a.wav channel 1: 8 samples clipped to the 16-bit range",
                                   "a.wav: a remark"]
