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

import collections
import math
import os
import shutil
import tempfile
import zipfile
from collections.abc import Callable, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

import numpy as np

from ..core.codec import encode
from ..core.metrics import rmse_bound
from ..core.options import Coding, Targeted
from ..io.blocks import current_umask
from ..io.types import Annotation, ChannelInfo, Signal
from .archive import archive_metadata
from .layout import channel_key
from .timeline import (
    DEFAULT_CHUNK,
    checked_chunk,
    filled_up,
    full_chunk_coding,
    last_chunk_coding,
)

# What codes one chunk: channel, samples, coding -> container.
Encoder = Callable[[int, np.ndarray, Coding], bytes]
# What turns a channel's samples as appended into those coded: channel, samples -> samples.
Converter = Callable[[int, np.ndarray], np.ndarray]


class ArchiveWriter:
    """Writes a new archive at `path` from blocks of samples of all channels.

    Parameters
    ----------
    path : str
        A directory store (``.zarr``) or zip file (``.zip``) that does not exist yet.
    channels : int
        How many channels every block holds.
    coding : Options or Targeted
        How every chunk is coded. RMSE and maximum error targets hold chunk by chunk; a PSNR
        target needs each channel's peak (`levels`: its range, such as a recording's physical
        range) and a PRD target each channel's RMS or a lower bound of it (`levels`), given up
        front, from which each chunk's RMSE follows as for an archive written whole.
    chunk : int, optional
        Samples per chunk.
    info : list of ChannelInfo, optional
        What is known of each channel; a channel's grid is where a target is measured.
    levels : list of float, optional
        Each channel's peak (PSNR) or RMS (PRD), for those targets only.
    threads : int, optional
        Chunks coded at once (the same archive for any count).
    encoder : callable, optional
        ``encoder(k, samples, coding)``: the container of a chunk of channel k, in place of
        `encode` on the channel's grid.
    on_chunk : callable, optional
        Called with the count of a chunk's real samples once it is stored.
    convert : callable, optional
        ``convert(k, samples)``: channel k's samples as coded, from those appended (a
        recording's integer codes, held as such, into physical values), on the thread that codes
        the chunk; applied to a whole chunk or to the samples of a short last one.
    zipped : bool, optional
        Whether to write a zip file; by default, when `path` ends in ``.zip``.
    source, description, start, rate, annotations, attrs
        The recording's metadata, as `Signal` holds it.

    Raises
    ------
    FileExistsError
        Something is at `path` already.
    ValueError
        A PSNR or PRD target without `levels`, a chunk length below the minimum, or `info` or
        `levels` of another length than `channels`.

    Examples
    --------
    See the module.
    """

    def __init__(self, path: str, channels: int, coding: Coding, *, chunk: int = DEFAULT_CHUNK,
                 info: Sequence[ChannelInfo] | None = None,
                 levels: Sequence[float] | None = None, threads: int = 1,
                 encoder: Encoder | None = None, on_chunk: Callable[[int], None] | None = None,
                 convert: Converter | None = None, zipped: bool | None = None,
                 source: str = "", description: str = "", start: str | None = None,
                 rate: int | None = None, annotations: Sequence[Annotation] = (),
                 attrs: dict[str, Any] | None = None):
        if info is not None and len(info) != channels:
            raise ValueError(f"{len(info)} channel infos for {channels} channels")
        self.path, self.coding, self.chunk = path, coding, checked_chunk(chunk)
        self._full = self._full_codings(coding, channels, levels)
        if os.path.lexists(path):
            raise FileExistsError(17, "File exists", path)
        self._signal = Signal([], rate, description, info=list(info or []), start=start,
                              annotations=list(annotations), source=source, attrs=attrs or {})
        self._encoder = encoder or self._encode
        self._on_chunk = on_chunk
        self._convert = convert
        self._zipped = path.lower().endswith(".zip") if zipped is None else zipped
        self.stored_bytes = 0  # of the containers stored so far
        self._window = 2 * max(1, threads)
        self._pool = ThreadPoolExecutor(max(1, threads)) if threads > 1 else None
        self._coding: collections.deque[tuple[Future[bytes] | bytes, int, int, int]] = (
            collections.deque())
        self._pending: list[list[np.ndarray[Any, Any]]] = [[] for _ in range(channels)]
        self._lengths = [0] * channels
        self._submitted = [0] * channels  # chunks handed to the coder, per channel
        self._staging: str | None = tempfile.mkdtemp(
            prefix=".vtrl-", suffix=".tmp", dir=os.path.dirname(os.path.abspath(path)))
        os.chmod(self._staging, 0o777 & ~current_umask())  # as a new directory gets

    @staticmethod
    def _full_codings(coding: Coding, channels: int,
                      levels: Sequence[float] | None) -> list[Coding]:
        """How each channel's full chunks are coded."""
        if not isinstance(coding, Targeted):
            return [coding] * channels
        metric, value = coding.target.metric, coding.target.value
        if metric in ("rmse", "max_error"):
            return [full_chunk_coding(coding, rmse_bound(metric, value, []))] * channels
        if levels is None or len(levels) != channels:
            raise ValueError(f"a {metric} target written block by block needs each channel's "
                             f"{'peak' if metric == 'psnr' else 'RMS'} up front "
                             f"({channels} levels, not "
                             f"{'none' if levels is None else len(levels)})")
        if not all(math.isfinite(v) and v >= 0 for v in levels):
            raise ValueError(f"each channel's level is a finite number >= 0, not {list(levels)}")
        # The bound from the level alone: a range [0, peak], or one sample at the RMS.
        points = ([[0.0, float(v)] for v in levels] if metric == "psnr"
                  else [[float(v)] for v in levels])
        return [full_chunk_coding(coding, rmse_bound(metric, value, p)) for p in points]

    def _encode(self, k: int, samples: np.ndarray[Any, Any], coding: Coding) -> bytes:
        grid = self._signal.channel_info(k).grid
        return encode(samples, coding, grid=grid)

    def append(self, block: Any) -> None:
        """Adds samples to every channel: a 2-D block of (samples, channels), or 1-D for an
        archive of one channel. Each chunk is coded and stored once it is full and followed by
        a sample (a channel of one chunk is coded as a whole on closing).

        Raises
        ------
        ValueError
            A block of another shape, or a closed writer.
        """
        data = np.asarray(block)
        if data.ndim == 1 and len(self._pending) == 1:
            data = data[:, None]
        if data.ndim != 2 or data.shape[1] != len(self._pending):
            raise ValueError(f"a block of shape {data.shape}, not (samples, "
                             f"{len(self._pending)})")
        self.append_channels([data[:, k] for k in range(data.shape[1])])

    def append_channels(self, block: Sequence[Any]) -> None:
        """Adds samples to every channel: one 1-D array per channel, of any lengths (channels
        of different rates in the ratio of their rates).

        Raises
        ------
        ValueError
            Another count of channels, an array not 1-D, or a closed writer.
        """
        if self._staging is None:
            raise ValueError(f"{self.path}: the writer is closed")
        if len(block) != len(self._pending):
            raise ValueError(f"a block of {len(block)} channels, not {len(self._pending)}")
        parts = [np.asarray(samples) for samples in block]
        for k, samples in enumerate(parts):
            if samples.ndim != 1:
                raise ValueError(f"channel {k} of a block is not 1-D")
        for k, samples in enumerate(parts):
            self._pending[k].append(np.array(samples))
            self._lengths[k] += samples.size
            buffered = self._lengths[k] - self._submitted[k] * self.chunk
            while buffered > self.chunk:
                self._submit(k, self._take(k, self.chunk), self._full[k], 0)
                buffered -= self.chunk

    def _take(self, k: int, n: int) -> np.ndarray[Any, Any]:
        """The first `n` samples held for channel k, in an array of their own: no buffer of
        more than one chunk is built, and the blocks taken up are let go of at once."""
        pieces = self._pending[k]
        out = np.empty(n, np.result_type(*pieces))
        at = 0
        while at < n:
            m = min(n - at, pieces[0].size)
            out[at:at + m] = pieces[0][:m]
            at += m
            if m == pieces[0].size:
                pieces.pop(0)
            else:
                pieces[0] = pieces[0][m:]
        return out

    def _submit(self, k: int, samples: np.ndarray[Any, Any], coding: Coding, fill: int) -> None:
        """Codes a chunk (on the pool, if any), its samples filled up with gaps to `fill`, and
        stores the chunks whose turn has come."""
        job: Future[bytes] | bytes = (
            self._pool.submit(self._code, k, samples, coding, fill) if self._pool is not None
            else self._code(k, samples, coding, fill))
        self._coding.append((job, k, self._submitted[k], samples.size))
        self._submitted[k] += 1
        while len(self._coding) > (self._window if self._pool is not None else 0):
            self._store_next()

    def _code(self, k: int, samples: np.ndarray[Any, Any], coding: Coding, fill: int) -> bytes:
        values = samples if self._convert is None else self._convert(k, samples)
        return self._encoder(k, filled_up(values, fill), coding)

    def _store_next(self) -> None:
        job, k, j, real = self._coding.popleft()
        self._store(k, j, job if isinstance(job, bytes) else job.result())
        if self._on_chunk is not None:
            self._on_chunk(real)

    def _store(self, k: int, j: int, container: bytes) -> None:
        assert self._staging is not None
        folder = os.path.join(self._staging, channel_key(k), "c")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, str(j)), "xb") as f:
            f.write(container)
        self.stored_bytes += len(container)

    def close(self) -> None:
        """Codes what is left (the last chunk of each channel, filled up with gaps), writes the
        metadata and puts the archive at its path."""
        if self._staging is None:
            return
        try:
            shapes = []
            for k, pending in enumerate(self._pending):
                rest = np.concatenate(pending) if pending else np.empty(0, np.float32)
                self._pending[k] = []
                if self._lengths[k] <= self.chunk:  # one chunk: the whole channel, as it is
                    if rest.size:
                        self._submit(k, rest, self.coding, 0)
                    shapes.append(max(rest.size, 1))
                    continue
                self._submit(k, rest, last_chunk_coding(self._full[k], rest.size, self.chunk),
                             self.chunk)  # filled up with gaps
                shapes.append(self.chunk)
            while self._coding:
                self._store_next()
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
        self._shutdown()

    def _place(self) -> None:
        assert self._staging is not None
        if not self._zipped:
            os.rename(self._staging, self.path)
            return
        built = self._staging + ".zip"
        # In the order an archive written whole has: the metadata of the group and of each
        # channel, then each channel's chunks in turn.
        names = [channel_key(k) for k in range(len(self._submitted))]
        keys = ["zarr.json", *(f"{name}/zarr.json" for name in names)]
        for name, count in zip(names, self._submitted, strict=True):
            keys += [f"{name}/c/{j}" for j in range(count)]
        with zipfile.ZipFile(built, "x", zipfile.ZIP_STORED) as z:
            for key in keys:
                z.write(os.path.join(self._staging, *key.split("/")), key)
        if os.path.lexists(self.path):
            os.remove(built)
            raise FileExistsError(17, "File exists", self.path)
        os.rename(built, self.path)
        shutil.rmtree(self._staging)

    def _shutdown(self) -> None:
        if self._pool is not None:
            self._pool.shutdown(wait=True, cancel_futures=True)
            self._pool = None
        self._coding.clear()

    def abort(self) -> None:
        """Drops everything written so far; nothing appears at the path."""
        self._shutdown()
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
