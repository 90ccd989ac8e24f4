"""Multi-channel archives: a recording's channels and what is known of them, in a Zarr 3 store.

A directory ``NAME.zarr`` or a single zip file (``NAME.vtrl.zip``, any ``.zip``) holds one group
whose arrays ``ch0``, ``ch1``, ... are the channels, in order. Each array is one chunk, the whole
channel, coded by the vantrel serializer (`vantrel_tools.zarr3_codec.VantrelCodec`), so any Zarr 3
reader with the vantrel codec installed opens it. Attributes keep the metadata, JSON only:

- the group's ``"vantrel"``: ``format`` (1), ``channels`` (their count), ``source`` (the format
  the recording came in, e.g. ``"edf"``), ``description``, ``start`` (ISO 8601 or null), ``rate``
  (the file's one sample rate, or null), ``annotations`` (``[onset s, duration s or null,
  text]``) and ``attrs`` (format details about the whole file: EDF patient and recording fields,
  WFDB comments, the HDF5 dataset path);
- each array's: ``label``, ``sample_rate`` (Hz), ``unit``, ``physical_range`` and
  ``digital_range`` (integer formats: the physical values of the lowest and highest codes) and
  ``extra`` (format details of the channel), each only when known.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..core.codec import encode
from ..core.options import Coding
from ..io.extras import register_extra, require
from ..io.types import Annotation, ChannelInfo, Signal, SignalFileError

ATTRS_KEY = "vantrel"
ARCHIVE_VERSION = 1
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


def _channel_key(k: int) -> str:
    return f"ch{k}"


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


def _open_store(path: str, mode: str) -> Any:
    require("zarr", path)
    from zarr.storage import LocalStore, ZipStore

    if _is_zip(path):
        return ZipStore(path, mode="r") if mode == "r" else ZipStore(path, mode="w")
    return LocalStore(path, read_only=mode == "r")


def write_archive(path: str, signal: Signal, containers: Sequence[bytes | None] | None,
                  coding: Coding) -> None:
    """Writes `signal` as a new archive at `path`.

    Parameters
    ----------
    path : str
        An empty or missing directory (a directory store), or a zip file that does not exist
        (a name ending in ``.zip``).
    signal : Signal
        The recording: channels and what is known of them.
    containers : list of bytes or None, or None
        The channels already coded, in order, as `vantrel_tools.compress` codes them (with a
        trailer, as the serializer stores a chunk); None for an empty channel. None: coded here
        as `coding` says, a quality target holding on each channel's grid.
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
    zarr = require("zarr", path)
    from zarr.core.buffer import default_buffer_prototype
    from zarr.core.sync import sync

    from .zarr3 import VantrelCodec

    codec = VantrelCodec(**coding.config())
    if containers is None:
        containers = [encode(c, coding, grid=signal.channel_info(k).grid) if c.size else None
                      for k, c in enumerate(signal.channels)]
    group_attrs = {
        "format": ARCHIVE_VERSION, "channels": len(signal.channels), "source": signal.source,
        "description": signal.description, "start": signal.start, "rate": signal.rate,
        "annotations": [[a.onset, a.duration, a.text] for a in signal.annotations],
        "attrs": signal.attrs,
    }
    store = _open_store(path, "w")
    try:
        root = zarr.create_group(store=store, zarr_format=3, attributes={ATTRS_KEY: group_attrs})
        buffer = default_buffer_prototype().buffer
        for k, (samples, container) in enumerate(zip(signal.channels, containers, strict=True)):
            n = int(samples.size)
            array = root.create_array(
                _channel_key(k), shape=(n,), chunks=(max(n, 1),), dtype="float32",
                serializer=codec, compressors=None, fill_value=float("nan"),
                attributes=_channel_attrs(signal.channel_info(k)))
            if container is not None:
                key = f"{_channel_key(k)}/{array.metadata.encode_chunk_key((0,))}"
                sync(store.set(key, buffer.from_bytes(container)))
    finally:
        store.close()


def read_archive(path: str, decode: bool = True) -> Archive:
    """Reads an archive written by `write_archive`.

    Parameters
    ----------
    path : str
        The directory store or zip file.
    decode : bool, optional
        False leaves the channels undecoded (arrays of the right lengths with undefined values):
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
        Not an archive of this kind, or zarr not installed.
    vantrel_tools.DamagedContainerError
        A channel's container is damaged (a ``ValueError``).

    Examples
    --------
    See `write_archive`.
    """
    zarr = require("zarr", path)
    from zarr.core.buffer import default_buffer_prototype
    from zarr.core.sync import sync

    if not os.path.exists(path):
        raise FileNotFoundError(2, "No such file or directory", path)
    try:
        store = _open_store(path, "r")
    except (OSError, ValueError) as exc:
        raise SignalFileError(f"{path}: not a readable archive ({exc})") from None
    try:
        try:
            root = zarr.open_group(store=store, mode="r", zarr_format=3)
            meta = root.attrs[ATTRS_KEY]
            count = int(meta["channels"])
            arrays = [root[_channel_key(k)] for k in range(count)]
        except Exception as exc:  # zarr's own errors for a missing or foreign node or store
            raise SignalFileError(f"{path}: not a vantrel archive ({type(exc).__name__}: "
                                  f"{exc})") from None
        channels, info, sizes = [], [], []
        for k, array in enumerate(arrays):
            a = dict(array.attrs)
            ranges = a.get("physical_range"), a.get("digital_range")
            info.append(ChannelInfo(
                label=str(a.get("label", "")), rate=a.get("sample_rate"),
                unit=str(a.get("unit", "")),
                physical_range=tuple(ranges[0]) if ranges[0] and ranges[1] else None,
                digital_range=tuple(ranges[1]) if ranges[0] and ranges[1] else None,
                extra=dict(a.get("extra", {}))))
            key = f"{_channel_key(k)}/{array.metadata.encode_chunk_key((0,))}"
            stored = sync(store.get(key, default_buffer_prototype()))
            sizes.append(0 if stored is None else len(stored.to_bytes()))
            if decode:
                channels.append(np.asarray(array[:], dtype=np.float32))
            else:
                channels.append(np.empty(array.shape, dtype=np.float32))
        codec = arrays[0].metadata.codecs[0].to_dict() if arrays else {}
    finally:
        store.close()
    annotations = [Annotation(float(onset), None if duration is None else float(duration),
                              str(text)) for onset, duration, text in meta.get("annotations", [])]
    signal = Signal(
        channels, meta.get("rate"), f"archive of {meta.get('description') or meta.get('source')}",
        info=info, start=meta.get("start"), annotations=annotations,
        source=str(meta.get("source", "")), attrs=dict(meta.get("attrs", {})))
    return Archive(signal, sizes, codec.get("configuration", {}))
