"""EDF, EDF+ and BDF files through edfio: physical values, per-channel rates, labels, units,
ranges, the start (with its fraction of a second) and the annotations; written back in the
flavour they came in (legacy EDF, EDF+C, BDF, BDF+C) by the same calibration, the samples beyond
the digital range clipped and counted.

The sizes the fixed header declares are checked against the bytes the file holds before edfio
reads it, and every field the samples depend on is checked after: edfio accepts a digital range
of one value, a record duration of -1 s and a cut last record with a warning at most."""

from __future__ import annotations

import datetime
import io
import math
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

from .arrays import one_line
from .digital import (
    bad_field,
    channels_at,
    check_rate,
    header_text,
    needs_rate,
    parse_start,
    to_codes,
)
from .extras import require
from .registry import Format, ReadRequest, register_format
from .types import Annotation, Channel, ChannelInfo, Encoded, Signal, SignalFileError

_EDF_DIGITAL = {"edf": (-32768, 32767), "bdf": (-8388608, 8388607)}
_SAMPLE_BYTES = {"edf": 2, "bdf": 3}
# The fixed header: 256 bytes, then 256 per signal; fields are left-aligned ASCII.
_FIXED_HEADER = 256
# (offset, width) of the fixed header's numeric fields, and of one signal's samples per record
# within the signal headers (after label 16, transducer 80, dimension 8, four ranges of 8 and
# prefiltering 80: 216 bytes of every signal's fields come first).
_HEADER_BYTES, _NUM_RECORDS, _DURATION, _NUM_SIGNALS = (184, 8), (236, 8), (244, 8), (252, 4)
_SAMPLES_PER_RECORD = 216
# Widths of the text fields the writer fills.
_TEXT_FIELDS = {"label": 16, "physical dimension": 8, "transducer": 80, "prefiltering": 80}
# Characters that delimit EDF+ annotations (TALs): an annotation's text cannot hold them.
_TAL_DELIMITERS = ("\x00", "\x14", "\x15")


def _header_number(data: bytes, where: tuple[int, int], path: str, field: str,
                   kind: type = int) -> Any:
    offset, width = where
    # As edfio reads a field (trailing blanks only), so that both readers agree on every header.
    text = data[offset:offset + width].decode("ascii", "replace").rstrip()
    try:
        return kind(text)
    except ValueError:
        what = "a whole number" if kind is int else "a number"
        raise bad_field(path, "", field, text, f"is not {what}") from None


def _declared_data(data: bytes, path: str, fmt: str) -> tuple[bytes, list[str]]:
    """The header and whole data records of the file, after checking the sizes its header
    declares against the bytes it holds; and notes about bytes beyond the declared records."""
    layout = declared_layout(data[:_FIXED_HEADER * 2], len(data), path, fmt,
                             lambda n: data[:n])
    return data[:layout.data_end], layout.notes


@dataclass(frozen=True)
class RecordLayout:
    """Where an EDF or BDF file keeps its samples: the header's size, the data records it holds
    and every signal's samples per record (annotation signals included)."""

    header_bytes: int
    records: int
    per_record: list[int]
    sample_bytes: int
    notes: list[str]

    @property
    def record_bytes(self) -> int:
        return sum(self.per_record) * self.sample_bytes

    @property
    def data_end(self) -> int:
        return self.header_bytes + self.records * self.record_bytes


def declared_layout(head: bytes, size: int, path: str, fmt: str,
                    read: Callable[[int], bytes]) -> RecordLayout:
    """The layout the header declares, checked against the `size` bytes the file holds; `read(n)`
    gives the first `n` bytes of the file (the whole header, once its size is known)."""
    kind = fmt.upper()
    if size < _FIXED_HEADER or len(head) < _FIXED_HEADER:
        raise SignalFileError(f"{path}: truncated: {size} bytes, less than the "
                              f"{_FIXED_HEADER}-byte {kind} header")
    count = _header_number(head, _NUM_SIGNALS, path, "number of signals")
    if count < 1:
        raise bad_field(path, "", "number of signals", count, "must be at least 1")
    header = _FIXED_HEADER * (count + 1)
    declared_header = _header_number(head, _HEADER_BYTES, path, "header size")
    if declared_header != header:
        raise bad_field(path, "", "header size", declared_header,
                        f"disagrees with {count} signals ({header} bytes)")
    if size < header:
        raise SignalFileError(f"{path}: truncated: {size} bytes, less than its "
                              f"{header}-byte header")
    data = read(header)
    # edfio divides by it before anything is checked: 0 ends in an error of its own.
    duration = _header_number(data, _DURATION, path, "data record duration", float)
    if not (math.isfinite(duration) and duration > 0):
        raise bad_field(path, "", "data record duration", duration,
                        "is not a positive number of seconds")
    per_record = []
    for k in range(count):
        start = _FIXED_HEADER + count * _SAMPLES_PER_RECORD + 8 * k
        n = _header_number(data, (start, 8), path, f"signal {k}: samples per data record")
        if n < 1:
            raise bad_field(path, f"signal {k}", "samples per data record", n,
                            "must be at least 1")
        per_record.append(n)
    record_bytes = sum(per_record) * _SAMPLE_BYTES[fmt]
    held = size - header
    records = _header_number(data, _NUM_RECORDS, path, "number of data records")
    notes = []
    if records == -1:  # a recording still in progress when the header was written
        records = held // record_bytes
        notes.append(f"{path}: the header leaves the number of data records open; the file "
                     f"holds {records}")
    if records < 1:
        raise bad_field(path, "", "number of data records", records, "must be at least 1")
    if held < records * record_bytes:
        raise SignalFileError(
            f"{path}: truncated: the header declares {records} data records of {record_bytes} "
            f"bytes, the file holds {held} bytes of data")
    if held > records * record_bytes:
        notes.append(f"{path}: {held - records * record_bytes} bytes after the last data record "
                     "ignored")
    return RecordLayout(header, records, per_record, _SAMPLE_BYTES[fmt], notes)


def _check_signal(path: str, where: str, s: object, fmt: str, duration: float) -> float:
    """The rate of a signal whose calibration fields hold up; the error naming the first that
    does not."""
    lo, hi = _EDF_DIGITAL[fmt]
    dmin, dmax = int(s.digital_min), int(s.digital_max)  # type: ignore[attr-defined]
    if not lo <= dmin < dmax <= hi:
        raise bad_field(path, where, "digital range", (dmin, dmax),
                        f"is not an increasing range within [{lo}, {hi}]")
    for name in ("physical_min", "physical_max"):
        value = float(getattr(s, name))
        if not math.isfinite(value):
            raise bad_field(path, where, name.replace("_", " "), value, "is not a number")
    if float(s.physical_min) == float(s.physical_max):  # type: ignore[attr-defined]
        raise bad_field(path, where, "physical range",
                        (float(s.physical_min), float(s.physical_max)),  # type: ignore
                        "is one value: it maps every code to it")
    spr = int(s.samples_per_data_record)  # type: ignore[attr-defined]
    return check_rate(path, where, "rate (samples per data record / record duration)",
                      spr / duration)


def _read_edf(path: str, fmt: str, request: ReadRequest) -> Signal:
    edfio = require("edfio", path)
    reader = edfio.read_bdf if fmt == "bdf" else edfio.read_edf
    with open(path, "rb") as f:
        data, notes = _declared_data(f.read(), path, fmt)
    try:
        with warnings.catch_warnings():
            # Its warnings are about what the checks around it refuse or note.
            warnings.simplefilter("ignore")
            edf = reader(data)
            duration = float(edf.data_record_duration)
            channels: list[Channel] = []
            info: list[ChannelInfo] = []
            for k, s in enumerate(edf.signals):
                where = f"signal {k} ({s.label!r})"
                rate = _check_signal(path, where, s, fmt, duration)
                channels.append(np.array(s.data, dtype=np.float64))
                info.append(ChannelInfo(
                    label=s.label, rate=rate, unit=s.physical_dimension,
                    physical_range=(float(s.physical_min), float(s.physical_max)),
                    digital_range=(int(s.digital_min), int(s.digital_max)),
                    extra={"transducer": s.transducer_type, "prefiltering": s.prefiltering}))
            if not channels:
                raise SignalFileError(f"{path}: holds no signal, only annotations")
            attrs = {"patient": edf.local_patient_identification,
                     "recording": edf.local_recording_identification,
                     "data_record_duration": duration, "reserved": edf.reserved.strip()}
            try:
                start: str | None = edf.startdatetime.isoformat()
            except Exception:  # an anonymised date has none; the time of day stays
                start = None
                attrs["starttime"] = edf.starttime.isoformat()
            annotations = [Annotation(float(a.onset),
                                      None if a.duration is None else float(a.duration), a.text)
                           for a in edf.annotations]
    except SignalFileError:
        raise
    except Exception as exc:  # edfio's own, or Python's on a field it could not parse
        raise SignalFileError(f"{path}: not a readable {fmt.upper()} file "
                              f"({type(exc).__name__}: {one_line(exc)})") from None
    bits = 24 if fmt == "bdf" else 16
    description = f"{fmt.upper()}, {channels_at(info)}, {len(annotations)} annotations"
    return Signal(
        channels, None, description, notes=notes, sample_bits=bits,
        stored_bytes=sum(c.size for c in channels) * bits // 8, info=info, start=start,
        annotations=annotations, source=fmt, attrs=attrs)


def edf_ranges(info: ChannelInfo, samples: Channel, fmt: str) -> ChannelInfo:
    """The ranges a channel is written with: its own when the format holds them, else the
    format's digital range over the samples' own range, widened outward so that the header's
    rounded limits still hold every sample."""
    lo, hi = _EDF_DIGITAL[fmt]
    if (info.grid is not None and lo <= info.grid.min_code and info.grid.max_code <= hi
            and all(_edf_header_field(v) == v for v in info.physical_range or ())):
        return info
    finite = samples[np.isfinite(samples)]
    pmin, pmax = (float(finite.min()), float(finite.max())) if finite.size else (-1.0, 1.0)
    if pmin == pmax:
        pmin, pmax = pmin - 1.0, pmax + 1.0
    span = (pmax - pmin) * 1e-6
    return ChannelInfo(physical_range=(_edf_header_field(pmin - span),
                                       _edf_header_field(pmax + span)),
                       digital_range=(lo, hi))


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


def _time_of_day(attrs: dict[str, object], fmt: str, signal: Signal) -> datetime.time | None:
    """The start time of a file of this format whose date is anonymised."""
    text = attrs.get("starttime") if signal.source == fmt else None
    try:
        return datetime.time.fromisoformat(text) if isinstance(text, str) else None
    except ValueError:
        return None


def _flavour(signal: Signal, fmt: str) -> str | None:
    """The reserved field of the file the signal came from when it is of this format (``""``
    for legacy EDF, ``"EDF+C"``, ``"BDF+C"``, ...); None when unknown."""
    reserved = signal.attrs.get("reserved") if signal.source == fmt else None
    return reserved if isinstance(reserved, str) else None


def _encode_edf(path: str, signal: Signal, fmt: str, sample: str | None) -> Encoded:
    edfio = require("edfio", path)
    make = edfio.BdfSignal if fmt == "bdf" else edfio.EdfSignal
    notes: list[str] = []
    signals = []
    rates = [needs_rate(signal, k, path) for k in range(len(signal.channels))]
    record_duration = _record_duration(signal, rates, path)
    for k, samples in enumerate(signal.channels):
        info, where = signal.channel_info(k), signal.channel_name(k)
        ranges = edf_ranges(info, samples, fmt)
        assert ranges.grid is not None
        codes = to_codes(samples, ranges.grid, ranges.grid.min_code, where, notes,
                         np.int32 if fmt == "bdf" else np.int16)
        texts = {"label": info.label, "physical dimension": info.unit,
                 "transducer": str(info.extra.get("transducer", "")),
                 "prefiltering": str(info.extra.get("prefiltering", ""))}
        for field, text in texts.items():
            header_text(path, where, field, text, _TEXT_FIELDS[field])
        try:
            signals.append(make.from_digital(
                codes, rates[k], label=texts["label"],
                physical_dimension=texts["physical dimension"],
                physical_range=ranges.physical_range, digital_range=ranges.digital_range,
                transducer_type=texts["transducer"], prefiltering=texts["prefiltering"]))
        except ValueError as exc:
            raise SignalFileError(f"{path}: {where}: {one_line(exc)}") from None
    start = parse_start(signal.start)
    flavour = _flavour(signal, fmt)
    starttime = start.time() if start is not None else _time_of_day(signal.attrs, fmt, signal)
    for a in signal.annotations:
        if any(c in a.text for c in _TAL_DELIMITERS):
            raise SignalFileError(f"{path}: annotation {a.text!r} at {a.onset:g} s holds a "
                                  "character EDF+ separates annotations with")
    annotations = [edfio.EdfAnnotation(a.onset, a.duration, a.text) for a in signal.annotations]
    # EDF+ (and BDF+) keep annotations and a start's fraction of a second in an annotation
    # signal: an EDF+ source stays EDF+ even without either. A legacy source stays legacy: one
    # that held annotations had an annotation signal under its legacy header, and gets it back
    # the same way (readers such as pyedflib refuse an EDF+C header over legacy text fields).
    plus = (flavour or "").startswith(("EDF+", "BDF+"))
    if plus and not (flavour or "").endswith("+C"):
        notes.append(f"{path}: the {flavour} source is written as {fmt.upper()}+C")
    for name in ("patient", "recording"):
        if isinstance(signal.attrs.get(name), str):
            header_text(path, "", name, signal.attrs[name], 80)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # its note that a fraction of a second needs EDF+C
            edf = (edfio.Bdf if fmt == "bdf" else edfio.Edf)(
                signals, starttime=starttime,
                annotations=annotations if plus else annotations or None,
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
    data = out.getvalue()
    if flavour is not None and not plus and edf.reserved != flavour:
        # A legacy file's own reserved text (blank, or "24BIT" of BioSemi's BDF), where edfio
        # leaves it blank or writes EDF+C for an annotation signal.
        data = data[:192] + header_text(path, "", "reserved", flavour, 44).encode(
            "ascii").ljust(44) + data[236:]
    return Encoded({path: data}, notes)


for _name in ("edf", "bdf"):
    register_format(Format(_name, (f".{_name}",), _read_edf, _encode_edf, library="edfio",
                           extra="edf", what="EDF and BDF files"))
