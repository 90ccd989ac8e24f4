"""The container's 52-byte header as fields: read for display and written for tests and tools.

The codec owns the byte layout (``codec/vantrel.h``); ``_native.unpack_header`` and
``_native.pack_header`` read and write it, and this module names the fields and says which values
a reader accepts. The tests and the fuzz seed generator build and take apart headers through it.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass
from typing import Any

from .. import _native
from .names import CODER_CODES, MAX_SCALE, MIN_SCALE, WAVELET_TAGS

HEADER_SIZE: int = _native.header_size()
MAGIC = b"VTRL"
VERSION = (1, 2)
METHOD_TAG = b"f3"
# The reserved byte after the coder byte: the decoder never reads it (the trailer module keeps
# its flag there).
RESERVED_BYTE_OFFSET = 15
# What the header stores -> the option text.
WAVELET_NAMES = {tag: name for name, tag in WAVELET_TAGS.items()}
CODER_NAMES = {code: name for name, code in CODER_CODES.items()}


class ContainerError(Exception):
    """Bytes that do not start with a container header this version can read."""


@dataclass(frozen=True, kw_only=True)
class ContainerHeader:
    """Every field of the header as stored; nothing here is checked (see `parse_header`).
    `method` and `coder_name` name the codes."""

    magic: bytes = MAGIC
    version: tuple[int, int] = VERSION
    method_tag: bytes = METHOD_TAG
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
    reserved: bytes = bytes(13)  # byte 15 and bytes 40..51, written as zeros

    @property
    def method(self) -> str:
        """The wavelet's name, as ``vantrel.CompressionOptions`` spells it (``"cdf97"``, ...)."""
        return WAVELET_NAMES[self.wavelet_code]

    @property
    def coder_name(self) -> str:
        """The entropy coder's name: ``"deflate"``, ``"arans"`` or ``"cmodel"``."""
        return CODER_NAMES[self.coder]

    def to_bytes(self) -> bytes:
        """The 52 header bytes, written as they are, valid or not."""
        if len(self.reserved) != 13:
            raise ValueError(f"reserved holds 13 bytes, not {len(self.reserved)}")
        return _native.pack_header(*(getattr(self, name) for name in _FIELDS))


# The fields in the order _native.unpack_header gives them and pack_header takes them.
_FIELDS = tuple(f.name for f in dataclasses.fields(ContainerHeader))


def unpack_header(data: bytes) -> ContainerHeader:
    """The fields of the first 52 bytes of `data`, without any check of their values.

    Parameters
    ----------
    data : bytes
        At least 52 bytes.

    Returns
    -------
    ContainerHeader

    Raises
    ------
    ValueError
        `data` is shorter than 52 bytes.

    Examples
    --------
    >>> unpack_header(bytes(52)).magic
    b'\\x00\\x00\\x00\\x00'
    """
    return ContainerHeader(**dict(zip(_FIELDS, _native.unpack_header(data), strict=True)))


def replace_header_fields(container: bytes, **changes: object) -> bytes:
    """`container` with the named header fields rewritten and everything else kept.

    Parameters
    ----------
    container : bytes
        A container, or at least its 52 header bytes.
    **changes
        New values by field name of `ContainerHeader`. Floats are written back through binary32,
        exactly for every value but the payload bits of a NaN.

    Returns
    -------
    bytes

    Raises
    ------
    TypeError
        A name that is no header field.
    ValueError, OverflowError
        A value the field cannot hold.

    Examples
    --------
    >>> import numpy as np, vantrel
    >>> packed = vantrel.compress_signal(np.ones(8, dtype=np.float32))
    >>> parse_header(replace_header_fields(packed, scale=13))
    Traceback (most recent call last):
    ...
    vantrel_tools.core.container.ContainerError: scale 13 is outside 6..12
    """
    header = dataclasses.replace(unpack_header(container), **changes)  # type: ignore[arg-type]
    return header.to_bytes() + container[HEADER_SIZE:]


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
    vantrel_tools.core.container.ContainerError: not a vantrel container (starts with b'RIFF')
    """
    return ContainerHeader(**dict(zip(_FIELDS, _checked_fields(data), strict=True)))


def header_extent(data: bytes) -> tuple[int, int]:
    """The sample count and payload length of the header at the start of `data`, refusing what
    :func:`parse_header` refuses (a reader's check of every container, without the fields as an
    object).

    Parameters
    ----------
    data : bytes
        As for :func:`parse_header`.

    Returns
    -------
    tuple of (int, int)

    Raises
    ------
    ContainerError
        As for :func:`parse_header`.

    Examples
    --------
    >>> import numpy as np, vantrel
    >>> header_extent(vantrel.compress_signal(np.zeros(1000, dtype=np.float32)))[0]
    1000
    """
    fields = _checked_fields(data)
    return fields[_SAMPLE_COUNT], fields[_PAYLOAD_LEN]


_SAMPLE_COUNT, _PAYLOAD_LEN = _FIELDS.index("sample_count"), _FIELDS.index("payload_len")


def _checked_fields(data: bytes) -> tuple[Any, ...]:
    """The header's fields as ``_native.unpack_header`` gives them, refused as `parse_header`
    says."""
    if len(data) < HEADER_SIZE:
        raise ContainerError(f"too short for a container header ({len(data)} of 52 bytes)")
    fields = _native.unpack_header(data)
    magic, version, method_tag, wavelet_code, _, scale, coder, _, low, high, mean = fields[:11]
    if magic != MAGIC:
        raise ContainerError(f"not a vantrel container (starts with {magic!r})")
    if version[0] != 1:
        raise ContainerError(f"container version {version[0]}.{version[1]} is not supported")
    if method_tag != METHOD_TAG:
        raise ContainerError(f"unknown method tag {method_tag!r}")
    if wavelet_code not in WAVELET_NAMES:
        raise ContainerError(f"unknown wavelet code {wavelet_code!r}")
    if not MIN_SCALE <= scale <= MAX_SCALE:
        raise ContainerError(f"scale {scale} is outside {MIN_SCALE}..{MAX_SCALE}")
    if coder not in CODER_NAMES:
        raise ContainerError(f"unknown coder {coder}")
    if not (math.isfinite(low) and math.isfinite(high) and math.isfinite(mean)):
        raise ContainerError("normalisation constants are not finite")
    return fields
