"""The codec's names: wavelet methods, entropy coders, dead-zone levels, the scale range and the
quality metrics.

They come from the codec's own tables through the extension ``vantrel_tools._native``. Every
Python list of methods, coders, cutoffs, scales or metrics reads them here, so a row the codec's
table gains is known to the command line, the codecs, the container reader, the benchmark and
the tests at once.
"""

from __future__ import annotations

from typing import NamedTuple

from .. import _native


class QualityMetric(NamedTuple):
    """One row of the codec's metric table."""

    name: str  # the keyword of a target (``compress_to(x, psnr=...)``), also a codec key
    code: int
    higher_is_better: bool  # a level to reach (any sign) rather than an error to stay within
    metavar: str  # the command line's placeholder of its value
    help: str  # the command line's help text


_METHODS: tuple[tuple[str, int, bytes], ...] = _native.wavelet_methods()
_CODERS: tuple[tuple[str, int], ...] = _native.entropy_coders()

# Option texts by code, as CompressionOptions takes them.
WAVELET_METHODS: tuple[str, ...] = tuple(name for name, _, _ in _METHODS)
ENTROPY_CODERS: tuple[str, ...] = tuple(name for name, _ in _CODERS)
CUTOFF_LEVELS: tuple[str, ...] = tuple(_native.cutoff_levels())
MIN_SCALE, MAX_SCALE = _native.scale_range()
SCALES = range(MIN_SCALE, MAX_SCALE + 1)

# What the container's header stores for them: a 4-byte tag per method, a number per coder.
WAVELET_TAGS: dict[str, bytes] = {name: tag for name, _, tag in _METHODS}
CODER_CODES: dict[str, int] = dict(_CODERS)

# The quality metrics by code, and the keywords of their targets in that order.
QUALITY_METRICS: tuple[QualityMetric, ...] = tuple(
    QualityMetric(*row[:5]) for row in _native.quality_metrics())
QUALITY_TARGETS: tuple[str, ...] = tuple(metric.name for metric in QUALITY_METRICS)
METRICS_BY_NAME: dict[str, QualityMetric] = {metric.name: metric for metric in QUALITY_METRICS}
