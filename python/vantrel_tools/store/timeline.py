"""Channels split in time: an archive stores a long channel as chunks of a fixed number of
samples, each its own container, so that a window decodes only the chunks it touches and chunks
are coded in parallel. A quality target asked for a channel holds for the whole channel:

- RMSE and maximum error: each chunk meets the target, so the whole channel does;
- PRD: each chunk is coded to the RMSE that the target allows on the channel's own energy
  (PRD = 100 RMSE / RMS(x)), so the error energy summed over the chunks stays within the
  target's share of the channel's energy, and a silent stretch needs no energy of its own;
- PSNR: its peak is the channel's range over the whole recording, so each chunk is coded to the
  RMSE that this peak and the target allow (PSNR = 20 log10(peak / RMSE)).
"""

from __future__ import annotations

import dataclasses
from typing import Any

import numpy as np

from ..core.metrics import rmse_bound
from ..core.options import Coding, Targeted
from ..core.target import QualityTarget

# 2^18 samples: 17 minutes at 256 Hz, 1 MiB of float32.
DEFAULT_CHUNK = 1 << 18
MIN_CHUNK = 16
# The RMSE a chunk is coded to lies this share below the bound, so that rounding in the
# channel's sums cannot take it over.
_MARGIN = 1e-9


def checked_chunk(chunk: Any) -> int:
    """A chunk length in samples, refused below `MIN_CHUNK`.

    Parameters
    ----------
    chunk : int

    Returns
    -------
    int

    Raises
    ------
    ValueError
        Fewer than `MIN_CHUNK` samples, or not an integer.

    Examples
    --------
    >>> checked_chunk(4096)
    4096
    """
    if isinstance(chunk, bool) or not isinstance(chunk, (int, np.integer)) or chunk < MIN_CHUNK:
        raise ValueError(f"a chunk holds at least {MIN_CHUNK} samples, not {chunk!r}")
    return int(chunk)


def split_channel(samples: np.ndarray[Any, Any], chunk: int) -> list[np.ndarray[Any, Any]]:
    """The chunks of one channel: the whole channel when it fits in one chunk, else chunks of
    `chunk` samples, the last one filled up with NaN (a gap, restored as such and cut off on
    reading).

    Parameters
    ----------
    samples : numpy.ndarray
        The channel, 1-D.
    chunk : int
        Samples per chunk.

    Returns
    -------
    list of numpy.ndarray
        Views of `samples`, but for a filled-up last chunk.

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> parts = split_channel(np.zeros(10), 4)
    >>> [c.size for c in parts], float(parts[2][-1])
    ([4, 4, 4], nan)
    """
    n = samples.size
    if n <= chunk:
        return [samples]
    parts = [samples[j:j + chunk] for j in range(0, n, chunk)]
    parts[-1] = filled_up(parts[-1], chunk)
    return parts


def filled_up(samples: np.ndarray[Any, Any], chunk: int) -> np.ndarray[Any, Any]:
    """A channel's last chunk filled up with NaN (a gap, restored as such and cut off on
    reading) to `chunk` samples; `samples` itself when it is that long.

    Parameters
    ----------
    samples : numpy.ndarray
        The last chunk's samples, 1-D.
    chunk : int
        Samples per chunk.

    Returns
    -------
    numpy.ndarray

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> filled_up(np.ones(2, np.float32), 3)
    array([ 1.,  1., nan], dtype=float32)
    """
    if samples.size >= chunk:
        return samples
    last = np.full(chunk, np.nan, dtype=samples.dtype)
    last[:samples.size] = samples
    return last


def chunk_codings(samples: np.ndarray[Any, Any], coding: Coding, chunk: int) -> list[Coding]:
    """How each chunk that `split_channel` makes of a channel is coded so that `coding`'s target
    holds for the whole channel (see the module).

    Parameters
    ----------
    samples : numpy.ndarray
        The whole channel.
    coding : Options or Targeted
    chunk : int
        Samples per chunk.

    Returns
    -------
    list of Options or Targeted
        One per chunk: `coding` itself for a channel of one chunk, for fixed options and for a
        maximum error; else the RMSE that the channel's PSNR or PRD target stands for (from the
        channel's range or energy), lowered for a filled-up last chunk by the square root of its
        share of real samples, since the search averages over the filled samples too.

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> from vantrel_tools.core.options import Targeted
    >>> x = np.array([0.0, 10.0] * 100)
    >>> [c.target.value for c in chunk_codings(x, Targeted(QualityTarget.parse(psnr=40.0)), 100)]
    [0.09999999990000001, 0.09999999990000001]
    """
    n = samples.size
    count = 1 if n <= chunk else -(-n // chunk)
    if count < 2 or not isinstance(coding, Targeted):
        return [coding] * count
    full = full_chunk_coding(coding, rmse_bound(coding.target.metric, coding.target.value,
                                                samples))
    return [full] * (count - 1) + [last_chunk_coding(full, n - (count - 1) * chunk, chunk)]


def full_chunk_coding(coding: Coding, rmse: float | None) -> Coding:
    """How every full chunk of a channel of several chunks is coded, given the RMSE that the
    channel's target allows on the whole channel (`core.metrics.rmse_bound`).

    Parameters
    ----------
    coding : Options or Targeted
        How the channel is to be coded.
    rmse : float or None
        The bound; None or 0 (a maximum error, a constant or silent channel): `coding` itself,
        chunk by chunk.

    Returns
    -------
    Options or Targeted

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> from vantrel_tools.core.options import Targeted
    >>> full_chunk_coding(Targeted(QualityTarget.parse(psnr=40.0)), 0.5).target.metric
    'rmse'
    """
    if not rmse or not isinstance(coding, Targeted):
        return coding
    # The method and a declared grid stay: the RMSE is measured on the grid's values.
    return dataclasses.replace(coding, target=QualityTarget.parse(rmse=rmse * (1.0 - _MARGIN)))


def last_chunk_coding(coding: Coding, real: int, chunk: int) -> Coding:
    """How a chunk holding `real` samples of a channel, filled up to `chunk`, is coded so that
    the RMSE target of `coding` holds on its real samples: the search measures the filled ones
    too, so the target is lowered by the square root of the real share.

    Parameters
    ----------
    coding : Options or Targeted
        How the channel's full chunks are coded.
    real, chunk : int
        Real samples of the last chunk, and samples per chunk.

    Returns
    -------
    Options or Targeted
        `coding` itself but for an RMSE target with `real` below `chunk`.

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> from vantrel_tools.core.options import Targeted
    >>> last_chunk_coding(Targeted(QualityTarget.parse(rmse=1.0)), 25, 100).target.value
    0.5
    """
    if real >= chunk or not isinstance(coding, Targeted) or coding.target.metric != "rmse":
        return coding
    share = QualityTarget.parse(rmse=coding.target.value * float(np.sqrt(real / chunk)))
    return dataclasses.replace(coding, target=share)
