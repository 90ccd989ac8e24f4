"""What a single container keeps of the channel it came from, and the signal its containers
decode to: the rate, the label and unit, the sample type or integer grid of the source format, so
that ``vantrel decompress a44.vtrl -o back.wav`` writes the WAV it came from."""

from __future__ import annotations

import dataclasses
import math
from typing import Any

import numpy as np

from ..core.names import METRICS_BY_NAME
from ..core.trailer import About, read_trailer
from ..io import Channel, ChannelInfo, Signal
from ..io.digital import to_codes

# The file details that say how the source format stores a sample: audio's sample kind, an HDF5
# dataset's dtype.
SAMPLE_ATTRS = ("sample", "dtype")


def about_channel(signal: Signal, k: int) -> About:
    """What a container of channel `k` of `signal` keeps of it."""
    info = signal.channel_info(k)
    return About(rate=info.rate, label=info.label, unit=info.unit, source=signal.source,
                 sample={key: signal.attrs[key] for key in SAMPLE_ATTRS if key in signal.attrs},
                 physical_range=info.physical_range, digital_range=info.digital_range,
                 extra=info.extra)


def decoded_signal(channels: list[Channel], abouts: list[About], rate: int | None,
                   default_rate: int) -> Signal:
    """The signal of channels decoded from containers: what their trailers say of them, at
    `rate` Hz when given, else at the rate they keep, else at `default_rate`."""
    info = [ChannelInfo(label=a.label, rate=float(rate) if rate is not None else a.rate,
                        unit=a.unit, physical_range=a.physical_range,
                        digital_range=a.digital_range, extra=dict(a.extra)) for a in abouts]
    rates = {i.rate for i in info}
    if rates == {None}:
        info = [dataclasses.replace(i, rate=float(default_rate)) for i in info]
        rates = {float(default_rate)}
    one = rates.pop() if len(rates) == 1 else None
    sources = {(a.source, tuple(sorted(a.sample.items()))) for a in abouts}
    source, sample = sources.pop() if len(sources) == 1 else ("", ())
    return Signal(channels, rate=int(one) if one is not None and one == int(one) else None,
                  info=info, source=source, attrs=dict(sample))


def on_grids(signal: Signal, notes: list[str]) -> Signal:
    """`signal` with every channel that has a grid put on it, as a writer of its integer format
    stores it: the values a quality target was met on, whatever format is written. Samples
    beyond the grid's codes are clipped (counted in `notes`); gaps stay."""
    channels = []
    for k, channel in enumerate(signal.channels):
        grid = signal.channel_info(k).grid
        if grid is None:
            channels.append(channel)
            continue
        values = np.asarray(channel, dtype=np.float64).copy()
        finite = np.isfinite(values)
        codes = to_codes(values[finite], grid, 0, signal.channel_name(k), notes)
        values[finite] = grid.origin + grid.step * codes
        channels.append(values)
    return dataclasses.replace(signal, channels=channels)


# The unit a metric's value reads in, by its placeholder in the metric table.
_UNITS = {"DB": " dB", "PCT": " %"}


def _shown(metric: str) -> tuple[str, str, bool]:
    """How a metric reads: its name, its unit, and whether higher is better."""
    row = METRICS_BY_NAME.get(metric)
    if row is None:
        return metric, "", False
    return metric.replace("_", " "), _UNITS.get(row.metavar, ""), row.higher_is_better


def quality_text(quality: dict[str, Any]) -> str:
    """The target a container was coded to and what it reached, on one line."""
    name, unit, higher = _shown(quality.get("metric", ""))
    asked = f"{name} {'>=' if higher else '<='} {quality.get('value', math.nan):.6g}{unit}"
    reached = quality.get("reached", math.nan)
    # A constant original has no PSNR: against its zero range any error is infinitely large.
    shown = "- (constant original)" if math.isnan(reached) else f"{reached:.6g}{unit}"
    return f"{asked} asked, {shown} reached on the samples that exist"


def worst_reached(containers: list[bytes]) -> str:
    """What the channels coded to a target reached, the worst of them; "" without a target."""
    trailers = [read_trailer(c) for c in containers]
    qualities = [t.about.quality for t in trailers if t is not None and t.about.quality]
    if not qualities:
        return ""
    name, unit, higher = _shown(qualities[0].get("metric", ""))
    values = [q["reached"] for q in qualities if not math.isnan(q.get("reached", math.nan))]
    if not values:
        return f"{name} target met (constant originals)"
    worst = min(values) if higher else max(values)
    where = " (worst channel)" if len(qualities) > 1 else ""
    return f"reached {name} {worst:.6g}{unit}{where}"
