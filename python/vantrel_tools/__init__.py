"""Companions of the ``vantrel`` extension module.

- ``compress`` and ``decompress``: containers with a trailer, a checksum that finds damage and the
  places of NaN and infinite samples, which come back exactly (``vantrel_tools.trailer``).
- ``compress_channels`` and ``decompress_channels``: the same containers for many channels at once,
  on a pool of threads (``vantrel_tools.channels``).
- ``vantrel_tools.cli``: the ``vantrel`` command (compress, decompress, info, eval).
- ``vantrel_tools.numcodecs_codec.Vantrel``: a numcodecs codec (id ``"vantrel"``) for Zarr and Dask.
- ``vantrel_tools.zarr3_codec.VantrelCodec``: the same codec as a Zarr format 3 serializer.
- ``vantrel_tools.signal_io``: reading and writing ``.npy``, ``.wav``, ``.csv`` and raw float32.

The codec modules import numcodecs and zarr only when they are used.
"""

from .channels import compress_channels, decompress_channels
from .signal_io import Signal, SignalFileError, encode_signal, read_signal
from .trailer import DamagedContainerError, compress, decompress

__all__ = [
    "DamagedContainerError", "Signal", "SignalFileError", "compress", "decompress",
    "encode_signal", "read_signal",
]
__all__ += ["compress_channels", "decompress_channels"]
