"""The configuration check shared by the numcodecs codec and the Zarr serializer.

A codec's configuration is written into an array's metadata and used for every chunk stored later,
so a value that can never compress must be refused when the codec is built, not at the first
write. ``vantrel.CompressionOptions`` takes any quantisation multiplier and leaves it to
``compress_signal`` to refuse; the codecs check it here, by the rule the compressor applies.
"""

from __future__ import annotations

import operator
from typing import Any, TypedDict

import numpy as np

from .quality import quality_target
from ._names import CUTOFF_LEVELS, ENTROPY_CODERS, MAX_SCALE, MIN_SCALE, WAVELET_METHODS

# "auto" (as None) lets the codec choose; the rest are the codec's coders.
CODER_CHOICES: tuple[str, ...] = ("auto", *ENTROPY_CODERS)


class CodecConfig(TypedDict):
    """A checked configuration: JSON values only, as the codecs store them."""

    method: str
    scale: int
    cutoff: str
    coder: str | None
    quant_multiplier: float | None
    psnr: float | None
    prd: float | None
    rmse: float | None
    max_error: float | None


def checked_config(
    method: Any, scale: Any, cutoff: Any, coder: Any, quant_multiplier: Any,
    targets: dict[str, Any] | None = None,
) -> CodecConfig:
    """The configuration of a codec, refused as a whole unless every chunk could use it.

    Parameters
    ----------
    method, scale, cutoff, coder, quant_multiplier
        As for ``vantrel.CompressionOptions``. `quant_multiplier` is used as a float32, as the
        codec uses it: it must be positive and finite, and so must its float32 reciprocal.
    targets : dict, optional
        The quality targets ``psnr``, ``prd``, ``rmse`` and ``max_error`` (None where not
        given): at most one, as ``vantrel_tools.compress_to`` takes it. With one, every chunk is
        coded to it with `method`; `scale` and `cutoff` are not used, and `coder` and
        `quant_multiplier` must be None.

    Returns
    -------
    CodecConfig
        The values as given, `scale` as an ``int`` and `quant_multiplier` as a ``float``.

    Raises
    ------
    ValueError
        An unknown name (the message lists the valid ones), a scale outside the codec's range or
        a multiplier the codec refuses.
    TypeError
        A value of the wrong type.

    Examples
    --------
    >>> checked_config("cdf53", 10, "low", None, 1000)["quant_multiplier"]
    1000.0
    >>> checked_config("cdf97", 11, "low", "zstd", None)
    Traceback (most recent call last):
    ...
    ValueError: unknown coder 'zstd', expected one of 'auto', 'deflate', 'arans', 'cmodel'
    """
    given = {name: value for name, value in (targets or {}).items() if value is not None}
    target = quality_target(**given) if given else None
    if target is not None and (coder is not None or quant_multiplier is not None):
        raise ValueError("coder and quant_multiplier cannot be combined with a quality target")
    config: CodecConfig = {
        "method": _checked_name("method", method, WAVELET_METHODS),
        "cutoff": _checked_name("cutoff", cutoff, CUTOFF_LEVELS),
        "scale": _checked_scale(scale),
        "coder": None if coder is None else _checked_name("coder", coder, CODER_CHOICES),
        "quant_multiplier": None if quant_multiplier is None else _checked_multiplier(
            quant_multiplier
        ),
        "psnr": None, "prd": None, "rmse": None, "max_error": None,
    }
    if target is not None:
        config[target[0]] = target[1]  # type: ignore[literal-required]
    return config


def _checked_name(what: str, value: Any, valid: tuple[str, ...]) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    if value not in valid:
        expected = ", ".join(repr(name) for name in valid)
        raise ValueError(f"unknown {what} {value!r}, expected one of {expected}")
    return value


def _checked_scale(value: Any) -> int:
    try:
        scale = operator.index(value)
    except TypeError:
        raise TypeError(f"scale must be an integer, not {type(value).__name__}") from None
    if not MIN_SCALE <= scale <= MAX_SCALE:
        raise ValueError(f"scale {scale} is outside {MIN_SCALE}..{MAX_SCALE}")
    return scale


def _checked_multiplier(value: Any) -> float:
    try:
        if isinstance(value, (str, bytes, bytearray)):
            raise TypeError  # float() would parse it; the options take numbers only
        multiplier = float(value)
    except TypeError:
        raise TypeError(
            f"quant_multiplier must be a real number or None, not {type(value).__name__}"
        ) from None
    # The decoder divides by the stored float32 multiplier and falls back to another one unless
    # it is positive and finite: anything else would decode to a different signal.
    with np.errstate(over="ignore", divide="ignore"):
        m = np.float32(multiplier)
        usable = bool(m > 0 and np.isfinite(m) and np.isfinite(np.float32(1) / m))
    if not usable:
        raise ValueError(
            "quant_multiplier must be positive and finite with a finite float32 reciprocal, "
            f"not {multiplier!r}"
        )
    return multiplier
