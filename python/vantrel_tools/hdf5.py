"""vantrel as an HDF5 filter, for h5py, pynwb and every other HDF5 reader.

Importing this module registers the filter into h5py's HDF5 library; :class:`Vantrel` gives the
keywords that select it::

    import h5py
    from vantrel_tools.hdf5 import Vantrel

    with h5py.File("rec.h5", "w") as f:
        f.create_dataset("ecog", data=x, chunks=(30000, 8), **Vantrel(psnr=60))

or, for an NWB file, ``H5DataIO(x, allow_plugin_filters=True, **Vantrel(rmse=2.0))``. Other programs
(h5dump, HDF5.jl, MATLAB, a Python process that never imports this module) read such files when
the environment variable ``HDF5_PLUGIN_PATH`` names :data:`PLUGIN_PATH`.

Each chunk's signals run along one axis (``axis``, the first by default: time in NWB's
``(time, channels)`` layout) and each is coded as a container with its trailer (checksum and
gaps), so that a damaged chunk reads as an error, never as other samples. Datasets of float32,
float64 and 8-, 16- and 32-bit integers are accepted; integers are coded as values and read back
rounded and clipped to their type. A quality target holds for every signal of every chunk:
``max_error`` therefore for the whole dataset, and the mean-square targets (``psnr``, ``rmse``, ...) for each channel
whenever its chunks are filled (HDF5 pads the last chunk along an axis with the fill value, which
then counts in that chunk's measure). On integer datasets a target holds for the integers read
back, after rounding and clipping (``max_error=0.5`` keeps them unchanged where the codec can).

h5py marks the filter optional: a chunk whose coded form would be larger than its raw bytes, or
that the codec refuses, is stored raw (and read back exactly). A filter set as mandatory through
the low-level API makes such a chunk a write error instead.

The filter's ID, :data:`FILTER_ID`, is from the range HDF5 keeps for testing until The HDF Group
assigns vantrel one; files written with it need this plugin and may need rewriting then.
"""

from __future__ import annotations

import ctypes
import numbers
import struct
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any

from .core.names import MAX_SCALE, METRICS_BY_NAME, MIN_SCALE, WAVELET_METHODS
from .core.target import QualityTarget

__all__ = ["FILTER_ID", "PLUGIN_PATH", "Vantrel"]

# The directory holding the plugin (and nothing else: HDF5 tries every library in it).
PLUGIN_PATH = str(Path(__file__).with_name("plugins"))
_PLUGIN = Path(PLUGIN_PATH) / "libh5vantrel.so"

# The layout version of the filter's parameters (cd_values); a plugin refuses later ones.
_FORMAT_VERSION = 1
_MODE_OPTIONS, _MODE_TARGET = 0, 1
_ANY = 255  # any method for a target, the automatic coder for options


def _register() -> int:
    """Registers the plugin with h5py's HDF5 library; returns the filter ID."""
    if not _PLUGIN.exists():
        raise ImportError(
            "vantrel_tools.hdf5 needs the HDF5 filter plugin, which this installation of vantrel "
            "was built without (HDF5's headers were missing: install libhdf5-dev and reinstall)")
    try:
        from h5py import h5z
    except ModuleNotFoundError as exc:
        raise ModuleNotFoundError(
            'vantrel_tools.hdf5 needs h5py: pip install "vantrel[hdf5]"', name=exc.name) from exc
    plugin = ctypes.CDLL(str(_PLUGIN))
    # The plugin calls the HDF5 library that h5py's h5z module is linked to.
    if plugin.vtrl_h5_register(str(h5z.__file__).encode()) < 0:
        raise ImportError(f"the vantrel HDF5 filter could not be registered with h5py ({_PLUGIN})")
    filter_id = int(plugin.vtrl_h5_filter_id())
    if not h5z.filter_avail(filter_id):
        raise ImportError("h5py does not list the vantrel HDF5 filter after registering it")
    return filter_id


FILTER_ID = _register()


def _words(value: float) -> tuple[int, int]:
    """A double as two 32-bit words, low word first, as the filter's parameters carry it."""
    low, high = struct.unpack("<II", struct.pack("<d", value))
    return low, high


class Vantrel(Mapping[str, Any]):
    """The keywords that select the vantrel filter, for ``**`` in ``create_dataset``/``H5DataIO``.

    Give one quality target, or the fixed options ``method`` and ``scale`` (the codec's defaults,
    ``cdf97`` and 11, when nothing is given).

    Parameters
    ----------
    **target : float, optional
        At most one quality target, as for :func:`vantrel_tools.compress_to`: it holds for every
        signal of every chunk, on integer datasets after rounding to the type.
    method : str, optional
        The wavelet ('cdf53', 'cdf97', 'db4' or 'sym4'); with a target, by default the search
        picks one per signal.
    scale : int, optional
        The quantisation scale (6 to 12), without a target.
    axis : int
        The axis along which the signals run in each chunk (0, time in ``(time, channels)``).

    Raises
    ------
    ValueError
        Several targets, a scale with a target, a value out of range or an unknown method.
    TypeError
        A value of the wrong type.

    Examples
    --------
    >>> dict(Vantrel(scale=12))["compression"] == FILTER_ID
    True
    >>> Vantrel(max_error=0.5)["compression_opts"][:3]
    (1, 1, 0)
    """

    def __init__(self, *, method: str | None = None, scale: int | None = None, axis: int = 0,
                 **target: float | None) -> None:
        if isinstance(axis, bool) or not isinstance(axis, numbers.Integral) or axis < 0:
            raise ValueError(f"axis must be a non-negative integer, not {axis!r}")
        if method is not None and method not in WAVELET_METHODS:
            raise ValueError(f"method must be one of {', '.join(WAVELET_METHODS)}, not {method!r}")
        unknown = sorted(set(target) - set(METRICS_BY_NAME))
        if unknown:
            raise TypeError(f"Vantrel() got an unexpected keyword argument {unknown[0]!r}")
        method_code = _ANY if method is None else WAVELET_METHODS.index(method)
        if any(value is not None for value in target.values()):
            if scale is not None:
                raise ValueError("give a quality target or a scale, not both")
            checked = QualityTarget.parse(**target)
            opts = (_FORMAT_VERSION, _MODE_TARGET, int(axis), METRICS_BY_NAME[checked.metric].code,
                    *_words(checked.value), method_code, 0, 0)
        else:
            scale = 11 if scale is None else scale
            if isinstance(scale, bool) or not isinstance(scale, numbers.Integral):
                raise TypeError(f"scale must be an integer, not {type(scale).__name__}")
            if not MIN_SCALE <= scale <= MAX_SCALE:
                raise ValueError(f"scale must be {MIN_SCALE} to {MAX_SCALE}, not {scale}")
            method_code = WAVELET_METHODS.index("cdf97") if method is None else method_code
            opts = (_FORMAT_VERSION, _MODE_OPTIONS, int(axis), method_code, int(scale), 0, _ANY,
                    *_words(0.0))
        self._items: dict[str, Any] = {"compression": FILTER_ID, "compression_opts": opts}

    def __getitem__(self, key: str) -> Any:
        return self._items[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __repr__(self) -> str:
        return f"Vantrel(compression={FILTER_ID}, compression_opts={self._items['compression_opts']})"
