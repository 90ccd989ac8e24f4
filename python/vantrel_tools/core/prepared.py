"""What the coder codes and what targets are measured against: samples checked and their gaps
filled, integer samples as float32 codes, and the grid decoded values go to (a step that float
samples are declared to be whole multiples of, or an integer format's codes).
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from .gaps import NO_GAPS, GapRuns, checked_samples, fill_gaps, find_gaps

# The integer sample types the codec takes; their values are coded exactly as float32 when they
# lie within +-2^24, which only int32 samples can leave.
INTEGER_TYPES = ("int8", "int16", "int32", "uint8", "uint16")
_FLOAT32_EXACT = 2**24

# A grid as _native.compress_to takes it: (step, origin, lowest code, highest code).
GridTuple = tuple[float, float, float, float]
# The largest code the quality search measures exactly (a double's whole numbers).
_MAX_CODE = 2.0**53


class GridLike(Protocol):
    """The values an integer format holds: ``origin + step * code`` for the whole codes from
    `min_code` to `max_code` (``vantrel_tools.io.SampleGrid`` is one). A writer stores a value
    ``y`` as ``clip(rint((y - origin) / step), min_code, max_code)``."""

    @property
    def step(self) -> float: ...
    @property
    def origin(self) -> float: ...
    @property
    def min_code(self) -> int: ...
    @property
    def max_code(self) -> int: ...


# A grid as the package takes it: a format's codes, or the step of the multiples samples are on.
Grid = GridLike | float


@dataclass(frozen=True)
class Prepared:
    """What the coder codes and what targets are measured against."""

    samples: npt.NDArray[np.floating]  # float32 or float64, gaps filled
    runs: GapRuns
    reference: npt.NDArray[np.float64] | None  # None: the samples themselves
    grid: GridTuple | None  # where a reader rounds decoded values to, when it does
    sample_type: str | None  # what decoding returns instead of float32
    declared: bool = False  # a grid given for float samples: the trailer keeps it


def prepare(data: Any, grid: Grid | None = None) -> Prepared:
    array = np.asarray(data)
    if array.dtype.kind in "iu" and array.ndim == 1:
        if grid is not None:
            raise ValueError("grid is for float samples; integer samples are whole codes already")
        if array.dtype.name not in INTEGER_TYPES:
            raise ValueError(f"expected a 1-D float32 or float64 NumPy array, or integers of "
                             f"{', '.join(INTEGER_TYPES)}; got {array.dtype.name}")
        info = np.iinfo(array.dtype)
        if info.max > _FLOAT32_EXACT:
            outside = np.flatnonzero((array > _FLOAT32_EXACT) | (array < -_FLOAT32_EXACT))
            if outside.size:
                k = int(outside[0])
                raise ValueError(f"sample {k} is {int(array[k])}, outside float32's exact "
                                 f"integers (-{_FLOAT32_EXACT} to {_FLOAT32_EXACT})")
        # Every code is a float32 exactly: the codes coded are their own reference.
        return Prepared(array.astype(np.float32), NO_GAPS, None,
                         (1.0, 0.0, float(info.min), float(info.max)), array.dtype.name)
    samples = checked_samples(array)
    runs = find_gaps(samples)
    filled = fill_gaps(samples) if runs.size else samples
    # The gaps are coded as filled but not measured: the target holds for the samples that
    # exist.
    reference = np.asarray(samples, np.float64) if runs.size else None
    if grid is None:
        return Prepared(filled, runs, reference, None, None)
    if isinstance(grid, bool) or not isinstance(grid, numbers.Real):
        return _on_format_grid(samples, filled, runs, reference, grid)
    return _on_grid(samples, filled, runs, _checked_step(grid))


def _on_format_grid(samples: npt.NDArray[np.floating], filled: npt.NDArray[np.floating],
                    runs: GapRuns, reference: npt.NDArray[np.float64] | None,
                    grid: Any) -> Prepared:
    """Float samples to be written back on an integer format's codes: targets are measured on
    the values the writer rounds to, which decoding returns (float64 samples as float64)."""
    if not all(hasattr(grid, name) for name in ("step", "origin", "min_code", "max_code")):
        raise TypeError(f"grid must be a step or a grid of codes, not {type(grid).__name__}")
    found = format_grid(grid, samples)
    kind = "float64" if samples.dtype == np.float64 else None
    if found is None:
        return Prepared(filled, runs, reference, None, kind)
    return Prepared(filled, runs, reference, found, kind, declared=True)


def format_grid(grid: GridLike, samples: npt.NDArray[np.floating]) -> GridTuple | None:
    """`grid` as the codec takes it: (step, origin, min_code, max_code) with a positive step (a
    grid running downwards is the same grid with its codes negated).

    Parameters
    ----------
    grid : GridLike
        An integer format's codes.
    samples : numpy.ndarray
        The samples to code: codes beyond 2^53 are narrowed to those around them.

    Returns
    -------
    tuple of four floats, or None
        None for codes too large to measure exactly around no finite sample.

    Raises
    ------
    ValueError
        A step that is not finite and nonzero, or an origin that is not finite.

    Examples
    --------
    >>> from vantrel_tools.io.types import SampleGrid
    >>> format_grid(SampleGrid(-0.5, 1.0, -4, 10), np.array([0.0, 2.0]))
    (0.5, 1.0, -10.0, 4.0)
    """
    step, origin = float(grid.step), float(grid.origin)
    if not (math.isfinite(step) and step != 0.0 and math.isfinite(origin)):
        raise ValueError(f"grid step {step!r} and origin {origin!r} describe no grid")
    lo, hi = float(grid.min_code), float(grid.max_code)
    if step < 0.0:  # rint is symmetric: code k of the grid is code -k of its mirror
        step, lo, hi = -step, -hi, -lo
    if max(abs(lo), abs(hi)) > _MAX_CODE:
        # Codes beyond what the search measures exactly (64-bit integers): those around the
        # samples, a range on either side of theirs, which no decoded value leaves.
        finite = samples[np.isfinite(samples)]
        if not finite.size:
            return None
        a, b = (float(finite.min()) - origin) / step, (float(finite.max()) - origin) / step
        lo, hi = max(lo, math.floor(2 * a - b) - 1.0), min(hi, math.ceil(2 * b - a) + 1.0)
        if max(abs(lo), abs(hi)) > _MAX_CODE:
            return None
    return (step, origin, lo, hi)


def _checked_step(grid: Any) -> float:
    step = float(grid)
    if not (math.isfinite(step) and step > 0.0):
        raise ValueError(f"grid must be a positive finite step, not {step!r}")
    return step


def _on_grid(samples: npt.NDArray[np.floating], filled: npt.NDArray[np.floating], runs: GapRuns,
             step: float) -> Prepared:
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
    return Prepared(filled, runs, np.where(finite, values, np.nan), (step, 0.0, lo, hi), kind,
                     declared=True)
