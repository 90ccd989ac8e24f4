"""HDF5 datasets block by block through h5py: slices of the dataset read as `read_signal` reads
it whole; written into a chunked dataset that grows with every block, its dtype, layout and
attributes those `encode_recording` gives."""

from __future__ import annotations

import io
import os
import shutil
from collections.abc import Sequence
from typing import Any

import numpy as np

from .arrays import MIN_CHANNEL_SAMPLES, array_samples, array_signal, one_line
from .blocks import BlockReader, BlockWriter
from .digital import to_codes
from .extras import require
from .hdf5 import DEFAULT_DATASET, chosen_dataset, dataset_timing, int_range
from .registry import BlockFormat, ReadRequest, encode_recording, register_blocks, split_dataset
from .types import Channel, ChannelInfo, SampleGrid, Signal, SignalFileError

# Rows of a written dataset's chunks: 2**16 samples of each channel.
_CHUNK_ROWS = 1 << 16


class Hdf5Blocks(BlockReader):
    def __init__(self, path: str, fmt: str, request: ReadRequest, samples: int) -> None:
        file_name, named = split_dataset(path)
        h5py = require("h5py", file_name)
        try:
            self._file = h5py.File(file_name, "r")
        except OSError as exc:
            if not os.path.exists(file_name):
                raise
            raise SignalFileError(f"{file_name}: not a readable HDF5 file ({one_line(exc)})"
                                  ) from None
        try:
            header, node = _header(self._file, file_name, request.dataset or named,
                                   request.channels_first)
        except BaseException:
            self._file.close()
            raise
        self._node = node
        self._rows_are_channels = node.ndim == 2 and bool(request.channels_first)
        self._length = node.shape[1 if self._rows_are_channels else 0]
        self._per_block = samples
        self._at = 0
        super().__init__(file_name, header, [self._length] * len(header.channels))

    def next_block(self) -> list[Channel] | None:
        block = self.next_stored()
        return None if block is None else [self.physical(k, c) for k, c in enumerate(block)]

    def physical(self, k: int, stored: np.ndarray) -> Channel:
        return array_samples(stored, self.path)

    def next_stored(self) -> list[np.ndarray] | None:
        if self._at >= self._length or not self._file.id.valid:
            self.close()
            return None
        stop = min(self._length, self._at + self._per_block)
        try:
            if self._node.ndim == 1:
                part = self._node[self._at:stop]
            elif self._rows_are_channels:
                part = self._node[:, self._at:stop]
            else:
                part = self._node[self._at:stop].T
        except Exception as exc:  # h5py's own, on a damaged file
            raise SignalFileError(f"{self.path}: not a readable HDF5 file "
                                  f"({type(exc).__name__}: {one_line(exc)})") from None
        self._at = stop
        raw = np.asarray(part)
        # Integers wait as they are stored (a quarter of float64's bytes for 16 bits), in
        # native byte order; any other type as the samples it gives.
        samples = (raw.astype(raw.dtype.newbyteorder("="), copy=False) if raw.dtype.kind in "iu"
                   else array_samples(raw, self.path))
        rows = [samples] if samples.ndim == 1 else list(samples)
        return [np.ascontiguousarray(r) for r in rows]

    def close(self) -> None:
        if self._file.id.valid:
            self._file.close()


def _header(f: Any, file_name: str, dataset: str | None,
            channels_first: bool | None) -> tuple[Signal, Any]:
    """What `read_signal` says of the dataset, from its shape and attributes; and the dataset."""
    try:
        dataset, node = chosen_dataset(f, file_name, dataset)
        where = f"{file_name}:{dataset}"
        rate, attrs, start = dataset_timing(f, node, where)
    except SignalFileError:
        raise
    except Exception as exc:  # h5py's own, on a damaged file
        raise SignalFileError(f"{file_name}: not a readable HDF5 file "
                              f"({type(exc).__name__}: {one_line(exc)})") from None
    # The whole reader's layout decision; a shape it refuses is refused with its message,
    # shown a view of the shape that holds one sample.
    shape, dtype = node.shape, node.dtype
    kind = array_samples(np.zeros(0, dtype), where).dtype
    if node.ndim == 1:
        count = 1
    else:
        if channels_first is None and (shape[0] <= shape[1] or shape[0] < MIN_CHANNEL_SAMPLES):
            array_signal(np.broadcast_to(np.zeros(1, dtype), shape), where, None)
        count = shape[0] if channels_first else shape[1]
    description = f"{dtype} array of shape {shape}"
    if node.ndim == 2 and channels_first:
        description += ", rows as channels"
    bits = 8 * dtype.itemsize
    labels = attrs.get("labels")
    labels = labels if isinstance(labels, list) and len(labels) == count else None
    unit = attrs.get("unit", attrs.get("units"))
    grid = ({"physical_range": int_range(dtype), "digital_range": int_range(dtype)}
            if dtype.kind in "iu" else {})
    info = [ChannelInfo(label=str(labels[k]) if labels else "", rate=rate,
                        unit=unit if isinstance(unit, str) else "", **grid)
            for k in range(count)]
    signal = Signal([np.empty(0, kind) for _ in range(count)], int(rate) if rate is not None
                    and rate == int(rate) else None,
                    f"HDF5 dataset {dataset}: {description}", sample_bits=bits,
                    stored_bytes=int(np.prod(shape, dtype=np.int64)) * bits // 8, info=info,
                    start=start, source="hdf5",
                    attrs={"dataset": dataset, "dtype": str(dtype),
                           "channels_first": node.ndim == 2 and bool(channels_first),
                           "attrs": {k: v for k, v in attrs.items() if v is not None}})
    return signal, node


class Hdf5BlockWriter(BlockWriter):
    def __init__(self, path: str, header: Signal, fmt: str, sample: str | None) -> None:
        file_name, _ = split_dataset(path)
        super().__init__(file_name, header)
        h5py = require("h5py", file_name)
        # The whole writer refuses what the file cannot hold and chooses the dataset, dtype,
        # layout and attributes; a dataset of one sample per channel shows its choice, which
        # becomes a chunked dataset that grows with every block.
        one = Signal([np.zeros(1, np.float32) for _ in header.channels], header.rate,
                     info=header.info, source=header.source, attrs=header.attrs)
        encoded = encode_recording(path, one, sample)
        temp = self.temp_for(file_name)
        with open(temp, "wb") as out:
            shutil.copyfileobj(io.BytesIO(encoded.files[file_name]), out)
        try:
            self._file = h5py.File(temp, "r+")
            dataset = split_dataset(path)[1] or _written_dataset(header)
            old = self._file[dataset]
            self._dtype, attrs = old.dtype, dict(old.attrs)
            self._rows_are_channels = old.ndim == 2 and bool(
                header.source == "hdf5" and header.attrs.get("channels_first"))
            del self._file[dataset]
            shape: tuple[int, ...]
            maxshape: tuple[int | None, ...]
            chunks: tuple[int, ...]
            if old.ndim == 1:
                shape, maxshape, chunks = (0,), (None,), (_CHUNK_ROWS,)
            elif self._rows_are_channels:
                shape, maxshape = (len(header.channels), 0), (len(header.channels), None)
                chunks = (len(header.channels), _CHUNK_ROWS)
            else:
                shape, maxshape = (0, len(header.channels)), (None, len(header.channels))
                chunks = (_CHUNK_ROWS, len(header.channels))
            self._node = self._file.create_dataset(dataset, shape=shape, maxshape=maxshape,
                                                   chunks=chunks, dtype=self._dtype)
            for key, value in attrs.items():
                self._node.attrs[key] = value
        except (OSError, ValueError, TypeError, KeyError) as exc:
            self.abort()
            raise SignalFileError(f"{file_name}: cannot write into it ({one_line(exc)})"
                                  ) from None
        self._length = 0

    def append(self, block: Sequence[Channel]) -> None:
        lengths = {np.asarray(c).size for c in block}
        if len(lengths) != 1:
            raise ValueError(f"{self.path}: the channels of a block have different lengths "
                             f"({sorted(lengths)})")
        n = lengths.pop()
        columns = []
        for k, c in enumerate(block):
            if self._dtype.kind in "iu":
                lo, hi = int_range(self._dtype)
                columns.append(to_codes(np.asarray(c), SampleGrid(1.0, 0.0, lo, hi), 0,
                                        self.header.channel_name(k), self.notes))
            else:
                columns.append(np.asarray(c))
        end = self._length + n
        if self._node.ndim == 1:
            self._node.resize((end,))
            self._node[self._length:end] = columns[0].astype(self._dtype, copy=False)
        elif self._rows_are_channels:
            self._node.resize((len(block), end))
            self._node[:, self._length:end] = np.stack(columns).astype(self._dtype, copy=False)
        else:
            self._node.resize((end, len(block)))
            self._node[self._length:end] = np.stack(columns, 1).astype(self._dtype, copy=False)
        self._length = end

    def finish(self) -> None:
        self.release()

    def release(self) -> None:
        if getattr(self, "_file", None) is not None and self._file.id.valid:
            self._file.close()


def _written_dataset(header: Signal) -> str:
    named = header.attrs.get("dataset") if header.source == "hdf5" else None
    return str(named or DEFAULT_DATASET)


def _open_reader(path: str, fmt: str, request: ReadRequest, samples: int) -> BlockReader:
    return Hdf5Blocks(path, fmt, request, samples)


def _open_writer(path: str, header: Signal, fmt: str, sample: str | None) -> BlockWriter:
    return Hdf5BlockWriter(path, header, fmt, sample)


register_blocks(BlockFormat("hdf5", _open_reader, _open_writer))
