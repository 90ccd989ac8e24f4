"""Integrity and gaps for containers written by the companion package.

A container is a 52-byte header and a payload; every decoder ignores bytes after the payload. The
companion package's writers use that room for a trailer holding a CRC-32C of the whole container
and the positions of the samples that were not finite (NaN, +inf, -inf), so that

- a damaged or truncated file is reported as such instead of decoding to other samples, and
- gaps stay gaps: non-finite samples are filled from their finite neighbours before coding (so they
  widen nothing and cost little) and put back exactly on decoding.

``vantrel.decompress_signal`` still decodes such a container, to the filled signal. Containers
without a trailer (from ``vantrel.compress_signal`` or any other writer) open as before. The byte
layout is written down in ``docs/trailer.md``.
"""

from __future__ import annotations

import struct
from typing import Any

import google_crc32c
import numpy as np
import numpy.typing as npt

from . import _native
from .container import HEADER_SIZE, RESERVED_BYTE_OFFSET, parse_header

# The header's reserved byte is written as 0 and never read by the decoder; bit 0 set there says
# that a trailer follows the payload, so that losing the whole trailer is noticed too.
FLAGS_OFFSET = RESERVED_BYTE_OFFSET
FLAG_TRAILER = 0x01

TRAILER_MAGIC = b"VTRT"
TRAILER_VERSION = 1
SECTION_GAPS = 1

# Gap kinds, as stored.
GAP_NAN, GAP_POS_INF, GAP_NEG_INF = 0, 1, 2
_GAP_VALUES = np.array([np.nan, np.inf, -np.inf], dtype=np.float32)

# magic, version, reserved byte, reserved u16, trailer length (all of it, CRC included)
_PREFIX = struct.Struct("<4sBBHI")
_SECTION = struct.Struct("<BI")  # tag, body length
_CRC = struct.Struct("<I")
_RUN = np.dtype([("start", "<u4"), ("length", "<u4"), ("kind", "u1")])  # 9 bytes, packed
_MIN_TRAILER = _PREFIX.size + _CRC.size

# One run of non-finite samples: first index, count, kind.
GapRuns = npt.NDArray[np.void]


class DamagedContainerError(ValueError):
    """A container whose trailer shows that its bytes are not the ones written."""


def _damaged(reason: str) -> DamagedContainerError:
    return DamagedContainerError(f"container is damaged or truncated: {reason}")


def _crc(data: bytes) -> int:
    return int(google_crc32c.value(data))


def _checked_samples(data: Any) -> npt.NDArray[np.floating]:
    """The 1-D float32 or float64 array `data`, contiguous and in native byte order (a copy only
    where it is not already; ``ValueError`` for anything else, with the text
    ``vantrel.compress_signal`` uses). The native coder copies what it codes in any case."""
    array = np.asarray(data)
    if array.ndim != 1 or array.dtype.kind != "f" or array.dtype.itemsize not in (4, 8):
        raise ValueError("expected a 1-D float32 or float64 NumPy array")
    return np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("="))


def _find_gaps(samples: npt.NDArray[np.floating]) -> GapRuns:
    """The runs of equal non-finite kind in `samples`, in order."""
    if np.isfinite(samples).all():  # the common case, in one pass
        return np.empty(0, dtype=_RUN)
    kinds = np.full(samples.size, -1, dtype=np.int8)
    kinds[np.isnan(samples)] = GAP_NAN
    kinds[np.isposinf(samples)] = GAP_POS_INF
    kinds[np.isneginf(samples)] = GAP_NEG_INF
    edges = np.flatnonzero(np.diff(kinds, prepend=-1, append=-1))  # where the kind changes
    starts, ends = edges[:-1], edges[1:]
    keep = kinds[starts] >= 0
    runs = np.empty(int(keep.sum()), dtype=_RUN)
    runs["start"] = starts[keep]
    runs["length"] = (ends - starts)[keep]
    runs["kind"] = kinds[starts[keep]]
    return runs


def _fill_gaps(samples: npt.NDArray[np.floating]) -> npt.NDArray[np.floating]:
    """`samples` with every non-finite sample replaced by a straight line between its finite
    neighbours (held flat before the first and after the last), so the range stays the finite
    samples' range. A signal with no finite sample becomes zeros."""
    finite = np.isfinite(samples)
    if finite.all():
        return samples
    filled = samples.copy()
    where = np.flatnonzero(finite)
    if where.size == 0:
        filled[:] = 0
        return filled
    holes = np.flatnonzero(~finite)
    line = np.interp(holes, where, samples[where].astype(np.float64))
    # Within float32 whatever the neighbours, so that a refusal of an out-of-range float64 sample
    # names the caller's sample, never a filled one.
    limit = float(np.finfo(np.float32).max)
    filled[holes] = np.clip(line, -limit, limit)
    return filled


def _restore_gaps(samples: npt.NDArray[np.float32], runs: GapRuns) -> npt.NDArray[np.float32]:
    """Puts the non-finite samples described by `runs` back into `samples` (in place)."""
    for start, length, kind in runs.tolist():
        samples[start : start + length] = _GAP_VALUES[kind]
    return samples


def seal(container: bytes, runs: GapRuns) -> bytes:
    """`container` with the trailer flag set and a trailer holding `runs` and the checksum.

    Parameters
    ----------
    container : bytes
        A container without a trailer; bytes after its payload are dropped.
    runs : numpy.ndarray
        Gap runs as :func:`unseal` returns them (a structured array of ``start``, ``length`` and
        ``kind``), possibly empty.

    Returns
    -------
    bytes

    Raises
    ------
    ValueError
        `container` is shorter than its header says.
    vantrel_tools.container.ContainerError
        Bytes that do not start with a container header.

    Examples
    --------
    >>> import numpy as np, vantrel
    >>> plain = vantrel.compress_signal(np.ones(8, np.float32))
    >>> sealed = seal(plain, unseal(plain)[1])
    >>> len(sealed) - len(plain), unseal(sealed)[1].size
    (25, 0)
    """
    header = parse_header(container)
    end = HEADER_SIZE + header.payload_len
    if len(container) < end:
        raise ValueError("container is shorter than its header says")
    head = bytearray(container[:HEADER_SIZE])
    head[FLAGS_OFFSET] |= FLAG_TRAILER
    payload = container[HEADER_SIZE:end]
    gaps = _SECTION.pack(SECTION_GAPS, 4 + runs.nbytes) + _CRC.pack(runs.size) + runs.tobytes()
    length = _PREFIX.size + len(gaps) + _CRC.size
    trailer = _PREFIX.pack(TRAILER_MAGIC, TRAILER_VERSION, 0, 0, length) + gaps
    # The checksum runs over the pieces in turn instead of over a joined copy of them.
    crc = google_crc32c.value(bytes(head))
    for piece in (payload, trailer):
        crc = google_crc32c.extend(crc, piece)
    return b"".join((head, payload, trailer, _CRC.pack(crc)))


def unseal(data: bytes) -> tuple[bytes, GapRuns]:
    """Checks the trailer of `data`, if it has one.

    Parameters
    ----------
    data : bytes
        A container, with or without a trailer.

    Returns
    -------
    tuple of (bytes, numpy.ndarray)
        `data` itself (the decoder reads it as it is: it ignores the trailer) and the gap runs,
        none for a container without a trailer.

    Raises
    ------
    DamagedContainerError
        The checksum, the trailer's structure or its presence disagree with the bytes.
    ValueError
        A trailer of a newer version.
    vantrel_tools.container.ContainerError
        Bytes that are no container at all.

    Examples
    --------
    >>> import numpy as np
    >>> runs = unseal(compress(np.array([1.0, np.inf, np.inf, 2.0], np.float32)))[1]
    >>> runs.tolist()
    [(1, 2, 1)]
    """
    view = memoryview(data)
    header = parse_header(data)
    end = HEADER_SIZE + header.payload_len
    flagged = bool(data[FLAGS_OFFSET] & FLAG_TRAILER)
    # A trailer is looked for even when the flag is clear: a flipped flag must not hide one.
    has_magic = len(data) >= end + 4 and data[end : end + 4] == TRAILER_MAGIC
    if not flagged and not has_magic:
        return data, np.empty(0, dtype=_RUN)
    if len(data) < end + _MIN_TRAILER:
        raise _damaged(f"{len(data)} bytes end before the trailer does")
    magic, version, _, _, length = _PREFIX.unpack_from(data, end)
    if magic != TRAILER_MAGIC:
        raise _damaged("the trailer is missing")
    if not _MIN_TRAILER <= length <= len(data) - end:
        raise _damaged(f"trailer length {length} does not fit the {len(data) - end} bytes left")
    stop = end + length
    (stored,) = _CRC.unpack_from(data, stop - _CRC.size)
    if _crc(data[: stop - _CRC.size]) != stored:
        raise _damaged("checksum mismatch")
    if version != TRAILER_VERSION:
        raise ValueError(f"trailer version {version} is newer than this reader ({TRAILER_VERSION})")
    runs = _read_sections(view[end + _PREFIX.size : stop - _CRC.size], header.sample_count)
    return data, runs


def _read_sections(sections: memoryview, sample_count: int) -> GapRuns:
    runs = np.empty(0, dtype=_RUN)
    pos = 0
    while pos < len(sections):
        if len(sections) - pos < _SECTION.size:
            raise _damaged("a trailer section is cut short")
        tag, size = _SECTION.unpack_from(sections, pos)
        pos += _SECTION.size
        if size > len(sections) - pos:
            raise _damaged("a trailer section is cut short")
        if tag == SECTION_GAPS:
            runs = _read_gaps(sections[pos : pos + size], sample_count)
        pos += size  # sections of later versions' kinds are skipped
    return runs


def _read_gaps(body: memoryview, sample_count: int) -> GapRuns:
    if len(body) < 4:
        raise _damaged("the gap section is cut short")
    (count,) = _CRC.unpack_from(body)
    if len(body) != 4 + count * _RUN.itemsize:
        raise _damaged("the gap section's length disagrees with its run count")
    runs = np.frombuffer(body, dtype=_RUN, count=count, offset=4)
    starts = runs["start"].astype(np.int64)
    ends = starts + runs["length"]
    if count and (
        (runs["length"] == 0).any()
        or (runs["kind"] > GAP_NEG_INF).any()
        or (starts[1:] < ends[:-1]).any()
        or ends[-1] > sample_count
    ):
        raise _damaged("the gap runs do not fit the signal")
    return runs.copy()


def compress(
    data: Any,
    *,
    method: str = "cdf97",
    scale: int = 11,
    cutoff: str = "low",
    coder: str | None = None,
    quant_multiplier: float | None = None,
) -> bytes:
    """Compresses a 1-D float32/float64 signal into a container with a trailer.

    Non-finite samples are filled before coding and recorded in the trailer, so that
    :func:`decompress` restores them exactly; the rest of the signal is coded as if they were not
    there. The container decodes with ``vantrel.decompress_signal`` too (to the filled signal).
    The codec runs without holding the interpreter (on a private copy of the samples), so calls
    from several threads run in parallel.

    Parameters
    ----------
    data : numpy.ndarray
        A 1-D float32 or float64 array, in any byte order and layout; NaN and infinities allowed.
    method, scale, cutoff, coder, quant_multiplier
        As for ``vantrel.CompressionOptions``, with its defaults and its refusals.

    Returns
    -------
    bytes
        The container: header, payload and trailer (checksum and gap runs).

    Raises
    ------
    ValueError
        What ``vantrel.compress_signal`` refuses (an empty signal, an unusable multiplier, ...),
        finite float64 samples outside the float32 range among them, or data that is no 1-D
        float32/float64 array.
    TypeError
        An option of the wrong type.

    Examples
    --------
    >>> import numpy as np
    >>> x = np.array([1.0, np.nan, 3.0, 4.0], dtype=np.float32)
    >>> y = decompress(compress(x))
    >>> bool(np.isnan(y[1])), y.size
    (True, 4)
    """
    return _compress(data, 1, method=method, scale=scale, cutoff=cutoff, coder=coder,
                     quant_multiplier=quant_multiplier)


def _compress(data: Any, threads: int, *, method: str, scale: int, cutoff: str,
              coder: str | None, quant_multiplier: float | None) -> bytes:
    """:func:`compress`, the coder using up to `threads` threads (the same container for any
    count)."""
    samples = _checked_samples(data)
    runs = _find_gaps(samples)
    filled = _fill_gaps(samples) if runs.size else samples
    container = _native.compress(filled, method, scale, cutoff, coder, quant_multiplier,
                                 threads=threads)
    return seal(container, runs)


def decompress(data: bytes | bytearray | memoryview) -> npt.NDArray[np.float32]:
    """Decodes a container, checking its trailer and restoring its gaps when it has one.

    A container without a trailer (from ``vantrel.compress_signal`` or another writer) decodes
    exactly as ``vantrel.decompress_signal`` decodes it.

    Parameters
    ----------
    data : bytes-like
        A container, with or without a trailer; bytes after the trailer are ignored.

    Returns
    -------
    numpy.ndarray
        The samples, 1-D float32, with the NaN and infinite samples where they were.

    Raises
    ------
    DamagedContainerError
        The trailer, or the flag announcing one, shows that the bytes are not the ones written
        (a ``ValueError``; the message begins "container is damaged or truncated").
    ValueError
        A trailer of a newer version, or what ``vantrel.decompress_signal`` refuses.
    vantrel_tools.container.ContainerError
        Bytes that do not start with a container header this version can read.

    Examples
    --------
    >>> import numpy as np
    >>> packed = bytearray(compress(np.linspace(0.0, 1.0, 100)))
    >>> packed[60] ^= 1
    >>> decompress(packed)
    Traceback (most recent call last):
    ...
    vantrel_tools.trailer.DamagedContainerError: container is damaged or truncated: checksum mismatch
    """
    container, runs = unseal(bytes(data))
    samples = np.frombuffer(_native.decompress(container), dtype=np.float32)
    return _restore_gaps(samples, runs)
