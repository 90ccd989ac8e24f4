"""WFDB records through wfdb: a header ``NAME.hea``, its signal files and the annotation files
beside it, read as physical values; written with each channel's own sample format, gain and
baseline where known, and the annotations beside the record.

The header is read first and every field the samples depend on is checked, and the sizes it
declares against the signal files on disk, before wfdb allocates the record."""

from __future__ import annotations

import datetime
import math
import os
import re
import tempfile
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
    quiet_library,
    to_codes,
)
from .extras import require
from .registry import Format, ReadRequest, register_format
from .types import Channel, ChannelInfo, Encoded, Signal, SignalFileError

# Sample format -> bits of a sample; the lowest code of each is the format's missing value.
WFDB_BITS = {"8": 8, "16": 16, "24": 24, "32": 32, "61": 16, "80": 8, "160": 16, "212": 12,
              "310": 10, "311": 10}
# Sample format -> (bytes, samples) of its packing: format 212 packs two samples in 3 bytes,
# 310 and 311 three in 4.
_WFDB_PACKING = {"212": (3, 2), "310": (4, 3), "311": (4, 3)}
_WFDB_DEFAULT_FMT = "16"
# The fields of a WFDB annotation file kept for writing it back, one list each.
_ANNOTATION_FIELDS = ("sample", "symbol", "subtype", "chan", "num", "aux_note")
# An annotation file's note: a 16-bit word of code 63 and the text's length, then the text. The
# notes that start with "## " define the file's time resolution and its own labels.
_AUX_CODE = 63
_TIME_RESOLUTION = re.compile(r"## time resolution: \d+\.?\d*")
_DEFINITION_NOTES = ("## annotation type definitions", "## end of definitions")


def _wfdb_bounds(fmt: str) -> tuple[int, int]:
    half = 1 << (WFDB_BITS[fmt] - 1)
    return -half + 1, half - 1


def grid_info(fmt: str, gain: float, baseline: int) -> ChannelInfo:
    """The ranges of a channel of `fmt` with `gain` and `baseline`: ``(code - baseline) / gain``
    at both ends of the format's codes, its missing-value code left out."""
    lo, hi = _wfdb_bounds(fmt)
    return ChannelInfo(physical_range=((lo - baseline) / gain, (hi - baseline) / gain),
                       digital_range=(lo, hi))


def _signal_file_bytes(fmt: str, samples: int) -> int:
    packed, per = _WFDB_PACKING.get(fmt, (WFDB_BITS[fmt] // 8, 1))
    return -(-samples * packed // per)


def _number(text: str, path: str, where: str, field: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise bad_field(path, where, field, text, "is not a number") from None


def _header_lines(path: str) -> list[list[str]]:
    """The fields of every line of a header that is not blank or a comment."""
    with open(path, "rb") as f:
        return [line.split() for line in f.read().decode("latin-1").splitlines()
                if line.strip() and not line.lstrip().startswith("#")]


def _check_text(header: Any, path: str) -> None:
    """Holds the numbers wfdb parsed to the header's own text: its parser skips a field it
    cannot match (a negative frequency becomes the default 250 Hz, ``1e300`` becomes 1)."""
    lines = _header_lines(path)
    record = lines[0] if lines else []
    if len(record) > 2:
        fs = _number(record[2].split("/")[0], path, "", "sampling frequency")
        check_rate(path, "", "sampling frequency", fs)
        if fs != header.fs:
            raise bad_field(path, "", "sampling frequency", record[2], f"reads as {header.fs}")
    if len(record) > 3 and _number(record[3], path, "", "number of samples") != header.sig_len:
        raise bad_field(path, "", "number of samples", record[3], "is not a whole number")
    for k, fields in enumerate(lines[1:1 + int(header.n_sig or 0)]):
        if len(fields) > 2:
            text = re.split(r"[(/]", fields[2])[0]
            gain = _number(text, path, f"signal {k}", "gain")
            # A gain of 0 stands for the default of 200 units per millivolt.
            if not math.isfinite(gain) or gain != header.adc_gain[k] and gain != 0:
                raise bad_field(path, f"signal {k}", "gain", text, "is not a finite number")


def check_header(header: Any, path: str, directory: str) -> int:
    """Refuses a header whose fields the samples cannot be read with, or whose signal files
    hold fewer samples than it declares; the bytes of the header and its signal files."""
    if not hasattr(header, "adc_gain"):
        raise SignalFileError(f"{path}: a multi-segment record; read its segments one by one")
    count = int(header.n_sig or 0)
    if count < 1:
        raise bad_field(path, "", "number of signals", count, "must be at least 1")
    fs = float(header.fs) if header.fs is not None else math.nan
    check_rate(path, "", "sampling frequency", fs)
    _check_text(header, path)
    length = header.sig_len
    if length is not None and length < 0:
        raise bad_field(path, "", "number of samples", length, "is negative")
    files: dict[str, tuple[str, int, int]] = {}  # file -> (format, byte offset, samples)
    for k in range(count):
        where = f"signal {k} ({header.sig_name[k]!r})"
        fmt, gain, spf = header.fmt[k], header.adc_gain[k], header.samps_per_frame[k]
        if fmt not in WFDB_BITS:
            raise bad_field(path, where, "sample format", fmt,
                            f"is not one of {', '.join(WFDB_BITS)}")
        if not (isinstance(gain, (int, float)) and math.isfinite(gain) and gain != 0):
            raise bad_field(path, where, "gain", gain, "is not a finite non-zero number")
        if not (isinstance(spf, int) and spf >= 1):
            raise bad_field(path, where, "samples per frame", spf, "must be at least 1")
        check_rate(path, where, "rate (frequency x samples per frame)", fs * spf)
        name = str(header.file_name[k])
        if os.path.isabs(name) or ".." in name.replace("\\", "/").split("/"):
            raise bad_field(path, where, "signal file", name, "lies outside the record's "
                            "directory")
        # The signals of one file are interleaved frame by frame, in one format.
        _, offset, samples = files.get(name, (fmt, 0, 0))
        files[name] = (fmt, max(offset, int(header.byte_offset[k] or 0)), samples + spf)
    record_bytes = os.path.getsize(path)
    for name, (fmt, offset, per_frame) in files.items():
        size = offset + _signal_file_bytes(fmt, (length or 0) * per_frame)
        held = os.path.getsize(os.path.join(directory, name))
        if held < size:
            raise SignalFileError(f"{path}: truncated: the header declares {length} frames, "
                                  f"which take {size} bytes of {name}; it holds {held}")
        record_bytes += held
    return record_bytes


def _check_definitions(file_name: str) -> None:
    """Refuses an annotation file whose notes wfdb's reader would loop on forever: it reads
    every note that starts with ``## `` as a definition, and advances past one only when it is
    the first time resolution or the start of the label definitions."""
    with open(file_name, "rb") as f:
        data = f.read()
    resolutions = 0
    for found in re.finditer(rb"## ", data):
        at = found.start()
        word = int.from_bytes(data[at - 2:at], "little") if at >= 2 else 0
        if word >> 10 != _AUX_CODE:  # not the text of a note
            continue
        note = data[at:at + (word & 0x3FF)].decode("latin-1")
        if _TIME_RESOLUTION.match(note):
            resolutions += 1
        if note.startswith(_DEFINITION_NOTES) or resolutions == 1 and _TIME_RESOLUTION.match(
                note):
            continue
        raise SignalFileError(f"{file_name}: not a readable WFDB annotation file (note {note!r} "
                              "is no definition wfdb reads)")


def read_annotations(wfdb: Any, record_name: str, path: str,
                      extensions: tuple[str, ...] | None) -> dict[str, Any]:
    """The annotation files beside the record, by extension: every one wfdb knows that exists,
    or those asked for."""
    known = tuple(c.extension for c in wfdb.io.annotation.ann_classes)
    found: dict[str, Any] = {}
    for ext in extensions if extensions is not None else known:
        file_name = f"{record_name}.{ext}"
        if extensions is None and not os.path.isfile(file_name):
            continue
        try:
            _check_definitions(file_name)
            with quiet_library("wfdb"):
                ann = wfdb.rdann(record_name, ext)
            found[ext] = {"fs": None if ann.fs is None else float(ann.fs)} | {
                name: [v.item() if isinstance(v, np.generic) else v
                       for v in (getattr(ann, name) if getattr(ann, name) is not None
                                 else [])] for name in _ANNOTATION_FIELDS}
        except (FileNotFoundError, SignalFileError):
            raise
        except Exception as exc:  # wfdb's own errors and Python's on a damaged file
            raise SignalFileError(f"{file_name}: not a readable WFDB annotation file "
                                  f"({type(exc).__name__}: {one_line(exc)})") from None
    return found


def _read_wfdb(path: str, fmt: str, request: ReadRequest) -> Signal:
    wfdb = require("wfdb", path)
    record_name = path[: -len(".hea")] if path.lower().endswith(".hea") else path
    if not os.path.exists(record_name + ".hea"):
        raise FileNotFoundError(2, "No such file or directory", path)
    if not _header_lines(record_name + ".hea"):
        raise SignalFileError(f"{path}: not a WFDB header: it holds no record line")
    try:
        with quiet_library("wfdb"):
            record_bytes = check_header(wfdb.rdheader(record_name), record_name + ".hea",
                                         os.path.dirname(record_name))
            record = wfdb.rdrecord(record_name, smooth_frames=False)
    except (SignalFileError, FileNotFoundError):
        raise
    except Exception as exc:  # wfdb's own errors and Python's on a field it could not parse
        raise not_readable(path, exc) from None
    channels = [np.asarray(samples, dtype=np.float64) for samples in record.e_p_signal]
    info, start, bits, attrs = record_metadata(wfdb, record, record_name, path, request)
    return Signal(
        channels, None, f"WFDB record, {channels_at(info)}",
        sample_bits=bits, stored_bytes=sum(c.size for c in channels) * bits // 8, info=info,
        start=start, source=fmt, attrs=attrs, file_bytes=record_bytes)


def not_readable(path: str, exc: Exception) -> SignalFileError:
    """The refusal of a record the wfdb library could not read (its own error, in one line)."""
    return SignalFileError(f"{path}: not a readable WFDB record ({type(exc).__name__}: "
                           f"{one_line(exc)})")


def record_metadata(wfdb: Any, record: Any, record_name: str, path: str, request: ReadRequest,
                    ) -> tuple[list[ChannelInfo], str | None, int, dict[str, Any]]:
    """What a record's header and annotation files say: each channel's info, the start (ISO
    8601), the widest sample's bits and the record's attributes (comments, annotations)."""
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
    bits = max(WFDB_BITS[f] for f in record.fmt[:record.n_sig])
    attrs: dict[str, Any] = {"comments": list(record.comments or [])}
    annotations = read_annotations(wfdb, record_name, path, request.annotators)
    if annotations:
        attrs["annotations"] = annotations
    return info, start.isoformat() if start is not None else None, bits, attrs


def _wfdb_calibration(info: ChannelInfo, samples: Channel) -> tuple[str, float, int]:
    """(sample format, gain, baseline) of a channel: its own, else from its ranges, else from its
    samples' range over the default format."""
    extra = info.extra
    if extra.get("fmt") in WFDB_BITS and extra.get("adc_gain"):
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


def _header_names(signal: Signal, path: str, notes: list[str]) -> tuple[list[str], list[str]]:
    """Labels and units as a header line holds them: its fields are separated by spaces, so
    spaces become underscores (noted); control characters are refused."""
    labels, units, renamed = [], [], []
    for k in range(len(signal.channels)):
        info, where = signal.channel_info(k), signal.channel_name(k)
        label = "_".join(header_text(path, where, "label", info.label).split()) or f"ch{k}"
        units.append("_".join(header_text(path, where, "unit", info.unit).split()) or "NU")
        if info.label and info.label != label:
            renamed.append(f"{info.label!r} as {label!r}")
        labels.append(label)
    if renamed:
        notes.append(f"labels without spaces: {', '.join(renamed)}")
    return labels, units


def _write_annotations(wfdb: Any, record_name: str, scratch: str, annotations: Any,
                       path: str) -> None:
    if not isinstance(annotations, dict):
        return
    for ext, ann in annotations.items():
        if not (isinstance(ann, dict) and ann.get("sample")):
            continue
        fields = {name: ann.get(name) or None for name in _ANNOTATION_FIELDS}
        for note in fields["aux_note"] or []:
            header_text(path, f"annotation file .{ext}", "note", str(note))
        wfdb.wrann(record_name, str(ext), np.asarray(fields.pop("sample"), dtype=np.int64),
                   fs=ann.get("fs"), write_dir=scratch,
                   **{k: (np.asarray(v) if k in ("subtype", "chan", "num") else v)
                      for k, v in fields.items() if v is not None})


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
        grid = grid_info(fmt, gain, baseline).grid
        assert grid is not None
        fmts.append(fmt)
        gains.append(gain)
        baselines.append(baseline)
        # The code below the range is the format's missing value: a gap reads back as NaN.
        codes.append(to_codes(samples, grid, grid.min_code - 1, signal.channel_name(k), notes))
    start = parse_start(signal.start)
    labels, units = _header_names(signal, path, notes)
    comments = [header_text(path, "", "comment", str(c))
                for c in signal.attrs.get("comments", [])]
    with tempfile.TemporaryDirectory() as scratch, quiet_library("wfdb"):
        try:
            wfdb.wrsamp(
                record_name, fs=frame_rate, units=units, sig_name=labels, e_d_signal=codes,
                samps_per_frame=[int(p) for p in per_frame], fmt=fmts, adc_gain=gains,
                baseline=baselines, comments=comments,
                base_date=start.date() if start else None,
                base_time=start.time() if start else None, write_dir=scratch)
            if signal.source == "wfdb":
                _write_annotations(wfdb, record_name, scratch, signal.attrs.get("annotations"),
                                   path)
        except SignalFileError:
            raise
        except Exception as exc:  # wfdb reports what it refuses with plain Exception
            raise SignalFileError(f"{path}: {one_line(exc)}") from None
        files = {}
        for file_name in sorted(os.listdir(scratch)):
            with open(os.path.join(scratch, file_name), "rb") as f:
                files[os.path.join(directory, file_name)] = f.read()
    return Encoded(files, notes)


register_format(Format("wfdb", (".hea",), _read_wfdb, _encode_wfdb, library="wfdb",
                       extra="wfdb", what="WFDB records", takes=frozenset({"annotators"})))


def bytes_per_sample(fmt: str) -> float:
    """The bytes one sample of `fmt` takes in a signal file (1.5 for format 212)."""
    packed, per = _WFDB_PACKING.get(fmt, (WFDB_BITS[fmt] // 8, 1))
    return packed / per
