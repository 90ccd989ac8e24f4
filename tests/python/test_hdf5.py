"""The HDF5 filter through h5py, a fresh process, h5dump and pynwb; judged with NumPy float64."""

import io
import itertools
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
from vantrel_tools.hdf5 import FILTER_ID, PLUGIN_PATH, Vantrel  # noqa: E402

T, CHANNELS, CHUNK = 12000, 6, (3000, 3)
PLUGIN_ENV = {**os.environ, "HDF5_PLUGIN_PATH": PLUGIN_PATH}
TARGETS = {"psnr": 60, "max_error": 0.5}


def recording(dtype):
    t = np.arange(T)[:, None] / 3000.0
    x = 400 * np.sin(2 * np.pi * (3 + np.arange(CHANNELS)) * t) + 30 * np.cos(170 * t)
    x += np.random.default_rng(1).normal(0, 5, x.shape) + np.arange(CHANNELS) * 100
    return x.astype(dtype)


def per_channel(x, y):
    x = x.astype(np.float64)
    d = y.astype(np.float64) - x
    with np.errstate(divide="ignore"):  # an unchanged channel has an infinite PSNR
        return {"psnr": 20 * np.log10(np.ptp(x, axis=0) / np.sqrt(np.mean(d**2, axis=0))),
                "max_error": np.abs(d).max(axis=0),
                "prd": 100 * np.sqrt(np.sum(d**2, axis=0) / np.sum(x**2, axis=0))}


@pytest.fixture
def written(tmp_path):
    path, data = tmp_path / "rec.h5", {dtype: recording(dtype) for dtype in ("f4", "f8", "i2")}
    with h5py.File(path, "w") as f:
        for dtype, x in data.items():
            for name, value in TARGETS.items():
                f.create_dataset(f"{dtype}/{name}", data=x, chunks=CHUNK,
                                 **Vantrel(**{name: value}))
    return path, data


class TestDatasets:
    def test_dtype_kept_and_targets_met_per_channel(self, written):
        path, data = written
        with h5py.File(path) as f:
            for (dtype, x), (name, value) in itertools.product(data.items(), TARGETS.items()):
                y = f[f"{dtype}/{name}"][:]
                got = per_channel(x, y)
                assert y.dtype == x.dtype
                assert (got[name] >= value if name == "psnr" else got[name] <= value).all()
                assert f[f"{dtype}/{name}"].id.get_storage_size() < x.nbytes / 2

    @pytest.mark.parametrize("dtype, keywords, refusal", [
        ("int64", {}, "cannot code integers of 8 bytes"),
        ("float16", {}, "cannot code floats of 2 bytes"),
        ("complex64", {}, "cannot code this type class"),
        (">f4", {}, "big-endian")])
    def test_refusals(self, tmp_path, dtype, keywords, refusal):
        with h5py.File(tmp_path / "a.h5", "w") as f, pytest.raises(ValueError, match=refusal):
            f.create_dataset("x", data=np.zeros((100, 2), dtype), chunks=(50, 2), **Vantrel(**keywords))

    def test_growing_chunks_are_stored_raw(self, tmp_path):
        x = recording("float32")[:, :2]
        with h5py.File(tmp_path / "a.h5", "w") as f:  # one-sample signals: no chunk shrinks
            f.create_dataset("x", data=x, chunks=(1, 2), **Vantrel())
        with h5py.File(tmp_path / "a.h5") as f:
            np.testing.assert_array_equal(f["x"][:], x)


class TestOtherReaders:
    def test_fresh_process_with_plugin_path_only(self, written):
        path, _ = written
        code = ("import sys, h5py, numpy; f = h5py.File(sys.argv[1]); "
                "assert 'vantrel_tools' not in sys.modules; numpy.save(sys.stdout.buffer, f['f8/psnr'][:])")
        out = subprocess.run([sys.executable, "-c", code, str(path)], env=PLUGIN_ENV, check=True,
                             capture_output=True).stdout
        with h5py.File(path) as f:
            np.testing.assert_array_equal(np.load(io.BytesIO(out)), f["f8/psnr"][:])

    @pytest.mark.skipif(shutil.which("h5dump") is None, reason="h5dump (hdf5-tools) not installed")
    def test_h5dump(self, written):
        path, _ = written
        out = subprocess.run(["h5dump", "-d", "/i2/psnr", "-c", "1,6", "-y", "-w", "0", str(path)],
                             env=PLUGIN_ENV, capture_output=True, text=True, check=True).stdout
        with h5py.File(path) as f:
            assert out.split("DATA {")[1].split("}")[0].replace(",", " ").split() == \
                [str(v) for v in f["i2/psnr"][0]]


def write_nwb(path, x, data):
    """An NWB file holding `x` as an ElectricalSeries whose data is `data` (x or an H5DataIO)."""
    pynwb = pytest.importorskip("pynwb")
    from datetime import datetime, timezone

    from pynwb.ecephys import ElectricalSeries

    nwb = pynwb.NWBFile("rec", "id", datetime(2024, 1, 1, tzinfo=timezone.utc))
    group = nwb.create_electrode_group("g", description="probe", location="brain",
                                       device=nwb.create_device("probe"))
    for _ in range(x.shape[1]):
        nwb.add_electrode(group=group, location="brain")
    region = nwb.create_electrode_table_region(list(range(x.shape[1])), "all")
    nwb.add_acquisition(ElectricalSeries(name="es", data=data, electrodes=region, rate=3000.0))
    with pynwb.NWBHDF5IO(path, "w") as nwb_io:
        nwb_io.write(nwb)


def read_nwb_series(path):
    """The ElectricalSeries' data, its filter and its electrodes' group names, read by pynwb."""
    import pynwb

    with pynwb.NWBHDF5IO(path, "r") as nwb_io:
        series = nwb_io.read().acquisition["es"]
        groups = [g.name for g in series.electrodes.table["group"][:]]
        return series.data[:], series.data.id.get_create_plist().get_filter(0)[0], groups


def test_pynwb_electrical_series(tmp_path):
    pytest.importorskip("pynwb")
    from hdmf.backends.hdf5.h5_utils import H5DataIO

    x = recording("int16")
    with pytest.warns(UserWarning, match="may not be available on all installations"):
        data = H5DataIO(x, chunks=CHUNK, allow_plugin_filters=True, **Vantrel(prd=2))
    write_nwb(tmp_path / "a.nwb", x, data)
    y, filter_id, _ = read_nwb_series(tmp_path / "a.nwb")
    assert filter_id == FILTER_ID
    assert y.dtype == np.int16 and (per_channel(x, y)["prd"] <= 2).all()


def inventory(f):
    """Every link of an HDF5 file by path: its kind, attributes (references as the path they
    point to) and, for datasets, dtype, shape and filters and values (None where vantrel
    filtered it)."""
    def plain(value):
        if isinstance(value, h5py.Reference):
            return f[value].name if value else None
        if isinstance(value, np.ndarray) and value.dtype.names:
            return [tuple(plain(v) for v in row) for row in value.ravel()]
        if isinstance(value, np.ndarray) and value.dtype == object:
            return [plain(v) for v in value.ravel()]
        return value.tolist() if isinstance(value, np.ndarray) else value

    found = {}

    def visit(name, link):
        entry = [type(link).__name__]
        if isinstance(link, (h5py.SoftLink, h5py.ExternalLink)):
            entry.append(getattr(link, "path", None))
        else:
            node = f[name]
            entry.append({k: plain(node.attrs[k]) for k in node.attrs})
            if isinstance(node, h5py.Dataset):
                plist = node.id.get_create_plist()
                filtered = FILTER_ID in (plist.get_filter(i)[0]
                                         for i in range(plist.get_nfilters()))
                entry += [node.dtype.str, node.shape, node.compression, filtered,
                          None if filtered else plain(node[()])]
        found[name] = entry
    f.visititems_links(visit)
    found["/"] = ["root", {k: plain(f.attrs[k]) for k in f.attrs}]
    return found


def cli(*args):
    return subprocess.run([sys.executable, "-m", "vantrel_tools", *map(str, args)],
                          capture_output=True, text=True, timeout=300)


class TestFileRewrite:
    def test_file_is_the_same_file_with_its_large_datasets_filtered(self, tmp_path):
        x = recording("int16")
        write_nwb(tmp_path / "a.nwb", x, x)
        with h5py.File(tmp_path / "other.h5", "w") as f:
            f["x"] = 1
        # Beside NWB's own objects, what else files hold.
        with h5py.File(tmp_path / "a.nwb", "a", libver="latest") as f:
            big = f.create_dataset("extra/big", data=x.astype("f8"), compression="gzip")
            f.create_dataset("extra/short", data=np.tile(x[:40], (1, 400)))  # 40 samples long
            f.create_dataset("extra/wide", data=np.zeros((T, 2), "i8"))  # a type not coded
            f.create_dataset("extra/big_endian", data=x.astype(">f4"))
            f["extra/again"], f["extra/soft"] = big, h5py.SoftLink("/extra/big")
            f["extra/outside"] = h5py.ExternalLink("other.h5", "/x")
            f["extra"].attrs["large"] = np.arange(20000.0)  # beyond a compact header's 64 KiB
            refs = f.create_dataset("extra/refs", (1,), [("at", h5py.ref_dtype), ("n", "i4")])
            refs[0] = (big.ref, 1)
            times = f.create_dataset("extra/timestamps", data=np.arange(T) / 3000.0)  # exact
            times.make_scale("time")
            big.dims[0].attach_scale(times)
        done = cli("compress", tmp_path / "a.nwb", "-o", tmp_path / "b.nwb", "--psnr", 60,
                   "--min-size", "64K")
        assert done.returncode == 0, done.stderr
        y, filter_id, groups = read_nwb_series(tmp_path / "b.nwb")
        assert filter_id == FILTER_ID and groups == ["g"] * CHANNELS
        assert y.dtype == np.int16 and (per_channel(x, y)["psnr"] >= 60).all()
        with h5py.File(tmp_path / "a.nwb") as a, h5py.File(tmp_path / "b.nwb") as b:
            before, after = inventory(a), inventory(b)
            assert b["extra/again"].id == b["extra/big"].id
            assert b["extra/big"].dims[0].keys() == ["time"]
            assert (per_channel(a["extra/big"][:], b["extra/big"][:])["psnr"] >= 60).all()
        filtered = {name for name, entry in after.items() if len(entry) > 3 and entry[-2]}
        assert filtered == {"acquisition/es/data", "extra/big", "extra/again"}
        for name in filtered:
            before[name][-3:], after[name][-3:] = [], []  # compression, filter and values
        assert after == before

    @pytest.mark.parametrize("args, message", [
        (["--cutoff", "high"], "--cutoff: not available when rewriting an HDF5 file"),
        (["--min-size", "1X"], "invalid size '1X'"),
        ([], "exists"),  # no -f
    ])
    def test_refusals_leave_nothing_behind(self, tmp_path, args, message):
        with h5py.File(tmp_path / "a.h5", "w") as f:
            f["x"] = recording("float32")
        (tmp_path / "b.h5").write_bytes(b"before")
        done = cli("compress", tmp_path / "a.h5", "-o", tmp_path / "b.h5", *args)
        assert done.returncode != 0 and message in done.stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == ["a.h5", "b.h5"]
        assert (tmp_path / "b.h5").read_bytes() == b"before"


class TestDamage:
    @pytest.mark.parametrize("at", [3, 30, 0.5, -1])  # record header, table, a container, its end
    def test_flipped_byte_is_an_error(self, written, at):
        path, _ = written
        with h5py.File(path) as f:
            chunk = f["f4/psnr"].id.get_chunk_info(0)
        with open(path, "r+b") as raw:
            raw.seek(chunk.byte_offset + (int(chunk.size * at) if at == 0.5 else at % chunk.size))
            byte = raw.read(1)[0]
            raw.seek(-1, 1)
            raw.write(bytes([byte ^ 0x08]))
        with h5py.File(path) as f:
            with pytest.raises(OSError):
                f["f4/psnr"][:]
            assert f["f4/psnr"][CHUNK[0]:].shape == (T - CHUNK[0], CHANNELS)  # other chunks read
            assert f["f8/psnr"][:].shape == (T, CHANNELS)  # and the process goes on

    def test_newer_parameter_version_is_an_error(self, written):
        path, _ = written
        with h5py.File(path) as f:
            words = f["f4/psnr"].id.get_create_plist().get_filter_by_id(FILTER_ID)[1]
        old, blob = np.array(words, "<u4").tobytes(), path.read_bytes()
        assert blob.count(old) == 1
        path.write_bytes(blob.replace(old, np.array((9, *words[1:]), "<u4").tobytes()))
        with h5py.File(path) as f, pytest.raises(OSError):
            f["f4/psnr"][:]
