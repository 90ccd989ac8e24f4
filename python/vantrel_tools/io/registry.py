"""The format registry: one `Format` row per recording or sample format, registered by the module
that reads and writes it, and the entry points that dispatch on a file's suffix.

Each row names its suffixes (the first is the one a written file gets), the optional library it
needs with the extra that installs it, its reader and its writer. ``read_signal`` and
``encode_recording`` look the row up by suffix; nothing else knows the formats.
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterator
from dataclasses import dataclass

from .arrays import refuse_beyond_float32, refuse_empty
from .blocks import DEFAULT_BLOCK_SAMPLES, BlockReader, BlockWriter
from .extras import register_extra
from .types import Channel, Encoded, Signal, SignalFileError


@dataclass(frozen=True)
class ReadRequest:
    """The choices a caller may make about reading a file (see `read_signal`)."""

    column: str | int | None = None
    channels_first: bool | None = None
    dataset: str | None = None
    # The extensions of a WFDB record's annotation files to read ("atr", ...); None reads every
    # standard one that exists beside the record.
    annotators: tuple[str, ...] | None = None


# (path, format name, request) -> the signal; (path, signal, format name, sample kind) -> files.
Reader = Callable[[str, str, ReadRequest], Signal]
Writer = Callable[[str, Signal, str, str | None], Encoded]


@dataclass(frozen=True)
class Format:
    """One format: its name (``Signal.source``), suffixes, library and the functions to call."""

    name: str
    suffixes: tuple[str, ...]
    read: Reader
    write: Writer
    library: str | None = None  # imported when the format is used
    extra: str = ""  # the extra that installs `library`
    what: str = ""  # what needs it, as its message says: "EDF and BDF files"
    # The ReadRequest fields it reads; a column or dataset asked of another format is refused, a
    # layout is ignored.
    takes: frozenset[str] = frozenset()


# (path, format name, request, samples per block) -> the reader; (path, header, format name,
# sample kind) -> the writer.
BlockOpener = Callable[[str, str, ReadRequest, int], BlockReader]
BlockWriterOpener = Callable[[str, Signal, str, str | None], BlockWriter]


@dataclass(frozen=True)
class BlockFormat:
    """How a format is read and written block by block (see `open_blocks`)."""

    name: str
    open_reader: BlockOpener
    open_writer: BlockWriterOpener


FORMATS: dict[str, Format] = {}
BLOCK_FORMATS: dict[str, BlockFormat] = {}
# File-name suffix -> format name. The format of a file is always taken from its suffix.
SIGNAL_FORMATS: dict[str, str] = {}
# Format name -> the suffix a written file gets when only the format is known.
FORMAT_SUFFIX: dict[str, str] = {}

# What a request for an option a format does not take says.
_NOT_TAKEN = {
    "column": "--column applies to .csv and .txt inputs only",
    "dataset": "--dataset applies to HDF5 inputs only",
    "annotators": "annotation files apply to WFDB records (.hea) only",
}
# Files of these formats name a dataset inside them after a colon: "rec.h5:/group/data".
_DATASET_PATH = re.compile(r"^(.*?\.(?:h5|hdf5|nwb)):(/.*)$", re.IGNORECASE)


def register_format(row: Format) -> None:
    """Adds a format to the registry: `read_signal` and `encode_recording` reach it by suffix.

    A format's module ends with this call, so that importing the module registers the format.

    Parameters
    ----------
    row : Format
        The format; its name and suffixes must be new.

    Returns
    -------
    None

    Raises
    ------
    ValueError
        The name or a suffix is registered already.

    Examples
    --------
    >>> register_format(FORMATS["npy"])
    Traceback (most recent call last):
    ...
    ValueError: format 'npy' or its suffixes ['.npy'] are registered already
    """
    taken = [suffix for suffix in row.suffixes if suffix in SIGNAL_FORMATS]
    if row.name in FORMATS or taken:
        raise ValueError(f"format {row.name!r} or its suffixes {taken} are registered already")
    FORMATS[row.name] = row
    SIGNAL_FORMATS.update(dict.fromkeys(row.suffixes, row.name))
    FORMAT_SUFFIX[row.name] = row.suffixes[0]
    if row.library is not None:
        register_extra(row.library, row.extra, row.what)


def register_blocks(row: BlockFormat) -> None:
    """Adds the block reader and writer of a registered format: `open_blocks` and
    `open_block_writer` reach them by suffix. A format's block module ends with this call.

    Parameters
    ----------
    row : BlockFormat
        The format's name (registered with `register_format` first) and its two openers.

    Returns
    -------
    None

    Raises
    ------
    ValueError
        The format is not registered, or has its block reader already.

    Examples
    --------
    >>> register_blocks(BLOCK_FORMATS["wav"])
    Traceback (most recent call last):
    ...
    ValueError: format 'wav' is not registered or has its blocks already
    """
    if row.name not in FORMATS or row.name in BLOCK_FORMATS:
        raise ValueError(f"format {row.name!r} is not registered or has its blocks already")
    BLOCK_FORMATS[row.name] = row


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
    annotators: tuple[str, ...] | None = None,
) -> Signal:
    """Reads a sample file, choosing the format by the suffix of `path`.

    ``.npy`` holds a 1-D or 2-D array of floats or integers (integers keep their values);
    ``.csv`` and ``.txt`` text with one sample per line in one column (or a chosen `column`), an
    optional header line naming the columns, ``#`` starting a comment line; ``.f32`` and ``.raw``
    little-endian float32 samples. The recording formats need their library: ``.edf`` and
    ``.bdf`` (EDF, EDF+, BDF: physical values, per-channel rates, labels, units, ranges, start
    and annotations), ``.hea`` (a WFDB record: physical values; its annotation files in ``attrs``),
    ``.wav``, ``.flac`` and ``.ogg``/``.oga`` (PCM scaled to [-1, 1), float as stored) and ``.h5``,
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
        ``io.arrays.MIN_CHANNEL_SAMPLES``. Other inputs ignore it.
    dataset : str, optional
        The dataset of an HDF5 file, when `path` does not name it; needed only when the file
        holds several.
    annotators : tuple of str, optional
        The extensions of a WFDB record's annotation files to read (``("atr",)``); each must
        exist. By default every standard extension the wfdb package lists whose file lies
        beside the record. Other formats refuse it.

    Returns
    -------
    Signal
        The channels, and what the file says about them.

    Raises
    ------
    SignalFileError
        The suffix is unknown, the file is damaged, empty or holds samples of another kind, its
        layout, column or dataset must be chosen, or the library of its format is not installed (the
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
    fmt = format_of(path)
    if fmt is None:
        known = ", ".join(sorted(SIGNAL_FORMATS))
        raise SignalFileError(f"{path}: unknown input format (known suffixes: {known})")
    row = FORMATS[fmt]
    request = ReadRequest(column, channels_first, dataset,
                          None if annotators is None else tuple(annotators))
    for option, text in _NOT_TAKEN.items():
        if getattr(request, option) is not None and option not in row.takes:
            raise SignalFileError(f"{path}: {text}")
    signal = row.read(path, fmt, request)
    refuse_empty(signal, [c.size for c in signal.channels], path)
    signal.source = signal.source or fmt
    signal.file_bytes = signal.file_bytes or os.path.getsize(split_dataset(path)[0])
    refuse_beyond_float32(signal.channels, path)
    return signal


def _block_format(path: str) -> BlockFormat:
    fmt = format_of(path)
    if fmt is None or fmt not in BLOCK_FORMATS:
        known = ", ".join(sorted(s for s, f in SIGNAL_FORMATS.items() if f in BLOCK_FORMATS))
        raise SignalFileError(f"{path}: not a format read and written block by block "
                              f"(suffixes: {known})")
    return BLOCK_FORMATS[fmt]


def open_blocks(path: str, samples_per_block: int = DEFAULT_BLOCK_SAMPLES, *,
                dataset: str | None = None, channels_first: bool | None = None,
                annotators: tuple[str, ...] | None = None) -> BlockReader:
    """Opens a recording to read block by block: EDF/BDF, WFDB, audio and HDF5.

    Parameters
    ----------
    path : str
        The file; its suffix chooses the format, as for `read_signal`.
    samples_per_block : int, optional
        The most samples of the fastest channel a block holds; a block holds at least one data
        record of an EDF file or one frame of a WFDB record.
    dataset, channels_first, annotators : optional
        As for `read_signal` (HDF5; WFDB).

    Returns
    -------
    BlockReader
        Its ``header`` (a `Signal` of empty channels with everything `read_signal` says of
        the file) and ``lengths``, known at once; iterating yields the blocks, one array per
        channel, which concatenated equal the channels of `read_signal`.

    Raises
    ------
    SignalFileError
        As `read_signal`, and for a format not read by blocks.
    ValueError
        `samples_per_block` below 1.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np
    >>> path = os.path.join(tempfile.mkdtemp(), "x.wav")
    >>> with open(path, "wb") as f:
    ...     _ = f.write(encode_signal("wav", [np.zeros(1000, np.float32)], 8000))
    >>> with open_blocks(path, 400) as blocks:
    ...     [len(b[0]) for b in blocks]
    [400, 400, 200]
    """
    row = _block_format(path)
    request = ReadRequest(None, channels_first, dataset,
                          None if annotators is None else tuple(annotators))
    for option, text in _NOT_TAKEN.items():
        if getattr(request, option) is not None and option not in FORMATS[row.name].takes:
            raise SignalFileError(f"{path}: {text}")
    if samples_per_block < 1:
        raise ValueError(f"samples per block must be at least 1, not {samples_per_block}")
    reader = row.open_reader(path, row.name, request, samples_per_block)
    if reader.lengths is not None:
        try:
            refuse_empty(reader.header, reader.lengths, path)
        except SignalFileError:
            reader.close()
            raise
    return reader


def read_blocks(path: str, samples_per_block: int = DEFAULT_BLOCK_SAMPLES,
                **request: object) -> Iterator[list[Channel]]:
    """The blocks of a recording, the file closed after the last (see `open_blocks`).

    Parameters
    ----------
    path : str
        The file, of a format `open_blocks` reads.
    samples_per_block : int, optional
        The most samples of the fastest channel a block holds.
    **request
        ``dataset``, ``channels_first``, ``annotators``, as for `open_blocks`.

    Returns
    -------
    iterator of list of 1-D arrays
        One array per channel and block.

    Raises
    ------
    SignalFileError, ValueError
        As `open_blocks`, when the first block is asked for.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np
    >>> path = os.path.join(tempfile.mkdtemp(), "x.h5")
    >>> with open(path, "wb") as f:
    ...     _ = f.write(encode_signal("hdf5", [np.arange(5, dtype=np.float32)]))
    >>> [b[0].tolist() for b in read_blocks(path, 2)]
    [[0.0, 1.0], [2.0, 3.0], [4.0]]
    """
    with open_blocks(path, samples_per_block, **request) as reader:  # type: ignore[arg-type]
        yield from reader


def open_block_writer(path: str, header: Signal, sample: str | None = None) -> BlockWriter:
    """Opens a recording to write block by block, as `encode_recording` would write it whole.

    Parameters
    ----------
    path : str
        The file to write (the suffix chooses the format).
    header : Signal
        What is known of the channels: one (empty) array per channel, the channel infos and the
        recording's metadata. Integer formats need each channel's physical range, or the
        grid its samples lie on, before its samples: a writer of a whole signal takes it from
        the samples instead.
    sample : str, optional
        The sample encoding of an audio file, as for `encode_recording`.

    Returns
    -------
    BlockWriter
        ``write(block)`` appends one array per channel; ``close()`` puts the file in place
        and returns the notes; ``abort()`` or an error in a ``with`` block leaves nothing.

    Raises
    ------
    SignalFileError
        A format that cannot hold the header's channels, or is not written by blocks.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np
    >>> path = os.path.join(tempfile.mkdtemp(), "x.h5")
    >>> header = Signal([np.empty(0, np.float32)], rate=100)
    >>> with open_block_writer(path, header) as out:
    ...     out.write([np.arange(3, dtype=np.float32)])
    >>> read_signal(path).channels[0]
    array([0., 1., 2.], dtype=float32)
    """
    row = _block_format(path)
    return row.open_writer(path, header, row.name, sample)


def encode_signal(
    fmt: str, channels: list[Channel], rate: int = 48000, wav_sample: str = "float32"
) -> bytes:
    """The whole content of a one-file sample file, for the caller to write in one step.

    Parameters
    ----------
    fmt : str
        ``"npy"``, ``"wav"``, ``"csv"`` or ``"f32"``, or the recording formats that are one file:
        ``"edf"``, ``"bdf"``, ``"flac"``, ``"ogg"``, ``"hdf5"`` (see `format_of`). A WFDB record
        is several files: see `encode_recording`.
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
    signal = Signal(list(channels), rate=rate, source=fmt)
    encoded = encode_recording(f"signal{FORMAT_SUFFIX[fmt]}", signal, wav_sample)
    if len(encoded.files) != 1:
        raise SignalFileError(f"a {fmt} record is several files; use formats.encode_recording")
    return next(iter(encoded.files.values()))


def encode_recording(path: str, signal: Signal, sample: str | None = None) -> Encoded:
    """The files that hold `signal` as the format of `path`'s suffix, with what the format can
    keep of its metadata.

    Parameters
    ----------
    path : str
        The file to write (its suffix chooses the format; ``.hea`` writes a WFDB record, whose
        signal files go beside it; an HDF5 path may name its dataset, ``out.h5:/a/data``).
    signal : Signal
        The channels and what is known of them. Channels of different rates need EDF, BDF or
        WFDB; every other format takes channels of one length.
    sample : str, optional
        The sample encoding of an audio file (one of ``io.audio.WAV_SAMPLE_KINDS``); by default
        the one the signal came in, else float32 (WAV) or pcm16 (FLAC).

    Returns
    -------
    Encoded
        Path -> bytes of every file, and notes for the user (samples clipped to a digital range,
        gaps written as a code).

    Raises
    ------
    SignalFileError
        A format that cannot hold the signal (the message says why), or a missing library.

    Examples
    --------
    >>> import numpy as np
    >>> from vantrel_tools.io import Signal
    >>> encoded = encode_recording("two.npy", Signal([np.zeros(4), np.ones(4)]))
    >>> list(encoded.files), encoded.notes
    (['two.npy'], [])
    """
    fmt = format_of(path)
    if fmt is None:
        raise SignalFileError(f"{path}: cannot write this format")
    if not signal.channels:
        raise SignalFileError(f"{path}: no channel to write")
    return FORMATS[fmt].write(path, signal, fmt, sample)
