"""The vantrel command, run as a subprocess: round trips through every file format, the info
report, and failures that end in one line on stderr, exit status 2 and no output file."""

import errno
import importlib.metadata
import os
import re
import signal
import stat
import struct
import subprocess
import sys
import wave
from pathlib import Path

import numpy as np
import pytest

import vantrel
import vantrel_command
from conftest import smooth
from vantrel_tools.cli import archives, files, main
from vantrel_tools.cli.errors import CliError
from vantrel_tools.cli.files import OutputPlan
from vantrel_tools.core.container import HEADER_SIZE, ContainerError, parse_header
from vantrel_tools.io import SampleRangeError, SignalFileError, encode_signal, read_signal
from vantrel_tools.store.archive import read_archive

SCALE = 12
# Worst error at scale 12 with the low dead zone, as a share of the signal's range (see
# test_roundtrip.error_bound): 9 levels * 3.5 steps * 2 / 2**12.
TOLERANCE = 9 * 3.5 * 2 / 2**12


def vantrel_cli(*args, cwd, text=True, env=()):
    return subprocess.run([sys.executable, "-m", "vantrel_tools", *map(str, args)],
                          capture_output=True, text=text, cwd=cwd, timeout=120,
                          env={**os.environ, **dict(env)})


def assert_ok(result):
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""


def assert_close(actual, expected):
    expected = np.asarray(expected, dtype=np.float64)
    span = float(expected.max() - expected.min())
    assert actual.shape == expected.shape
    assert float(np.max(np.abs(np.asarray(actual, dtype=np.float64) - expected))) <= (
        TOLERANCE * span + 1e-6)


def stereo(n):
    return np.stack([smooth(n, seed=1), 0.5 * smooth(n, seed=2)], axis=1)


def write_float_wav(path, frames, rate, leading=b""):
    """A float32 WAV file built here, independently of the tool's writer; `leading` chunks come
    before the fmt chunk."""
    body = frames.astype("<f4").tobytes()
    channels = frames.shape[1]
    fmt = struct.pack("<HHIIHHH", 3, channels, rate, rate * 4 * channels, 4 * channels, 32, 0)
    chunks = leading + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack(
        "<I", len(body)) + body
    path.write_bytes(b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks)


def write_pcm_wav(path, ints, width, rate, channels=1):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        if width == 1:
            data = (ints + 128).astype(np.uint8).tobytes()
        elif width == 3:
            data = ints.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
        else:
            data = ints.astype(f"<i{width}").tobytes()
        w.writeframes(data)


class TestRoundTrip:
    @pytest.mark.parametrize("suffix", [".npy", ".csv", ".txt", ".f32", ".raw"])
    def test_one_channel_formats(self, tmp_path, suffix):
        x = smooth(3001, seed=7)
        source = tmp_path / f"sig{suffix}"
        if suffix == ".npy":
            np.save(source, x)
        elif suffix in (".csv", ".txt"):
            source.write_text("amplitude\n" + "".join(f"{v!r}\n" for v in x.tolist()))
        else:
            x.astype("<f4").tofile(source)
        assert_ok(vantrel_cli("compress", source.name, "--scale", SCALE, cwd=tmp_path))
        assert (tmp_path / "sig.vtrl").is_file()
        assert_ok(vantrel_cli("decompress", "sig.vtrl", "-o", f"back{suffix}", cwd=tmp_path))
        back = read_signal(str(tmp_path / f"back{suffix}")).channels
        assert len(back) == 1
        assert_close(back[0], x)

    def test_pcm16_wav(self, tmp_path):
        ints = np.round(smooth(4000, seed=3) * 20000).astype(np.int16)
        write_pcm_wav(tmp_path / "voice.wav", ints, 2, 22050)
        result = vantrel_cli("compress", "voice.wav", "--scale", SCALE, cwd=tmp_path)
        assert_ok(result)
        assert "22050 Hz" in result.stdout and "voice.vtrl" in result.stdout
        vs_float32, vs_input = re.search(
            r"\d+ bytes, ratio ([\d.]+) vs float32, ([\d.]+) vs the input file\b",
            result.stdout).groups()
        size = os.path.getsize(tmp_path / "voice.vtrl")
        assert float(vs_float32) == pytest.approx(4 * ints.size / size, abs=0.01)
        assert float(vs_input) == pytest.approx(os.path.getsize(tmp_path / "voice.wav") / size,
                                                abs=0.01)
        assert_ok(vantrel_cli("decompress", "voice.vtrl", "-o", "back.wav", "--rate", 22050,
                              "--wav-sample", "pcm16", cwd=tmp_path))
        with wave.open(str(tmp_path / "back.wav")) as w:
            assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (1, 2, 22050)
            back = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
        # One PCM step of rounding on top of the codec's error.
        span = float(ints.max()) - float(ints.min())
        assert np.max(np.abs(back.astype(int) - ints)) <= TOLERANCE * span + 1

    def test_float32_stereo_wav_goes_to_one_container_per_channel(self, tmp_path):
        frames = stereo(2500)
        write_float_wav(tmp_path / "duo.wav", frames, 8000)
        result = vantrel_cli("compress", "duo.wav", "--scale", SCALE, "-o", "packed",
                             cwd=tmp_path)
        assert_ok(result)
        ch0, ch1 = (os.path.join("packed", f"duo.ch{k}.vtrl") for k in range(2))
        assert f"{ch0} (channel 0)" in result.stdout and f"{ch1} (channel 1)" in result.stdout
        assert sorted(os.listdir(tmp_path / "packed")) == ["duo.ch0.vtrl", "duo.ch1.vtrl"]
        # Several containers into one file become its channels, in the order given.
        assert_ok(vantrel_cli("decompress", ch0, ch1, "-o", "both.npy", cwd=tmp_path))
        assert_close(np.load(tmp_path / "both.npy"), frames)
        assert_ok(vantrel_cli("decompress", ch1, ch0, "-o", "swapped.wav", "--rate", 8000,
                              cwd=tmp_path))
        back = read_signal(str(tmp_path / "swapped.wav"))
        assert back.rate == 8000 and "float32" in back.description
        assert_close(np.stack(back.channels, axis=1), frames[:, ::-1])

    def test_many_inputs_into_a_directory(self, tmp_path):
        for k in range(3):
            np.save(tmp_path / f"s{k}.npy", smooth(700 + k, seed=k))
        assert_ok(vantrel_cli("compress", "s0.npy", "s1.npy", "s2.npy", "-o", "c", cwd=tmp_path))
        containers = sorted(f"c/{name}" for name in os.listdir(tmp_path / "c"))
        assert containers == ["c/s0.vtrl", "c/s1.vtrl", "c/s2.vtrl"]
        assert_ok(vantrel_cli("decompress", *containers, "-o", "d", "--format", "csv",
                              cwd=tmp_path))
        assert sorted(os.listdir(tmp_path / "d")) == ["s0.csv", "s1.csv", "s2.csv"]
        assert read_signal(str(tmp_path / "d" / "s2.csv")).num_samples == 702

    def test_outputs_do_not_depend_on_the_thread_count(self, tmp_path):
        write_float_wav(tmp_path / "duo.wav", stereo(3000), 8000)
        for k in range(3):
            np.save(tmp_path / f"s{k}.npy", smooth(900 + k, seed=k))
        inputs = ["duo.wav", "s0.npy", "s1.npy", "s2.npy"]
        for n in (1, 3):
            assert_ok(vantrel_cli("compress", *inputs, "-o", f"c{n}", "--threads", n,
                                  cwd=tmp_path))
            packed = sorted(f"c{n}/{name}" for name in os.listdir(tmp_path / f"c{n}"))
            assert_ok(vantrel_cli("decompress", *packed, "-o", f"d{n}", "--threads", n,
                                  cwd=tmp_path))
        for kind in "cd":
            one, three = (_snapshot(tmp_path / f"{kind}{n}") for n in (1, 3))
            assert one == three and len(one) == 5


class TestSignalFiles:
    """The readers and writers in-process, against the stdlib wave module as the oracle."""

    @pytest.mark.parametrize("width", [1, 2, 3, 4])
    def test_pcm_wav_maps_full_scale_to_unit_range(self, tmp_path, width):
        full = 1 << (8 * width - 1)
        ints = np.array([-full, -full // 2, -1, 0, 1, full // 3, full - 1, 5, -7, 12],
                        dtype=np.int64)
        write_pcm_wav(tmp_path / "p.wav", ints, width, 44100, channels=2)
        signal = read_signal(str(tmp_path / "p.wav"))
        assert signal.rate == 44100 and len(signal.channels) == 2
        np.testing.assert_array_equal(np.stack(signal.channels, axis=1).ravel(), ints / full)

    def test_wav_chunk_of_odd_size_is_followed_by_a_pad_byte(self, tmp_path):
        frames = stereo(40)
        odd_chunk = b"LIST" + struct.pack("<I", 3) + b"abc" + b"\0"
        write_float_wav(tmp_path / "f.wav", frames, 8000, leading=odd_chunk)
        signal = read_signal(str(tmp_path / "f.wav"))
        np.testing.assert_array_equal(np.stack(signal.channels, axis=1), frames)

    @pytest.mark.parametrize("kind,width", [("pcm8", 1), ("pcm16", 2), ("pcm24", 3),
                                            ("pcm32", 4)])
    def test_pcm_wav_writer_rounds_and_clips(self, tmp_path, kind, width):
        full = 1 << (8 * width - 1)
        values = np.array([-2.0, -1.0, -0.5, 0.0, 0.25, 0.999999, 1.0, 3.0])
        (tmp_path / "w.wav").write_bytes(encode_signal("wav", [values], 16000, kind))
        with wave.open(str(tmp_path / "w.wav")) as w:
            assert (w.getsampwidth(), w.getframerate()) == (width, 16000)
            raw = w.readframes(w.getnframes())
        if width == 1:
            got = np.frombuffer(raw, np.uint8).astype(np.int64) - 128
        elif width == 3:
            b = np.frombuffer(raw, np.uint8).reshape(-1, 3).astype(np.int64)
            got = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
            got = (got ^ 0x800000) - 0x800000
        else:
            got = np.frombuffer(raw, f"<i{width}").astype(np.int64)
        expected = np.clip(np.rint(values * full), -full, full - 1).astype(np.int64)
        np.testing.assert_array_equal(got, expected)


F32_MAX = float(np.finfo(np.float32).max)
RAMP = [1.5, -2.0, 3.25]


def _text(content):
    return lambda path: path.write_text(content)


def _npy(array):
    return lambda path: np.save(path, array)


# (name, file name, writer, read_signal keywords, channels expected or the error's words)
READER_CASES = [
    ("csv header", "a.csv", _text("volts\n1.5\n-2\n# note\n3.25\n\n"), {}, [RAMP]),
    ("csv by name", "a.csv", _text("t;volts\n0;1.5\n1;-2\n2;3.25\n"), {"column": "volts"},
     [RAMP]),
    ("csv by index", "a.txt", _text("0\t1.5\n1\t-2\n2\t3.25\n"), {"column": 1}, [RAMP]),
    ("csv quoted, index column unnamed", "a.csv", _text(',"v"\n0,1.5\n1,-2\n2,3.25\n'),
     {"column": "v"}, [RAMP]),
    ("csv bad cell", "a.csv", _text("v\n1\n2\nx3\n"), {}, "line 4: 'x3' is not a number"),
    ("csv damaged first cell", "a.csv", _text("1.2.3\n4\n"), {},
     "line 1: '1.2.3' is not a number"),
    ("csv empty cell", "a.csv", _text("a,b\n1,2\n3,\n"), {"column": "b"},
     "line 3: empty cell in column b"),
    ("csv blank line between samples", "a.csv", _text("1\n2\n\n3\n"), {},
     "line 3: empty line between samples"),
    ("csv ragged row", "a.csv", _text("1,2\n3\n"), {"column": 0},
     "line 2 has 1 column, line 1 has 2"),
    ("csv several columns", "a.csv", _text("a,b\n1,2\n"), {},
     "line 1 has 2 columns (columns: a, b); choose one with --column"),
    ("csv unknown name", "a.csv", _text("a,b\n1,2\n"), {"column": "c"},
     "no column named 'c' (columns: a, b)"),
    ("csv name without header", "a.csv", _text("1,2\n"), {"column": "a"},
     "no header line names the columns"),
    ("column of a non-text file", "a.npy", _npy(np.zeros(4)), {"column": 0},
     "--column applies to .csv and .txt inputs only"),
    ("npy int16", "a.npy", _npy(np.array([-32768, 0, 32767], np.int16)), {},
     [[-32768, 0, 32767]]),
    ("npy int32", "a.npy", _npy(np.array([-2**31, 16777217, 2**31 - 1], np.int32)), {},
     [[-2**31, 16777217, 2**31 - 1]]),
    ("npy uint64 stays in float32 range", "a.npy", _npy(np.array([0, 2**64 - 1], np.uint64)),
     {}, [[0, 2.0**64]]),
    ("npy bool", "a.npy", _npy(np.zeros(4, bool)), {}, "element type bool is not supported"),
    ("2-D samples x channels", "a.npy", _npy(np.arange(40.0).reshape(20, 2)), {},
     [np.arange(0, 40, 2), np.arange(1, 40, 2)]),
    ("2-D channels first", "a.npy", _npy(np.arange(40.0).reshape(2, 20)),
     {"channels_first": True}, [np.arange(20), np.arange(20, 40)]),
    ("2-D rows are channels", "a.npy", _npy(np.zeros((3, 100000), np.float32)), {},
     "shape (3, 100000): as samples x channels it holds 100000 channels of 3 samples, as "
     "channels x samples 3 channels of 100000 samples; pass --channels-first"),
    ("2-D square", "a.npy", _npy(np.zeros((16, 16))), {}, "unclear layout"),
    ("2-D short channels", "a.npy", _npy(np.zeros((8, 2))), {}, "2 channels of 8 samples"),
    ("float64 beyond float32 in npy", "a.npy", _npy(np.array([1.0, -1e300, 2e300])), {},
     "sample 1 (-1e+300) is outside the float32 range"),
    ("float64 beyond float32 in csv", "a.csv", _text("1\n4e38\n"), {},
     "sample 1 (4e+38) is outside the float32 range"),
    ("beyond float32 in one channel", "a.npy",
     _npy(np.array([[1.0, 1.0]] * 19 + [[0.0, 1e39]])), {},
     "a.npy channel 1: sample 19 (1e+39)"),
]


@pytest.mark.parametrize("name,filename,write,kwargs,expected", READER_CASES,
                         ids=[c[0] for c in READER_CASES])
def test_reader(tmp_path, name, filename, write, kwargs, expected):
    path = tmp_path / filename
    write(path)
    if isinstance(expected, str):
        with pytest.raises(SignalFileError) as caught:
            read_signal(str(path), **kwargs)
        assert expected in str(caught.value)
        assert str(caught.value).startswith(str(path))
        return
    channels = read_signal(str(path), **kwargs).channels
    assert len(channels) == len(expected)
    for got, want in zip(channels, expected):
        assert got.dtype in (np.float32, np.float64) and got.flags.c_contiguous
        np.testing.assert_array_equal(got, np.asarray(want, dtype=np.float64))


@pytest.mark.parametrize("value", [F32_MAX, -F32_MAX, F32_MAX * (1 + 2**-25),
                                   F32_MAX * (1 + 2**-24), -2.0**128, 1e300])
def test_float32_range_refused_as_the_module_refuses_it(tmp_path, value):
    """The reader's limit and message are the module's, down to the rounding at the edge."""
    near = np.copysign(0.75 * F32_MAX, value)  # a range the codec can normalise
    samples = np.array([near, near, value])
    np.save(tmp_path / "x.npy", samples)
    try:
        vantrel.compress_signal(samples)
        module_error = None
    except ValueError as exc:
        module_error = str(exc)
    try:
        read_signal(str(tmp_path / "x.npy"))
        reader_error = None
    except SampleRangeError as exc:
        assert isinstance(exc, ValueError)
        reader_error = str(exc)
    assert reader_error == (None if module_error is None else f"{tmp_path / 'x.npy'}: "
                            f"{module_error}")


class TestInfo:
    def test_reports_every_header_field(self, tmp_path):
        x = smooth(5000, seed=4) * 3 - 1
        np.save(tmp_path / "x.npy", x)
        assert_ok(vantrel_cli("compress", "x.npy", "--method", "db4", "--scale", 9, "--coder",
                              "arans", cwd=tmp_path))
        result = vantrel_cli("info", "x.vtrl", cwd=tmp_path)
        assert_ok(result)
        fields = dict(re.split(r"\s{2,}", line, maxsplit=1) for line in result.stdout.splitlines())
        size = (tmp_path / "x.vtrl").stat().st_size
        assert fields["magic"] == "VTRL"
        assert fields["version"] == "1.2"
        assert fields["method tag"] == "f3"
        assert fields["wavelet"] == "db04 (db4)"
        assert 1 <= int(fields["levels"]) <= 8
        assert fields["scale"] == "9"
        assert fields["coder"] == "1 (arans)"
        assert fields["samples"] == "5000"
        assert np.float32(fields["min"]) == x.min() and np.float32(fields["max"]) == x.max()
        assert 0.0 <= float(fields["mean"].split()[0]) <= 1.0
        payload, trailer_size = (int(fields[k].split()[0]) for k in ("payload", "trailer"))
        assert HEADER_SIZE + payload + trailer_size == size
        assert "CRC-32C correct, 0 gap runs" in fields["trailer"]
        assert float(fields["multiplier"]) == 512.0
        assert fields["reserved"] == "zero"
        assert fields["size"].startswith(f"{size} bytes")
        assert fields["ratio"].startswith(f"{20000 / size:.3f}")

    # (offset, bytes written there, refused): the tool's reader against the decoder itself.
    @pytest.mark.parametrize("offset,value,refused", [
        (0, b"VTRM", True), (4, b"\x00", True), (5, b"\x09", False), (6, b"f4", True),
        (8, b"CF97", True), (15, b"\xff", False), (13, b"\x05", True), (13, b"\x06", False),
        (13, b"\x0c", False), (13, b"\x0d", True), (14, b"\x03", True),
        (20, struct.pack("<f", float("-inf")), True), (24, struct.pack("<f", float("nan")), True),
        (28, struct.pack("<f", float("inf")), True), (28, struct.pack("<f", 1e-44), False),
    ])
    def test_header_reader_refuses_what_the_decoder_refuses(self, offset, value, refused):
        options = vantrel.CompressionOptions(coder="deflate")
        data = bytearray(vantrel.compress_signal(smooth(300), options))
        data[offset:offset + len(value)] = value
        if refused:
            with pytest.raises(ContainerError):
                parse_header(bytes(data))
            with pytest.raises(ValueError):
                vantrel.decompress_signal(bytes(data))
        else:
            assert parse_header(bytes(data)).sample_count == 300
            assert vantrel.decompress_signal(bytes(data)).shape == (300,)


def _corrupt(tmp_path):
    np.save(tmp_path / "ok.npy", smooth(1000))
    vantrel_cli("compress", "ok.npy", cwd=tmp_path)
    data = bytearray((tmp_path / "ok.vtrl").read_bytes())
    data[0:4] = b"XXXX"
    (tmp_path / "bad.vtrl").write_bytes(bytes(data))
    (tmp_path / "short.vtrl").write_bytes(bytes((tmp_path / "ok.vtrl").read_bytes()[:60]))


def _damage(tmp_path):
    _corrupt(tmp_path)
    data = bytearray((tmp_path / "ok.vtrl").read_bytes())
    data[HEADER_SIZE + 3] ^= 0x10  # one payload bit
    (tmp_path / "hit.vtrl").write_bytes(bytes(data))


def _setup_take(tmp_path):
    """A stereo take.npy and a mono take.ch0.npy, whose outputs meet."""
    np.save(tmp_path / "take.npy", stereo(500))
    np.save(tmp_path / "take.ch0.npy", smooth(500))


def _setup_take_ch1_dir(tmp_path):
    _setup_take(tmp_path)
    (tmp_path / "take.ch1.vtrl").mkdir()


def _setup_self(tmp_path):
    _corrupt(tmp_path)
    os.rename(tmp_path / "ok.vtrl", tmp_path / "cont.npy")
    os.symlink("cont.npy", tmp_path / "link.npy")


def _setup_hard_link(tmp_path):
    _corrupt(tmp_path)
    os.link(tmp_path / "ok.vtrl", tmp_path / "hard.npy")


def _setup_previous(tmp_path):
    _corrupt(tmp_path)
    (tmp_path / "out.npy").write_bytes(b"previous")


def _setup_dtype(tmp_path):
    np.save(tmp_path / "ints.npy", np.arange(100, dtype=np.complex64))


def _setup_inputs(tmp_path):
    np.save(tmp_path / "rows.npy", np.zeros((3, 1000), np.float32))
    np.save(tmp_path / "wide.npy", np.array([0.0, 1e300]))
    (tmp_path / "two.csv").write_text("time,volts\n0,1.5\n1,oops\n")


def _setup_cube(tmp_path):
    np.save(tmp_path / "cube.npy", np.zeros((4, 3, 2), np.float32))


def _setup_clash(tmp_path):
    for d in ("a", "b"):
        (tmp_path / d).mkdir()
        np.save(tmp_path / d / "x.npy", smooth(100))


def _setup_archives(tmp_path):
    """ok.npy in an archive a.zarr (no rate: .npy keeps none), link.zarr a link to it, an empty
    raw file."""
    _corrupt(tmp_path)
    vantrel_cli("compress", "ok.npy", "-o", "a.zarr", cwd=tmp_path)
    os.symlink("a.zarr", tmp_path / "link.zarr")
    (tmp_path / "empty.f32").write_bytes(b"")
    np.save(tmp_path / "step.npy", np.repeat([0.0, 1.0], 5000))


FAILURES = [
    # (name, setup, command, words the message must hold, output that must not appear)
    ("missing file", None, ["compress", "absent.npy", "-o", "out.vtrl"], "absent.npy",
     "out.vtrl"),
    ("corrupt magic", _corrupt, ["decompress", "bad.vtrl", "-o", "out.npy"], "bad.vtrl",
     "out.npy"),
    ("truncated container", _corrupt, ["decompress", "ok.vtrl", "short.vtrl", "-o", "out.wav"],
     "short.vtrl", "out.wav"),
    ("info of a non-container", _corrupt, ["info", "bad.vtrl"], "not a vantrel container",
     None),
    ("wrong dtype", _setup_dtype, ["compress", "ints.npy", "-o", "out.vtrl"], "complex64",
     "out.vtrl"),
    ("channels first, unsaid", _setup_inputs, ["compress", "rows.npy"],
     "rows.npy: unclear layout of an array of shape (3, 1000)", "rows.vtrl"),
    ("bad csv cell", _setup_inputs, ["compress", "two.csv", "--column", "volts"],
     "two.csv: line 3: 'oops' in column volts is not a number", "two.vtrl"),
    ("beyond float32", _setup_inputs, ["eval", "wide.npy"],
     "wide.npy: sample 1 (1e+300) is outside the float32 range", None),
    ("three dimensions", _setup_cube, ["compress", "cube.npy"], "neither 1-D nor 2-D",
     "cube.vtrl"),
    ("unknown option", None, ["compress", "--level", "3", "x.npy"], "--level", None),
    ("scale out of range", _setup_dtype, ["compress", "ints.npy", "--scale", "13"], "13",
     "ints.vtrl"),
    ("unknown suffix", None, ["compress", "notes.docx"], "unknown input format", "notes.vtrl"),
    ("two inputs, one name", _setup_clash, ["compress", "a/x.npy", "b/x.npy", "-o", "o"],
     "both", "o/x.vtrl"),
    ("csv holds one channel", _corrupt, ["decompress", "ok.vtrl", "ok.vtrl", "-o", "o.csv"],
     "one channel", "o.csv"),
    ("no command", None, [], "required", None),
    ("no threads", _setup_dtype, ["compress", "ints.npy", "--threads", "0"],
     "invalid thread count '0'", "ints.vtrl"),
    ("unwritable suffix", _setup_dtype, ["compress", "ints.npy", "-o", "out.flac"],
     "cannot write .flac files; give a name ending in .vtrl, .zarr, .zip or a directory",
     "out.flac"),
    ("unwritable suffix, decompress", _corrupt, ["decompress", "ok.vtrl", "-o", "o.docx"],
     ".csv, .edf, .f32, .flac, .h5", "o.docx"),
    ("a channel meets another input", _setup_take, ["compress", "take.npy", "take.ch0.npy"],
     "take.npy and take.ch0.npy would both be written to take.ch0.vtrl", "take.ch0.vtrl"),
    ("channel 1's target is a directory", _setup_take_ch1_dir, ["compress", "take.npy"],
     "take.ch1.vtrl is a directory", "take.ch0.vtrl"),
    ("output is its input", _setup_self, ["decompress", "cont.npy"], "cont.npy is an input",
     None),
    ("output links to an input", _setup_self, ["decompress", "cont.npy", "-f", "-o", "link.npy"],
     "link.npy is an input", None),
    ("output is a hard link to an input", _setup_hard_link,
     ["decompress", "ok.vtrl", "-f", "-o", "hard.npy"], "hard.npy is an input", None),
    ("existing output", _corrupt, ["compress", "ok.npy"], "ok.vtrl already exists (use -f",
     None),
    ("failure leaves the old output", _setup_previous,
     ["decompress", "ok.vtrl", "bad.vtrl", "-f", "-o", "out.npy"], "bad.vtrl", None),
    ("output directory cannot be written", _corrupt, ["compress", "ok.npy", "-o", "/proc/x.vtrl"],
     "/proc/x.vtrl: ", None),
    ("damaged container", _damage, ["decompress", "hit.vtrl", "-o", "out.npy"],
     "hit.vtrl: container is damaged or truncated: checksum mismatch", "out.npy"),
    ("standard output", _corrupt, ["compress", "ok.npy", "-o", "-"], "-o -: outputs are files",
     "-"),
    ("psnr below 0 dB", _corrupt, ["compress", "ok.npy", "--psnr", "-5", "-o", "p.vtrl"],
     "psnr must be finite and above 0", "p.vtrl"),
    ("empty input", _setup_archives, ["compress", "empty.f32"], "empty.f32: no samples",
     "empty.vtrl"),
    ("forced over a linked archive", _setup_archives, ["compress", "ok.npy", "-f", "-o",
     "link.zarr"], "link.zarr is a symbolic link", None),
    ("scale 12 saturated", _setup_archives, ["compress", "step.npy", "--scale", "12"],
     "16-bit range at scale 12 (multiplier 4096); use a lower scale or multiplier'; code it with "
     "--method cdf53", "step.vtrl"),
    ("archive without a rate into audio", _setup_archives, ["decompress", "a.zarr", "-o", "a.wav"],
     "a.wav: the sample rate of channel 0 is not known; give it with --rate", "a.wav"),
]


def _snapshot(root):
    """Every file and directory under `root`, with the bytes of the files."""
    return {os.path.relpath(os.path.join(d, n), root): (None if n in dirs else
                                                        (root / d / n).read_bytes())
            for d, dirs, files in os.walk(root) for n in dirs + files}


@pytest.mark.parametrize("name,setup,command,words,output", FAILURES,
                         ids=[f[0] for f in FAILURES])
def test_failure_is_one_line_and_status_2(tmp_path, name, setup, command, words, output):
    if setup is not None:
        setup(tmp_path)
    before = _snapshot(tmp_path)
    result = vantrel_cli(*command, cwd=tmp_path)
    assert result.returncode == 2, (result.stdout, result.stderr)
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("vantrel: error: "), result.stderr
    assert words in lines[0]
    assert ".tmp" not in lines[0]
    if output is not None:
        assert not (tmp_path / output).exists()
    # Nothing is written, replaced or left half-written, not even a temporary file.
    assert _snapshot(tmp_path) == before


@pytest.mark.parametrize("stem", ["s" * 245, os.fsdecode(b"caf\xff")],
                         ids=["245 characters", "not UTF-8"])
def test_long_and_undecodable_names(tmp_path, stem):
    np.save(tmp_path / f"{stem}.npy", smooth(300))
    # A stdout that takes only valid UTF-8, as under a UTF-8 locale other than C.UTF-8.
    result = vantrel_cli("compress", f"{stem}.npy", cwd=tmp_path, text=False,
                         env={"PYTHONIOENCODING": "utf-8:strict"})
    assert result.returncode == 0 and result.stderr == b"", result.stderr
    assert os.fsencode(f"{stem}.vtrl") in result.stdout
    assert sorted(os.listdir(tmp_path)) == sorted([f"{stem}.npy", f"{stem}.vtrl"])


def test_gaps_come_back_and_force_overwrites(tmp_path):
    x = smooth(2000).astype(np.float64)
    x[[0, 700, 701, 1999]] = [np.nan, np.inf, -np.inf, np.nan]
    np.save(tmp_path / "g.npy", x)
    assert_ok(vantrel_cli("compress", "g.npy", "--scale", 6, cwd=tmp_path))
    assert_ok(vantrel_cli("compress", "g.npy", "-f", "--scale", SCALE, cwd=tmp_path))
    assert_ok(vantrel_cli("decompress", "g.vtrl", "-o", "back.npy", cwd=tmp_path))
    back = np.load(tmp_path / "back.npy")
    np.testing.assert_array_equal(back[[0, 700, 701, 1999]], x[[0, 700, 701, 1999]])
    finite = np.isfinite(x)
    assert np.isfinite(back[finite]).all()
    assert_close(back[finite], x[finite])  # the scale of the second, forced run


def test_version(tmp_path):
    result = vantrel_cli("--version", cwd=tmp_path)
    assert_ok(result)
    assert result.stdout == f"vantrel {importlib.metadata.version('vantrel')}\n"


def test_a_failed_rename_puts_back_what_the_plan_replaced(tmp_path, monkeypatch):
    """A new file, a replaced Zarr store and a replaced file are in place when the last rename
    fails: the new file goes, the store and the file come back as they were."""
    fresh, store, old, new = (tmp_path / n for n in ("fresh.vtrl", "s.zarr", "old.vtrl",
                                                     "new.vtrl"))
    old.write_bytes(b"previous")
    store.mkdir()
    (store / "zarr.json").write_text("previous store")
    replace = os.replace

    def fail_on_the_last(src, dst):
        if os.fspath(dst) == str(new):
            raise PermissionError(13, "Permission denied")
        replace(src, dst)

    monkeypatch.setattr(os, "replace", fail_on_the_last)
    with pytest.raises(CliError, match=f"^{re.escape(str(new))}: Permission denied$"):
        with OutputPlan([], force=True) as plan:
            plan.add(str(fresh), "in")
            plan.stage(str(fresh), b"written")
            plan.add(str(store), "in", tree=True)
            with open(os.path.join(plan.stage_tree(str(store)), "zarr.json"), "w") as f:
                f.write("new store")
            for path in (old, new):
                plan.add(str(path), "in")
                plan.stage(str(path), b"written")
            plan.commit()
    assert sorted(os.listdir(tmp_path)) == ["old.vtrl", "s.zarr"]
    assert old.read_bytes() == b"previous"
    assert os.listdir(store) == ["zarr.json"]
    assert (store / "zarr.json").read_text() == "previous store"


@pytest.mark.parametrize("output", ["o.vtrl", "new/dir/o.vtrl", "o.zarr"])
def test_outputs_take_their_modes_from_the_umask(tmp_path, output):
    np.save(tmp_path / "m.npy", smooth(500))
    mask = os.umask(0o027)  # the command inherits it
    try:
        assert_ok(vantrel_cli("compress", "m.npy", "-o", output, "-q", cwd=tmp_path))
    finally:
        os.umask(mask)
    top = output.split("/")[0]
    paths = [tmp_path / top] + [Path(d) / n for d, dirs, files in os.walk(tmp_path / top)
                                for n in dirs + files]
    modes = {str(p.relative_to(tmp_path)): stat.S_IMODE(p.stat().st_mode) for p in paths}
    assert len(modes) > 1 or output == "o.vtrl"
    assert modes == {p: 0o750 if (tmp_path / p).is_dir() else 0o640 for p in modes}


@pytest.mark.parametrize("suffix", [".wav", ".flac"])
def test_a_container_without_a_rate_decodes_at_the_default_rate(tmp_path, suffix):
    sf = pytest.importorskip("soundfile")
    (tmp_path / "r.vtrl").write_bytes(vantrel.compress_signal(0.5 * smooth(1000)))
    assert_ok(vantrel_cli("decompress", "r.vtrl", "-o", f"back{suffix}", "-q", cwd=tmp_path))
    assert sf.info(str(tmp_path / f"back{suffix}")).samplerate == 48000


def test_a_file_that_appears_before_the_rename_is_not_overwritten(tmp_path):
    target = tmp_path / "late.vtrl"
    with pytest.raises(CliError, match="late.vtrl already exists"):
        with OutputPlan([], force=False) as plan:
            plan.add(str(target), "in")
            plan.stage(str(target), b"written")
            target.write_bytes(b"someone else's")
            plan.commit()
    assert os.listdir(tmp_path) == ["late.vtrl"] and target.read_bytes() == b"someone else's"


@pytest.mark.parametrize("setup,args,samples", [
    (lambda d: np.save(d / "in.npy", stereo(300).T), ["--channels-first"], [300, 300]),
    (lambda d: np.save(d / "in.npy", stereo(300)[:8]), ["--channels-last"], [8, 8]),
    (lambda d: (d / "in.csv").write_text("a,b\n" + "1,2\n" * 50), ["--column", "b"], [50]),
    (lambda d: (d / "in.csv").write_text("1,2\n" * 50), ["--column", "0"], [50]),
])
def test_input_options(tmp_path, setup, args, samples):
    setup(tmp_path)
    source = next(p.name for p in tmp_path.iterdir())
    assert_ok(vantrel_cli("compress", source, *args, "-o", "out", cwd=tmp_path))
    containers = sorted((tmp_path / "out").iterdir())
    assert [vantrel.decompress_signal(c.read_bytes()).size for c in containers] == samples


class TestEval:
    def test_plot_without_matplotlib_fails_before_the_table(self, tmp_path):
        np.save(tmp_path / "e.npy", smooth(2000))
        code = ("import sys; sys.modules['matplotlib'] = None\n"
                "from vantrel_tools.cli import main\n"
                "sys.exit(main(['eval', 'e.npy', '--plot', 'rd.png']))\n")
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                cwd=tmp_path, timeout=120)
        assert result.returncode == 2 and result.stdout == ""
        assert result.stderr == "vantrel: error: --plot needs matplotlib (pip install matplotlib)\n"

    @pytest.mark.parametrize("low,high", [(6.2, 8.6), (5.4, 67.0), (3.0, 900.0)])
    def test_ratio_axis_has_several_labels(self, low, high):
        pytest.importorskip("matplotlib")
        from vantrel_tools.cli.plotting import _ratio_locator

        ticks = _ratio_locator(low, high).tick_values(low, high)
        assert sum(low <= t <= high for t in ticks) >= 4

    def test_table_and_plot(self, tmp_path):
        x = smooth(20000)
        x[500:600] = np.nan  # measured without the gap
        np.save(tmp_path / "e.npy", x)
        args = ["eval", "e.npy", "--methods", "cdf97,db4", "--scales", "8,12"]
        try:
            import matplotlib  # noqa: F401

            have_matplotlib = True
        except ImportError:
            have_matplotlib = False
        result = vantrel_cli(*args, "--plot", "rd.png", cwd=tmp_path)
        if not have_matplotlib:
            assert result.returncode == 2 and "matplotlib" in result.stderr
            assert len(result.stderr.splitlines()) == 1
            result = vantrel_cli(*args, cwd=tmp_path)
        assert_ok(result)
        assert "; 20000 samples x 1 channel;" in result.stdout
        rows = [line.split() for line in result.stdout.splitlines()
                if line.split()[:1] in (["cdf97"], ["db4"])]
        assert [(r[0], r[1]) for r in rows] == [("cdf97", "8"), ("cdf97", "12"), ("db4", "8"),
                                                ("db4", "12")]
        x = x.astype(np.float64)
        finite = np.isfinite(x)
        for method, scale, ratio, psnr, prd, max_err, *_ in rows:
            packed = vantrel.compress_signal(x, vantrel.CompressionOptions(
                method=method, scale=int(scale), cutoff="low"))
            e = (vantrel.decompress_signal(packed) - x)[finite]
            rmse = np.sqrt(np.mean(e**2))
            expected = (4 * x.size / len(packed), 20 * np.log10(np.ptp(x[finite]) / rmse),
                        100 * np.sqrt(np.sum(e**2) / np.sum(x[finite] ** 2)), np.max(np.abs(e)))
            printed = [float(v) for v in (ratio, psnr, prd, max_err)]
            np.testing.assert_allclose(printed, expected, rtol=6e-3, atol=6e-4)  # as printed
        for method in ("cdf97", "db4"):
            low, high = (r for r in rows if r[0] == method)
            # A finer scale costs ratio and buys PSNR.
            assert float(low[2]) > float(high[2]) and float(low[3]) < float(high[3])
        if have_matplotlib:
            assert (tmp_path / "rd.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


class TestEndings:
    """Signals end a command as Ctrl-C does: nothing staged is left, and the status says which;
    once the last output is in place, the command has succeeded."""

    @pytest.mark.parametrize("signum,status,message", [
        (signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "interrupted"),
        (signal.SIGHUP, 129, "interrupted"), (None, 2, "out.zarr: No space left on device"),
    ], ids=["SIGINT", "SIGTERM", "SIGHUP", "full disk"])
    def test_while_building_an_archive(self, tmp_path, monkeypatch, capsys, signum, status,
                                       message):
        np.save(tmp_path / "in.npy", smooth(3000))
        write = archives.write_archive

        def write_then_end(path, *args):
            write(path, *args)
            if signum is None:
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), path)
            # Without a handler the signal would end the test run instead of failing it.
            assert signal.getsignal(signum) not in (signal.SIG_DFL, signal.SIG_IGN)
            os.kill(os.getpid(), signum)

        monkeypatch.setattr(archives, "write_archive", write_then_end)
        monkeypatch.chdir(tmp_path)
        assert main(["compress", "in.npy", "-o", "out.zarr"]) == status
        assert capsys.readouterr().err == f"vantrel: error: {message}\n"
        assert os.listdir(tmp_path) == ["in.npy"]

    def test_ctrl_c_during_the_clean_up_after_the_last_rename(self, tmp_path, monkeypatch):
        np.save(tmp_path / "in.npy", smooth(3000))
        monkeypatch.chdir(tmp_path)
        previous = os.umask(0o027)  # archive directories honour it, as files do
        try:
            assert main(["compress", "in.npy", "-o", "out.zarr", "-q"]) == 0
        finally:
            os.umask(previous)
        assert stat.S_IMODE(os.stat(tmp_path / "out.zarr").st_mode) == 0o750
        remove = files._remove
        monkeypatch.setattr(files, "_remove",
                            lambda path: os.kill(os.getpid(), signal.SIGINT) or remove(path))
        assert main(["compress", "in.npy", "-o", "out.zarr", "-f", "--scale", "6", "-q"]) == 0
        assert sorted(os.listdir(tmp_path)) == ["in.npy", "out.zarr"]
        assert read_archive(str(tmp_path / "out.zarr")).signal.num_samples == 3000

    def test_ctrl_c_while_the_package_loads(self, monkeypatch, capsys):
        class Interrupting:
            def find_spec(self, name, *_):
                if name == "vantrel_tools.cli":
                    raise KeyboardInterrupt

        monkeypatch.delitem(sys.modules, "vantrel_tools.cli")
        monkeypatch.setattr(sys, "meta_path", [Interrupting(), *sys.meta_path])
        assert vantrel_command.main() == 130
        assert capsys.readouterr().err == "vantrel: error: interrupted\n"

    def test_a_reader_that_goes_away(self, tmp_path):
        np.save(tmp_path / "in.npy", smooth(300))
        assert_ok(vantrel_cli("compress", "in.npy", cwd=tmp_path))
        # Far more than a pipe holds, so that writing goes on after the reader has gone.
        with subprocess.Popen([sys.executable, "-m", "vantrel_tools", "info", *["in.vtrl"] * 500],
                              cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as run:
            run.stdout.readline()
            run.stdout.close()
            assert run.wait(timeout=120) == 128 + signal.SIGPIPE and run.stderr.read() == b""


def test_rate_given_for_an_archive_without_one(tmp_path):
    np.save(tmp_path / "in.npy", smooth(3000))
    assert_ok(vantrel_cli("compress", "in.npy", "-o", "a.zarr", "-q", cwd=tmp_path))
    assert_ok(vantrel_cli("decompress", "a.zarr", "-o", "a.wav", "--rate", 250, cwd=tmp_path))
    assert read_signal(str(tmp_path / "a.wav")).rate == 250


@pytest.mark.parametrize("name,write", [
    ("in.csv", lambda p: p.write_text("1\n2\n")),  # the container is the larger
    ("in.npy", lambda p: np.save(p, smooth(5000)))])
def test_ratio_against_the_input_file(tmp_path, name, write):
    write(tmp_path / name)
    result = vantrel_cli("compress", name, "-o", "out.vtrl", cwd=tmp_path)
    held, out = os.path.getsize(tmp_path / name), os.path.getsize(tmp_path / "out.vtrl")
    ratio = float(re.search(r", ([\d.]+) vs the input file", result.stdout).group(1))
    assert ratio == pytest.approx(held / out, abs=0.01)
    assert ("the output is larger than the input" in result.stdout) == (out > held)
    if out > held:
        assert f"{out / held:.2f} times its {held} bytes" in result.stdout
