"""HDF5 datasets through h5py: one 1-D or 2-D dataset (named after a colon, ``rec.h5:/a/data``,
or the only numeric one), its rate, labels and unit from common attributes (NWB's too); written
back with its dtype, layout and attributes."""

from __future__ import annotations

import io
import math
import os
from typing import Any

import numpy as np

from .arrays import array_signal, one_line
from .digital import channel_lengths_agree, one_rate, to_digital
from .extras import require
from .registry import Format, ReadRequest, register_format, split_dataset
from .types import ChannelInfo, Encoded, Signal, SignalFileError

# Attributes of a dataset that give its sample rate, in the order looked for.
_RATE_ATTRS = ("sample_rate", "sampling_rate", "rate", "fs")
_DEFAULT_DATASET = "/signal"


def _json_value(value: Any) -> Any:
    """An HDF5 attribute as a JSON value, or None when it has none."""
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.ndarray):
        return [_json_value(v) for v in value.tolist()] if value.ndim else _json_value(value[()])
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value if isinstance(value, (str, int, float, bool, list)) else None


def _datasets(group: Any) -> list[str]:
    found: list[str] = []
    group.visititems(lambda name, obj: found.append("/" + name)
                     if hasattr(obj, "dtype") and obj.ndim in (1, 2)
                     and obj.dtype.kind in "iuf" else None)
    return found


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
        if dataset is None:
            found = _datasets(f)
            if len(found) != 1:
                listing = ", ".join(found[:8]) + (", ..." if len(found) > 8 else "")
                raise SignalFileError(
                    f"{file_name}: holds {len(found)} numeric datasets ({listing or 'none'}); "
                    f"name one as {file_name}:/group/name or with --dataset")
            dataset = found[0]
        node = f.get(dataset)
        if node is None or not hasattr(node, "dtype"):
            raise SignalFileError(f"{file_name}: no dataset {dataset}")
        array = node[()]
        attrs = {k: _json_value(v) for k, v in node.attrs.items()}
        parent = node.parent
        # An NWB time series keeps its rate on the dataset "starting_time" beside "data".
        if "starting_time" in parent and "rate" in parent["starting_time"].attrs:
            attrs.setdefault("rate", _json_value(parent["starting_time"].attrs["rate"]))
    if not isinstance(array, np.ndarray):
        raise SignalFileError(f"{file_name}: dataset {dataset} is a single value")
    signal = array_signal(array, f"{file_name}:{dataset}", channels_first)
    rate = next((float(attrs[k]) for k in _RATE_ATTRS
                 if isinstance(attrs.get(k), (int, float)) and attrs[k] > 0), None)
    labels = attrs.get("labels")
    labels = labels if isinstance(labels, list) and len(labels) == len(signal.channels) else None
    unit = attrs.get("unit", attrs.get("units"))
    signal.info = [ChannelInfo(label=str(labels[k]) if labels else "", rate=rate,
                               unit=unit if isinstance(unit, str) else "")
                   for k in range(len(signal.channels))]
    if rate is not None and rate == int(rate):
        signal.rate = int(rate)
    signal.description = f"HDF5 dataset {dataset}: {signal.description}"
    signal.source = "hdf5"
    signal.attrs = {"dataset": dataset, "dtype": str(array.dtype),
                    "channels_first": array.ndim == 2 and bool(channels_first),
                    "attrs": {k: v for k, v in attrs.items() if v is not None}}
    return signal


def _encode_hdf5(path: str, signal: Signal, fmt: str, sample: str | None) -> Encoded:
    file_name, dataset = split_dataset(path)
    h5py = require("h5py", file_name)
    channel_lengths_agree(signal, file_name)
    same = signal.source == "hdf5"
    dataset = dataset or (signal.attrs.get("dataset") if same else None) or _DEFAULT_DATASET
    notes: list[str] = []
    dtype = np.dtype(signal.attrs.get("dtype", "float32") if same else "float32")
    columns: list[np.ndarray] = []
    for k, c in enumerate(signal.channels):
        if dtype.kind in "iu":
            bounds = (int(np.iinfo(dtype).min), int(np.iinfo(dtype).max))
            columns.append(to_digital(c, 1.0, 0.0, bounds, 0, signal.channel_name(k), notes))
        else:
            columns.append(np.asarray(c, dtype=dtype if dtype.kind == "f" else np.float32))
    if len(columns) == 1:
        data = columns[0]
    else:
        first = same and signal.attrs.get("channels_first")
        data = np.stack(columns, axis=0 if first else 1)
    attrs = dict(signal.attrs.get("attrs", {})) if same else {}
    if not same:
        rate = one_rate(signal, file_name) if signal.info else signal.rate
        if rate is not None:
            attrs["sample_rate"] = rate
        labels = [signal.channel_info(k).label for k in range(len(columns))]
        if any(labels):
            attrs["labels"] = labels
    out = io.BytesIO()
    with h5py.File(out, "w") as f:
        node = f.create_dataset(dataset, data=data.astype(dtype, copy=False))
        for key, value in attrs.items():
            node.attrs[key] = value
    return Encoded({file_name: out.getvalue()}, notes)


register_format(Format("hdf5", (".h5", ".hdf5", ".nwb"), _read_hdf5, _encode_hdf5,
                       library="h5py", extra="hdf5", what="HDF5 files",
                       takes=frozenset({"dataset", "channels_first"})))
