"""vantrel as a numcodecs codec, so that Zarr arrays (and Dask arrays stored through Zarr) keep
their chunks as vantrel containers.

The codec is lossy: a decoded chunk is close to the encoded one, within the error the quantisation
scale allows, not equal to it. A chunk of any shape is one signal: its samples are taken in memory
order (C order, or Fortran order for a Fortran-ordered chunk, the order in which Zarr lays a chunk
out and reshapes it again), and decoding returns them flat. The codec works in float32; decoding
casts back to the configured ``dtype``, so a float64 array is stored and read back as float64.

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

import vantrel

from ._config import checked_config
from .container import ContainerError
from .quality import QUALITY_TARGETS, compress_to_target
from .trailer import compress, decompress

SUPPORTED_DTYPES = ("float32", "float64")


def compress_chunk(samples: np.ndarray[Any, Any], codec: Any) -> bytes:
    """One chunk's container, with its trailer, coded by a codec's configuration.

    Codecs keep the plain values of their configuration (an options object cannot be pickled, and
    Dask ships codecs to its workers); the codec runs without holding the interpreter.

    Parameters
    ----------
    samples : numpy.ndarray
        The chunk as a 1-D float32 or float64 array.
    codec : object
        Anything with the attributes ``method``, ``scale``, ``cutoff``, ``coder``,
        ``quant_multiplier`` and the quality targets ``psnr``, ``prd``, ``rmse`` and
        ``max_error`` (at most one not None), as both vantrel codecs have.

    Returns
    -------
    bytes
        Header, payload and trailer, as the codecs store a chunk.

    Raises
    ------
    ValueError
        What ``vantrel.compress_signal`` refuses, with its text.

    Examples
    --------
    >>> codec = Vantrel(method="cdf53")
    >>> len(compress_chunk(np.zeros(16, np.float32), codec)) > 52
    True
    """
    for name in QUALITY_TARGETS:
        value = getattr(codec, name)
        if value is not None:
            return compress_to_target(samples, (name, value), codec.method).container
    return compress(samples, method=codec.method, scale=codec.scale, cutoff=codec.cutoff,
                    coder=codec.coder, quant_multiplier=codec.quant_multiplier)


def checked_dtype(dtype: Any) -> np.dtype[Any]:
    """The native-order float32 or float64 dtype named by `dtype`.

    Parameters
    ----------
    dtype : numpy dtype or anything ``numpy.dtype`` accepts

    Returns
    -------
    numpy.dtype
        float32 or float64 in the machine's byte order.

    Raises
    ------
    ValueError
        `dtype` is not a 32- or 64-bit float.
    TypeError
        `dtype` names no dtype at all.

    Examples
    --------
    >>> checked_dtype(">f8")
    dtype('float64')
    >>> checked_dtype("int16")
    Traceback (most recent call last):
    ...
    ValueError: vantrel stores float32 or float64 data, not int16
    """
    dt = np.dtype(dtype)
    if dt.kind != "f" or dt.itemsize not in (4, 8):
        raise ValueError(f"vantrel stores float32 or float64 data, not {dt}")
    return dt.newbyteorder("=")


def decode_container(data: bytes) -> np.ndarray[Any, np.dtype[np.float32]]:
    """The samples of a stored chunk, checked against its trailer when it has one.

    Parameters
    ----------
    data : bytes
        A container, with a trailer (as the codecs write it) or without one.

    Returns
    -------
    numpy.ndarray
        The samples, 1-D float32, NaN and infinities restored from the trailer.

    Raises
    ------
    ValueError
        Damaged or truncated bytes (a ``DamagedContainerError`` when the trailer shows it), or
        bytes that are no container.

    Examples
    --------
    >>> decode_container(vantrel.compress_signal(np.ones(4, dtype=np.float32)))
    array([1., 1., 1., 1.], dtype=float32)
    >>> decode_container(b"RIFF" + bytes(60))
    Traceback (most recent call last):
    ...
    ValueError: not a vantrel container (starts with b'RIFF')
    """
    try:
        return decompress(data)
    except ContainerError as exc:
        raise ValueError(str(exc)) from exc


class Vantrel(Codec):
    """Lossy wavelet compression of float chunks.

    Parameters
    ----------
    method, scale, cutoff, coder, quant_multiplier
        As for ``vantrel.CompressionOptions``, with the same defaults.
    psnr, prd, rmse, max_error : float, optional
        A quality target instead of a scale (at most one; see ``vantrel_tools.compress_to``):
        each chunk becomes the smallest container found that meets it, coded with `method`.
    dtype : str, optional
        ``"float32"`` (the default) or ``"float64"``: the type of the chunks, which decoding
        restores.

    Raises
    ------
    ValueError, TypeError
        An option no chunk could be compressed with (see ``_config.checked_config``), or another
        `dtype`; checked here, not at the first chunk.

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
        scale: int = 11,
        cutoff: str = "low",
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
        self.method = config["method"]
        self.scale = config["scale"]
        self.cutoff = config["cutoff"]
        self.coder = config["coder"]
        self.quant_multiplier = config["quant_multiplier"]
        self.psnr, self.prd = config["psnr"], config["prd"]
        self.rmse, self.max_error = config["rmse"], config["max_error"]
        self.dtype = self._dtype.name

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
        elif array.dtype.kind != "f" or array.dtype.itemsize != self._dtype.itemsize:
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
            floats of the configured width.

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
        samples = decode_container(ensure_bytes(buf)).astype(self._dtype, copy=False)
        if target is None:
            return samples
        if target.nbytes != samples.nbytes:
            raise ValueError(
                f"out has {target.nbytes} bytes but the chunk decodes to {samples.nbytes}"
            )
        if target.dtype.itemsize != 1:
            if target.dtype.kind != "f" or target.dtype.itemsize != samples.dtype.itemsize:
                raise ValueError(f"out is {target.dtype}, the chunk decodes to {samples.dtype}")
            samples = samples.astype(target.dtype, copy=False)  # byte order of `out`
        return ndarray_copy(samples, out)
