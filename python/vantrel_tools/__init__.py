"""Companions of the ``vantrel`` extension module.

- ``compress_to``: the smallest container that meets a quality target (PSNR, PRD, RMSE or
  maximum error), found by a search over the container's free choices (``vantrel_tools.quality``).
- ``compress`` and ``decompress``: containers with a trailer, a checksum that finds damage and the
  places of NaN and infinite samples, which come back exactly (``vantrel_tools.trailer``).
- ``compress_channels`` and ``decompress_channels``: the same containers for many channels at once,
  on a pool of threads (``vantrel_tools.channels``).
- ``vantrel_tools.cli``: the ``vantrel`` command (compress, decompress, info, eval).
- ``vantrel_tools.numcodecs_codec.Vantrel``: a numcodecs codec (id ``"vantrel"``) for Zarr and Dask.
- ``vantrel_tools.zarr3_codec.VantrelCodec``: the same codec as a Zarr format 3 serializer.
- ``vantrel_tools.signal_io``: reading and writing ``.npy``, ``.csv`` and raw float32, and through
  ``vantrel_tools.formats`` EDF/BDF, WFDB, audio (WAV, FLAC, OGG) and HDF5 with their metadata.
- ``vantrel_tools.archive``: a recording's channels and metadata in one Zarr 3 store.

The codec and format modules import numcodecs, zarr and each format's library only when used.
"""

from .channels import compress_channels, decompress_channels
from .quality import compress_to
from .signal_io import Signal, SignalFileError, encode_signal, read_signal
from .trailer import DamagedContainerError, compress, decompress

__all__ = [
    "DamagedContainerError", "Signal", "SignalFileError", "compress", "compress_channels",
    "compress_to", "decompress", "decompress_channels", "encode_signal", "read_signal",
]
