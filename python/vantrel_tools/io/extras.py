"""The optional libraries: which extra installs each, imported only where a format or store uses
it."""

from __future__ import annotations

import importlib
from types import ModuleType

from .types import MissingExtraError

# Module -> (the extra that installs it, the files it is needed for). Each format module (and
# the archive) registers the library it reads with.
EXTRAS: dict[str, tuple[str, str]] = {}


def register_extra(module: str, extra: str, what: str) -> None:
    """Records which extra installs `module`, for the message of a missing one.

    Parameters
    ----------
    module : str
        The library's import name (``"edfio"``).
    extra : str
        The extra of ``pip install 'vantrel[EXTRA]'`` that installs it.
    what : str
        What needs it, a plural: ``"EDF and BDF files"``.

    Returns
    -------
    None

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> register_extra("edfio", "edf", "EDF and BDF files")
    """
    EXTRAS[module] = (extra, what)


def require(module: str, path: str) -> ModuleType:
    """Imports the library of a format, or raises `MissingExtraError` naming its extra.

    Parameters
    ----------
    module : str
        The library's import name, registered with `register_extra`.
    path : str
        The file it is needed for, named by the message.

    Returns
    -------
    module

    Raises
    ------
    MissingExtraError
        The library cannot be imported.

    Examples
    --------
    >>> require("json", "x.json").__name__
    'json'
    """
    try:
        return importlib.import_module(module)
    except ImportError:
        extra, what = EXTRAS[module]
        raise MissingExtraError(
            f"{path}: {what} need the {module} package: pip install 'vantrel[{extra}]'"
        ) from None
