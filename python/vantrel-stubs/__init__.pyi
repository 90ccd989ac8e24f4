# Type information for the vantrel extension module.

from typing import Literal, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["CompressionOptions", "compress_signal", "decompress_signal"]

class CompressionOptions:
    """CompressionOptions(method="cdf97", scale=11, cutoff="low", coder=None, quant_multiplier=None)

    Opaque and immutable once built. An unknown method, cutoff or coder and a scale outside
    6..12 raise ValueError here (a scale outside 0..255 raises OverflowError). quant_multiplier
    is stored unchecked: compress_signal raises ValueError for one that is not positive and
    finite with a finite float32 reciprocal.
    """

    def __new__(
        cls,
        method: Literal["cdf97", "cdf53", "db4", "sym4"] = "cdf97",
        scale: SupportsIndex = 11,
        cutoff: Literal["low", "medium", "high"] = "low",
        coder: Literal["auto", "deflate", "arans", "cmodel"] | None = None,
        quant_multiplier: SupportsFloat | None = None,
    ) -> CompressionOptions: ...

def compress_signal(
    data: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    options: CompressionOptions | None = None,
) -> bytes:
    """Compress a 1-D float32 or float64 NumPy array into Vantrel bytes."""

def decompress_signal(data: bytes) -> npt.NDArray[np.float32]:
    """Decompress a Vantrel bytes object into a 1-D float32 NumPy array."""
