"""An archive written block by block, as an acquisition loop produces samples: memory holds at
most one chunk per channel, whatever the recording's length, and the archive appears at its path
only when it is closed (staged beside it and renamed into place), so an interrupted recording
leaves no partial archive.

    >>> import os, tempfile, numpy as np
    >>> from vantrel_tools.core.options import Options
    >>> from vantrel_tools.store.archive import read_archive
    >>> path = os.path.join(tempfile.mkdtemp(), "live.zarr")
    >>> with ArchiveWriter(path, 2, Options(), chunk=1024) as w:
    ...     for start in range(0, 3000, 500):
    ...         w.append(np.sin(np.arange(start, start + 500)[:, None] / [40.0, 60.0]))
    >>> read_archive(path).chunks
    [(1024, 3), (1024, 3)]
"""

from __future__ import annotations

import os
import shutil
import tempfile
import zipfile
from collections.abc import Sequence
from typing import Any

import numpy as np

from ..core.codec import encode
from ..core.options import Coding, Targeted
from ..io.blocks import current_umask
from ..io.types import Annotation, ChannelInfo, Signal
from .archive import archive_metadata
from .layout import channel_key
from .timeline import DEFAULT_CHUNK, checked_chunk, last_chunk_coding, split_channel

# Targets that hold chunk by chunk without the whole channel (its range or energy) known.
_STREAMED_TARGETS = ("rmse", "max_error")


class ArchiveWriter:
    """Writes a new archive at `path` from blocks of samples of all channels.

    Parameters
    ----------
    path : str
        A directory store (``.zarr``) or zip file (``.zip``) that does not exist yet.
    channels : int
        How many channels every block holds.
    coding : Options or Targeted
        How every chunk is coded. A target must hold chunk by chunk (RMSE or maximum error): a
        PSNR or PRD target needs the whole channel's range or energy, unknown while recording.
    chunk : int, optional
        Samples per chunk.
    info : list of ChannelInfo, optional
        What is known of each channel.
    source, description, start, rate, annotations, attrs
        The recording's metadata, as `Signal` holds it.

    Raises
    ------
    FileExistsError
        Something is at `path` already.
    ValueError
        A target that cannot hold chunk by chunk, a chunk length below the minimum, or `info`
        of another length than `channels`.

    Examples
    --------
    See the module.
    """

    def __init__(self, path: str, channels: int, coding: Coding, *, chunk: int = DEFAULT_CHUNK,
                 info: Sequence[ChannelInfo] | None = None, source: str = "",
                 description: str = "", start: str | None = None, rate: int | None = None,
                 annotations: Sequence[Annotation] = (), attrs: dict[str, Any] | None = None):
        if isinstance(coding, Targeted) and coding.target.metric not in _STREAMED_TARGETS:
            raise ValueError(f"a {coding.target.metric} target needs the whole channel; "
                             "written block by block, an archive takes an RMSE or maximum "
                             "error target")
        if info is not None and len(info) != channels:
            raise ValueError(f"{len(info)} channel infos for {channels} channels")
        if os.path.lexists(path):
            raise FileExistsError(17, "File exists", path)
        self.path, self.coding, self.chunk = path, coding, checked_chunk(chunk)
        self._signal = Signal([], rate, description, info=list(info or []), start=start,
                              annotations=list(annotations), source=source, attrs=attrs or {})
        self._pending: list[list[np.ndarray[Any, Any]]] = [[] for _ in range(channels)]
        self._lengths = [0] * channels
        self._flushed = [0] * channels
        self._staging: str | None = tempfile.mkdtemp(
            prefix=".vtrl-", suffix=".tmp", dir=os.path.dirname(os.path.abspath(path)))
        os.chmod(self._staging, 0o777 & ~current_umask())  # as a new directory gets

    def append(self, block: Any) -> None:
        """Adds samples to every channel: a 2-D block of (samples, channels), or 1-D for an
        archive of one channel. Each chunk is coded and stored as soon as it is full.

        Raises
        ------
        ValueError
            A block of another shape, or a closed writer.
        """
        if self._staging is None:
            raise ValueError(f"{self.path}: the writer is closed")
        data = np.asarray(block)
        if data.ndim == 1 and len(self._pending) == 1:
            data = data[:, None]
        if data.ndim != 2 or data.shape[1] != len(self._pending):
            raise ValueError(f"a block of shape {data.shape}, not (samples, "
                             f"{len(self._pending)})")
        for k in range(len(self._pending)):
            self._pending[k].append(np.array(data[:, k]))
            self._lengths[k] += data.shape[0]
            buffered = self._lengths[k] - self._flushed[k] * self.chunk
            if buffered >= self.chunk:
                joined = np.concatenate(self._pending[k])
                full = buffered // self.chunk
                for part in split_channel(joined[:full * self.chunk], self.chunk):
                    self._store(k, part, self.coding)
                self._pending[k] = [joined[full * self.chunk:]]

    def _store(self, k: int, samples: np.ndarray[Any, Any], coding: Coding) -> None:
        assert self._staging is not None
        folder = os.path.join(self._staging, channel_key(k), "c")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, str(self._flushed[k])), "xb") as f:
            f.write(encode(samples, coding))
        self._flushed[k] += 1

    def close(self) -> None:
        """Codes what is left (the last chunk of each channel, filled up with gaps), writes the
        metadata and puts the archive at its path."""
        if self._staging is None:
            return
        try:
            shapes = []
            for k, pending in enumerate(self._pending):
                rest = np.concatenate(pending) if pending else np.empty(0, np.float32)
                if self._flushed[k] == 0:  # one chunk: the whole channel, at its own length
                    if rest.size:
                        self._store(k, rest, self.coding)
                    shapes.append(max(rest.size, 1))
                    continue
                if rest.size:
                    last = split_channel(np.concatenate([rest, np.full(self.chunk, np.nan)]),
                                         self.chunk)[0]
                    self._store(k, last, last_chunk_coding(self.coding, rest.size, self.chunk))
                shapes.append(self.chunk)
            self._signal.channels = [np.broadcast_to(np.float32(0), (n,)) for n in self._lengths]
            for key, data in archive_metadata(self._signal, self.coding, shapes).items():
                os.makedirs(os.path.dirname(os.path.join(self._staging, key)), exist_ok=True)
                with open(os.path.join(self._staging, key), "xb") as f:
                    f.write(data)
            self._place()
        except BaseException:
            self.abort()
            raise
        self._staging = None

    def _place(self) -> None:
        assert self._staging is not None
        if not self.path.lower().endswith(".zip"):
            os.rename(self._staging, self.path)
            return
        built = self._staging + ".zip"
        with zipfile.ZipFile(built, "x", zipfile.ZIP_STORED) as z:
            for top, dirs, files in os.walk(self._staging):
                dirs.sort()
                for name in sorted(files):
                    full = os.path.join(top, name)
                    z.write(full, os.path.relpath(full, self._staging).replace(os.sep, "/"))
        if os.path.lexists(self.path):
            os.remove(built)
            raise FileExistsError(17, "File exists", self.path)
        os.rename(built, self.path)
        shutil.rmtree(self._staging)

    def abort(self) -> None:
        """Drops everything written so far; nothing appears at the path."""
        if self._staging is not None:
            shutil.rmtree(self._staging, ignore_errors=True)
            if os.path.exists(self._staging + ".zip"):
                os.remove(self._staging + ".zip")
            self._staging = None

    def __enter__(self) -> ArchiveWriter:
        return self

    def __exit__(self, kind: object, *rest: object) -> None:
        if kind is None:
            self.close()
        else:
            self.abort()
