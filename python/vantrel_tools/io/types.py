"""The data the readers and writers exchange: a `Signal` of channels with what the file says
about them, and the errors a sample file can raise."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

Channel = npt.NDArray[np.floating]


class SignalFileError(Exception):
    """A sample file that cannot be read or written; the message is one line naming the file.

    Raised by `read_signal` (unknown suffix, damaged or unsupported file, a layout or column it
    cannot choose alone) and `encode_signal` (more channels than the format holds, a sample rate
    or length a WAV file cannot store).
    """


class SampleRangeError(SignalFileError, ValueError):
    """A finite sample too large for float32, the codec's sample type, which would turn it into
    an infinity and code a different signal."""


@dataclass(frozen=True)
class SampleGrid:
    """The values an integer-coded channel can hold: ``origin + step * code`` for the integer
    codes from `min_code` to `max_code`.

    A physical value ``y`` is written as the code ``clip(rint((y - origin) / step), min_code,
    max_code)`` (`io.digital.to_codes`), exactly as the codec's quality search maps a candidate
    onto the grid, so a quality it measured there holds in the file written. `step` is negative
    for a channel whose physical range runs downwards (an EDF polarity flip). A code set aside
    for missing samples (WFDB's lowest) lies outside the range.
    """

    step: float
    origin: float
    min_code: int
    max_code: int

    def value(self, code: int) -> float:
        return self.origin + self.step * code


@dataclass
class ChannelInfo:
    """What a file says about one channel.

    Attributes
    ----------
    label : str
        The channel's name ("" when the file has none).
    rate : float or None
        Its sample rate in Hz.
    unit : str
        The physical unit of its samples ("uV", "mV", ...; "" when unknown).
    physical_range, digital_range : pair of numbers, or None
        For integer formats: the physical values of the lowest and highest integer codes
        (the line through both pairs). `grid` gives them as steps and codes.
    extra : dict
        Format details a writer of the same format restores (EDF transducer and prefiltering,
        WFDB gain, baseline and sample format), JSON values only.
    """

    label: str = ""
    rate: float | None = None
    unit: str = ""
    physical_range: tuple[float, float] | None = None
    digital_range: tuple[int, int] | None = None
    extra: dict[str, Any] = field(default_factory=dict)

    @property
    def grid(self) -> SampleGrid | None:
        """The integer grid the channel's samples lie on, from its ranges; None for a channel
        without them (a float format) or with ranges that describe no grid."""
        if self.physical_range is None or self.digital_range is None:
            return None
        (pmin, pmax), (dmin, dmax) = self.physical_range, self.digital_range
        if not (math.isfinite(pmin) and math.isfinite(pmax) and pmin != pmax and dmin < dmax):
            return None
        step = (pmax - pmin) / (dmax - dmin)
        return SampleGrid(step, pmin - step * dmin, int(dmin), int(dmax))


@dataclass(frozen=True)
class Annotation:
    """A note on the recording's time line: onset and duration in seconds from its start."""

    onset: float
    duration: float | None
    text: str


@dataclass
class Signal:
    """A signal read from a file.

    Attributes
    ----------
    channels : list of 1-D float32 or float64 arrays
        One array per channel. Channels sampled at different rates (EDF, WFDB) have different
        lengths; all others have one.
    rate : int or None
        The sample rate in Hz, for formats that store one rate as an integer (audio).
    description : str
        One line about the file, such as ``"WAV PCM 16-bit, 1 channel, 48000 Hz"``.
    notes : list of str
        Remarks for the user collected while reading.
    sample_bits : int or None
        The size of one sample as the file stores it, in bits; None for text and compressed audio.
    stored_bytes : int
        The bytes the samples take in the file: every channel's samples for binary formats,
        the whole text for ``.csv``/``.txt``, 0 when not known.
    file_bytes : int
        The size of what was read: the file, a WFDB record's header and signal files, an HDF5
        dataset's storage in its file; 0 when not known.
    info : list of ChannelInfo
        What the file says about each channel; empty for formats that say nothing.
    start : str or None
        When the recording starts, as ISO 8601 (``"2020-01-02T10:11:12"``).
    annotations : list of Annotation
        Notes on the time line (EDF+), in order.
    source : str
        The format name of the file (see ``io.registry.SIGNAL_FORMATS``).
    attrs : dict
        Format details about the whole file that a writer of the same format restores (EDF
        patient and recording fields, WFDB comments, the HDF5 dataset path), JSON values only.
    """

    channels: list[Channel]
    rate: int | None = None
    description: str = ""
    notes: list[str] = field(default_factory=list)
    sample_bits: int | None = None
    stored_bytes: int = 0
    info: list[ChannelInfo] = field(default_factory=list)
    start: str | None = None
    annotations: list[Annotation] = field(default_factory=list)
    source: str = ""
    attrs: dict[str, Any] = field(default_factory=dict)
    file_bytes: int = 0

    @property
    def num_samples(self) -> int:
        """Samples per channel (0 without channels); of the first channel when they differ."""
        return int(self.channels[0].size) if self.channels else 0

    def channel_info(self, k: int) -> ChannelInfo:
        """What is known of channel `k`; the signal's rate for formats without per-channel
        information."""
        if k < len(self.info):
            return self.info[k]
        return ChannelInfo(rate=float(self.rate) if self.rate is not None else None)

    def channel_name(self, k: int) -> str:
        """How messages name channel `k`: its number and label."""
        label = self.channel_info(k).label
        return f"channel {k} ({label!r})" if label else f"channel {k}"


class MissingExtraError(SignalFileError):
    """The library a format needs is not installed; the message says which extra installs it."""


@dataclass
class Encoded:
    """The files a writer made (path -> bytes) and what the user should hear about them."""

    files: dict[str, bytes]
    notes: list[str] = field(default_factory=list)
