"""Coding one signal: ``compress`` and ``decompress`` (containers with a trailer) and
``compress_to`` (the smallest container that meets a quality target).

``compress_to(x, psnr=70)`` returns the smallest container the codec's search finds whose decoded
samples reach the target, measured with the decoder's own arithmetic, so the check is exact:

- ``psnr``: at least this many dB, with the original's max - min as the peak;
- ``prd``: at most this percentage root-mean-square difference, 100 ||x - y|| / ||x||;
- ``rmse``: at most this root-mean-square error, in the signal's units;
- ``max_error``: no decoded sample further than this from its original (a guarantee).

The search uses the freedom the container leaves the encoder: a quantisation multiplier between
the powers of two with the dead zone off, and the wavelet when ``method`` is not given. The
containers are ordinary ones; any vantrel decoder reads them. Every call runs the codec without
holding the interpreter, on a private copy of the samples.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import _native
from .gaps import checked_samples, fill_gaps, find_gaps, restore_gaps
from .metrics import Distortion
from .names import QUALITY_TARGETS, WAVELET_METHODS
from .options import Coding, Options, Targeted
from .target import QualityTarget
from .trailer import seal, unseal

__all__ = ["TargetedContainer", "compress", "compress_to", "compress_to_target", "decompress",
           "encode"]


def compress(
    data: Any,
    *,
    method: str = "cdf97",
    scale: int = 11,
    cutoff: str = "low",
    coder: str | None = None,
    quant_multiplier: float | None = None,
) -> bytes:
    """Compresses a 1-D float32/float64 signal into a container with a trailer.

    Non-finite samples are filled before coding and recorded in the trailer, so that
    :func:`decompress` restores them exactly; the rest of the signal is coded as if they were not
    there. The container decodes with ``vantrel.decompress_signal`` too (to the filled signal).
    The codec runs without holding the interpreter (on a private copy of the samples), so calls
    from several threads run in parallel.

    Parameters
    ----------
    data : numpy.ndarray
        A 1-D float32 or float64 array, in any byte order and layout; NaN and infinities allowed.
    method, scale, cutoff, coder, quant_multiplier
        As for ``vantrel.CompressionOptions``, with its defaults and its refusals.

    Returns
    -------
    bytes
        The container: header, payload and trailer (checksum and gap runs).

    Raises
    ------
    ValueError
        What ``vantrel.compress_signal`` refuses (an empty signal, an unusable multiplier, ...),
        finite float64 samples outside the float32 range among them, or data that is no 1-D
        float32/float64 array.
    TypeError
        An option of the wrong type.

    Examples
    --------
    >>> import numpy as np
    >>> x = np.array([1.0, np.nan, 3.0, 4.0], dtype=np.float32)
    >>> y = decompress(compress(x))
    >>> bool(np.isnan(y[1])), y.size
    (True, 4)
    """
    return encode(data, Options(method, scale, cutoff, coder, quant_multiplier))


def encode(data: Any, coding: Coding, threads: int = 1,
           grid: tuple[float, float, float, float] | None = None) -> bytes:
    """The container of `data` coded as `coding` says.

    Parameters
    ----------
    data : numpy.ndarray
        As for :func:`compress`.
    coding : Options or Targeted
        Options: :func:`compress` with them, the coder on up to `threads` threads (the same
        container for any count). Targeted: :func:`compress_to`'s container of the target.
    threads : int, optional
        The most threads the coder may use.
    grid : tuple of four floats, optional
        For a target: as for :func:`compress_to_target`.

    Returns
    -------
    bytes
        Header, payload and trailer (checksum and gap runs).

    Raises
    ------
    ValueError
        As for :func:`compress` or :func:`compress_to`.

    Examples
    --------
    >>> import numpy as np
    >>> x = np.linspace(0.0, 1.0, 64)
    >>> encode(x, Options(scale=9)) == compress(x, scale=9)
    True
    """
    if isinstance(coding, Targeted):
        return compress_to_target(data, coding.target, coding.method, grid=grid).container
    samples = checked_samples(data)
    runs = find_gaps(samples)
    filled = fill_gaps(samples) if runs.size else samples
    container = _native.compress(filled, coding.method, coding.scale, coding.cutoff, coding.coder,
                                 coding.quant_multiplier, threads=threads)
    return seal(container, runs)


def decompress(data: bytes | bytearray | memoryview) -> npt.NDArray[np.float32]:
    """Decodes a container, checking its trailer and restoring its gaps when it has one.

    A container without a trailer (from ``vantrel.compress_signal`` or another writer) decodes
    exactly as ``vantrel.decompress_signal`` decodes it.

    Parameters
    ----------
    data : bytes-like
        A container, with or without a trailer; bytes after the trailer are ignored.

    Returns
    -------
    numpy.ndarray
        The samples, 1-D float32, with the NaN and infinite samples where they were.

    Raises
    ------
    DamagedContainerError
        The trailer, or the flag announcing one, shows that the bytes are not the ones written
        (a ``ValueError``; the message begins "container is damaged or truncated").
    ValueError
        A trailer of a newer version, or what ``vantrel.decompress_signal`` refuses.
    vantrel_tools.core.container.ContainerError
        Bytes that do not start with a container header this version can read.

    Examples
    --------
    >>> import numpy as np
    >>> packed = bytearray(compress(np.linspace(0.0, 1.0, 100)))
    >>> packed[60] ^= 1
    >>> decompress(packed)  # doctest: +IGNORE_EXCEPTION_DETAIL
    Traceback (most recent call last):
    ...
    DamagedContainerError: container is damaged or truncated: checksum mismatch
    """
    container, runs = unseal(bytes(data))
    samples = np.frombuffer(_native.decompress(container), dtype=np.float32)
    return restore_gaps(samples, runs)


@dataclass(frozen=True)
class TargetedContainer:
    """A container coded to a quality target and what the search found."""

    container: bytes  # with a trailer, as vantrel_tools.compress writes
    achieved: Distortion  # of the decoded samples against the (gap-filled) original
    quant_multiplier: float
    method: str
    trials: int  # candidates decoded during the search
    encodes: int  # candidates entropy-coded


def compress_to_target(data: Any, target: QualityTarget, method: str | None = None, *,
                       grid: tuple[float, float, float, float] | None = None
                       ) -> TargetedContainer:
    """:func:`compress_to` with the target as (name, value), returning what the search found.

    Parameters
    ----------
    data : numpy.ndarray
        As for :func:`compress_to`.
    target : QualityTarget
        The metric and the value to meet.
    method : str, optional
        The wavelet; by default the search picks one.
    grid : tuple of four floats, optional
        ``(step, origin, min_code, max_code)``: the target then holds for the values a reader
        gets back by storing each decoded sample as the nearest code (ties to even, clipped to
        the codes), such as the integers of an integer array (step 1, origin 0, the type's range).

    Returns
    -------
    TargetedContainer
        The container and the quality its decoded samples reach, the multiplier and the method.

    Raises
    ------
    ValueError
        As for :func:`compress_to`.

    Examples
    --------
    >>> import numpy as np
    >>> found = compress_to_target(np.sin(np.arange(4000) / 30.0), QualityTarget("psnr", 60.0),
    ...                            "cdf97")
    >>> found.method, bool(60.0 <= found.achieved.psnr < 60.25)
    ('cdf97', True)
    """
    if method is not None and method not in WAVELET_METHODS:
        raise ValueError(f"method must be one of {', '.join(WAVELET_METHODS)}, not {method!r}")
    samples = checked_samples(data)
    runs = find_gaps(samples)
    filled = fill_gaps(samples) if runs.size else samples
    container, measured, multiplier, chosen, trials, encodes = _native.compress_to(
        filled, target.metric, target.value, method, grid=grid)
    by_name = dict(zip(QUALITY_TARGETS, measured, strict=True))
    achieved = Distortion(by_name["psnr"], by_name["prd"], by_name["rmse"], by_name["max_error"])
    return TargetedContainer(seal(container, runs), achieved, multiplier, chosen,
                             trials, encodes)


def compress_to(
    data: Any,
    *,
    psnr: float | None = None,
    prd: float | None = None,
    rmse: float | None = None,
    max_error: float | None = None,
    method: str | None = None,
) -> bytes:
    """The smallest container found whose decoded samples meet one quality target.

    The codec runs without holding the interpreter, on a private copy of the samples. Gaps (NaN
    and infinite samples) are handled as :func:`vantrel_tools.compress` handles them: filled
    before coding, recorded in the trailer and restored exactly by
    :func:`vantrel_tools.decompress`; the quality is measured on the filled signal.

    Parameters
    ----------
    data : numpy.ndarray
        A 1-D float32 or float64 array, as ``vantrel.compress_signal`` takes it. Float64 samples
        are coded in float32 and the quality is measured against the float64 values.
    psnr, prd, rmse, max_error : float, optional
        Exactly one target: a PSNR in dB to reach (peak = max - min of the original), or a PRD in
        percent, an RMSE or a maximum absolute error (in the signal's units) to stay within.
    method : str, optional
        The wavelet ('cdf53', 'cdf97', 'db4' or 'sym4'); by default the search picks the one that
        gives the smallest container.

    Returns
    -------
    bytes
        The container, with a trailer (checksum and gaps); ``vantrel.decompress_signal`` and
        :func:`vantrel_tools.decompress` read it.

    Raises
    ------
    ValueError
        No target or several, a target that is not finite (or negative, except a PSNR), an
        unknown method, a target no container reaches (the message names the closest value
        reachable), or what ``vantrel.compress_signal`` refuses.
    TypeError
        A target that is not a number.

    Examples
    --------
    >>> import numpy as np
    >>> import vantrel
    >>> from vantrel_tools.metrics import distortion
    >>> x = np.sin(np.linspace(0.0, 60.0, 5000)).astype(np.float32)
    >>> y = vantrel.decompress_signal(compress_to(x, max_error=1e-3))
    >>> bool(distortion(x, y).max_err <= 1e-3)
    True
    """
    target = QualityTarget.parse(psnr=psnr, prd=prd, rmse=rmse, max_error=max_error)
    return compress_to_target(data, target, method).container
