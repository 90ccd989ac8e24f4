"""The file commands: compress, decompress and info."""

from __future__ import annotations

import argparse
import collections
import contextlib
import functools
import math
import os
import sys
import tempfile
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np

import vantrel

from .. import channels, trailer
from ..archive import ARCHIVE_SUFFIXES, is_archive, read_archive, write_archive
from ..metrics import distortion
from ..quality import QUALITY_TARGETS, quality_target
from ..container import HEADER_SIZE, ContainerError, parse_header
from ..formats import encode_recording
from ..signal_io import (
    FORMAT_SUFFIX,
    SIGNAL_FORMATS,
    Channel,
    Signal,
    SignalFileError,
    format_of,
    split_dataset,
)
from .errors import CliError
from .files import CONTAINER_SUFFIX, OutputPlan, output_is_file, read_bytes, strip_suffix
from .inputs import ratio_vs_input, read_input
from .progress import Progress

# ----------------------------------------------------------------------------------------------
# compress

DEFAULT_METHOD = "cdf97"


def _coding_from_args(args: argparse.Namespace) -> dict[str, Any]:
    """How every channel is coded: the compression options given on the command line (refused
    here if no input could use them), or the quality target given and the method if one is."""
    options = dict(scale=args.scale, cutoff=args.cutoff, coder=args.coder,
                   quant_multiplier=args.multiplier)
    target = {name: getattr(args, name) for name in QUALITY_TARGETS}
    if any(value is not None for value in target.values()):
        given = [f"--{name}" for name, value in options.items() if value is not None]
        if given:
            flags = ", ".join(flag.replace("quant_", "") for flag in given)
            raise CliError(f"{flags} cannot be combined with a quality target")
        name, value = quality_target(**target)
        return {name: value, "method": args.method}
    options = {name: value for name, value in options.items() if value is not None}
    # Refuses what no input could use, with its text, and fills in the defaults.
    return channels._option_fields(
        vantrel.CompressionOptions(method=args.method or DEFAULT_METHOD, **options))


def _compress_targets(inputs: list[str], output: str | None) -> Callable[[str, int], list[str]]:
    """A function giving the output paths of one input's channels."""
    if output is not None and output_is_file(output, (CONTAINER_SUFFIX, *ARCHIVE_SUFFIXES)):
        if len(inputs) != 1:
            raise CliError(f"-o {output} names one file but {len(inputs)} inputs were given; "
                           "give -o a directory")
        base = output[: -len(CONTAINER_SUFFIX)]

        def named(_: str, num_channels: int) -> list[str]:
            if num_channels == 1:
                return [output]
            return [f"{base}.ch{k}{CONTAINER_SUFFIX}" for k in range(num_channels)]

        return named

    def beside(path: str, num_channels: int) -> list[str]:
        path = split_dataset(path)[0]  # an HDF5 input's outputs are named after its file
        directory = output if output is not None else os.path.dirname(path)
        stem = os.path.join(directory, os.path.splitext(os.path.basename(path))[0])
        if num_channels == 1:
            return [stem + CONTAINER_SUFFIX]
        return [f"{stem}.ch{k}{CONTAINER_SUFFIX}" for k in range(num_channels)]

    return beside


def _coded(path: str, signal: Signal, coding: dict[str, Any], threads: int) -> list[bytes]:
    """Every channel's container, coded on `threads` threads; the first channel refused fails the
    command, named with its label."""
    with channels._pool(threads) as pool:
        jobs = (functools.partial(_compress_channel, path, signal, k, coding, 1)
                for k in range(len(signal.channels)))
        return list(channels._in_order(pool, jobs, 2 * threads))


def cmd_compress(args: argparse.Namespace) -> int:
    coding = _coding_from_args(args)
    if args.output is not None and is_archive(args.output):
        return _compress_to_archive(args, coding)
    targets = _compress_targets(args.inputs, args.output)
    threads = _threads(args)
    lines = []
    read: collections.deque[tuple[str, Signal, list[str]]] = collections.deque()

    def jobs() -> Iterator[Callable[[], bytes]]:
        """Reads the inputs in turn and hands out one coding job per channel."""
        for path in args.inputs:
            signal = read_input(path, args)
            if not signal.channels:
                raise CliError(f"{path}: holds no channel")
            outputs = targets(path, len(signal.channels))
            for out_path in outputs:
                plan.add(out_path, path)
            read.append((path, signal, outputs))
            # One channel in all: its coder may take the threads itself.
            inner = threads if len(args.inputs) == 1 and len(signal.channels) == 1 else 1
            for k in range(len(signal.channels)):
                yield functools.partial(_compress_channel, path, signal, k, coding, inner)

    with _planned(args, "compress") as (plan, progress), channels._pool(threads) as pool:
        containers: list[bytes] = []
        for container in channels._in_order(pool, jobs(), 2 * threads):
            containers.append(container)
            path, signal, outputs = read[0]
            if len(containers) < len(outputs):
                continue
            read.popleft()
            for out_path, done in zip(outputs, containers, strict=True):
                plan.stage(out_path, done)
            lines.append(_describe_compress(path, signal, outputs, containers))
            containers = []
            progress.advance()
    print_lines(lines, args.quiet)
    return 0


def _compress_to_archive(args: argparse.Namespace, options: dict[str, Any]) -> int:
    """compress IN -o NAME.zarr or NAME.vtrl.zip: every channel of one input, with its metadata,
    into one archive."""
    if len(args.inputs) != 1:
        raise CliError(f"-o {args.output} is one archive but {len(args.inputs)} inputs were "
                       "given; compress each into its own archive")
    path, out = args.inputs[0], args.output.rstrip("/" + os.sep)
    with _planned(args, "compress") as (plan, progress):
        signal = read_input(path, args)
        if not signal.channels:
            raise CliError(f"{path}: holds no channel")
        zipped = out.lower().endswith(".zip")
        plan.add(out, path, tree=not zipped)
        containers = _coded(path, signal, options, _threads(args))
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


def _compress_channel(path: str, signal: Signal, k: int, coding: dict[str, Any],
                      threads: int) -> bytes:
    """Channel k's container; a refused channel fails the command, named with its label."""
    try:
        return channels._code_channel(signal.channels[k], coding, threads)
    except ValueError as exc:
        multi = len(signal.channels) > 1 or signal.channel_info(0).label
        where = f" {signal.channel_name(k)}" if multi else ""
        raise CliError(f"{path}{where}: {exc}") from None


def _threads(args: argparse.Namespace) -> int:
    return args.threads if args.threads is not None else channels._available_cores()


@contextlib.contextmanager
def _planned(args: argparse.Namespace, verb: str) -> Iterator[tuple[OutputPlan, Progress]]:
    """The output plan of a file command and its progress bar over the inputs. The plan's
    outputs are put in place when the body ends without an error, and are discarded otherwise."""
    with OutputPlan(args.inputs, args.force) as plan:
        progress = Progress(len(args.inputs), verb, args.quiet)
        try:
            yield plan, progress
        finally:
            progress.close()
        plan.commit()


def _describe_compress(path: str, signal: Signal, outputs: list[str],
                       containers: list[bytes]) -> str:
    num_samples, rate = signal.num_samples, signal.rate
    raw = 4 * sum(c.size for c in signal.channels)
    packed = sum(len(c) for c in containers)
    if len(outputs) == 1:
        where = outputs[0]
    else:
        where = ", ".join(f"{p} (channel {k})" for k, p in enumerate(outputs))
    line = (f"{path} ({signal.description}, {num_samples} samples) -> {where}; "
            f"{packed} bytes, ratio {raw / packed:.2f} vs float32{ratio_vs_input(signal, packed)}")
    if rate is not None:
        line += f"; sample rate {rate} Hz not stored (decompress with --rate {rate})"
    if any(i.label or i.unit for i in signal.info) or signal.annotations:
        line += "; labels, units and annotations not stored (-o NAME.zarr keeps them)"
    return line


# ----------------------------------------------------------------------------------------------
# decompress


DEFAULT_RATE = 48000


def _decode_container(path: str) -> Channel:
    data = read_bytes(path)
    try:
        return trailer.decompress(data)
    except (ValueError, ContainerError) as exc:
        raise CliError(f"{path}: {exc}") from None


def _decode_archive(path: str) -> Signal:
    try:
        return read_archive(path).signal
    except (ValueError, ContainerError) as exc:
        raise CliError(f"{path}: {exc}") from None


def _decoded(args: argparse.Namespace) -> Iterator[Signal | Channel]:
    """Every input decoded, in order, on the command's threads: an archive's recording or a
    container's samples."""
    threads = _threads(args)
    with channels._pool(threads) as pool:
        jobs = (functools.partial(_decode_archive if is_archive(path) else _decode_container, path)
                for path in args.inputs)
        yield from channels._in_order(pool, jobs, 2 * threads)


def _container_signal(channels: list[Channel], args: argparse.Namespace) -> Signal:
    """Channels decoded from containers, which hold no rate: the one --rate gives."""
    return Signal(channels, rate=args.rate if args.rate is not None else DEFAULT_RATE)


def _stage_output(plan: OutputPlan, out_path: str, owner: str, signal: Signal,
                  args: argparse.Namespace, lines: list[str]) -> None:
    """Encodes `signal` as `out_path` (planned already) and stages its files (a WFDB record has
    more than one); the notes of the encoding (clipped samples) join `lines`."""
    try:
        encoded = encode_recording(out_path, signal, args.wav_sample)
    except SignalFileError as exc:
        message = str(exc)
        where = split_dataset(out_path)[0]
        raise CliError(message if message.startswith(where) else f"{where}: {message}"
                       ) from None
    for file_path, data in encoded.files.items():
        if file_path != split_dataset(out_path)[0]:
            plan.add(file_path, owner)
        plan.stage(file_path, data)
    lines.extend(f"{out_path}: {note}" for note in encoded.notes)


def _input_stem(path: str) -> str:
    base = os.path.basename(path.rstrip("/" + os.sep))
    for suffix in (".vtrl.zip", *ARCHIVE_SUFFIXES):
        if base.lower().endswith(suffix) and len(base) > len(suffix):
            return base[: -len(suffix)]
    return strip_suffix(path, CONTAINER_SUFFIX)


def cmd_decompress(args: argparse.Namespace) -> int:
    out_format = None
    if args.output is not None and output_is_file(split_dataset(args.output)[0], SIGNAL_FORMATS):
        out_format = format_of(args.output)
    if out_format is not None:
        return _decompress_to_one_file(args)

    def target(path: str) -> str:
        directory = (args.output if args.output is not None
                     else os.path.dirname(path.rstrip("/" + os.sep)))
        fmt = args.format or "npy"
        if args.format is None and is_archive(path):
            # An archive goes back to the format it came from, when that can be written.
            fmt = _archive_source(path)
        return os.path.join(directory, _input_stem(path) + FORMAT_SUFFIX[fmt])

    lines: list[str] = []
    with _planned(args, "decompress") as (plan, progress):
        targets = [target(path) for path in args.inputs]
        for path, out_path in zip(args.inputs, targets, strict=True):
            plan.add(split_dataset(out_path)[0], path)
        for path, out_path, decoded in zip(args.inputs, targets, _decoded(args), strict=True):
            signal = (decoded if isinstance(decoded, Signal)
                      else _container_signal([decoded], args))
            notes: list[str] = []
            _stage_output(plan, out_path, path, signal, args, notes)
            lines.append(f"{path} -> {out_path} ({_samples_text(signal)})")
            lines.extend(notes)
            progress.advance()
    print_lines(lines, args.quiet)
    return 0


def _archive_source(path: str) -> str:
    try:
        source = read_archive(path, decode=False).signal.source
    except (ValueError, ContainerError) as exc:
        raise CliError(f"{path}: {exc}") from None
    return source if source in FORMAT_SUFFIX else "npy"


def _samples_text(signal: Signal) -> str:
    lengths = {c.size for c in signal.channels}
    if len(signal.channels) == 1:
        return f"{signal.num_samples} samples"
    if len(lengths) == 1:
        return f"{len(signal.channels)} channels of {signal.num_samples} samples"
    return f"{len(signal.channels)} channels of {min(lengths)} to {max(lengths)} samples"


def _decompress_to_one_file(args: argparse.Namespace) -> int:
    archives = [p for p in args.inputs if is_archive(p)]
    if archives and len(args.inputs) > 1:
        raise CliError(f"{args.output}: an archive ({archives[0]}) is decompressed alone; give "
                       "the other inputs their own command")
    lines: list[str] = []
    with _planned(args, "decompress") as (plan, progress):
        plan.add(split_dataset(args.output)[0], args.inputs[0])
        if archives:
            signal = _decode_archive(archives[0])
            progress.advance()
        else:
            decoded = []
            for samples in _decoded(args):
                decoded.append(samples)
                progress.advance()
            signal = _container_signal(decoded, args)
        _stage_output(plan, args.output, args.inputs[0], signal, args, lines)
    if archives or len(signal.channels) == 1:
        line = f"{args.inputs[0]} -> {args.output} ({_samples_text(signal)})"
    else:
        parts = ", ".join(f"{p} -> channel {k}" for k, p in enumerate(args.inputs))
        line = f"{args.output} ({signal.num_samples} samples per channel): {parts}"
    print_lines([line, *lines], args.quiet)
    return 0


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


# ----------------------------------------------------------------------------------------------
# info


def _read_trailer(data: bytes, end: int) -> tuple[str, int, str | None]:
    """The trailer row of info, the trailer's size, and the damage it shows (None if none)."""
    try:
        _, runs = trailer.unseal(data)
    except (ValueError, ContainerError) as exc:
        return "damaged", 0, str(exc)
    if not data[trailer.FLAGS_OFFSET] & trailer.FLAG_TRAILER and not data[end:].startswith(
            trailer.TRAILER_MAGIC):
        return "none (no checksum)", 0, None
    size = int.from_bytes(data[end + 8 : end + 12], "little")  # the trailer's length field
    gaps = int(runs["length"].sum())
    return (f"{size} bytes, CRC-32C correct, {runs.size} gap runs ({gaps} samples)", size, None)


def _original_channel(args: argparse.Namespace) -> Channel | None:
    if args.original is None:
        return None
    signal = read_input(args.original, args)
    if not 0 <= args.channel < len(signal.channels):
        raise CliError(f"{args.original}: has no channel {args.channel} "
                       f"({len(signal.channels)} channels)")
    return signal.channels[args.channel]


def _step_text(header: Any) -> str:
    """The quantisation step in the signal's units: what one coefficient unit is worth."""
    stored = header.quant_multiplier
    multiplier = stored if stored > 0 and math.isfinite(stored) else float(2**header.scale)
    step = (header.signal_max - header.signal_min) / multiplier
    return f"{step:.6g} (range / multiplier {multiplier:.9g})"


def _quality_text(data: bytes, original: Channel) -> str:
    decoded = trailer.decompress(data)
    if decoded.size != original.size:
        raise CliError(f"the original has {original.size} samples, the container {decoded.size}")
    finite = np.isfinite(original)
    d = distortion(np.asarray(original, dtype=np.float64)[finite],
                   decoded.astype(np.float64)[finite])
    return f"PSNR {d.psnr:.3f} dB, PRD {d.prd:.4g} %, RMSE {d.rmse:.6g}, max error {d.max_err:.6g}"


def _info_archive(path: str) -> None:
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


def cmd_info(args: argparse.Namespace) -> int:
    original = _original_channel(args)
    for i, path in enumerate(args.files):
        if i:
            print()
        if is_archive(path):
            _info_archive(path)
            continue
        data = read_bytes(path)
        try:
            header = parse_header(data)
        except ContainerError as exc:
            raise CliError(f"{path}: {exc}") from None
        end = HEADER_SIZE + header.payload_len
        trailer_row, trailer_size, damage = (("-", 0, None) if len(data) < end
                                             else _read_trailer(data, end))
        total = end + trailer_size
        raw = 4 * header.sample_count
        reserved = bytes([header.reserved[0] & ~trailer.FLAG_TRAILER]) + header.reserved[1:]
        rows = [
            ("file", path),
            ("magic", header.magic.decode("ascii")),
            ("version", f"{header.version[0]}.{header.version[1]}"),
            ("method tag", header.method_tag.decode("ascii")),
            ("wavelet", f"{header.wavelet_code.decode('ascii')} ({header.method})"),
            ("levels", str(header.levels)),
            ("scale", str(header.scale)),
            ("coder", f"{header.coder} ({header.coder_name})"),
            ("samples", str(header.sample_count)),
            ("min", f"{header.signal_min:.9g}"),
            ("max", f"{header.signal_max:.9g}"),
            ("mean", f"{header.norm_mean:.9g} (of the min-max normalised signal)"),
            ("payload", f"{header.payload_len} bytes"),
            ("multiplier", f"{header.quant_multiplier:.9g}"),
            ("step", _step_text(header)),
            ("reserved", "zero" if not any(reserved) else reserved.hex(" ")),
            ("trailer", trailer_row),
            ("size", f"{total} bytes (header {HEADER_SIZE} + payload {header.payload_len}"
                     + (f" + trailer {trailer_size})" if trailer_size else ")")),
            ("ratio", f"{raw / total:.3f} vs float32 ({raw} bytes)"),
        ]
        if len(data) > total and damage is None:
            rows.append(("trailing", f"{len(data) - total} bytes after the container, ignored"))
        if original is not None and damage is None and len(data) >= end:
            rows.append(("quality", _quality_text(data, original)))
        width = max(len(k) for k, _ in rows)
        for key, value in rows:
            print(f"{key:<{width}}  {value}")
        if len(data) < end:
            sys.stdout.flush()
            raise CliError(f"{path}: truncated: the header announces {header.payload_len} payload "
                           f"bytes, the file holds {len(data) - HEADER_SIZE}")
        if damage is not None:
            sys.stdout.flush()
            raise CliError(f"{path}: {damage}")
    return 0
