"""The trailer: integrity, gaps and what is known of the signal, for containers written by the
companion package.

A container is a 52-byte header and a payload; every decoder ignores bytes after the payload. The
companion package's writers use that room for a trailer holding a CRC-32C of the whole container
and the positions of the samples that were not finite (NaN, +inf, -inf), so that

- a damaged or truncated file is reported as such instead of decoding to other samples, and
- gaps stay gaps (``core.gaps``): filled before coding and put back exactly on decoding;
- a correction layer (a refinement) may follow the base, which a reader adds back to meet a
  pointwise bound or to return integer codes exactly;
- integer samples come back as the integer type they were given in;

and, when the writer knows them, what a file of the source's format needs to be written back as
it was (`About`: rate, sample type or integer ranges, label, unit) and the quality target the
container was coded to.

Containers without a trailer (from ``vantrel.compress_signal`` or any other writer) open as
before. The byte layout is written down in ``docs/trailer.md``; this module is its only reader
and writer.
"""

from __future__ import annotations

import json
import math
import struct
from dataclasses import asdict, dataclass, field
from typing import Any

import google_crc32c
import numpy as np

from .container import HEADER_SIZE, RESERVED_BYTE_OFFSET, header_extent, parse_header
from .gaps import GAP_NEG_INF, NO_GAPS, RUN_DTYPE, GapRuns

# The header's reserved byte is written as 0 and never read by the decoder; bit 0 set there says
# that a trailer follows the payload, so that losing the whole trailer is noticed too.
FLAGS_OFFSET = RESERVED_BYTE_OFFSET
FLAG_TRAILER = 0x01

TRAILER_MAGIC = b"VTRT"
# Version 1 for gaps alone, so that every reader opens it; version 2 with a refinement, a grid or
# an integer sample type, so that a reader that cannot apply them refuses the container instead of
# returning the base, unrounded, as the signal.
TRAILER_VERSION = 1
TRAILER_VERSION_REFINED = 2
SECTION_GAPS = 1
SECTION_ABOUT = 2
SECTION_REFINEMENT = 3
SECTION_SAMPLE_TYPE = 4
SECTION_GRID = 5
# The NumPy types a sample-type section may name; decoding returns samples of that type.
SAMPLE_TYPES = ("int8", "int16", "int32", "uint8", "uint16", "float64")

# magic, version, reserved byte, reserved u16, trailer length (all of it, CRC included)
_PREFIX = struct.Struct("<4sBBHI")
_SECTION = struct.Struct("<BI")  # tag, body length
_CRC = struct.Struct("<I")
_GRID = struct.Struct("<4d")  # step, origin, lowest code, highest code

# A grid as the codec takes it: (step, origin, lowest code, highest code).
Grid = tuple[float, float, float, float]
_MIN_TRAILER = _PREFIX.size + _CRC.size
# The CRC-32C of any bytes followed by their own CRC-32C (little-endian): a container is checked
# over the bytes up to the trailer's end, without a copy of them that leaves the checksum out.
_CRC_RESIDUE = 0x48674BC7


class DamagedContainerError(ValueError):
    """A container whose trailer shows that its bytes are not the ones written."""


@dataclass(frozen=True)
class About:
    """What a container's trailer keeps about its signal (JSON values only).

    Attributes
    ----------
    rate : float or None
        The sample rate in Hz.
    label, unit : str
        The channel's name and physical unit ("" when unknown).
    source : str
        The format the signal was read from (``"wav"``, ``"edf"``, ...; "" when unknown).
    sample : dict
        How that format stores a sample, as its writer takes it back (``{"sample": "pcm16"}`` for
        audio, ``{"dtype": "int16"}`` for an HDF5 dataset).
    physical_range, digital_range : pair of numbers, or None
        For integer formats: the physical values of the lowest and highest codes, as the
        source's header gives them, for writing its header back (the grid section, when there
        is one, holds the grid decoded values are rounded to).
    extra : dict
        Format details of the channel (WFDB gain and baseline, EDF transducer, ...).
    quality : dict
        For a container coded to a target: the ``metric`` and ``value`` asked, and the value
        ``reached`` on the samples that exist (on the grid, with one); empty otherwise.
    """

    rate: float | None = None
    label: str = ""
    unit: str = ""
    source: str = ""
    sample: dict[str, Any] = field(default_factory=dict)
    physical_range: tuple[float, float] | None = None
    digital_range: tuple[int, int] | None = None
    extra: dict[str, Any] = field(default_factory=dict)
    quality: dict[str, Any] = field(default_factory=dict)

    def __bool__(self) -> bool:
        return any(asdict(self).values())


# The types of About's fields as stored (a pair of numbers for the ranges).
_ABOUT_TYPES: dict[str, Any] = {
    "rate": (int, float), "label": str, "unit": str, "source": str, "sample": dict,
    "physical_range": list, "digital_range": list, "extra": dict, "quality": dict,
}


def _finite(value: Any) -> Any:
    """`value` with every infinite or NaN number in it replaced by None: JSON has no such
    numbers (a reached quality keeps them as text instead)."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    return value


def _about_body(about: About) -> bytes:
    fields: dict[str, Any] = {k: _finite(v) for k, v in asdict(about).items() if v}
    if "rate" in fields and fields["rate"] is None:
        del fields["rate"]
    for key in ("physical_range", "digital_range"):  # ranges that describe no grid
        if None in fields.get(key, ()):
            del fields[key]
    fields["quality"] = {k: v if not isinstance(v, float) or math.isfinite(v) else str(v)
                         for k, v in about.quality.items()}
    if not fields["quality"]:
        del fields["quality"]
    return json.dumps(fields, sort_keys=True, separators=(",", ":"), allow_nan=False).encode()


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is no JSON number")


def _read_about(body: memoryview) -> About:
    try:
        fields = json.loads(bytes(body).decode("utf-8"), parse_constant=_no_constant)
    except (UnicodeDecodeError, ValueError):
        fields = None
    if not isinstance(fields, dict):
        raise damaged("the signal section is no JSON object")
    known = {k: v for k, v in fields.items() if k in _ABOUT_TYPES}  # later keys are skipped
    for key, value in known.items():
        pair = key.endswith("_range")
        if (not isinstance(value, _ABOUT_TYPES[key]) or isinstance(value, bool)
                or pair and (len(value) != 2 or not all(
                    isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
                    for v in value))):
            raise damaged(f"the signal section's {key} is {value!r}")
    if "rate" in known and not 0 < known["rate"] < math.inf:
        raise damaged(f"the signal section's rate is {known['rate']!r}")
    if not all(v == int(v) and abs(v) <= 2**64 for v in known.get("digital_range", ())):
        raise damaged(f"the signal section's digital range {known['digital_range']!r} holds "
                      "no whole codes of an integer format")
    for key in ("physical_range", "digital_range"):
        if key in known:
            known[key] = tuple(known[key])
    if "quality" in known:
        known["quality"] = _read_quality(known["quality"])
    return About(**known)


def _read_quality(quality: dict[str, Any]) -> dict[str, Any]:
    """The quality entry with its numbers as floats (inf and NaN are stored as text)."""
    out: dict[str, Any] = {}
    for key, value in quality.items():
        if key == "metric" and isinstance(value, str):
            out[key] = value
            continue
        try:
            if isinstance(value, bool) or not isinstance(value, (int, float, str)):
                raise ValueError
            out[key] = float(value)
        except ValueError:
            raise damaged(f"the signal section's quality {key} is {value!r}") from None
    return out


@dataclass(frozen=True)
class Trailer:
    """A checked trailer: its size in bytes (CRC included), the gap runs it records, the body of
    its refinement section (None without one; ``_native.correct`` applies it) and the sample type
    the signal was given in (None for float32 or float64 samples decoded as float32), and the
    grid decoded values are rounded to (None without one), and what it says about the signal
    (empty when nothing)."""

    size: int
    runs: GapRuns
    refinement: bytes | None = None
    sample_type: str | None = None
    grid: Grid | None = None
    about: About = field(default_factory=About)


def damaged(reason: str) -> DamagedContainerError:
    """The error of a container whose bytes show damage.

    Parameters
    ----------
    reason : str
        What is wrong, as the rest of the message.

    Returns
    -------
    DamagedContainerError

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> str(damaged("checksum mismatch"))
    'container is damaged or truncated: checksum mismatch'
    """
    return DamagedContainerError(f"container is damaged or truncated: {reason}")


def _crc(data: bytes) -> int:
    return int(google_crc32c.value(data))


def seal(container: bytes, runs: GapRuns, refinement: bytes | None = None,
         sample_type: str | None = None, grid: Grid | None = None,
         about: About | None = None) -> bytes:
    """`container` with the trailer flag set and a trailer holding `runs`, the sections given
    and the checksum.

    Parameters
    ----------
    container : bytes
        A container without a trailer; bytes after its payload are dropped.
    runs : numpy.ndarray
        Gap runs as :func:`unseal` returns them (a structured array of ``start``, ``length`` and
        ``kind``), possibly empty.
    refinement : bytes, optional
        The body of a refinement section, as ``_native.compress_to`` returns it. With it, a grid
        or an integer sample type, the trailer is written as version 2.
    sample_type : str, optional
        One of `SAMPLE_TYPES`: what decoding returns instead of float32.
    grid : tuple of 4 floats, optional
        (step, origin, lowest code, highest code): the values decoding rounds to.
    about : About, optional
        What is known of the signal; kept when it says anything. It changes no sample, so it
        leaves the version as the other sections make it.

    Returns
    -------
    bytes

    Raises
    ------
    ValueError
        `container` is shorter than its header says.
    vantrel_tools.core.container.ContainerError
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
    sections = [_SECTION.pack(SECTION_GAPS, 4 + runs.nbytes), _CRC.pack(runs.size),
                runs.tobytes()]
    if about:
        text = _about_body(about)
        sections += [_SECTION.pack(SECTION_ABOUT, len(text)), text]
    if sample_type is not None:
        if sample_type not in SAMPLE_TYPES:
            raise ValueError(f"sample type {sample_type!r} is not one of {', '.join(SAMPLE_TYPES)}")
        name = sample_type.encode("ascii")
        sections += [_SECTION.pack(SECTION_SAMPLE_TYPE, len(name)), name]
    if grid is not None:
        sections += [_SECTION.pack(SECTION_GRID, _GRID.size), _GRID.pack(*grid)]
    if refinement is not None:
        sections += [_SECTION.pack(SECTION_REFINEMENT, len(refinement)), refinement]
    body = b"".join(sections)
    length = _PREFIX.size + len(body) + _CRC.size
    # A reader that skipped any of these sections would return other values than the ones the
    # signal was coded for.
    changes_values = refinement is not None or grid is not None or (
        sample_type is not None and sample_type != "float64")
    version = TRAILER_VERSION_REFINED if changes_values else TRAILER_VERSION
    trailer = _PREFIX.pack(TRAILER_MAGIC, version, 0, 0, length) + body
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
    vantrel_tools.core.container.ContainerError
        Bytes that are no container at all.

    Examples
    --------
    >>> import numpy as np, vantrel_tools
    >>> runs = unseal(vantrel_tools.compress(np.array([1.0, np.inf, np.inf, 2.0], np.float32)))[1]
    >>> runs.tolist()
    [(1, 2, 1)]
    """
    found = read_trailer(data)
    return data, NO_GAPS if found is None else found.runs


def read_trailer(data: bytes) -> Trailer | None:
    """The trailer of `data`, checked; None for a container without one.

    Parameters
    ----------
    data : bytes
        As for :func:`unseal`, which this reads for.

    Returns
    -------
    Trailer or None

    Raises
    ------
    As :func:`unseal`.

    Examples
    --------
    >>> import numpy as np, vantrel
    >>> read_trailer(vantrel.compress_signal(np.ones(8, np.float32))) is None
    True
    """
    sample_count, payload_len = header_extent(data)
    end = HEADER_SIZE + payload_len
    flagged = bool(data[FLAGS_OFFSET] & FLAG_TRAILER)
    # A trailer is looked for even when the flag is clear: a flipped flag must not hide one.
    has_magic = data[end : end + 4] == TRAILER_MAGIC
    if not flagged and not has_magic:
        return None
    if len(data) < end + _MIN_TRAILER:
        raise damaged(f"{len(data)} bytes end before the trailer does")
    magic, version, _, _, length = _PREFIX.unpack_from(data, end)
    if magic != TRAILER_MAGIC:
        raise damaged("the trailer is missing")
    if length < _MIN_TRAILER:
        raise damaged(f"trailer length {length} is below the {_MIN_TRAILER} bytes of an empty "
                      "trailer")
    if length > len(data) - end:
        raise damaged(f"trailer length {length} does not fit the {len(data) - end} bytes left")
    stop = end + length
    if _crc(data if stop == len(data) else data[:stop]) != _CRC_RESIDUE:
        raise damaged("checksum mismatch")
    if version < TRAILER_VERSION:  # no writer has ever made one
        raise damaged(f"trailer version {version} does not exist")
    if version not in (TRAILER_VERSION, TRAILER_VERSION_REFINED):
        raise ValueError(f"trailer version {version} is newer than this reader "
                         f"({TRAILER_VERSION_REFINED})")
    return _read_sections(memoryview(data)[end + _PREFIX.size : stop - _CRC.size], sample_count,
                          length)


def _read_sections(sections: memoryview, sample_count: int, length: int) -> Trailer:
    runs = refinement = sample_type = grid = about = None
    pos, total = 0, len(sections)
    while pos < total:
        if total - pos < _SECTION.size:
            raise damaged("a trailer section is cut short")
        tag, size = _SECTION.unpack_from(sections, pos)
        start = pos + _SECTION.size
        pos = start + size
        if pos > total:
            raise damaged("a trailer section is cut short")
        if tag == SECTION_GAPS:
            if runs is not None:
                raise damaged("the trailer holds two gap sections")
            runs = _read_gaps(sections[start:pos], sample_count)
        elif tag == SECTION_ABOUT:
            about = _read_about(sections[start:pos])
        elif tag == SECTION_REFINEMENT:
            refinement = bytes(sections[start:pos])
        elif tag == SECTION_SAMPLE_TYPE:
            sample_type = _read_sample_type(sections[start:pos])
        elif tag == SECTION_GRID:
            grid = _read_grid(sections[start:pos])
        # sections of later versions' kinds are skipped
    return Trailer(length, NO_GAPS if runs is None else runs, refinement, sample_type, grid,
                   About() if about is None else about)


_REFINEMENT_HEAD = struct.Struct("<B3xId3dI")  # kind, count, width or step, grid, codes per bin
REFINEMENT_BY_WIDTH, REFINEMENT_ON_GRID = 1, 2


def describe_refinement(body: bytes) -> str:
    """What a refinement section's bins keep, in words, as ``vantrel info`` shows it.

    Parameters
    ----------
    body : bytes
        The section's body, as :class:`Trailer` holds it.

    Returns
    -------
    str

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> describe_refinement(_REFINEMENT_HEAD.pack(2, 4, 0.5, 0.0, 0.0, 9.0, 1) + bytes(4))
    'bins of 1 code of step 0.5 (lossless)'
    """
    if len(body) < _REFINEMENT_HEAD.size:
        return "unreadable"
    kind, _, width, origin, _, _, codes = _REFINEMENT_HEAD.unpack_from(body)
    if kind == REFINEMENT_BY_WIDTH:
        return f"bins of {width:.6g} (each sample within half a bin, about {width / 2:.6g})"
    if kind == REFINEMENT_ON_GRID:
        k = codes // 2
        within = "lossless" if k == 0 else f"each sample within {k} code{'s' * (k > 1)}"
        at = f", origin {origin:.9g}" if origin else ""
        return f"bins of {codes} code{'s' * (codes > 1)} of step {width:.9g}{at} ({within})"
    return f"of unknown kind {kind}"


def _read_grid(body: memoryview) -> Grid:
    step, origin, low, high = _GRID.unpack(body) if len(body) == _GRID.size else (math.nan,) * 4
    whole = all(math.isfinite(c) and c == math.floor(c) and abs(c) <= 2**53 for c in (low, high))
    ends = (origin + step * low, origin + step * high) if whole else (math.nan,)
    if not (step > 0 and math.isfinite(step) and whole and low <= high
            and all(math.isfinite(v) for v in (origin, *ends))):
        raise damaged("the grid section holds no grid")
    return step, origin, low, high


def _read_sample_type(body: memoryview) -> str:
    name = bytes(body).decode("ascii", errors="replace")
    if name not in SAMPLE_TYPES:
        raise ValueError(f"the trailer's sample type {name!r} is newer than this reader")
    return name


def _read_gaps(body: memoryview, sample_count: int) -> GapRuns:
    if len(body) < 4:
        raise damaged("the gap section is cut short")
    (count,) = _CRC.unpack_from(body)
    if len(body) != 4 + count * RUN_DTYPE.itemsize:
        raise damaged("the gap section's length disagrees with its run count")
    if count == 0:
        return NO_GAPS  # the usual case, without the checks' array operations
    runs = np.frombuffer(body, dtype=RUN_DTYPE, count=count, offset=4)
    starts = runs["start"].astype(np.int64)
    ends = starts + runs["length"]
    if count and (
        (runs["length"] == 0).any()
        or (runs["kind"] > GAP_NEG_INF).any()
        or (starts[1:] < ends[:-1]).any()
        or ends[-1] > sample_count
    ):
        raise damaged("the gap runs do not fit the signal")
    return runs.copy()
