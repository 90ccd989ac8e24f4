"""Companions of the ``vantrel`` extension module.

- ``vantrel_tools.cli``: the ``vantrel`` command (compress, decompress, info, eval).
- ``vantrel_tools.numcodecs_codec.Vantrel``: a numcodecs codec (id ``"vantrel"``) for Zarr and Dask.
- ``vantrel_tools.zarr3_codec.VantrelCodec``: the same codec as a Zarr format 3 serializer.
- ``vantrel_tools.signal_io``: reading and writing ``.npy``, ``.wav``, ``.csv`` and raw float32.

The codec modules import numcodecs and zarr only when they are used.
"""

from .signal_io import Signal, SignalFileError, encode_signal, read_signal

__all__ = ["Signal", "SignalFileError", "encode_signal", "read_signal"]
