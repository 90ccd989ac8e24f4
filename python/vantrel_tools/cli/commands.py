"""The file commands: compress, decompress and info."""

from __future__ import annotations

import argparse
import collections
import contextlib
import functools
import os
import sys
from collections.abc import Callable, Iterator
from typing import Any

import vantrel

from .. import channels, trailer
from ..container import HEADER_SIZE, ContainerError, parse_header
from ..signal_io import (
    FORMAT_SUFFIX,
    SIGNAL_FORMATS,
    Channel,
    Signal,
    SignalFileError,
    encode_signal,
    format_of,
)
from .errors import CliError
from .files import CONTAINER_SUFFIX, OutputPlan, output_is_file, read_bytes, strip_suffix
from .inputs import ratio_vs_input, read_input
from .progress import Progress

# ----------------------------------------------------------------------------------------------
# compress


def _options_from_args(args: argparse.Namespace) -> dict[str, Any]:
    """The compression options given on the command line, refused here if no input could use
    them."""
    options = dict(method=args.method, scale=args.scale, cutoff=args.cutoff, coder=args.coder,
                   quant_multiplier=args.multiplier)
    vantrel.CompressionOptions(**options)  # refuses what no input could use, with its text
    return options


def _compress_targets(inputs: list[str], output: str | None) -> Callable[[str, int], list[str]]:
    """A function giving the output paths of one input's channels."""
    if output is not None and output_is_file(output, (CONTAINER_SUFFIX,)):
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
        directory = output if output is not None else os.path.dirname(path)
        stem = os.path.join(directory, os.path.splitext(os.path.basename(path))[0])
        if num_channels == 1:
            return [stem + CONTAINER_SUFFIX]
        return [f"{stem}.ch{k}{CONTAINER_SUFFIX}" for k in range(num_channels)]

    return beside


def cmd_compress(args: argparse.Namespace) -> int:
    options = _options_from_args(args)
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
                yield functools.partial(_compress_channel, path, signal, k, options, inner)

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


def _compress_channel(path: str, signal: Signal, k: int, options: dict[str, Any],
                      threads: int) -> bytes:
    try:
        return trailer._compress(signal.channels[k], threads, **options)
    except ValueError as exc:
        where = f" channel {k}" if len(signal.channels) > 1 else ""
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
    raw = 4 * num_samples * len(outputs)
    packed = sum(len(c) for c in containers)
    if len(outputs) == 1:
        where = outputs[0]
    else:
        where = ", ".join(f"{p} (channel {k})" for k, p in enumerate(outputs))
    line = (f"{path} ({signal.description}, {num_samples} samples) -> {where}; "
            f"{packed} bytes, ratio {raw / packed:.2f} vs float32{ratio_vs_input(signal, packed)}")
    if rate is not None:
        line += f"; sample rate {rate} Hz not stored (decompress with --rate {rate})"
    return line


# ----------------------------------------------------------------------------------------------
# decompress


def _decode_container(path: str) -> Channel:
    data = read_bytes(path)
    try:
        return trailer.decompress(data)
    except (ValueError, ContainerError) as exc:
        raise CliError(f"{path}: {exc}") from None


def _decoded(args: argparse.Namespace) -> Iterator[Channel]:
    """The samples of every input, in order, decoded on the command's threads."""
    threads = _threads(args)
    with channels._pool(threads) as pool:
        jobs = (functools.partial(_decode_container, path) for path in args.inputs)
        yield from channels._in_order(pool, jobs, 2 * threads)


def _encode_output(fmt: str, decoded: list[Channel], args: argparse.Namespace) -> bytes:
    try:
        return encode_signal(fmt, decoded, rate=args.rate, wav_sample=args.wav_sample)
    except SignalFileError as exc:
        raise CliError(f"{args.output or fmt}: {exc}") from None


def cmd_decompress(args: argparse.Namespace) -> int:
    out_format = None
    if args.output is not None and output_is_file(args.output, SIGNAL_FORMATS):
        out_format = format_of(args.output)
    if out_format is not None:
        return _decompress_to_one_file(args, out_format)

    def target(path: str) -> str:
        directory = args.output if args.output is not None else os.path.dirname(path)
        stem = strip_suffix(path, CONTAINER_SUFFIX)
        return os.path.join(directory, stem + FORMAT_SUFFIX[args.format])

    lines = []
    with _planned(args, "decompress") as (plan, progress):
        for path in args.inputs:
            plan.add(target(path), path)
        for path, samples in zip(args.inputs, _decoded(args), strict=True):
            out_path = target(path)
            plan.stage(out_path, _encode_output(args.format, [samples], args))
            lines.append(f"{path} -> {out_path} ({samples.size} samples)")
            progress.advance()
    print_lines(lines, args.quiet)
    return 0


def _decompress_to_one_file(args: argparse.Namespace, out_format: str) -> int:
    if len(args.inputs) > 1 and out_format in ("csv", "f32"):
        raise CliError(f"{args.output}: a {out_format} file holds one channel; "
                       f"{len(args.inputs)} inputs need a .npy or .wav output or a directory")
    decoded = []
    with _planned(args, "decompress") as (plan, progress):
        plan.add(args.output, args.inputs[0])
        for samples in _decoded(args):
            decoded.append(samples)
            progress.advance()
        lengths = {c.size for c in decoded}
        if len(lengths) > 1:
            detail = ", ".join(f"{p}: {c.size}" for p, c in zip(args.inputs, decoded,
                                                                 strict=True))
            raise CliError(f"channels of one file must have one length ({detail})")
        plan.stage(args.output, _encode_output(out_format, decoded, args))
    if len(decoded) == 1:
        line = f"{args.inputs[0]} -> {args.output} ({decoded[0].size} samples)"
    else:
        parts = ", ".join(f"{p} -> channel {k}" for k, p in enumerate(args.inputs))
        line = f"{args.output} ({decoded[0].size} samples per channel): {parts}"
    print_lines([line], args.quiet)
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


def cmd_info(args: argparse.Namespace) -> int:
    for i, path in enumerate(args.files):
        if i:
            print()
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
            ("reserved", "zero" if not any(reserved) else reserved.hex(" ")),
            ("trailer", trailer_row),
            ("size", f"{total} bytes (header {HEADER_SIZE} + payload {header.payload_len}"
                     + (f" + trailer {trailer_size})" if trailer_size else ")")),
            ("ratio", f"{raw / total:.3f} vs float32 ({raw} bytes)"),
        ]
        if len(data) > total and damage is None:
            rows.append(("trailing", f"{len(data) - total} bytes after the container, ignored"))
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
