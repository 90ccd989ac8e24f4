"""Physical values and the integer codes of a format: the calibration shared by the writers of
EDF, BDF, WFDB, PCM audio and integer HDF5 datasets, and the checks of rates and lengths a
format's layout needs."""

from __future__ import annotations

import contextlib
import datetime
import warnings
from collections.abc import Iterator
from typing import Any

import numpy as np

from .types import Channel, ChannelInfo, Signal, SignalFileError


def digital_scale(info: ChannelInfo) -> tuple[float, float]:
    """(gain, offset) with ``digital = physical * gain + offset`` for a channel with ranges."""
    assert info.physical_range is not None and info.digital_range is not None
    (pmin, pmax), (dmin, dmax) = info.physical_range, info.digital_range
    gain = (dmax - dmin) / (pmax - pmin)
    return gain, dmin - pmin * gain


def to_digital(values: Channel, gain: float, offset: float, bounds: tuple[int, int], gap: int,
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
