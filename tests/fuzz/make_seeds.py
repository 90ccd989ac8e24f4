#!/usr/bin/env python3
"""Writes the seed corpora of fuzz_decompress, fuzz_header and fuzz_roundtrip.

Needs the module and its companion package installed (they give the header layout and the names
of the methods and coders):
    pip install . && python3 tests/fuzz/make_seeds.py
The seeds are deterministic; rerunning rewrites the same files. Containers stay within 1 KiB,
the size the decompressor's memory bound is promised for.
"""

import os
import struct
import zlib
from pathlib import Path

import numpy as np

import vantrel
from vantrel_tools.core.names import ENTROPY_CODERS, WAVELET_METHODS, WAVELET_TAGS
from vantrel_tools.core.container import HEADER_SIZE, ContainerHeader, replace_header_fields

HERE = Path(__file__).resolve().parent
MAX_CONTAINER = 1024


def signal(n, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    return (np.sin(t / 7.0) + 0.1 * rng.standard_normal(n)).astype(np.float32)


def header(method_code=b"cf97", levels=6, scale=11, coder=2, sample_count=1000,
           signal_min=0.0, signal_max=1.0, norm_mean=0.0, payload_len=0, multiplier=2048.0):
    return ContainerHeader(wavelet_code=method_code, levels=levels, scale=scale, coder=coder,
                           sample_count=sample_count, signal_min=signal_min,
                           signal_max=signal_max, norm_mean=norm_mean, payload_len=payload_len,
                           quant_multiplier=multiplier).to_bytes()


def with_payload(payload, **fields):
    return header(payload_len=len(payload), **fields) + payload


def leb128(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def write(target, seeds):
    directory = HERE / "corpus" / target
    directory.mkdir(parents=True, exist_ok=True)
    for old in directory.glob("seed_*"):
        old.unlink()
    for name, data in seeds.items():
        (directory / f"seed_{name}").write_bytes(data)
    size = sum(len(d) for d in seeds.values())
    print(f"{target}: {len(seeds)} seeds, {size} bytes")


def decompress_seeds():
    seeds = {}
    rng = np.random.default_rng(7)
    for method in WAVELET_METHODS:
        for coder in ENTROPY_CODERS:
            for n in (5, 64, 200):
                options = vantrel.CompressionOptions(method=method, coder=coder, scale=8)
                packed = vantrel.compress_signal(signal(n, n), options)
                if len(packed) > MAX_CONTAINER:
                    continue
                seeds[f"{method}_{coder}_{n}"] = packed
            packed = vantrel.compress_signal(signal(64, 1), vantrel.CompressionOptions(
                method=method, coder=coder, scale=8))
            # Cut short, with the header still claiming the whole payload and with a header
            # that matches the cut.
            cut = len(packed) - max(1, (len(packed) - HEADER_SIZE) // 3)
            seeds[f"{method}_{coder}_cut"] = packed[:cut]
            seeds[f"{method}_{coder}_cut_fixed"] = replace_header_fields(
                packed[:cut], payload_len=cut - HEADER_SIZE)
            # One flipped bit in the payload.
            flipped = bytearray(packed)
            at = HEADER_SIZE + int(rng.integers(0, len(packed) - HEADER_SIZE))
            flipped[at] ^= 1 << int(rng.integers(0, 8))
            seeds[f"{method}_{coder}_flip"] = bytes(flipped)
    huge = (1 << 31) - 1
    for method in WAVELET_METHODS:
        # A constant signal costs almost nothing per sample with the context model: the
        # longest signal a 1 KiB container describes.
        options = vantrel.CompressionOptions(method=method, coder="cmodel")
        packed = vantrel.compress_signal(np.full(1 << 20, 0.25, np.float32), options)
        if len(packed) <= MAX_CONTAINER:
            seeds[f"{method}_constant_1M"] = packed
        # Ten levels of tiny bands under a huge sample count, for every coder.
        for levels in (1, 10):
            cm = bytes([levels + 1]) + bytes([1] * (levels + 1)) + b"\0\0\1\0" + bytes(64)
            seeds[f"{method}_cmodel_huge_L{levels}"] = with_payload(
                cm, method_code=WAVELET_TAGS[method], levels=levels, coder=2, sample_count=huge)
        arans = b"\0\x08" + leb128(1 << 28) + leb128(500) + bytes(500) + bytes(400)
        seeds[f"{method}_arans_huge"] = with_payload(
            arans, method_code=WAVELET_TAGS[method], levels=10, coder=1, sample_count=huge)
        bomb = zlib.compressobj(9, zlib.DEFLATED, -15)
        bomb = bomb.compress(bytes(950_000)) + bomb.flush()
        seeds[f"{method}_deflate_bomb"] = with_payload(
            bomb, method_code=WAVELET_TAGS[method], levels=10, coder=0, sample_count=huge)
    seeds["levels_0"] = with_payload(b"\0" * 8, levels=0)
    seeds["levels_11"] = with_payload(b"\0" * 8, levels=11)
    seeds["sample_count_2p31"] = with_payload(b"\0" * 8, sample_count=1 << 31)
    seeds["multiplier_nan"] = replace_header_fields(vantrel.compress_signal(signal(64, 3)),
                                                    quant_multiplier=float("nan"))
    assert all(len(s) <= MAX_CONTAINER for s in seeds.values())
    return seeds


def header_seeds():
    seeds = {"valid": header(), "short": header()[:51]}
    for i, code in enumerate([*WAVELET_TAGS.values(), b"CF97"]):
        seeds[f"code_{i}"] = header(method_code=code)
    for scale in (5, 6, 12, 13):
        seeds[f"scale_{scale}"] = header(scale=scale)
    seeds["coder_3"] = header(coder=3)
    seeds["version_2"] = replace_header_fields(header(), version=(2, 1))
    seeds["max_nan"] = header(signal_max=float("nan"))
    seeds["min_inf"] = header(signal_min=float("-inf"))
    seeds["mean_subnormal"] = header(norm_mean=1e-45)
    seeds["trailing"] = header() + b"\xff" * 16
    return seeds


def roundtrip_seeds():
    seeds = {}
    specials = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-45, 3.4e38, -3.4e38],
                        np.float32)
    for method in range(4):
        for coder in range(4):
            flags = method | coder << 2
            samples = signal(40 + 13 * method + coder, method * 4 + coder)
            seeds[f"m{method}_c{coder}"] = bytes([flags, (coder + method) % 7]) + \
                samples.tobytes()
    seeds["nan_inf_extremes"] = bytes([1, 5]) + np.tile(specials, 5).tobytes()
    seeds["constant"] = bytes([0x0D, 3]) + np.full(100, 7.5, np.float32).tobytes()
    seeds["single"] = bytes([2, 0]) + np.float32(1.0).tobytes()
    seeds["all_nan"] = bytes([3, 1]) + np.full(9, np.nan, np.float32).tobytes()
    seeds["multiplier"] = bytes([0x11, 2]) + struct.pack("<f", 300.0) + signal(64, 9).tobytes()
    seeds["multiplier_bad"] = bytes([0x19, 2]) + struct.pack("<f", -1.0) + \
        signal(64, 9).tobytes()
    seeds["huge_range"] = bytes([0x06, 6]) + np.array([-3e38, 3e38] * 20, np.float32).tobytes()
    seeds["cutoff_high_scale_12"] = bytes([0x0E, 0x16]) + signal(50, 2).tobytes()
    return seeds


if __name__ == "__main__":
    os.chdir(HERE)
    write("fuzz_decompress", decompress_seeds())
    write("fuzz_header", header_seeds())
    write("fuzz_roundtrip", roundtrip_seeds())
