"""Many channels at once: each channel is one standard container, coded on a pool of threads.

The codec runs without holding the interpreter, so channels (or the containers of several files)
coded on several threads run in parallel. The containers are exactly those of
:func:`vantrel_tools.compress` of each channel, whatever the number of threads. The pool helpers
(`pool`, `in_order`, `run_channels`, `available_cores`) serve the command line's file jobs too.
"""

from __future__ import annotations

import collections
import contextlib
import functools
import operator
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

import vantrel

from .codec import decompress, encode
from .options import Coding, Options, Targeted, not_with_target
from .prepared import Grid
from .target import QualityTarget

__all__ = ["available_cores", "compress_channels", "decompress_channels", "in_order", "pool",
           "run_channels"]

_In = TypeVar("_In")
_Out = TypeVar("_Out")

_SHAPE_TEXT = "expected a 2-D array (channels x samples), a sequence of 1-D arrays or a 1-D array"


def available_cores() -> int:
    """The cores this process may run on: the default number of threads.

    Parameters
    ----------
    None.

    Returns
    -------
    int
        At least 1.

    Raises
    ------
    Nothing.

    Examples
    --------
    >>> available_cores() >= 1
    True
    """
    counter = getattr(os, "process_cpu_count", None)  # Python 3.13
    if counter is not None:
        return counter() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def compress_channels(data: Any, options: vantrel.CompressionOptions | None = None, *,
                      threads: int | None = None, psnr: float | None = None,
                      prd: float | None = None, rmse: float | None = None,
                      max_error: float | None = None, method: str | None = None,
                      grid: Grid | Sequence[Grid | None] | None = None) -> list[bytes]:
    """Compresses every channel of `data` into its own container, on up to `threads` threads.

    Parameters
    ----------
    data : numpy.ndarray or sequence of numpy.ndarray
        A 2-D array (channels x samples), a sequence of 1-D arrays (of any lengths), or one 1-D
        array (one channel); float32 or float64, NaN and infinities allowed, or integers as
        ``vantrel_tools.compress`` takes them. The samples are copied before any channel is coded,
        so changing `data` meanwhile changes no container.
    options : vantrel.CompressionOptions, optional
        The options of every channel (default: the defaults of ``CompressionOptions``).
    threads : int, optional
        The most threads to use (default: the cores available to the process). Never more threads
        than channels code channels; a single long channel takes a second thread inside its coder.
    psnr, prd, rmse, max_error : float, optional
        A quality target instead of `options` (at most one): every channel becomes the smallest
        container found that meets it, as ``vantrel_tools.compress_to`` codes it.
    method : str, optional
        With a quality target, the wavelet; by default the search picks one per channel.
    grid : GridLike or float, or a sequence of them (None for a channel without), optional
        With a quality target, as ``vantrel_tools.compress_to`` takes it: one for every channel,
        or one per channel, such as ``[info.grid for info in signal.info]`` of a recording read
        by ``read_signal``.

    Returns
    -------
    list of bytes
        One container per channel, in order, each byte for byte what ``vantrel_tools.compress``
        (or ``compress_to``, given a target) makes of that channel.

    Raises
    ------
    ValueError
        A channel that ``vantrel_tools.compress`` refuses: the message starts with
        ``"channel K: "``, K the lowest refused channel; nothing is returned. Also `data` of
        another shape, or `threads` below 1.
    TypeError
        `options` that are no ``vantrel.CompressionOptions``.

    Examples
    --------
    >>> import numpy as np
    >>> from vantrel_tools import compress
    >>> leads = np.sin(np.linspace(0.0, 20.0, 3000)).reshape(3, 1000)
    >>> packed = compress_channels(leads, threads=2)
    >>> [c == compress(x) for c, x in zip(packed, leads)]
    [True, True, True]
    """
    count = _thread_count(threads)
    target = QualityTarget.given(psnr=psnr, prd=prd, rmse=rmse, max_error=max_error)
    coding: Coding
    if target is not None:
        if options is not None:
            raise ValueError(not_with_target(["options"]))
        coding = Targeted(target, method)
    elif method is not None:
        raise ValueError("method goes with a quality target; pass it in options otherwise")
    else:
        coding = Options.of(options)
    channels = _snapshot(data)
    grids = _grids(grid, len(channels))
    if target is None and any(g is not None for g in grids):
        raise ValueError("grid goes with a quality target")
    # Threads left over once every channel has one go to each channel's coder.
    inner = max(1, count // max(len(channels), 1))
    return run_channels(lambda job: encode(job[0], coding, inner, job[1]),
                        list(zip(channels, grids, strict=True)), count)


def _grids(grid: Grid | Sequence[Grid | None] | None, count: int) -> list[Grid | None]:
    if not isinstance(grid, Sequence):
        return [grid] * count
    if len(grid) != count:
        raise ValueError(f"grid holds {len(grid)} grids for {count} channels")
    return list(grid)


def decompress_channels(containers: Sequence[bytes | bytearray | memoryview], *,
                        threads: int | None = None) -> list[npt.NDArray[Any]]:
    """Decodes every container with ``vantrel_tools.decompress``, on up to `threads` threads.

    Parameters
    ----------
    containers : sequence of bytes-like
        Containers, with or without a trailer (bytes that are not ``bytes`` are copied first).
    threads : int, optional
        The most threads to use (default: the cores available to the process).

    Returns
    -------
    list of numpy.ndarray
        The samples of each container, in order, as ``vantrel_tools.decompress`` returns them
        (1-D float32, or the integer type a channel was given in).

    Raises
    ------
    ValueError
        A container that ``vantrel_tools.decompress`` refuses (``DamagedContainerError``,
        ``ContainerError`` and the codec's refusals keep their type): the message starts with
        ``"channel K: "``, K the lowest refused container; nothing is returned.

    Examples
    --------
    >>> import numpy as np
    >>> packed = compress_channels([np.zeros(10), np.ones(20, np.float32)])
    >>> [x.size for x in decompress_channels(packed)]
    [10, 20]
    """
    count = _thread_count(threads)
    snapshot = [c if isinstance(c, bytes) else bytes(c) for c in containers]
    return run_channels(decompress, snapshot, count)


def _thread_count(threads: int | None) -> int:
    if threads is None:
        return available_cores()
    count = operator.index(threads)
    if count < 1:
        raise ValueError(f"threads must be at least 1, not {count}")
    return count


def _snapshot(data: Any) -> list[Any]:
    """The channels of `data`, float and integer ones copied (contiguous, native byte order);
    others are left for the coder to refuse with their channel's number."""
    # A sequence holding one array is a sequence of channels, even when another of them is no
    # array at all ("abc"): the coder refuses that one under its channel's number.
    if isinstance(data, (list, tuple)) and any(np.ndim(c) >= 1 for c in data):
        return [_copied(np.asarray(c)) for c in data]
    array = np.asarray(data)
    if array.ndim == 1:
        return [_copied(array)]
    if array.ndim != 2:
        raise ValueError(f"{_SHAPE_TEXT}, not an array of {array.ndim} dimensions")
    return list(_copied(array))


def _copied(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    if array.dtype.kind not in "fiu":
        return array
    return np.array(array, dtype=array.dtype.newbyteorder("="), order="C", copy=True)


def run_channels(work: Callable[[_In], _Out], items: list[_In], threads: int) -> list[_Out]:
    """`work` of every item, in order, on up to `threads` threads.

    Parameters
    ----------
    work : callable
        Called with each item; it must not hold the interpreter for long to gain from threads.
    items : list
        The items, channel 0 first.
    threads : int
        The most threads to use (one runs on the calling thread).

    Returns
    -------
    list
        The results, in the order of `items`.

    Raises
    ------
    Exception
        The lowest-numbered failure, its message prefixed with ``"channel K: "``; items not
        started by then are dropped.

    Examples
    --------
    >>> run_channels(len, ["a", "bb", "ccc"], 2)
    [1, 2, 3]
    """
    workers = min(threads, len(items))
    if workers <= 1:
        return [_numbered(work, k, item) for k, item in enumerate(items)]
    with pool(workers) as executor:
        jobs = (functools.partial(_numbered, work, k, item) for k, item in enumerate(items))
        return list(in_order(executor, jobs, len(items)))


@contextlib.contextmanager
def pool(threads: int) -> Iterator[ThreadPoolExecutor]:
    """A pool of `threads` threads for the body; jobs not started when the body fails are
    dropped, and the pool is shut down on leaving.

    Parameters
    ----------
    threads : int
        At least 1.

    Returns
    -------
    context manager of concurrent.futures.ThreadPoolExecutor

    Raises
    ------
    ValueError
        `threads` below 1.

    Examples
    --------
    >>> with pool(2) as executor:
    ...     list(in_order(executor, [lambda: 1, lambda: 2], 2))
    [1, 2]
    """
    executor = ThreadPoolExecutor(threads, thread_name_prefix="vantrel")
    try:
        yield executor
    finally:
        executor.shutdown(wait=True, cancel_futures=True)


def in_order(pool: ThreadPoolExecutor, jobs: Iterable[Callable[[], _Out]],
              window: int) -> Iterator[_Out]:
    """The results of `jobs`, run on `pool`, in the order of `jobs`, with at most `window` (at
    least 1) submitted and not yet handed out.

    Parameters
    ----------
    pool : concurrent.futures.ThreadPoolExecutor
        Where the jobs run.
    jobs : iterable of callables
        Taken one at a time as room in the window frees up (a generator may read inputs lazily).
    window : int
        The most jobs submitted ahead of the one handed out next.

    Returns
    -------
    iterator
        The results, in order.

    Raises
    ------
    Exception
        A failure when its result is due: one of an earlier job first, also when taking the next
        job from `jobs` fails.

    Examples
    --------
    See `pool`.
    """
    pending: collections.deque[Future[_Out]] = collections.deque()
    source = iter(jobs)
    while True:
        try:
            job = next(source)
        except StopIteration:
            break
        except BaseException:
            for future in pending:
                future.result()
            raise
        pending.append(pool.submit(job))
        while len(pending) > window:
            yield pending.popleft().result()
    while pending:
        yield pending.popleft().result()


def _numbered(work: Callable[[_In], _Out], index: int, item: _In) -> _Out:
    try:
        return work(item)
    except Exception as exc:
        exc.args = (f"channel {index}: {exc}", *exc.args[1:])
        raise
