"""WFDB records block by block: frames read with wfdb's ``rdrecord(sampfrom, sampto)``, after
the whole reader's checks of the header and the signal files' sizes."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Sequence
from typing import Any

import numpy as np

from .blocks import BlockReader, BlockWriter, Rechunker, block_units
from .digital import channels_at, needs_rate, quiet_library, to_codes
from .extras import require
from .registry import BlockFormat, ReadRequest, encode_recording, register_blocks
from .types import Channel, Signal, SignalFileError
from .wfdb import (
    WFDB_BITS,
    bytes_per_sample,
    check_header,
    grid_info,
    not_readable,
    record_metadata,
)


def _frames(record: Any, directory: str) -> int:
    """The record's length in frames: its header's, else what its first signal file holds (as
    wfdb infers it)."""
    if record.sig_len is not None:
        return int(record.sig_len)
    first = record.file_name[0]
    per_frame = sum(spf for name, spf in zip(record.file_name, record.samps_per_frame,
                                             strict=False) if name == first)
    held = os.path.getsize(os.path.join(directory, first)) - (record.byte_offset[0] or 0)
    return int(held / (bytes_per_sample(record.fmt[0]) * per_frame))


def _header(wfdb: Any, record_name: str, path: str, fmt: str, request: ReadRequest,
            ) -> tuple[Signal, Any]:
    """What `read_signal` says of the record, from its header and annotation files."""
    try:
        with quiet_library("wfdb"):
            record = wfdb.rdheader(record_name)
            check_header(record, record_name + ".hea", os.path.dirname(record_name))
    except (SignalFileError, FileNotFoundError):
        raise
    except Exception as exc:  # wfdb's own errors and Python's on a field it could not parse
        raise not_readable(path, exc) from None
    info, start, bits, attrs = record_metadata(wfdb, record, record_name, path, request)
    lengths = [_frames(record, os.path.dirname(record_name)) * spf
               for spf in record.samps_per_frame[:record.n_sig]]
    return Signal(
        [np.empty(0, np.float64) for _ in info], None, f"WFDB record, {channels_at(info)}",
        sample_bits=bits, stored_bytes=sum(lengths) * bits // 8, info=info,
        start=start, source=fmt, attrs=attrs), record


class WfdbBlocks(BlockReader):
    def __init__(self, path: str, fmt: str, request: ReadRequest, samples: int) -> None:
        self._wfdb = require("wfdb", path)
        record_name = path[: -len(".hea")] if path.lower().endswith(".hea") else path
        if not os.path.exists(record_name + ".hea"):
            raise FileNotFoundError(2, "No such file or directory", path)
        header, record = _header(self._wfdb, record_name, path, fmt, request)
        self._record_name = record_name
        self._frames = _frames(record, os.path.dirname(record_name))
        # wfdb reads a part of a record only when its header gives the length: one that leaves
        # it open is read in one block.
        self._open_length = record.sig_len is None
        per_frame = record.samps_per_frame[:record.n_sig]
        self._per_block = self._frames if self._open_length else block_units(samples, per_frame)
        self._at = 0
        super().__init__(path, header, [self._frames * spf for spf in per_frame])
        if self._frames == 0:
            # wfdb refuses a record of no frames: the error is its own, as for the whole read.
            self._read(0, None)

    def next_block(self) -> list[Channel] | None:
        if self._at >= self._frames:
            return None
        stop = min(self._frames, self._at + self._per_block)
        block = self._read(self._at, None if self._open_length else stop)
        self._at = stop
        return block

    def _read(self, first: int, stop: int | None) -> list[Channel]:
        try:
            with quiet_library("wfdb"):
                record = self._wfdb.rdrecord(self._record_name, sampfrom=first, sampto=stop,
                                             smooth_frames=False)
        except Exception as exc:  # wfdb's own errors on a damaged signal file
            raise not_readable(self.path, exc) from None
        return [np.asarray(samples, dtype=np.float64) for samples in record.e_p_signal]


def _open_reader(path: str, fmt: str, request: ReadRequest, samples: int) -> BlockReader:
    return WfdbBlocks(path, fmt, request, samples)


def _pack(fmt: str, frames: np.ndarray) -> bytes:
    """Codes of whole frames (frames x samples per frame) as the signal file holds them, as
    wfdb writes them; format 212 is packed by `_Pack212` instead."""
    if fmt == "16":
        return frames.astype("<i2").tobytes()
    if fmt == "24":
        return frames.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
    if fmt == "32":
        return frames.astype("<i4").tobytes()
    assert fmt == "80"
    return (frames + 128).astype(np.uint8).tobytes()


class _Pack212:
    """Format 212: two 12-bit samples in three bytes, over the file's whole sample sequence;
    an odd sample waits for the next block."""

    def __init__(self) -> None:
        self._held = np.empty(0, np.int64)

    def pack(self, frames: np.ndarray) -> bytes:
        flat = np.concatenate([self._held, frames.reshape(-1) % 4096])
        pairs = flat.size // 2 * 2
        self._held = flat[pairs:]
        low, high = flat[0:pairs:2], flat[1:pairs:2]
        out = np.empty((pairs // 2, 3), np.uint8)
        out[:, 0] = low & 255
        out[:, 1] = ((low & 3840) >> 8) + ((high & 3840) >> 4)
        out[:, 2] = high & 255
        return out.tobytes()

    def flush(self) -> bytes:
        if not self._held.size:
            return b""
        last = int(self._held[0])
        return bytes([last & 255, (last & 3840) >> 8])


_WRITTEN = ("16", "24", "32", "80", "212")


class WfdbBlockWriter(BlockWriter):
    """The signal files appended frame by frame; the header, with the record's length, the
    signals' first values and checksums, completed on close. Header, calibration and annotation
    files are the whole writer's, taken from the record it writes of one frame."""

    def __init__(self, path: str, header: Signal, fmt: str, sample: str | None) -> None:
        super().__init__(path, header)
        wfdb = require("wfdb", path)
        one = []
        for k in range(self.num_channels):
            info = header.channel_info(k)
            extra = info.extra
            if extra.get("fmt") in WFDB_BITS and extra.get("adc_gain"):
                grid = grid_info(str(extra["fmt"]), float(extra["adc_gain"]),
                                 int(extra.get("baseline", 0))).grid
                middle = grid.value((grid.min_code + grid.max_code) // 2) if grid else 0.0
            elif info.physical_range is not None and (info.physical_range[0]
                                                      != info.physical_range[1]):
                middle = sum(info.physical_range) / 2
            else:
                raise SignalFileError(
                    f"{path}: {header.channel_name(k)}: its physical range must be known "
                    "before its samples to write it block by block; write the whole signal")
            one.append(middle)
        rates = [needs_rate(header, k, path) for k in range(self.num_channels)]
        per_frame = [max(1, round(r / min(rates))) for r in rates]
        template = Signal([np.full(n, m) for n, m in zip(per_frame, one, strict=True)],
                          header.rate, info=header.info, start=header.start,
                          source=header.source, attrs=header.attrs)
        encoded = encode_recording(path, template, sample)
        self.notes.extend(encoded.notes)
        directory = os.path.dirname(path)
        with tempfile.TemporaryDirectory() as scratch:
            for name, data in encoded.files.items():
                with open(os.path.join(scratch, os.path.basename(name)), "wb") as f:
                    f.write(data)
            stem = os.path.basename(path)[: -len(".hea")]
            with quiet_library("wfdb"):
                record = wfdb.rdheader(os.path.join(scratch, stem))
        self._hea = encoded.files[path].decode("latin-1")
        for name, data in encoded.files.items():
            if name != path and not name.endswith(".dat"):  # annotation files stay as written
                with open(self.temp_for(name), "wb") as f:
                    f.write(data)
        self._grids = [grid_info(record.fmt[k], float(record.adc_gain[k]),
                                 int(record.baseline[k])).grid for k in range(record.n_sig)]
        self._files: dict[str, list[int]] = {}
        for k, name in enumerate(record.file_name):
            if record.fmt[k] not in _WRITTEN:
                raise SignalFileError(f"{path}: sample format {record.fmt[k]} is not written "
                                      "block by block; write the whole signal")
            self._files.setdefault(name, []).append(k)
        self._fmt_of = {name: record.fmt[ks[0]] for name, ks in self._files.items()}
        self._out = {name: open(self.temp_for(os.path.join(directory, name)), "wb")  # noqa: SIM115
                     for name in self._files}
        self._pack212 = {name: _Pack212() for name in self._files}
        self._per_frame = list(record.samps_per_frame)
        self._rechunk = Rechunker(self._per_frame)
        self._frames = 0
        self._checksum = [0] * record.n_sig
        self._first: list[int | None] = [None] * record.n_sig

    def append(self, block: Sequence[Channel]) -> None:
        self._rechunk.add(block)
        frames = self._rechunk.ready()
        if frames:
            self._write(self._rechunk.take(frames), frames)

    def _write(self, samples: list[np.ndarray], frames: int) -> None:
        codes = []
        for k, grid in enumerate(self._grids):
            assert grid is not None
            # The code below the range is the format's missing value: a gap reads back as NaN.
            c = to_codes(samples[k], grid, grid.min_code - 1, self.header.channel_name(k),
                         self.notes)
            self._checksum[k] = (self._checksum[k] + int(c.sum())) % 65536
            if self._first[k] is None:
                self._first[k] = int(c[0])
            codes.append(c.reshape(frames, self._per_frame[k]))
        for name, members in self._files.items():
            interleaved = np.concatenate([codes[k] for k in members], axis=1)
            fmt = self._fmt_of[name]
            self._out[name].write(self._pack212[name].pack(interleaved) if fmt == "212"
                                  else _pack(fmt, interleaved))
        self._frames += frames

    def finish(self) -> None:
        left = self._rechunk.leftover()
        if any(left):
            raise SignalFileError(f"{self.path}: {max(left)} samples are left over after "
                                  f"{self._frames} whole frames")
        for name in self._files:
            self._out[name].write(self._pack212[name].flush())
        self.release()
        lines = self._hea.splitlines()
        at = [i for i, line in enumerate(lines) if line.strip() and not line.startswith("#")]
        fields = lines[at[0]].split(maxsplit=4)
        fields[3] = str(self._frames)
        lines[at[0]] = " ".join(fields)
        for k, i in enumerate(at[1:1 + len(self._grids)]):
            fields = lines[i].split(maxsplit=8)
            fields[5], fields[6] = str(self._first[k] or 0), str(self._checksum[k])
            lines[i] = " ".join(fields)
        with open(self.temp_for(self.path), "w", encoding="latin-1") as f:
            f.write("\n".join(lines) + "\n")

    def release(self) -> None:
        for out in getattr(self, "_out", {}).values():
            out.close()


def _open_writer(path: str, header: Signal, fmt: str, sample: str | None) -> BlockWriter:
    return WfdbBlockWriter(path, header, fmt, sample)


register_blocks(BlockFormat("wfdb", _open_reader, _open_writer))
