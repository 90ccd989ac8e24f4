"""WFDB records through wfdb: a header ``NAME.hea`` and its signal files, read as physical
values; written with each channel's own sample format, gain and baseline where known."""

from __future__ import annotations

import datetime
import os
import tempfile

import numpy as np

from .arrays import one_line
from .digital import channels_at, needs_rate, parse_start, quiet_library, to_digital
from .extras import require
from .registry import Format, ReadRequest, register_format
from .types import Channel, ChannelInfo, Encoded, Signal, SignalFileError

# Sample format -> bits of a sample; the lowest code of each is the format's missing value.
_WFDB_BITS = {"8": 8, "16": 16, "24": 24, "32": 32, "61": 16, "80": 8, "160": 16, "212": 12,
              "310": 10, "311": 10}
_WFDB_DEFAULT_FMT = "16"


def _wfdb_bounds(fmt: str) -> tuple[int, int]:
    half = 1 << (_WFDB_BITS[fmt] - 1)
    return -half + 1, half - 1


def _read_wfdb(path: str, fmt: str, request: ReadRequest) -> Signal:
    wfdb = require("wfdb", path)
    record_name = path[: -len(".hea")] if path.lower().endswith(".hea") else path
    if not os.path.exists(record_name + ".hea"):
        raise FileNotFoundError(2, "No such file or directory", path)
    try:
        with quiet_library("wfdb"):
            record = wfdb.rdrecord(record_name, smooth_frames=False)
    except (ValueError, OSError, IndexError, KeyError, AttributeError) as exc:
        raise SignalFileError(f"{path}: not a readable WFDB record ({one_line(exc)})") from None
    channels: list[Channel] = []
    info: list[ChannelInfo] = []
    for k, samples in enumerate(record.e_p_signal):
        f, gain, baseline = record.fmt[k], float(record.adc_gain[k]), int(record.baseline[k])
        bounds = _wfdb_bounds(f) if f in _WFDB_BITS else None
        channels.append(np.asarray(samples, dtype=np.float64))
        info.append(ChannelInfo(
            label=record.sig_name[k], rate=float(record.fs) * record.samps_per_frame[k],
            unit=record.units[k] or "",
            physical_range=None if bounds is None or not gain else (
                (bounds[0] - baseline) / gain, (bounds[1] - baseline) / gain),
            digital_range=bounds,
            extra={"fmt": f, "adc_gain": gain, "baseline": baseline}))
    start = record.base_datetime
    if start is None and record.base_time is not None and record.base_date is not None:
        start = datetime.datetime.combine(record.base_date, record.base_time)
    bits = max((_WFDB_BITS.get(f, 16) for f in record.fmt), default=16)
    return Signal(
        channels, None, f"WFDB record, {channels_at(info)}",
        sample_bits=bits, stored_bytes=sum(c.size for c in channels) * bits // 8, info=info,
        start=start.isoformat() if start is not None else None, source=fmt,
        attrs={"comments": list(record.comments or [])})


def _wfdb_calibration(info: ChannelInfo, samples: Channel) -> tuple[str, float, int]:
    """(sample format, gain, baseline) of a channel: its own, else from its ranges, else from its
    samples' range over the default format."""
    extra = info.extra
    if extra.get("fmt") in _WFDB_BITS and extra.get("adc_gain"):
        return str(extra["fmt"]), float(extra["adc_gain"]), int(extra.get("baseline", 0))
    fmt = _WFDB_DEFAULT_FMT
    lo, hi = _wfdb_bounds(fmt)
    if info.physical_range is not None and info.physical_range[0] != info.physical_range[1]:
        pmin, pmax = info.physical_range
    else:
        finite = samples[np.isfinite(samples)]
        pmin, pmax = (float(finite.min()), float(finite.max())) if finite.size else (-1.0, 1.0)
        if pmin == pmax:
            pmin, pmax = pmin - 1.0, pmax + 1.0
    gain = float(f"{(hi - lo) / (pmax - pmin):.6g}")
    baseline = int(round(lo - pmin * gain))
    return fmt, gain, max(lo, min(hi, baseline))


def _encode_wfdb(path: str, signal: Signal, fmt: str, sample: str | None) -> Encoded:
    wfdb = require("wfdb", path)
    directory, name = os.path.split(path)
    record_name = name[: -len(".hea")] if name.lower().endswith(".hea") else name
    notes: list[str] = []
    rates = [needs_rate(signal, k, path) for k in range(len(signal.channels))]
    frame_rate = min(rates)
    per_frame = [r / frame_rate for r in rates]
    if any(p != int(p) for p in per_frame):
        raise SignalFileError(f"{path}: WFDB needs every sample rate to be a whole multiple of "
                              f"the lowest ({', '.join(f'{r:g}' for r in rates)} Hz)")
    fmts, gains, baselines, codes = [], [], [], []
    for k, samples in enumerate(signal.channels):
        fmt, gain, baseline = _wfdb_calibration(signal.channel_info(k), samples)
        lo, hi = _wfdb_bounds(fmt)
        fmts.append(fmt)
        gains.append(gain)
        baselines.append(baseline)
        codes.append(to_digital(samples, gain, baseline, (lo, hi), lo - 1,
                                signal.channel_name(k), notes))
    start = parse_start(signal.start)
    # A header line separates its fields by spaces: names and units hold none.
    labels = [("_".join(signal.channel_info(k).label.split()) or f"ch{k}")
              for k in range(len(codes))]
    units = ["_".join(signal.channel_info(k).unit.split()) or "NU" for k in range(len(codes))]
    renamed = [f"{i.label!r} as {new!r}" for i, new in zip(
        (signal.channel_info(k) for k in range(len(codes))), labels, strict=True)
               if i.label and i.label != new]
    if renamed:
        notes.append(f"labels without spaces: {', '.join(renamed)}")
    with tempfile.TemporaryDirectory() as scratch, quiet_library("wfdb"):
        try:
            wfdb.wrsamp(
                record_name, fs=frame_rate, units=units, sig_name=labels, e_d_signal=codes,
                samps_per_frame=[int(p) for p in per_frame], fmt=fmts, adc_gain=gains,
                baseline=baselines, comments=[str(c) for c in signal.attrs.get("comments", [])],
                base_date=start.date() if start else None,
                base_time=start.time() if start else None, write_dir=scratch)
        except Exception as exc:  # wfdb reports what it refuses with plain Exception
            raise SignalFileError(f"{path}: {one_line(exc)}") from None
        files = {}
        for file_name in sorted(os.listdir(scratch)):
            with open(os.path.join(scratch, file_name), "rb") as f:
                files[os.path.join(directory, file_name)] = f.read()
    return Encoded(files, notes)


register_format(Format("wfdb", (".hea",), _read_wfdb, _encode_wfdb, library="wfdb",
                       extra="wfdb", what="WFDB records"))
