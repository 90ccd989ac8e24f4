"""Sample files in and out: NumPy ``.npy``, one-column ``.csv``/``.txt`` text, raw little-endian
float32 (``.f32``/``.raw``), and through `vantrel_tools.formats` the recording formats: EDF/EDF+
and BDF, WFDB records, audio (WAV, FLAC, OGG) and HDF5 datasets.

Every reader returns a `Signal`: a list of 1-D channels of ``float32`` or ``float64`` samples (the
two element types the codec takes; integer formats come back as physical values) with what the file
says about them. Every writer returns the file's bytes so that the caller can put it in place in
one step.
"""

from __future__ import annotations

import csv
import io
import os
import pickle
import re
from dataclasses import dataclass, field
from typing import Any

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
    ".edf": "edf",
    ".bdf": "bdf",
    ".hea": "wfdb",
    ".flac": "flac",
    ".ogg": "ogg",
    ".h5": "hdf5",
    ".hdf5": "hdf5",
    ".nwb": "hdf5",
}
# Format name -> the suffix a written file gets when only the format is known.
FORMAT_SUFFIX: dict[str, str] = {
    "npy": ".npy", "wav": ".wav", "csv": ".csv", "f32": ".f32", "edf": ".edf", "bdf": ".bdf",
    "wfdb": ".hea", "flac": ".flac", "ogg": ".ogg", "hdf5": ".h5",
}
# Sample encodings a written audio file can use (FLAC: the PCM ones up to 24 bits).
WAV_SAMPLE_KINDS = ("float32", "pcm8", "pcm16", "pcm24", "pcm32")
# Files of these formats name a dataset inside them after a colon: "rec.h5:/group/data".
_DATASET_PATH = re.compile(r"^(.*?\.(?:h5|hdf5|nwb)):(/.*)$", re.IGNORECASE)
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
class ChannelInfo:
    """What a file says about one channel.

    Attributes
    ----------
    label : str
        The channel's name ("" when the file has none).
    rate : float or None
        Its sample rate in Hz.
    unit : str
        The physical unit of its samples ("uV", "mV", ...; "" when unknown).
    physical_range, digital_range : pair of numbers, or None
        For integer formats: the physical values of the lowest and highest integer codes
        (``digital = rint(physical * gain + offset)``, the line through both pairs).
    extra : dict
        Format details a writer of the same format restores (EDF transducer and prefiltering,
        WFDB gain, baseline and sample format), JSON values only.
    """

    label: str = ""
    rate: float | None = None
    unit: str = ""
    physical_range: tuple[float, float] | None = None
    digital_range: tuple[int, int] | None = None
    extra: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class Annotation:
    """A note on the recording's time line: onset and duration in seconds from its start."""

    onset: float
    duration: float | None
    text: str


@dataclass
class Signal:
    """A signal read from a file.

    Attributes
    ----------
    channels : list of 1-D float32 or float64 arrays
        One array per channel. Channels sampled at different rates (EDF, WFDB) have different
        lengths; all others have one.
    rate : int or None
        The sample rate in Hz, for formats that store one rate as an integer (audio).
    description : str
        One line about the file, such as ``"WAV PCM 16-bit, 1 channel, 48000 Hz"``.
    notes : list of str
        Remarks for the user collected while reading.
    sample_bits : int or None
        The size of one sample as the file stores it, in bits; None for text and compressed audio.
    stored_bytes : int
        The bytes the samples take in the file: every channel's samples for binary formats,
        the whole text for ``.csv``/``.txt``, 0 when not known.
    info : list of ChannelInfo
        What the file says about each channel; empty for formats that say nothing.
    start : str or None
        When the recording starts, as ISO 8601 (``"2020-01-02T10:11:12"``).
    annotations : list of Annotation
        Notes on the time line (EDF+), in order.
    source : str
        The format name of the file (see `SIGNAL_FORMATS`).
    attrs : dict
        Format details about the whole file that a writer of the same format restores (EDF
        patient and recording fields, WFDB comments, the HDF5 dataset path), JSON values only.
    """

    channels: list[Channel]
    rate: int | None = None
    description: str = ""
    notes: list[str] = field(default_factory=list)
    sample_bits: int | None = None
    stored_bytes: int = 0
    info: list[ChannelInfo] = field(default_factory=list)
    start: str | None = None
    annotations: list[Annotation] = field(default_factory=list)
    source: str = ""
    attrs: dict[str, Any] = field(default_factory=dict)

    @property
    def num_samples(self) -> int:
        """Samples per channel (0 without channels); of the first channel when they differ."""
        return int(self.channels[0].size) if self.channels else 0

    def channel_info(self, k: int) -> ChannelInfo:
        """What is known of channel `k`; the signal's rate for formats without per-channel
        information."""
        if k < len(self.info):
            return self.info[k]
        return ChannelInfo(rate=float(self.rate) if self.rate is not None else None)

    def channel_name(self, k: int) -> str:
        """How messages name channel `k`: its number and label."""
        label = self.channel_info(k).label
        return f"channel {k} ({label!r})" if label else f"channel {k}"


def split_dataset(path: str) -> tuple[str, str | None]:
    """The file and the dataset of an HDF5 path such as ``"rec.h5:/group/data"``.

    Parameters
    ----------
    path : str
        A file name; one ending in ``.h5``, ``.hdf5`` or ``.nwb`` may name a dataset after a
        colon.

    Returns
    -------
    (str, str or None)
        The file name, and the dataset's path inside it (None when not named).

    Raises
    ------
    Nothing: any string is a file name.

    Examples
    --------
    >>> split_dataset("rec.h5:/eeg/data"), split_dataset("take.wav")
    (('rec.h5', '/eeg/data'), ('take.wav', None))
    """
    match = _DATASET_PATH.match(path)
    return (match.group(1), match.group(2)) if match else (path, None)


def format_of(path: str) -> str | None:
    """The format named by the suffix of a file name.

    Parameters
    ----------
    path : str
        A file name; only its suffix counts, in any letter case. An HDF5 file may name a dataset
        after a colon (``rec.h5:/group/data``).

    Returns
    -------
    str or None
        A format name of `SIGNAL_FORMATS` (``"npy"``, ``"wav"``, ``"edf"``, ``"hdf5"``, ...), or
        None for an unknown suffix.

    Raises
    ------
    Nothing: any string is a file name.

    Examples
    --------
    >>> format_of("take.WAV"), format_of("values.txt"), format_of("rec.h5:/a/b"), format_of("x.md")
    ('wav', 'csv', 'hdf5', None)
    """
    return SIGNAL_FORMATS.get(os.path.splitext(split_dataset(path)[0])[1].lower())


def read_signal(
    path: str,
    *,
    column: str | int | None = None,
    channels_first: bool | None = None,
    dataset: str | None = None,
) -> Signal:
    """Reads a sample file, choosing the format by the suffix of `path`.

    ``.npy`` holds a 1-D or 2-D array of floats or integers (integers keep their values);
    ``.csv`` and ``.txt`` text with one sample per line in one column (or a chosen `column`), an
    optional header line naming the columns, ``#`` starting a comment line; ``.f32`` and ``.raw``
    little-endian float32 samples. The recording formats (see `vantrel_tools.formats`) need
    their library: ``.edf`` and ``.bdf`` (EDF, EDF+, BDF: physical values, per-channel rates,
    labels, units, ranges, start and annotations), ``.hea`` (a WFDB record: physical values),
    ``.wav``, ``.flac`` and ``.ogg`` (PCM scaled to [-1, 1), float as stored) and ``.h5``,
    ``.hdf5``, ``.nwb`` (one dataset, 1-D or 2-D, as ``.npy``).

    Parameters
    ----------
    path : str
        The file to read; an HDF5 file may name its dataset after a colon (``rec.h5:/a/data``).
    column : str or int, optional
        The column of a ``.csv``/``.txt`` file with several: its name in the header line or its
        index from 0. Other formats refuse it.
    channels_first : bool, optional
        Whether the rows of a 2-D ``.npy`` array or HDF5 dataset are its channels (True) or its
        instants (False). When not given, the array is read as samples x channels, and refused if
        that would give at least as many channels as samples or channels shorter than
        `MIN_CHANNEL_SAMPLES`. Other inputs ignore it.
    dataset : str, optional
        The dataset of an HDF5 file, when `path` does not name it; needed only when the file
        holds several.

    Returns
    -------
    Signal
        The channels, and what the file says about them.

    Raises
    ------
    SignalFileError
        The suffix is unknown, the file is damaged or holds samples of another kind, its layout,
        column or dataset must be chosen, or the library of its format is not installed (the
        message names the extra that installs it). The message names the file and, where a
        choice is missing, the ``vantrel`` command's option that makes it (``--channels-first``,
        ``--channels-last``, ``--column``, ``--dataset``), the keyword argument of the same name
        here.
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
    from . import formats

    fmt = format_of(path)
    if fmt is None:
        known = ", ".join(sorted(SIGNAL_FORMATS))
        raise SignalFileError(f"{path}: unknown input format (known suffixes: {known})")
    if column is not None and fmt != "csv":
        raise SignalFileError(f"{path}: --column applies to .csv and .txt inputs only")
    if dataset is not None and fmt != "hdf5":
        raise SignalFileError(f"{path}: --dataset applies to HDF5 inputs only")
    if fmt == "npy":
        signal = _read_npy(path, channels_first)
    elif fmt == "hdf5":
        signal = formats._read_hdf5(path, dataset, channels_first)
    elif fmt in formats.READERS:
        signal = formats.READERS[fmt](path, fmt)
    else:
        with open(path, "rb") as f:
            data = f.read()
        if fmt == "csv":
            signal = _read_csv(data, path, column)
        else:
            signal = _read_f32(data, path)
    signal.source = signal.source or fmt
    _refuse_beyond_float32(signal.channels, path)
    return signal


def encode_signal(
    fmt: str, channels: list[Channel], rate: int = 48000, wav_sample: str = "float32"
) -> bytes:
    """The whole content of a one-file sample file, for the caller to write in one step.

    Parameters
    ----------
    fmt : str
        ``"npy"``, ``"wav"``, ``"csv"`` or ``"f32"``, or the recording formats that are one file:
        ``"edf"``, ``"bdf"``, ``"flac"``, ``"ogg"``, ``"hdf5"`` (see `format_of`). A WFDB record
        is several files: see `vantrel_tools.formats.encode_recording`.
    channels : list of 1-D arrays
        The channels, at least one, all of one length. Only ``csv`` and ``f32`` hold just one;
        ``npy`` stores several as a 2-D float32 array of samples x channels.
    rate : int, optional
        The sample rate the file records, in Hz.
    wav_sample : str, optional
        The sample encoding of an audio file: ``"float32"`` or ``"pcm8"``, ``"pcm16"``,
        ``"pcm24"``, ``"pcm32"`` (full scale [-1, 1), rounded; samples beyond it are clipped).

    Returns
    -------
    bytes
        The file.

    Raises
    ------
    SignalFileError
        Several channels for a one-channel format, channels of different lengths, an unknown
        `wav_sample`, a rate or length the format cannot store, or a missing library.

    Examples
    --------
    >>> import numpy as np
    >>> data = encode_signal("npy", [np.zeros(10), np.ones(10)])
    >>> data[:6], len(data)
    (b'\\x93NUMPY', 208)
    """
    from . import formats

    signal = Signal(list(channels), rate=rate, source=fmt)
    encoded = formats.encode_recording(f"signal{FORMAT_SUFFIX[fmt]}", signal, wav_sample)
    if len(encoded.files) != 1:
        raise SignalFileError(f"a {fmt} record is several files; use formats.encode_recording")
    return next(iter(encoded.files.values()))


def _encode_plain(fmt: str, channels: list[Channel]) -> bytes:
    """The bytes of a ``.npy``, ``.csv`` or ``.f32`` file holding `channels` (all of one length)."""
    if fmt == "npy":
        out = io.BytesIO()
        array = channels[0] if len(channels) == 1 else np.stack(channels, axis=1)
        np.save(out, np.asarray(array, dtype=np.float32), allow_pickle=False)
        return out.getvalue()
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


def _array_signal(array: np.ndarray, path: str, channels_first: bool | None) -> Signal:
    """The channels of a 1-D or 2-D array of numbers (a ``.npy`` file, an HDF5 dataset)."""
    channels = _array_channels(array, path, channels_first)
    description = f"{array.dtype} array of shape {array.shape}"
    if array.ndim == 2 and channels_first:
        description += ", rows as channels"
    bits = 8 * array.dtype.itemsize
    return Signal(channels, None, description, sample_bits=bits, stored_bytes=array.size * bits // 8)


def _read_npy(path: str, channels_first: bool | None) -> Signal:
    try:
        array = np.load(path, allow_pickle=False)
    except (ValueError, EOFError, pickle.UnpicklingError) as exc:
        raise SignalFileError(f"{path}: not a readable .npy file ({_one_line(exc)})") from None
    if not isinstance(array, np.ndarray):
        array.close()
        raise SignalFileError(f"{path}: holds several arrays, expected one")
    signal = _array_signal(array, path, channels_first)
    signal.description = "NumPy " + signal.description
    return signal


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
