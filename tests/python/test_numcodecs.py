"""The numcodecs codec and the Zarr format 3 serializer: registry, configuration, chunks of any
shape and element type, integrity and gaps, and Zarr stores read back by a fresh open."""

import json
import pathlib
import pickle

import numpy as np
import pytest

numcodecs = pytest.importorskip("numcodecs")
common = pytest.importorskip("numcodecs.tests.common")

import vantrel  # noqa: E402
from conftest import smooth  # noqa: E402
from vantrel_tools import DamagedContainerError  # noqa: E402
from vantrel_tools.numcodecs_codec import Vantrel  # noqa: E402

# Worst error at scale 12, low dead zone, as a share of a chunk's range (test_roundtrip).
TOLERANCE = 9 * 3.5 * 2 / 2**12


def assert_close(actual, expected):
    span = float(np.max(expected) - np.min(expected))
    assert actual.shape == expected.shape and actual.dtype == expected.dtype
    assert float(np.max(np.abs(actual.astype(np.float64) - expected))) <= TOLERANCE * span + 1e-6


def field(shape, dtype):
    return smooth(int(np.prod(shape)), seed=len(shape)).reshape(shape).astype(dtype)


class TestConfiguration:
    def test_registry_lookup_by_id(self):
        codec = numcodecs.get_codec({"id": "vantrel", "method": "db4", "scale": 12,
                                     "dtype": "float64"})
        assert isinstance(codec, Vantrel)
        assert (codec.method, codec.scale, codec.dtype) == ("db4", 12, "float64")

    @pytest.mark.parametrize("kwargs", [
        {},
        {"method": "sym4", "scale": 6, "cutoff": "high", "coder": "deflate", "dtype": ">f8"},
        {"method": "cdf53", "coder": "arans", "quant_multiplier": 1000},
    ])
    def test_config_round_trips_through_json(self, kwargs):
        codec = Vantrel(**kwargs)
        config = json.loads(json.dumps(codec.get_config()))
        assert config["id"] == "vantrel"
        again = numcodecs.get_codec(config)
        assert again == codec and again.get_config() == codec.get_config()
        x = smooth(999, seed=3).astype(codec.dtype)
        assert again.encode(x) == codec.encode(x)

    def test_codecs_survive_pickling(self):
        """Dask ships codecs to worker processes by pickling them."""
        codec = Vantrel(method="db4", scale=12, coder="arans", quant_multiplier=3000.0,
                        dtype="float64")
        x = smooth(2000, seed=5).astype(np.float64)
        again = pickle.loads(pickle.dumps(codec))
        assert again == codec and again.encode(x) == codec.encode(x)
        zarr3 = pytest.importorskip("vantrel_tools.zarr3_codec")
        serializer = zarr3.VantrelCodec(method="sym4", scale=9)
        assert pickle.loads(pickle.dumps(serializer)) == serializer

    @pytest.mark.parametrize("kwargs,error,text", [
        ({"method": "haar"}, ValueError,
         "unknown method 'haar', expected one of 'cdf53', 'cdf97', 'db4', 'sym4'"),
        ({"coder": "lzma"}, ValueError,
         "unknown coder 'lzma', expected one of 'auto', 'deflate', 'arans', 'cmodel'"),
        ({"cutoff": "Low"}, ValueError,
         "unknown cutoff 'Low', expected one of 'low', 'medium', 'high'"),
        ({"scale": 13}, ValueError, "scale 13 is outside 6..12"),
        ({"scale": 5}, ValueError, "scale 5 is outside 6..12"),
        ({"quant_multiplier": -1}, ValueError, "Unsupported compression configuration "
         "'Quantisation multiplier must be positive and finite with a finite reciprocal, but it "
         "was -1'"),
        ({"scale": "11"}, TypeError, "scale must be an integer, not str"),
        ({"method": None}, TypeError, "method must be a str, not NoneType"),
        ({"quant_multiplier": "2"}, TypeError,
         "quant_multiplier must be a real number or None, not str"),
        ({"dtype": "int64"}, ValueError,
         "vantrel stores float32, float64 or 8-, 16- or 32-bit integer data, not int64"),
        ({"dtype": "float16"}, ValueError,
         "vantrel stores float32, float64 or 8-, 16- or 32-bit integer data, not float16"),
    ])
    def test_bad_configuration_is_refused_at_construction(self, kwargs, error, text):
        makers = [lambda: numcodecs.get_codec({"id": "vantrel", **kwargs})]
        if "dtype" not in kwargs:
            zarr3 = pytest.importorskip("vantrel_tools.zarr3_codec")
            makers.append(lambda: zarr3.VantrelCodec.from_dict(
                {"name": "vantrel", "configuration": kwargs}))
        for make in makers:
            with pytest.raises(error) as raised:
                make()
            assert str(raised.value) == text

    @pytest.mark.parametrize("multiplier", [
        0.0, -0.0, 1e-45, 1e-39, 2.9e-39, 3e-39, 1.2e-38, 0.5, 3.4e38, 3.5e38, 1e39,
        np.inf, -np.inf, np.nan,
    ])
    def test_multiplier_check_agrees_with_the_compressor(self, multiplier):
        """A multiplier the codecs accept is one the compressor takes, and the other way round."""
        zarr3 = pytest.importorskip("vantrel_tools.zarr3_codec")
        options = vantrel.CompressionOptions(quant_multiplier=multiplier)
        refused = refuses(lambda: vantrel.compress_signal(np.zeros(64, np.float32), options))
        assert refuses(lambda: Vantrel(quant_multiplier=multiplier)) == refused
        assert refuses(lambda: zarr3.VantrelCodec(quant_multiplier=multiplier)) == refused


def refuses(make):
    try:
        make()
    except ValueError:
        return True
    return False


class TestChunks:
    @pytest.mark.parametrize("dtype", ["float32", "float64"])
    def test_numcodecs_buffer_conventions(self, dtype):
        codec = Vantrel(scale=12, dtype=dtype)
        common.check_encode_decode(field((64, 70), dtype), codec, precision=1)
        common.check_config(codec)
        common.check_err_encode_object_buffer(codec)
        with pytest.raises(TypeError):  # decoding into objects
            codec.decode(codec.encode(field((10,), dtype)), out=np.empty(10, dtype=object))

    @pytest.mark.parametrize("dtype", ["float32", "float64"])
    @pytest.mark.parametrize("shape", [(5000,), (64, 70), (9, 10, 11)])
    def test_round_trip_keeps_dtype(self, dtype, shape):
        codec = Vantrel(scale=12, dtype=dtype)
        x = field(shape, dtype)
        decoded = codec.decode(codec.encode(x))
        assert decoded.dtype == np.dtype(dtype) and decoded.ndim == 1
        assert_close(decoded.reshape(shape), x)

    def test_chunks_are_flattened_in_c_order(self):
        codec = Vantrel(scale=12)
        x = field((40, 30), np.float32)
        assert codec.encode(x) == codec.encode(x.ravel(order="C"))
        # Memory order: a Fortran-ordered chunk is taken as laid out, as Zarr reshapes it back.
        f = np.asfortranarray(x)
        assert codec.encode(f) == codec.encode(f.ravel(order="F"))
        # Raw bytes are samples of the configured dtype.
        assert codec.encode(x.tobytes()) == codec.encode(x)

    @pytest.mark.parametrize("out_kind", ["array", "fortran", "bytearray", "big-endian"])
    def test_decode_into_out(self, out_kind):
        codec = Vantrel(scale=12, dtype="float64")
        x = field((20, 25), np.float64)
        if out_kind == "fortran":
            # Zarr hands a Fortran-ordered chunk over as laid out and takes it back the same way.
            container = codec.encode(np.asfortranarray(x))
            out = np.empty(x.shape, order="F")
            expected = codec.decode(container).reshape(x.shape, order="F")
        else:
            container = codec.encode(x)
            out = {"array": np.empty_like(x), "bytearray": bytearray(x.nbytes),
                   "big-endian": np.empty(x.shape, dtype=">f8")}[out_kind]
            expected = codec.decode(container).reshape(x.shape)
        returned = codec.decode(container, out=out)
        if out_kind == "bytearray":
            got = np.frombuffer(out, dtype=np.float64).reshape(x.shape)
        else:
            assert np.shares_memory(returned, out)
            got = out
        np.testing.assert_array_equal(got, expected)
        assert_close(got.astype(np.float64), x)

    @pytest.mark.parametrize("bad", [
        lambda: np.empty(999),                    # one sample short
        lambda: np.empty(1000, dtype=np.float32),  # right bytes, wrong element type
        lambda: np.empty(1000, dtype=np.int64),
    ])
    def test_decode_refuses_an_out_that_does_not_fit(self, bad):
        codec = Vantrel(dtype="float64")
        container = codec.encode(smooth(1000).astype(np.float64))
        with pytest.raises(ValueError):
            codec.decode(container, out=bad())

    @pytest.mark.parametrize("data", [
        np.zeros(10, dtype=np.float32),  # configured for float64
        np.arange(10),
        np.zeros(0),
        b"\x00" * 7,                     # not whole float64 samples
    ])
    def test_encode_refuses_data_of_another_type(self, data):
        with pytest.raises(ValueError):
            Vantrel(dtype="float64").encode(data)

    def test_decode_of_garbage_raises_value_error(self):
        with pytest.raises(ValueError):
            Vantrel().decode(b"VTRL" + bytes(60))


# A signal far from zero: a gap coded as zero would widen its range a thousandfold.
OFFSET = 1000.0


class TestIntegrity:
    @pytest.mark.parametrize("offset", [20, 70, -1])  # sample count, payload, checksum
    def test_a_damaged_chunk_is_an_error_that_says_so(self, offset):
        codec = Vantrel(dtype="float64")
        packed = bytearray(codec.encode(smooth(3000).astype(np.float64)))
        packed[offset] ^= 0x10
        with pytest.raises(DamagedContainerError, match="damaged"):
            codec.decode(bytes(packed))


zarr = pytest.importorskip("zarr")


def _zarr_array(path, zarr_format, shape, chunks, dtype, order="C", fill_value=None):
    if zarr_format == 2:
        codec = numcodecs.get_codec({"id": "vantrel", "scale": 12, "dtype": dtype})
        return zarr.create_array(store=str(path), shape=shape, chunks=chunks, dtype=dtype,
                                 compressors=codec, filters=None, zarr_format=2, order=order,
                                 fill_value=fill_value)
    from vantrel_tools.zarr3_codec import VantrelCodec

    return zarr.create_array(store=str(path), shape=shape, chunks=chunks, dtype=dtype,
                             serializer=VantrelCodec(scale=12), compressors=None, zarr_format=3,
                             fill_value=fill_value)


def _chunk_file(path, zarr_format, index):
    """Where a 1-D array keeps chunk `index` (default key encodings)."""
    return path / (str(index) if zarr_format == 2 else f"c/{index}")


class TestZarr:
    @pytest.mark.parametrize("zarr_format", [2, 3])
    @pytest.mark.parametrize("dtype", ["float32", "float64"])
    @pytest.mark.parametrize("shape,chunks", [((100_000,), (30_000,)), ((300, 250), (128, 100))])
    def test_store_round_trip(self, tmp_path, zarr_format, dtype, shape, chunks):
        x = field(shape, dtype)
        z = _zarr_array(tmp_path / "a.zarr", zarr_format, shape, chunks, dtype)
        z[...] = x
        # A fresh open finds the codec by its registered name alone.
        back = zarr.open_array(str(tmp_path / "a.zarr"), mode="r")
        assert back.dtype == np.dtype(dtype)
        got = back[...]
        for block in np.ndindex(*(-(-s // c) for s, c in zip(shape, chunks))):
            region = tuple(slice(b * c, min((b + 1) * c, s))
                           for b, c, s in zip(block, chunks, shape))
            assert_close(got[region], x[region])

    def test_fortran_ordered_zarr_v2_array(self, tmp_path):
        x = field((200, 150), "float64")
        z = _zarr_array(tmp_path / "f.zarr", 2, x.shape, (64, 64), "float64", order="F")
        z[...] = x
        assert_close(zarr.open_array(str(tmp_path / "f.zarr"), mode="r")[...], x)

    def test_zarr3_metadata_names_the_codec(self, tmp_path):
        x = field((1000,), "float32")
        z = _zarr_array(tmp_path / "m.zarr", 3, x.shape, (400,), "float32")
        z[...] = x
        meta = json.loads((tmp_path / "m.zarr" / "zarr.json").read_text())
        assert meta["codecs"] == [{"name": "vantrel",
                                   "configuration": {"method": "cdf97", "scale": 12,
                                                     "cutoff": "low"}}]

    @pytest.mark.parametrize("zarr_format", [2, 3])
    def test_stored_chunks_keep_gaps_and_show_damage(self, tmp_path, zarr_format):
        path = tmp_path / "g.zarr"
        x = OFFSET + field((1000,), "float32")
        z = _zarr_array(path, zarr_format, x.shape, (400,), "float32", fill_value=np.nan)
        z[:700] = x[:700]  # chunk 1 is written with an unwritten NaN tail
        got = zarr.open_array(str(path), mode="r")[...]
        assert np.isnan(got[700:]).all()
        assert_close(got[400:700], x[400:700])
        chunk = _chunk_file(path, zarr_format, 1)
        damaged = bytearray(chunk.read_bytes())
        damaged[len(damaged) // 2] ^= 0x01
        chunk.write_bytes(bytes(damaged))
        with pytest.raises(DamagedContainerError, match="damaged"):
            zarr.open_array(str(path), mode="r")[...]

    @pytest.mark.parametrize("zarr_format", [2, 3])
    def test_chunks_stored_without_a_trailer_still_read(self, tmp_path, zarr_format):
        path = tmp_path / "p.zarr"
        x = field((800,), "float32")
        _zarr_array(path, zarr_format, x.shape, (400,), "float32")[...] = x
        plain = vantrel.compress_signal(x[:400])
        _chunk_file(path, zarr_format, 0).write_bytes(plain)
        got = zarr.open_array(str(path), mode="r")[...]
        np.testing.assert_array_equal(got[:400], vantrel.decompress_signal(plain))
        assert_close(got[400:], x[400:])

    def test_zarr3_refuses_a_chunk_of_another_length(self, tmp_path):
        z = _zarr_array(tmp_path / "s.zarr", 3, (1000,), (400,), "float32")
        z[...] = field((1000,), "float32")
        other = vantrel.compress_signal(field((399,), "float32"))
        (tmp_path / "s.zarr" / "c" / "0").write_bytes(other)
        with pytest.raises(ValueError, match="holds 400 samples, the container 399"):
            zarr.open_array(str(tmp_path / "s.zarr"), mode="r")[...]

    def test_zarr3_refuses_64_bit_integer_arrays(self, tmp_path):
        from vantrel_tools.zarr3_codec import VantrelCodec

        with pytest.raises(ValueError):
            zarr.create_array(store=str(tmp_path / "i.zarr"), shape=(10,), dtype="int64",
                              serializer=VantrelCodec(), compressors=None)


INTEGER_TARGETS = {"psnr": 45.0, "rmse": 1.0, "max_error": 0.5}
INTEGER_CHUNK = 5000


def integers(dtype, n=4 * INTEGER_CHUNK, seed=0):
    """Smooth with noise: over the whole range of 8-bit types, clipped at both ends; 2000 wide
    about the middle of 16-bit ones, about a million for 32-bit ones (float32 holds those)."""
    info = np.iinfo(dtype)
    lo, hi = int(info.min), int(info.max)
    width, middle = (0.6 * (hi - lo), (hi + lo) / 2) if info.bits == 8 else (
        1000, (hi + lo) // 2 if info.bits == 16 else 10**6)
    x = smooth(n, seed).astype(np.float64) / 1.3 * width + middle
    return np.clip(np.rint(x), lo, hi).astype(dtype)


def zarr_keywords(codec):
    if isinstance(codec, Vantrel):
        return {"compressors": codec, "filters": None, "zarr_format": 2}
    return {"serializer": codec, "compressors": None}


class TestIntegers:
    @pytest.mark.parametrize("zarr_format", [2, 3])
    @pytest.mark.parametrize("dtype", ["int8", "uint8", "int16", "uint16", "int32", "uint32"])
    def test_targets_hold_for_the_integers_read_back(self, tmp_path, zarr_format, dtype):
        from vantrel_tools.zarr3_codec import VantrelCodec

        x = integers(dtype)
        assert np.iinfo(dtype).min in x or np.iinfo(dtype).bits > 8  # a clipped fixture
        for metric, value in INTEGER_TARGETS.items():
            codec = (Vantrel(dtype=dtype, **{metric: value}) if zarr_format == 2
                     else VantrelCodec(**{metric: value}))
            path = str(tmp_path / f"{metric}.zarr")
            zarr.create_array(store=path, shape=x.shape, chunks=(INTEGER_CHUNK,), dtype=dtype,
                              **zarr_keywords(codec))[...] = x
            y = zarr.open_array(path, mode="r")[...]
            assert y.dtype == np.dtype(dtype)
            xs = x.astype(np.float64).reshape(-1, INTEGER_CHUNK)  # the target holds per chunk
            d = y.astype(np.float64).reshape(xs.shape) - xs
            rmse = np.sqrt(np.mean(d**2, axis=1))
            with np.errstate(divide="ignore"):
                psnr = 20 * np.log10(np.ptp(xs, axis=1) / rmse)
            got = {"psnr": -psnr, "rmse": rmse, "max_error": np.abs(d).max(axis=1)}[metric]
            assert (got <= (-value if metric == "psnr" else value)).all(), (metric, got)

    def test_codecs_pickle_and_share_across_threads(self):
        from concurrent.futures import ThreadPoolExecutor

        from vantrel_tools.zarr3_codec import VantrelCodec

        chunks = [integers("int16", INTEGER_CHUNK, seed) for seed in range(8)]
        for codec in (Vantrel(dtype="int16", psnr=50.0), VantrelCodec(rmse=2.0)):
            assert pickle.loads(pickle.dumps(codec)) == codec

            def round_trip(x, codec=codec):
                z = zarr.create_array(store={}, shape=x.shape, chunks=x.shape, dtype=x.dtype,
                                      **zarr_keywords(codec))
                z[...] = x
                return z[...]

            serial = [round_trip(x) for x in chunks]
            with ThreadPoolExecutor(8) as pool:
                for i, y in enumerate(pool.map(round_trip, chunks * 4)):
                    np.testing.assert_array_equal(y, serial[i % len(chunks)])


@pytest.fixture(scope="module")
def validator():
    jsonschema = pytest.importorskip("jsonschema")
    root = pathlib.Path(__file__).resolve().parents[2]
    schema = json.loads((root / "docs" / "zarr_codec" / "schema.json").read_text())
    return jsonschema.Draft202012Validator(schema)


class TestRegistryEntry:
    """docs/zarr_codec/schema.json describes what the Zarr 3 codec writes and refuses."""

    def test_names_are_the_codecs(self, validator):
        from vantrel_tools.core import names

        props = validator.schema["anyOf"][0]["properties"]["configuration"]["properties"]
        assert props["method"]["enum"] == list(names.WAVELET_METHODS)
        assert props["cutoff"]["enum"] == list(names.CUTOFF_LEVELS)
        assert props["coder"]["enum"] == ["auto", *names.ENTROPY_CODERS]
        assert set(names.QUALITY_TARGETS) < set(props)

    @pytest.mark.parametrize("configuration, valid", [
        ({"method": "db4", "scale": 6, "cutoff": "high", "coder": "arans"}, True),
        ({"quant_multiplier": 3000.5}, True),
        ({"method": "sym4", "psnr": 3.0}, True),
        ({"psnr": -3.0}, False),
        ({"scale": 13}, False),
        ({"psnr": 60, "rmse": 1}, False),
        ({"prd": 2, "coder": "deflate"}, False),
        ({"rmse": -1}, False),
        ({"level": 3}, False),
    ])
    def test_schema_agrees_with_the_codec(self, validator, configuration, valid):
        from vantrel_tools.zarr3_codec import VantrelCodec

        metadata = {"name": "vantrel", "configuration": configuration}
        assert validator.is_valid(metadata) == valid
        if valid:
            assert validator.is_valid(VantrelCodec.from_dict(metadata).to_dict())
        else:
            with pytest.raises((ValueError, TypeError)):
                VantrelCodec.from_dict(metadata)
