"""What a reader returns from decoded values, against NumPy's float64 computation of it: rounding
to a declared grid and to the sample type, clamps at both ends of every type, ties, -0, NaN and
infinities, alone and after a correction layer (bytes after the trailer ignored)."""

import numpy as np
import pytest

import vantrel_tools
from vantrel_tools import _native
from vantrel_tools.core.trailer import read_trailer

TYPES = ["float32", "float64", "int8", "int16", "int32", "uint8", "uint16"]
GRIDS = {
    "none": None,
    "halves": (0.5, -0.25, -300.0, 70000.0),
    "tenths": (0.1, 0.0, -5.0, 5.0),  # clamps values far inside every type
    "wide, origin -0": (2.0**-3, -0.0, -(2.0**40), 2.0**40),
    "huge steps": (1e37, 0.0, -1e3, 1e3),  # values beyond float32's range
}


def oracle(values, grid, kind):
    v = values.astype(np.float64)
    if grid is not None:
        step, origin, lowest, highest = grid
        v = np.clip(np.rint((v - origin) / step), lowest, highest) * step + origin
    if kind not in ("float32", "float64"):
        info = np.iinfo(kind)
        v = np.clip(np.rint(v), info.min, info.max)
    with np.errstate(over="ignore"):
        return v.astype(kind)


def probes(kind):
    """Ties, signed zeros, infinities, the type's ends and a little past them, and a walk over
    values between, in an order that puts each kind of value in every lane."""
    ends = []
    for t in ("int8", "int16", "int32", "uint8", "uint16"):
        info = np.iinfo(t)
        ends += [info.min + d for d in (-1, -0.5, 0, 0.5)] + [info.max + d for d in (-0.5, 0, 0.5, 1)]
    ties = np.arange(-8, 8) + 0.5
    special = [0.0, -0.0, np.inf, -np.inf, 0.49999999999999994, -0.49999999999999994,
               2.0**52 + 1, 3.4028235e38, -3.5e38, 1e300, 0.05, 0.15, -0.25, 0.75]
    rng = np.random.default_rng(len(kind))
    walk = rng.normal(0, 2e4, 200).round(2)
    return rng.permutation(np.concatenate([ends, ties, special, walk]))


@pytest.mark.parametrize("grid", GRIDS.values(), ids=GRIDS.keys())
@pytest.mark.parametrize("kind", TYPES)
@pytest.mark.parametrize("given", ["float32", "float64"])
def test_finish_is_numpys_rounding_bit_for_bit(given, kind, grid):
    values = probes(kind)[:-3]  # a length that leaves a partial group of lanes
    with np.errstate(over="ignore"):
        values = values.astype(given)
    finished = np.frombuffer(_native.finish(values, grid, kind, None), dtype=kind)
    expected = oracle(values, grid, kind)
    assert finished.tobytes() == expected.tobytes()
    with_nan = values.copy()
    with_nan[len(values) // 2] = np.nan
    if np.dtype(kind).kind == "f":
        finished = np.frombuffer(_native.finish(with_nan, grid, kind, None), dtype=kind)
        assert finished.tobytes() == oracle(with_nan, grid, kind).tobytes()
    else:
        with pytest.raises(ValueError, match="^an integer sample decodes to NaN$"):
            _native.finish(with_nan, grid, kind, None)


RNG = np.random.default_rng(5)
CODES = np.cumsum(RNG.integers(-40, 41, 3001)).astype(np.int16)


@pytest.mark.parametrize("data, target", [
    (CODES, {"max_error": 0}),
    (CODES, {"max_error": 3}),
    ((CODES * 0.1).astype(np.float32), {"max_error": 0.3, "grid": 0.1}),
    ((CODES * 0.1).astype(np.float64), {"max_error": 0.25}),
], ids=["int16 lossless", "int16 3 codes", "float32 on a grid", "float64 bins"])
def test_a_corrected_read_rounds_the_corrected_values(data, target):
    packed = vantrel_tools.compress_to(data, **target)
    trailer = read_trailer(packed)
    assert trailer.refinement is not None
    base = np.frombuffer(_native.decompress(packed), dtype=np.float32)
    corrected = np.frombuffer(_native.correct(base, trailer.refinement), dtype=np.float64)
    kind = trailer.sample_type or "float32"
    got = vantrel_tools.decompress(packed)
    assert got.dtype == kind
    assert got.tobytes() == oracle(corrected, trailer.grid, kind).tobytes()
    assert vantrel_tools.decompress(packed + b"\x00later bytes").tobytes() == got.tobytes()
