"""Output paths and atomic writes: a file the command writes is either complete or absent."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable

from .errors import CliError

CONTAINER_SUFFIX = ".vtrl"


def write_file_atomically(path: str, data: bytes) -> None:
    """Writes `data` to `path` so that `path` is never seen half-written."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def read_bytes(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def strip_suffix(path: str, suffix: str) -> str:
    base = os.path.basename(path)
    if base.lower().endswith(suffix) and len(base) > len(suffix):
        return base[: -len(suffix)]
    return os.path.splitext(base)[0] or base


def refuse_shared_outputs(inputs: list[str], base_of: Callable[[str], str]) -> None:
    """Fails before any work when two inputs would write the same output."""
    owner: dict[str, str] = {}
    for path in inputs:
        key = os.path.normcase(os.path.abspath(base_of(path)))
        if key in owner and owner[key] != path:
            raise CliError(f"{owner[key]} and {path} would both be written to {base_of(path)}")
        owner[key] = path
