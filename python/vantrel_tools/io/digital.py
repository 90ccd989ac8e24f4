"""Physical values and the integer codes of a format: the calibration shared by the writers of
EDF, BDF, WFDB, PCM audio and integer HDF5 datasets, and the checks of rates and lengths a
format's layout needs."""

from __future__ import annotations

import contextlib
import datetime
import math
import warnings
from collections.abc import Iterator
from typing import Any

import numpy as np

from .types import Channel, ChannelInfo, SampleGrid, Signal, SignalFileError


# The sample rates a header may declare. A rate beyond them comes from a damaged field (an EDF
# record duration of 1e-30 s gives 2.56e32 Hz, one of 1e300 s 2.56e-298 Hz), never from a
# recording; the lowest an EDF header can spell without an exponent is one sample in 99999999 s.
MIN_RATE_HZ, MAX_RATE_HZ = 1e-9, 1e9


def to_codes(values: Channel, grid: SampleGrid, gap: int, what: str, notes: list[str],
             dtype: Any = np.int64) -> np.ndarray:
    """The codes of `values` on `grid`: ``clip(rint((y - origin) / step), min_code, max_code)``
    in float64, as `dtype`.

    This is the mapping the codec's quality search measures a candidate with, so every integer
    writer goes through it. The samples clipped are counted in `notes`; NaN samples become `gap`
    (a format's missing-value code, which may lie outside the range), counted too."""
    lo, hi = grid.min_code, grid.max_code
    codes = np.asarray(values, dtype=np.float64) - grid.origin
    with np.errstate(invalid="ignore", over="ignore"):
        codes /= grid.step
        np.rint(codes, out=codes)
        clipped = int(np.count_nonzero(codes < lo)) + int(np.count_nonzero(codes > hi))
    if clipped:
        np.clip(codes, lo, hi, out=codes)
        notes.append(f"{what}: {clipped} samples clipped to the digital range [{lo}, {hi}]")
    gaps = np.isnan(codes)
    if gaps.any():
        codes[gaps] = gap
        notes.append(f"{what}: {int(np.count_nonzero(gaps))} NaN samples written as {gap}")
    return codes.astype(dtype)


def bad_field(path: str, where: str, field: str, value: Any, why: str) -> SignalFileError:
    """The error of a header field that cannot be right: the file, the signal, the field."""
    where = f"{where}: " if where else ""
    return SignalFileError(f"{path}: {where}{field} {value!r} {why}")


def check_rate(path: str, where: str, field: str, rate: float) -> float:
    """`rate` in Hz when it is one a recording can have, else the error naming the field."""
    if not (math.isfinite(rate) and MIN_RATE_HZ <= rate <= MAX_RATE_HZ):
        raise bad_field(path, where, field, rate, f"gives no sample rate (expected "
                        f"{MIN_RATE_HZ:g} to {MAX_RATE_HZ:g} Hz)")
    return rate


def header_text(path: str, where: str, field: str, text: str, width: int | None = None) -> str:
    """`text` for a header that keeps it in a line of printable characters: control
    characters (a newline would start a header line of its own) are refused, as is text beyond
    a field's `width`."""
    if any(not c.isprintable() for c in text):
        raise bad_field(path, where, field, text, "holds a control character; a header field "
                        "is one line of printable text")
    if width is not None and len(text) > width:
        raise bad_field(path, where, field, text, f"is longer than the {width} characters the "
                        "header field holds")
    return text


def channel_lengths_agree(signal: Signal, path: str) -> None:
    lengths = {c.size for c in signal.channels}
    if len(lengths) > 1:
        raise SignalFileError(
            f"{path}: the channels have different lengths ({sorted(lengths)}); this format holds "
            "channels of one length: write .edf, .bdf, .hea or an archive")


def one_rate(signal: Signal, path: str) -> float | None:
    rates = {signal.channel_info(k).rate for k in range(len(signal.channels))}
    if len(rates) > 1:
        raise SignalFileError(f"{path}: the channels have different sample rates; this format "
                              "holds one: write .edf, .bdf, .hea or an archive")
    return rates.pop() if rates else None


def needs_rate(signal: Signal, k: int, path: str) -> float:
    rate = signal.channel_info(k).rate
    if rate is None or not rate > 0:
        raise SignalFileError(f"{path}: the sample rate of {signal.channel_name(k)} is not known; "
                              "give it with --rate")
    return rate


def channels_at(info: list[ChannelInfo]) -> str:
    rates = sorted({i.rate for i in info if i.rate is not None})
    noun = "channel" if len(info) == 1 else "channels"
    return f"{len(info)} {noun} at {'/'.join(f'{r:g}' for r in rates)} Hz"


@contextlib.contextmanager
def quiet_library(module: str) -> Iterator[None]:
    """Hides the library's warnings about its own dependencies: nothing the user can act on."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", module=rf"{module}\b")
        yield


def parse_start(start: str | None) -> datetime.datetime | None:
    if not start:
        return None
    try:
        return datetime.datetime.fromisoformat(start)
    except ValueError:
        return None
