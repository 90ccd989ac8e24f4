"""How compress and eval read their inputs: the options that choose a column of a text file or
the layout of a 2-D array, and the input's own size next to the float32 figures."""

from __future__ import annotations

import argparse

from ..io import Signal, read_signal
from ..io.arrays import MIN_CHANNEL_SAMPLES
from ..store.archive import is_archive, read_archive
from .errors import CliError


def _column(text: str) -> str | int:
    return int(text) if text.isdigit() else text


def add_input_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("reading the input")
    group.add_argument("--column", type=_column, metavar="NAME|INDEX",
                       help="the column of a .csv/.txt input with several: its name in the "
                            "header line or its index from 0")
    layout = group.add_mutually_exclusive_group()
    layout.add_argument("--channels-first", dest="channels_first", action="store_true",
                        default=None, help="the rows of a 2-D .npy array are its channels")
    layout.add_argument("--channels-last", dest="channels_first", action="store_false",
                        help="the columns of a 2-D .npy array are its channels (read so without "
                             "either option only when rows outnumber columns and number at "
                             f"least {MIN_CHANNEL_SAMPLES})")
    group.add_argument("--dataset", metavar="/GROUP/NAME",
                       help="the dataset of an HDF5 input holding several (or write "
                            "FILE.h5:/GROUP/NAME)")


def read_input(path: str, args: argparse.Namespace) -> Signal:
    if is_archive(path):
        try:
            return read_archive(path).signal
        except ValueError as exc:
            raise CliError(f"{path}: {exc}") from None
    return read_signal(path, column=args.column, channels_first=args.channels_first,
                       dataset=args.dataset)


def _stored_kind(signal: Signal) -> str | None:
    """What the input stores, when its size differs from float32 samples; None when not."""
    if signal.sample_bits == 32 or not signal.stored_bytes:
        return None
    return f"{signal.sample_bits}-bit samples" if signal.sample_bits else "text"


def ratio_vs_input(signal: Signal, output_bytes: int) -> str:
    """The ratio of the input file's size to the output's, as a clause to follow the float32
    ratio, and a word when the output is the larger (lossy audio is small already); empty when
    the input's size is not known."""
    if not signal.file_bytes or not output_bytes:
        return ""
    clause = f", {signal.file_bytes / output_bytes:.2f} vs the input file"
    if output_bytes > signal.file_bytes:
        clause += (f" (the output is larger than the input: {output_bytes / signal.file_bytes:.2f}"
                   f" times its {signal.file_bytes} bytes)")
    return clause


def own_ratio_note(signal: Signal) -> str | None:
    """How float32 ratios convert to ratios against the input's own size, or None."""
    stored = _stored_kind(signal)
    float32_bytes = 4 * sum(c.size for c in signal.channels)
    if stored is None or not float32_bytes:
        return None
    return (f"the input stores {stored}: its own ratio is the float32 ratio x "
            f"{signal.stored_bytes / float32_bytes:.3g}")
