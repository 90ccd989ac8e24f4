"""HDF5 datasets through h5py: one 1-D or 2-D dataset (named after a colon, ``rec.h5:/a/data``,
or the only numeric one), its rate, labels and unit from common attributes (NWB's too); written
back with its dtype, layout and attributes."""

from __future__ import annotations

import datetime
import io
import math
import os
from typing import Any

import numpy as np

from .arrays import array_signal, one_line
from .digital import bad_field, channel_lengths_agree, check_rate, one_rate, parse_start, to_codes
from .extras import require
from .registry import Format, ReadRequest, register_format, split_dataset
from .types import ChannelInfo, Encoded, SampleGrid, Signal, SignalFileError

# Attributes of a dataset that give its sample rate, in the order looked for.
_RATE_ATTRS = ("sample_rate", "sampling_rate", "rate", "fs")
DEFAULT_DATASET = "/signal"


def json_value(value: Any) -> Any:
    """An HDF5 attribute as a JSON value, or None when it has none."""
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.ndarray):
        return [json_value(v) for v in value.tolist()] if value.ndim else json_value(value[()])
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value if isinstance(value, (str, int, float, bool, list)) else None


def numeric_datasets(group: Any) -> list[str]:
    found: list[str] = []
    group.visititems(lambda name, obj: found.append("/" + name)
                     if hasattr(obj, "dtype") and obj.ndim in (1, 2)
                     and obj.dtype.kind in "iuf" else None)
    return found


def check_dataset(node: Any, file_name: str, dataset: str) -> None:
    """Refuses a dataset that holds no signal, or that declares more samples than the file
    holds: its shape and type are checked, and the storage HDF5 allocated for it (every chunk
    written, or the whole contiguous block) against its size, before anything is read."""
    where = f"{file_name}: dataset {dataset}"
    if node.ndim not in (1, 2):
        shape = "a single value" if node.ndim == 0 else f"of shape {node.shape}"
        raise SignalFileError(f"{where} is {shape}; a signal is 1-D, or 2-D with channels")
    kind, size = node.dtype.kind, node.dtype.itemsize
    if not (kind == "f" and size in (4, 8) or kind in "iu"):
        raise SignalFileError(f"{where} holds {node.dtype} elements (float32, float64 or an "
                              "integer type expected)")
    if node.is_virtual or node.external:
        raise SignalFileError(f"{where} keeps its samples in other files; copy it into "
                              "this file first")
    declared = int(np.prod(node.shape, dtype=object)) * size
    if declared == 0:
        return
    if node.chunks is None:
        stored = node.id.get_storage_size()
        if stored < declared and node.compression is None:
            raise SignalFileError(f"{where}: truncated or never written: {declared} bytes "
                                  f"declared, {stored} stored")
        return
    chunks = 1
    for length, chunk in zip(node.shape, node.chunks, strict=True):
        chunks *= -(-length // chunk)
    written = node.id.get_num_chunks()
    if written < chunks:
        raise SignalFileError(f"{where}: {chunks - written} of its {chunks} chunks are never "
                              "written; they would read as its fill value, not as samples")


def check_chunk_index(node: Any, file_name: str, dataset: str) -> None:
    """Refuses a chunked dataset whose index points outside the file, or (without filters) at
    chunks of another size than its chunk shape: HDF5 reads such a chunk into a buffer it
    leaves partly unwritten, and the samples would be whatever memory held."""
    if node.chunks is None:
        return
    size = node.file.id.get_filesize()
    filtered = node.id.get_create_plist().get_nfilters() > 0
    chunk_bytes = int(np.prod(node.chunks, dtype=np.int64)) * node.dtype.itemsize
    for i in range(node.id.get_num_chunks()):
        chunk = node.id.get_chunk_info(i)
        end = chunk.byte_offset + chunk.size
        if (chunk.size == 0 or chunk.byte_offset <= 0 or end > size
                or not filtered and chunk.size != chunk_bytes):
            raise SignalFileError(
                f"{file_name}: dataset {dataset}: chunk {i} at {chunk.chunk_offset} is damaged "
                f"({chunk.size} bytes at offset {chunk.byte_offset} of a {size}-byte file; a "
                f"chunk holds {chunk_bytes})")


def rate_attr(attrs: Any, where: str) -> float | None:
    """The sample rate of the first rate attribute present; an attribute that gives no rate is
    refused."""
    for name in _RATE_ATTRS:
        if name in attrs:
            value = attrs[name]
            try:
                rate = float(np.asarray(value).reshape(-1)[0])
            except (TypeError, ValueError, IndexError):
                raise bad_field(where, "", f"attribute {name}", value, "is not a number"
                                ) from None
            return check_rate(where, "", f"attribute {name}", rate)
    return None


def nwb_start(f: Any, offset: float | None) -> str | None:
    """NWB's session start plus a time series' starting time, as ISO 8601."""
    if "session_start_time" not in f:
        return None
    value = json_value(f["session_start_time"][()])
    start = parse_start(value) if isinstance(value, str) else None
    if start is None:
        return None
    return (start + datetime.timedelta(seconds=offset or 0.0)).isoformat()


def chosen_dataset(f: Any, file_name: str, dataset: str | None) -> tuple[str, Any]:
    """The dataset named, or the file's one numeric dataset, checked before it is read: its
    path and node."""
    if dataset is None:
        found = numeric_datasets(f)
        if len(found) != 1:
            listing = ", ".join(found[:8]) + (", ..." if len(found) > 8 else "")
            raise SignalFileError(
                f"{file_name}: holds {len(found)} numeric datasets ({listing or 'none'}"
                f"); name one as {file_name}:/group/name or with --dataset")
        dataset = found[0]
    node = f.get(dataset)
    if node is None or not hasattr(node, "dtype"):
        raise SignalFileError(f"{file_name}: no dataset {dataset}")
    check_dataset(node, file_name, dataset)
    check_chunk_index(node, file_name, dataset)
    return dataset, node


def dataset_timing(f: Any, node: Any,
                   where: str) -> tuple[float | None, dict[str, Any], str | None]:
    """A dataset's sample rate, attributes (JSON values) and start: an NWB time series keeps
    its rate and its offset from the session's start on the dataset "starting_time" beside
    "data"."""
    rate = rate_attr(node.attrs, where)
    attrs = {k: json_value(v) for k, v in node.attrs.items()}
    parent = node.parent
    start = None
    if "starting_time" in parent and hasattr(parent["starting_time"], "dtype"):
        timing = parent["starting_time"]
        rate = rate if "rate" not in timing.attrs else rate_attr(timing.attrs, where)
        offset = json_value(timing[()]) if timing.ndim == 0 else None
        if isinstance(offset, (int, float)):
            attrs.setdefault("starting_time", offset)
        start = nwb_start(f, offset if isinstance(offset, (int, float)) else None)
    return rate, attrs, start


def _read_hdf5(path: str, fmt: str, request: ReadRequest) -> Signal:
    dataset, channels_first = request.dataset, request.channels_first
    file_name, named = split_dataset(path)
    h5py = require("h5py", file_name)
    dataset = dataset or named
    try:
        f = h5py.File(file_name, "r")
    except OSError as exc:
        if not os.path.exists(file_name):
            raise
        raise SignalFileError(f"{file_name}: not a readable HDF5 file ({one_line(exc)})"
                              ) from None
    with f:
        try:
            dataset, node = chosen_dataset(f, file_name, dataset)
            array = node[()]
            storage = int(node.id.get_storage_size())
            rate, attrs, start = dataset_timing(f, node, f"{file_name}:{dataset}")
        except SignalFileError:
            raise
        except Exception as exc:  # h5py's own, on a damaged file
            raise SignalFileError(f"{file_name}: not a readable HDF5 file "
                                  f"({type(exc).__name__}: {one_line(exc)})") from None
    signal = array_signal(array, f"{file_name}:{dataset}", channels_first)
    labels = attrs.get("labels")
    labels = labels if isinstance(labels, list) and len(labels) == len(signal.channels) else None
    unit = attrs.get("unit", attrs.get("units"))
    grid = ({"physical_range": int_range(array.dtype), "digital_range": int_range(array.dtype)}
            if array.dtype.kind in "iu" else {})
    signal.info = [ChannelInfo(label=str(labels[k]) if labels else "", rate=rate,
                               unit=unit if isinstance(unit, str) else "", **grid)
                   for k in range(len(signal.channels))]
    if rate is not None and rate == int(rate):
        signal.rate = int(rate)
    signal.description = f"HDF5 dataset {dataset}: {signal.description}"
    signal.file_bytes = storage
    signal.source = "hdf5"
    signal.start = start
    signal.attrs = {"dataset": dataset, "dtype": str(array.dtype),
                    "channels_first": array.ndim == 2 and bool(channels_first),
                    "attrs": {k: v for k, v in attrs.items() if v is not None}}
    return signal


def int_range(dtype: np.dtype) -> Any:
    info = np.iinfo(dtype)
    return (int(info.min), int(info.max))


def _existing_file(file_name: str) -> bytes:
    """The bytes of the HDF5 file a named dataset goes into (none when there is no file)."""
    try:
        with open(file_name, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def _encode_hdf5(path: str, signal: Signal, fmt: str, sample: str | None) -> Encoded:
    file_name, dataset = split_dataset(path)
    h5py = require("h5py", file_name)
    if file_name.lower().endswith(".nwb"):
        raise SignalFileError(
            f"{file_name}: a single dataset is not an NWB file (pynwb would refuse it); keep "
            "the source .nwb and compress its datasets in place with the HDF5 filter "
            "(vantrel_tools.hdf5.Vantrel, see the README), or write .h5")
    channel_lengths_agree(signal, file_name)
    named = dataset is not None
    same = signal.source == "hdf5"
    dataset = dataset or (signal.attrs.get("dataset") if same else None) or DEFAULT_DATASET
    notes: list[str] = []
    dtype = np.dtype(signal.attrs.get("dtype", "float32") if same else "float32")
    columns: list[np.ndarray] = []
    for k, c in enumerate(signal.channels):
        if dtype.kind in "iu":
            lo, hi = int_range(dtype)
            columns.append(to_codes(c, SampleGrid(1.0, 0.0, lo, hi), 0, signal.channel_name(k),
                                    notes))
        else:
            columns.append(np.asarray(c, dtype=dtype if dtype.kind == "f" else np.float32))
    if len(columns) == 1:
        data = columns[0]
    else:
        first = same and signal.attrs.get("channels_first")
        data = np.stack(columns, axis=0 if first else 1)
    attrs = dict(signal.attrs.get("attrs", {})) if same else {}
    attrs.pop("starting_time", None)  # NWB keeps it on a dataset of its own
    if not same:
        rate = one_rate(signal, file_name) if signal.info else signal.rate
        if rate is not None:
            attrs["sample_rate"] = rate
        labels = [signal.channel_info(k).label for k in range(len(columns))]
        if any(labels):
            attrs["labels"] = labels
    # A dataset named in an existing file replaces that dataset only: the file is changed in a
    # copy, which the caller puts in place in one step.
    out = io.BytesIO(_existing_file(file_name) if named else b"")
    try:
        with h5py.File(out, "r+" if out.getbuffer().nbytes else "w") as f:
            old = f.get(dataset)
            if old is not None and not hasattr(old, "dtype"):
                raise SignalFileError(f"{file_name}: {dataset} is a group, not a dataset; name "
                                      "a dataset to replace")
            if old is not None:
                del f[dataset]
            node = f.create_dataset(dataset, data=data.astype(dtype, copy=False))
            for key, value in attrs.items():
                node.attrs[key] = value
    except SignalFileError:
        raise
    except (OSError, ValueError, TypeError, KeyError) as exc:
        raise SignalFileError(f"{file_name}: cannot write {dataset} into it "
                              f"({one_line(exc)})") from None
    return Encoded({file_name: out.getvalue()}, notes)


register_format(Format("hdf5", (".h5", ".hdf5", ".nwb"), _read_hdf5, _encode_hdf5,
                       library="h5py", extra="hdf5", what="HDF5 files",
                       takes=frozenset({"dataset", "channels_first"})))
