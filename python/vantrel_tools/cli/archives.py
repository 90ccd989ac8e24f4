"""The command line's archives: compressing one input into an archive, decoding one, the format
it came from, and ``vantrel info`` of an archive."""

from __future__ import annotations

import argparse
import os
import tempfile

from ..core.container import ContainerError
from ..core.options import Coding
from ..io import FORMAT_SUFFIX, Signal
from ..store.archive import read_archive, write_archive
from .errors import CliError
from .files import read_bytes
from .inputs import ratio_vs_input, read_input
from .run import coded, planned, print_lines, threads_of


def compress_to_archive(args: argparse.Namespace, options: Coding) -> int:
    """compress IN -o NAME.zarr or NAME.vtrl.zip: every channel of one input, with its metadata,
    into one archive."""
    if len(args.inputs) != 1:
        raise CliError(f"-o {args.output} is one archive but {len(args.inputs)} inputs were "
                       "given; compress each into its own archive")
    path, out = args.inputs[0], args.output.rstrip("/" + os.sep)
    with planned(args, "compress") as (plan, progress):
        signal = read_input(path, args)
        if not signal.channels:
            raise CliError(f"{path}: holds no channel")
        zipped = out.lower().endswith(".zip")
        plan.add(out, path, tree=not zipped)
        progress.count_samples(sum(c.size for c in signal.channels), len(signal.channels))
        containers = coded(path, signal, options, threads_of(args), progress)
        if zipped:
            with tempfile.TemporaryDirectory() as scratch:
                built = os.path.join(scratch, "archive.zip")
                write_archive(built, signal, containers, options)
                plan.stage(out, read_bytes(built))
        else:
            write_archive(plan.stage_tree(out), signal, containers, options)
        progress.advance()
    raw = 4 * sum(c.size for c in signal.channels)
    packed = sum(len(c) for c in containers)
    noun = "channel" if len(containers) == 1 else "channels"
    print_lines([f"{path} ({signal.description}) -> {out}: {len(containers)} {noun}, "
                 f"{packed} bytes, ratio {raw / packed:.2f} vs float32"
                 f"{ratio_vs_input(signal, packed)}"], args.quiet)
    return 0


def decode_archive(path: str) -> Signal:
    try:
        return read_archive(path).signal
    except (ValueError, ContainerError) as exc:
        raise CliError(f"{path}: {exc}") from None


def archive_source(path: str) -> str:
    try:
        source = read_archive(path, decode=False).signal.source
    except (ValueError, ContainerError) as exc:
        raise CliError(f"{path}: {exc}") from None
    return source if source in FORMAT_SUFFIX else "npy"


def info_archive(path: str) -> None:
    """The archive's metadata and one row per channel: label, rate, unit, samples, size, ratio."""
    try:
        archive = read_archive(path, decode=False)
    except (ValueError, ContainerError) as exc:
        raise CliError(f"{path}: {exc}") from None
    signal = archive.signal
    codec = ", ".join(f"{k} {v}" for k, v in archive.codec.items())
    print(f"file         {path}")
    print(f"source       {signal.description.removeprefix('archive of ')}")
    print(f"start        {signal.start or '-'}")
    print(f"annotations  {len(signal.annotations)}")
    print(f"coded with   {codec}")
    rows = [("ch", "label", "rate Hz", "unit", "samples", "bytes", "ratio")]
    for k, (channel, size) in enumerate(zip(signal.channels, archive.container_bytes,
                                            strict=True)):
        info = signal.channel_info(k)
        rate = f"{info.rate:g}" if info.rate is not None else "-"
        ratio = f"{4 * channel.size / size:.2f}" if size else "-"
        rows.append((str(k), info.label or "-", rate, info.unit or "-", str(channel.size),
                     str(size), ratio))
    raw = 4 * sum(c.size for c in signal.channels)
    packed = sum(archive.container_bytes)
    rows.append(("all", "", "", "", str(raw // 4), str(packed),
                 f"{raw / packed:.2f}" if packed else "-"))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(cell.ljust(w) if i in (1, 3) else cell.rjust(w)
                        for i, (cell, w) in enumerate(zip(row, widths, strict=True))).rstrip())
    print("ratio: float32 bytes / container bytes")
