"""The recording formats, through the libraries their communities use: EDF, EDF+ and BDF (edfio),
WFDB records (wfdb), audio (soundfile: WAV of every sample type including WAVE_FORMAT_EXTENSIBLE,
FLAC, OGG) and HDF5 datasets (h5py).

Each library is imported when its format is used; a missing one is a `SignalFileError` naming the
extra that installs it (``pip install 'vantrel[edf]'``). Readers give physical values: integer
samples are scaled by the file's calibration, and what the file says about each channel (label,
rate, unit, ranges) comes along in the `Signal`. Writers convert back to the format's integers by
the same calibration and count the samples that do not fit its range: they are clipped and
reported in `Encoded.notes`, never silently.
"""

from __future__ import annotations

import contextlib
import datetime
import importlib
import io
import math
import os
import re
import tempfile
import warnings
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from types import ModuleType
from typing import Any

import numpy as np

from .signal_io import (
    FORMAT_SUFFIX,
    WAV_SAMPLE_KINDS,
    Annotation,
    Channel,
    ChannelInfo,
    Signal,
    SignalFileError,
    _array_signal,
    _encode_plain,
    split_dataset,
)

# Module -> (the extra that installs it, the files it is needed for).
EXTRAS: dict[str, tuple[str, str]] = {
    "edfio": ("edf", "EDF and BDF files"),
    "wfdb": ("wfdb", "WFDB records"),
    "soundfile": ("audio", "audio files"),
    "h5py": ("hdf5", "HDF5 files"),
    "zarr": ("zarr", "archives"),
}


class MissingExtraError(SignalFileError):
    """The library a format needs is not installed; the message says which extra installs it."""


def _require(module: str, path: str) -> ModuleType:
    """Imports the library of a format, or raises `MissingExtraError` naming its extra."""
    try:
        return importlib.import_module(module)
    except ImportError:
        extra, what = EXTRAS[module]
        raise MissingExtraError(
            f"{path}: {what} need the {module} package: pip install 'vantrel[{extra}]'"
        ) from None


@dataclass
class Encoded:
    """The files a writer made (path -> bytes) and what the user should hear about them."""

    files: dict[str, bytes]
    notes: list[str] = field(default_factory=list)


def _digital_scale(info: ChannelInfo) -> tuple[float, float]:
    """(gain, offset) with ``digital = physical * gain + offset`` for a channel with ranges."""
    assert info.physical_range is not None and info.digital_range is not None
    (pmin, pmax), (dmin, dmax) = info.physical_range, info.digital_range
    gain = (dmax - dmin) / (pmax - pmin)
    return gain, dmin - pmin * gain


def _to_digital(values: Channel, gain: float, offset: float, bounds: tuple[int, int], gap: int,
                what: str, notes: list[str], dtype: Any = np.int64) -> np.ndarray:
    """``rint(values * gain + offset)`` as `dtype` within `bounds`; the samples beyond them are
    clipped and counted in `notes`, NaN samples become `gap` and are counted too."""
    lo, hi = bounds
    codes = np.multiply(values, gain, dtype=np.float64)
    with np.errstate(invalid="ignore", over="ignore"):
        if offset:
            codes += offset
        np.rint(codes, out=codes)
        clipped = int(np.count_nonzero(codes < lo)) + int(np.count_nonzero(codes > hi))
    if clipped:
        np.clip(codes, lo, hi, out=codes)
        notes.append(f"{what}: {clipped} samples clipped to the digital range [{lo}, {hi}]")
    gaps = np.isnan(codes)
    if gaps.any():
        codes[gaps] = max(lo, min(hi, gap))
        notes.append(f"{what}: {int(np.count_nonzero(gaps))} NaN samples written as {gap}")
    return codes.astype(dtype)


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


def _channel_lengths_agree(signal: Signal, path: str) -> None:
    lengths = {c.size for c in signal.channels}
    if len(lengths) > 1:
        raise SignalFileError(
            f"{path}: the channels have different lengths ({sorted(lengths)}); this format holds "
            "channels of one length: write .edf, .bdf, .hea or an archive")


def _one_rate(signal: Signal, path: str) -> float | None:
    rates = {signal.channel_info(k).rate for k in range(len(signal.channels))}
    if len(rates) > 1:
        raise SignalFileError(f"{path}: the channels have different sample rates; this format "
                              "holds one: write .edf, .bdf, .hea or an archive")
    return rates.pop() if rates else None


def _needs_rate(signal: Signal, k: int, path: str) -> float:
    rate = signal.channel_info(k).rate
    if rate is None or not rate > 0:
        raise SignalFileError(f"{path}: the sample rate of {signal.channel_name(k)} is not known; "
                              "give it with --rate")
    return rate


def _channels_at(info: list[ChannelInfo]) -> str:
    rates = sorted({i.rate for i in info if i.rate is not None})
    noun = "channel" if len(info) == 1 else "channels"
    return f"{len(info)} {noun} at {'/'.join(f'{r:g}' for r in rates)} Hz"


@contextlib.contextmanager
def _quiet_library(module: str) -> Iterator[None]:
    """Hides the library's warnings about its own dependencies: nothing the user can act on."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", module=rf"{module}\b")
        yield


def _parse_start(start: str | None) -> datetime.datetime | None:
    if not start:
        return None
    try:
        return datetime.datetime.fromisoformat(start)
    except ValueError:
        return None


# ----------------------------------------------------------------------------------------------
# EDF, EDF+ and BDF

_EDF_DIGITAL = {"edf": (-32768, 32767), "bdf": (-8388608, 8388607)}


def _read_edf(path: str, fmt: str) -> Signal:
    edfio = _require("edfio", path)
    reader = edfio.read_bdf if fmt == "bdf" else edfio.read_edf
    with open(path, "rb") as f:
        data = f.read()
    try:
        edf = reader(data)
    except (ValueError, IndexError, UnicodeError) as exc:
        raise SignalFileError(f"{path}: not a readable {fmt.upper()} file ({_one_line(exc)})"
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
    description = (f"{fmt.upper()}, {_channels_at(info)}, {len(annotations)} annotations")
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


def _encode_edf(path: str, signal: Signal, fmt: str) -> Encoded:
    edfio = _require("edfio", path)
    make = edfio.BdfSignal if fmt == "bdf" else edfio.EdfSignal
    notes: list[str] = []
    signals = []
    rates = [_needs_rate(signal, k, path) for k in range(len(signal.channels))]
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
        gain, offset = _digital_scale(ranges)
        dmin, dmax = ranges.digital_range  # type: ignore[misc]
        codes = _to_digital(samples, gain, offset, (dmin, dmax), dmin, signal.channel_name(k),
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
            raise SignalFileError(f"{path}: {signal.channel_name(k)}: {_one_line(exc)}") from None
    start = _parse_start(signal.start)
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
        raise SignalFileError(f"{path}: {_one_line(exc)}") from None
    return Encoded({path: out.getvalue()}, notes)


# ----------------------------------------------------------------------------------------------
# WFDB records: a header NAME.hea and its signal files

# Sample format -> bits of a sample; the lowest code of each is the format's missing value.
_WFDB_BITS = {"8": 8, "16": 16, "24": 24, "32": 32, "61": 16, "80": 8, "160": 16, "212": 12,
              "310": 10, "311": 10}
_WFDB_DEFAULT_FMT = "16"


def _wfdb_bounds(fmt: str) -> tuple[int, int]:
    half = 1 << (_WFDB_BITS[fmt] - 1)
    return -half + 1, half - 1


def _read_wfdb(path: str, fmt: str) -> Signal:
    wfdb = _require("wfdb", path)
    record_name = path[: -len(".hea")] if path.lower().endswith(".hea") else path
    if not os.path.exists(record_name + ".hea"):
        raise FileNotFoundError(2, "No such file or directory", path)
    try:
        with _quiet_library("wfdb"):
            record = wfdb.rdrecord(record_name, smooth_frames=False)
    except (ValueError, OSError, IndexError, KeyError, AttributeError) as exc:
        raise SignalFileError(f"{path}: not a readable WFDB record ({_one_line(exc)})") from None
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
        channels, None, f"WFDB record, {_channels_at(info)}",
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


def _encode_wfdb(path: str, signal: Signal) -> Encoded:
    wfdb = _require("wfdb", path)
    directory, name = os.path.split(path)
    record_name = name[: -len(".hea")] if name.lower().endswith(".hea") else name
    notes: list[str] = []
    rates = [_needs_rate(signal, k, path) for k in range(len(signal.channels))]
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
        codes.append(_to_digital(samples, gain, baseline, (lo, hi), lo - 1,
                                signal.channel_name(k), notes))
    start = _parse_start(signal.start)
    # A header line separates its fields by spaces: names and units hold none.
    labels = [("_".join(signal.channel_info(k).label.split()) or f"ch{k}")
              for k in range(len(codes))]
    units = ["_".join(signal.channel_info(k).unit.split()) or "NU" for k in range(len(codes))]
    renamed = [f"{i.label!r} as {new!r}" for i, new in zip(
        (signal.channel_info(k) for k in range(len(codes))), labels, strict=True)
               if i.label and i.label != new]
    if renamed:
        notes.append(f"labels without spaces: {', '.join(renamed)}")
    with tempfile.TemporaryDirectory() as scratch, _quiet_library("wfdb"):
        try:
            wfdb.wrsamp(
                record_name, fs=frame_rate, units=units, sig_name=labels, e_d_signal=codes,
                samps_per_frame=[int(p) for p in per_frame], fmt=fmts, adc_gain=gains,
                baseline=baselines, comments=[str(c) for c in signal.attrs.get("comments", [])],
                base_date=start.date() if start else None,
                base_time=start.time() if start else None, write_dir=scratch)
        except Exception as exc:  # wfdb reports what it refuses with plain Exception
            raise SignalFileError(f"{path}: {_one_line(exc)}") from None
        files = {}
        for file_name in sorted(os.listdir(scratch)):
            with open(os.path.join(scratch, file_name), "rb") as f:
                files[os.path.join(directory, file_name)] = f.read()
    return Encoded(files, notes)


# ----------------------------------------------------------------------------------------------
# Audio through libsndfile

# soundfile's subtype -> bits of a PCM sample.
_PCM_SUBTYPES = {"PCM_U8": 8, "PCM_S8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}
_AUDIO_FORMATS = {"wav": "WAV", "flac": "FLAC", "ogg": "OGG"}
# The line of libsndfile's log about a WAV data chunk longer than the file.
_CUT_DATA_CHUNK = re.compile(r"^data\s*:\s*(\d+)\s*\(should be (\d+)\)", re.MULTILINE)


def _read_audio(path: str, fmt: str) -> Signal:
    sf = _require("soundfile", path)
    with open(path, "rb") as f:
        try:
            with sf.SoundFile(f) as audio:
                kind, subtype, rate = audio.format, audio.subtype, audio.samplerate
                bits = _PCM_SUBTYPES.get(subtype)
                dtype = ("float64" if subtype == "DOUBLE" else "float32" if not bits
                         else "int16" if bits <= 16 else "int32")
                frames = audio.read(dtype=dtype, always_2d=True)
                log = audio.extra_info
        except (sf.LibsndfileError, RuntimeError, TypeError) as exc:
            raise SignalFileError(f"{path}: not a readable {fmt.upper()} file "
                                  f"({_one_line(exc)})") from None
    # libsndfile reads a cut WAV file up to its end and says so only in its log; losing the
    # rest without a word would pass a damaged recording off as whole. A data size of 2**32 - 1
    # comes from a writer that could not seek back: it runs to the end.
    cut = _CUT_DATA_CHUNK.search(log) if fmt == "wav" else None
    if cut is not None and int(cut.group(1)) != 0xFFFFFFFF:
        raise SignalFileError(f"{path}: truncated: the data chunk announces {cut.group(1)} "
                              f"bytes, the file holds {cut.group(2)}")
    if bits:
        # libsndfile gives PCM left-aligned in 16 or 32 bits; the full scale of `bits` maps to
        # [-1, 1). Up to 24 bits float32 holds every value exactly (the scale is a power of
        # two); 32 bits keep float64 until the codec rounds once.
        codes = frames >> (8 * frames.itemsize - bits)
        real = np.float32 if bits <= 24 else np.float64
        frames = codes.astype(real)
        frames *= real(2.0 ** (1 - bits))
        what = f"PCM {bits}-bit"
        sample = f"pcm{bits}"
    else:
        what = {"FLOAT": "float32", "DOUBLE": "float64"}.get(subtype, subtype.lower())
        sample = "float32"
    channels = [np.ascontiguousarray(frames[:, k]) for k in range(frames.shape[1])]
    stored = frames.size * bits // 8 if bits and fmt == "wav" else 0
    info = [ChannelInfo(rate=float(rate), physical_range=(-1.0, 1.0 - 2.0 ** (1 - bits)),
                        digital_range=(-(1 << (bits - 1)), (1 << (bits - 1)) - 1))
            if bits else ChannelInfo(rate=float(rate)) for _ in channels]
    noun = "channel" if len(channels) == 1 else "channels"
    description = f"{kind} {what}, {len(channels)} {noun}, {rate} Hz"
    return Signal(channels, rate, description, sample_bits=bits if stored else None,
                  stored_bytes=stored, info=info, source=fmt,
                  attrs={"container": kind, "sample": sample})


def _encode_audio(path: str, signal: Signal, fmt: str, sample: str | None) -> Encoded:
    sf = _require("soundfile", path)
    _channel_lengths_agree(signal, path)
    rate = _one_rate(signal, path) if signal.info else signal.rate
    if rate is None or rate != int(rate) or not 1 <= rate <= 0x7FFFFFFF:
        raise SignalFileError(f"{path}: sample rate {rate} does not fit an audio file")
    same = signal.source == fmt
    if sample is None:
        sample = signal.attrs.get("sample") if same else None
        sample = sample or ("pcm16" if fmt == "flac" else "float32")
    if sample not in WAV_SAMPLE_KINDS:
        raise SignalFileError(f"unknown sample kind {sample!r}")
    container = _AUDIO_FORMATS[fmt]
    if fmt == "wav" and (signal.attrs.get("container") == "WAVEX" and same
                         or len(signal.channels) > 2):
        container = "WAVEX"
    notes: list[str] = []
    if fmt == "ogg":
        subtype, data = "VORBIS", _interleaved(signal.channels, np.float32)
    elif sample == "float32":
        if fmt == "flac":
            raise SignalFileError(f"{path}: FLAC stores integer samples: give --wav-sample "
                                  "pcm16 or pcm24")
        subtype, data = "FLOAT", _interleaved(signal.channels, np.float32)
    else:
        bits = int(sample[3:])
        if fmt == "flac" and bits == 32:
            raise SignalFileError(f"{path}: FLAC stores at most 24 bits per sample")
        subtype = f"PCM_{bits}" if bits > 8 else "PCM_U8" if fmt == "wav" else "PCM_S8"
        full_scale = 1 << (bits - 1)
        # libsndfile takes PCM left-aligned in 16 or 32 bits and drops the low bits exactly.
        word = np.int16 if bits <= 16 else np.int32
        data = np.empty((signal.channels[0].size, len(signal.channels)), dtype=word)
        for k, c in enumerate(signal.channels):
            data[:, k] = _to_digital(
                c, full_scale, 0.0, (-full_scale, full_scale - 1), 0,
                signal.channel_name(k) if len(signal.channels) > 1 else "samples", notes, word)
        data <<= 8 * data.itemsize - bits
    sample_bytes = 4 if sample == "float32" else int(sample[3:]) // 8
    if fmt == "wav" and data.size * sample_bytes > 0xFFFFFFFF - 64:
        # RIFF sizes are 32-bit: a longer file would wrap them.
        raise SignalFileError(f"{path}: signal too long for a {fmt.upper()} file (over 4 GiB); "
                              "write .npy instead")
    out = io.BytesIO()
    try:
        sf.write(out, data, int(rate), subtype=subtype, format=container)
    except (sf.LibsndfileError, RuntimeError, ValueError) as exc:
        raise SignalFileError(f"{path}: {_one_line(exc)}") from None
    return Encoded({path: out.getvalue()}, notes)


def _interleaved(channels: list[Channel], dtype: Any) -> np.ndarray:
    return np.stack([np.asarray(c, dtype=dtype) for c in channels], axis=1)


# ----------------------------------------------------------------------------------------------
# HDF5 datasets

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


def _read_hdf5(path: str, dataset: str | None, channels_first: bool | None) -> Signal:
    file_name, named = split_dataset(path)
    h5py = _require("h5py", file_name)
    dataset = dataset or named
    try:
        f = h5py.File(file_name, "r")
    except OSError as exc:
        if not os.path.exists(file_name):
            raise
        raise SignalFileError(f"{file_name}: not a readable HDF5 file ({_one_line(exc)})"
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
    signal = _array_signal(array, f"{file_name}:{dataset}", channels_first)
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


def _encode_hdf5(path: str, signal: Signal) -> Encoded:
    file_name, dataset = split_dataset(path)
    h5py = _require("h5py", file_name)
    _channel_lengths_agree(signal, file_name)
    same = signal.source == "hdf5"
    dataset = dataset or (signal.attrs.get("dataset") if same else None) or _DEFAULT_DATASET
    notes: list[str] = []
    dtype = np.dtype(signal.attrs.get("dtype", "float32") if same else "float32")
    columns: list[np.ndarray] = []
    for k, c in enumerate(signal.channels):
        if dtype.kind in "iu":
            bounds = (int(np.iinfo(dtype).min), int(np.iinfo(dtype).max))
            columns.append(_to_digital(c, 1.0, 0.0, bounds, 0, signal.channel_name(k), notes))
        else:
            columns.append(np.asarray(c, dtype=dtype if dtype.kind == "f" else np.float32))
    if len(columns) == 1:
        data = columns[0]
    else:
        first = same and signal.attrs.get("channels_first")
        data = np.stack(columns, axis=0 if first else 1)
    attrs = dict(signal.attrs.get("attrs", {})) if same else {}
    if not same:
        rate = _one_rate(signal, file_name) if signal.info else signal.rate
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


# ----------------------------------------------------------------------------------------------

READERS: dict[str, Callable[[str, str], Signal]] = {
    "edf": _read_edf, "bdf": _read_edf, "wfdb": _read_wfdb,
    "wav": _read_audio, "flac": _read_audio, "ogg": _read_audio,
}


def encode_recording(path: str, signal: Signal, sample: str | None = None) -> Encoded:
    """The files that hold `signal` as the format of `path`'s suffix, with what the format can
    keep of its metadata.

    Parameters
    ----------
    path : str
        The file to write (its suffix chooses the format; ``.hea`` writes a WFDB record, whose
        signal files go beside it; an HDF5 path may name its dataset, ``out.h5:/a/data``).
    signal : Signal
        The channels and what is known of them. Channels of different rates need EDF, BDF or
        WFDB; every other format takes channels of one length.
    sample : str, optional
        The sample encoding of an audio file (one of `WAV_SAMPLE_KINDS`); by default the one the
        signal came in, else float32 (WAV) or pcm16 (FLAC).

    Returns
    -------
    Encoded
        Path -> bytes of every file, and notes for the user (samples clipped to a digital range,
        gaps written as a code).

    Raises
    ------
    SignalFileError
        A format that cannot hold the signal (the message says why), or a missing library.

    Examples
    --------
    >>> import numpy as np
    >>> from vantrel_tools.signal_io import Signal
    >>> encoded = encode_recording("two.npy", Signal([np.zeros(4), np.ones(4)]))
    >>> list(encoded.files), encoded.notes
    (['two.npy'], [])
    """
    from .signal_io import format_of

    fmt = format_of(path)
    if fmt is None or fmt not in FORMAT_SUFFIX:
        raise SignalFileError(f"{path}: cannot write this format")
    if not signal.channels:
        raise SignalFileError(f"{path}: no channel to write")
    if fmt in ("edf", "bdf"):
        return _encode_edf(path, signal, fmt)
    if fmt == "wfdb":
        return _encode_wfdb(path, signal)
    if fmt in _AUDIO_FORMATS:
        return _encode_audio(path, signal, fmt, sample)
    if fmt == "hdf5":
        return _encode_hdf5(path, signal)
    _channel_lengths_agree(signal, path)
    return Encoded({path: _encode_plain(fmt, signal.channels)})
