"""The vantrel command, run as a subprocess: round trips through every file format, the info
report, and failures that end in one line on stderr, exit status 2 and no output file."""

import os
import re
import struct
import subprocess
import sys
import wave

import numpy as np
import pytest

import vantrel
from conftest import smooth
from vantrel_tools.container import ContainerError, parse_header
from vantrel_tools.signal_io import encode_signal, read_signal

SCALE = 12
# Worst error at scale 12 with the low dead zone, as a share of the signal's range (see
# test_roundtrip.error_bound): 9 levels * 3.5 steps * 2 / 2**12.
TOLERANCE = 9 * 3.5 * 2 / 2**12


def vantrel_cli(*args, cwd):
    return subprocess.run([sys.executable, "-m", "vantrel_tools", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=120)


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
        assert fields["payload"] == f"{size - 52} bytes"
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


def _setup_dtype(tmp_path):
    np.save(tmp_path / "ints.npy", np.arange(100, dtype=np.int16))


def _setup_cube(tmp_path):
    np.save(tmp_path / "cube.npy", np.zeros((4, 3, 2), np.float32))


def _setup_clash(tmp_path):
    for d in ("a", "b"):
        (tmp_path / d).mkdir()
        np.save(tmp_path / d / "x.npy", smooth(100))


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
    ("wrong dtype", _setup_dtype, ["compress", "ints.npy", "-o", "out.vtrl"], "int16",
     "out.vtrl"),
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
]


@pytest.mark.parametrize("name,setup,command,words,output", FAILURES,
                         ids=[f[0] for f in FAILURES])
def test_failure_is_one_line_and_status_2(tmp_path, name, setup, command, words, output):
    if setup is not None:
        setup(tmp_path)
    before = set(os.listdir(tmp_path))
    result = vantrel_cli(*command, cwd=tmp_path)
    assert result.returncode == 2, (result.stdout, result.stderr)
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("vantrel: error: "), result.stderr
    assert words in lines[0]
    if output is not None:
        assert not (tmp_path / output).exists()
    # Nothing half-written is left behind, not even a temporary file.
    assert set(os.listdir(tmp_path)) == before


def test_failed_decompress_leaves_an_existing_output_untouched(tmp_path):
    _corrupt(tmp_path)
    (tmp_path / "out.npy").write_bytes(b"previous")
    result = vantrel_cli("decompress", "ok.vtrl", "bad.vtrl", "-o", "out.npy", cwd=tmp_path)
    assert result.returncode == 2
    assert (tmp_path / "out.npy").read_bytes() == b"previous"


class TestEval:
    def test_table_and_plot(self, tmp_path):
        np.save(tmp_path / "e.npy", smooth(20000))
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
        rows = [line.split() for line in result.stdout.splitlines()
                if line.split()[:1] in (["cdf97"], ["db4"])]
        assert [(r[0], r[1]) for r in rows] == [("cdf97", "8"), ("cdf97", "12"), ("db4", "8"),
                                                ("db4", "12")]
        for method in ("cdf97", "db4"):
            low, high = (r for r in rows if r[0] == method)
            # A finer scale costs ratio and buys PSNR.
            assert float(low[2]) > float(high[2]) and float(low[3]) < float(high[3])
        if have_matplotlib:
            assert (tmp_path / "rd.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
