"""How far a reconstruction lies from its original: PSNR, PRD, RMSE and maximum absolute error.

One definition for every tool that reports quality (``vantrel eval``, the end-to-end benchmark,
the examples). Both signals are compared in float64, as flat arrays of equal length:

- ``rmse`` = sqrt(mean((x - y)^2)) and ``max_err`` = max |x - y|.
- ``psnr`` = 20 log10(peak / rmse) in dB, with peak = max(x) - min(x), the original's range.
- ``prd`` = 100 ||x - y|| / ||x||, the percentage root-mean-square difference.

Edge cases, chosen so that a number is never made up where the ratio has no meaning:

- identical signals: ``psnr`` is inf, ``rmse``, ``max_err`` and (for an original with energy)
  ``prd`` are 0;
- a constant original (peak 0) that is not reproduced exactly: ``psnr`` is nan;
- an original of zero energy (all zeros): ``prd`` is nan, even when it is reproduced exactly;
- empty signals or signals of different shapes: ``ValueError``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["Distortion", "distortion", "rmse_bound"]


@dataclass(frozen=True)
class Distortion:
    psnr: float  # dB, peak = max - min of the original
    prd: float  # percent
    rmse: float
    max_err: float

    def summary(self) -> str:
        """Every figure on one line, as ``vantrel info --original`` prints it."""
        # A constant original has no PSNR: against its zero range any error is infinitely large.
        psnr = "- (constant original)" if math.isnan(self.psnr) else f"{self.psnr:.3f} dB"
        return (f"PSNR {psnr}, PRD {self.prd:.4g} %, RMSE {self.rmse:.6g}, "
                f"max error {self.max_err:.6g}")

    def cells(self) -> str:
        """PSNR, PRD and maximum error in the columns of ``vantrel eval``'s table."""
        return f"{self.psnr:>8.2f} {self.prd:>8.3f} {self.max_err:>10.3g}"


def distortion(original: npt.ArrayLike, reconstructed: npt.ArrayLike) -> Distortion:
    """The distortion of `reconstructed` against `original` (see the module's edge cases)."""
    x = np.asarray(original, dtype=np.float64)
    y = np.asarray(reconstructed, dtype=np.float64)
    if x.shape != y.shape:
        raise ValueError(f"reconstructed shape {y.shape} differs from the original's {x.shape}")
    if x.size == 0:
        raise ValueError("no samples to compare")
    x, y = x.ravel(), y.ravel()
    err = y - x
    squared = float(np.dot(err, err))
    rmse = math.sqrt(squared / x.size)
    peak = float(x.max() - x.min())
    energy = float(np.dot(x, x))
    if rmse == 0.0:
        psnr = math.inf
    elif peak > 0.0:
        psnr = 20.0 * math.log10(peak / rmse)
    else:
        psnr = math.nan
    prd = 100.0 * math.sqrt(squared / energy) if energy > 0.0 else math.nan
    # The largest magnitude without an array of magnitudes: as exact, and half the memory (abs
    # turns the -0.0 of errors that are all -0.0 into 0.0, as np.abs would).
    return Distortion(psnr, prd, rmse, abs(max(float(err.max()), -float(err.min()))))


def rmse_bound(metric: str, value: float, original: npt.ArrayLike) -> float | None:
    """The RMSE at or below which a reconstruction of `original` meets a target of `metric`
    (its keyword) at `value`: the target itself for ``rmse``, from the range for ``psnr`` and
    from the energy for ``prd``; None for ``max_error`` (no RMSE bounds it) and for an original
    without the range or energy the metric divides by. Non-finite samples are left out.

    Parameters
    ----------
    metric : str
        A target's keyword.
    value : float
        The target.
    original : array_like

    Returns
    -------
    float or None

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> rmse_bound("psnr", 40.0, [0.0, 10.0]), rmse_bound("prd", 1.0, [3.0, 4.0, 0.0, 0.0])
    (0.1, 0.025)
    """
    x = np.asarray(original, dtype=np.float64).ravel()
    x = x[np.isfinite(x)]
    if metric == "rmse":
        return float(value)
    if metric == "psnr" and x.size and x.max() > x.min():
        return float(x.max() - x.min()) * math.pow(10.0, -value / 20.0)
    if metric == "prd" and x.size and np.any(x):
        return value / 100.0 * math.sqrt(float(np.dot(x, x)) / x.size)
    return None
