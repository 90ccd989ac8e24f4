"""Arrays of numbers as channels (a ``.npy`` file, an HDF5 dataset), and the float32 range
every channel must fit: the codec works in 32-bit floats."""

from __future__ import annotations

import numpy as np

from .types import Channel, SampleRangeError, Signal, SignalFileError

# A 2-D array is read as samples x channels without being told only when that gives fewer
# channels than samples per channel and at least this many samples per channel; a signal
# stored the other way round would otherwise become thousands of near-empty channels.
MIN_CHANNEL_SAMPLES = 16


def _array_samples(array: np.ndarray, path: str) -> np.ndarray:
    """The array in native byte order with an element type the codec takes."""
    kind, size = array.dtype.kind, array.dtype.itemsize
    if kind == "f" and size in (4, 8):
        return array.astype(array.dtype.newbyteorder("="), copy=False)
    if kind in "iu":
        # Integers keep their values: up to 16 bits exactly as float32, wider ones as float64
        # so that the codec rounds them once. Even 2**64 is far inside the float32 range.
        return array.astype(np.float32 if size <= 2 else np.float64)
    raise SignalFileError(
        f"{path}: element type {array.dtype} is not supported "
        "(float32, float64 or an integer type expected)"
    )


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def _array_channels(array: np.ndarray, path: str, channels_first: bool | None) -> list[Channel]:
    samples = _array_samples(array, path)
    if samples.ndim == 1:
        return [np.ascontiguousarray(samples)]
    if samples.ndim != 2:
        raise SignalFileError(
            f"{path}: array of shape {array.shape} is neither 1-D nor 2-D (samples x channels)"
        )
    rows, cols = samples.shape
    if channels_first is None:
        if rows <= cols or rows < MIN_CHANNEL_SAMPLES:
            raise SignalFileError(
                f"{path}: unclear layout of an array of shape {array.shape}: as samples x "
                f"channels it holds {plural(cols, 'channel')} of {plural(rows, 'sample')}, "
                f"as channels x samples {plural(rows, 'channel')} of "
                f"{plural(cols, 'sample')}; pass --channels-first (rows are channels) or "
                "--channels-last (columns are channels)"
            )
        channels_first = False
    by_channel = samples if channels_first else samples.T
    return [np.ascontiguousarray(c) for c in by_channel]


def array_signal(array: np.ndarray, path: str, channels_first: bool | None) -> Signal:
    """The channels of a 1-D or 2-D array of numbers (a ``.npy`` file, an HDF5 dataset)."""
    channels = _array_channels(array, path, channels_first)
    description = f"{array.dtype} array of shape {array.shape}"
    if array.ndim == 2 and channels_first:
        description += ", rows as channels"
    bits = 8 * array.dtype.itemsize
    return Signal(channels, None, description, sample_bits=bits,
                  stored_bytes=array.size * bits // 8)


def refuse_empty(signal: Signal, counts: list[int], path: str) -> None:
    """Refuses a recording with a channel of no samples (`counts`: each channel's): an empty or
    cut file, which the codec would only call empty data."""
    for k, count in enumerate(counts):
        if count == 0:
            where = f" {signal.channel_name(k)}" if len(counts) > 1 else ""
            raise SignalFileError(f"{path}:{where} no samples to read (empty or truncated)")


def largest_finite(channel: Channel) -> float:
    """The largest magnitude among a channel's finite samples (0 when it has none)."""
    finite = np.abs(channel[np.isfinite(channel)])
    return float(finite.max()) if finite.size else 0.0


def refuse_tiny(largest: list[float | None], path: str) -> None:
    """Refuses a float64 channel whose samples all lie below float32's normal range (a WFDB gain
    of 1e300 gives 1e-298), which would code as zeros; `largest`: each channel's largest finite
    magnitude, None for channels of other types."""
    for k, value in enumerate(largest):
        if value is not None and 0.0 < value < np.finfo(np.float32).tiny:
            where = f" channel {k}" if len(largest) > 1 else ""
            raise SampleRangeError(
                f"{path}{where}: every sample is below the float32 range (the largest is "
                f"{value!r}); the codec works in 32-bit floats"
            )


def refuse_beyond_float32(channels: list[Channel], path: str,
                          first: list[int] | None = None) -> None:
    """Refuses a float64 channel that float32 cannot hold: a finite sample that would become an
    infinity, or (for whole channels) one whose samples all lie below float32's normal range.
    `first`: for a block, the index of each channel's first sample in the recording; the caller
    then checks the whole channels' range with `refuse_tiny`."""
    for k, channel in enumerate(channels):
        if channel.dtype != np.float64:
            continue
        where = f" channel {k}" if len(channels) > 1 else ""
        with np.errstate(over="ignore"):
            # The codec narrows by rounding to nearest, exactly as this conversion does.
            beyond = np.isinf(channel.astype(np.float32)) & np.isfinite(channel)
        if beyond.any():
            i = int(np.argmax(beyond))
            raise SampleRangeError(
                f"{path}{where}: sample {i + (first[k] if first else 0)} "
                f"({float(channel[i])!r}) is outside the float32 range; the codec works in "
                "32-bit floats"
            )
    if first is None:
        refuse_tiny([largest_finite(c) if c.dtype == np.float64 else None for c in channels],
                    path)


def one_line(exc: BaseException) -> str:
    """A library's message as one line (the error lines name the file; messages never wrap)."""
    return " ".join(str(exc).split()) or type(exc).__name__


def array_samples(array: np.ndarray, path: str) -> np.ndarray:
    """The samples of an array as the readers give them: float32/float64 in native byte order,
    integers up to 16 bits as float32 and wider ones as float64."""
    return _array_samples(array, path)
