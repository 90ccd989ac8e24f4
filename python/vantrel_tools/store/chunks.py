"""What both codecs do with one chunk: code it as their configuration says, check a dtype, and
decode a stored container (checked against its trailer).

Integer chunks (8-, 16- and 32-bit, signed or not) are coded as their values and read back
rounded (halves to even) and clipped to their type; a quality target holds for those integers."""

from __future__ import annotations

from typing import Any

import numpy as np

from ..core.codec import decompress, encode
from ..core.container import ContainerError
from ..core.names import QUALITY_TARGETS
from ..core.options import Coding, Options, Targeted
from ..core.target import QualityTarget
from ..io.types import SampleGrid

SUPPORTED_DTYPES = ("float32", "float64", "int8", "int16", "int32", "uint8", "uint16", "uint32")


def coding_of(config: Any) -> Coding:
    """How a codec codes its chunks: its quality target with its method when it has one, else
    its options.

    Parameters
    ----------
    config : object
        A codec: the attributes of ``core.options.checked_config``'s keys.

    Returns
    -------
    Options or Targeted

    Raises
    ------
    Nothing for a checked configuration.

    Examples
    --------
    >>> from vantrel_tools.numcodecs_codec import Vantrel
    >>> coding_of(Vantrel(rmse=2.0)).target
    QualityTarget(metric='rmse', value=2.0)
    """
    target = QualityTarget.given(**{name: getattr(config, name) for name in QUALITY_TARGETS})
    if target is not None:
        return Targeted(target, config.method)
    return Options(config.method, config.scale, config.cutoff, config.coder,
                   config.quant_multiplier)


def without_unused_options(config: dict[str, Any]) -> dict[str, Any]:
    """A stored codec configuration without the scale and cutoff that configurations written
    with a quality target carried unused, so that they open as they were coded.

    Parameters
    ----------
    config : dict
        A codec's stored configuration keys.

    Returns
    -------
    dict
        `config`, without ``scale`` and ``cutoff`` when it holds a quality target.

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> without_unused_options({"scale": 11, "cutoff": "low", "psnr": 60.0})
    {'psnr': 60.0}
    """
    if any(config.get(name) is not None for name in QUALITY_TARGETS):
        return {k: v for k, v in config.items() if k not in ("scale", "cutoff")}
    return config


def compress_chunk(samples: np.ndarray[Any, Any], codec: Any) -> bytes:
    """One chunk's container, with its trailer, coded by a codec's configuration.

    Codecs keep the plain values of their configuration (an options object cannot be pickled, and
    Dask ships codecs to its workers); the codec runs without holding the interpreter.

    Parameters
    ----------
    samples : numpy.ndarray
        The chunk as a 1-D array of one of ``SUPPORTED_DTYPES``.
    codec : object
        Anything with the attributes ``method``, ``scale``, ``cutoff``, ``coder``,
        ``quant_multiplier`` and one per quality metric (at most one not None), as both vantrel
        codecs have.

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
    >>> from vantrel_tools.numcodecs_codec import Vantrel
    >>> codec = Vantrel(method="cdf53")
    >>> len(compress_chunk(np.zeros(16, np.float32), codec)) > 52
    True
    """
    if samples.dtype.kind == "f":
        return encode(samples, coding_of(codec))
    # Integers are values: float32 holds those of 8 and 16 bits exactly, float64 the others.
    values = samples.astype(np.float32 if samples.dtype.itemsize <= 2 else np.float64)
    return encode(values, coding_of(codec), grid=integer_grid(samples.dtype))


def integer_grid(dtype: np.dtype[Any]) -> SampleGrid:
    """The grid the integers of `dtype` lie on: step 1, origin 0, the type's range.

    Parameters
    ----------
    dtype : numpy.dtype
        An integer dtype.

    Returns
    -------
    SampleGrid

    Raises
    ------
    ValueError
        `dtype` is not an integer dtype (NumPy's text).

    Examples
    --------
    >>> integer_grid(np.dtype("int16"))
    SampleGrid(step=1.0, origin=0.0, min_code=-32768, max_code=32767)
    """
    info = np.iinfo(dtype)
    return SampleGrid(1.0, 0.0, int(info.min), int(info.max))


def as_dtype(samples: np.ndarray[Any, np.dtype[np.float32]], dtype: np.dtype[Any]
             ) -> np.ndarray[Any, Any]:
    """Decoded samples as `dtype`: floats cast, integers rounded (halves to even) and clipped to
    the type's range.

    Parameters
    ----------
    samples : numpy.ndarray
        Decoded float32 samples.
    dtype : numpy.dtype
        One of ``SUPPORTED_DTYPES``, native byte order.

    Returns
    -------
    numpy.ndarray

    Raises
    ------
    ValueError
        A NaN or infinite sample for an integer dtype (a chunk written from floats).

    Examples
    --------
    >>> as_dtype(np.array([-200.5, 2.5, 3.5, 300.0], np.float32), np.dtype("int8"))
    array([-128,    2,    4,  127], dtype=int8)
    """
    if dtype.kind == "f":
        return samples.astype(dtype, copy=False)
    values = samples.astype(np.float64)
    if not np.isfinite(values).all():
        raise ValueError(f"the chunk holds NaN or infinite samples, which {dtype} cannot hold")
    info = np.iinfo(dtype)
    np.rint(values, out=values)
    return np.clip(values, info.min, info.max, out=values).astype(dtype)


def checked_dtype(dtype: Any) -> np.dtype[Any]:
    """The native-order dtype of ``SUPPORTED_DTYPES`` named by `dtype`.

    Parameters
    ----------
    dtype : numpy dtype or anything ``numpy.dtype`` accepts

    Returns
    -------
    numpy.dtype
        In the machine's byte order.

    Raises
    ------
    ValueError
        `dtype` is not one of them.
    TypeError
        `dtype` names no dtype at all.

    Examples
    --------
    >>> checked_dtype(">f8")
    dtype('float64')
    >>> checked_dtype("int64")
    Traceback (most recent call last):
    ...
    ValueError: vantrel stores float32, float64 or 8-, 16- or 32-bit integer data, not int64
    """
    dt = np.dtype(dtype)
    native: np.dtype[Any] = dt.newbyteorder("=")
    if dt.kind not in "fiu" or native.name not in SUPPORTED_DTYPES:
        raise ValueError(
            f"vantrel stores float32, float64 or 8-, 16- or 32-bit integer data, not {dt}")
    return native


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
    >>> import vantrel
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
