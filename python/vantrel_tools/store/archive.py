"""Multi-channel archives: a recording's channels and what is known of them, in a Zarr 3 store.

A directory ``NAME.zarr`` or a single zip file (``NAME.vtrl.zip``, any ``.zip``) holds one group
whose arrays ``ch0``, ``ch1``, ... are the channels, in order. A channel is one chunk, or for a
long one (format 3) chunks of a fixed number of samples (`store.timeline`), each a container
coded by the vantrel serializer (`vantrel_tools.zarr3_codec.VantrelCodec`), so any Zarr 3 reader
with the vantrel codec installed opens it. Attributes keep the metadata, JSON only:

- the group's ``"vantrel"``: ``format`` (3 when a channel has several chunks, else 2; 1 before
  the metadata checksum), ``channels`` (their
  count), ``source`` (the format the recording came in, e.g. ``"edf"``), ``description``,
  ``start`` (ISO 8601 or null), ``rate`` (the file's one sample rate, or null), ``annotations``
  (``[onset s, duration s or null, text]``), ``attrs`` (format details about the whole file: EDF
  patient and recording fields, WFDB comments, the HDF5 dataset path) and ``metadata_crc32c``
  (see ``store.layout``);
- each array's: ``label``, ``sample_rate`` (Hz), ``unit``, ``physical_range`` and
  ``digital_range`` (integer formats: the physical values of the lowest and highest codes) and
  ``extra`` (format details of the channel), each only when known.

Reading trusts nothing it has not checked: the metadata's types and checksum, the channel count
against the arrays present, each array's codec (the vantrel serializer alone), and every chunk's
presence, header and size against the array, all before anything is decoded or allocated.
"""

from __future__ import annotations

import json
import os
import zipfile
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..core.codec import encode
from ..core.options import Coding
from ..io.extras import register_extra, require
from ..io.types import ChannelInfo, SampleGrid, Signal
from .layout import (
    ARCHIVE_VERSION,
    ATTRS_KEY,
    CHECKSUM_KEY,
    FIRST_CHECKSUMMED,
    channel_key,
    metadata_checksum,
)
from .reader import CheckedArchive
from .timeline import DEFAULT_CHUNK, checked_chunk, chunk_codings, split_channel

ARCHIVE_SUFFIXES = (".zarr", ".zip")
register_extra("zarr", "zarr", "archives")


def is_archive(path: str) -> bool:
    """Whether `path` names an archive.

    Parameters
    ----------
    path : str
        A path; only its suffix counts (a trailing separator is ignored).

    Returns
    -------
    bool
        True for a ``.zarr`` directory or a ``.zip`` file, in any letter case.

    Raises
    ------
    Nothing: any string is a path.

    Examples
    --------
    >>> is_archive("rec.zarr/"), is_archive("rec.vtrl.zip"), is_archive("rec.edf")
    (True, True, False)
    """
    return path.rstrip("/" + os.sep).lower().endswith(ARCHIVE_SUFFIXES)


def _is_zip(path: str) -> bool:
    return path.lower().endswith(".zip")


@dataclass
class Archive:
    """An archive as read: the recording, the stored size of each channel's containers, the
    codec configuration of the arrays and each channel's chunks (samples each, count)."""

    signal: Signal
    container_bytes: list[int]
    codec: dict[str, Any]
    chunks: list[tuple[int, int]]


def _channel_attrs(info: ChannelInfo) -> dict[str, Any]:
    attrs: dict[str, Any] = {"label": info.label, "unit": info.unit}
    if info.rate is not None:
        attrs["sample_rate"] = info.rate
    if info.physical_range is not None and info.digital_range is not None:
        attrs["physical_range"] = list(info.physical_range)
        attrs["digital_range"] = list(info.digital_range)
    if info.extra:
        attrs["extra"] = info.extra
    return attrs



def archive_metadata(signal: Signal, coding: Coding, chunks: list[int]) -> dict[str, bytes]:
    """Every ``zarr.json`` of an archive, by key, as zarr writes them, the group's with its
    metadata checksum.

    Parameters
    ----------
    signal : Signal
        The recording; of its channels only the lengths are used.
    coding : Options or Targeted
        The arrays' serializer configuration.
    chunks : list of int
        Each channel's chunk length: its own length (at least 1) for one chunk.

    Returns
    -------
    dict of str to bytes

    Raises
    ------
    SignalFileError
        zarr is not installed.

    Examples
    --------
    >>> import numpy as np
    >>> from vantrel_tools.core.options import Options
    >>> sorted(archive_metadata(Signal([np.zeros(10)]), Options(), [10]))
    ['ch0/zarr.json', 'zarr.json']
    """
    zarr = require("zarr", "archive")
    from zarr.storage import MemoryStore

    from .zarr3 import VantrelCodec

    codec = VantrelCodec(**coding.config())
    chunked = any(c < n for c, n in zip(chunks, (x.size for x in signal.channels), strict=True))
    group_attrs = {
        "format": ARCHIVE_VERSION if chunked else FIRST_CHECKSUMMED, "channels": len(signal.channels), "source": signal.source,
        "description": signal.description, "start": signal.start, "rate": signal.rate,
        "annotations": [[a.onset, a.duration, a.text] for a in signal.annotations],
        "attrs": signal.attrs,
    }
    written: dict[str, Any] = {}
    root = zarr.create_group(store=MemoryStore(written), zarr_format=3,
                             attributes={ATTRS_KEY: group_attrs})
    for k, samples in enumerate(signal.channels):
        root.create_array(channel_key(k), shape=(samples.size,), chunks=(chunks[k],),
                          dtype="float32",
                          serializer=codec, compressors=None, fill_value=float("nan"),
                          attributes=_channel_attrs(signal.channel_info(k)))
    docs = {key: json.loads(value.to_bytes()) for key, value in written.items()}
    group = docs.pop("zarr.json")
    arrays = [docs[f"{channel_key(k)}/zarr.json"] for k in range(len(signal.channels))]
    group["attributes"][ATTRS_KEY][CHECKSUM_KEY] = metadata_checksum(group, arrays)
    out = {"zarr.json": json.dumps(group, indent=2).encode()}
    for k, doc in enumerate(arrays):
        out[f"{channel_key(k)}/zarr.json"] = json.dumps(doc, indent=2).encode()
    return out


def write_archive(path: str, signal: Signal,
                  containers: Sequence[bytes | None | Sequence[bytes]] | None, coding: Coding,
                  chunk: int = DEFAULT_CHUNK) -> None:
    """Writes `signal` as a new archive at `path`.

    Parameters
    ----------
    path : str
        An empty or missing directory (a directory store), or a zip file that does not exist
        (a name ending in ``.zip``).
    signal : Signal
        The recording: channels and what is known of them.
    containers : list, or None
        The channels already coded, in order, as `vantrel_tools.compress` codes them (with a
        trailer, as the serializer stores a chunk): for each, one container of the whole
        channel, None for an empty channel, or the list of the containers of the chunks that
        `store.timeline.split_channel` makes of it with `chunk`. None: coded here as `coding`
        says, chunk by chunk, a quality target holding on each channel's grid.
    coding : Options or Targeted
        How they were coded; it becomes the arrays' serializer configuration, used if the arrays
        are written again.
    chunk : int, optional
        The samples per chunk of the channels given as lists of several containers.

    Returns
    -------
    None

    Raises
    ------
    SignalFileError
        zarr is not installed.
    OSError
        The store cannot be written.

    Examples
    --------
    >>> import os, tempfile, numpy as np, vantrel_tools
    >>> from vantrel_tools.core.options import Options
    >>> from vantrel_tools.io import ChannelInfo, Signal
    >>> x = np.sin(np.arange(1000) / 50.0)
    >>> path = os.path.join(tempfile.mkdtemp(), "rec.zarr")
    >>> write_archive(path, Signal([x], info=[ChannelInfo("Fz", 250.0, "uV")]),
    ...               [vantrel_tools.compress(x)], Options())
    >>> back = read_archive(path).signal
    >>> back.info[0].label, back.info[0].rate, bool(np.abs(back.channels[0] - x).max() < 1e-2)
    ('Fz', 250.0, True)
    """
    chunk = checked_chunk(chunk)
    if containers is None:
        containers = [_coded(samples, coding, chunk, signal.channel_info(k).grid)
                      for k, samples in enumerate(signal.channels)]
    parts = [[] if c is None else [c] if isinstance(c, bytes) else list(c) for c in containers]
    if len(parts) != len(signal.channels):
        raise ValueError(f"{len(signal.channels)} channels but {len(parts)} containers")
    shapes = []
    for k, (samples, chunks) in enumerate(zip(signal.channels, parts, strict=True)):
        n = int(samples.size)
        expected = 0 if n == 0 else 1 if n <= chunk else -(-n // chunk)
        if len(chunks) not in (expected, min(expected, 1)):
            raise ValueError(f"channel {k}: {len(chunks)} containers for {expected} chunks")
        shapes.append(chunk if len(chunks) > 1 else max(n, 1))
    files = archive_metadata(signal, coding, shapes)
    # Every chunk is written, whatever it holds: none is left to the fill value.
    for k, chunks in enumerate(parts):
        for j, container in enumerate(chunks):
            files[f"{channel_key(k)}/c/{j}"] = container
    # Channel by channel: each array's metadata, then its chunk, the group's metadata first.
    if _is_zip(path):
        with zipfile.ZipFile(path, "x", zipfile.ZIP_STORED) as z:
            for key, data in files.items():
                z.writestr(key, data)
        return
    for key, data in files.items():
        target = os.path.join(path, *key.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "xb") as f:
            f.write(data)


def _coded(samples: np.ndarray[Any, Any], coding: Coding, chunk: int,
           grid: SampleGrid | None) -> list[bytes] | None:
    """The containers of one channel's chunks, coded as `coding` says on the channel's grid."""
    if not samples.size:
        return None
    parts = split_channel(samples, chunk)
    codings = chunk_codings(samples, coding, chunk)
    return [encode(part, c, grid=grid) for part, c in zip(parts, codings, strict=True)]


def read_archive(path: str, decode: bool = True,
                 on_channel: Callable[[int], None] | None = None) -> Archive:
    """Reads an archive written by `write_archive`.

    Parameters
    ----------
    path : str
        The directory store or zip file.
    decode : bool, optional
        False leaves the channels undecoded (read-only arrays of the right lengths holding
        zeros, taking no memory), each chunk checked against its trailer's checksum only:
        enough to list them with their sizes.
    on_channel : callable, optional
        Called with the count of a channel's samples once it is decoded.

    Returns
    -------
    Archive
        The recording with its metadata, each channel's container size, the codec configuration
        of the arrays and their chunks.

    Raises
    ------
    FileNotFoundError
        Nothing at `path`.
    SignalFileError
        Not an archive of this kind, or a damaged one: metadata of the wrong type or changed
        since it was written, a channel array missing or extra, a chunk missing, of another
        length or damaged. The message names the archive and the channel.

    Examples
    --------
    See `write_archive`.
    """
    require("zarr", path)  # a Zarr store, though reading it goes through no zarr code
    with CheckedArchive(path) as archive:
        arrays = archive.arrays
        sizes = [[archive.chunk_size(k, j) for j in range(meta.chunk_count)]
                 for k, meta in enumerate(arrays)]
        channels: list[np.ndarray[Any, Any]] = []
        for k, meta in enumerate(arrays):
            if decode:
                channels.append(archive.samples(k, 0, meta.samples))
                if on_channel is not None:
                    on_channel(meta.samples)
                continue
            for j in range(meta.chunk_count):
                archive.chunk(k, j, decode=False)
            channels.append(np.broadcast_to(np.float32(0), (meta.samples,)))
    codec = arrays[0].codec if arrays else {}
    signal = _recording(archive, channels)
    return Archive(signal, [sum(s) for s in sizes], dict(codec.get("configuration", {})),
                   [(meta.chunk, meta.chunk_count) for meta in arrays])


def _recording(archive: CheckedArchive, channels: list[np.ndarray[Any, Any]]) -> Signal:
    group = archive.group
    return Signal(
        channels, group.rate, f"archive of {group.description or group.source}",
        info=[meta.info for meta in archive.arrays], start=group.start,
        annotations=group.annotations, source=group.source, attrs=dict(group.attrs))


class ArchiveBlocks:
    """An archive read block by block, each block one time span of every channel, decoding each
    chunk once: memory holds about one chunk per channel, whatever the channels' length.

    Attributes
    ----------
    header : Signal
        The recording as `read_archive` gives it, its channels empty float32 arrays.
    lengths : list of int
        Each channel's samples.

    Examples
    --------
    >>> import os, tempfile, numpy as np
    >>> from vantrel_tools.core.options import Options
    >>> from vantrel_tools.io import Signal
    >>> path = os.path.join(tempfile.mkdtemp(), "rec.zarr")
    >>> write_archive(path, Signal([np.zeros(100), np.ones(50)]), None, Options(), chunk=32)
    >>> with ArchiveBlocks(path, 40) as blocks:
    ...     [[c.size for c in block] for block in blocks]
    [[40, 20], [40, 20], [20, 10]]
    """

    def __init__(self, path: str, samples_per_block: int = DEFAULT_CHUNK) -> None:
        require("zarr", path)
        self._archive = CheckedArchive(path)
        self.lengths = [meta.samples for meta in self._archive.arrays]
        self.header = _recording(self._archive,
                                 [np.empty(0, np.float32) for _ in self.lengths])
        self._span = max(1, samples_per_block)

    def __iter__(self) -> Iterator[list[np.ndarray[Any, np.dtype[np.float32]]]]:
        """The blocks: `samples_per_block` of the longest channel, the others' samples in
        proportion to their lengths (their rates)."""
        longest = max(self.lengths, default=0)
        cached: dict[int, tuple[int, np.ndarray[Any, Any]]] = {}  # channel -> its last chunk
        for lo in range(0, longest, self._span):
            hi = min(lo + self._span, longest)
            yield [self._window(k, lo * n // longest, hi * n // longest, cached)
                   for k, n in enumerate(self.lengths)]

    def _window(self, k: int, start: int, stop: int,
                cached: dict[int, tuple[int, np.ndarray[Any, Any]]]
                ) -> np.ndarray[Any, np.dtype[np.float32]]:
        meta = self._archive.arrays[k]
        out = np.empty(stop - start, np.float32)
        at = start
        while at < stop:
            j = at // meta.chunk
            if k not in cached or cached[k][0] != j:
                chunk = self._archive.chunk(k, j)
                assert chunk is not None
                # Held as the float32 the blocks are made of (a float64 chunk, on a grid, at
                # half its bytes), rounded as copying it into a block would round it.
                cached[k] = (j, chunk.astype(np.float32, copy=False))
            hi = min(stop, (j + 1) * meta.chunk)
            out[at - start:hi - start] = cached[k][1][at - j * meta.chunk:hi - j * meta.chunk]
            at = hi
        return out

    def samples(self, k: int, start: int, stop: int) -> np.ndarray[Any, np.dtype[np.float32]]:
        """Samples `start` to `stop` (0 <= start <= stop <= its length) of channel `k`, decoding
        only the chunks they lie in."""
        return self._archive.samples(k, start, stop)

    def close(self) -> None:
        self._archive.close()

    def __enter__(self) -> ArchiveBlocks:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def read_channel(path: str, k: int, start: int = 0,
                 stop: int | None = None) -> np.ndarray[Any, np.dtype[np.float32]]:
    """Samples `start` to `stop` of channel `k` of an archive, decoding only the chunks they
    lie in (a window of a long channel reads a small part of it).

    Parameters
    ----------
    path : str
        The directory store or zip file.
    k : int
        The channel, from 0.
    start, stop : int, optional
        The window, as a slice of the channel (the whole channel by default); clipped to it.

    Returns
    -------
    numpy.ndarray
        float32 samples, NaN where the channel had gaps.

    Raises
    ------
    IndexError
        No channel `k`.
    FileNotFoundError, SignalFileError
        As for `read_archive`, for the metadata and the chunks read.

    Examples
    --------
    >>> import os, tempfile, numpy as np, vantrel_tools
    >>> from vantrel_tools.core.options import Options
    >>> from vantrel_tools.io import Signal
    >>> from vantrel_tools.store.timeline import split_channel
    >>> x = np.sin(np.arange(10_000) / 50.0)
    >>> chunks = [vantrel_tools.compress(c) for c in split_channel(x, 4096)]
    >>> path = os.path.join(tempfile.mkdtemp(), "rec.zarr")
    >>> write_archive(path, Signal([x]), [chunks], Options(), chunk=4096)
    >>> window = read_channel(path, 0, 5000, 5100)
    >>> window.shape, bool(np.abs(window - x[5000:5100]).max() < 1e-2)
    ((100,), True)
    """
    with CheckedArchive(path) as archive:
        if not 0 <= k < len(archive.arrays):
            raise IndexError(f"{path}: has no channel {k} ({len(archive.arrays)} channels)")
        n = archive.arrays[k].samples
        lo, hi, _ = slice(start, stop).indices(n)
        return archive.samples(k, lo, max(lo, hi))
