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
from collections.abc import Iterator, Sequence

import numpy as np

from .arrays import one_line
from .blocks import BlockReader, BlockWriter, Rechunker, block_units
from .digital import channels_at, needs_rate, to_codes
from .edf import RecordLayout, declared_layout, edf_ranges
from .extras import require
from .registry import FORMATS, BlockFormat, ReadRequest, encode_recording, register_blocks
from .types import Annotation, Channel, Signal, SignalFileError

_FIXED = 256
# Widths of the signal header fields, each stored for every signal in turn: label, transducer,
# physical dimension, physical min and max, digital min and max, prefiltering, samples per
# record, reserved.
_SIGNAL_FIELDS = (16, 80, 8, 8, 8, 8, 8, 80, 8, 32)
# Data records read at a time while gathering annotations.
_SCAN_RECORDS = 256


def _annotation_signals(header: bytes, count: int, fmt: str) -> list[int]:
    """The signals edfio reads as annotations: labelled exactly "EDF Annotations" in an EDF
    file, "BDF Annotations" in a BDF file (trailing spaces aside)."""
    label = f"{fmt.upper()} Annotations"
    return [k for k in range(count)
            if header[_FIXED + 16 * k:_FIXED + 16 * (k + 1)].decode("ascii", "replace").rstrip()
            == label]


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
        annotation = _annotation_signals(header, count, fmt)
        self._ordinary = [k for k in range(count) if k not in annotation]
        first = self._read_at(layout.header_bytes, layout.record_bytes)
        with _scratch_copy(_fixed_header(header, count, 1) + header[_FIXED:] + first,
                           fmt) as copy:
            try:
                signal = FORMATS[fmt].read(copy, fmt, request)
            except SignalFileError as exc:
                raise SignalFileError(str(exc).replace(copy, path)) from None
        # The whole reader tells annotation signals apart as `_annotation_signals` does.
        assert len(signal.info) == len(self._ordinary)
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
        block = self.next_stored()
        return None if block is None else [self.physical(k, c) for k, c in enumerate(block)]

    def physical(self, k: int, stored: np.ndarray) -> Channel:
        gain, offset = self._calibration[k]
        return (stored + offset) * gain

    def next_stored(self) -> list[np.ndarray] | None:
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
        return [digital[:, start:end].reshape(-1) for start, end in self._columns]

    def close(self) -> None:
        self._file.close()


def _positional(value: float, sign: bool) -> str:
    """A number as an EDF+ annotation writes it: the shortest decimal that reads back as the
    same float, never in exponent notation."""
    return str(np.format_float_positional(value, unique=True, trim="-", sign=sign))


def _tal(onset: float, duration: float | None, text: str) -> bytes:
    """One time-stamped annotation list of an EDF+ data record."""
    timing = _positional(onset, True)
    if duration is not None:
        timing += "\x15" + _positional(duration, False)
    return f"{timing}\x14{text}\x14".encode()


def _record_duration(header: Signal, rates: list[float], path: str) -> float:
    """The data record duration the whole writer would choose and that does not depend on the
    recording's length: the source's, else 1 s, when every channel fills it with whole samples."""
    for duration in (header.attrs.get("data_record_duration"), 1.0):
        if isinstance(duration, (int, float)) and duration > 0 and all(
                abs(r * duration - round(r * duration)) < 1e-9 and round(r * duration) > 0
                for r in rates):
            return float(duration)
    raise SignalFileError(f"{path}: no data record of 1 s holds whole samples at "
                          f"{'/'.join(f'{r:g}' for r in sorted(set(rates)))} Hz; write the "
                          "whole signal, or .hea or .h5")


class EdfBlockWriter(BlockWriter):
    """Data records appended as blocks fill them; the header, with the number of records,
    written on close. The header and the calibration are the whole writer's, taken from the file
    it writes of one data record."""

    def __init__(self, path: str, header: Signal, fmt: str, sample: str | None) -> None:
        super().__init__(path, header)
        rates = [needs_rate(header, k, path) for k in range(self.num_channels)]
        self._grids = []
        for k in range(self.num_channels):
            info = header.channel_info(k)
            if edf_ranges(info, np.empty(0), fmt) is not info or info.grid is None:
                raise SignalFileError(
                    f"{path}: {header.channel_name(k)}: its physical and digital ranges must be "
                    "known before its samples to write it block by block; write the whole "
                    "signal")
            self._grids.append(info.grid)
        duration = _record_duration(header, rates, path)
        spr = [round(r * duration) for r in rates]
        middle = [g.value((g.min_code + g.max_code) // 2) for g in self._grids]
        one = Signal([np.full(n, m) for n, m in zip(spr, middle, strict=True)], header.rate,
                     info=header.info, start=header.start, annotations=header.annotations,
                     source=header.source, attrs={**header.attrs,
                                                  "data_record_duration": duration})
        encoded = encode_recording(path, one, sample)
        self.notes.extend(encoded.notes)
        data = encoded.files[path]
        layout = declared_layout(data[:_FIXED], len(data), path, fmt, lambda n: data[:n])
        count = len(layout.per_record)
        self._annotation = _annotation_signals(data, count, fmt)
        self._fmt, self._duration = fmt, duration
        self._bps = layout.sample_bytes
        self._header = bytearray(data[:layout.header_bytes])
        self._per_record = list(layout.per_record)
        self._subsecond = 0.0
        self._tals: dict[int, list[bytes]] = {}
        if self._annotation:
            first = data[layout.header_bytes:]
            at = sum(layout.per_record[:self._annotation[0]]) * self._bps
            self._subsecond = float(first[at:first.index(b"\x14", at)].decode("ascii"))
            self._plan_annotations()
        self._records = 0
        self._rechunk = Rechunker([self._per_record[k] for k in range(count)
                                   if k not in self._annotation])
        self._out = open(self.temp_for(path), "wb")  # noqa: SIM115 (closed by release())
        self._out.write(self._header)

    def _plan_annotations(self) -> None:
        """Each annotation in the data record its onset falls in (as edfio places them), and
        the samples the annotation signal needs for the fullest record."""
        d = self._duration
        for a in sorted(self.header.annotations,
                        key=lambda a: (a.onset, -1 if a.duration is None else a.duration,
                                       a.text)):
            i = max(0, int(a.onset // d))
            while i > 0 and a.onset < (i - 1) * d + d:
                i -= 1
            while a.onset >= i * d + d:
                i += 1
            self._tals.setdefault(i, []).append(_tal(a.onset + self._subsecond, a.duration,
                                                     a.text))
        # A timekeeping annotation of any record of up to a year fits 24 bytes.
        longest = max([24] + [len(self._record_tals(i, ())) for i in self._tals])
        k = self._annotation[0]
        self._per_record[k] = -(-longest // self._bps)
        at = _FIXED + len(self._per_record) * 216 + 8 * k
        self._header[at:at + 8] = _field(self._per_record[k], 8)

    def _record_tals(self, i: int, extra: Sequence[bytes]) -> bytes:
        stamp = _tal(i * self._duration + self._subsecond, None, "")
        return b"\x00".join([stamp, *self._tals.get(i, []), *extra]) + b"\x00"

    def append(self, block: Sequence[Channel]) -> None:
        self._rechunk.add(block)
        ready = self._rechunk.ready()
        if ready > 1:  # the last whole record waits: it takes annotations beyond the end
            self._write(self._rechunk.take(ready - 1), last=False)

    def _write(self, samples: list[np.ndarray], last: bool) -> None:
        ordinary = [k for k in range(len(self._per_record)) if k not in self._annotation]
        n = samples[0].size // self._per_record[ordinary[0]]
        columns = []
        for j, k in enumerate(ordinary):
            codes = to_codes(samples[j], self._grids[j], self._grids[j].min_code,
                             self.header.channel_name(j), self.notes, np.int32)
            raw = codes.astype("<i4").view(np.uint8).reshape(n, -1, 4)[:, :, :self._bps]
            columns.append((k, raw.reshape(n, -1)))
        for k in self._annotation:
            room = self._per_record[k] * self._bps
            raw = np.zeros((n, room), np.uint8)
            if k == self._annotation[0]:
                for r in range(n):
                    i = self._records + r
                    beyond = [t for j, ts in self._tals.items() if j > i for t in ts] \
                        if last and r == n - 1 else []
                    tals = self._record_tals(i, beyond)
                    if len(tals) > room:
                        # Only annotations after the recording's end (all in its last
                        # record) or onsets beyond a year outgrow the room planned.
                        raise SignalFileError(
                            f"{self.path}: the annotations of data record {i} do not fit the "
                            f"{room} bytes planned for them; write the whole signal")
                    raw[r, :len(tals)] = np.frombuffer(tals, np.uint8)
            columns.append((k, raw))
        columns.sort(key=lambda c: c[0])
        self._out.write(np.concatenate([c for _, c in columns], axis=1).tobytes())
        self._records += n

    def finish(self) -> None:
        ready = self._rechunk.ready()
        if ready:
            self._write(self._rechunk.take(ready), last=True)
        left = self._rechunk.leftover()
        if not self._records:
            raise SignalFileError(f"{self.path}: not one whole data record of "
                                  f"{self._duration:g} s to write")
        if any(left):
            raise SignalFileError(
                f"{self.path}: EDF and BDF hold whole data records of {self._duration:g} s; "
                f"{max(left)} samples are left over after {self._records} records")
        self._header[236:244] = _field(self._records, 8)
        self._out.seek(0)
        self._out.write(self._header)
        self.release()

    def release(self) -> None:
        if hasattr(self, "_out"):
            self._out.close()


def _open_writer(path: str, header: Signal, fmt: str, sample: str | None) -> BlockWriter:
    return EdfBlockWriter(path, header, fmt, sample)


def _open_reader(path: str, fmt: str, request: ReadRequest, samples: int) -> BlockReader:
    return EdfBlocks(path, fmt, request, samples)


for _name in ("edf", "bdf"):
    register_blocks(BlockFormat(_name, _open_reader, _open_writer))
