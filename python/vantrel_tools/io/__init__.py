"""Sample files in and out: the data types, the format registry and one module per format.

Every reader returns a `Signal`: a list of 1-D channels of ``float32`` or ``float64`` samples (the
two element types the codec takes; integer formats come back as physical values) with what the
file says about them. Every writer returns the files' bytes so that the caller can put them in
place in one step. Nothing here knows the codec: ``io`` never imports ``core``.

Long recordings are read and written block by block in bounded memory (``blocks``:
`open_blocks`, `read_blocks`, `open_block_writer`) for EDF/BDF, WFDB, audio and HDF5; the blocks
of a file concatenated are what `read_signal` gives, and a file written by blocks is what
`encode_recording` writes of the whole.

The formats register themselves when their modules are imported, here: ``plain`` (``.npy``,
``.csv``/``.txt``, ``.f32``/``.raw``), ``edf`` (EDF/EDF+/BDF, extra edf), ``wfdb`` (extra wfdb),
``audio`` (WAV/FLAC/OGG, extra audio) and ``hdf5`` (extra hdf5).
"""

from . import audio, edf, hdf5, plain, wfdb  # noqa: F401  (each registers its formats)
from . import audio_blocks, edf_blocks, hdf5_blocks, wfdb_blocks  # noqa: F401  (the block readers and writers register themselves)
from .blocks import BlockReader, BlockWriter
from .registry import (
    FORMAT_SUFFIX,
    FORMATS,
    SIGNAL_FORMATS,
    Format,
    ReadRequest,
    encode_recording,
    encode_signal,
    format_of,
    open_block_writer,
    open_blocks,
    read_blocks,
    read_signal,
    register_format,
    split_dataset,
)
from .types import (
    Annotation,
    Channel,
    ChannelInfo,
    Encoded,
    MissingExtraError,
    SampleRangeError,
    Signal,
    SignalFileError,
)

__all__ = [
    "FORMATS", "FORMAT_SUFFIX", "SIGNAL_FORMATS", "Annotation", "BlockReader", "BlockWriter", "Channel", "ChannelInfo",
    "Encoded", "Format", "MissingExtraError", "ReadRequest", "SampleRangeError", "Signal",
    "SignalFileError", "encode_recording", "encode_signal", "format_of", "open_block_writer", "open_blocks", "read_blocks", "read_signal",
    "register_format", "split_dataset",
]
