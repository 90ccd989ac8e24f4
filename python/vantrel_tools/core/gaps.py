"""Gaps: the runs of NaN and infinite samples of a signal, filled before coding and put back
exactly after decoding (the trailer records them)."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

# Gap kinds, as stored.
GAP_NAN, GAP_POS_INF, GAP_NEG_INF = 0, 1, 2
_GAP_VALUES = np.array([np.nan, np.inf, -np.inf], dtype=np.float32)

# One run of non-finite samples: first index, count, kind (9 bytes, packed, as stored).
RUN_DTYPE = np.dtype([("start", "<u4"), ("length", "<u4"), ("kind", "u1")])
GapRuns = npt.NDArray[np.void]
# What a signal without gaps, or a container without a trailer, has.
NO_GAPS: GapRuns = np.empty(0, dtype=RUN_DTYPE)
NO_GAPS.flags.writeable = False


def checked_samples(data: Any) -> npt.NDArray[np.floating]:
    """The 1-D float32 or float64 array `data`, contiguous and in native byte order.

    Parameters
    ----------
    data : array_like
        The samples; a copy is made only where they are not already so (the native coder copies
        what it codes in any case).

    Returns
    -------
    numpy.ndarray

    Raises
    ------
    ValueError
        Anything but a 1-D float32 or float64 array, with the text ``vantrel.compress_signal``
        uses.

    Examples
    --------
    >>> checked_samples(np.array([1.0, 2.0], dtype=">f4")).dtype.str
    '<f4'
    """
    array = np.asarray(data)
    if array.ndim != 1 or array.dtype.kind != "f" or array.dtype.itemsize not in (4, 8):
        raise ValueError("expected a 1-D float32 or float64 NumPy array")
    return np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("="))


def find_gaps(samples: npt.NDArray[np.floating]) -> GapRuns:
    """The runs of equal non-finite kind in `samples`, in order.

    Parameters
    ----------
    samples : numpy.ndarray
        1-D float samples.

    Returns
    -------
    numpy.ndarray
        Structured (``start``, ``length``, ``kind``) runs; kinds `GAP_NAN`, `GAP_POS_INF`,
        `GAP_NEG_INF`.

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> find_gaps(np.array([1.0, np.nan, np.nan, np.inf, 2.0])).tolist()
    [(1, 2, 0), (3, 1, 1)]
    """
    if np.isfinite(samples).all():  # the common case, in one pass
        return np.empty(0, dtype=RUN_DTYPE)
    kinds = np.full(samples.size, -1, dtype=np.int8)
    kinds[np.isnan(samples)] = GAP_NAN
    kinds[np.isposinf(samples)] = GAP_POS_INF
    kinds[np.isneginf(samples)] = GAP_NEG_INF
    edges = np.flatnonzero(np.diff(kinds, prepend=-1, append=-1))  # where the kind changes
    starts, ends = edges[:-1], edges[1:]
    keep = kinds[starts] >= 0
    runs = np.empty(int(keep.sum()), dtype=RUN_DTYPE)
    runs["start"] = starts[keep]
    runs["length"] = (ends - starts)[keep]
    runs["kind"] = kinds[starts[keep]]
    return runs


def fill_gaps(samples: npt.NDArray[np.floating]) -> npt.NDArray[np.floating]:
    """`samples` with every non-finite sample replaced by a straight line between its finite
    neighbours (held flat before the first and after the last).

    The range stays the finite samples' range, so gaps widen nothing and cost little to code.

    Parameters
    ----------
    samples : numpy.ndarray
        1-D float samples; not changed.

    Returns
    -------
    numpy.ndarray
        `samples` itself when all are finite, else a filled copy; zeros when none is finite.

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> fill_gaps(np.array([1.0, np.nan, 3.0, np.inf])).tolist()
    [1.0, 2.0, 3.0, 3.0]
    """
    finite = np.isfinite(samples)
    if finite.all():
        return samples
    filled = samples.copy()
    where = np.flatnonzero(finite)
    if where.size == 0:
        filled[:] = 0
        return filled
    holes = np.flatnonzero(~finite)
    line = np.interp(holes, where, samples[where].astype(np.float64))
    # Within float32 whatever the neighbours, so that a refusal of an out-of-range float64 sample
    # names the caller's sample, never a filled one.
    limit = float(np.finfo(np.float32).max)
    filled[holes] = np.clip(line, -limit, limit)
    return filled


def restore_gaps(samples: npt.NDArray[np.float32], runs: GapRuns) -> npt.NDArray[np.float32]:
    """Puts the non-finite samples described by `runs` back into `samples`.

    Parameters
    ----------
    samples : numpy.ndarray
        Decoded float32 samples, changed in place.
    runs : numpy.ndarray
        Runs as `find_gaps` gives them.

    Returns
    -------
    numpy.ndarray
        `samples`.

    Raises
    ------
    IndexError
        A run beyond the samples (the trailer's reader refuses such runs first).

    Examples
    --------
    >>> x = np.array([1.0, np.nan, -np.inf], np.float32)
    >>> restore_gaps(fill_gaps(x), find_gaps(x)).tolist()
    [1.0, nan, -inf]
    """
    for start, length, kind in runs.tolist():
        samples[start : start + length] = _GAP_VALUES[kind]
    return samples

