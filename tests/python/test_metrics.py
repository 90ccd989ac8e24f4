"""The quality figures every tool reports, at the edges where a ratio loses its meaning."""

import math

import numpy as np
import pytest

from vantrel_tools.metrics import distortion

NAN = math.nan
INF = math.inf


@pytest.mark.parametrize(
    "x,y,psnr,prd,rmse,max_err",
    [
        # Peak 4, one error of 1 in four samples: RMSE 1/2, PSNR 20 log10(8), PRD 100/sqrt(24).
        ([0, 4, 2, 2], [0, 4, 2, 3], 20 * math.log10(8), 100 / math.sqrt(24), 0.5, 1.0),
        ([1, -1, 1, -1], [1.5, -0.5, 1.5, -0.5], 20 * math.log10(4), 50.0, 0.5, 0.5),
        ([1, -1, 3], [1, -1, 3], INF, 0.0, 0.0, 0.0),  # identical
        ([2, 2, 2], [2, 2, 2.5], NAN, 100 / math.sqrt(48), 0.5 / math.sqrt(3), 0.5),  # constant
        ([2, 2], [2, 2], INF, 0.0, 0.0, 0.0),  # constant, reproduced exactly
        ([0, 0, 0, 0], [0, 0, 0, 1], NAN, NAN, 0.5, 1.0),  # zero energy, peak 0
        ([0, 0], [0, 0], INF, NAN, 0.0, 0.0),  # zero energy, reproduced exactly
        ([[0, 4], [2, 2]], [[0, 4], [2, 3]], 20 * math.log10(8), 100 / math.sqrt(24), 0.5, 1.0),
    ],
    ids=["error", "offset", "identical", "constant", "constant-exact", "zeros", "zeros-exact",
         "2-D"],
)
def test_edge_cases(x, y, psnr, prd, rmse, max_err):
    d = distortion(np.asarray(x, np.float32), np.asarray(y, np.float32))
    assert d.psnr == pytest.approx(psnr, nan_ok=True)
    assert d.prd == pytest.approx(prd, nan_ok=True)
    assert d.rmse == pytest.approx(rmse)
    assert d.max_err == max_err


@pytest.mark.parametrize("x,y", [([1.0, 2.0], [1.0]), ([], [])], ids=["shapes", "empty"])
def test_refuses_what_it_cannot_compare(x, y):
    with pytest.raises(ValueError):
        distortion(np.asarray(x, np.float32), np.asarray(y, np.float32))
