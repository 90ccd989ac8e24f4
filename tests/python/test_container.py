"""The container as bytes: what the compressor writes and what the decompressor accepts."""

import math
import struct
import zlib

import numpy as np
import pytest

import vantrel
from conftest import smooth
from vantrel_tools.core.container import (
    HEADER_SIZE,
    ContainerHeader,
    replace_header_fields,
    unpack_header,
)


def container(code=b"cf97", levels=1, scale=11, coder=0, count=4, mn=0.0, mx=1.0, mean=0.0,
              payload=b"", multiplier=2048.0, payload_len=None):
    plen = len(payload) if payload_len is None else payload_len
    header = ContainerHeader(wavelet_code=code, levels=levels, scale=scale, coder=coder,
                             sample_count=count, signal_min=mn, signal_max=mx, norm_mean=mean,
                             payload_len=plen, quant_multiplier=multiplier)
    return header.to_bytes() + payload


def raw_deflate(data, level=6):
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


class TestWrittenHeader:
    # Level counts, sanitising and short signals are checked on the C++ side; these check what
    # the defaults and options of the Python call put into the header.
    def test_worked_header_of_a_constant_signal(self):
        packed = vantrel.compress_signal(np.full(1000, 0.5, np.float32))
        assert packed[:12] == b"VTRL\x01\x02f3cf97"
        assert packed[12:32] == bytes.fromhex("060B0200 E8030000 0000003F 0000003F 00000000")
        assert packed[36:52] == bytes.fromhex("00000045") + bytes(12)
        assert unpack_header(packed).payload_len == len(packed) - HEADER_SIZE
        assert unpack_header(packed).to_bytes() == packed[:HEADER_SIZE]

    def test_deflate_payload_is_zlib_level_6(self):
        packed = vantrel.compress_signal(smooth(5000), vantrel.CompressionOptions(coder="deflate"))
        payload = packed[52:]
        assert payload == raw_deflate(zlib.decompress(payload, -15), level=6)

    def test_given_multiplier_is_written(self):
        packed = vantrel.compress_signal(smooth(300), vantrel.CompressionOptions(quant_multiplier=0.5))
        assert unpack_header(packed).quant_multiplier == 0.5
        assert unpack_header(vantrel.compress_signal(smooth(300))).quant_multiplier == 2048.0


class TestRefusedInputs:
    """Inputs whose container would decode wrong are refused instead."""

    @pytest.mark.parametrize(
        "multiplier,text",
        [(-1.0, "-1"), (0.0, "0"), (math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"),
         (1e-45, "1e-45")],
    )
    def test_unusable_multiplier(self, multiplier, text):
        options = vantrel.CompressionOptions(quant_multiplier=multiplier)
        with pytest.raises(ValueError) as e:
            vantrel.compress_signal(smooth(100), options)
        assert str(e.value) == (
            "Unsupported compression configuration 'Quantisation multiplier must be positive and "
            f"finite with a finite reciprocal, but it was {text}'"
        )

    def test_small_positive_multiplier_is_used(self):
        x = smooth(100)
        y = vantrel.decompress_signal(
            vantrel.compress_signal(x, vantrel.CompressionOptions(quant_multiplier=1e-30)))
        assert y.shape == x.shape

    def test_range_beyond_float(self):
        with pytest.raises(ValueError, match="too large to normalise"):
            vantrel.compress_signal(np.array([-3e38, 3e38], np.float32))

    @pytest.mark.parametrize("amplitude", [8e-6, 1e-9, 1e-30])
    def test_tiny_ranges_keep_their_shape(self, amplitude):
        t = np.arange(2000)
        x = (5 * amplitude + amplitude * np.sin(0.05 * t)).astype(np.float32)
        y = vantrel.decompress_signal(vantrel.compress_signal(x))
        assert np.max(np.abs(y - x)) < 2e-3 * (x.max() - x.min())

    @pytest.mark.parametrize("x", [np.full(100, 7.25, np.float32), np.array([-1.5], np.float32)])
    def test_flat_signals_store_their_minimum(self, x):
        packed = vantrel.compress_signal(x)
        assert unpack_header(packed).norm_mean == 0.0
        np.testing.assert_array_equal(vantrel.decompress_signal(packed), x)

    @pytest.mark.parametrize("method,refused", [("cdf97", True), ("db4", True), ("sym4", True),
                                                ("cdf53", False)])
    def test_saturating_plateau(self, method, refused):
        x = np.zeros(5000, np.float32)
        x[2000:3000] = 1
        at12 = vantrel.CompressionOptions(method=method, scale=12)
        if refused:
            with pytest.raises(ValueError, match="exceed the 16-bit range at scale 12"):
                vantrel.compress_signal(x, at12)
        else:
            vantrel.compress_signal(x, at12)
        y = vantrel.decompress_signal(
            vantrel.compress_signal(x, vantrel.CompressionOptions(method=method, scale=11)))
        assert np.max(np.abs(y - x)) < 0.01


class TestDecoding:
    def test_payload_longer_than_input(self):
        data = container(payload=bytes(8), payload_len=10)
        assert len(data) == 60
        with pytest.raises(ValueError) as e:
            vantrel.decompress_signal(data)
        assert str(e.value) == "Can't decompress data, reason: Minimum data size is 62, but it was 60"

    def test_extra_bytes_change_nothing(self):
        packed = vantrel.compress_signal(smooth(999))
        np.testing.assert_array_equal(vantrel.decompress_signal(packed + b"\x00junk" * 10),
                                      vantrel.decompress_signal(packed))

    @pytest.mark.parametrize(
        "changes,text",
        [(dict(levels=11), "Max supported level is 10 but it was 11"),
         (dict(levels=0), "Min supported level is 1 but it was 0"),
         (dict(count=2**31), "Can't decompress data bigger than 2147483647, but data was 2147483648")],
    )
    def test_parameter_checks(self, changes, text):
        with pytest.raises(ValueError) as e:
            vantrel.decompress_signal(container(**changes))
        assert str(e.value) == "Can't decompress data, reason: " + text

    @pytest.mark.parametrize("multiplier", [0.0, -1.0, math.nan, math.inf])
    def test_bad_multiplier_is_replaced_by_two_to_the_scale(self, multiplier):
        packed = vantrel.compress_signal(smooth(500))
        bad = replace_header_fields(packed, quant_multiplier=multiplier)
        np.testing.assert_array_equal(vantrel.decompress_signal(bad), vantrel.decompress_signal(packed))

    def test_positive_subnormal_multiplier_is_used(self):
        # Coefficient 1 at multiplier 2^-140 de-quantises to 2^140 (overflowing float): the
        # decoder used it rather than replacing it.
        payload = raw_deflate(struct.pack("<6h", 1, 0, 0, 0, 0, 0))
        y = vantrel.decompress_signal(container(code=b"cf53", count=4, payload=payload,
                                                multiplier=2.0**-140))
        assert not np.all(np.isfinite(y))

    def test_odd_byte_string_drops_its_last_byte(self):
        # cdf53 on 4 samples is transformed as 6: one level of 3 + 3 values, plus a stray byte.
        values = struct.pack("<6h", 100, -50, 7, 0, 3, 0)
        y = vantrel.decompress_signal(container(code=b"cf53", count=4,
                                                payload=raw_deflate(values + b"\x7f")))
        np.testing.assert_array_equal(
            y, vantrel.decompress_signal(container(code=b"cf53", count=4, payload=raw_deflate(values))))

    def test_damaged_deflate_payload(self):
        with pytest.raises(ValueError) as e:
            vantrel.decompress_signal(container(payload=b"\xff\xff\xff\xff\xff\xff"))
        assert str(e.value) == "Can't decompress data, reason: corrupt deflate stream"

    def test_deflate_from_another_encoder_level(self):
        values = struct.pack("<6h", 300, 2, -2, 1, 0, 5)
        expected = vantrel.decompress_signal(container(code=b"cf53", count=4,
                                                       payload=raw_deflate(values, 6)))
        for level in (0, 1, 9):
            y = vantrel.decompress_signal(container(code=b"cf53", count=4,
                                                    payload=raw_deflate(values, level)))
            np.testing.assert_array_equal(y, expected)

    def test_too_few_coefficients(self):
        with pytest.raises(ValueError) as e:
            vantrel.decompress_signal(container(count=1000, payload=raw_deflate(bytes(100))))
        assert str(e.value) == "Can't decompress data, reason: Stream truncated"

    def test_failing_inverse_transform_shows_the_bare_wavelet_text(self):
        # Ten cdf97 levels over 10 samples: the clamped band sizes cannot be inverted.
        sizes = [(5, 5), (3, 2), (2, 2), (2, 2), (2, 2), (2, 2), (2, 2), (2, 2), (2, 2), (2, 2)]
        total = sizes[-1][0] + sum(d for _, d in sizes)
        data = container(levels=10, count=10, payload=raw_deflate(bytes(2 * total)))
        with pytest.raises(ValueError) as e:
            vantrel.decompress_signal(data)
        assert str(e.value).startswith("Approximate size") or str(e.value).startswith("Output size")
        assert "reason" not in str(e.value)

    @pytest.mark.parametrize("method,n", [("db4", 9), ("sym4", 101), ("db4", 1001), ("cdf97", 5)])
    def test_odd_and_short_lengths(self, method, n):
        x = smooth(n)
        y = vantrel.decompress_signal(
            vantrel.compress_signal(x, vantrel.CompressionOptions(method=method)))
        assert y.shape == (n,)
        assert np.max(np.abs(y - x)) < 0.01 * (x.max() - x.min())
