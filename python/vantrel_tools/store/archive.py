"""Multi-channel archives: a recording's channels and what is known of them, in a Zarr 3 store.

A directory ``NAME.zarr`` or a single zip file (``NAME.vtrl.zip``, any ``.zip``) holds one group
whose arrays ``ch0``, ``ch1``, ... are the channels, in order. Each array is one chunk, the whole
channel, coded by the vantrel serializer (`vantrel_tools.zarr3_codec.VantrelCodec`), so any Zarr 3
reader with the vantrel codec installed opens it. Attributes keep the metadata, JSON only:

- the group's ``"vantrel"``: ``format`` (2; 1 before the metadata checksum), ``channels`` (their
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
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..core.container import HEADER_SIZE, ContainerError, parse_header
from ..core.gaps import RUN_DTYPE
from ..core.options import Coding
from ..core.trailer import read_trailer
from ..io.extras import register_extra, require
from ..io.types import ChannelInfo, Signal, SignalFileError
from .chunks import decode_container
from .layout import (
    ARCHIVE_VERSION,
    ATTRS_KEY,
    CHECKSUM_KEY,
    ArrayMeta,
    channel_key,
    channel_nodes,
    checked_array,
    checked_group,
    metadata_checksum,
    parse_document,
    MAX_DOCUMENT_BYTES,
)
from .members import ArchiveFiles

ARCHIVE_SUFFIXES = (".zarr", ".zip")
# The most a container of n samples takes: header, a payload of at most this many bytes per
# sample plus a fixed amount, and a trailer with a gap run for every other sample.
_PAYLOAD_BYTES_PER_SAMPLE = 8
_PAYLOAD_FIXED_BYTES = 4096

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


def _container_limit(samples: int) -> int:
    """The most bytes a container of `samples` samples, trailer included, can take."""
    runs = (samples + 1) // 2
    return (HEADER_SIZE + _PAYLOAD_FIXED_BYTES + _PAYLOAD_BYTES_PER_SAMPLE * samples
            + 64 + runs * RUN_DTYPE.itemsize)


@dataclass
class Archive:
    """An archive as read: the recording, and the stored size of each channel's container."""

    signal: Signal
    container_bytes: list[int]
    codec: dict[str, Any]


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



def _metadata(signal: Signal, coding: Coding) -> dict[str, bytes]:
    """Every ``zarr.json`` of the archive, as zarr writes them, the group's with its checksum."""
    zarr = require("zarr", "archive")
    from zarr.storage import MemoryStore

    from .zarr3 import VantrelCodec

    codec = VantrelCodec(**coding.config())
    group_attrs = {
        "format": ARCHIVE_VERSION, "channels": len(signal.channels), "source": signal.source,
        "description": signal.description, "start": signal.start, "rate": signal.rate,
        "annotations": [[a.onset, a.duration, a.text] for a in signal.annotations],
        "attrs": signal.attrs,
    }
    written: dict[str, Any] = {}
    root = zarr.create_group(store=MemoryStore(written), zarr_format=3,
                             attributes={ATTRS_KEY: group_attrs})
    for k, samples in enumerate(signal.channels):
        n = int(samples.size)
        root.create_array(channel_key(k), shape=(n,), chunks=(max(n, 1),), dtype="float32",
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


def write_archive(path: str, signal: Signal, containers: Sequence[bytes | None],
                  coding: Coding) -> None:
    """Writes `signal` as a new archive at `path`.

    Parameters
    ----------
    path : str
        An empty or missing directory (a directory store), or a zip file that does not exist
        (a name ending in ``.zip``).
    signal : Signal
        The recording: channels and what is known of them.
    containers : list of bytes or None
        The channels already coded, in order, as `vantrel_tools.compress` codes them (with a
        trailer, as the serializer stores a chunk); None for an empty channel.
    coding : Options or Targeted
        How they were coded; it becomes the arrays' serializer configuration, used if the arrays
        are written again.

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
    files = _metadata(signal, coding)
    for k, container in enumerate(containers):
        if container is not None:
            files[f"{channel_key(k)}/c/0"] = container
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


def _document(files: ArchiveFiles, key: str) -> dict[str, Any]:
    size = files.size(key)
    if size is None:
        raise SignalFileError(f"{files.path}: {key} is missing: not a vantrel archive")
    if size > MAX_DOCUMENT_BYTES:
        raise SignalFileError(f"{files.path}: {key} declares {size} bytes, more than metadata "
                              f"takes ({MAX_DOCUMENT_BYTES})")
    return parse_document(files.path, key, files.read(key, size))


def _channel_name(k: int, info: ChannelInfo) -> str:
    return f"channel {k} ({info.label!r})" if info.label else f"channel {k}"


def _checked_chunk(files: ArchiveFiles, k: int, meta: ArrayMeta, j: int) -> int:
    """The size of chunk `j` of channel `k`, checked against the array before it is read."""
    key = meta.chunk_key(k, j)
    where = f"{files.path}: {_channel_name(k, meta.info)}: chunk {key}"
    size = files.size(key)
    if size is None:
        raise SignalFileError(f"{where} is missing")
    samples = meta.chunk_samples(j)
    try:
        header = parse_header(files.read(key, HEADER_SIZE))
    except ContainerError as exc:
        raise SignalFileError(f"{where}: {exc}") from None
    if header.sample_count != samples:
        raise SignalFileError(f"{where} holds {header.sample_count} samples, the array "
                              f"declares {samples}")
    if size > _container_limit(samples):
        raise SignalFileError(f"{where} declares {size} bytes, more than a container of "
                              f"{samples} samples takes")
    return size


def _decoded_chunk(files: ArchiveFiles, k: int, meta: ArrayMeta, j: int, size: int,
                   decode: bool = True) -> np.ndarray[Any, np.dtype[np.float32]] | None:
    """Chunk `j` of channel `k` decoded; with `decode` False only its trailer checked."""
    key = meta.chunk_key(k, j)
    where = f"{files.path}: {_channel_name(k, meta.info)}: chunk {key}"
    data = files.read(key, size)
    if len(data) != size:
        raise SignalFileError(f"{where} holds {len(data)} bytes, not the {size} listed")
    try:
        if not decode:
            read_trailer(data)
            return None
        samples = decode_container(data)
    except (ValueError, ContainerError) as exc:
        raise SignalFileError(f"{where}: {exc}") from None
    if samples.size != meta.chunk_samples(j):
        raise SignalFileError(f"{where} decodes to {samples.size} samples, its header says "
                              f"{meta.chunk_samples(j)}")
    return samples


def _checked_arrays(files: ArchiveFiles, group_doc: dict[str, Any]) -> tuple[Any, list[ArrayMeta]]:
    path = files.path
    group = checked_group(path, group_doc)
    extra = sorted(channel_nodes(files.keys()) - set(range(group.channels)))
    if extra:
        raise SignalFileError(f"{path}: holds array {channel_key(extra[0])} but its attributes "
                              f"say {group.channels} channels")
    docs = [_document(files, f"{channel_key(k)}/zarr.json") for k in range(group.channels)]
    if group.checksum is not None and metadata_checksum(group_doc, docs) != group.checksum:
        raise SignalFileError(f"{path}: metadata checksum mismatch: a zarr.json is damaged or "
                              "was changed")
    arrays = [checked_array(path, k, doc, group.version) for k, doc in enumerate(docs)]
    for k, meta in enumerate(arrays):
        prefix = f"{channel_key(k)}/{meta.chunk_prefix}"
        stored = [key for key in files.keys() if key.startswith(prefix)]
        if len(stored) > meta.chunk_count:
            raise SignalFileError(f"{path}: {_channel_name(k, meta.info)}: holds "
                                  f"{len(stored)} chunks, its shape {meta.chunk_count}")
    return group, arrays


def read_archive(path: str, decode: bool = True) -> Archive:
    """Reads an archive written by `write_archive`.

    Parameters
    ----------
    path : str
        The directory store or zip file.
    decode : bool, optional
        False leaves the channels undecoded (read-only arrays of the right lengths holding
        zeros, taking no memory), each chunk checked against its trailer's checksum only:
        enough to list them with their sizes.

    Returns
    -------
    Archive
        The recording with its metadata, each channel's container size and the codec
        configuration of the arrays.

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
    with ArchiveFiles(path) as files:
        group_doc = _document(files, "zarr.json")
        group, arrays = _checked_arrays(files, group_doc)
        sizes = [[_checked_chunk(files, k, meta, j) for j in range(meta.chunk_count)]
                 for k, meta in enumerate(arrays)]
        channels: list[np.ndarray[Any, Any]] = []
        for k, meta in enumerate(arrays):
            if not decode:
                for j, size in enumerate(sizes[k]):
                    _decoded_chunk(files, k, meta, j, size, decode=False)
                channels.append(np.broadcast_to(np.float32(0), (meta.samples,)))
                continue
            out = np.empty(meta.samples, dtype=np.float32)
            for j, size in enumerate(sizes[k]):
                chunk = _decoded_chunk(files, k, meta, j, size)
                assert chunk is not None
                start = j * meta.chunk
                out[start:start + meta.chunk] = chunk[:meta.samples - start]
            channels.append(out)
    codec = arrays[0].codec if arrays else {}
    signal = Signal(
        channels, group.rate, f"archive of {group.description or group.source}",
        info=[meta.info for meta in arrays], start=group.start, annotations=group.annotations,
        source=group.source, attrs=dict(group.attrs))
    return Archive(signal, [sum(s) for s in sizes], dict(codec.get("configuration", {})))
