"""Progress over many input files: a bar on a terminal's stderr."""

from __future__ import annotations

import sys
from typing import Any


class Progress:
    """A progress bar on a terminal's stderr (tqdm when installed), for two inputs or more."""

    def __init__(self, total: int, desc: str, quiet: bool) -> None:
        self._bar: Any = None
        self._fallback = False
        self._done = 0
        self._total = total
        self._desc = desc
        if quiet or total < 2 or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            self._fallback = True
            self._draw()
        else:
            self._bar = tqdm(total=total, desc=desc, unit="file", file=sys.stderr, leave=False)

    def advance(self) -> None:
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
            sys.stderr.write(f"\r{self._desc}: {self._done}/{self._total} files")
            sys.stderr.flush()

    def _clear(self) -> None:
        if self._fallback:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
