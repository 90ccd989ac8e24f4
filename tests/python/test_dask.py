"""A Dask array of several million samples written through the vantrel codec into a Zarr store
by a cluster of two worker processes, and read back within the quantisation error."""

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
zarr = pytest.importorskip("zarr")
numcodecs = pytest.importorskip("numcodecs")

NUM_SAMPLES = 6_000_000
CHUNK = 400_000
# Worst error at scale 12, low dead zone, as a share of a chunk's range (test_roundtrip).
TOLERANCE = 9 * 3.5 * 2 / 2**12


@pytest.fixture(scope="module")
def client():
    try:
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=":0")  # any free port
    except Exception as exc:  # no process spawning, no sockets, ...
        pytest.skip(f"a local Dask cluster cannot start here: {exc}")
    with cluster, distributed.Client(cluster) as c:
        yield c


@pytest.mark.parametrize("zarr_format,dtype", [(2, "float64"), (3, "float32")])
def test_cluster_writes_and_reads_through_the_codec(client, tmp_path, zarr_format, dtype):
    def signal(t):
        """Sensor-like: two tones and a slow drift, computed alike on every side."""
        return np.sin(t * 2e-3) + 0.25 * np.sin(t * 0.37 + 1.0) + 1e-7 * t

    t = da.arange(NUM_SAMPLES, chunks=CHUNK, dtype=np.float64)
    x = signal(t).astype(dtype)
    path = str(tmp_path / "big.zarr")
    if zarr_format == 2:
        codec = numcodecs.get_codec({"id": "vantrel", "scale": 12, "dtype": dtype})
        target = zarr.create_array(store=path, shape=x.shape, chunks=(CHUNK,), dtype=dtype,
                                   compressors=codec, filters=None, zarr_format=2)
    else:
        from vantrel_tools.zarr3_codec import VantrelCodec

        target = zarr.create_array(store=path, shape=x.shape, chunks=(CHUNK,), dtype=dtype,
                                   serializer=VantrelCodec(scale=12), compressors=None)
    da.store(x, target, lock=False)

    stored = sum(p.stat().st_size for p in (tmp_path / "big.zarr").rglob("*") if p.is_file())
    assert stored < x.nbytes / 4  # the chunks are containers, not raw samples

    back = da.from_zarr(path)
    assert back.dtype == np.dtype(dtype)

    def error_share(got, block_info=None):
        """The block's worst error as a share of its range; the reference is made in place so
        that no samples travel with the task graph."""
        start, stop = block_info[0]["array-location"][0]
        want = signal(np.arange(start, stop, dtype=np.float64)).astype(dtype).astype(np.float64)
        return np.abs(got.astype(np.float64) - want).max(keepdims=True) / np.ptp(want)

    shares = back.map_blocks(error_share, chunks=(1,), dtype=np.float64).compute()
    assert shares.shape == (NUM_SAMPLES // CHUNK,)
    assert np.all(shares <= TOLERANCE), shares
    # Both workers took part.
    assert len(client.scheduler_info()["workers"]) == 2
