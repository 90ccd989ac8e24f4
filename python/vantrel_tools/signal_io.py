"""Sample files in and out: NumPy ``.npy``, RIFF ``.wav``, one-column ``.csv``/``.txt`` text and
raw little-endian float32 (``.f32``/``.raw``).

Every reader returns the signal as a list of 1-D channels of ``float32`` or ``float64`` samples,
the two element types the codec takes. Every writer returns the whole file as ``bytes`` so that the
caller can put it in place in one step.
"""

from __future__ import annotations

import csv
import io
import os
import pickle
import re
import struct
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

# File-name suffix -> format name. The format of a file is always taken from its suffix.
SIGNAL_FORMATS: dict[str, str] = {
    ".npy": "npy",
    ".wav": "wav",
    ".csv": "csv",
    ".txt": "csv",
    ".f32": "f32",
    ".raw": "f32",
}
# Format name -> the suffix a written file gets when only the format is known.
FORMAT_SUFFIX: dict[str, str] = {"npy": ".npy", "wav": ".wav", "csv": ".csv", "f32": ".f32"}
# Sample encodings a written WAV file can use.
WAV_SAMPLE_KINDS = ("float32", "pcm8", "pcm16", "pcm24", "pcm32")

_WAVE_FORMAT_PCM = 0x0001
_WAVE_FORMAT_IEEE_FLOAT = 0x0003
_WAVE_FORMAT_EXTENSIBLE = 0xFFFE
# A data chunk of this size comes from a writer that could not seek back: it runs to the end.
_STREAMING_CHUNK_SIZE = 0xFFFFFFFF
# A 2-D array is read as samples x channels without being told only when that gives fewer
# channels than samples per channel and at least this many samples per channel; a signal
# stored the other way round would otherwise become thousands of near-empty channels.
MIN_CHANNEL_SAMPLES = 16
# Column separators of text input, tried in this order on the first line that is not a comment
# (the semicolon before the comma: files separated by semicolons often write decimal commas).
_TEXT_DELIMITERS = ("\t", ";", ",")
# A cell that starts like a number is a damaged sample, never a column name.
_NUMBER_START = re.compile(r"[+-]?\.?\d")

Channel = npt.NDArray[np.floating]


class SignalFileError(Exception):
    """A sample file that cannot be read or written; the message is one line naming the file.

    Raised by `read_signal` (unknown suffix, damaged or unsupported file, a layout or column it
    cannot choose alone) and `encode_signal` (more channels than the format holds, a sample rate
    or length a WAV file cannot store).
    """


class SampleRangeError(SignalFileError, ValueError):
    """A finite sample too large for float32, the codec's sample type, which would turn it into
    an infinity and code a different signal."""


@dataclass
class Signal:
    """A signal read from a file.

    Attributes
    ----------
    channels : list of 1-D float32 or float64 arrays
        One array per channel, all of the same length.
    rate : int or None
        The sample rate in Hz, for formats that store one (WAV).
    description : str
        One line about the file, such as ``"WAV PCM 16-bit, 1 channel, 48000 Hz"``.
    notes : list of str
        Remarks for the user collected while reading.
    sample_bits : int or None
        The size of one sample as the file stores it, in bits; None for text.
    stored_bytes : int
        The bytes the samples take in the file: every channel's samples for binary formats,
        the whole text for ``.csv``/``.txt``.
    """

    channels: list[Channel]
    rate: int | None = None
    description: str = ""
    notes: list[str] = field(default_factory=list)
    sample_bits: int | None = None
    stored_bytes: int = 0

    @property
    def num_samples(self) -> int:
        """Samples per channel (0 without channels)."""
        return int(self.channels[0].size) if self.channels else 0


def format_of(path: str) -> str | None:
    """The format named by the suffix of a file name.

    Parameters
    ----------
    path : str
        A file name; only its suffix counts, in any letter case.

    Returns
    -------
    str or None
        ``"npy"``, ``"wav"``, ``"csv"`` or ``"f32"``, or None for an unknown suffix.

    Raises
    ------
    Nothing: any string is a file name.

    Examples
    --------
    >>> format_of("take.WAV"), format_of("values.txt"), format_of("notes.md")
    ('wav', 'csv', None)
    """
    return SIGNAL_FORMATS.get(os.path.splitext(path)[1].lower())


def read_signal(
    path: str, *, column: str | int | None = None, channels_first: bool | None = None
) -> Signal:
    """Reads a sample file, choosing the format by the suffix of `path`.

    ``.npy`` holds a 1-D or 2-D array of floats or integers (integers keep their values);
    ``.wav`` PCM 8/16/24/32-bit (scaled to [-1, 1)) or float 32/64-bit samples; ``.csv`` and
    ``.txt`` text with one sample per line in one column (or a chosen `column`), an optional
    header line naming the columns, ``#`` starting a comment line; ``.f32`` and ``.raw``
    little-endian float32 samples.

    Parameters
    ----------
    path : str
        The file to read.
    column : str or int, optional
        The column of a ``.csv``/``.txt`` file with several: its name in the header line or its
        index from 0. Other formats refuse it.
    channels_first : bool, optional
        Whether the rows of a 2-D ``.npy`` array are its channels (True) or its instants
        (False). When not given, the array is read as samples x channels, and refused if that
        would give at least as many channels as samples or channels shorter than
        `MIN_CHANNEL_SAMPLES`. Other inputs ignore it.

    Returns
    -------
    Signal
        The channels, and the sample rate when the file stores one.

    Raises
    ------
    SignalFileError
        The suffix is unknown, the file is damaged or holds samples of another kind, or its
        layout or column must be chosen. The message names the file and, where a choice is
        missing, the ``vantrel`` command's option that makes it (``--channels-first``,
        ``--channels-last``, ``--column``), the keyword argument of the same name here.
    SampleRangeError
        A finite sample lies outside the float32 range (also a ``ValueError``).
    OSError
        The file cannot be opened.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np
    >>> path = os.path.join(tempfile.mkdtemp(), "ramp.csv")
    >>> with open(path, "wb") as f:
    ...     _ = f.write(b"time,volts\\n0,0.5\\n1,1.5\\n")
    >>> signal = read_signal(path, column="volts")
    >>> signal.channels[0], signal.rate
    (array([0.5, 1.5]), None)
    """
    fmt = format_of(path)
    if fmt is None:
        known = ", ".join(sorted(SIGNAL_FORMATS))
        raise SignalFileError(f"{path}: unknown input format (known suffixes: {known})")
    if column is not None and fmt != "csv":
        raise SignalFileError(f"{path}: --column applies to .csv and .txt inputs only")
    if fmt == "npy":
        signal = _read_npy(path, channels_first)
    else:
        with open(path, "rb") as f:
            data = f.read()
        if fmt == "wav":
            signal = _read_wav(data, path)
        elif fmt == "csv":
            signal = _read_csv(data, path, column)
        else:
            signal = _read_f32(data, path)
    _refuse_beyond_float32(signal.channels, path)
    return signal


def encode_signal(
    fmt: str, channels: list[Channel], rate: int = 48000, wav_sample: str = "float32"
) -> bytes:
    """The whole content of a sample file, for the caller to write in one step.

    Parameters
    ----------
    fmt : str
        ``"npy"``, ``"wav"``, ``"csv"`` or ``"f32"`` (see `format_of`).
    channels : list of 1-D arrays
        The channels, at least one, all of one length. Only ``npy`` and ``wav`` hold more than
        one; ``npy`` stores several as a 2-D float32 array of samples x channels.
    rate : int, optional
        The sample rate a WAV file records, in Hz.
    wav_sample : str, optional
        The sample encoding of a WAV file: ``"float32"`` or ``"pcm8"``, ``"pcm16"``,
        ``"pcm24"``, ``"pcm32"`` (full scale [-1, 1), rounded and clipped).

    Returns
    -------
    bytes
        The file.

    Raises
    ------
    SignalFileError
        Several channels for a one-channel format, an unknown `wav_sample`, or a rate or length
        a WAV file cannot store.

    Examples
    --------
    >>> import numpy as np
    >>> data = encode_signal("wav", [np.zeros(10), np.ones(10)], rate=8000, wav_sample="pcm16")
    >>> data[:4], len(data)
    (b'RIFF', 84)
    """
    assert channels and len({c.size for c in channels}) == 1
    if fmt == "npy":
        out = io.BytesIO()
        array = channels[0] if len(channels) == 1 else np.stack(channels, axis=1)
        np.save(out, np.asarray(array, dtype=np.float32), allow_pickle=False)
        return out.getvalue()
    if fmt == "wav":
        return _encode_wav(channels, rate, wav_sample)
    if len(channels) != 1:
        raise SignalFileError(f"a {fmt} file holds one channel, not {len(channels)}")
    samples = np.asarray(channels[0], dtype=np.float32)
    if fmt == "csv":
        # Nine significant digits give back every float32 exactly.
        return "".join(f"{v:.9g}\n" for v in samples.tolist()).encode("ascii")
    assert fmt == "f32"
    return samples.astype("<f4").tobytes()


def _array_samples(array: np.ndarray, path: str) -> np.ndarray:
    """The array in native byte order with an element type the codec takes."""
    kind, size = array.dtype.kind, array.dtype.itemsize
    if kind == "f" and size in (4, 8):
        return array.astype(array.dtype.newbyteorder("="), copy=False)
    if kind in "iu":
        # Integers keep their values: up to 16 bits exactly as float32, wider ones as float64
        # so that the codec rounds them once. Even 2**64 is far inside the float32 range.
        return array.astype(np.float32 if size <= 2 else np.float64)
    raise SignalFileError(
        f"{path}: element type {array.dtype} is not supported "
        "(float32, float64 or an integer type expected)"
    )


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def _array_channels(array: np.ndarray, path: str, channels_first: bool | None) -> list[Channel]:
    samples = _array_samples(array, path)
    if samples.ndim == 1:
        return [np.ascontiguousarray(samples)]
    if samples.ndim != 2:
        raise SignalFileError(
            f"{path}: array of shape {array.shape} is neither 1-D nor 2-D (samples x channels)"
        )
    rows, cols = samples.shape
    if channels_first is None:
        if rows <= cols or rows < MIN_CHANNEL_SAMPLES:
            raise SignalFileError(
                f"{path}: unclear layout of an array of shape {array.shape}: as samples x "
                f"channels it holds {_plural(cols, 'channel')} of {_plural(rows, 'sample')}, "
                f"as channels x samples {_plural(rows, 'channel')} of "
                f"{_plural(cols, 'sample')}; pass --channels-first (rows are channels) or "
                "--channels-last (columns are channels)"
            )
        channels_first = False
    by_channel = samples if channels_first else samples.T
    return [np.ascontiguousarray(c) for c in by_channel]


def _read_npy(path: str, channels_first: bool | None) -> Signal:
    try:
        array = np.load(path, allow_pickle=False)
    except (ValueError, EOFError, pickle.UnpicklingError) as exc:
        raise SignalFileError(f"{path}: not a readable .npy file ({_one_line(exc)})") from None
    if not isinstance(array, np.ndarray):
        array.close()
        raise SignalFileError(f"{path}: holds several arrays, expected one")
    channels = _array_channels(array, path, channels_first)
    description = f"NumPy {array.dtype} array of shape {array.shape}"
    if array.ndim == 2 and channels_first:
        description += ", rows as channels"
    bits = 8 * array.dtype.itemsize
    return Signal(channels, None, description, sample_bits=bits, stored_bytes=array.size * bits // 8)


def _text_cells(line: str, delimiter: str | None) -> list[str]:
    if delimiter is None:
        return line.split()
    return [cell.strip() for cell in next(csv.reader([line], delimiter=delimiter))]


def _is_header(cells: list[str]) -> bool:
    """Whether the first row names the columns: no cell is or starts like a number."""
    for cell in cells:
        if _NUMBER_START.match(cell):
            return False
        try:
            float(cell)
        except ValueError:
            continue
        return False
    return any(cells)


def _column_index(
    column: str | int | None, names: list[str] | None, width: int, path: str, lineno: int
) -> int:
    listing = f" (columns: {', '.join(names)})" if names else ""
    if column is None:
        if width == 1:
            return 0
        raise SignalFileError(
            f"{path}: line {lineno} has {width} columns{listing}; choose one with --column NAME "
            "or --column INDEX (from 0)"
        )
    if isinstance(column, int):
        if 0 <= column < width:
            return column
        raise SignalFileError(
            f"{path}: no column {column}: line {lineno} has {_plural(width, 'column')}, "
            "counted from 0"
        )
    if names is None:
        raise SignalFileError(f"{path}: no header line names the columns; give --column an index")
    if column not in names:
        raise SignalFileError(f"{path}: no column named {column!r}{listing}")
    return names.index(column)


def _read_csv(data: bytes, path: str, column: str | int | None) -> Signal:
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise SignalFileError(f"{path}: not a UTF-8 text file") from None
    values: list[float] = []
    delimiter: str | None = None
    first_row = 0  # the line number of the first row, 0 before it
    width = index = 0
    names: list[str] | None = None
    where = ""  # the chosen column, for messages about a file with several
    gap = 0  # the first blank line after a sample, 0 while there is none
    for lineno, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if stripped.startswith("#"):
            continue
        if not stripped:
            gap = gap or (lineno if values else 0)
            continue
        if not first_row:
            first_row = lineno
            delimiter = next((d for d in _TEXT_DELIMITERS if d in stripped), None)
        try:
            cells = _text_cells(stripped, delimiter)
        except csv.Error as exc:  # a cell beyond the csv module's size limit
            raise SignalFileError(f"{path}: line {lineno}: {_one_line(exc)}") from None
        if lineno == first_row:
            width = len(cells)
            names = cells if _is_header(cells) else None
            index = _column_index(column, names, width, path, lineno)
            if width > 1:
                where = f" in column {names[index] if names else index}"
            if names is not None:
                continue
        elif len(cells) != width:
            raise SignalFileError(
                f"{path}: line {lineno} has {_plural(len(cells), 'column')}, "
                f"line {first_row} has {width}"
            )
        if gap:
            # A blank line between samples is a missing sample; skipping it would shift time.
            raise SignalFileError(f"{path}: line {gap}: empty line between samples")
        cell = cells[index]
        if not cell:
            raise SignalFileError(f"{path}: line {lineno}: empty cell{where}")
        try:
            values.append(float(cell))
        except ValueError:
            raise SignalFileError(
                f"{path}: line {lineno}: {cell!r}{where} is not a number"
            ) from None
    description = "one-column text"
    if width > 1:
        description = f"text column {names[index]!r}" if names else f"text column {index}"
    return Signal([np.array(values, dtype=np.float64)], None, description,
                  stored_bytes=len(data))


def _read_f32(data: bytes, path: str) -> Signal:
    if len(data) % 4:
        raise SignalFileError(
            f"{path}: {len(data)} bytes is not a whole number of float32 samples"
        )
    samples = np.frombuffer(data, dtype="<f4").astype(np.float32)
    return Signal([samples], None, "raw little-endian float32", sample_bits=32,
                  stored_bytes=len(data))


def _read_wav(data: bytes, path: str) -> Signal:
    if len(data) < 12 or data[0:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise SignalFileError(f"{path}: not a RIFF WAVE file")
    fmt_body: bytes | None = None
    payload: bytes | None = None
    pos = 12
    while pos + 8 <= len(data):
        chunk_id = data[pos : pos + 4]
        (size,) = struct.unpack_from("<I", data, pos + 4)
        start = pos + 8
        if chunk_id == b"data":
            end = len(data) if size == _STREAMING_CHUNK_SIZE else start + size
            if end > len(data):
                raise SignalFileError(
                    f"{path}: truncated: the data chunk announces {size} bytes, "
                    f"the file holds {len(data) - start}"
                )
            payload = data[start:end]
        elif chunk_id == b"fmt ":
            fmt_body = data[start : start + size]
        if payload is not None and fmt_body is not None:
            break
        pos = start + size + (size & 1)  # chunks are padded to an even length
    if fmt_body is None or len(fmt_body) < 16:
        raise SignalFileError(f"{path}: WAV file without a valid fmt chunk")
    if payload is None:
        raise SignalFileError(f"{path}: WAV file without a data chunk")
    tag, num_channels, rate, _, block_align, bits = struct.unpack_from("<HHIIHH", fmt_body)
    if tag == _WAVE_FORMAT_EXTENSIBLE and len(fmt_body) >= 26:
        # The sub-format GUID starts with the plain format tag.
        (tag,) = struct.unpack_from("<H", fmt_body, 24)
    if tag == _WAVE_FORMAT_PCM and bits in (8, 16, 24, 32):
        kind = f"PCM {bits}-bit"
    elif tag == _WAVE_FORMAT_IEEE_FLOAT and bits in (32, 64):
        kind = f"float{bits}"
    else:
        raise SignalFileError(
            f"{path}: WAV sample format {tag:#06x} with {bits} bits is not supported "
            "(PCM 8/16/24/32-bit or float 32/64-bit)"
        )
    if num_channels == 0 or block_align != num_channels * (bits // 8):
        raise SignalFileError(
            f"{path}: inconsistent WAV fmt chunk ({num_channels} channels, "
            f"{bits} bits, block size {block_align})"
        )
    frames = len(payload) // block_align  # an incomplete last frame holds no whole sample
    frame_bytes = np.frombuffer(payload, dtype=np.uint8, count=frames * block_align)
    samples = _decode_wav_samples(frame_bytes, tag, bits).reshape(frames, num_channels)
    channels = [np.ascontiguousarray(samples[:, k]) for k in range(num_channels)]
    return Signal(channels, rate, f"WAV {kind}, {_plural(num_channels, 'channel')}, {rate} Hz",
                  sample_bits=bits, stored_bytes=frames * block_align)


def _decode_wav_samples(raw: npt.NDArray[np.uint8], tag: int, bits: int) -> Channel:
    """Samples of a WAV data chunk, interleaved, as floats; PCM maps its full scale to [-1, 1)."""
    if tag == _WAVE_FORMAT_IEEE_FLOAT:
        if bits == 32:
            return raw.view("<f4").astype(np.float32)
        return raw.view("<f8").astype(np.float64)
    if bits == 8:  # 8-bit PCM is unsigned with its zero at 128
        return ((raw.astype(np.float32) - 128.0) / 128.0).astype(np.float32)
    if bits == 16:
        return (raw.view("<i2").astype(np.float32) / 32768.0).astype(np.float32)
    if bits == 24:
        b = raw.reshape(-1, 3).astype(np.int32)
        value = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        value = (value ^ 0x800000) - 0x800000  # sign-extend bit 23
        return (value.astype(np.float32) / 8388608.0).astype(np.float32)
    # 32-bit PCM has more bits than a float32 mantissa: keep them until the codec rounds once.
    return raw.view("<i4").astype(np.float64) / 2147483648.0


def _encode_wav(channels: list[Channel], rate: int, sample_kind: str) -> bytes:
    if sample_kind not in WAV_SAMPLE_KINDS:
        raise SignalFileError(f"unknown WAV sample kind {sample_kind!r}")
    if not 1 <= rate <= 0xFFFFFFFF:
        raise SignalFileError(f"sample rate {rate} does not fit a WAV file")
    interleaved = np.stack([np.asarray(c, dtype=np.float64) for c in channels], axis=1).ravel()
    if sample_kind == "float32":
        tag, bits = _WAVE_FORMAT_IEEE_FLOAT, 32
        body = interleaved.astype("<f4").tobytes()
    else:
        tag, bits = _WAVE_FORMAT_PCM, int(sample_kind[3:])
        full_scale = float(1 << (bits - 1))
        ints = np.clip(np.rint(interleaved * full_scale), -full_scale, full_scale - 1)
        ints = np.nan_to_num(ints, nan=0.0).astype(np.int64)
        if bits == 8:
            body = (ints + 128).astype(np.uint8).tobytes()
        elif bits == 16:
            body = ints.astype("<i2").tobytes()
        elif bits == 24:
            body = ints.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
        else:
            body = ints.astype("<i4").tobytes()
    if len(body) > 0xFFFFFFFF - 64:
        raise SignalFileError("signal too long for a WAV file (over 4 GiB); write .npy instead")
    num_channels = len(channels)
    block_align = num_channels * bits // 8
    frames = int(channels[0].size)
    chunks = []
    if tag == _WAVE_FORMAT_PCM:
        fmt = struct.pack("<HHIIHH", tag, num_channels, rate, rate * block_align, block_align, bits)
        chunks.append(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
    else:
        # Non-PCM formats carry the extension size and a fact chunk with the frame count.
        fmt = struct.pack(
            "<HHIIHHH", tag, num_channels, rate, rate * block_align, block_align, bits, 0
        )
        chunks.append(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        chunks.append(b"fact" + struct.pack("<II", 4, frames & 0xFFFFFFFF))
    pad = b"\0" if len(body) & 1 else b""
    chunks.append(b"data" + struct.pack("<I", len(body)) + body + pad)
    riff_size = 4 + sum(len(c) for c in chunks)
    return b"RIFF" + struct.pack("<I", riff_size) + b"WAVE" + b"".join(chunks)


def _refuse_beyond_float32(channels: list[Channel], path: str) -> None:
    for k, channel in enumerate(channels):
        if channel.dtype != np.float64:
            continue
        with np.errstate(over="ignore"):
            # The codec narrows by rounding to nearest, exactly as this conversion does.
            beyond = np.isinf(channel.astype(np.float32)) & np.isfinite(channel)
        if beyond.any():
            i = int(np.argmax(beyond))
            where = f" channel {k}" if len(channels) > 1 else ""
            raise SampleRangeError(
                f"{path}{where}: sample {i} ({float(channel[i])!r}) is outside the float32 "
                "range; the codec works in 32-bit floats"
            )


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__
