"""The ``vantrel`` command: compress, decompress, inspect and evaluate signal files.

Every failure ends the command with one line on stderr and exit status 2. Every output file is
written to a temporary file in its own directory and then renamed over the target, so a file is
either complete or absent.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
import time
import zlib
from collections.abc import Callable, Sequence
from typing import IO, Any, NoReturn

import numpy as np

import vantrel

from .container import HEADER_SIZE, ContainerError, parse_header
from .signal_io import (
    FORMAT_SUFFIX,
    WAV_SAMPLE_KINDS,
    Channel,
    SignalFileError,
    encode_signal,
    format_of,
    read_signal,
)

PROG = "vantrel"
EXIT_FAILURE = 2
CONTAINER_SUFFIX = ".vtrl"
METHODS = ("cdf97", "cdf53", "db4", "sym4")
CUTOFFS = ("low", "medium", "high")
CODERS = ("auto", "cmodel", "arans", "deflate")
DEFAULT_RATE = 48000
DEFAULT_EVAL_SCALES = (6, 8, 10, 11, 12)

COMPRESS_HELP = """\
Input formats, by suffix: .npy (1-D, or 2-D as samples x channels; float32/float64), .wav (PCM
8/16/24/32-bit or float 32/64-bit; PCM is scaled to [-1, 1)), .csv/.txt (one number per line, an
optional header line), .f32/.raw (little-endian float32).

A container holds one channel. A one-channel input NAME.ext becomes NAME.vtrl; an input with C
channels becomes NAME.ch0.vtrl ... NAME.ch{C-1}.vtrl, channel k in NAME.chk.vtrl. Each line of
output names the file every channel went to.

Where outputs go: -o FILE.vtrl (one input only) names the output; any other -o is a directory
(created if missing); without -o each output goes beside its input. The sample rate of a WAV
input is not stored in the container: pass it to 'vantrel decompress --rate'.
"""

DECOMPRESS_HELP = f"""\
The output format comes from the suffix of -o: .npy, .wav, .csv/.txt or .f32/.raw. With such
an -o, every input becomes one channel of that one file, in the order given (all must have the
same length; .csv and .f32 hold one channel). Any other -o is a directory that receives one file
per input, NAME.ch0.vtrl -> NAME.ch0.npy (the format from --format, .npy by default); without -o
each output goes beside its input. WAV files are written at --rate Hz (default {DEFAULT_RATE}) as
float32 samples unless --wav-sample says otherwise.
"""


class CliError(Exception):
    """A failure to report as one line on stderr."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see '{self.prog} --help')")


# ----------------------------------------------------------------------------------------------
# Files


def write_file_atomically(path: str, data: bytes) -> None:
    """Writes `data` to `path` so that `path` is never seen half-written."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _read_bytes(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _strip_suffix(path: str, suffix: str) -> str:
    base = os.path.basename(path)
    if base.lower().endswith(suffix) and len(base) > len(suffix):
        return base[: -len(suffix)]
    return os.path.splitext(base)[0] or base


def _refuse_shared_outputs(inputs: list[str], base_of: Callable[[str], str]) -> None:
    """Fails before any work when two inputs would write the same output."""
    owner: dict[str, str] = {}
    for path in inputs:
        key = os.path.normcase(os.path.abspath(base_of(path)))
        if key in owner and owner[key] != path:
            raise CliError(f"{owner[key]} and {path} would both be written to {base_of(path)}")
        owner[key] = path


# ----------------------------------------------------------------------------------------------
# Progress


class _Progress:
    """A progress bar on a terminal's stderr (tqdm when installed); result lines go to stdout."""

    def __init__(self, total: int, desc: str, quiet: bool) -> None:
        self._quiet = quiet
        self._bar: Any = None
        self._fallback = False
        self._done = 0
        self._total = total
        self._desc = desc
        if quiet or total < 2 or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            self._fallback = True
            self._draw()
        else:
            self._bar = tqdm(total=total, desc=desc, unit="file", file=sys.stderr, leave=False)

    def note(self, line: str) -> None:
        if self._quiet:
            return
        if self._bar is not None:
            self._bar.write(line, file=sys.stdout)
        else:
            self._clear()
            print(line, flush=True)
            self._draw()

    def advance(self) -> None:
        self._done += 1
        if self._bar is not None:
            self._bar.update(1)
        else:
            self._draw()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
        self._clear()
        self._fallback = False

    def _draw(self) -> None:
        if self._fallback:
            sys.stderr.write(f"\r{self._desc}: {self._done}/{self._total} files")
            sys.stderr.flush()

    def _clear(self) -> None:
        if self._fallback:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


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
    _refuse_shared_outputs(args.inputs, lambda path: targets(path, 1)[0])
    if args.output is not None and not args.output.lower().endswith(CONTAINER_SUFFIX):
        os.makedirs(args.output, exist_ok=True)
    progress = _Progress(len(args.inputs), "compress", args.quiet)
    try:
        for path in args.inputs:
            signal = read_signal(path)
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
            progress.note(_describe_compress(path, signal.description, signal.rate, outputs,
                                             signal.num_samples, containers))
            progress.advance()
    finally:
        progress.close()
    return 0


def _describe_compress(path: str, description: str, rate: int | None, outputs: list[str],
                       num_samples: int, containers: list[bytes]) -> str:
    raw = 4 * num_samples * len(outputs)
    packed = sum(len(c) for c in containers)
    if len(outputs) == 1:
        where = outputs[0]
    else:
        where = ", ".join(f"{p} (channel {k})" for k, p in enumerate(outputs))
    line = (f"{path} ({description}, {num_samples} samples) -> {where}; "
            f"{packed} bytes, ratio {raw / packed:.2f} vs float32")
    if rate is not None:
        line += f"; sample rate {rate} Hz not stored (decompress with --rate {rate})"
    return line


# ----------------------------------------------------------------------------------------------
# decompress


def _decode_container(path: str) -> Channel:
    data = _read_bytes(path)
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
        stem = _strip_suffix(path, CONTAINER_SUFFIX)
        return os.path.join(directory, stem + FORMAT_SUFFIX[args.format])

    _refuse_shared_outputs(args.inputs, target)
    if args.output is not None:
        os.makedirs(args.output, exist_ok=True)
    progress = _Progress(len(args.inputs), "decompress", args.quiet)
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
    progress = _Progress(len(args.inputs), "decompress", args.quiet)
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
        data = _read_bytes(path)
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


# ----------------------------------------------------------------------------------------------
# eval


def _comma_list(text: str, convert: Callable[[str], Any], allowed: Sequence[Any]) -> list[Any]:
    try:
        values = [convert(v.strip()) for v in text.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid list {text!r}") from None
    bad = [v for v in values if v not in allowed]
    if bad or not values:
        choices = ", ".join(str(a) for a in allowed)
        raise argparse.ArgumentTypeError(f"invalid value {bad[0] if bad else text!r} "
                                         f"(choose from {choices})")
    return values


def _time_best(fn: Callable[[], Any], budget_s: float = 0.05, max_runs: int = 5) -> float:
    """The fastest of a few runs of `fn`, within a small time budget."""
    best = math.inf
    spent = 0.0
    for _ in range(max_runs):
        t0 = time.perf_counter()
        fn()
        elapsed = time.perf_counter() - t0
        best = min(best, elapsed)
        spent += elapsed
        if spent >= budget_s:
            break
    return best


def _measure(channels: list[Channel], options: vantrel.CompressionOptions) -> dict[str, float]:
    containers = [vantrel.compress_signal(c, options) for c in channels]
    decoded = [vantrel.decompress_signal(b) for b in containers]
    x = np.concatenate([np.asarray(c, dtype=np.float64) for c in channels])
    y = np.concatenate([d.astype(np.float64) for d in decoded])
    err = y - x
    mse = float(np.mean(err * err))
    peak = float(x.max() - x.min())
    energy = float(np.sum(x * x))
    megabytes = 4 * x.size / 1e6
    t_comp = _time_best(lambda: [vantrel.compress_signal(c, options) for c in channels])
    t_decomp = _time_best(lambda: [vantrel.decompress_signal(b) for b in containers])
    return {
        "ratio": 4 * x.size / sum(len(b) for b in containers),
        "psnr": (math.inf if mse == 0 else
                 (20 * math.log10(peak / math.sqrt(mse)) if peak > 0 else math.nan)),
        "prd": 100 * math.sqrt(float(np.sum(err * err)) / energy) if energy > 0 else math.nan,
        "max_err": float(np.max(np.abs(err))),
        "comp_mbs": megabytes / t_comp if t_comp > 0 else math.inf,
        "decomp_mbs": megabytes / t_decomp if t_decomp > 0 else math.inf,
    }


def cmd_eval(args: argparse.Namespace) -> int:
    signal = read_signal(args.input)
    if signal.num_samples == 0:
        raise CliError(f"{args.input}: holds no samples")
    noun = "channel" if len(signal.channels) == 1 else "channels"
    print(f"{args.input}: {signal.description}; {signal.num_samples} samples x "
          f"{len(signal.channels)} {noun}; cutoff {args.cutoff}, coder {args.coder}")
    header = (f"{'method':<7} {'scale':>5} {'ratio':>8} {'PSNR dB':>8} {'PRD %':>8} "
              f"{'max err':>10} {'comp MB/s':>10} {'decomp MB/s':>11}")
    print(header)
    print("-" * len(header))
    results: dict[str, list[tuple[float, float, int]]] = {}
    for method in args.methods:
        for scale in args.scales:
            options = vantrel.CompressionOptions(method=method, scale=scale, cutoff=args.cutoff,
                                                 coder=args.coder)
            try:
                m = _measure(signal.channels, options)
            except ValueError as exc:
                print(f"{method:<7} {scale:>5}  refused: {exc}")
                continue
            results.setdefault(method, []).append((m["ratio"], m["psnr"], scale))
            print(f"{method:<7} {scale:>5} {m['ratio']:>8.2f} {m['psnr']:>8.2f} {m['prd']:>8.3f} "
                  f"{m['max_err']:>10.3g} {m['comp_mbs']:>10.1f} {m['decomp_mbs']:>11.1f}",
                  flush=True)
    raw = b"".join(np.asarray(c, dtype="<f4").tobytes() for c in signal.channels)
    t_zlib = _time_best(lambda: zlib.compress(raw, 6))
    print(f"baseline: zlib level 6 on the float32 bytes (lossless): ratio "
          f"{len(raw) / len(zlib.compress(raw, 6)):.2f}, {len(raw) / 1e6 / t_zlib:.1f} MB/s")
    print("ratio: float32 bytes / container bytes; PSNR peak = max - min; MB/s of float32 input")
    if args.plot:
        _plot(args.plot, args.input, results)
        print(f"rate-distortion plot written to {args.plot}")
    return 0


def _plot(path: str, title: str, results: dict[str, list[tuple[float, float, int]]]) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import LogLocator, NullFormatter, ScalarFormatter
    except ImportError:
        raise CliError("--plot needs matplotlib (pip install matplotlib)") from None
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for method, points in results.items():
        finite = [(r, p, s) for r, p, s in points if math.isfinite(p)]
        if not finite:
            continue
        ax.plot([r for r, _, _ in finite], [p for _, p, _ in finite], marker="o", label=method)
        for r, p, s in finite:
            ax.annotate(str(s), (r, p), textcoords="offset points", xytext=(4, 4), fontsize=7)
    ax.set_xscale("log")
    ax.xaxis.set_major_locator(LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
    ax.xaxis.set_major_formatter(ScalarFormatter())
    ax.xaxis.set_minor_formatter(NullFormatter())
    ax.set_xlabel("compression ratio vs float32 (log scale)")
    ax.set_ylabel("PSNR (dB), peak = max - min")
    ax.set_title(f"vantrel rate-distortion: {os.path.basename(title)} (labels: scale)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    suffix = os.path.splitext(path)[1].lower().lstrip(".") or "png"
    with tempfile.TemporaryFile() as buffer:
        fig.savefig(buffer, format=suffix)
        plt.close(fig)
        buffer.seek(0)
        write_file_atomically(path, buffer.read())


# ----------------------------------------------------------------------------------------------
# Command line


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Lossy wavelet compression of sampled signals into .vtrl containers.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    fmt = argparse.RawDescriptionHelpFormatter

    c = commands.add_parser("compress", help="compress signal files into .vtrl containers",
                            description="Compress signal files into .vtrl containers.",
                            epilog=COMPRESS_HELP, formatter_class=fmt)
    c.add_argument("inputs", nargs="+", metavar="IN", help="input signal files")
    c.add_argument("-o", "--output", metavar="OUT",
                   help="output FILE.vtrl (one input) or directory (default: beside each input)")
    c.add_argument("--method", choices=METHODS, default="cdf97", help="wavelet (default cdf97)")
    c.add_argument("--scale", type=int, choices=range(6, 13), default=11, metavar="6..12",
                   help="quantisation scale: higher keeps more detail (default 11)")
    c.add_argument("--cutoff", choices=CUTOFFS, default="low",
                   help="dead zone for small details (default low)")
    c.add_argument("--coder", choices=CODERS, default="auto",
                   help="entropy coder (default auto, the context model)")
    c.add_argument("--multiplier", type=float, metavar="M",
                   help="quantisation multiplier instead of 2**scale")
    c.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")
    c.set_defaults(func=cmd_compress)

    d = commands.add_parser("decompress", help="decompress .vtrl containers",
                            description="Decompress .vtrl containers into signal files.",
                            epilog=DECOMPRESS_HELP, formatter_class=fmt)
    d.add_argument("inputs", nargs="+", metavar="IN.vtrl", help="containers")
    d.add_argument("-o", "--output", metavar="OUT",
                   help="output file (.npy .wav .csv .txt .f32 .raw) or directory")
    d.add_argument("--format", choices=sorted(FORMAT_SUFFIX), default="npy",
                   help="format of the files written into a directory (default npy)")
    d.add_argument("--rate", type=int, default=DEFAULT_RATE, metavar="HZ",
                   help=f"sample rate written into WAV files (default {DEFAULT_RATE})")
    d.add_argument("--wav-sample", choices=WAV_SAMPLE_KINDS, default="float32",
                   help="sample encoding of WAV files (default float32)")
    d.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")
    d.set_defaults(func=cmd_decompress)

    i = commands.add_parser("info", help="show every header field of containers",
                            description="Show every header field of .vtrl containers.")
    i.add_argument("files", nargs="+", metavar="FILE.vtrl")
    i.set_defaults(func=cmd_info)

    e = commands.add_parser(
        "eval", help="measure ratio, error and speed over a grid of methods and scales",
        description="Compress a signal with every method and scale of a grid and report ratio, "
                    "PSNR, PRD, maximum error and speed.")
    e.add_argument("input", metavar="IN", help="input signal file (any input format)")
    e.add_argument("--methods", type=lambda t: _comma_list(t, str, METHODS), default=list(METHODS),
                   metavar="LIST", help="comma-separated methods (default all)")
    e.add_argument("--scales", type=lambda t: _comma_list(t, int, range(6, 13)),
                   default=list(DEFAULT_EVAL_SCALES), metavar="LIST",
                   help="comma-separated scales (default 6,8,10,11,12)")
    e.add_argument("--cutoff", choices=CUTOFFS, default="low")
    e.add_argument("--coder", choices=CODERS, default="auto")
    e.add_argument("--plot", metavar="OUT.png",
                   help="write a rate-distortion plot (needs matplotlib)")
    e.set_defaults(func=cmd_eval)
    return parser


def _fail(message: str, stream: IO[str]) -> int:
    stream.write(f"{PROG}: error: {' '.join(message.split())}\n")
    return EXIT_FAILURE


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return int(args.func(args))
    except (CliError, SignalFileError) as exc:
        return _fail(str(exc), sys.stderr)
    except OSError as exc:
        where = f"{exc.filename}: " if exc.filename else ""
        return _fail(f"{where}{exc.strerror or exc}", sys.stderr)
    except ValueError as exc:
        return _fail(str(exc), sys.stderr)
    except KeyboardInterrupt:
        return _fail("interrupted", sys.stderr)
    except Exception as exc:  # anything else still ends in one line, never a traceback
        return _fail(f"unexpected {type(exc).__name__}: {exc}", sys.stderr)


def run() -> NoReturn:
    sys.exit(main())


if __name__ == "__main__":
    run()
