"""The codec's names: wavelet methods, entropy coders, dead-zone levels and the scale range.

They come from the codec's own tables through the extension ``vantrel_tools._native``. Every
Python list of methods, coders, cutoffs or scales reads them here, so a method the codec's table
gains is known to the command line, the container reader, the benchmark and the tests at once.
"""

from __future__ import annotations

from . import _native

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
