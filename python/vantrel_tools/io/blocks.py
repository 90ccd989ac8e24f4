"""Recordings read and written block by block, in memory bounded by the block and not by the
recording's length.

A `BlockReader` knows the recording's metadata before the first block (`header`: a `Signal`
whose channels are empty arrays of the element type the blocks come in) and each channel's length
from the file's header (`lengths`; None for an audio stream whose header leaves it open); it then yields one list of arrays per block, every channel's covering the
same time span (a channel sampled twice as fast gets twice the samples). The blocks of a file
concatenated are exactly the channels `read_signal` gives.

A `BlockWriter` writes the header from the channel infos of a header `Signal`, takes blocks of
any length (channels of different rates in the ratio of their rates) and puts the files in place
on `close()`; until then they are temporary files beside the target, removed by `abort()` or an
error inside a ``with`` block.
"""

from __future__ import annotations

import abc
import contextlib
import os
import tempfile
from collections.abc import Iterator, Sequence
from types import TracebackType
from typing import Any

import numpy as np

from .arrays import largest_finite, refuse_beyond_float32, refuse_empty, refuse_tiny
from .types import Channel, Signal, SignalFileError

# Samples of the fastest channel per block when the caller does not choose.
DEFAULT_BLOCK_SAMPLES = 1 << 16


class BlockReader(abc.ABC):
    """The blocks of one recording, read as they are asked for."""

    def __init__(self, path: str, header: Signal, lengths: list[int] | None) -> None:
        self.path = path
        self.header = header
        self.lengths = lengths

    @property
    def num_samples(self) -> int | None:
        """Samples of every channel together (what a progress display counts to); None when
        the header leaves the length open."""
        return None if self.lengths is None else sum(self.lengths)

    @abc.abstractmethod
    def next_block(self) -> list[Channel] | None:
        """The next block, or None after the last."""

    def next_stored(self) -> list[np.ndarray] | None:
        """The next block as the file stores its samples (an integer format's codes, a
        quarter of float64's bytes for 16 bits), which `physical` turns into the samples
        `next_block` gives; None after the last."""
        return self.next_block()

    def physical(self, k: int, stored: np.ndarray) -> Channel:
        """Channel k's samples of a stored block as `next_block` gives them, value for value;
        a monotonic map, applied to any part of a block."""
        return stored

    def stored_blocks(self) -> Iterator[list[np.ndarray]]:
        """The blocks as `next_stored` gives them, refused as iterating the reader refuses
        them (a channel's range is judged from the physical values of its extreme codes)."""
        return self._checked(True)

    def close(self) -> None:
        """Releases the file; a reader closes itself after the last block too."""

    def __iter__(self) -> Iterator[list[Channel]]:
        return self._checked(False)

    def _checked(self, stored: bool) -> Iterator[list[Any]]:
        counts = [0] * len(self.header.channels)
        largest: list[float | None] = [None] * len(counts)
        try:
            while (block := self.next_stored() if stored else self.next_block()) is not None:
                # Of a block of codes, only the values of its extremes are needed, unless one
                # is refused: then the whole block names the sample.
                shown = [self._extremes(k, c) if stored else c for k, c in enumerate(block)]
                with np.errstate(over="ignore"):
                    beyond = stored and any(
                        s.dtype.kind in "iu" and c.dtype == np.float64
                        and not np.isfinite(c.astype(np.float32)).all()
                        for s, c in zip(block, shown, strict=True))
                if beyond:
                    shown = [self.physical(k, c) for k, c in enumerate(block)]
                refuse_beyond_float32(shown, self.path, first=counts)
                for k, channel in enumerate(shown):
                    if channel.dtype == np.float64 and len(channel):
                        largest[k] = max(largest[k] or 0.0, largest_finite(channel))
                counts = [n + len(c) for n, c in zip(counts, block, strict=True)]
                yield block
        finally:
            self.close()
        # A stream whose header leaves its length open shows only now that it held nothing; a
        # channel's range, only over all its blocks.
        refuse_empty(self.header, counts, self.path)
        refuse_tiny(largest, self.path)

    def _extremes(self, k: int, stored: np.ndarray) -> Channel:
        """The physical values of a stored channel's smallest and largest code (the whole
        channel when it holds floats, whose extremes may be NaN)."""
        if stored.dtype.kind not in "iu" or not stored.size:
            return self.physical(k, stored)
        return self.physical(k, np.array([stored.min(), stored.max()], stored.dtype))

    def __enter__(self) -> BlockReader:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()


def block_units(samples_per_block: int, per_unit: Sequence[int]) -> int:
    """How many units (data records, frames) a block holds: as many as keep the fastest
    channel within `samples_per_block` (at least 1, as `open_blocks` checks), at least one."""
    return max(1, samples_per_block // max(per_unit))


def current_umask() -> int:
    """The process's file mode creation mask (read by setting it and setting it back)."""
    mask = os.umask(0)
    os.umask(mask)
    return mask


def temp_beside(path: str) -> str:
    """A new empty file in the directory of `path`, to be renamed onto it, with the mode a new
    file gets under the umask (not mkstemp's 0600, which is for the temporary's name only)."""
    directory, name = os.path.split(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=directory)
    os.close(fd)
    os.chmod(temp, 0o666 & ~current_umask())
    return temp


class Rechunker:
    """Collects samples per channel and hands them out in units of `per_unit[k]` samples of
    channel k (an EDF data record, a WFDB frame), whatever lengths the blocks come in."""

    def __init__(self, per_unit: Sequence[int], dtype: type = np.float64) -> None:
        self.per_unit = list(per_unit)
        self._held: list[list[np.ndarray]] = [[] for _ in per_unit]
        self._count = [0] * len(per_unit)
        self._dtype = dtype

    def add(self, block: Sequence[Channel]) -> None:
        for k, samples in enumerate(block):
            samples = np.asarray(samples)
            if samples.ndim != 1:
                raise ValueError(f"channel {k} of a block is not 1-D")
            if samples.size:
                self._held[k].append(samples)
                self._count[k] += samples.size

    def ready(self) -> int:
        """Whole units every channel holds."""
        return min(c // p for c, p in zip(self._count, self.per_unit, strict=True))

    def take(self, units: int) -> list[np.ndarray]:
        out = []
        for k, per in enumerate(self.per_unit):
            held = np.concatenate(self._held[k]) if self._held[k] else np.empty(0, self._dtype)
            n = units * per
            out.append(held[:n])
            rest = held[n:].copy()  # a view would keep the whole block alive
            self._held[k] = [rest] if rest.size else []
            self._count[k] = rest.size
        return out

    def leftover(self) -> list[int]:
        """Samples held per channel that make no whole unit."""
        return list(self._count)


class BlockWriter(abc.ABC):
    """A recording written block by block into temporary files, put in place on `close`."""

    def __init__(self, path: str, header: Signal) -> None:
        if not header.channels:
            raise SignalFileError(f"{path}: no channel to write")
        self.path = path
        self.header = header
        self.notes: list[str] = []
        self._temps: dict[str, str] = {}  # final path -> temporary file
        self._closed = False

    @property
    def num_channels(self) -> int:
        return len(self.header.channels)

    def temp_for(self, final: str) -> str:
        """The temporary file that becomes `final` on close."""
        if final not in self._temps:
            self._temps[final] = temp_beside(final)
        return self._temps[final]

    def write(self, block: Sequence[Channel]) -> None:
        """Appends a block: one 1-D array per channel."""
        if self._closed:
            raise ValueError(f"{self.path}: the writer is closed")
        if len(block) != self.num_channels:
            raise ValueError(f"{self.path}: a block of {len(block)} channels for a recording "
                             f"of {self.num_channels}")
        try:
            self.append(block)
        except BaseException:
            self.abort()
            raise

    @abc.abstractmethod
    def append(self, block: Sequence[Channel]) -> None:
        """Writes a block (the count of channels checked)."""

    @abc.abstractmethod
    def finish(self) -> None:
        """Completes the temporary files (headers, lengths) before they are put in place."""

    def close(self) -> list[str]:
        """Finishes the files and puts them in place; returns the notes for the user."""
        if self._closed:
            return self.notes
        try:
            self.finish()
            for final, temp in self._temps.items():
                os.replace(temp, final)
        except BaseException:
            self.abort()
            raise
        self._temps = {}
        self._closed = True
        self.notes = merged_notes(self.notes)
        return self.notes

    def abort(self) -> None:
        """Removes the temporary files; nothing of the recording is left."""
        self._closed = True
        self.release()
        for temp in self._temps.values():
            with contextlib.suppress(OSError):
                os.unlink(temp)
        self._temps = {}

    def release(self) -> None:  # noqa: B027 (a writer without open handles needs nothing)
        """Closes what the writer holds open (called before its files are removed)."""

    def __enter__(self) -> BlockWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if kind is None:
            self.close()
        else:
            self.abort()


def merged_notes(notes: list[str]) -> list[str]:
    """Notes of the blocks as one per subject: counts of the same kind ("channel 2: 5 samples
    clipped to ...") summed, every other note once, in the order first seen."""
    counts: dict[tuple[str, str], int] = {}
    for note in notes:
        head, sep, tail = note.partition(": ")
        number, space, rest = tail.partition(" ")
        if sep and space and number.isdigit():
            counts[(head, rest)] = counts.get((head, rest), 0) + int(number)
        else:
            counts.setdefault((note, ""), -1)
    return [head if count < 0 else f"{head}: {count} {rest}"
            for (head, rest), count in counts.items()]
