"""EDF, EDF+ and BDF files through edfio: physical values, per-channel rates, labels, units,
ranges, the start and the annotations; written back by the same calibration, the samples beyond
the digital range clipped and counted."""

from __future__ import annotations

import io

import numpy as np

from .arrays import one_line
from .digital import digital_scale, needs_rate, parse_start, to_digital, channels_at
from .extras import require
from .registry import Format, ReadRequest, register_format
from .types import Annotation, Channel, ChannelInfo, Encoded, Signal, SignalFileError

_EDF_DIGITAL = {"edf": (-32768, 32767), "bdf": (-8388608, 8388607)}


def _read_edf(path: str, fmt: str, request: ReadRequest) -> Signal:
    edfio = require("edfio", path)
    reader = edfio.read_bdf if fmt == "bdf" else edfio.read_edf
    with open(path, "rb") as f:
        data = f.read()
    try:
        edf = reader(data)
    except (ValueError, IndexError, UnicodeError) as exc:
        raise SignalFileError(f"{path}: not a readable {fmt.upper()} file ({one_line(exc)})"
                              ) from None
    channels: list[Channel] = []
    info: list[ChannelInfo] = []
    for s in edf.signals:
        channels.append(np.array(s.data, dtype=np.float64))
        info.append(ChannelInfo(
            label=s.label, rate=float(s.sampling_frequency), unit=s.physical_dimension,
            physical_range=(float(s.physical_min), float(s.physical_max)),
            digital_range=(int(s.digital_min), int(s.digital_max)),
            extra={"transducer": s.transducer_type, "prefiltering": s.prefiltering}))
    try:
        start: str | None = edf.startdatetime.isoformat()
    except Exception:  # an anonymised date has none
        start = None
    annotations = [Annotation(float(a.onset), None if a.duration is None else float(a.duration),
                              a.text) for a in edf.annotations]
    bits = 24 if fmt == "bdf" else 16
    description = (f"{fmt.upper()}, {channels_at(info)}, {len(annotations)} annotations")
    return Signal(
        channels, None, description, sample_bits=bits,
        stored_bytes=sum(c.size for c in channels) * bits // 8, info=info, start=start,
        annotations=annotations, source=fmt,
        attrs={"patient": edf.local_patient_identification,
               "recording": edf.local_recording_identification,
               "data_record_duration": float(edf.data_record_duration)})


def _edf_ranges(info: ChannelInfo, samples: Channel, fmt: str) -> tuple[ChannelInfo, bool]:
    """The ranges a channel is written with: its own when the format holds them, else the
    format's digital range over the samples' own range. The flag says whether they are its own."""
    lo, hi = _EDF_DIGITAL[fmt]
    if (info.physical_range is not None and info.digital_range is not None
            and lo <= info.digital_range[0] < info.digital_range[1] <= hi
            and info.physical_range[0] != info.physical_range[1]):
        return info, True
    finite = samples[np.isfinite(samples)]
    pmin, pmax = (float(finite.min()), float(finite.max())) if finite.size else (-1.0, 1.0)
    if pmin == pmax:
        pmin, pmax = pmin - 1.0, pmax + 1.0
    return ChannelInfo(physical_range=(pmin, pmax), digital_range=(lo, hi)), False


def _record_duration(signal: Signal, rates: list[float], path: str) -> float:
    """A data record duration that divides every channel into whole records: the source's, else
    1 s, else the whole recording as one record (when its duration fits the 8-character field)."""
    durations = {c.size / r for c, r in zip(signal.channels, rates, strict=True)}
    if len(durations) > 1:
        raise SignalFileError(f"{path}: the channels last different times "
                              f"({', '.join(f'{d:g}' for d in sorted(durations))} s); EDF and "
                              "BDF hold channels of one duration")
    total = durations.pop()

    def whole(duration: float) -> bool:
        per_record = [r * duration for r in rates]
        return all(abs(p - round(p)) < 1e-9 and round(p) > 0 and c.size % round(p) == 0
                   for p, c in zip(per_record, signal.channels, strict=True))

    for duration in (signal.attrs.get("data_record_duration"), 1.0):
        if isinstance(duration, (int, float)) and duration > 0 and whole(duration):
            return float(duration)
    if total > 0 and len(f"{total:.8g}") <= 8 and float(f"{total:.8g}") == total and whole(total):
        return total
    raise SignalFileError(f"{path}: EDF and BDF hold whole data records, and {total:g} s at "
                          f"{'/'.join(f'{r:g}' for r in sorted(set(rates)))} Hz make none; "
                          "write .hea, .h5 or an archive")


def _edf_header_field(value: float) -> float:
    """A physical limit as the 8-character header field keeps it."""
    for digits in range(8, 0, -1):
        text = f"{value:.{digits}g}"
        if len(text) <= 8:
            return float(text)
    return value


def _encode_edf(path: str, signal: Signal, fmt: str, sample: str | None) -> Encoded:
    edfio = require("edfio", path)
    make = edfio.BdfSignal if fmt == "bdf" else edfio.EdfSignal
    notes: list[str] = []
    signals = []
    rates = [needs_rate(signal, k, path) for k in range(len(signal.channels))]
    record_duration = _record_duration(signal, rates, path)
    for k, samples in enumerate(signal.channels):
        info = signal.channel_info(k)
        ranges, own = _edf_ranges(info, samples, fmt)
        if not own:
            pmin, pmax = ranges.physical_range  # type: ignore[misc]
            # Widen outward so that the header's rounded limits still hold every sample.
            span = (pmax - pmin) * 1e-6
            ranges.physical_range = (_edf_header_field(pmin - span),
                                     _edf_header_field(pmax + span))
        gain, offset = digital_scale(ranges)
        dmin, dmax = ranges.digital_range  # type: ignore[misc]
        codes = to_digital(samples, gain, offset, (dmin, dmax), dmin, signal.channel_name(k),
                            notes, np.int32 if fmt == "bdf" else np.int16)
        try:
            signals.append(make.from_digital(
                codes, rates[k],
                label=info.label,
                physical_dimension=info.unit, physical_range=ranges.physical_range,
                digital_range=ranges.digital_range,
                transducer_type=str(info.extra.get("transducer", "")),
                prefiltering=str(info.extra.get("prefiltering", ""))))
        except ValueError as exc:
            raise SignalFileError(f"{path}: {signal.channel_name(k)}: {one_line(exc)}") from None
    start = parse_start(signal.start)
    annotations = [edfio.EdfAnnotation(a.onset, a.duration, a.text) for a in signal.annotations]
    try:
        edf = (edfio.Bdf if fmt == "bdf" else edfio.Edf)(
            signals, starttime=start.time().replace(microsecond=0) if start else None,
            annotations=annotations or None,
            data_record_duration=record_duration)
        if start is not None:
            edf.startdate = start.date()
        for name in ("patient", "recording"):
            if isinstance(signal.attrs.get(name), str):
                setattr(edf, f"local_{name}_identification", signal.attrs[name])
        out = io.BytesIO()
        edf.write(out)
    except ValueError as exc:
        raise SignalFileError(f"{path}: {one_line(exc)}") from None
    return Encoded({path: out.getvalue()}, notes)


for _name in ("edf", "bdf"):
    register_format(Format(_name, (f".{_name}",), _read_edf, _encode_edf, library="edfio",
                           extra="edf", what="EDF and BDF files"))
