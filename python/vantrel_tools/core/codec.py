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

A grid (``grid=``) is where decoded values go: a step that float samples are declared to be whole
multiples of, or an integer format's codes (``GridLike``) that a file written back rounds to.
Targets are measured on the values of the grid, and :func:`decompress` returns them.

The search uses the freedom the container leaves the encoder: a quantisation multiplier between
the powers of two with the dead zone off, and the wavelet when ``method`` is not given. The
containers are ordinary ones; any vantrel decoder reads them. Every call runs the codec without
holding the interpreter, on a private copy of the samples.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import _native
from .gaps import restore_gaps
from .metrics import Distortion, distortion
from .names import QUALITY_TARGETS, WAVELET_METHODS
from .options import Coding, Options, Targeted
from .prepared import INTEGER_TYPES, Grid, GridLike, Prepared, prepare
from .target import QualityTarget
from .trailer import REFINEMENT_BY_WIDTH, About, damaged, read_trailer, seal

__all__ = ["INTEGER_TYPES", "GridLike", "TargetedContainer", "compress", "compress_to",
           "compress_to_target", "decode", "decompress", "encode"]
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


def encode(data: Any, coding: Coding, threads: int = 1, grid: Grid | None = None,
           about: About | None = None) -> bytes:
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
    grid : GridLike or float, optional
        With a target: the grid of the samples (see :func:`compress_to`), in place of the
        target's own.
    about : About, optional
        What is known of the signal, kept in the trailer; with a target, the target and the
        quality reached join it.

    Returns
    -------
    bytes
        Header, payload and trailer (checksum, gap runs and what else there is to keep).

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
        return compress_to_target(data, coding.target, coding.method,
                                  coding.grid if grid is None else grid, about).container
    prepared = prepare(data)
    container = _native.compress(prepared.samples, coding.method, coding.scale, coding.cutoff,
                                 coding.coder, coding.quant_multiplier, threads=threads)
    return seal(container, prepared.runs, sample_type=prepared.sample_type, about=about)


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
        The trailer, or the flag announcing one, shows that the bytes are not the ones written,
        or an integer sample decodes to NaN (a ``ValueError``; the message begins "container is
        damaged or truncated").
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
    return decode(data)[0]


def decode(data: bytes | bytearray | memoryview) -> tuple[npt.NDArray[Any], About]:
    """:func:`decompress`, with what the trailer says about the signal.

    Parameters
    ----------
    data : bytes-like
        As for :func:`decompress`.

    Returns
    -------
    tuple of (numpy.ndarray, About)
        The samples, and what is known of them (empty for a trailer that says nothing and for a
        container without a trailer).

    Raises
    ------
    As :func:`decompress`.

    Examples
    --------
    >>> import numpy as np
    >>> samples, about = decode(encode(np.ones(9), Options(), about=About(rate=250.0)))
    >>> samples.size, about.rate
    (9, 250.0)
    """
    container = bytes(data)  # the bytes checked are the bytes decoded (no copy of bytes)
    trailer = read_trailer(container)
    base = np.frombuffer(_native.decompress(container), dtype=np.float32)
    if trailer is None:
        return base, About()
    return (_finished(base, trailer.grid, trailer.sample_type, trailer.runs, trailer.refinement),
            trailer.about)


def _finished(values: npt.NDArray[Any], grid: Grid | None, kind: str | None,
              runs: npt.NDArray[Any], refinement: bytes | None = None) -> npt.NDArray[Any]:
    """The samples a reader returns from the decoded base or the corrected samples `values`
    (float32 or float64): corrected by `refinement` (a base only), rounded to the declared `grid`,
    converted to the sample type `kind` (None for float32), the gaps `runs` restored."""
    kind = kind or "float32"
    if grid is None and refinement is None and kind == values.dtype.name:
        samples = values  # a writable float32 base: nothing to round or convert
    else:
        try:
            finished = _native.finish(values, grid, kind, refinement)
        except ValueError as exc:
            raise damaged(str(exc)) from None
        samples = np.frombuffer(finished, dtype=kind)
    return samples if kind in INTEGER_TYPES else restore_gaps(samples, runs)


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
                       grid: Grid | None = None, about: About | None = None) -> TargetedContainer:
    """:func:`compress_to` with the target as (name, value), returning what the search found.

    Parameters
    ----------
    data : numpy.ndarray
        As for :func:`compress_to`.
    target : QualityTarget
        The metric and the value to meet.
    method : str, optional
        The wavelet; by default the search picks one.
    grid : GridLike or float, optional
        As for :func:`compress_to`.
    about : About, optional
        What is known of the signal: the trailer keeps it with the target and what was reached.

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
    prepared = prepare(data, grid)
    found = _search(prepared, target, method, about)
    if prepared.declared and target.metric == "max_error":
        # The search bounds the distance between grid values in codes; the values themselves,
        # rounded to the samples' type, may lie a rounding further apart than a bound of a whole
        # number of steps. Then one step less is searched for.
        step, _, lowest, highest = prepared.grid or (1.0, 0.0, 0.0, 0.0)
        margin = 2.0**-50 * step * max(abs(lowest), abs(highest))
        if found.achieved.max_err > target.value + margin:
            spacing = float(np.spacing(np.abs(prepared.samples).max().astype(np.float32)))
            tighter = QualityTarget("max_error", max(target.value - 2 * spacing, 0.0))
            found = _search(prepared, tighter, method, about)
        if found.achieved.max_err > target.value + margin:
            raise ValueError(f"max_error {target.value!r} is not reachable on this grid; the "
                             f"closest is {found.achieved.max_err!r}")
    return found


def _search(prepared: Prepared, target: QualityTarget, method: str | None,
            about: About | None) -> TargetedContainer:
    # The search weighs a correction layer for a largest error only: it makes the error uniform
    # within the bound instead of the wavelet's long-tailed one.
    # On a grid (declared, or found by the search for its bins) the search measures the grid's
    # values before a reader's last rounding; what a reader returns is measured here, from the
    # corrected samples the search keeps (or the base, decoded again, without a layer). Corrected
    # values in bins of a width are measured as a reader returns them, and so are whole codes of
    # an integer type.
    remeasure = prepared.declared or prepared.sample_type not in INTEGER_TYPES  # on a grid
    (container, measured, multiplier, chosen, trials, encodes, body, base,
     corrected) = _native.compress_to(
        prepared.samples, target.metric, target.value, method, reference=prepared.reference,
        grid=prepared.grid, refine=True, corrected=remeasure)
    grid = prepared.grid if prepared.declared else None
    sealed = seal(container, prepared.runs, body, prepared.sample_type, grid)
    achieved = _distortion(measured)
    found_grid = body is not None and body[0] != REFINEMENT_BY_WIDTH
    if prepared.declared or (found_grid and prepared.sample_type not in INTEGER_TYPES):
        returned = (decompress(sealed) if corrected is None else
                    _finished(np.frombuffer(corrected, dtype=np.float64), grid,
                              prepared.sample_type, prepared.runs))
        achieved = _measured(prepared, returned) or achieved
    if about is not None:
        reached = {"psnr": achieved.psnr, "prd": achieved.prd, "rmse": achieved.rmse,
                   "max_error": achieved.max_err}[target.metric]
        about = replace(about, quality={"metric": target.metric, "value": target.value,
                                        "reached": reached})
        sealed = seal(container, prepared.runs, body, prepared.sample_type, grid, about)
    return TargetedContainer(sealed, achieved, multiplier, chosen, trials, encodes,
                             None if body is None else _distortion(base))


def _measured(prepared: Prepared, decoded: npt.NDArray[Any]) -> Distortion | None:
    """The distortion of `decoded` against the caller's samples, over those that are not gaps;
    None when all are."""
    original = prepared.samples
    if not prepared.runs.size:  # no mask and no copies of a whole chunk
        return distortion(original, decoded)
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
    grid: Grid | None = None,
) -> bytes:
    """The smallest container found whose decoded samples meet one quality target.

    The codec runs without holding the interpreter, on a private copy of the samples. Gaps (NaN
    and infinite samples) are handled as :func:`vantrel_tools.compress` handles them: filled
    before coding, recorded in the trailer and restored exactly by
    :func:`vantrel_tools.decompress`; the quality is measured on the samples that are finite, and
    a signal whose finite samples are all equal meets every PSNR target.

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
    grid : float or GridLike, optional
        A step that float samples are whole multiples of (such as ADC codes times their step,
        or values rounded to 0.01). Each sample is checked: it must be its type's nearest value
        to a multiple (a float64 one within 2^-50 of the largest magnitude); the first that is
        not is refused. Targets are then measured on the multiples, and :func:`decompress`
        returns multiples of the step (float64 samples as float64), so ``max_error=0`` is
        lossless and ``max_error=k * grid`` keeps each sample within k steps.
        Or an integer format's codes (a ``GridLike`` such as ``ChannelInfo.grid`` of an EDF,
        WFDB, PCM audio or integer HDF5 channel): samples need not lie on it; targets are
        measured on the values a file of that format holds (each sample's nearest code, clipped
        to the format's codes), which :func:`decompress` returns.

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
