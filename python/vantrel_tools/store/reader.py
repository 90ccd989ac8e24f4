"""An archive opened for reading, checked before anything is decoded: its metadata (types,
checksum, the channel count against the arrays present), and for each chunk read, its presence,
header and size against its array. Decoding then touches only the chunks asked for."""

from __future__ import annotations

from typing import Any

import numpy as np

from ..core.container import HEADER_SIZE, ContainerError, parse_header
from ..core.gaps import RUN_DTYPE
from ..core.trailer import read_trailer
from ..io.types import SignalFileError
from .chunks import decode_container
from .layout import (
    MAX_DOCUMENT_BYTES,
    ArrayMeta,
    GroupMeta,
    channel_key,
    channel_nodes,
    checked_array,
    checked_group,
    metadata_checksum,
    parse_document,
)
from .members import ArchiveFiles

# The most a container of n samples takes: header, a payload of at most this many bytes per
# sample plus a fixed amount, and a trailer with a gap run for every other sample. Payloads
# measured on noise, every method, coder and scale take under 2 bytes per sample.
_PAYLOAD_BYTES_PER_SAMPLE = 8
_PAYLOAD_FIXED_BYTES = 4096


def _container_limit(samples: int) -> int:
    runs = (samples + 1) // 2
    return (HEADER_SIZE + _PAYLOAD_FIXED_BYTES + _PAYLOAD_BYTES_PER_SAMPLE * samples
            + 64 + runs * RUN_DTYPE.itemsize)


class CheckedArchive:
    """An archive with its metadata checked, for reading channels or windows of them.

    Parameters
    ----------
    path : str
        A directory store or zip file written by ``store.archive.write_archive``.

    Raises
    ------
    FileNotFoundError
        Nothing at `path`.
    SignalFileError
        Not an archive, or metadata that is damaged, of the wrong type or changed since it was
        written; a channel array missing or extra; more chunks stored than an array has.

    Examples
    --------
    See ``store.archive.read_channel``.
    """

    def __init__(self, path: str) -> None:
        self.files = ArchiveFiles(path)
        try:
            group_doc = self._document("zarr.json")
            self.group: GroupMeta = checked_group(path, group_doc)
            extra = sorted(channel_nodes(self.files.keys()) - set(range(self.group.channels)))
            if extra:
                raise SignalFileError(f"{path}: holds array {channel_key(extra[0])} but its "
                                      f"attributes say {self.group.channels} channels")
            docs = [self._document(f"{channel_key(k)}/zarr.json")
                    for k in range(self.group.channels)]
            if (self.group.checksum is not None
                    and metadata_checksum(group_doc, docs) != self.group.checksum):
                raise SignalFileError(f"{path}: metadata checksum mismatch: a zarr.json is "
                                      "damaged or was changed")
            self.arrays = [checked_array(path, k, doc, self.group.version)
                           for k, doc in enumerate(docs)]
            for k, meta in enumerate(self.arrays):
                prefix = f"{channel_key(k)}/{meta.chunk_prefix}"
                stored = sum(key.startswith(prefix) for key in self.files.keys())
                if stored > meta.chunk_count:
                    raise SignalFileError(f"{self.where(k)}: holds {stored} chunks, its shape "
                                          f"{meta.chunk_count}")
        except BaseException:
            self.files.close()
            raise

    def _document(self, key: str) -> dict[str, Any]:
        size = self.files.size(key)
        if size is None:
            raise SignalFileError(f"{self.files.path}: {key} is missing: not a vantrel archive")
        if size > MAX_DOCUMENT_BYTES:
            raise SignalFileError(f"{self.files.path}: {key} declares {size} bytes, more than "
                                  f"metadata takes ({MAX_DOCUMENT_BYTES})")
        return parse_document(self.files.path, key, self.files.read(key, size))

    def where(self, k: int) -> str:
        """The archive and channel `k`, as messages name them."""
        label = self.arrays[k].info.label
        return f"{self.files.path}: channel {k}" + (f" ({label!r})" if label else "")

    def chunk_size(self, k: int, j: int) -> int:
        """The stored size of chunk `j` of channel `k`, checked against the array (present,
        the header's sample count, no larger than such a container can be) before it is read."""
        meta = self.arrays[k]
        key = meta.chunk_key(k, j)
        where = f"{self.where(k)}: chunk {key}"
        size = self.files.size(key)
        if size is None:
            raise SignalFileError(f"{where} is missing")
        samples = meta.chunk_samples(j)
        try:
            header = parse_header(self.files.read(key, HEADER_SIZE))
        except ContainerError as exc:
            raise SignalFileError(f"{where}: {exc}") from None
        if header.sample_count != samples:
            raise SignalFileError(f"{where} holds {header.sample_count} samples, the array "
                                  f"declares {samples}")
        if size > _container_limit(samples):
            raise SignalFileError(f"{where} declares {size} bytes, more than a container of "
                                  f"{samples} samples takes")
        return size

    def chunk(self, k: int, j: int, decode: bool = True) -> np.ndarray[Any, Any] | None:
        """Chunk `j` of channel `k` decoded (checked against its trailer); with `decode` False
        only checked against its trailer's checksum."""
        meta = self.arrays[k]
        key = meta.chunk_key(k, j)
        where = f"{self.where(k)}: chunk {key}"
        size = self.chunk_size(k, j)
        data = self.files.read(key, size)
        if len(data) != size:
            raise SignalFileError(f"{where} holds {len(data)} bytes, not the {size} listed")
        try:
            if not decode:
                read_trailer(data)
                return None
            samples = decode_container(data)
        except (ValueError, ContainerError) as exc:
            raise SignalFileError(f"{where}: {exc}") from None
        if samples.size != meta.chunk_samples(j):
            raise SignalFileError(f"{where} decodes to {samples.size} samples, its header says "
                                  f"{meta.chunk_samples(j)}")
        return samples

    def samples(self, k: int, start: int, stop: int) -> np.ndarray[Any, np.dtype[np.float32]]:
        """Samples `start` to `stop` of channel `k` (0 <= start <= stop <= its length), decoding
        only the chunks they lie in; the output is allocated once the first chunk decoded."""
        meta = self.arrays[k]
        first, last = start // meta.chunk, -(-stop // meta.chunk)
        if start == stop:
            return np.empty(0, dtype=np.float32)
        out: np.ndarray[Any, np.dtype[np.float32]] | None = None
        for j in range(first, last):
            chunk = self.chunk(k, j)
            assert chunk is not None
            lo = max(start - j * meta.chunk, 0)
            hi = min(stop - j * meta.chunk, meta.chunk)
            if first + 1 == last and lo == 0 and hi == chunk.size:
                return chunk
            if out is None:
                out = np.empty(stop - start, dtype=np.float32)
            at = j * meta.chunk + lo - start
            out[at:at + hi - lo] = chunk[lo:hi]
        assert out is not None
        return out

    def close(self) -> None:
        self.files.close()

    def __enter__(self) -> CheckedArchive:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
