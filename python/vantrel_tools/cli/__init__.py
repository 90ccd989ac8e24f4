"""The ``vantrel`` command: compress, decompress, inspect and evaluate signal files.

Every failure ends the command with one line on stderr and exit status 2; Ctrl-C, SIGTERM and
SIGHUP end it in one line with status 128 + the signal's number. A command plans all its
outputs before it writes any (no two the same, none an input, none an existing file unless -f),
writes them to temporary files in their own directories and renames them all at the end: it
writes all its outputs or none, and each is complete.

The parts: ``commands`` (compress, decompress), ``info``, ``evaluate`` (eval), ``plotting``,
``progress`` and ``files`` (output paths, atomic writes). The quality figures of eval come from
``vantrel_tools.metrics``. Nothing in the package imports the command.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import importlib.metadata
import io
import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, NoReturn

from ..core.names import (
    CUTOFF_LEVELS,
    ENTROPY_CODERS,
    MAX_SCALE,
    MIN_SCALE,
    QUALITY_METRICS,
    SCALES,
    WAVELET_METHODS,
)
from ..io import FORMAT_SUFFIX, SignalFileError
from ..io.audio import WAV_SAMPLE_KINDS
from ..store.timeline import DEFAULT_CHUNK
from .commands import DEFAULT_METHOD, DEFAULT_RATE, cmd_compress, cmd_decompress
from .info import cmd_info
from .errors import CliError, Interrupted
from .evaluate import cmd_eval, window_edge
from .inputs import add_input_options
from .run import one_blas_thread

__all__ = ["CliError", "build_parser", "main", "run"]

PROG = "vantrel"
EXIT_FAILURE = 2
# The default first, then the others by code: the order of --help and of eval's table.
METHODS = (DEFAULT_METHOD, *(m for m in WAVELET_METHODS if m != DEFAULT_METHOD))
CODERS = ("auto", *ENTROPY_CODERS)
DEFAULT_EVAL_SCALES = (6, 8, 10, 11, 12)
DEFAULT_EVAL_TARGETS = (55, 60, 65, 70, 75, 80)

COMPRESS_HELP = """\
Input formats, by suffix: .npy (1-D, or 2-D as samples x channels or with --channels-first;
float or integer, integers keep their values), .csv/.txt (one number per line, or one --column of
several; an optional header line names the columns), .f32/.raw (little-endian float32).
Recording formats, each with its extra (pip install 'vantrel[edf]', ...): .edf/.bdf (EDF, EDF+,
BDF; extra edf), .hea (a WFDB record; extra wfdb), .wav/.flac/.ogg (every WAV sample type; PCM
scaled to [-1, 1); extra audio), .h5/.hdf5/.nwb (one dataset: FILE.h5:/group/name or --dataset;
extra hdf5). Integer samples are coded as physical values.

Archives: -o NAME.zarr (a Zarr 3 directory store) or -o NAME.vtrl.zip (the same in one zip file)
keeps every channel of one input with its sample rate, label, unit, physical and digital ranges,
the start time and the annotations (extra zarr). 'vantrel decompress NAME.zarr -o NAME.edf' gives
the recording back; 'vantrel info NAME.zarr' lists its channels. A channel that cannot be coded
fails the command, naming it, and nothing is written.

HDF5 and NWB files: 'vantrel compress rec.nwb -o rec.vtrl.nwb' (or .h5, .hdf5) rewrites the whole
file with every numeric dataset of at least --min-size bytes filtered by vantrel's HDF5 filter
along its first axis (time in NWB), to --scale or a quality target, and everything else (groups,
attributes, links, other datasets) copied as it was; h5py and pynwb read it with
vantrel_tools.hdf5 imported, other programs with HDF5_PLUGIN_PATH set (extra hdf5).

A container holds one channel. A one-channel input NAME.ext becomes NAME.vtrl; an input with C
channels becomes NAME.ch0.vtrl ... NAME.ch{C-1}.vtrl, channel k in NAME.chk.vtrl. Each line of
output names the file every channel went to. Every container carries a CRC-32C and the places of
NaN and infinite samples, which decompress restores.

Where outputs go: -o FILE.vtrl (one input only) names the output; -o DIR (an existing
directory, or a name ending in / or without a suffix) is a directory, created if missing; without
-o each output goes beside its input. Existing files are not overwritten unless -f is given. A
container keeps its channel's sample rate, label, unit and sample type or integer grid, so that
decompress writes the source's format back as it was; with a quality target, the target holds on
the integer codes an EDF, BDF, WFDB, PCM audio or integer HDF5 input is written back on, and on
the samples that exist (NaN and infinite ones are not measured).
"""

DECOMPRESS_HELP = f"""\
An archive (NAME.zarr, NAME.vtrl.zip) is decompressed alone into the format of -o's suffix, with
what that format keeps of its metadata; without -o, or into a directory, it becomes the format it
came from. Integer formats clip what lies beyond their digital range and say how many samples.

The output format comes from the suffix of -o: .npy, .wav, .csv/.txt, .f32/.raw, or a recording
format (.edf .bdf .hea .flac .ogg .h5; FILE.h5:/group/name names the dataset). With such
an -o, every input becomes one channel of that one file, in the order given (all must have the
same length; .csv and .f32 hold one channel). -o DIR (an existing directory, or a name ending in
/ or without a suffix) receives one file per input, NAME.ch0.vtrl -> NAME.ch0.npy (the format from
--format, .npy by default); without -o each output goes beside its input. Existing files are not
overwritten unless -f is given. Files are written at --rate Hz, else at the rate the containers
keep (default {DEFAULT_RATE}). WAV files get float32 samples (FLAC pcm16) unless --wav-sample says
otherwise or the archive or containers recorded the input's. Channels of integer codes are
written on their codes in every format. Gaps (NaN, +inf, -inf) recorded by compress
come back; a container whose checksum fails is reported as damaged.
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see '{self.prog} --help')")


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


def _float_list(text: str) -> list[float]:
    if text.strip() == "none":
        return []
    try:
        return [float(v) for v in text.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid list {text!r}") from None


def _byte_size(text: str) -> int:
    """A size in bytes, with an optional K, M or G (powers of 1024)."""
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    number = text.strip()
    scale = units.get(number[-1:].lower(), 1)
    try:
        size = int(number[:-1] if scale > 1 else number) * scale
    except ValueError:
        size = -1
    if size < 0:
        raise argparse.ArgumentTypeError(f"invalid size {text!r} (bytes, or a number with K, M "
                                         "or G)")
    return size


def _thread_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError(f"invalid thread count {text!r} (a whole number, 1 or more)")
    return count


def _rate(text: str) -> int:
    try:
        rate = int(text)
    except ValueError:
        rate = 0
    if rate < 1:
        raise argparse.ArgumentTypeError(f"invalid sample rate {text!r} (a whole number of Hz, "
                                         "1 or more)")
    return rate


def _file_command(commands: Any, name: str, func: Callable[[argparse.Namespace], int], *,
                  summary: str, description: str, epilog: str, inputs: tuple[str, str],
                  output: str) -> argparse.ArgumentParser:
    """A command over input files with -o and -q: compress and decompress."""
    parser: argparse.ArgumentParser = commands.add_parser(
        name, help=summary, description=description, epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("inputs", nargs="+", metavar=inputs[0], help=inputs[1])
    parser.add_argument("-o", "--output", metavar="OUT", help=output)
    parser.add_argument("-f", "--force", action="store_true",
                        help="overwrite existing output files (never an input)")
    parser.add_argument("-q", "--quiet", action="store_true", help="print nothing on success")
    parser.add_argument("--threads", type=_thread_count, metavar="N",
                        help="channels and files coded at once (default: all cores); the "
                             "outputs are the same for every N")
    parser.set_defaults(func=func)
    return parser


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Lossy wavelet compression of sampled signals into .vtrl containers.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    c = _file_command(commands, "compress", cmd_compress, epilog=COMPRESS_HELP,
                      summary="compress signal files into .vtrl containers",
                      description="Compress signal files into .vtrl containers.",
                      inputs=("IN", "input signal files"),
                      output="output FILE.vtrl (one input), archive NAME.zarr or NAME.vtrl.zip "
                             "(one input, every channel with its metadata) or directory "
                             "(default: beside each input)")
    c.add_argument("--method", choices=METHODS,
                   help=f"wavelet (default {DEFAULT_METHOD}; with a quality target the search "
                        "picks one by an estimate of the coded size)")
    c.add_argument("--scale", type=int, choices=SCALES, metavar=f"{MIN_SCALE}..{MAX_SCALE}",
                   help="quantisation scale: higher keeps more detail (default 11)")
    c.add_argument("--cutoff", choices=CUTOFF_LEVELS,
                   help="dead zone for small details (default low)")
    c.add_argument("--coder", choices=CODERS,
                   help="entropy coder (default auto, the context model)")
    c.add_argument("--multiplier", type=float, metavar="M",
                   help="quantisation multiplier instead of 2**scale")
    c.add_argument("--chunk-samples", type=int, metavar="N",
                   help=f"samples per chunk of an archive's channels (default {DEFAULT_CHUNK}); "
                        "a window reads only the chunks it touches")
    target = c.add_argument_group(
        "quality target (instead of --scale, --cutoff, --coder and --multiplier)",
        "The smallest container found whose decoded samples meet the target, per channel.")
    exclusive = target.add_mutually_exclusive_group()
    for metric in QUALITY_METRICS:  # the codec's metric table: flags, placeholders and help
        exclusive.add_argument(f"--{metric.name.replace('_', '-')}", type=float,
                               metavar=metric.metavar, help=metric.help)
    target.add_argument("--grid", type=float, metavar="STEP",
                        help="the samples are whole multiples of STEP (checked; the first that "
                             "is not is refused): targets hold on the multiples decompress "
                             "returns, --max-error 0 is lossless. For files of float samples: "
                             "EDF, BDF, WFDB, PCM audio and integer HDF5 use their own codes")
    add_input_options(c)
    c.add_argument("--min-size", type=_byte_size, metavar="BYTES",
                   help="with -o FILE.h5, FILE.hdf5 or FILE.nwb and a whole HDF5 or NWB input: "
                        "rewrite the file with every numeric dataset of at least this size "
                        "(default 1M) filtered by vantrel along its first axis, everything "
                        "else copied as it was")

    d = _file_command(commands, "decompress", cmd_decompress, epilog=DECOMPRESS_HELP,
                      summary="decompress .vtrl containers",
                      description="Decompress .vtrl containers into signal files.",
                      inputs=("IN", "containers (.vtrl) or one archive (.zarr, .vtrl.zip)"),
                      output="output file (.npy .wav .csv .txt .f32 .raw .edf .bdf .hea .flac "
                             ".ogg .h5) or directory")
    d.add_argument("--format", choices=sorted(FORMAT_SUFFIX), default=None,
                   help="format of the files written into a directory (default npy; an "
                        "archive's own format)")
    d.add_argument("--rate", type=_rate, default=None, metavar="HZ",
                   help="sample rate of the files made from containers (default: the one they "
                        f"keep, else {DEFAULT_RATE}), and of an archive's channels that record none")
    d.add_argument("--wav-sample", choices=WAV_SAMPLE_KINDS, default=None,
                   help="sample encoding of audio files (default float32, FLAC pcm16, or what "
                        "an archive recorded)")

    i = commands.add_parser("info", help="show every header field of containers",
                            description="Show every header field of .vtrl containers, and the "
                                        "channels of archives with their rates, sizes and "
                                        "ratios.")
    i.add_argument("files", nargs="+", metavar="FILE.vtrl|ARCHIVE")
    i.add_argument("--original", metavar="IN",
                   help="the signal file the containers were made from: show the PSNR, PRD, "
                        "RMSE and maximum error each reaches against it")
    i.add_argument("--channel", type=int, default=0, metavar="K",
                   help="the channel of --original to compare with (default 0)")
    add_input_options(i)
    i.set_defaults(func=cmd_info)

    e = commands.add_parser(
        "eval", help="measure ratio, error and speed over a grid of methods and scales",
        description="Compress a signal with every method and scale of a grid and report ratio, "
                    "PSNR, PRD, maximum error and speed.")
    e.add_argument("input", metavar="IN", help="input signal file (any input format)")
    e.add_argument("--methods", type=lambda t: _comma_list(t, str, METHODS), default=list(METHODS),
                   metavar="LIST", help="comma-separated methods (default all)")
    e.add_argument("--scales", type=lambda t: _comma_list(t, int, SCALES),
                   default=list(DEFAULT_EVAL_SCALES), metavar="LIST",
                   help="comma-separated scales (default "
                        f"{','.join(map(str, DEFAULT_EVAL_SCALES))})")
    e.add_argument("--cutoff", choices=CUTOFF_LEVELS, default="low")
    e.add_argument("--coder", choices=CODERS, default="auto")
    e.add_argument("--targets", type=_float_list, default=list(DEFAULT_EVAL_TARGETS),
                   metavar="LIST",
                   help="comma-separated PSNR targets in dB coded by the quality search, method "
                        "chosen (default "
                        f"{','.join(map(str, DEFAULT_EVAL_TARGETS))}; 'none' for none)")
    e.add_argument("--plot", metavar="OUT.png",
                   help="write a rate-distortion plot (needs matplotlib)")
    for edge, where in (("start", "first"), ("stop", "end")):
        e.add_argument(f"--{edge}", type=window_edge, metavar="N|SECONDSs",
                       help=f"the window's {where} sample: N samples of the fastest channel "
                            "(others in proportion) or seconds with an s (`90s`); an archive "
                            "decodes only the chunks the window touches")
    add_input_options(e)
    e.set_defaults(func=cmd_eval)
    return parser


def _version() -> str:
    try:
        return importlib.metadata.version(PROG)
    except importlib.metadata.PackageNotFoundError:
        return "(version unknown: the package is not installed)"


def _names_never_fail(exc: UnicodeError) -> tuple[str | bytes, int]:
    """Encoding errors of stdout and stderr: a file name that is no valid text in the file
    system's encoding goes out as its own bytes, anything else unprintable as an escape."""
    try:
        return codecs.lookup_error("surrogateescape")(exc)
    except UnicodeError:
        return codecs.backslashreplace_errors(exc)


codecs.register_error("vantrel.names", _names_never_fail)


def _fail(message: str, stream: IO[str]) -> int:
    stream.write(f"{PROG}: error: {' '.join(message.split())}\n")
    return EXIT_FAILURE


# Signals that end the command the way Ctrl-C does: its outputs are discarded, not left staged.
_ENDING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP")
                        if hasattr(signal, name))


@contextlib.contextmanager
def _ending_signals_interrupt() -> Iterator[None]:
    """SIGTERM and SIGHUP raise `Interrupted` in the main thread for the body, as SIGINT raises
    KeyboardInterrupt; elsewhere (an embedding program's thread) the handlers stay as they are."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def interrupt(signum: int, _: object) -> None:
        raise Interrupted(signum)

    previous = {signum: signal.signal(signum, interrupt) for signum in _ENDING_SIGNALS}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _stdout_closed() -> int:
    """The end of a command whose reader went away (``vantrel info x | head``): quietly, as a
    command killed by SIGPIPE, with stdout pointed at nothing so that the final flush says
    nothing either."""
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    return 128 + getattr(signal, "SIGPIPE", 13)


def _command(argv: Sequence[str] | None) -> int:
    args = build_parser().parse_args(argv)
    if getattr(args, "output", None) == "-":
        raise CliError("-o -: outputs are files; standard output is not supported (name a "
                       "file or a directory)")
    return int(args.func(args))


def main(argv: Sequence[str] | None = None) -> int:
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="vantrel.names")
    one_blas_thread()
    try:
        with _ending_signals_interrupt():
            return _command(argv)
    except (CliError, SignalFileError) as exc:
        return _fail(str(exc), sys.stderr)
    except OSError as exc:
        if isinstance(exc, BrokenPipeError) and exc.filename is None:
            return _stdout_closed()
        where = f"{exc.filename}: " if exc.filename else ""
        return _fail(f"{where}{exc.strerror or exc}", sys.stderr)
    except ValueError as exc:
        return _fail(str(exc), sys.stderr)
    except KeyboardInterrupt as exc:
        _fail("interrupted", sys.stderr)
        return 128 + (exc.signum if isinstance(exc, Interrupted) else signal.SIGINT)
    except Exception as exc:  # anything else still ends in one line, never a traceback
        return _fail(f"unexpected {type(exc).__name__}: {exc}", sys.stderr)


def run() -> NoReturn:
    sys.exit(main())
