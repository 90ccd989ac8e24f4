"""Damaged and hostile archives, in both forms: each is refused in one line naming the archive and
what is wrong, or reads back exactly as written. Nothing a file declares is trusted unchecked."""

import json
import os
import random
import shutil
import warnings
import zipfile

import numpy as np
import pytest

import vantrel_tools
from conftest import smooth
from vantrel_tools.cli import main
from vantrel_tools.core.options import Options, Targeted
from vantrel_tools.core.target import QualityTarget
from vantrel_tools.io import Annotation, ChannelInfo, Signal, SignalFileError
from vantrel_tools.numcodecs_codec import Vantrel
from vantrel_tools.store.archive import read_archive, read_channel, write_archive
from vantrel_tools.store.layout import metadata_checksum
from vantrel_tools.store.timeline import split_channel
from vantrel_tools.store.writer import ArchiveWriter
from vantrel_tools.zarr3_codec import VantrelCodec

pytest.importorskip("zarr")

FORMS = ["rec.zarr", "rec.vtrl.zip"]


def write_two_channels(path):
    x = [smooth(300, seed=1), 0.5 * smooth(150, seed=2)]
    x[1][7] = np.nan
    signal = Signal(x, info=[ChannelInfo("Fz", 256.0, "uV"), ChannelInfo("Resp", 128.0, "mV")],
                    source="edf", description="EDF+", annotations=[Annotation(1.5, None, "a")])
    write_archive(path, signal, [vantrel_tools.compress(c) for c in x], Options())


def slurp(path):
    with open(path, "rb") as f:
        return f.read()


def put(path, data):
    with open(path, "wb") as f:
        f.write(data)


def members(path):
    if path.endswith(".zip"):
        with zipfile.ZipFile(path) as z:
            return [(i.filename, z.read(i)) for i in z.infolist()]
    found = []
    for top, _, files in sorted(os.walk(path)):
        for name in sorted(files):
            full = os.path.join(top, name)
            found.append((os.path.relpath(full, path).replace(os.sep, "/"), slurp(full)))
    return found


def store(path, items):
    """A new archive at `path` holding `items` (the zip may name one member twice)."""
    shutil.rmtree(path, ignore_errors=True) if os.path.isdir(path) else None
    if path.endswith(".zip"):
        with warnings.catch_warnings(), zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            warnings.simplefilter("ignore")  # duplicate names
            for name, data in items:
                z.writestr(name, data)
        return
    for name, data in items:
        os.makedirs(os.path.dirname(os.path.join(path, name)) or path, exist_ok=True)
        put(os.path.join(path, name), data)


def edit(key, change, sign=True):
    """Changes one metadata document; `sign` keeps the checksum right, to reach later checks."""
    def apply(items):
        d = dict(items)
        if key is None:
            doc = change(None)
        else:
            doc = json.loads(d[key])
            doc = change(doc) or doc
        d[key or "ch0/zarr.json"] = json.dumps(doc).encode()
        if sign:
            group = json.loads(d["zarr.json"])
            count = group["attributes"]["vantrel"]["channels"]
            arrays = [json.loads(d[f"ch{k}/zarr.json"])
                      for k in range(count if isinstance(count, int) else 2)
                      if f"ch{k}/zarr.json" in d]
            group["attributes"]["vantrel"]["metadata_crc32c"] = metadata_checksum(group, arrays)
            d["zarr.json"] = json.dumps(group).encode()
        return list(d.items())
    return apply


def group_attr(name, value, sign=True):
    return edit("zarr.json", lambda g: g["attributes"]["vantrel"].__setitem__(name, value), sign)


def array_field(name, value, k=0):
    return edit(f"ch{k}/zarr.json", lambda a: a.__setitem__(name, value))


def channel_attr(name, value):
    return edit("ch0/zarr.json", lambda a: a["attributes"].__setitem__(name, value))


def chunk(key, change):
    return lambda items: [(n, change(d) if n == key else d) for n, d in items]


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 0x10]) + data[at + 1:]


def zip_flags(bits):
    def apply(path):
        data = bytearray(slurp(path))
        at = data.find(b"PK\x01\x02")
        while at >= 0:
            data[at + 8] |= bits
            at = data.find(b"PK\x01\x02", at + 4)
        put(path, bytes(data))
    return apply


def absurd_shape(a):
    a["shape"] = [2**50]
    a["chunk_grid"]["configuration"]["chunk_shape"] = [2**50]


HOSTILE = [
    # (case, change of the members, what the one line says)
    ("missing chunk", lambda m: [(n, d) for n, d in m if n != "ch0/c/0"],
     "channel 0 ('Fz'): chunk ch0/c/0 is missing"),
    ("missing group", lambda m: m[1:], "zarr.json is missing"),
    ("group not JSON", lambda m: [("zarr.json", b"{")] + m[1:], "zarr.json is not valid JSON"),
    ("fewer channels declared", group_attr("channels", 1), "holds array ch1 but its attributes"),
    ("more channels declared", group_attr("channels", 3), "ch2/zarr.json is missing"),
    ("label changed", edit("ch0/zarr.json", lambda a: a["attributes"].update(label="Cz"), False),
     "metadata checksum mismatch"),
    ("checksum removed", group_attr("metadata_crc32c", None, sign=False),
     "format 2 but no 'metadata_crc32c'"),
    ("newer format", group_attr("format", 9), "archive format 9 is newer than this reader"),
    ("channel count a string", group_attr("channels", "2"), "'channels' is str, not int"),
    ("annotations a number", group_attr("annotations", 5), "'annotations' is int, not list"),
    ("annotation of two fields", group_attr("annotations", [[1, "a"]]),
     "an annotation is [1, 'a']"),
    ("attrs a list", group_attr("attrs", []), "'attrs' is list, not dict"),
    ("label a number", channel_attr("label", 5), "'label' is int, not str"),
    ("negative rate", channel_attr("sample_rate", -1), "'sample_rate' is -1, not a positive"),
    ("range of one value", channel_attr("physical_range", [1]), "is [1], not two numbers"),
    ("ch0 a group", edit("ch0/zarr.json", lambda a: {"zarr_format": 3, "node_type": "group"}),
     "ch0 is a group, not a channel array"),
    ("gzip codec", array_field("codecs", [{"name": "bytes"}, {"name": "gzip"}]),
     "codecs ['bytes', 'gzip'] are not the vantrel serializer alone"),
    ("float64 array", array_field("data_type", "float64"), "data type 'float64' is not float32"),
    ("absurd shape", edit("ch0/zarr.json", absurd_shape),
     f"holds 300 samples, the array declares {2**50}"),
    ("chunk shorter than its array", edit("ch1/zarr.json", lambda a: a.update(
        shape=[151], chunk_grid={"name": "regular", "configuration": {"chunk_shape": [151]}})),
     "channel 1 ('Resp'): chunk ch1/c/0 holds 150 samples, the array declares 151"),
    ("chunk padded to 10 MB", chunk("ch0/c/0", lambda d: d + bytes(10**7)),
     "declares 10000"),
    ("chunk damaged", chunk("ch1/c/0", lambda d: flip(d, 60)),
     "channel 1 ('Resp'): chunk ch1/c/0: container is damaged"),
    ("chunk no container", chunk("ch1/c/0", lambda d: b"RIFF" + d[4:]),
     "chunk ch1/c/0: not a vantrel container"),
]
ZIP_ONLY = [
    ("member named twice", lambda m: m + [("ch0/c/0", dict(m)["ch1/c/0"])],
     "holds member 'ch0/c/0' twice"),
]
ZIP_BYTES = [
    ("encrypted member", zip_flags(0x01), "is encrypted"),
    ("patched member", zip_flags(0x20), "flag bit 5"),
    ("cut short", lambda p: put(p, slurp(p)[:-30]),
     "damaged zip file"),
]


def assert_refused(tmp_path, capsys, path, says):
    for command in (["info", path], ["decompress", path, "-o", str(tmp_path / "back.npy")]):
        assert main(command) == 2
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and path in err and says in err, (command, err)
        assert not os.path.exists(tmp_path / "back.npy")


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("case,change,says", HOSTILE, ids=[row[0] for row in HOSTILE])
def test_hostile_archive_is_refused_in_one_line(tmp_path, capsys, form, case, change, says):
    path = str(tmp_path / form)
    write_two_channels(path)
    store(path, change(members(path)))
    assert_refused(tmp_path, capsys, path, says)


def test_a_pipe_in_a_directory_archive_is_refused_unread(tmp_path, capsys):
    path = str(tmp_path / "rec.zarr")
    write_two_channels(path)
    os.remove(os.path.join(path, "ch1", "c", "0"))
    os.mkfifo(os.path.join(path, "ch1", "c", "0"))
    assert_refused(tmp_path, capsys, path, "ch1/c/0 is not a regular file")


@pytest.mark.parametrize("case,change,says", ZIP_ONLY + ZIP_BYTES,
                         ids=[row[0] for row in ZIP_ONLY + ZIP_BYTES])
def test_hostile_zip_is_refused_in_one_line(tmp_path, capsys, case, change, says):
    path = str(tmp_path / "rec.vtrl.zip")
    write_two_channels(path)
    if (case, change, says) in ZIP_ONLY:
        store(path, change(members(path)))
    else:
        change(path)
    assert_refused(tmp_path, capsys, path, says)


@pytest.mark.parametrize("form", FORMS)
def test_format_1_archive_without_checksum_still_reads(tmp_path, form):
    path = str(tmp_path / form)
    write_two_channels(path)
    written = read_archive(path).signal
    store(path, edit("zarr.json", lambda g: g["attributes"]["vantrel"].update(
        format=1, metadata_crc32c=None), sign=False)(members(path)))
    old = read_archive(path).signal
    assert old.info == written.info and old.annotations == written.annotations
    for a, b in zip(old.channels, written.channels, strict=True):
        np.testing.assert_array_equal(a, b)


# Every bit and every length of the small archives (about 44,000 cases with one chunk per
# channel) with VANTREL_ARCHIVE_FLIPS=all.
FLIPS = os.environ.get("VANTREL_ARCHIVE_FLIPS", "1500")


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("chunked", [False, True], ids=["one chunk", "chunked"])
def test_every_flip_and_cut_is_refused_or_changes_nothing(tmp_path, form, chunked):
    path = str(tmp_path / form)
    if chunked:
        write_chunked(path, [smooth(200, seed=1), smooth(100, seed=2)], 64)
    else:
        write_two_channels(path)
    written = read_archive(path).signal
    # One blob per file of the directory form; the zip is one file.
    if form.endswith(".zip"):
        files = [(path, slurp(path))]
    else:
        files = [(os.path.join(path, *n.split("/")), d) for n, d in members(path)]
    cases = [(f, "flip", i) for f, (_, d) in enumerate(files) for i in range(8 * len(d))]
    cases += [(f, "cut", i) for f, (_, d) in enumerate(files) for i in range(len(d))]
    if FLIPS != "all":
        cases = random.Random(0).sample(cases, int(FLIPS))
    refused = 0
    for f, how, i in cases:
        name, data = files[f]
        changed = (data[:i // 8] + bytes([data[i // 8] ^ 1 << i % 8]) + data[i // 8 + 1:]
                   if how == "flip" else data[:i])
        put(name, changed)
        try:
            back = read_archive(path).signal
        except SignalFileError:
            refused += 1
        else:
            assert (back.info, back.annotations, back.attrs, back.description) == (
                written.info, written.annotations, written.attrs, written.description), (how, i)
            for a, b in zip(back.channels, written.channels, strict=True):
                np.testing.assert_array_equal(a, b, err_msg=f"{name} {how} {i}")
        finally:
            put(name, data)
    print(f"{form} {chunked=}: {len(cases)} cases, {refused} refused, "
          f"{len(cases) - refused} unchanged")


@pytest.mark.parametrize("make", [Vantrel, VantrelCodec])
@pytest.mark.parametrize("fixed", [{"scale": 11}, {"cutoff": "high"}, {"coder": "deflate"}])
def test_codecs_refuse_fixed_options_with_a_target(make, fixed):
    with pytest.raises(ValueError, match=f"^{next(iter(fixed))} cannot be combined with a "
                                         "quality target$"):
        make(psnr=60.0, **fixed)


def test_codec_configurations_stored_with_unused_scale_still_open():
    old = {"method": "cdf97", "scale": 11, "cutoff": "low", "rmse": 0.5}
    assert Vantrel.from_config(dict(old, dtype="float32")).rmse == 0.5
    codec = VantrelCodec.from_dict({"name": "vantrel", "configuration": old})
    assert (codec.rmse, codec.scale) == (0.5, None)
    assert "scale" not in codec.to_dict()["configuration"]


# ---------------------------------------------------------------------------------------------
# Channels chunked in time

def write_chunked(path, x, chunk, coding=None):
    coding = coding or Options()
    containers = [[vantrel_tools.compress(p) for p in split_channel(c, chunk)] if c.size else None
                  for c in x]
    write_archive(path, Signal(list(x)), containers, coding, chunk=chunk)


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("n,chunk,chunks", [(300, 64, 5), (256, 64, 4), (64, 64, 1), (50, 64, 1)])
def test_chunked_channels_read_as_plain_zarr_reads_them(tmp_path, form, n, chunk, chunks):
    zarr = pytest.importorskip("zarr")
    x = smooth(n, seed=3)
    x[64:128] = np.nan  # a whole chunk of gaps is stored, not left to the fill value
    path = str(tmp_path / form)
    write_chunked(path, [x], chunk)
    archive = read_archive(path)
    assert archive.chunks == [(chunk if chunks > 1 else n, chunks)]
    assert len([m for m, _ in members(path) if m.startswith("ch0/c/")]) == chunks
    assert json.loads(dict(members(path))["zarr.json"])["attributes"]["vantrel"]["format"] == (
        3 if chunks > 1 else 2)
    whole = archive.signal.channels[0]
    if form.endswith(".zarr"):
        np.testing.assert_array_equal(zarr.open_group(path, mode="r")["ch0"][:], whole)
    for start, stop in [(0, n), (60, 70), (63, 129), (n - 5, n + 50), (10, 10), (-20, None)]:
        np.testing.assert_array_equal(read_channel(path, 0, start, stop), whole[start:stop])


CHUNKED_HOSTILE = [
    ("middle chunk missing", lambda m: [(n, d) for n, d in m if n != "ch0/c/1"],
     "chunk ch0/c/1 is missing"),
    ("chunk beyond the shape", lambda m: m + [("ch0/c/5", dict(m)["ch0/c/0"])],
     "holds 6 chunks, its shape 5"),
    ("chunks swapped for a shorter one", chunk("ch0/c/2", lambda d: vantrel_tools.compress(
        smooth(60))), "chunk ch0/c/2 holds 60 samples, the array declares 64"),
]


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("case,change,says", CHUNKED_HOSTILE,
                         ids=[row[0] for row in CHUNKED_HOSTILE])
def test_hostile_chunked_archive_is_refused(tmp_path, capsys, form, case, change, says):
    path = str(tmp_path / form)
    write_chunked(path, [smooth(300)], 64)
    store(path, change(members(path)))
    assert_refused(tmp_path, capsys, path, says)


@pytest.mark.parametrize("flag,value", [("--psnr", 50.0), ("--prd", 2.0), ("--rmse", 0.02),
                                        ("--max-error", 0.05)])
def test_a_target_holds_for_the_whole_chunked_channel(tmp_path, capsys, flag, value):
    # Chunks of the channel's whole range, a silent one and a short filled-up last chunk.
    wave = np.sin(np.arange(3000) * 0.05).astype(np.float32) + 0.01 * smooth(3000, seed=5)
    x = np.concatenate([wave, np.zeros(1100, np.float32), wave[:300]])
    np.save(tmp_path / "x.npy", x)
    path, back = str(tmp_path / "x.zarr"), str(tmp_path / "back.npy")
    assert main(["compress", str(tmp_path / "x.npy"), "-o", path, flag, str(value),
                 "--chunk-samples", "1024"]) == 0
    assert main(["decompress", path, "-o", back]) == 0
    y, x = np.load(back).astype(np.float64), x.astype(np.float64)
    err = x - y
    rmse = np.sqrt(np.mean(err ** 2))
    reached = {"--psnr": -20 * np.log10(np.ptp(x) / rmse), "--max-error": np.abs(err).max(),
               "--prd": 100 * np.sqrt(np.sum(err ** 2) / np.sum(x ** 2)), "--rmse": rmse}[flag]
    assert reached <= (-value if flag == "--psnr" else value)


@pytest.mark.parametrize("output,value,says", [
    ("x.zarr", "8", "a chunk holds at least 16 samples, not 8"),
    ("x.vtrl", "4096", "--chunk-samples applies to archives"),
])
def test_a_chunk_length_that_cannot_be_used_is_refused(tmp_path, capsys, output, value, says):
    np.save(tmp_path / "x.npy", smooth(100))
    assert main(["compress", str(tmp_path / "x.npy"), "-o", str(tmp_path / output),
                 "--chunk-samples", value]) == 2
    assert says in capsys.readouterr().err and not os.path.exists(tmp_path / output)


def test_chunked_archives_are_the_same_for_every_thread_count(tmp_path):
    np.save(tmp_path / "x.npy", np.stack([smooth(5000, seed=7), smooth(5000, seed=8)], 1))
    written = []
    for threads in ("1", "3"):
        path = str(tmp_path / f"t{threads}.vtrl.zip")
        assert main(["compress", str(tmp_path / "x.npy"), "-o", path, "--psnr", "45",
                     "--chunk-samples", "1000", "--threads", threads, "-q"]) == 0
        written.append(members(path))
    assert written[0] == written[1]


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("n,blocks", [(300, [7, 100, 193]), (128, [64, 64]), (50, [50]), (0, [])])
def test_written_block_by_block_as_written_whole(tmp_path, form, n, blocks):
    x = np.stack([smooth(n, seed=1), smooth(n, seed=2)], 1)
    whole, streamed = str(tmp_path / f"whole{form}"), str(tmp_path / form)
    write_chunked(whole, [x[:, 0], x[:, 1]], 64)
    mask = os.umask(0o027)  # the archive takes its mode from it, as a new file or folder does
    try:
        with ArchiveWriter(streamed, 2, Options(), chunk=64) as writer:
            for start, size in zip(np.cumsum([0] + blocks), blocks):
                writer.append(x[start:start + size])
    finally:
        os.umask(mask)
    assert os.stat(streamed).st_mode & 0o777 == (0o750 if form.endswith("zarr") else 0o640)
    assert dict(members(streamed)) == dict(members(whole))
    assert not [p for p in os.listdir(tmp_path) if p.startswith(".vtrl-")]


def test_a_streamed_rmse_target_holds_and_a_failure_leaves_nothing(tmp_path):
    x = smooth(1000, seed=4)
    path = str(tmp_path / "live.zarr")
    with ArchiveWriter(path, 1, Targeted(QualityTarget.parse(rmse=0.01)), chunk=256) as w:
        for block in np.array_split(x, 7):
            w.append(block)
    assert np.sqrt(np.mean((read_channel(path, 0) - x.astype(np.float64)) ** 2)) <= 0.01
    with pytest.raises(ValueError, match="needs each channel's peak up front"):
        ArchiveWriter(str(tmp_path / "b.zarr"), 1, Targeted(QualityTarget.parse(psnr=40.0)))
    with pytest.raises(ValueError, match="a finite number >= 0"):
        ArchiveWriter(str(tmp_path / "b.zarr"), 1, Targeted(QualityTarget.parse(prd=1.0)),
                      levels=[float("nan")])
    with pytest.raises(ValueError, match=r"not \(samples, 1\)"), \
            ArchiveWriter(str(tmp_path / "c.zarr"), 1, Options()) as w:
        w.append(np.zeros((5, 2)))
    assert sorted(os.listdir(tmp_path)) == ["live.zarr"]


@pytest.mark.parametrize("metric,value,threads,grid", [
    ("psnr", 50.0, 1, None), ("psnr", 50.0, 3, None), ("prd", 2.0, 2, None),
    ("rmse", 0.01, 1, None), ("max_error", 0.02, 3, None),
    ("psnr", 50.0, 2, 0.004),  # the grid stays when the target becomes a chunk's RMSE
])
def test_a_target_written_block_by_block_as_written_whole(tmp_path, metric, value, threads,
                                                          grid):
    # 700 samples in chunks of 128: a filled-up last chunk; a 128-sample channel: one chunk.
    x = [smooth(700, seed=3), 3.0 * smooth(700, seed=4) + 1.0, smooth(128, seed=5)]
    if grid:
        x = [np.round(c.astype(np.float64) / grid) * grid for c in x]
    coding = Targeted(QualityTarget.parse(**{metric: value}), grid=grid)
    whole, streamed = str(tmp_path / "whole.zarr"), str(tmp_path / "streamed.zarr")
    write_archive(whole, Signal(x), None, coding, chunk=128)
    wide = [c.astype(np.float64) for c in x]
    levels = [np.ptp(c) if metric == "psnr" else np.sqrt(np.dot(c, c) / c.size) for c in wide]
    with ArchiveWriter(streamed, 3, coding, chunk=128, levels=levels, threads=threads) as w:
        for lo, hi in [(0, 5), (5, 300), (300, 700)]:
            w.append_channels([c[lo * c.size // 700:hi * c.size // 700] for c in x])
    assert members(streamed) == members(whole)
    if grid:
        for c, y in zip(x, read_archive(streamed).signal.channels):
            on_grid = np.round(y.astype(np.float64) / grid) * grid
            assert np.array_equal(on_grid.astype(y.dtype), y)
            assert 20 * np.log10(np.ptp(c) / np.sqrt(np.mean((c - y) ** 2))) >= value


@pytest.mark.parametrize("window,code,says", [
    (["--start", "1s", "--stop", "2s"], 0, "128 to 256 samples x 2 channels"),
    (["--start", "100", "--stop", "612"], 0, "256 to 512 samples x 2 channels"),
    (["--stop", "3s"], 0, "384 to 768 samples x 2 channels"),
    ([], 2, "chunk ch0/c/9"),  # the whole channel meets the damaged chunk
    (["--start", "10s"], 2, "('a'): the window from sample 2560 to 2560 holds no sample"),
])
def test_eval_of_an_archive_window_decodes_only_its_chunks(tmp_path, capsys, window, code,
                                                           says):
    x = [smooth(2560, seed=1), smooth(1280, seed=2)]
    path = str(tmp_path / "rec.zarr")
    write_archive(path, Signal(x, info=[ChannelInfo("a", 256.0), ChannelInfo("b", 128.0)]),
                  None, Options(), chunk=256)
    put(os.path.join(path, "ch0", "c", "9"), b"not a container")  # beyond every window
    assert main(["eval", path, "--methods", "cdf97", "--scales", "6", "--targets", "none",
                 *window]) == code
    assert says in "".join(capsys.readouterr())
