"""The file commands: compress, decompress and info."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable

import vantrel

from ..container import HEADER_SIZE, ContainerError, parse_header
from ..signal_io import (
    FORMAT_SUFFIX,
    Channel,
    Signal,
    SignalFileError,
    encode_signal,
    format_of,
)
from .errors import CliError
from .files import (
    CONTAINER_SUFFIX,
    read_bytes,
    refuse_shared_outputs,
    strip_suffix,
    write_file_atomically,
)
from .inputs import ratio_vs_input, read_input
from .progress import Progress

# ----------------------------------------------------------------------------------------------
# compress


def _options_from_args(args: argparse.Namespace) -> vantrel.CompressionOptions:
    return vantrel.CompressionOptions(
        method=args.method,
        scale=args.scale,
        cutoff=args.cutoff,
        coder=args.coder,
        quant_multiplier=args.multiplier,
    )


def _compress_targets(inputs: list[str], output: str | None) -> Callable[[str, int], list[str]]:
    """A function giving the output paths of one input's channels."""
    if output is not None and output.lower().endswith(CONTAINER_SUFFIX):
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
    refuse_shared_outputs(args.inputs, lambda path: targets(path, 1)[0])
    if args.output is not None and not args.output.lower().endswith(CONTAINER_SUFFIX):
        os.makedirs(args.output, exist_ok=True)
    progress = Progress(len(args.inputs), "compress", args.quiet)
    try:
        for path in args.inputs:
            signal = read_input(path, args)
            if not signal.channels:
                raise CliError(f"{path}: holds no channel")
            outputs = targets(path, len(signal.channels))
            containers = []
            for k, channel in enumerate(signal.channels):
                try:
                    containers.append(vantrel.compress_signal(channel, options))
                except ValueError as exc:
                    where = f" channel {k}" if len(signal.channels) > 1 else ""
                    raise CliError(f"{path}{where}: {exc}") from None
            for out_path, container in zip(outputs, containers, strict=True):
                write_file_atomically(out_path, container)
            progress.note(_describe_compress(path, signal, outputs, containers))
            progress.advance()
    finally:
        progress.close()
    return 0


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
        return vantrel.decompress_signal(data)
    except ValueError as exc:
        raise CliError(f"{path}: {exc}") from None


def _encode_output(fmt: str, channels: list[Channel], args: argparse.Namespace) -> bytes:
    try:
        return encode_signal(fmt, channels, rate=args.rate, wav_sample=args.wav_sample)
    except SignalFileError as exc:
        raise CliError(f"{args.output or fmt}: {exc}") from None


def cmd_decompress(args: argparse.Namespace) -> int:
    out_format = format_of(args.output) if args.output is not None else None
    if out_format is not None:
        return _decompress_to_one_file(args, out_format)

    def target(path: str) -> str:
        directory = args.output if args.output is not None else os.path.dirname(path)
        stem = strip_suffix(path, CONTAINER_SUFFIX)
        return os.path.join(directory, stem + FORMAT_SUFFIX[args.format])

    refuse_shared_outputs(args.inputs, target)
    if args.output is not None:
        os.makedirs(args.output, exist_ok=True)
    progress = Progress(len(args.inputs), "decompress", args.quiet)
    try:
        for path in args.inputs:
            out_path = target(path)
            samples = _decode_container(path)
            write_file_atomically(out_path, _encode_output(args.format, [samples], args))
            progress.note(f"{path} -> {out_path} ({samples.size} samples)")
            progress.advance()
    finally:
        progress.close()
    return 0


def _decompress_to_one_file(args: argparse.Namespace, out_format: str) -> int:
    if len(args.inputs) > 1 and out_format in ("csv", "f32"):
        raise CliError(f"{args.output}: a {out_format} file holds one channel; "
                       f"{len(args.inputs)} inputs need a .npy or .wav output or a directory")
    channels = []
    progress = Progress(len(args.inputs), "decompress", args.quiet)
    try:
        for path in args.inputs:
            channels.append(_decode_container(path))
            progress.advance()
    finally:
        progress.close()
    lengths = {c.size for c in channels}
    if len(lengths) > 1:
        detail = ", ".join(f"{p}: {c.size}" for p, c in zip(args.inputs, channels, strict=True))
        raise CliError(f"channels of one file must have one length ({detail})")
    write_file_atomically(args.output, _encode_output(out_format, channels, args))
    if not args.quiet:
        if len(channels) == 1:
            print(f"{args.inputs[0]} -> {args.output} ({channels[0].size} samples)")
        else:
            parts = ", ".join(f"{p} -> channel {k}" for k, p in enumerate(args.inputs))
            print(f"{args.output} ({channels[0].size} samples per channel): {parts}")
    return 0


# ----------------------------------------------------------------------------------------------
# info


def cmd_info(args: argparse.Namespace) -> int:
    for i, path in enumerate(args.files):
        if i:
            print()
        data = read_bytes(path)
        try:
            header = parse_header(data)
        except ContainerError as exc:
            raise CliError(f"{path}: {exc}") from None
        total = HEADER_SIZE + header.payload_len
        raw = 4 * header.sample_count
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
            ("reserved", "zero" if not any(header.reserved) else header.reserved.hex(" ")),
            ("size", f"{total} bytes (header {HEADER_SIZE} + payload {header.payload_len})"),
            ("ratio", f"{raw / total:.3f} vs float32 ({raw} bytes)"),
        ]
        if len(data) > total:
            rows.append(("trailing", f"{len(data) - total} bytes after the container, ignored"))
        width = max(len(k) for k, _ in rows)
        for key, value in rows:
            print(f"{key:<{width}}  {value}")
        if len(data) < total:
            sys.stdout.flush()
            raise CliError(f"{path}: truncated: the header announces {header.payload_len} payload "
                           f"bytes, the file holds {len(data) - HEADER_SIZE}")
    return 0
