"""Output paths and the writing of a command's outputs: all of them or none.

A command first plans every output: `OutputPlan.add` refuses a path that another output or an
input already has (after resolving links), an existing file unless forced, and an existing
directory. Then `OutputPlan.stage` writes each output's bytes to a temporary file with a short
name in the output's own directory, and `OutputPlan.commit` renames them all into place. Any
failure before the last rename removes the temporaries, puts back the files already replaced and
removes the directories the plan created, so a target is never seen half-written and a command
that fails leaves its outputs as they were. Once the renames begin, the signals that end a
command wait until they and the clean-up are done. Every error names the path the user gave.

An output may be a directory tree (a Zarr store): `OutputPlan.stage_tree` gives a temporary
directory beside it to build the tree in, and the commit renames the directory into place. Forced,
it replaces an existing tree only if that is a Zarr store (it holds ``zarr.json``), never another
directory.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import stat
import tempfile
import threading
from collections.abc import Callable, Iterable, Iterator

from ..io.blocks import current_umask
from .errors import CliError

CONTAINER_SUFFIX = ".vtrl"
# Temporary names stay short, whatever the target's name: a name close to the file system's limit
# still gets its temporary.
_TEMP_PREFIX, _TEMP_SUFFIX = ".vtrl-", ".tmp"


def os_error(path: str, exc: OSError) -> CliError:
    return CliError(f"{path}: {exc.strerror or exc}")


def _exists(path: str) -> CliError:
    return CliError(f"{path} already exists (use -f to overwrite it)")


# The signals that end a command (see the command's main): held while outputs are put in place or
# cleaned up, so that neither is left half done.
_HELD_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                      if hasattr(signal, name))


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """The body runs to its end whatever signal arrives; the signals are dropped: once the last
    output is in place the command has succeeded, and a clean-up that is under way finishes."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {signum: signal.signal(signum, lambda *_: None) for signum in _HELD_SIGNALS}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


class OutputPlan:
    """The outputs of one command, checked together and written all or none."""

    def __init__(self, inputs: Iterable[str], force: bool) -> None:
        self._force = force
        self._inputs: dict[str, str] = {}  # real path -> the input as given
        self._input_ids: dict[tuple[int, int], str] = {}  # (device, inode) -> the input
        for path in inputs:
            self._inputs.setdefault(os.path.realpath(path), path)
            try:
                st = os.stat(path)
            except OSError:
                continue  # reading it will report that
            self._input_ids.setdefault((st.st_dev, st.st_ino), path)
        self._owners: dict[str, tuple[str, str]] = {}  # real path -> (output, what writes it)
        self._staged: list[tuple[str, str]] = []  # (temporary, output)
        self._made_dirs: list[str] = []

    def add(self, path: str, owner: str, tree: bool = False) -> None:
        """Plans the output `path`, written for `owner` (an input or a description); `tree` if
        it is a directory built by `stage_tree`."""
        key = os.path.normcase(os.path.realpath(path))
        if key in self._owners:
            first, other = self._owners[key]
            if other == owner:
                raise CliError(f"{owner} would write {path} twice")
            raise CliError(f"{other} and {owner} would both be written to {first}")
        if key in self._inputs:
            raise CliError(f"{path} is an input of this command; it is never overwritten")
        try:
            st = os.stat(path)
        except FileNotFoundError:
            st = None
        except OSError as exc:
            raise os_error(path, exc) from None
        if st is not None:
            if stat.S_ISDIR(st.st_mode) and not (
                    tree and os.path.isfile(os.path.join(path, "zarr.json"))):
                raise CliError(f"{path} is a directory")
            if tree and os.path.islink(path.rstrip(os.sep)):
                raise CliError(f"{path} is a symbolic link; an archive replaces a directory, not "
                               f"a link: give the path it points to ({os.path.realpath(path)})")
            if (st.st_dev, st.st_ino) in self._input_ids:
                raise CliError(f"{path} is an input of this command; it is never overwritten")
            if not self._force:
                raise _exists(path)
        self._owners[key] = (path, owner)

    def stage(self, path: str, data: bytes) -> str:
        """Writes the bytes of the planned output `path` to a temporary file beside it, and
        returns that file's name (a writer may also fill it itself before the commit)."""
        directory = os.path.dirname(path) or os.curdir
        self._make_directory(directory, path)
        try:
            fd, tmp = tempfile.mkstemp(prefix=_TEMP_PREFIX, suffix=_TEMP_SUFFIX, dir=directory)
        except OSError as exc:
            raise os_error(path, exc) from None
        self._staged.append((tmp, path))
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
            os.chmod(tmp, 0o666 & ~current_umask())
        except OSError as exc:
            raise os_error(path, exc) from None
        return tmp

    def stage_tree(self, path: str) -> str:
        """A new temporary directory beside the planned output `path`, to build its tree in."""
        directory = os.path.dirname(path.rstrip(os.sep)) or os.curdir
        self._make_directory(directory, path)
        try:
            tmp = tempfile.mkdtemp(prefix=_TEMP_PREFIX, suffix=_TEMP_SUFFIX, dir=directory)
        except OSError as exc:
            raise os_error(path, exc) from None
        self._staged.append((tmp, path.rstrip(os.sep)))
        try:
            os.chmod(tmp, 0o777 & ~current_umask())  # mkdtemp's 0700 is for its name, not its use
        except OSError as exc:
            raise os_error(path, exc) from None
        return tmp

    def commit(self) -> None:
        """Renames every staged output into place; on a failure, undoes the renames done."""
        with _signals_held():
            self._commit()

    def _commit(self) -> None:
        done: list[tuple[str, str | None, bool]] = []  # (output, its old file's copy, existed)
        try:
            for tmp, path in self._staged:
                existed = os.path.lexists(path)
                backup = _keep_aside(path) if existed else None
                try:
                    self._place(tmp, path)
                except OSError as exc:
                    if backup is not None and os.path.isdir(backup):
                        _quietly(os.replace, backup, path)  # the old tree itself, moved aside
                    elif backup is not None:
                        _quietly(os.unlink, backup)
                    if isinstance(exc, FileExistsError):
                        raise _exists(path) from None
                    raise os_error(path, exc) from None
                done.append((path, backup, existed))
        except BaseException:
            for path, backup, existed in reversed(done):
                if backup is not None:
                    if os.path.isdir(backup):
                        _quietly(_remove, path)
                    _quietly(os.replace, backup, path)
                elif not existed:
                    _quietly(_remove, path)
            raise
        self._staged.clear()
        self._made_dirs.clear()
        for _, backup, _ in done:
            if backup is not None:
                _quietly(_remove, backup)

    def _place(self, tmp: str, path: str) -> None:
        """Renames `tmp` to `path`; unless forced, never over a file that appeared meanwhile."""
        if os.path.isdir(tmp):
            # A rename would also replace an empty directory: refuse whatever is there now.
            if os.path.lexists(path):
                raise FileExistsError(path)
            os.rename(tmp, path)
            return
        if not self._force:
            try:
                os.link(tmp, path)
            except FileExistsError:
                raise
            except OSError:
                pass  # no hard links on this file system: a rename, as checked by add
            else:
                _quietly(os.unlink, tmp)
                return
        os.replace(tmp, path)

    def discard(self) -> None:
        """Removes every temporary and every directory this plan created."""
        with _signals_held():
            for tmp, _ in self._staged:
                _quietly(_remove, tmp)
            self._staged.clear()
            for directory in reversed(self._made_dirs):
                _quietly(os.rmdir, directory)
            self._made_dirs.clear()

    def __enter__(self) -> OutputPlan:
        return self

    def __exit__(self, kind: object, *_: object) -> None:
        if kind is not None or self._staged:
            self.discard()

    def _make_directory(self, directory: str, path: str) -> None:
        missing = []
        while directory and not os.path.isdir(directory):
            missing.append(directory)
            parent = os.path.dirname(directory)
            if parent == directory:
                break
            directory = parent
        for directory in reversed(missing):
            try:
                os.mkdir(directory)
            except OSError as exc:
                raise os_error(path, exc) from None
            self._made_dirs.append(directory)


def _remove(path: str) -> None:
    """Removes a file, or a directory tree this plan made or replaced."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    else:
        os.unlink(path)


def _keep_aside(path: str) -> str | None:
    """A second name for the file at `path` (a hard link), so that a failed commit can put it
    back, or the new name of the directory tree at `path`, moved aside; None where the file
    system has no hard links."""
    directory = os.path.dirname(path) or os.curdir
    is_tree = os.path.isdir(path) and not os.path.islink(path)
    for _ in range(10):
        backup = os.path.join(directory, f"{_TEMP_PREFIX}{os.urandom(4).hex()}{_TEMP_SUFFIX}")
        try:
            if is_tree:
                if os.path.lexists(backup):
                    continue
                os.rename(path, backup)
                return backup
            os.link(path, backup, follow_symlinks=False)
            return backup
        except FileExistsError:
            continue
        except OSError:
            return None
    return None


def _quietly(action: Callable[..., object], *paths: str) -> None:
    try:
        action(*paths)
    except OSError:
        pass


def write_file_atomically(path: str, data: bytes) -> None:
    """Writes `data` to `path` (replacing a file there) so that `path` is never seen half-written."""
    with OutputPlan((), force=True) as plan:
        plan.add(path, path)
        plan.stage(path, data)
        plan.commit()


def read_bytes(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def strip_suffix(path: str, suffix: str) -> str:
    base = os.path.basename(path)
    if base.lower().endswith(suffix) and len(base) > len(suffix):
        return base[: -len(suffix)]
    return os.path.splitext(base)[0] or base


def output_is_file(path: str, suffixes: Iterable[str]) -> bool:
    """Whether -o `path` names one file, by one of `suffixes` (in any letter case), rather than a
    directory: one that exists, or a name that ends in a separator or has no suffix. A name with
    any other suffix is refused, naming the suffixes this command writes."""
    suffix = os.path.splitext(os.path.basename(path))[1]
    known = sorted(suffixes)
    if suffix.lower() in known:
        return True
    if not suffix or os.path.isdir(path):
        return False
    raise CliError(f"{path}: cannot write {suffix} files; give a name ending in "
                   f"{', '.join(known)} or a directory")
