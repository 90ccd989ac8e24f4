"""The command line's archives: compressing one input into an archive, decoding one, the format
it came from, and ``vantrel info`` of an archive."""

from __future__ import annotations

import argparse
import dataclasses
import functools
import os
import shutil
import tempfile
from collections.abc import Callable
from typing import Any

import numpy as np

from ..core.channels import in_order, pool
from ..core.container import ContainerError
from ..core.metrics import distortion
from ..core.options import Coding, Targeted
from ..io import (
    FORMAT_SUFFIX,
    BlockReader,
    Channel,
    Signal,
    SignalFileError,
    open_block_writer,
    open_blocks,
)
from ..io.blocks import DEFAULT_BLOCK_SAMPLES, merged_notes
from ..io.digital import to_codes
from ..io.registry import BLOCK_FORMATS, format_of, split_dataset
from ..io.types import SampleGrid
from ..store.archive import ArchiveBlocks, is_archive, read_archive, write_archive
from ..store.timeline import DEFAULT_CHUNK, checked_chunk, chunk_codings, split_channel
from ..store.writer import ArchiveWriter
from .about import on_grids
from .errors import CliError
from .files import OutputPlan, os_error, read_bytes
from .inputs import ratio_vs_input, read_input
from .progress import Progress
from .run import compress_channel, planned, print_lines, threads_of


# Samples of the longest channel per block decoded from an archive: a block passes through
# float64 values and the writer's codes, several copies of it at once beside the chunks held.
_DECODE_BLOCK = DEFAULT_BLOCK_SAMPLES // 4


def compress_to_archive(args: argparse.Namespace, options: Coding) -> int:
    """compress IN -o NAME.zarr or NAME.vtrl.zip: every channel of one input, with its metadata,
    into one archive."""
    if len(args.inputs) != 1:
        raise CliError(f"-o {args.output} is one archive but {len(args.inputs)} inputs were "
                       "given; compress each into its own archive")
    path, out = args.inputs[0], args.output.rstrip("/" + os.sep)
    try:
        chunk = checked_chunk(DEFAULT_CHUNK if args.chunk_samples is None else args.chunk_samples)
    except ValueError as exc:
        raise CliError(f"--chunk-samples: {exc}") from None
    if not is_archive(path) and format_of(path) in BLOCK_FORMATS and args.column is None:
        reader = open_blocks(path, dataset=args.dataset, channels_first=args.channels_first)
        if reader.lengths is not None and all(reader.lengths):
            return _stream_to_archive(args, reader, out, options, chunk)
        reader.close()  # a length left open or an empty channel: read whole, which says so
    with planned(args, "compress") as (plan, progress):
        signal = read_input(path, args)
        if not signal.channels:
            raise CliError(f"{path}: holds no channel")
        zipped = out.lower().endswith(".zip")
        plan.add(out, path, tree=not zipped)
        progress.count_samples(sum(c.size for c in signal.channels), len(signal.channels))
        containers = _coded_chunks(path, signal, options, threads_of(args), chunk,
                                   progress)
        try:  # a full disk names the archive, not the temporary it was built in
            if zipped:
                with tempfile.TemporaryDirectory() as scratch:
                    built = os.path.join(scratch, "archive.zip")
                    write_archive(built, signal, containers, options, chunk)
                    data = read_bytes(built)
                    plan.stage(out, data)
                    archive_bytes = len(data)
            else:
                tree = plan.stage_tree(out)
                write_archive(tree, signal, containers, options, chunk)
                archive_bytes = sum(os.path.getsize(os.path.join(d, name))
                                    for d, _, names in os.walk(tree) for name in names)
        except OSError as exc:
            raise os_error(out, exc) from None
        progress.advance()
    packed = sum(len(c) for chunks in containers for c in chunks)
    print_lines([_describe(path, signal, [c.size for c in signal.channels], out, packed,
                           archive_bytes)], args.quiet)
    return 0


def _describe(path: str, signal: Signal, lengths: list[int], out: str, packed: int,
              archive_bytes: int) -> str:
    noun = "channel" if len(lengths) == 1 else "channels"
    return (f"{path} ({signal.description}) -> {out}: {len(lengths)} {noun}, {packed} bytes, "
            f"ratio {4 * sum(lengths) / packed:.2f} vs float32"
            f"{ratio_vs_input(signal, archive_bytes)}")


def _stream_to_archive(args: argparse.Namespace, reader: BlockReader, out: str,
                       coding: Coding, chunk: int) -> int:
    """compress REC -o archive for a recording read block by block: the chunks are coded on the
    command's threads as they fill, so memory holds about one chunk per channel and thread,
    whatever the recording's length. The archive is the one the whole recording would give."""
    path, header = reader.path, reader.header
    assert reader.lengths is not None
    lengths = list(reader.lengths)
    header.source = header.source or format_of(path) or ""
    header.file_bytes = header.file_bytes or os.path.getsize(split_dataset(path)[0])
    zipped = out.lower().endswith(".zip")
    with reader, planned(args, "compress") as (plan, progress):
        levels = _channel_levels(path, args, coding, len(lengths))
        plan.add(out, path, tree=not zipped)
        progress.count_samples(sum(lengths), len(lengths))
        # The writer builds its archive at the staged name and renames it there itself.
        staged = plan.stage(out, b"") if zipped else plan.stage_tree(out)
        (os.remove if zipped else os.rmdir)(staged)
        try:
            writer = ArchiveWriter(
                staged, len(lengths), coding, chunk=chunk, info=header.info, levels=levels,
                threads=threads_of(args), zipped=zipped, on_chunk=progress.add_samples,
                encoder=lambda k, part, c: compress_channel(path, header, k, c, 1, part),
                convert=reader.physical,
                source=header.source, description=header.description, start=header.start,
                rate=header.rate, annotations=header.annotations, attrs=header.attrs)
            with writer:
                for block in reader.stored_blocks():  # codes held, turned into values per chunk
                    writer.append_channels(block)
            archive_bytes = (os.path.getsize(staged) if zipped else
                             sum(os.path.getsize(os.path.join(d, name))
                                 for d, _, names in os.walk(staged) for name in names))
        except OSError as exc:
            raise os_error(out, exc) from None
    print_lines([_describe(path, header, lengths, out, writer.stored_bytes, archive_bytes)],
                args.quiet)
    return 0


def _channel_levels(path: str, args: argparse.Namespace, coding: Coding,
                    channels: int) -> list[float] | None:
    """Each channel's range (a PSNR target) or RMS (a PRD target) over the whole recording, from
    a first pass over its blocks, so that the target means what it means for the recording read
    whole; None for other codings."""
    if not isinstance(coding, Targeted) or coding.target.metric in ("rmse", "max_error"):
        return None
    low, high = np.full(channels, np.inf), np.full(channels, -np.inf)
    energy, count = np.zeros(channels), np.zeros(channels)
    psnr = coding.target.metric == "psnr"
    reader = open_blocks(path, dataset=args.dataset, channels_first=args.channels_first)
    for block in reader.stored_blocks():
        for k, stored in enumerate(block):
            if psnr and stored.dtype.kind in "iu" and stored.size:
                # A range needs only the values of the extreme codes (the map is monotonic).
                stored = np.array([stored.min(), stored.max()], stored.dtype)
            x: Any = np.asarray(reader.physical(k, stored), np.float64)
            x = x[np.isfinite(x)]
            if x.size:
                low[k], high[k] = min(low[k], x.min()), max(high[k], x.max())
                energy[k] += float(np.dot(x, x))
                count[k] += x.size
    if psnr:
        return [float(hi - lo) if hi >= lo else 0.0 for lo, hi in zip(low, high, strict=True)]
    return [float(np.sqrt(e / n)) if n else 0.0 for e, n in zip(energy, count, strict=True)]


def _coded_chunks(path: str, signal: Signal, coding: Coding, threads: int, chunk: int,
                  progress: Progress) -> list[list[bytes]]:
    """The containers of every chunk of every channel, coded on `threads` threads (chunks of all
    channels at once, one thread each: the same bytes for every count), each chunk's samples
    counted on `progress` as it is done."""
    jobs, owners, counts = [], [], []
    for k, samples in enumerate(signal.channels):
        codings = chunk_codings(samples, coding, chunk)
        for j, (part, per_chunk) in enumerate(zip(split_channel(samples, chunk), codings,
                                                  strict=True)):
            jobs.append(functools.partial(compress_channel, path, signal, k, per_chunk, 1, part))
            owners.append(k)
            counts.append(min(part.size, samples.size - j * chunk))
    out: list[list[bytes]] = [[] for _ in signal.channels]
    with pool(threads) as executor:
        for k, n, container in zip(owners, counts, in_order(executor, iter(jobs), 2 * threads),
                                   strict=True):
            out[k].append(container)
            progress.add_samples(n)
    return out


def decode_archive(path: str, progress: Progress | None = None) -> Signal:
    """The archive's recording decoded whole, its samples counted on `progress` channel by
    channel."""
    try:
        if progress is None:
            return read_archive(path).signal
        with ArchiveBlocks(path) as blocks:  # its metadata only, for the count
            progress.count_samples(sum(blocks.lengths), len(blocks.lengths))
        return read_archive(path, on_channel=progress.add_samples).signal
    except (ValueError, ContainerError) as exc:
        raise CliError(f"{path}: {exc}") from None


def streams_to(out_path: str) -> bool:
    """Whether an archive is decompressed to `out_path` chunk by chunk (the format is written by
    blocks)."""
    return format_of(out_path) in BLOCK_FORMATS


def stream_archive(path: str, out_path: str, args: argparse.Namespace, plan: OutputPlan,
                   progress: Progress, prepare: Callable[[Signal], Signal]
                   ) -> tuple[Signal, list[str]] | None:
    """decompress ARCHIVE -o REC for a format written by blocks: the archive decoded chunk by
    chunk into the format's block writer, in memory of about one chunk per channel; the files
    are those the whole recording gives, staged on `plan`. Returns the recording (its channels
    of the right lengths, holding nothing) and the notes for the user; None when the format is
    not written by blocks or the writer needs what the archive does not keep (a channel's range
    for an integer format), to be decoded whole. `prepare` completes the archive's metadata."""
    file_part = split_dataset(out_path)[0]
    if not streams_to(out_path):
        return None
    try:
        blocks = ArchiveBlocks(path, _DECODE_BLOCK)
    except (ValueError, ContainerError) as exc:
        raise CliError(f"{path}: {exc}") from None
    with blocks:
        header = prepare(blocks.header)
        staged = plan.stage(file_part, b"")  # makes the output's directory, as the plan does
        directory = os.path.dirname(os.path.abspath(staged))
        try:
            scratch = tempfile.mkdtemp(prefix=".vtrl-", suffix=".tmp", dir=directory)
        except OSError as exc:
            raise os_error(out_path, exc) from None
        try:
            target = os.path.join(scratch, os.path.basename(file_part)) + out_path[len(file_part):]
            try:
                writer = open_block_writer(target, header, args.wav_sample)
            except SignalFileError:
                return None
            progress.count_samples(sum(blocks.lengths), len(blocks.lengths))
            grid_notes: list[str] = []
            try:
                with writer:
                    for block in blocks:
                        writer.write(on_grids(dataclasses.replace(header, channels=block),
                                              grid_notes).channels)
                        progress.add_samples(sum(c.size for c in block))
            except OSError as exc:
                raise os_error(out_path, exc) from None
            for name in sorted(os.listdir(scratch)):
                final = os.path.join(os.path.dirname(file_part), name)
                if final != file_part:
                    plan.add(final, path)
                os.replace(os.path.join(scratch, name),
                           staged if final == file_part else plan.stage(final, b""))
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    lengths = [np.broadcast_to(np.float32(0), (n,)) for n in blocks.lengths]
    notes = [f"{out_path}: {note}" for note in merged_notes(grid_notes) + writer.notes]
    return dataclasses.replace(header, channels=lengths), notes


def archive_source(path: str) -> str:
    try:
        source = read_archive(path, decode=False).signal.source
    except (ValueError, ContainerError) as exc:
        raise CliError(f"{path}: {exc}") from None
    return source if source in FORMAT_SUFFIX else "npy"


def quality_against(original: Channel, decoded: Channel, grid: SampleGrid | None) -> str:
    """The quality of `decoded` against `original` on the samples that exist, as a file of the
    channel's integer format holds them when it has a grid."""
    if decoded.size != original.size:
        raise CliError(f"the original has {original.size} samples, the container {decoded.size}")
    finite = np.isfinite(original)
    x, y = np.asarray(original, np.float64)[finite], decoded.astype(np.float64)[finite]
    if not x.size:
        return "no sample of the original is finite"
    if grid is None:
        return distortion(x, y).summary()
    y = grid.origin + grid.step * to_codes(y, grid, 0, "", []).astype(np.float64)
    return f"{distortion(x, y).summary()} (as written on the grid)"


def info_archive(path: str, original: Signal | None = None, where: str = "") -> None:
    """The archive's metadata and one row per channel: label, rate, unit, samples, size, ratio;
    with the `original` signal (read from `where`), the quality of each channel against it."""
    try:
        archive = read_archive(path, decode=original is not None)
    except (ValueError, ContainerError) as exc:
        raise CliError(f"{path}: {exc}") from None
    if original is not None and len(original.channels) != len(archive.signal.channels):
        raise CliError(f"{where}: has {len(original.channels)} channels, the archive "
                       f"{len(archive.signal.channels)}")
    signal = archive.signal
    codec = ", ".join(f"{k} {v}" for k, v in archive.codec.items())
    print(f"file         {path}")
    print(f"source       {signal.description.removeprefix('archive of ')}")
    print(f"start        {signal.start or '-'}")
    print(f"annotations  {len(signal.annotations)}")
    print(f"coded with   {codec}")
    rows = [("ch", "label", "rate Hz", "unit", "samples", "chunks", "bytes", "ratio")]
    for k, (channel, size, (chunk, count)) in enumerate(zip(
            signal.channels, archive.container_bytes, archive.chunks, strict=True)):
        info = signal.channel_info(k)
        rate = f"{info.rate:g}" if info.rate is not None else "-"
        ratio = f"{4 * channel.size / size:.2f}" if size else "-"
        rows.append((str(k), info.label or "-", rate, info.unit or "-", str(channel.size),
                     f"{count} x {chunk}", str(size), ratio))
    raw = 4 * sum(c.size for c in signal.channels)
    packed = sum(archive.container_bytes)
    rows.append(("all", "", "", "", str(raw // 4), str(sum(c for _, c in archive.chunks)),
                 str(packed), f"{raw / packed:.2f}" if packed else "-"))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(cell.ljust(w) if i in (1, 3) else cell.rjust(w)
                        for i, (cell, w) in enumerate(zip(row, widths, strict=True))).rstrip())
    print("ratio: float32 bytes / container bytes")
    if original is not None:
        print(f"quality against {where}, on the samples that exist:")
        for k, channel in enumerate(signal.channels):
            try:
                text = quality_against(original.channels[k], channel, signal.channel_info(k).grid)
            except CliError as exc:
                raise CliError(f"{path}: {signal.channel_name(k)}: {exc}") from None
            print(f"  {signal.channel_name(k)}: {text}")
