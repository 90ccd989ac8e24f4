"""The codecs the benchmark measures: vantrel and its peers behind one small interface.

Every codec turns a 1-D float32 array into bytes and back, driven by one parameter. Lossy codecs
come in two kinds: "tolerance" codecs take an absolute error bound (any positive float, so the
benchmark can bisect it to reach a target quality) and "grid" codecs take one of a few discrete
settings. Each peer is optional: when its package cannot be imported, it is left out with a note.
"""

from __future__ import annotations

import struct
import zlib
from typing import Any

import numpy as np


class Codec:
    name = ""
    kind = "grid"  # "tolerance", "grid" or "lossless"
    package = ""  # the import that makes it available

    def compress(self, x: np.ndarray, param: Any) -> bytes:
        raise NotImplementedError

    def decompress(self, blob: bytes, n: int) -> np.ndarray:
        raise NotImplementedError

    def sweep(self, x: np.ndarray, quick: bool) -> list[Any]:
        """Settings for the rate-distortion curve, coarse to fine."""
        return [None]

    def describe(self, param: Any) -> str:
        return "" if param is None else str(param)


def _tolerances(x: np.ndarray, quick: bool) -> list[float]:
    span = float(x.max() - x.min()) or 1.0
    steps = range(2, 25, 3) if quick else range(2, 25, 2)
    return [span * 2.0**-k for k in steps]


class Vantrel(Codec):
    """param: (method, coder, scale, cutoff); coder None is the automatic choice."""

    name = "vantrel"
    package = "vantrel"
    DEFAULT = ("cdf97", None, 11, "low")

    def __init__(self) -> None:
        import vantrel

        self._mod = vantrel

    def options(self, param):
        method, coder, scale, cutoff = param
        return self._mod.CompressionOptions(method=method, scale=scale, cutoff=cutoff, coder=coder)

    def compress(self, x, param):
        return self._mod.compress_signal(x, self.options(param))

    def decompress(self, blob, n):
        return self._mod.decompress_signal(blob)

    def sweep(self, x, quick):
        from vantrel_tools.core.names import SCALES

        scales = SCALES[::3] if quick else SCALES
        return [("cdf97", None, s, "low") for s in scales]

    def describe(self, param):
        method, coder, scale, cutoff = param
        return f"{method}/{coder or 'auto'}/s{scale}/{cutoff}"


class Zfp(Codec):
    """zfp in fixed-accuracy mode: param is the absolute tolerance."""

    name = "zfp"
    kind = "tolerance"
    package = "zfpy"

    def __init__(self) -> None:
        import zfpy

        self._zfpy = zfpy

    def compress(self, x, param):
        return self._zfpy.compress_numpy(x, tolerance=float(param))

    def decompress(self, blob, n):
        return self._zfpy.decompress_numpy(blob)

    def sweep(self, x, quick):
        return _tolerances(x, quick)

    def describe(self, param):
        return f"tol={param:.3g}"


class Sz3(Codec):
    """SZ3 with an absolute error bound (param), single-threaded."""

    name = "sz3"
    kind = "tolerance"
    package = "pysz"

    def __init__(self) -> None:
        from pysz import sz, szConfig, szErrorBoundMode

        self._sz, self._config, self._mode = sz, szConfig, szErrorBoundMode

    def compress(self, x, param):
        config = self._config()
        config.errorBoundMode = self._mode.ABS
        config.absErrorBound = float(param)
        config.openmp = False
        packed, _ = self._sz.compress(x, config)
        return packed.tobytes()

    def decompress(self, blob, n):
        out, _ = self._sz.decompress(np.frombuffer(blob, dtype=np.uint8), np.float32, (n,))
        return out

    def sweep(self, x, quick):
        return _tolerances(x, quick)

    def describe(self, param):
        return f"abs={param:.3g}"


class PywtZlib(Codec):
    """bior4.4 wavelet decomposition, coefficients quantised by 2^param after min-max
    normalisation, stored as int32 and deflated with zlib level 6."""

    name = "pywt+zlib"
    package = "pywt"
    WAVELET = "bior4.4"
    MODE = "periodization"
    MAX_LEVELS = 8

    def __init__(self) -> None:
        import pywt

        self._pywt = pywt

    HEAD = "<IddBB"  # sample count, minimum, maximum, scale, band count

    def compress(self, x, param):
        lo, hi = float(x.min()), float(x.max())
        span = (hi - lo) or 1.0
        normalised = (x.astype(np.float64) - lo) / span
        levels = min(self.MAX_LEVELS, self._pywt.dwt_max_level(x.size, self.WAVELET))
        bands = self._pywt.wavedec(normalised, self.WAVELET, mode=self.MODE, level=max(levels, 1))
        quantised = [np.rint(b * 2.0**param).astype("<i4") for b in bands]
        head = struct.pack(self.HEAD, x.size, lo, hi, int(param), len(bands))
        head += struct.pack(f"<{len(bands)}I", *(q.size for q in quantised))
        return head + zlib.compress(b"".join(q.tobytes() for q in quantised), 6)

    def decompress(self, blob, n):
        n, lo, hi, scale, count = struct.unpack_from(self.HEAD, blob)
        offset = struct.calcsize(self.HEAD)
        lengths = struct.unpack_from(f"<{count}I", blob, offset)
        flat = np.frombuffer(zlib.decompress(blob[offset + 4 * count :]), dtype="<i4")
        step = 2.0**-scale
        bands, start = [], 0
        for length in lengths:
            bands.append(flat[start : start + length] * step)
            start += length
        y = self._pywt.waverec(bands, self.WAVELET, mode=self.MODE)[:n]
        return (y * ((hi - lo) or 1.0) + lo).astype(np.float32)

    def sweep(self, x, quick):
        return list(range(4, 17, 4 if quick else 2))

    def describe(self, param):
        return f"scale={param}"


class QuantizeZlib(Codec):
    """numcodecs Quantize (param decimal digits kept) followed by Zlib level 6."""

    name = "quantize+zlib"
    package = "numcodecs"

    def __init__(self) -> None:
        from numcodecs import Quantize, Zlib

        self._quantize, self._zlib = Quantize, Zlib(level=6)

    def compress(self, x, param):
        return self._zlib.encode(self._quantize(digits=int(param), dtype="<f4").encode(x))

    def decompress(self, blob, n):
        return np.frombuffer(self._zlib.decode(blob), dtype="<f4")

    def sweep(self, x, quick):
        return list(range(0, 8, 2 if quick else 1))

    def describe(self, param):
        return f"digits={param}"


class BitRoundZstd(Codec):
    """numcodecs BitRound (param mantissa bits kept) followed by Zstd level 3."""

    name = "bitround+zstd"
    package = "numcodecs"

    def __init__(self) -> None:
        from numcodecs import BitRound, Zstd

        self._bitround, self._zstd = BitRound, Zstd(level=3)

    def compress(self, x, param):
        return self._zstd.encode(self._bitround(keepbits=int(param)).encode(x))

    def decompress(self, blob, n):
        return np.frombuffer(self._zstd.decode(blob), dtype="<f4")

    def sweep(self, x, quick):
        return list(range(2, 23, 6 if quick else 2))

    def describe(self, param):
        return f"keepbits={param}"


class ZlibRaw(Codec):
    """Lossless reference: zlib level 6 on the raw float32 bytes."""

    name = "zlib"
    kind = "lossless"
    package = "zlib"

    def compress(self, x, param):
        return zlib.compress(x.tobytes(), 6)

    def decompress(self, blob, n):
        return np.frombuffer(zlib.decompress(blob), dtype="<f4")


class Pcodec(Codec):
    """Lossless reference: pcodec's standalone format at its default level."""

    name = "pcodec"
    kind = "lossless"
    package = "pcodec"

    def __init__(self) -> None:
        from pcodec import ChunkConfig, standalone

        self._standalone, self._config = standalone, ChunkConfig()

    def compress(self, x, param):
        return self._standalone.simple_compress(x, self._config)

    def decompress(self, blob, n):
        return self._standalone.simple_decompress(blob)


PEERS = [Zfp, Sz3, PywtZlib, QuantizeZlib, BitRoundZstd, ZlibRaw, Pcodec]


def make(name: str) -> Codec:
    for cls in [Vantrel, *PEERS]:
        if cls.name == name:
            return cls()
    raise KeyError(name)


def available(only: set[str] | None = None) -> tuple[list[Codec], list[str]]:
    """Instantiates every peer (or those named in `only`) that imports here; returns them and
    notes on the missing ones."""
    codecs, notes = [], []
    for cls in PEERS:
        if only is not None and cls.name not in only:
            continue
        try:
            codecs.append(cls())
        except Exception as e:  # an optional package that is absent or broken
            notes.append(f"peer '{cls.name}' skipped: cannot import {cls.package} ({e})")
    return codecs, notes
