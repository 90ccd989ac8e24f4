"""Compressing to a quality instead of a scale.

``compress_to(x, psnr=70)`` returns the smallest container the codec's search finds whose decoded
samples reach the target, measured with the decoder's own arithmetic, so the check is exact:

- ``psnr``: at least this many dB, with the original's max - min as the peak;
- ``prd``: at most this percentage root-mean-square difference, 100 ||x - y|| / ||x||;
- ``rmse``: at most this root-mean-square error, in the signal's units;
- ``max_error``: no decoded sample further than this from its original (a guarantee).

The search uses the freedom the container leaves the encoder: a quantisation multiplier between
the powers of two with the dead zone off, and the wavelet when ``method`` is not given. The
containers are ordinary ones; any vantrel decoder reads them.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any

from . import _native
from ._names import WAVELET_METHODS
from .metrics import Distortion
from .trailer import _checked_samples, _fill_gaps, _find_gaps, seal

__all__ = ["QUALITY_TARGETS", "TargetedContainer", "compress_to", "compress_to_target", "quality_target"]

# The keyword of each target, in the order they are listed.
QUALITY_TARGETS = ("psnr", "prd", "rmse", "max_error")


@dataclass(frozen=True)
class TargetedContainer:
    """A container coded to a quality target and what the search found."""

    container: bytes  # with a trailer, as vantrel_tools.compress writes
    achieved: Distortion  # of the decoded samples against the (gap-filled) original
    quant_multiplier: float
    method: str
    trials: int  # candidates decoded during the search
    encodes: int  # candidates entropy-coded


def quality_target(
    psnr: float | None = None,
    prd: float | None = None,
    rmse: float | None = None,
    max_error: float | None = None,
) -> tuple[str, float]:
    """The one target given, as (name, value), checked.

    Parameters
    ----------
    psnr, prd, rmse, max_error : float, optional
        As for :func:`compress_to`.

    Returns
    -------
    tuple of (str, float)
        The name of the target given and its value as a float.

    Raises
    ------
    ValueError
        None or several given, or a value that is not finite (or negative, except a PSNR).
    TypeError
        A value that is not a real number.

    Examples
    --------
    >>> quality_target(prd=1)
    ('prd', 1.0)
    """
    given = [(name, value) for name, value in zip(QUALITY_TARGETS, (psnr, prd, rmse, max_error))
             if value is not None]
    if len(given) != 1:
        names = ", ".join(name for name, _ in given) or "none"
        raise ValueError(
            f"give exactly one quality target (psnr, prd, rmse or max_error); got {names}")
    name, value = given[0]
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    value = float(value)
    if not math.isfinite(value) or (name != "psnr" and value < 0.0):
        bound = "finite" if name == "psnr" else "finite and not negative"
        raise ValueError(f"{name} must be {bound}, but it was {value!r}")
    return name, value


def compress_to_target(data: Any, target: tuple[str, float],
                       method: str | None = None) -> TargetedContainer:
    """:func:`compress_to` with the target as (name, value), returning what the search found.

    Parameters
    ----------
    data : numpy.ndarray
        As for :func:`compress_to`.
    target : tuple of (str, float)
        A target as :func:`quality_target` returns it.
    method : str, optional
        The wavelet; by default the search picks one.

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
    >>> found = compress_to_target(np.sin(np.arange(4000) / 30.0), ("psnr", 60.0), "cdf97")
    >>> found.method, bool(60.0 <= found.achieved.psnr < 60.25)
    ('cdf97', True)
    """
    if method is not None and method not in WAVELET_METHODS:
        raise ValueError(f"method must be one of {', '.join(WAVELET_METHODS)}, not {method!r}")
    name, value = target
    samples = _checked_samples(data)
    runs = _find_gaps(samples)
    filled = _fill_gaps(samples) if runs.size else samples
    container, achieved, multiplier, chosen, trials, encodes = _native.compress_to(
        filled, name, value, method)
    return TargetedContainer(seal(container, runs), Distortion(*achieved), multiplier, chosen,
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
    target = quality_target(psnr=psnr, prd=prd, rmse=rmse, max_error=max_error)
    return compress_to_target(data, target, method).container
