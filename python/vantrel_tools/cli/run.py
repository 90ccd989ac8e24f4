"""What the file commands share: the output plan with its progress bar, the thread count, the
per-channel coder that names a refused channel, and the printing of result lines."""

from __future__ import annotations

import argparse
import contextlib
import functools
import sys
from collections.abc import Iterator

from ..core.channels import available_cores, in_order, pool
from ..core.codec import encode
from ..core.options import Coding
from ..io import Signal
from .errors import CliError
from .files import OutputPlan
from .progress import Progress


def threads_of(args: argparse.Namespace) -> int:
    """The threads a file command uses: --threads, else every core the process may use."""
    return args.threads if args.threads is not None else available_cores()


@contextlib.contextmanager
def planned(args: argparse.Namespace, verb: str) -> Iterator[tuple[OutputPlan, Progress]]:
    """The output plan of a file command and its progress bar over the inputs. The plan's
    outputs are put in place when the body ends without an error, and are discarded otherwise."""
    with OutputPlan(args.inputs, args.force) as plan:
        progress = Progress(len(args.inputs), verb, args.quiet)
        try:
            yield plan, progress
        finally:
            progress.close()
        plan.commit()


def coded(path: str, signal: Signal, coding: Coding, threads: int,
          progress: Progress | None = None) -> list[bytes]:
    """Every channel's container, coded on `threads` threads, each channel's samples counted on
    `progress` as it is done; the first channel refused fails the command, named with its
    label."""
    with pool(threads) as executor:
        jobs = (functools.partial(compress_channel, path, signal, k, coding, 1)
                for k in range(len(signal.channels)))
        containers = []
        for k, container in enumerate(in_order(executor, jobs, 2 * threads)):
            containers.append(container)
            if progress is not None:
                progress.add_samples(signal.channels[k].size)
        return containers


def compress_channel(path: str, signal: Signal, k: int, coding: Coding,
                      threads: int) -> bytes:
    """Channel k's container; a refused channel fails the command, named with its label."""
    try:
        return encode(signal.channels[k], coding, threads)
    except ValueError as exc:
        multi = len(signal.channels) > 1 or signal.channel_info(0).label
        where = f" {signal.channel_name(k)}" if multi else ""
        raise CliError(f"{path}{where}: {exc}") from None


def print_lines(lines: list[str], quiet: bool) -> None:
    """Prints the result lines of a command whose outputs are written: from here on nothing fails
    (an unprintable name is escaped, a closed stdout is ignored)."""
    if quiet:
        return
    try:
        for line in lines:
            print(line)
        sys.stdout.flush()
    except (OSError, UnicodeError):
        pass
