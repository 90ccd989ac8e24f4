"""EDF and BDF files block by block: whole data records read straight from the file and turned
into physical values by edfio's calibration, so the blocks equal what `read_signal` gives.

The metadata is the whole reader's: it reads a copy of the header declaring one data record, with
that record, and every check it makes holds. The annotations of an EDF+ file are gathered from
the annotation signals of every record (a few bytes each) before the first block."""

from __future__ import annotations

import contextlib
import os
import tempfile
import warnings
from collections.abc import Iterator

import numpy as np

from .arrays import one_line
from .blocks import BlockReader, block_units
from .digital import channels_at
from .edf import RecordLayout, declared_layout
from .extras import require
from .registry import FORMATS, BlockFormat, ReadRequest, register_blocks
from .types import Annotation, Channel, Signal, SignalFileError

_FIXED = 256
# Widths of the signal header fields, each stored for every signal in turn: label, transducer,
# physical dimension, physical min and max, digital min and max, prefiltering, samples per
# record, reserved.
_SIGNAL_FIELDS = (16, 80, 8, 8, 8, 8, 8, 80, 8, 32)
_ANNOTATION_LABELS = ("EDF Annotations", "BDF Annotations")
# Data records read at a time while gathering annotations.
_SCAN_RECORDS = 256


def _field(value: int, width: int) -> bytes:
    return str(value).encode("ascii").ljust(width)


def _signal_headers(header: bytes, count: int, keep: list[int]) -> bytes:
    """The signal header fields of the signals `keep`, in the layout of a file holding only
    them."""
    out, at = [], _FIXED
    for width in _SIGNAL_FIELDS:
        out += [header[at + width * k: at + width * (k + 1)] for k in keep]
        at += width * count
    return b"".join(out)


def _fixed_header(header: bytes, count: int, records: int) -> bytes:
    return (header[:184] + _field(_FIXED * (count + 1), 8) + header[192:236]
            + _field(records, 8) + header[244:252] + _field(count, 4))


@contextlib.contextmanager
def _scratch_copy(data: bytes, fmt: str) -> Iterator[str]:
    fd, name = tempfile.mkstemp(suffix=f".{fmt}")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        yield name
    finally:
        os.unlink(name)


class EdfBlocks(BlockReader):
    def __init__(self, path: str, fmt: str, request: ReadRequest, samples: int) -> None:
        self._edfio = require("edfio", path)
        self._file = open(path, "rb")  # noqa: SIM115 (closed by close())
        try:
            self._open(path, fmt, request, samples)
        except BaseException:
            self._file.close()
            raise

    def _read_at(self, offset: int, n: int) -> bytes:
        self._file.seek(offset)
        return self._file.read(n)

    def _open(self, path: str, fmt: str, request: ReadRequest, samples: int) -> None:
        size = os.fstat(self._file.fileno()).st_size
        layout = declared_layout(self._read_at(0, _FIXED), size, path, fmt,
                                 lambda n: self._read_at(0, n))
        header = self._read_at(0, layout.header_bytes)
        count = len(layout.per_record)
        labels = [header[_FIXED + 16 * k:_FIXED + 16 * (k + 1)].decode("ascii", "replace")
                  .strip() for k in range(count)]
        annotation = [k for k in range(count) if labels[k] in _ANNOTATION_LABELS]
        self._ordinary = [k for k in range(count) if k not in annotation]
        first = self._read_at(layout.header_bytes, layout.record_bytes)
        with _scratch_copy(_fixed_header(header, count, 1) + header[_FIXED:] + first,
                           fmt) as copy:
            try:
                signal = FORMATS[fmt].read(copy, fmt, request)
            except SignalFileError as exc:
                raise SignalFileError(str(exc).replace(copy, path)) from None
        signal.notes = list(layout.notes)
        if annotation:
            signal.annotations = self._annotations(path, fmt, header, layout, annotation)
        signal.description = (f"{fmt.upper()}, {channels_at(signal.info)}, "
                              f"{len(signal.annotations)} annotations")
        bits = 24 if fmt == "bdf" else 16
        lengths = [layout.records * layout.per_record[k] for k in self._ordinary]
        signal.stored_bytes = sum(lengths) * bits // 8
        signal.channels = [np.empty(0, np.float64) for _ in lengths]
        self._calibration = []
        for info in signal.info:
            assert info.physical_range is not None and info.digital_range is not None
            (pmin, pmax), (dmin, dmax) = info.physical_range, info.digital_range
            gain = (pmax - pmin) / (dmax - dmin)  # edfio's calibration, operation for operation
            self._calibration.append((gain, pmax / gain - dmax))
        self._layout = layout
        self._fmt = fmt
        self._per_block = block_units(samples, [layout.per_record[k] for k in self._ordinary])
        self._record = 0
        ends = np.cumsum(layout.per_record)
        self._columns = [(int(ends[k] - layout.per_record[k]), int(ends[k]))
                         for k in self._ordinary]
        super().__init__(path, signal, lengths)

    def _annotations(self, path: str, fmt: str, header: bytes, layout: RecordLayout,
                     keep: list[int]) -> list[Annotation]:
        """Every annotation of the file, as edfio reads them from a file holding only the
        annotation signals of every record."""
        starts = np.concatenate(([0], np.cumsum(layout.per_record))) * layout.sample_bytes
        parts = []
        for first in range(0, layout.records, _SCAN_RECORDS):
            n = min(_SCAN_RECORDS, layout.records - first)
            data = self._read_at(layout.header_bytes + first * layout.record_bytes,
                                 n * layout.record_bytes)
            records = np.frombuffer(data, np.uint8).reshape(n, layout.record_bytes)
            parts.append(np.concatenate([records[:, starts[k]:starts[k + 1]] for k in keep],
                                        axis=1).tobytes())
        only = (_fixed_header(header, len(keep), layout.records)
                + _signal_headers(header, len(layout.per_record), keep) + b"".join(parts))
        reader = self._edfio.read_bdf if fmt == "bdf" else self._edfio.read_edf
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                edf = reader(only)
                return [Annotation(float(a.onset),
                                   None if a.duration is None else float(a.duration), a.text)
                        for a in edf.annotations]
        except Exception as exc:  # edfio's own, on annotations it cannot parse
            raise SignalFileError(f"{path}: not a readable {fmt.upper()} file "
                                  f"({type(exc).__name__}: {one_line(exc)})") from None

    def next_block(self) -> list[Channel] | None:
        layout = self._layout
        n = min(self._per_block, layout.records - self._record)
        if n <= 0 or self._file.closed:
            self.close()
            return None
        data = self._read_at(layout.header_bytes + self._record * layout.record_bytes,
                             n * layout.record_bytes)
        if len(data) < n * layout.record_bytes:
            raise SignalFileError(f"{self.path}: truncated while reading")
        self._record += n
        width = sum(layout.per_record)
        if self._fmt == "bdf":
            b = np.frombuffer(data, np.uint8).reshape(n, width, 3).astype(np.int32)
            digital = b[..., 0] | (b[..., 1] << 8) | (b[..., 2] << 16)
            digital[digital >= 1 << 23] -= 1 << 24
        else:
            digital = np.frombuffer(data, "<i2").reshape(n, width)
        out = []
        for (start, end), (gain, offset) in zip(self._columns, self._calibration, strict=True):
            out.append((digital[:, start:end].reshape(-1) + offset) * gain)
        return out

    def close(self) -> None:
        self._file.close()


def _open_reader(path: str, fmt: str, request: ReadRequest, samples: int) -> BlockReader:
    return EdfBlocks(path, fmt, request, samples)


def _no_writer(path: str, header: Signal, fmt: str, sample: str | None) -> object:
    raise SignalFileError(f"{path}: {fmt.upper()} files are not written block by block yet; "
                          "write the whole signal")


for _name in ("edf", "bdf"):
    register_blocks(BlockFormat(_name, _open_reader, _no_writer))  # type: ignore[arg-type]
