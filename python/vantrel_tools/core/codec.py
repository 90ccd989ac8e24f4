"""Coding one signal: ``compress`` and ``decompress`` (containers with a trailer) and
``compress_to`` (the smallest container that meets a quality target).

``compress_to(x, psnr=70)`` returns the smallest container the codec's search finds whose decoded
samples reach the target, measured with the decoder's own arithmetic, so the check is exact:

- ``psnr``: at least this many dB, with the original's max - min as the peak;
- ``prd``: at most this percentage root-mean-square difference, 100 ||x - y|| / ||x||;
- ``rmse``: at most this root-mean-square error, in the signal's units;
- ``max_error``: no decoded sample further than this from its original (a guarantee).

For a ``max_error`` target the container may be a base plus a correction layer in its trailer
(a refinement: the residual between the original and the base, in bins that keep the bound),
whichever of that and a plain container is smaller; :func:`decompress` adds the correction back,
while a decoder that ignores the trailer (``vantrel.decompress_signal``) returns the base, whose
quality ``TargetedContainer.base_achieved`` reports.

Integer samples (int8, int16, int32, uint8, uint16, within float32's exact range of +-2^24) are
coded as float32 and come back as the same type, each decoded value rounded to the nearest
integer; targets are measured on those integers, so ``max_error=0`` is lossless and
``max_error=k`` keeps every sample within k of its original.

The search uses the freedom the container leaves the encoder: a quantisation multiplier between
the powers of two with the dead zone off, and the wavelet when ``method`` is not given. The
containers are ordinary ones; any vantrel decoder reads them. Every call runs the codec without
holding the interpreter, on a private copy of the samples.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import _native
from .gaps import NO_GAPS, GapRuns, checked_samples, fill_gaps, find_gaps, restore_gaps
from .metrics import Distortion, distortion
from .names import QUALITY_TARGETS, WAVELET_METHODS
from .options import Coding, Options, Targeted
from .target import QualityTarget
from .trailer import damaged, read_trailer, seal

__all__ = ["INTEGER_TYPES", "TargetedContainer", "compress", "compress_to", "compress_to_target",
           "decompress", "encode"]

# The integer sample types the codec takes; their values are coded exactly as float32 when they
# lie within +-2^24, which only int32 samples can leave.
INTEGER_TYPES = ("int8", "int16", "int32", "uint8", "uint16")
_FLOAT32_EXACT = 2**24

# A grid as _native.compress_to takes it: (step, origin, lowest code, highest code).
GridTuple = tuple[float, float, float, float]


@dataclass(frozen=True)
class _Prepared:
    """What the coder codes and what targets are measured against."""

    samples: npt.NDArray[np.floating]  # float32 or float64, gaps filled
    runs: GapRuns
    reference: npt.NDArray[np.float64] | None  # None: the samples themselves
    grid: GridTuple | None  # where a reader rounds decoded values to, when it does
    sample_type: str | None  # what decoding returns instead of float32
    declared: bool = False  # the grid was declared for float samples: the trailer keeps it


def _prepare(data: Any, grid: float | None = None) -> _Prepared:
    array = np.asarray(data)
    if array.dtype.kind in "iu" and array.ndim == 1:
        if grid is not None:
            raise ValueError("grid is for float samples; integer samples are whole codes already")
        if array.dtype.name not in INTEGER_TYPES:
            raise ValueError(f"expected a 1-D float32 or float64 NumPy array, or integers of "
                             f"{', '.join(INTEGER_TYPES)}; got {array.dtype.name}")
        codes = array.astype(np.float64)
        outside = np.flatnonzero(np.abs(codes) > _FLOAT32_EXACT)
        if outside.size:
            k = int(outside[0])
            raise ValueError(f"sample {k} is {int(array[k])}, outside float32's exact integers "
                             f"(-{_FLOAT32_EXACT} to {_FLOAT32_EXACT})")
        info = np.iinfo(array.dtype)
        return _Prepared(codes.astype(np.float32), NO_GAPS, codes,
                         (1.0, 0.0, float(info.min), float(info.max)), array.dtype.name)
    samples = checked_samples(array)
    runs = find_gaps(samples)
    filled = fill_gaps(samples) if runs.size else samples
    if grid is None:
        # The gaps are coded as filled but not measured: the target holds for the samples that
        # exist.
        reference = samples.astype(np.float64) if runs.size else None
        return _Prepared(filled, runs, reference, None, None)
    return _on_grid(samples, filled, runs, _checked_step(grid))


def _checked_step(grid: Any) -> float:
    if isinstance(grid, bool) or not isinstance(grid, numbers.Real):
        raise TypeError(f"grid must be a number, not {type(grid).__name__}")
    step = float(grid)
    if not (math.isfinite(step) and step > 0.0):
        raise ValueError(f"grid must be a positive finite step, not {step!r}")
    return step


def _on_grid(samples: npt.NDArray[np.floating], filled: npt.NDArray[np.floating], runs: GapRuns,
             step: float) -> _Prepared:
    """Float samples declared to be whole multiples of `step`: each must be its type's nearest
    value to one (or, for float64, lie within the grid's own rounding of it, 2^-50 of the largest
    magnitude). Targets are measured on, and decoding returns, the multiples themselves."""
    x = samples.astype(np.float64)
    finite = np.isfinite(x)
    codes = np.rint(np.where(finite, x, 0.0) / step)
    largest = float(np.abs(codes).max()) if codes.size else 0.0
    if largest > 2.0**53:
        raise ValueError(f"grid step {step!r} is too fine for samples as large as these")
    values = step * codes
    margin = 2.0**-50 * step * largest
    near = (values.astype(samples.dtype) == samples) | (np.abs(values - x) <= margin)
    off = np.flatnonzero(finite & ~near)
    if off.size:
        k = int(off[0])
        raise ValueError(f"sample {k} ({samples[k].item()!r}) is not a whole multiple of the grid "
                         f"step {step!r}")
    lo, hi = (float(codes[finite].min()), float(codes[finite].max())) if finite.any() else (0, 0)
    kind = "float64" if samples.dtype == np.float64 else None
    return _Prepared(filled, runs, np.where(finite, values, np.nan), (step, 0.0, lo, hi), kind,
                     declared=True)


def compress(
    data: Any,
    *,
    method: str = "cdf97",
    scale: int = 11,
    cutoff: str = "low",
    coder: str | None = None,
    quant_multiplier: float | None = None,
) -> bytes:
    """Compresses a 1-D float32/float64 or integer signal into a container with a trailer.

    Non-finite samples are filled before coding and recorded in the trailer, so that
    :func:`decompress` restores them exactly; the rest of the signal is coded as if they were not
    there. The container decodes with ``vantrel.decompress_signal`` too (to the filled signal).
    The codec runs without holding the interpreter (on a private copy of the samples), so calls
    from several threads run in parallel.

    Parameters
    ----------
    data : numpy.ndarray
        A 1-D float32 or float64 array, in any byte order and layout; NaN and infinities allowed.
        Or a 1-D int8, int16, int32, uint8 or uint16 array (int32 values within +-2^24), which
        :func:`decompress` returns as the same type.
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
        float32/float64 array or integer array of those types (int32 values beyond +-2^24).
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


def encode(data: Any, coding: Coding, threads: int = 1) -> bytes:
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
        return compress_to_target(data, coding.target, coding.method, coding.grid).container
    prepared = _prepare(data)
    container = _native.compress(prepared.samples, coding.method, coding.scale, coding.cutoff,
                                 coding.coder, coding.quant_multiplier, threads=threads)
    return seal(container, prepared.runs, sample_type=prepared.sample_type)


def decompress(data: bytes | bytearray | memoryview) -> npt.NDArray[Any]:
    """Decodes a container, checking its trailer and applying it when it has one: its correction
    layer is added to the base, its gaps are restored and integer samples come back as their type.

    A container without a trailer (from ``vantrel.compress_signal`` or another writer) decodes
    exactly as ``vantrel.decompress_signal`` decodes it.

    Parameters
    ----------
    data : bytes-like
        A container, with or without a trailer; bytes after the trailer are ignored.

    Returns
    -------
    numpy.ndarray
        The samples, 1-D float32, with the NaN and infinite samples where they were; integer
        samples as the type they were compressed from (each value rounded to the nearest integer
        of that type); samples declared on a grid (``compress_to(..., grid=)``) as multiples of
        its step, float64 ones as float64.

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
    container = bytes(data)
    trailer = read_trailer(container)
    base = np.frombuffer(_native.decompress(container), dtype=np.float32)
    if trailer is None:
        return base
    values: npt.NDArray[Any] = base
    if trailer.refinement is not None:
        try:
            corrected = _native.correct(base, trailer.refinement)
        except ValueError as exc:
            raise damaged(str(exc)) from None
        values = np.frombuffer(corrected, dtype=np.float64)
    if trailer.grid is not None:
        step, origin, lowest, highest = trailer.grid
        codes = np.clip(np.rint((values.astype(np.float64) - origin) / step), lowest, highest)
        values = origin + step * codes
    kind = trailer.sample_type
    if kind in INTEGER_TYPES:
        info = np.iinfo(kind)
        integers: npt.NDArray[Any] = np.clip(np.rint(values), info.min, info.max).astype(kind)
        return integers
    values = values.astype(np.float64 if kind == "float64" else np.float32, copy=False)
    return restore_gaps(values, trailer.runs)


@dataclass(frozen=True)
class TargetedContainer:
    """A container coded to a quality target and what the search found."""

    container: bytes  # with a trailer, as vantrel_tools.compress writes
    achieved: Distortion  # of what decompress returns against the original's finite samples
    quant_multiplier: float
    method: str
    trials: int  # candidates decoded during the search
    encodes: int  # candidates entropy-coded
    # Of the base alone, what a decoder that ignores the trailer returns; None when the
    # container holds no correction layer (the base is then what decompress returns).
    base_achieved: Distortion | None = None


def compress_to_target(data: Any, target: QualityTarget, method: str | None = None,
                       grid: float | None = None) -> TargetedContainer:
    """:func:`compress_to` with the target as (name, value), returning what the search found.

    Parameters
    ----------
    data : numpy.ndarray
        As for :func:`compress_to`.
    target : QualityTarget
        The metric and the value to meet.
    method : str, optional
        The wavelet; by default the search picks one.
    grid : float, optional
        As for :func:`compress_to`.

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
    prepared = _prepare(data, grid)
    found = _search(prepared, target, method)
    if prepared.declared and target.metric == "max_error":
        # The search bounds the distance between grid values in codes; the values themselves,
        # rounded to the samples' type, may lie a rounding further apart than a bound of a whole
        # number of steps. Then one step less is searched for.
        step, _, lowest, highest = prepared.grid or (1.0, 0.0, 0.0, 0.0)
        margin = 2.0**-50 * step * max(abs(lowest), abs(highest))
        if found.achieved.max_err > target.value + margin:
            spacing = float(np.spacing(np.abs(prepared.samples).max().astype(np.float32)))
            tighter = QualityTarget("max_error", max(target.value - 2 * spacing, 0.0))
            found = _search(prepared, tighter, method)
        if found.achieved.max_err > target.value + margin:
            raise ValueError(f"max_error {target.value!r} is not reachable on this grid; the "
                             f"closest is {found.achieved.max_err!r}")
    return found


def _search(prepared: _Prepared, target: QualityTarget, method: str | None) -> TargetedContainer:
    # The search weighs a correction layer for a largest error only: it makes the error uniform
    # within the bound instead of the wavelet's long-tailed one.
    container, measured, multiplier, chosen, trials, encodes, body, base = _native.compress_to(
        prepared.samples, target.metric, target.value, method, reference=prepared.reference,
        grid=prepared.grid, refine=True)
    sealed = seal(container, prepared.runs, body, prepared.sample_type,
                  prepared.grid if prepared.declared else None)
    achieved = _distortion(measured)
    if body is not None or prepared.declared:
        # The search measures the corrected values before a reader's last rounding (to float32,
        # to integers or to the grid); report what decompress returns.
        achieved = _measured(prepared, decompress(sealed)) or achieved
    return TargetedContainer(sealed, achieved, multiplier, chosen, trials, encodes,
                             None if body is None else _distortion(base))


def _measured(prepared: _Prepared, decoded: npt.NDArray[Any]) -> Distortion | None:
    """The distortion of `decoded` against the caller's samples, over those that are not gaps;
    None when all are."""
    original = prepared.samples
    kept = restore_gaps(np.zeros(original.size, dtype=np.float32), prepared.runs) == 0
    if not kept.any():
        return None
    return distortion(original[kept], decoded[kept])


def _distortion(measured: tuple[float, ...]) -> Distortion:
    by_name = dict(zip(QUALITY_TARGETS, measured, strict=True))
    return Distortion(by_name["psnr"], by_name["prd"], by_name["rmse"], by_name["max_error"])


def compress_to(
    data: Any,
    *,
    psnr: float | None = None,
    prd: float | None = None,
    rmse: float | None = None,
    max_error: float | None = None,
    method: str | None = None,
    grid: float | None = None,
) -> bytes:
    """The smallest container found whose decoded samples meet one quality target.

    The codec runs without holding the interpreter, on a private copy of the samples. Gaps (NaN
    and infinite samples) are handled as :func:`vantrel_tools.compress` handles them: filled
    before coding, recorded in the trailer and restored exactly by
    :func:`vantrel_tools.decompress`; the quality is measured on the filled signal.

    Parameters
    ----------
    data : numpy.ndarray
        A 1-D float32 or float64 array, as ``vantrel.compress_signal`` takes it, or an integer
        array as :func:`compress` takes it. Float64 samples are coded in float32 and the quality
        is measured against the float64 values; integer samples on the integers
        :func:`decompress` returns.
    psnr, prd, rmse, max_error : float, optional
        Exactly one target: a PSNR in dB to reach (peak = max - min of the original), or a PRD in
        percent, an RMSE or a maximum absolute error (in the signal's units) to stay within. A
        maximum error may be met by a base plus a correction layer (see the module's text); on
        integers 0 is lossless.
    method : str, optional
        The wavelet ('cdf53', 'cdf97', 'db4' or 'sym4'); by default the search picks the one that
        gives the smallest container.
    grid : float, optional
        A step that float samples are whole multiples of (such as ADC codes times their step,
        or values rounded to 0.01). Each sample is checked: it must be its type's nearest value
        to a multiple (a float64 one within 2^-50 of the largest magnitude); the first that is
        not is refused. Targets are then measured on the multiples, and :func:`decompress`
        returns multiples of the step (float64 samples as float64), so ``max_error=0`` is
        lossless and ``max_error=k * grid`` keeps each sample within k steps.

    Returns
    -------
    bytes
        The container, with a trailer (checksum, gaps, and the correction layer when one pays);
        :func:`vantrel_tools.decompress` returns samples that meet the target,
        ``vantrel.decompress_signal`` the base, which meets it only without a correction layer.

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
    >>> y = decompress(compress_to(x, max_error=1e-3))
    >>> bool(distortion(x, y).max_err <= 1e-3)
    True
    """
    target = QualityTarget.parse(psnr=psnr, prd=prd, rmse=rmse, max_error=max_error)
    return compress_to_target(data, target, method, grid).container
