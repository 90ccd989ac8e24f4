"""The files of an archive as stored: a directory tree or the members of one zip file.

Reading is bounded by what the archive declares and checked against what it holds: a zip is
refused if its directory names a member twice, if a member is encrypted, patched (flag bit 5) or
compressed other than stored or deflated; a read asks for at most a given number of bytes, and a
member that inflates past its declared size fails its checksum instead of filling memory.
Every refusal is a `SignalFileError` naming the archive.
"""

from __future__ import annotations

import os
import stat
import zipfile
import zlib
from collections.abc import Iterator

from ..io.types import SignalFileError

# General purpose flag bits of a zip member that this reader cannot follow.
_ZIP_ENCRYPTED = 0x01
_ZIP_PATCHED = 0x20
_ZIP_METHODS = (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED)
# What zipfile and zlib raise for bytes that are not the member they claim to be.
_ZIP_ERRORS = (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError, RuntimeError,
               ValueError, OSError)


class ArchiveFiles:
    """Read access to the files of one archive, by their keys (``"zarr.json"``, ``"ch0/c/0"``).

    Parameters
    ----------
    path : str
        A directory, or a zip file (a name ending in ``.zip``).

    Raises
    ------
    FileNotFoundError
        Nothing at `path`.
    SignalFileError
        A zip file that is damaged or holds what this reader refuses (see the module).

    Examples
    --------
    >>> import os, tempfile
    >>> root = tempfile.mkdtemp()
    >>> with open(os.path.join(root, "zarr.json"), "wb") as f:
    ...     _ = f.write(b"{}")
    >>> with ArchiveFiles(root) as files:
    ...     sorted(files.keys()), files.size("zarr.json"), files.read("zarr.json", 10)
    (['zarr.json'], 2, b'{}')
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self._zip: zipfile.ZipFile | None = None
        self._sizes: dict[str, int] = {}
        if not os.path.exists(path):
            raise FileNotFoundError(2, "No such file or directory", path)
        if path.lower().endswith(".zip") and not os.path.isdir(path):
            self._open_zip()
        elif os.path.isdir(path):
            self._sizes = dict(self._walk())
        else:
            raise SignalFileError(f"{path}: not an archive (neither a directory nor a zip file)")

    def _open_zip(self) -> None:
        try:
            self._zip = zipfile.ZipFile(self.path)
        except _ZIP_ERRORS as exc:
            raise SignalFileError(f"{self.path}: damaged zip file ({exc})") from None
        for info in self._zip.infolist():
            name = info.filename
            if name in self._sizes:
                self.close()
                raise SignalFileError(f"{self.path}: the zip holds member {name!r} twice")
            problem = (
                "is encrypted" if info.flag_bits & _ZIP_ENCRYPTED
                else "holds patched data (flag bit 5)" if info.flag_bits & _ZIP_PATCHED
                else f"uses compression method {info.compress_type}"
                if info.compress_type not in _ZIP_METHODS else None)
            if problem:
                self.close()
                raise SignalFileError(f"{self.path}: zip member {name!r} {problem}, which this "
                                      "reader does not support")
            self._sizes[name] = info.file_size

    def _walk(self) -> Iterator[tuple[str, int]]:
        for top, dirs, files in os.walk(self.path):
            dirs.sort()
            rel = os.path.relpath(top, self.path)
            for name in sorted(files):
                key = name if rel == "." else f"{rel.replace(os.sep, '/')}/{name}"
                info = os.stat(os.path.join(top, name))
                if not stat.S_ISREG(info.st_mode):  # a pipe or device would block or never end
                    raise SignalFileError(f"{self.path}: {key} is not a regular file")
                yield key, info.st_size

    def keys(self) -> list[str]:
        """Every file's key."""
        return list(self._sizes)

    def size(self, key: str) -> int | None:
        """The size in bytes `key` declares (a zip member's uncompressed size), None if absent."""
        return self._sizes.get(key)

    def read(self, key: str, limit: int) -> bytes:
        """At most `limit` bytes from the start of `key`, which must exist.

        A read of the whole member (``limit`` at least its size) checks the zip's CRC-32 of it;
        a member holding other bytes than its directory declares fails that check.
        """
        if self._zip is None:
            with open(os.path.join(self.path, *key.split("/")), "rb") as f:
                return f.read(limit)
        try:
            with self._zip.open(key) as member:
                return member.read(min(limit, self._sizes[key]))
        except _ZIP_ERRORS as exc:
            raise SignalFileError(f"{self.path}: zip member {key!r} is damaged ({exc})") from None

    def close(self) -> None:
        if self._zip is not None:
            self._zip.close()

    def __enter__(self) -> ArchiveFiles:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
