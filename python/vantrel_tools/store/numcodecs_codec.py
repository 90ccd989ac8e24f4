"""vantrel as a numcodecs codec, so that Zarr arrays (and Dask arrays stored through Zarr) keep
their chunks as vantrel containers.

The codec is lossy: a decoded chunk is close to the encoded one, within the error the quantisation
scale allows, not equal to it. A chunk of any shape is one signal: its samples are taken in memory
order (C order, or Fortran order for a Fortran-ordered chunk, the order in which Zarr lays a chunk
out and reshapes it again), and decoding returns them flat. The codec works in float32; decoding
casts back to the configured ``dtype``, so a float64 array is stored and read back as float64.
Integer chunks (8-, 16- and 32-bit) are coded as their values and read back rounded and clipped
to their type; a quality target holds for the integers read back.

    >>> import numcodecs
    >>> codec = numcodecs.get_codec({"id": "vantrel", "dtype": "float64"})

Every chunk carries a trailer: a checksum, so that a damaged chunk reads as an error instead of
other samples, and the places of its NaN and infinite samples, which come back exactly (a Zarr
array's NaN ``fill_value`` in a partly written chunk stays NaN). Chunks stored without a trailer
read as before.

The id ``"vantrel"`` is registered through the ``numcodecs.codecs`` entry point.
"""

from __future__ import annotations

from typing import Any

import numpy as np
try:
    from numcodecs.abc import Codec
    from numcodecs.compat import ensure_bytes, ensure_ndarray_like, ndarray_copy
except ModuleNotFoundError as exc:
    raise ModuleNotFoundError(
        'the vantrel numcodecs codec needs numcodecs: pip install "vantrel[zarr]"', name=exc.name
    ) from exc

from ..core.options import checked_config
from .chunks import (
    as_dtype,
    checked_dtype,
    compress_chunk,
    decode_container,
    without_unused_options,
)


class Vantrel(Codec):
    """Lossy wavelet compression of float and integer chunks.

    Parameters
    ----------
    method, scale, cutoff, coder, quant_multiplier
        As for ``vantrel.CompressionOptions``, with the same defaults.
    psnr, prd, rmse, max_error : float, optional
        A quality target instead of a scale (at most one; see ``vantrel_tools.compress_to``):
        each chunk becomes the smallest container found that meets it, coded with `method`.
        `scale`, `cutoff`, `coder` and `quant_multiplier` are refused with a target.
    dtype : str, optional
        ``"float32"`` (the default), ``"float64"``, or an 8-, 16- or 32-bit integer type such as
        ``"int16"``: the type of the chunks, which decoding restores.

    Raises
    ------
    ValueError, TypeError
        An option no chunk could be compressed with (see ``core.options.checked_config``), or
        another `dtype`; checked here, not at the first chunk.

    Examples
    --------
    >>> import numpy as np
    >>> codec = Vantrel(dtype="float64")
    >>> chunk = np.sin(np.linspace(0.0, 20.0, 5000))
    >>> restored = codec.decode(codec.encode(chunk))
    >>> restored.dtype, restored.shape, bool(np.max(np.abs(restored - chunk)) < 1e-3)
    (dtype('float64'), (5000,), True)
    """

    codec_id = "vantrel"

    def __init__(
        self,
        method: str = "cdf97",
        scale: int | None = None,
        cutoff: str | None = None,
        coder: str | None = None,
        quant_multiplier: float | None = None,
        dtype: str = "float32",
        psnr: float | None = None,
        prd: float | None = None,
        rmse: float | None = None,
        max_error: float | None = None,
    ) -> None:
        config = checked_config(method, scale, cutoff, coder, quant_multiplier,
                                dict(psnr=psnr, prd=prd, rmse=rmse, max_error=max_error))
        self._dtype = checked_dtype(dtype)
        # The public attributes are the configuration, JSON values only.
        self.method: str = config["method"]
        self.scale: int | None = config["scale"]
        self.cutoff: str | None = config["cutoff"]
        self.coder: str | None = config["coder"]
        self.quant_multiplier: float | None = config["quant_multiplier"]
        self.psnr, self.prd = config["psnr"], config["prd"]
        self.rmse, self.max_error = config["rmse"], config["max_error"]
        self.dtype = self._dtype.name

    @classmethod
    def from_config(cls, config: dict[str, Any]) -> Vantrel:
        """The codec of a stored configuration (one written with a target may carry the
        default scale and cutoff, which were never used)."""
        return cls(**without_unused_options({k: v for k, v in config.items() if k != "id"}))

    def encode(self, buf: Any) -> bytes:
        """Compresses one chunk into one container.

        Parameters
        ----------
        buf : array or buffer
            Samples of the configured dtype in any shape, taken in memory order; or raw bytes
            that hold such samples.

        Returns
        -------
        bytes
            The container, with a trailer.

        Raises
        ------
        TypeError
            An object array.
        ValueError
            Samples of another type, a byte count that is no whole number of samples, or a
            chunk the codec refuses, such as an empty one (the module's text).
        """
        array = np.asarray(ensure_ndarray_like(buf))
        if array.dtype.hasobject:
            raise TypeError("vantrel cannot encode an object array")
        if array.dtype.itemsize == 1 and array.dtype.kind in "uiV":
            # Raw bytes, as numcodecs hands buffers around: they hold samples of our dtype.
            if array.nbytes % self._dtype.itemsize:
                raise ValueError(
                    f"{array.nbytes} bytes are not a whole number of {self.dtype} samples"
                )
            array = np.ascontiguousarray(array).reshape(-1).view(self._dtype)
        elif array.dtype.kind != self._dtype.kind or array.dtype.itemsize != self._dtype.itemsize:
            raise ValueError(
                f"this vantrel codec is configured for {self.dtype} data, not {array.dtype}"
            )
        samples = array.reshape(-1, order="A").astype(self._dtype, copy=False)
        return compress_chunk(samples, self)

    def decode(self, buf: Any, out: Any = None) -> Any:
        """Decodes one container.

        Parameters
        ----------
        buf : bytes-like
            A container written by `encode`, or one without a trailer.
        out : array or buffer, optional
            Where to put the samples: of the chunk's size in bytes, and either raw bytes or
            samples of the configured kind and width.

        Returns
        -------
        numpy.ndarray
            The samples, flat, in the configured dtype; `out` filled, when given.

        Raises
        ------
        TypeError
            An object array as `out`.
        ValueError
            A damaged container (``DamagedContainerError`` when its checksum shows it; the
            module's text for a container without a trailer) or an `out` that does not fit.
        """
        target = None if out is None else ensure_ndarray_like(out)
        if target is not None and target.dtype.hasobject:
            raise TypeError("vantrel cannot decode into an object array")
        samples = as_dtype(decode_container(ensure_bytes(buf)), self._dtype)
        if target is None:
            return samples
        if target.nbytes != samples.nbytes:
            raise ValueError(
                f"out has {target.nbytes} bytes but the chunk decodes to {samples.nbytes}"
            )
        if target.dtype.itemsize != 1:
            if (target.dtype.kind != samples.dtype.kind
                    or target.dtype.itemsize != samples.dtype.itemsize):
                raise ValueError(f"out is {target.dtype}, the chunk decodes to {samples.dtype}")
            samples = samples.astype(target.dtype, copy=False)  # byte order of `out`
        return ndarray_copy(samples, out)
