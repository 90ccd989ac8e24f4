"""The HDF5 filter through h5py, a fresh process, h5dump and pynwb; judged with NumPy float64."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
from vantrel_tools.hdf5 import FILTER_ID, PLUGIN_PATH, Vantrel  # noqa: E402

T, CHANNELS, CHUNK = 12000, 6, (3000, 3)


def recording(dtype):
    t = np.arange(T)[:, None] / 3000.0
    x = 400 * np.sin(2 * np.pi * (3 + np.arange(CHANNELS)) * t) + 30 * np.cos(170 * t)
    x += np.random.default_rng(1).normal(0, 5, x.shape) + np.arange(CHANNELS) * 100
    return x.astype(dtype)


def per_channel(x, y):
    d = y.astype(np.float64) - x
    rmse = np.sqrt(np.mean(d**2, axis=0))
    return {"psnr": 20 * np.log10(np.ptp(x, axis=0) / rmse), "max_error": np.abs(d).max(axis=0),
            "prd": 100 * rmse / np.sqrt(np.mean(x.astype(np.float64) ** 2, axis=0))}


@pytest.fixture
def written(tmp_path):
    path = tmp_path / "rec.h5"
    data = {dtype: recording(dtype) for dtype in ("float32", "float64", "int16")}
    with h5py.File(path, "w") as f:
        for dtype, x in data.items():
            for name, keywords in [("psnr", {"psnr": 60}), ("max_error", {"max_error": 0.5})]:
                if dtype == "int16":
                    keywords = {"scale": 12}
                f.create_dataset(f"{dtype}/{name}", data=x, chunks=CHUNK, **Vantrel(**keywords))
    return path, data


class TestTargets:
    def test_dtype_kept_and_targets_met_per_channel(self, written):
        path, data = written
        with h5py.File(path) as f:
            for dtype, x in data.items():
                for name, bound in [("psnr", 60), ("max_error", 0.5)]:
                    y = f[f"{dtype}/{name}"][:]
                    assert y.dtype == x.dtype
                    got = per_channel(x, y)
                    if dtype == "int16":  # fixed options: rounded to the type, scale 12
                        assert (got["psnr"] > 60).all()
                    elif name == "psnr":
                        assert (got["psnr"] >= bound).all()
                    else:
                        assert (got["max_error"] <= bound).all()
                    assert f[f"{dtype}/{name}"].id.get_storage_size() < x.nbytes / 2

    @pytest.mark.parametrize("dtype", ["int16", "uint8", "int32"])
    def test_integer_targets_are_refused_for_now(self, tmp_path, dtype):
        refusal = "vantrel filter: quality targets on integer datasets are not supported yet"
        with h5py.File(tmp_path / "a.h5", "w") as f, pytest.raises(ValueError, match=refusal):
            f.create_dataset("x", data=np.zeros((100, 2), dtype), chunks=(50, 2), **Vantrel(prd=2))

    @pytest.mark.parametrize("dtype, refusal", [
        ("int64", "cannot code integers of 8 bytes"), ("float16", "cannot code floats of 2 bytes"),
        ("complex64", "cannot code non-numeric values of 8 bytes"), (">f4", "big-endian")])
    def test_other_types_are_refused(self, tmp_path, dtype, refusal):
        with h5py.File(tmp_path / "a.h5", "w") as f, pytest.raises(ValueError, match=refusal):
            f.create_dataset("x", data=np.zeros((100, 2), dtype), chunks=(50, 2), **Vantrel())

    def test_growing_chunks_are_stored_raw(self, tmp_path):
        x = recording("float32")[:, :2]
        with h5py.File(tmp_path / "a.h5", "w") as f:  # one-sample signals: no chunk shrinks
            f.create_dataset("x", data=x, chunks=(1, 2), **Vantrel(axis=0))
        with h5py.File(tmp_path / "a.h5") as f:
            np.testing.assert_array_equal(f["x"][:], x)


class TestOtherReaders:
    def test_fresh_process_with_plugin_path_only(self, written):
        path, data = written
        code = ("import sys, h5py, numpy; f = h5py.File(sys.argv[1]); "
                "assert 'vantrel_tools' not in sys.modules; "
                "numpy.save(sys.stdout.buffer, f['float64/psnr'][:])")
        env = {**os.environ, "HDF5_PLUGIN_PATH": PLUGIN_PATH}
        out = subprocess.run([sys.executable, "-c", code, str(path)], env=env, check=True,
                             capture_output=True).stdout
        with h5py.File(path) as f:
            np.testing.assert_array_equal(np.load(__import__("io").BytesIO(out)), f["float64/psnr"][:])

    @pytest.mark.skipif(shutil.which("h5dump") is None, reason="h5dump (hdf5-tools) not installed")
    def test_h5dump(self, written):
        path, _ = written
        out = subprocess.run(["h5dump", "-d", "/int16/psnr", "-s", "0,0", "-c", "1,6", "-y",
                              "-w", "0", str(path)], env={**os.environ, "HDF5_PLUGIN_PATH": PLUGIN_PATH},
                             capture_output=True, text=True, check=True).stdout
        values = out.split("DATA {")[1].split("}")[0].replace(",", " ").split()
        with h5py.File(path) as f:
            assert [int(v) for v in values] == f["int16/psnr"][0].tolist()


def test_pynwb_electrical_series(tmp_path):
    pynwb = pytest.importorskip("pynwb")
    from datetime import datetime, timezone

    from hdmf.backends.hdf5.h5_utils import H5DataIO
    from pynwb.ecephys import ElectricalSeries

    nwb = pynwb.NWBFile("rec", "id", datetime(2024, 1, 1, tzinfo=timezone.utc))
    group = nwb.create_electrode_group("g", description="probe", location="brain",
                                       device=nwb.create_device("probe"))
    for _ in range(CHANNELS):
        nwb.add_electrode(group=group, location="brain")
    x = recording("int16")
    region = nwb.create_electrode_table_region(list(range(CHANNELS)), "all")
    with pytest.warns(UserWarning, match="may not be available on all installations"):
        data = H5DataIO(x, chunks=CHUNK, allow_plugin_filters=True, **Vantrel(scale=12))
    nwb.add_acquisition(ElectricalSeries(name="es", data=data, electrodes=region, rate=3000.0))
    with pynwb.NWBHDF5IO(tmp_path / "a.nwb", "w") as io:
        io.write(nwb)
    with pynwb.NWBHDF5IO(tmp_path / "a.nwb", "r") as io:
        series = io.read().acquisition["es"]
        assert series.data.id.get_create_plist().get_filter(0)[0] == FILTER_ID
        y = series.data[:]
    assert y.dtype == np.int16 and (per_channel(x, y)["psnr"] > 60).all()


class TestDamage:
    def _flip(self, path, dataset, at):
        with h5py.File(path) as f:
            info = f[dataset].id.get_chunk_info(0)
        with open(path, "r+b") as raw:
            raw.seek(info.byte_offset + at(info.size))
            byte = raw.read(1)[0]
            raw.seek(-1, 1)
            raw.write(bytes([byte ^ 0x08]))

    @pytest.mark.parametrize("at", [lambda n: 3, lambda n: 30, lambda n: n // 2, lambda n: n - 1])
    def test_flipped_byte_is_an_error(self, written, at):
        path, data = written
        self._flip(path, "float32/psnr", at)
        with h5py.File(path) as f:
            with pytest.raises(OSError):
                f["float32/psnr"][:]
            np.testing.assert_array_equal(f["float32/psnr"][CHUNK[0]:, :3].shape, (T - CHUNK[0], 3))
            assert f["float64/psnr"][:].shape == (T, CHANNELS)  # the process goes on

    def test_newer_parameter_version_is_an_error(self, written):
        path, _ = written
        with h5py.File(path) as f:
            words = f["float32/psnr"].id.get_create_plist().get_filter_by_id(FILTER_ID)[1]
        old = np.array(words, "<u4").tobytes()
        blob = path.read_bytes()
        assert blob.count(old) == 1
        path.write_bytes(blob.replace(old, np.array((9, *words[1:]), "<u4").tobytes()))
        with h5py.File(path) as f, pytest.raises(OSError):
            f["float32/psnr"][:]
        assert h5py.h5z.filter_avail(FILTER_ID)
