"""The container's 52-byte header, read for display.

Layout (little-endian): magic "VTRL", two version bytes, method tag "f3", four-byte wavelet code,
levels, scale, coder, a reserved byte, the sample count (u32), the signal's minimum and maximum and
the mean of the normalised signal (binary32), the payload length (u32), the quantisation multiplier
(binary32) and twelve reserved bytes. The payload follows the header.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass

HEADER_SIZE = 52
MAGIC = b"VTRL"
METHOD_TAG = b"f3"
WAVELET_NAMES = {b"cf53": "cdf53", b"cf97": "cdf97", b"db04": "db4", b"sym4": "sym4"}
CODER_NAMES = {0: "deflate", 1: "arans", 2: "cmodel"}

_LAYOUT = struct.Struct("<4s2s2s4sBBBBIfffIf12s")
assert _LAYOUT.size == HEADER_SIZE


class ContainerError(Exception):
    """Bytes that do not start with a container header this version can read."""


@dataclass(frozen=True)
class ContainerHeader:
    """The fields of a container header, as stored; `method` and `coder_name` name the codes."""

    magic: bytes
    version: tuple[int, int]
    method_tag: bytes
    wavelet_code: bytes
    levels: int
    scale: int
    coder: int
    sample_count: int
    signal_min: float
    signal_max: float
    norm_mean: float
    payload_len: int
    quant_multiplier: float
    reserved: bytes  # byte 15 and bytes 40..51, written as zeros

    @property
    def method(self) -> str:
        """The wavelet's name, as ``vantrel.CompressionOptions`` spells it (``"cdf97"``, ...)."""
        return WAVELET_NAMES[self.wavelet_code]

    @property
    def coder_name(self) -> str:
        """The entropy coder's name: ``"deflate"``, ``"arans"`` or ``"cmodel"``."""
        return CODER_NAMES[self.coder]


def parse_header(data: bytes) -> ContainerHeader:
    """Reads the header at the start of a container, refusing what the decoder would refuse.

    Only the header is read: a damaged payload shows when the container is decompressed.

    Parameters
    ----------
    data : bytes
        A container, or at least its first 52 bytes.

    Returns
    -------
    ContainerHeader

    Raises
    ------
    ContainerError
        Fewer than 52 bytes, another magic, an unsupported version, or a field outside its
        range; the message is one line.

    Examples
    --------
    >>> import numpy as np, vantrel
    >>> packed = vantrel.compress_signal(np.linspace(-1.0, 1.0, 1000, dtype=np.float32))
    >>> header = parse_header(packed)
    >>> header.method, header.scale, header.coder_name, header.sample_count
    ('cdf97', 11, 'cmodel', 1000)
    >>> parse_header(b"RIFF" + bytes(48))
    Traceback (most recent call last):
    ...
    vantrel_tools.container.ContainerError: not a vantrel container (starts with b'RIFF')
    """
    if len(data) < HEADER_SIZE:
        raise ContainerError(f"too short for a container header ({len(data)} of 52 bytes)")
    (magic, version, tag, code, levels, scale, coder, reserved_byte, count, lo, hi, mean,
     payload_len, multiplier, reserved_tail) = _LAYOUT.unpack_from(data)
    if magic != MAGIC:
        raise ContainerError(f"not a vantrel container (starts with {magic!r})")
    if version[0] != 1:
        raise ContainerError(f"container version {version[0]}.{version[1]} is not supported")
    if tag != METHOD_TAG:
        raise ContainerError(f"unknown method tag {tag!r}")
    if code not in WAVELET_NAMES:
        raise ContainerError(f"unknown wavelet code {code!r}")
    if not 6 <= scale <= 12:
        raise ContainerError(f"scale {scale} is outside 6..12")
    if coder not in CODER_NAMES:
        raise ContainerError(f"unknown coder {coder}")
    if not all(math.isfinite(v) for v in (lo, hi, mean)):
        raise ContainerError("normalisation constants are not finite")
    return ContainerHeader(magic, (version[0], version[1]), tag, code, levels, scale, coder,
                           count, lo, hi, mean, payload_len, multiplier,
                           bytes([reserved_byte]) + reserved_tail)
