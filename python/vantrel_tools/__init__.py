"""Companions of the ``vantrel`` extension module.

- ``compress_to``: the smallest container that meets a quality target (PSNR, PRD, RMSE or
  maximum error), found by a search over the container's free choices; for a maximum error
  possibly a base plus a correction layer in the trailer, which only ``decompress`` applies
  (lossless on integers and on a declared ``grid``).
- ``compress`` and ``decompress``: containers with a trailer, a checksum that finds damage and the
  places of NaN and infinite samples, which come back exactly; integer arrays come back as their
  type.
- ``compress_channels`` and ``decompress_channels``: the same containers for many channels at once,
  on a pool of threads.
- ``read_signal`` and ``encode_signal``: sample files and recordings (``.npy``, ``.csv``, raw
  float32, EDF/BDF, WFDB, audio, HDF5) as a ``Signal`` with its metadata.
- ``vantrel_tools.numcodecs_codec.Vantrel`` and ``vantrel_tools.zarr3_codec.VantrelCodec``: the
  codec for numcodecs (Zarr 2, Dask) and as a Zarr format 3 serializer.
- ``vantrel_tools.cli``: the ``vantrel`` command (compress, decompress, info, eval).

The package is in layers that only import downward: ``core`` (the codec: names, options, quality
targets, gaps, trailer, header, coding) and ``io`` (files: the format registry and one module per
format) know nothing of each other; ``store`` (codecs and archives) builds on both; ``cli`` sits on
top. Each format's library is imported only when the format is used.
"""

from .core.channels import compress_channels, decompress_channels
from .core.codec import compress, compress_to, decompress
from .core.trailer import DamagedContainerError
from .io import Signal, SignalFileError, encode_signal, read_signal

__all__ = [
    "DamagedContainerError", "Signal", "SignalFileError", "compress", "compress_channels",
    "compress_to", "decompress", "decompress_channels", "encode_signal", "read_signal",
]
