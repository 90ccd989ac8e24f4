"""The correction layer through the companion package, end to end, against SZ3, pcodec, FLAC and
WavPack.

On the real signals of ``residual.py`` (the long ECG and its 11-bit codes, speech as 16-bit codes,
the PPG and the short ECG as integer codes), in one run on one thread:

- lossless: ``vantrel_tools.compress_to(codes, max_error=0)`` on the integer array (int16 codes),
  checked to decode to the same codes and type, against pcodec, FLAC (soundfile) and WavPack
  (its command line tools, Debian package wavpack, at ``-hh -x6``; left out when missing) on
  the codes;
- bounded: ``compress_to(x, max_error=range / 2^k)``, k = 6 ... 14, on the float32 samples,
  checked with a NumPy float64 oracle on what ``vantrel_tools.decompress`` returns, against SZ3
  at the same absolute bound; and the container the search makes without the layer.

Sizes are whole files (header, payload and trailer). Ratios: a peer's bytes over ours (above 1,
ours is smaller); compress time with the layer over without it (same signal and bound; lossless:
the search without it on the same codes and grid, timed whether or not it finds a container);
decode time of ``vantrel_tools.decompress`` over ``vantrel.decompress_signal`` of the same
container (the base alone), and over ``vantrel_tools.decompress`` of the plain container the
search makes without the layer at the same bound (what a user would otherwise get). A second table
gives the in-process peers' compress and decode times over ours (SZ3 on the bounded rows, pcodec
and FLAC lossless; WavPack runs as a program, so only its size is compared). Each time is the
best of seven.

    python bench/refine_package.py [--out bench/results]
"""

from __future__ import annotations

import argparse
import io
import os
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

# One thread throughout, the BLAS behind NumPy's dot products included: its threads, woken for
# the distortion the package measures, took longer than a whole search on a busy machine.
for _threads in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_threads, "1")

import numpy as np  # noqa: E402

import vantrel  # noqa: E402
import vantrel_tools  # noqa: E402
from vantrel_tools import _native  # noqa: E402
from vantrel_tools.core.gaps import NO_GAPS  # noqa: E402
from vantrel_tools.core.prepared import prepare  # noqa: E402
from vantrel_tools.core.trailer import seal  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import residual  # noqa: E402


# Decode ratios of every row (over the base alone, over the plain container), for the summary.
DECODE_OVER_BASE: list[float] = []
DECODE_OVER_PLAIN: list[float] = []
# The peers' compress and decode times over ours, one line each, for the second table.
SPEED_LINES: list[str] = []


def best_of(call: Callable[[], Any], runs: int = 7) -> tuple[Any, float]:
    best, out = float("inf"), None
    for _ in range(runs):
        start = time.perf_counter()
        out = call()
        best = min(best, time.perf_counter() - start)
    return out, best


def without_layer(x: np.ndarray, bound: float) -> bytes | None:
    try:
        container = _native.compress_to(x, "max_error", bound, None)[0]
    except ValueError:  # no plain container reaches the bound
        return None
    return seal(container, NO_GAPS)


def plain_codes(codes: np.ndarray) -> bytes | None:
    """The search without the layer on integer codes at max_error 0 (None when no plain container
    is lossless); the same work whether it succeeds or not."""
    prepared = prepare(codes, None)
    try:
        container = _native.compress_to(prepared.samples, "max_error", 0.0, None,
                                        reference=prepared.reference, grid=prepared.grid)[0]
    except ValueError:
        return None
    return seal(container, prepared.runs, None, prepared.sample_type, None)


def fmt(ratio: float | None) -> str:
    return "-" if ratio is None else f"{ratio:.3f}"


def pcodec_times(codes: np.ndarray) -> tuple[float, float] | None:
    try:
        from pcodec import ChunkConfig, standalone
    except ImportError:
        return None
    codes = np.ascontiguousarray(codes)
    packed, t_enc = best_of(lambda: standalone.simple_compress(codes, ChunkConfig()))
    back, t_dec = best_of(lambda: standalone.simple_decompress(packed))
    assert np.array_equal(back, codes)
    return t_enc, t_dec


def flac_times(codes: np.ndarray) -> tuple[float, float] | None:
    try:
        import soundfile
    except ImportError:
        return None
    if codes.min() < -32768 or codes.max() > 32767:
        return None
    pcm = codes.astype(np.int16)

    def write() -> bytes:
        buf = io.BytesIO()
        soundfile.write(buf, pcm, 48000, format="FLAC", subtype="PCM_16")
        return buf.getvalue()

    packed, t_enc = best_of(write)
    back, t_dec = best_of(lambda: soundfile.read(io.BytesIO(packed), dtype="int16")[0])
    assert np.array_equal(back, pcm)
    return t_enc, t_dec


def sz3_times(x: np.ndarray, bound: float) -> tuple[float, float] | None:
    config = residual.sz3_config(bound)
    if config is None:
        return None
    from pysz import sz

    (packed, _), t_enc = best_of(lambda: sz.compress(x, config))
    _, t_dec = best_of(lambda: sz.decompress(packed, np.float32, (x.size,)))
    return t_enc, t_dec


def speed_line(name: str, case: str, ours: tuple[float, float],
               peers: list[tuple[str, tuple[float, float] | None]]) -> str:
    cells = ", ".join(f"{peer} {t[0] / ours[0]:.2f} / {t[1] / ours[1]:.2f}"
                      for peer, t in peers if t is not None)
    return (f"| {name} | {case} | {ours[0] * 1e3:.2f} | {ours[1] * 1e3:.2f} | "
            f"{cells or '-'} |")


def lossless_row(s: residual.Signal) -> str:
    assert s.codes is not None, s.name
    codes = s.codes.astype(np.int16) if np.abs(s.codes).max() < 2**15 else s.codes
    packed, t_with = best_of(lambda: vantrel_tools.compress_to(codes, max_error=0))
    back, t_dec = best_of(lambda: vantrel_tools.decompress(packed))
    assert back.dtype == codes.dtype and np.array_equal(back, codes), s.name
    _, t_base = best_of(lambda: vantrel.decompress_signal(packed))
    plain, t_without = best_of(lambda: plain_codes(codes))
    t_plain = best_of(lambda: vantrel_tools.decompress(plain))[1] if plain else None
    DECODE_OVER_BASE.append(t_dec / t_base)
    if t_plain:
        DECODE_OVER_PLAIN.append(t_dec / t_plain)
    pc, fl = residual.pcodec_size(s.codes), residual.flac_size(s.codes)
    with tempfile.TemporaryDirectory() as scratch:
        wv = residual.wavpack_size(s.codes, scratch)
    SPEED_LINES.append(speed_line(s.name, f"lossless ({codes.dtype})", (t_with, t_dec),
                                  [("pcodec", pcodec_times(s.codes)),
                                   ("FLAC", flac_times(s.codes))]))
    return (f"| {s.name} | lossless ({codes.dtype}) | {len(packed)} | "
            f"{fmt(pc / len(packed) if pc else None)} | {fmt(fl / len(packed) if fl else None)} "
            f"| {fmt(wv / len(packed) if wv else None)} "
            f"| {fmt(len(plain) / len(packed) if plain else None)} | {t_with / t_without:.2f} "
            f"| {t_dec / t_base:.2f} | {fmt(t_dec / t_plain if t_plain else None)} |")


def bounded_row(s: residual.Signal, k: int) -> str:
    x = s.x.astype(np.float32)
    bound = float(x.max() - x.min()) / 2**k
    packed, t_with = best_of(lambda: vantrel_tools.compress_to(x, max_error=bound))
    y = vantrel_tools.decompress(packed)
    worst = float(np.max(np.abs(y.astype(np.float64) - x.astype(np.float64))))
    assert worst <= bound, (s.name, k, worst, bound)
    plain, t_without = best_of(lambda: without_layer(x, bound))
    _, t_dec = best_of(lambda: vantrel_tools.decompress(packed))
    _, t_base = best_of(lambda: vantrel.decompress_signal(packed))
    t_plain = best_of(lambda: vantrel_tools.decompress(plain))[1] if plain else None
    DECODE_OVER_BASE.append(t_dec / t_base)
    if t_plain:
        DECODE_OVER_PLAIN.append(t_dec / t_plain)
    sz = residual.sz3_size(x, bound)
    SPEED_LINES.append(speed_line(s.name, f"range/2^{k}", (t_with, t_dec),
                                  [("SZ3", sz3_times(x, bound))]))
    plain_ratio = len(plain) / len(packed) if plain else None
    return (f"| {s.name} | range/2^{k} | {len(packed)} | {fmt(sz / len(packed) if sz else None)} "
            f"| - | - | {fmt(plain_ratio)} | {t_with / t_without if plain else float('nan'):.2f} "
            f"| {t_dec / t_base:.2f} | {fmt(t_dec / t_plain if t_plain else None)} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "results"))
    args = parser.parse_args()
    signals, notes = residual.load_signals()
    lines = [
        "# Correction layer through the package against the peers",
        "",
        "Generated by `bench/refine_package.py` in one run on one thread. Bytes: the whole "
        "container (header, payload, trailer). Peer columns: the peer's bytes over ours (above 1 "
        "ours is smaller). Without layer: the container the search makes without it, over ours. "
        "Compress: with the layer over without it (lossless: over the search without it on the "
        "same codes and grid, which may find no container). Decode: `vantrel_tools.decompress` "
        "(base and correction) over `vantrel.decompress_signal` (the base alone) of the same "
        "container; over plain: over `vantrel_tools.decompress` of the container without the "
        "layer. "
        "Every bound was checked on what `vantrel_tools.decompress` returns; lossless ones "
        "decode to the same codes and integer type.",
        "",
        *[f"- {note}" for note in notes],
        "",
        "| signal | bound | bytes | SZ3 or pcodec | FLAC | WavPack | without layer | compress "
        "| decode | decode over plain |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for s in signals:
        for k in residual.BOUND_SHIFTS:
            lines.append(bounded_row(s, k))
        lines.append(lossless_row(s))
        print(*lines[-len(residual.BOUND_SHIFTS) - 1:], sep="\n", flush=True)
    lines += ["", f"Decode over the base alone: median {np.median(DECODE_OVER_BASE):.2f}, range "
              f"{min(DECODE_OVER_BASE):.2f} to {max(DECODE_OVER_BASE):.2f}; over the plain "
              f"container: median {np.median(DECODE_OVER_PLAIN):.2f}, range "
              f"{min(DECODE_OVER_PLAIN):.2f} to {max(DECODE_OVER_PLAIN):.2f}.",
              "", "## Speed against the in-process peers", "",
              "Ours: `vantrel_tools.compress_to` and `vantrel_tools.decompress`, in "
              "milliseconds. Peers: their compress time over ours / their decode time over ours, "
              "same run (below 1 the peer is faster).", "",
              "| signal | bound | compress (ms) | decode (ms) | peers: compress / decode over ours |",
              "|---|---|---:|---:|---|", *SPEED_LINES]
    with open(os.path.join(args.out, "refine_package.md"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
