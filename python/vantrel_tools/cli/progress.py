"""Progress on a terminal's stderr: files done of many inputs, or samples done of one input of
several channels."""

from __future__ import annotations

import sys
from typing import Any


class Progress:
    """A progress bar on a terminal's stderr (tqdm when installed); nothing with ``-q`` or when
    stderr is not a terminal.

    With two inputs or more it counts files (`advance`). With one input it stays hidden until
    `count_samples` gives the input's samples, and then counts samples as `add_samples` reports
    the channels done (`advance` is then a no-op)."""

    def __init__(self, total: int, desc: str, quiet: bool) -> None:
        self._bar: Any = None
        self._fallback = False
        self._done = 0
        self._total = total
        self._desc = desc
        self._unit = "files"
        self._shown = not quiet and sys.stderr.isatty()
        if not self._shown or total < 2:
            return
        self._start("file")

    def _start(self, unit: str) -> None:
        try:
            from tqdm import tqdm
        except ImportError:
            self._fallback = True
            self._draw()
        else:
            self._bar = tqdm(total=self._total, desc=self._desc, unit=unit, file=sys.stderr,
                             leave=False)

    def count_samples(self, total: int, channels: int) -> None:
        """Counts samples of one input from here on: `total` over all its channels. Shown only
        for an input of several channels (one channel is done all at once) when no file count is
        shown."""
        if not self._shown or self._bar is not None or self._fallback or channels < 2:
            return
        self._unit, self._total, self._done = "samples", total, 0
        self._start("sample")

    def add_samples(self, count: int) -> None:
        if self._unit != "samples":
            return
        self._done += count
        if self._bar is not None:
            self._bar.update(count)
        else:
            self._draw()

    def advance(self) -> None:
        if self._unit != "files":
            return
        self._done += 1
        if self._bar is not None:
            self._bar.update(1)
        else:
            self._draw()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
        self._clear()
        self._fallback = False

    def _draw(self) -> None:
        if self._fallback:
            sys.stderr.write(f"\r{self._desc}: {self._done}/{self._total} {self._unit}")
            sys.stderr.flush()

    def _clear(self) -> None:
        if self._fallback:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
