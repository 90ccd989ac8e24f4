"""``vantrel eval``: ratio, error and speed of one signal over a grid of methods and scales."""

from __future__ import annotations

import argparse
import dataclasses
import math
import timeit
import zlib
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

import vantrel

from ..core.codec import compress_to_target
from ..core.metrics import Distortion, distortion
from ..core.target import QualityTarget
from ..io import Channel, Signal
from ..store.archive import ArchiveBlocks, is_archive
from .errors import CliError
from .inputs import own_ratio_note, read_input
from .plotting import RatePoints, plot_rate_distortion, pyplot


# A window's edge: ("samples", N) or ("seconds", t).
Edge = tuple[str, float]


def window_edge(text: str) -> Edge:
    """--start/--stop: a count of samples, or seconds with an ``s``."""
    seconds = text.endswith("s")
    try:
        value = float(text[:-1]) if seconds else int(text)
    except ValueError:
        value = -1.0
    if not value >= 0 or not math.isfinite(value):
        raise argparse.ArgumentTypeError(
            f"{text!r} is neither a count of samples nor seconds such as 90s")
    return ("seconds" if seconds else "samples", value)


def _edge(edge: Edge | None, default: int, rate: float | None, n: int, longest: int,
          where: str) -> int:
    """A window's edge as a sample of a channel of `n` samples (the longest has `longest`)."""
    if edge is None:
        return default
    kind, value = edge
    if kind == "samples":
        return min(n, int(value) * n // longest)
    if rate is None:
        raise CliError(f"{where}: no sample rate to place a window in seconds; give samples")
    return min(n, round(value * rate))


def _windowed(args: argparse.Namespace) -> Signal:
    """The input, or with --start/--stop its window, an archive's read chunk by chunk."""
    if args.start is None and args.stop is None:
        return read_input(args.input, args)
    if is_archive(args.input):
        with ArchiveBlocks(args.input) as blocks:
            return _cut(blocks.header, blocks.lengths, blocks.samples, args)
    signal = read_input(args.input, args)
    return _cut(signal, [c.size for c in signal.channels],
                lambda k, lo, hi: signal.channels[k][lo:hi], args)


def _cut(signal: Signal, lengths: list[int], samples: Callable[[int, int, int], Channel],
         args: argparse.Namespace) -> Signal:
    channels = []
    for k, n in enumerate(lengths):
        where = f"{args.input}: {signal.channel_name(k)}"
        rate = signal.channel_info(k).rate
        lo = _edge(args.start, 0, rate, n, max(lengths), where)
        hi = _edge(args.stop, n, rate, n, max(lengths), where)
        if lo >= hi:
            raise CliError(f"{where}: the window from sample {lo} to {hi} holds no sample "
                           f"(the channel has {n})")
        channels.append(samples(k, lo, hi))
    return dataclasses.replace(signal, channels=channels)


def _time_best(fn: Callable[[], Any], budget_s: float = 0.05, max_runs: int = 5) -> float:
    """The fastest of a few runs of `fn`, within a small time budget."""
    timer = timeit.Timer(fn)
    best = math.inf
    spent = 0.0
    for _ in range(max_runs):
        elapsed = timer.timeit(1)
        best = min(best, elapsed)
        spent += elapsed
        if spent >= budget_s:
            break
    return best


def _measured(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64]) -> Distortion:
    """The distortion of the samples that exist (gaps have no error to measure); nan without
    any."""
    keep = np.isfinite(x)
    return distortion(x[keep], y[keep]) if keep.any() else Distortion(*[math.nan] * 4)


def _measure(channels: list[Channel], code: Callable[[Channel], bytes]) -> dict[str, Any]:
    containers = [code(c) for c in channels]
    decoded = [vantrel.decompress_signal(b) for b in containers]
    x = np.concatenate([np.asarray(c, dtype=np.float64) for c in channels])
    y = np.concatenate([d.astype(np.float64) for d in decoded])
    quality = _measured(x, y)
    megabytes = 4 * x.size / 1e6
    t_comp = _time_best(lambda: [code(c) for c in channels])
    t_decomp = _time_best(lambda: [vantrel.decompress_signal(b) for b in containers])
    return {
        "ratio": 4 * x.size / sum(len(b) for b in containers),
        "quality": quality,
        "comp_mbs": megabytes / t_comp if t_comp > 0 else math.inf,
        "decomp_mbs": megabytes / t_decomp if t_decomp > 0 else math.inf,
    }


TARGET_SERIES = "target"


def _row(method: str, setting: str, channels: list[Channel], code: Callable[[Channel], bytes],
         results: RatePoints) -> None:
    """Measures one setting, prints its row and adds its point to `results`."""
    try:
        m = _measure(channels, code)
    except ValueError as exc:
        print(f"{method:<7} {setting:>5}  refused: {exc}")
        return
    results.setdefault(method, []).append((m["ratio"], m["quality"].psnr, setting))
    print(f"{method:<7} {setting:>5} {m['ratio']:>8.2f} {m['quality'].cells()} "
          f"{m['comp_mbs']:>10.1f} {m['decomp_mbs']:>11.1f}", flush=True)


def _per_channel(signal: Signal, args: argparse.Namespace) -> None:
    """One row per channel at the first method and the highest scale of the grid."""
    method, scale = args.methods[0], max(args.scales)
    options = vantrel.CompressionOptions(method=method, scale=scale, cutoff=args.cutoff,
                                         coder=args.coder)
    print(f"per channel, {method} scale {scale}:")
    print(f"{'ch':>3} {'label':<16} {'rate Hz':>9} {'samples':>9} {'ratio':>8} {'PSNR dB':>8} "
          f"{'PRD %':>8} {'max err':>10}")
    for k, channel in enumerate(signal.channels):
        info = signal.channel_info(k)
        rate = f"{info.rate:g}" if info.rate is not None else "-"
        head = f"{k:>3} {(info.label or '-')[:16]:<16} {rate:>9} {channel.size:>9}"
        try:
            packed = vantrel.compress_signal(np.ascontiguousarray(channel), options)
            quality = _measured(np.asarray(channel, dtype=np.float64),
                                vantrel.decompress_signal(packed).astype(np.float64))
        except ValueError as exc:
            print(f"{head}  refused: {exc}")
            continue
        print(f"{head} {4 * channel.size / len(packed):>8.2f} {quality.cells()}")


def cmd_eval(args: argparse.Namespace) -> int:
    if args.plot:
        pyplot()  # fails now, not after the whole table
    signal = _windowed(args)
    if signal.num_samples == 0:
        raise CliError(f"{args.input}: holds no samples")
    noun = "channel" if len(signal.channels) == 1 else "channels"
    lengths = sorted({c.size for c in signal.channels})
    samples = f"{lengths[0]}" if len(lengths) == 1 else f"{lengths[0]} to {lengths[-1]}"
    print(f"{args.input}: {signal.description}; {samples} samples x "
          f"{len(signal.channels)} {noun}; cutoff {args.cutoff}, coder {args.coder}")
    header = (f"{'method':<7} {'scale':>5} {'ratio':>8} {'PSNR dB':>8} {'PRD %':>8} "
              f"{'max err':>10} {'comp MB/s':>10} {'decomp MB/s':>11}")
    print(header)
    print("-" * len(header))
    results: RatePoints = {}
    for method in args.methods:
        for scale in args.scales:
            options = vantrel.CompressionOptions(method=method, scale=scale, cutoff=args.cutoff,
                                                 coder=args.coder)
            _row(method, str(scale), signal.channels,
                 lambda c, o=options: vantrel.compress_signal(c, o), results)
    for psnr in args.targets:
        # The search picks the method and a multiplier between the scales' powers of two.
        goal = QualityTarget("psnr", psnr)  # the codec refuses what it cannot reach, per row
        _row(TARGET_SERIES, f"{psnr:g}", signal.channels,
             lambda c, g=goal: compress_to_target(c, g).container, results)
    if len(signal.channels) > 1:
        _per_channel(signal, args)
    raw = b"".join(np.asarray(c, dtype="<f4").tobytes() for c in signal.channels)
    t_zlib = _time_best(lambda: zlib.compress(raw, 6))
    print(f"baseline: zlib level 6 on the float32 bytes (lossless): ratio "
          f"{len(raw) / len(zlib.compress(raw, 6)):.2f}, {len(raw) / 1e6 / t_zlib:.1f} MB/s")
    print("ratio: float32 bytes / container bytes; PSNR peak = max - min; MB/s of float32 input")
    if args.targets:
        print(f"{TARGET_SERIES}: the smallest container found that reaches the PSNR in the scale "
              "column (vantrel_tools.compress_to)")
    note = own_ratio_note(signal)
    if note is not None:
        print(note)
    if args.plot:
        plot_rate_distortion(args.plot, args.input, results)
        print(f"rate-distortion plot written to {args.plot}")
    return 0
