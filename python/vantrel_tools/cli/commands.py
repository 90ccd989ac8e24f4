"""The file commands: compress and decompress."""

from __future__ import annotations

import argparse
import collections
import functools
import os
from collections.abc import Callable, Iterator

import vantrel

from ..core.channels import in_order, pool
from ..core.codec import decode
from ..core.container import ContainerError
from ..core.names import QUALITY_TARGETS
from ..core.options import Coding, Options, Targeted, not_with_target
from ..core.target import QualityTarget
from ..core.trailer import About
from ..io import (
    FORMAT_SUFFIX,
    SIGNAL_FORMATS,
    Channel,
    Signal,
    SignalFileError,
    encode_recording,
    format_of,
    split_dataset,
)
from ..store.archive import ARCHIVE_SUFFIXES, is_archive
from .about import decoded_signal, on_grids, worst_reached
from .archives import (
    archive_source,
    compress_to_archive,
    decode_archive,
    stream_archive,
    streams_to,
)
from .errors import CliError
from .files import CONTAINER_SUFFIX, OutputPlan, output_is_file, read_bytes, strip_suffix
from .inputs import ratio_vs_input, read_input
from .rewrite import rewrites_hdf5, rewrite_hdf5
from .run import compress_channel, planned, print_lines, threads_of

# ----------------------------------------------------------------------------------------------
# compress

DEFAULT_METHOD = "cdf97"


def _coding_from_args(args: argparse.Namespace) -> Coding:
    """How every channel is coded: the compression options given on the command line (refused
    here if no input could use them), or the quality target given and the method if one is."""
    options = dict(scale=args.scale, cutoff=args.cutoff, coder=args.coder,
                   quant_multiplier=args.multiplier)
    target = QualityTarget.given(**{name: getattr(args, name) for name in QUALITY_TARGETS})
    if target is not None:
        given = [f"--{name}" for name, value in options.items() if value is not None]
        if given:
            raise CliError(not_with_target([flag.replace("quant_", "") for flag in given]))
        return Targeted(target, args.method, args.grid)
    if args.grid is not None:
        raise CliError("--grid goes with a quality target")
    options = {name: value for name, value in options.items() if value is not None}
    # Refuses what no input could use, with its text, and fills in the defaults.
    return Options.of(vantrel.CompressionOptions(method=args.method or DEFAULT_METHOD, **options))


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


def cmd_compress(args: argparse.Namespace) -> int:
    coding = _coding_from_args(args)
    if rewrites_hdf5(args):
        return rewrite_hdf5(args, coding)
    if args.output is not None and is_archive(args.output):
        if args.grid is not None:
            raise CliError("--grid is not kept in archives; compress to .vtrl containers")
        return compress_to_archive(args, coding)
    if args.chunk_samples is not None:
        raise CliError("--chunk-samples applies to archives (-o NAME.zarr or NAME.vtrl.zip); "
                       "a container holds its channel whole")
    targets = _compress_targets(args.inputs, args.output)
    threads = threads_of(args)
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
            progress.count_samples(sum(c.size for c in signal.channels), len(signal.channels))
            # One channel in all: its coder may take the threads itself.
            inner = threads if len(args.inputs) == 1 and len(signal.channels) == 1 else 1
            for k in range(len(signal.channels)):
                yield functools.partial(compress_channel, path, signal, k, coding, inner,
                                        keep_about=True)

    with planned(args, "compress") as (plan, progress), pool(threads) as executor:
        containers: list[bytes] = []
        for container in in_order(executor, jobs(), 2 * threads):
            containers.append(container)
            path, signal, outputs = read[0]
            progress.add_samples(signal.channels[len(containers) - 1].size)
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


def _describe_compress(path: str, signal: Signal, outputs: list[str],
                       containers: list[bytes]) -> str:
    num_samples = signal.num_samples
    raw = 4 * sum(c.size for c in signal.channels)
    packed = sum(len(c) for c in containers)
    if len(outputs) == 1:
        where = outputs[0]
    else:
        where = ", ".join(f"{p} (channel {k})" for k, p in enumerate(outputs))
    line = (f"{path} ({signal.description}, {num_samples} samples) -> {where}; "
            f"{packed} bytes, ratio {raw / packed:.2f} vs float32{ratio_vs_input(signal, packed)}")
    reached = worst_reached(containers)
    if reached:
        line += f"; {reached}"
    if signal.annotations or signal.start:
        line += "; start time and annotations not stored (-o NAME.zarr keeps them)"
    return line


# ----------------------------------------------------------------------------------------------
# decompress


DEFAULT_RATE = 48000


def _decode_container(path: str) -> tuple[Channel, About]:
    data = read_bytes(path)
    try:
        return decode(data)
    except (ValueError, ContainerError) as exc:
        raise CliError(f"{path}: {exc}") from None


def _decoded(args: argparse.Namespace, streamed: frozenset[str] = frozenset()
             ) -> Iterator[Signal | tuple[Channel, About] | None]:
    """Every input decoded, in order, on the command's threads: an archive's recording or a
    container's samples with what its trailer says of them; None for the archives in
    `streamed`, left to the caller (decoded chunk by chunk, or counted on a progress bar)."""
    threads = threads_of(args)

    def job(path: str) -> Callable[[], Signal | tuple[Channel, About] | None]:
        if path in streamed:
            return lambda: None
        return functools.partial(decode_archive if is_archive(path) else _decode_container, path)

    with pool(threads) as executor:
        yield from in_order(executor, (job(path) for path in args.inputs), 2 * threads)


def _archive_signal(signal: Signal, args: argparse.Namespace) -> Signal:
    """An archive's recording, its channels that record no rate (from a ``.npy``) at --rate."""
    if args.rate is not None:
        for info in signal.info:
            if info.rate is None:
                info.rate = float(args.rate)
        if not signal.info and signal.rate is None:
            signal.rate = args.rate
    return signal


def _container_signal(decoded: list[tuple[Channel, About]], args: argparse.Namespace) -> Signal:
    """Channels decoded from containers: at the rate --rate gives, else the one they keep."""
    return decoded_signal([c for c, _ in decoded], [a for _, a in decoded], args.rate,
                          DEFAULT_RATE)


def _stage_output(plan: OutputPlan, out_path: str, owner: str, signal: Signal,
                  args: argparse.Namespace, lines: list[str]) -> None:
    """Encodes `signal` as `out_path` (planned already) and stages its files (a WFDB record has
    more than one); the notes of the encoding (clipped samples) join `lines`. Channels with a
    grid are written on it, whatever the format, so that a target met there holds."""
    notes: list[str] = []
    signal = on_grids(signal, notes)
    lines.extend(f"{out_path}: {note}" for note in notes)
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
            fmt = archive_source(path)
        return os.path.join(directory, _input_stem(path) + FORMAT_SUFFIX[fmt])

    lines: list[str] = []
    with planned(args, "decompress") as (plan, progress):
        targets = [target(path) for path in args.inputs]
        for path, out_path in zip(args.inputs, targets, strict=True):
            plan.add(split_dataset(out_path)[0], path)
        # Archives left to this loop: those written out chunk by chunk, and a lone one, whose
        # samples are counted on the progress bar as its channels are decoded.
        streamed = frozenset(path for path, out_path in zip(args.inputs, targets, strict=True)
                             if is_archive(path)
                             and (streams_to(out_path) or len(args.inputs) == 1))
        for path, out_path, decoded in zip(args.inputs, targets, _decoded(args, streamed),
                                           strict=True):
            notes: list[str] = []
            done = None if decoded is not None else stream_archive(
                path, out_path, args, plan, progress, lambda h: _archive_signal(h, args))
            if done is not None:
                signal, notes = done
            else:
                if decoded is None:  # the format needs what the archive does not keep
                    decoded = decode_archive(path, progress)
                signal = (_archive_signal(decoded, args) if isinstance(decoded, Signal)
                          else _container_signal([decoded], args))
                _stage_output(plan, out_path, path, signal, args, notes)
            lines.append(f"{path} -> {out_path} ({_samples_text(signal)})")
            lines.extend(notes)
            progress.advance()
    print_lines(lines, args.quiet)
    return 0


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
    with planned(args, "decompress") as (plan, progress):
        plan.add(split_dataset(args.output)[0], args.inputs[0])
        streamed = (stream_archive(archives[0], args.output, args, plan, progress,
                                   lambda header: _archive_signal(header, args))
                    if archives else None)
        if streamed is not None:
            signal, notes = streamed
            lines.extend(notes)
        elif archives:
            signal = _archive_signal(decode_archive(archives[0], progress), args)
            progress.advance()
        else:
            decoded = []
            for samples in _decoded(args):
                # Archives are decompressed alone.
                assert samples is not None and not isinstance(samples, Signal)
                decoded.append(samples)
                progress.advance()
            signal = _container_signal(decoded, args)
        if streamed is None:
            _stage_output(plan, args.output, args.inputs[0], signal, args, lines)
    if archives or len(signal.channels) == 1:
        line = f"{args.inputs[0]} -> {args.output} ({_samples_text(signal)})"
    else:
        parts = ", ".join(f"{p} -> channel {k}" for k, p in enumerate(args.inputs))
        line = f"{args.output} ({signal.num_samples} samples per channel): {parts}"
    print_lines([line, *lines], args.quiet)
    return 0
