"""WFDB records block by block: frames read with wfdb's ``rdrecord(sampfrom, sampto)``, after
the whole reader's checks of the header and the signal files' sizes."""

from __future__ import annotations

import datetime
import os
from typing import Any

import numpy as np

from .arrays import one_line
from .blocks import BlockReader, block_units
from .digital import channels_at, quiet_library
from .extras import require
from .registry import BlockFormat, ReadRequest, register_blocks
from .types import Channel, ChannelInfo, Signal, SignalFileError
from .wfdb import WFDB_BITS, check_header, grid_info, read_annotations


def _not_readable(path: str, exc: Exception) -> SignalFileError:
    return SignalFileError(f"{path}: not a readable WFDB record ({type(exc).__name__}: "
                           f"{one_line(exc)})")


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
        raise _not_readable(path, exc) from None
    info = []
    for k in range(record.n_sig):
        f, gain, baseline = record.fmt[k], float(record.adc_gain[k]), int(record.baseline[k])
        ranges = grid_info(f, gain, baseline)
        info.append(ChannelInfo(
            label=record.sig_name[k], rate=float(record.fs) * record.samps_per_frame[k],
            unit=record.units[k] or "", physical_range=ranges.physical_range,
            digital_range=ranges.digital_range,
            extra={"fmt": f, "adc_gain": gain, "baseline": baseline}))
    start = record.base_datetime
    if start is None and record.base_time is not None and record.base_date is not None:
        start = datetime.datetime.combine(record.base_date, record.base_time)
    bits = max(WFDB_BITS[f] for f in record.fmt)
    attrs: dict[str, Any] = {"comments": list(record.comments or [])}
    annotations = read_annotations(wfdb, record_name, path, request.annotators)
    if annotations:
        attrs["annotations"] = annotations
    lengths = [(record.sig_len or 0) * spf for spf in record.samps_per_frame]
    return Signal(
        [np.empty(0, np.float64) for _ in info], None, f"WFDB record, {channels_at(info)}",
        sample_bits=bits, stored_bytes=sum(lengths) * bits // 8, info=info,
        start=start.isoformat() if start is not None else None, source=fmt,
        attrs=attrs), record


class WfdbBlocks(BlockReader):
    def __init__(self, path: str, fmt: str, request: ReadRequest, samples: int) -> None:
        self._wfdb = require("wfdb", path)
        record_name = path[: -len(".hea")] if path.lower().endswith(".hea") else path
        if not os.path.exists(record_name + ".hea"):
            raise FileNotFoundError(2, "No such file or directory", path)
        header, record = _header(self._wfdb, record_name, path, fmt, request)
        self._record_name = record_name
        self._frames = int(record.sig_len or 0)
        self._per_block = block_units(samples, record.samps_per_frame)
        self._at = 0
        super().__init__(path, header,
                         [self._frames * spf for spf in record.samps_per_frame])

    def next_block(self) -> list[Channel] | None:
        if self._at >= self._frames:
            return None
        stop = min(self._frames, self._at + self._per_block)
        try:
            with quiet_library("wfdb"):
                record = self._wfdb.rdrecord(self._record_name, sampfrom=self._at,
                                             sampto=stop, smooth_frames=False)
        except Exception as exc:  # wfdb's own errors on a damaged signal file
            raise _not_readable(self.path, exc) from None
        self._at = stop
        return [np.asarray(samples, dtype=np.float64) for samples in record.e_p_signal]


def _open_reader(path: str, fmt: str, request: ReadRequest, samples: int) -> BlockReader:
    return WfdbBlocks(path, fmt, request, samples)


def _no_writer(path: str, header: Signal, fmt: str, sample: str | None) -> object:
    raise SignalFileError(f"{path}: WFDB records are not written block by block yet; "
                          "write the whole signal")


register_blocks(BlockFormat("wfdb", _open_reader, _no_writer))  # type: ignore[arg-type]
