"""Compression options as plain values, and the check of a codec's whole configuration.

A codec's configuration is written into an array's metadata and used for every chunk stored
later, so a value that can never compress is refused when the codec is built, not at the first
write. The rules are the codec's: ``_native.check_options`` applies them with its texts.
"""

from __future__ import annotations

import operator
from dataclasses import asdict, dataclass
from typing import Any

import vantrel

from .. import _native
from .names import CUTOFF_LEVELS, ENTROPY_CODERS, MAX_SCALE, MIN_SCALE, WAVELET_METHODS
from .target import QualityTarget

# "auto" (as None) lets the codec choose; the rest are the codec's coders.
CODER_CHOICES: tuple[str, ...] = ("auto", *ENTROPY_CODERS)


@dataclass(frozen=True)
class Options:
    """The fields of a ``vantrel.CompressionOptions``, as plain values (they pickle, and travel
    to threads and Dask workers)."""

    method: str = "cdf97"
    scale: int = 11
    cutoff: str = "low"
    coder: str | None = None
    quant_multiplier: float | None = None

    @classmethod
    def of(cls, options: vantrel.CompressionOptions | None) -> Options:
        """The fields of `options` (the defaults for None); ``TypeError`` for anything else."""
        if options is None:
            options = vantrel.CompressionOptions()
        return cls(*_native.options_fields(options, vantrel.CompressionOptions))

    def config(self) -> dict[str, Any]:
        """The fields that are set, as a codec's configuration keys."""
        return {k: v for k, v in asdict(self).items() if v is not None}


@dataclass(frozen=True)
class Targeted:
    """Coding to a quality target, with the wavelet (None: the search picks one) and the grid
    step float samples are declared to lie on (None: none)."""

    target: QualityTarget
    method: str | None = None
    grid: float | None = None

    def config(self) -> dict[str, Any]:
        """The target and the method, when given, as a codec's configuration keys."""
        return {**self.target.keywords(), **({"method": self.method} if self.method else {})}


Coding = Options | Targeted


def checked_config(
    method: Any, scale: Any, cutoff: Any, coder: Any, quant_multiplier: Any,
    targets: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """The configuration of a codec, refused as a whole unless every chunk could use it.

    Parameters
    ----------
    method, scale, cutoff, coder, quant_multiplier
        As for ``vantrel.CompressionOptions``; the codec refuses a multiplier it could not
        decode with.
    targets : dict, optional
        The quality targets by metric name (None where not given): at most one, as
        ``vantrel_tools.compress_to`` takes it. With one, every chunk is coded to it with
        `method`, and `scale`, `cutoff`, `coder` and `quant_multiplier` must be None (they are
        None in the result). Without one, None takes the default scale and cutoff.

    Returns
    -------
    dict
        ``method``, ``scale`` (an ``int``, or None with a target), ``cutoff``, ``coder``,
        ``quant_multiplier`` (a ``float`` or None) and one key per quality metric, JSON values
        only.

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
    target = QualityTarget.given(**(targets or {}))
    fixed = dict(scale=scale, cutoff=cutoff, coder=coder, quant_multiplier=quant_multiplier)
    if target is not None:
        given = [name for name, value in fixed.items() if value is not None]
        if given:
            raise ValueError(not_with_target(given))
    config: dict[str, Any] = {
        "method": _checked_name("method", method, WAVELET_METHODS),
        "cutoff": None if target is not None else _checked_name(
            "cutoff", Options.cutoff if cutoff is None else cutoff, CUTOFF_LEVELS),
        "scale": None if target is not None else _checked_scale(
            Options.scale if scale is None else scale),
        "coder": None if coder is None else _checked_name("coder", coder, CODER_CHOICES),
        "quant_multiplier": None if quant_multiplier is None else _real(quant_multiplier),
        **dict.fromkeys((targets or {}), None),
    }
    if config["quant_multiplier"] is not None:
        _native.check_options(config["method"], config["scale"], config["cutoff"],
                              config["coder"], config["quant_multiplier"])
    if target is not None:
        config.update(target.keywords())
    return config


def not_with_target(given: list[str]) -> str:
    """The refusal of fixed options given together with a quality target, the one text every
    entry point uses.

    Parameters
    ----------
    given : list of str
        The options given, as the caller spells them (``["--scale"]``, ``["scale"]``).

    Returns
    -------
    str

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> not_with_target(["scale", "cutoff"])
    'scale, cutoff cannot be combined with a quality target'
    """
    return f"{', '.join(given)} cannot be combined with a quality target"


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


def _real(value: Any) -> float:
    try:
        if isinstance(value, (str, bytes, bytearray)):
            raise TypeError  # float() would parse it; the options take numbers only
        return float(value)
    except TypeError:
        raise TypeError(
            f"quant_multiplier must be a real number or None, not {type(value).__name__}"
        ) from None
