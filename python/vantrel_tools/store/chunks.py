"""What both codecs do with one chunk: code it as their configuration says, check a dtype, and
decode a stored container (checked against its trailer)."""

from __future__ import annotations

from typing import Any

import numpy as np

from ..core.codec import decompress, encode
from ..core.container import ContainerError
from ..core.names import QUALITY_TARGETS
from ..core.options import Coding, Options, Targeted
from ..core.target import QualityTarget

SUPPORTED_DTYPES = ("float32", "float64")


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
        The chunk as a 1-D float32 or float64 array.
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
    return encode(samples, coding_of(codec))


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
