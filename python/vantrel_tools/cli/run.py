"""What the file commands share: the output plan with its progress bar, the thread count, the
per-channel coder that names a refused channel, and the printing of result lines."""

from __future__ import annotations

import argparse
import contextlib
import sys
from collections.abc import Iterator

from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]

from ..core.channels import available_cores
from ..core.codec import encode
from ..core.options import Coding, Targeted
from ..io import Channel, Signal
from .about import about_channel
from .errors import CliError
from .files import OutputPlan
from .progress import Progress


def one_blas_thread() -> None:
    """Keeps the BLAS behind NumPy on one thread for the command's process. The command runs its
    own threads over chunks and channels; OpenBLAS's helpers, woken by a distortion's dot
    products, busy-wait after each and took a core from them: a --psnr compress spent three
    times the CPU on a loaded machine."""
    threadpool_limits(limits=1, user_api="blas")


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


# The codec's refusal of a scale whose coarse bands would not fit 16 bits (a plateau, a square
# wave, a slow drift), and what codes such a channel from the command line.
_SATURATED = "Quantised coefficients exceed the 16-bit range"
_SATURATED_REMEDY = ("; code it with --method cdf53 (which never saturates up to scale 12), a "
                     "lower --scale, or a quality target such as --psnr 60 or --max-error")


def compress_channel(path: str, signal: Signal, k: int, coding: Coding,
                     threads: int, samples: Channel | None = None,
                     keep_about: bool = False) -> bytes:
    """Channel k's container (of `samples`, a chunk of it, when given); a refused channel fails
    the command, named with its label. A quality target holds on the channel's grid, where the
    file written back puts the samples. `keep_about`: the trailer keeps what is known of the
    channel (a container on its own)."""
    about = about_channel(signal, k) if keep_about else None
    multi = len(signal.channels) > 1 or signal.channel_info(0).label
    where = f" {signal.channel_name(k)}" if multi else ""
    # A channel of an integer format is measured on its own codes; --grid is for the others.
    grid = signal.channel_info(k).grid
    declared = coding.grid if isinstance(coding, Targeted) else None
    if grid is not None and declared is not None and declared != abs(grid.step):
        raise CliError(f"{path}{where}: --grid {declared!r} is not the file's own grid "
                       f"(step {abs(grid.step)!r}); leave --grid out for this file")
    try:
        return encode(signal.channels[k] if samples is None else samples, coding, threads, grid,
                      about)
    except ValueError as exc:
        remedy = _SATURATED_REMEDY if _SATURATED in str(exc) else ""
        raise CliError(f"{path}{where}: {exc}{remedy}") from None


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
