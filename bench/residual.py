"""The residual coder of the correction layer on real residuals.

For each real signal, bases come from ``vantrel_tools.compress_to`` at a ladder of PSNRs. Against
each base two kinds of residual are formed, as the correction layer forms them:

- bounded: ``r = rint((x - base) / (2 e))`` for bounds e = range / 2^k, k = 6 ... 14 (adding
  ``2 e r`` back leaves every sample within e);
- lossless, for integer-coded signals: ``r = c - rint((base - origin) / step)`` on the codes c.

``bench_residual`` (built with ``-DVANTREL_BUILD_BENCH=ON``) codes every residual and times it
against memcpy in the same run; this script adds the generic baselines (zlib level 9 of zigzag
LEB128 varints, and pcodec on the residual) and, for base + residual at the base that gives the
smallest total, the peers: SZ3 at the same bound, pcodec and FLAC lossless on the codes.

    python bench/residual.py [--bench build/bench/bench/bench_residual] [--out bench/results]
    python bench/residual.py --cases DIR

``--cases`` only writes every case into DIR (for ``bench_residual DIR``, e.g. to compare the
streams of two builds by their hash column) and stops.
"""

from __future__ import annotations

import argparse
import glob
import io
import os
import shutil
import subprocess
import sys
import tempfile
import wave
import zlib
from dataclasses import dataclass
from typing import Any

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import datasets  # noqa: E402

PSNRS = list(range(20, 101, 5))
BOUND_SHIFTS = (6, 8, 10, 12, 14)
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@dataclass
class Signal:
    name: str
    x: np.ndarray  # float32 samples
    codes: np.ndarray | None  # int32 ADC codes, x = origin + step * codes
    step: float
    origin: float


def _speech() -> Signal:
    with wave.open(os.path.join(ROOT, "examples", "data", "front_center.wav"), "rb") as w:
        codes = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.int32)
    return Signal("speech", (codes / 32768.0).astype(np.float32), codes, 1 / 32768.0, 0.0)


def _ecg_long() -> Signal:
    mv, _ = datasets.REAL["ecg_long"]()
    codes = np.rint(mv.astype(np.float64) * 200.0 + 1024.0).astype(np.int32)
    return Signal("ecg_long", mv, codes, 1 / 200.0, -1024 / 200.0)


def _integer_dataset(name: str) -> Signal:
    x, _ = datasets.REAL[name]()
    codes = np.rint(x).astype(np.int32)
    assert np.array_equal(codes, x), f"{name} is not integer-coded"
    return Signal(name, x, codes, 1.0, 0.0)


def load_signals() -> tuple[list[Signal], list[str]]:
    signals, notes = [], []
    for loader in (_ecg_long, _speech, lambda: _integer_dataset("ppg"),
                   lambda: _integer_dataset("ecg")):
        try:
            signals.append(loader())
        except datasets.SourceMissing as missing:
            notes.append(f"skipped: {missing}")
    return signals, notes


def zigzag_varint_zlib(r: np.ndarray) -> int:
    z = ((r.astype(np.int64) << 1) ^ (r.astype(np.int64) >> 63)).astype(np.uint64)
    out = bytearray()
    for v in z.tolist():
        while v >= 0x80:
            out.append((v & 0x7F) | 0x80)
            v >>= 7
        out.append(v)
    return len(zlib.compress(bytes(out), 9))


def pcodec_size(a: np.ndarray) -> int | None:
    try:
        from pcodec import ChunkConfig, standalone
    except ImportError:
        return None
    return len(standalone.simple_compress(np.ascontiguousarray(a), ChunkConfig()))


def sz3_config(bound: float) -> Any:
    """SZ3's configuration for an absolute error bound on one thread; None without pysz."""
    try:
        from pysz import szConfig, szErrorBoundMode
    except ImportError:
        return None
    config = szConfig()
    config.errorBoundMode = szErrorBoundMode.ABS
    config.absErrorBound = float(bound)
    config.openmp = False
    return config


def sz3_size(x: np.ndarray, bound: float) -> int | None:
    config = sz3_config(bound)
    if config is None:
        return None
    from pysz import sz

    packed, _ = sz.compress(x, config)
    out, _ = sz.decompress(packed, np.float32, (x.size,))
    assert np.max(np.abs(out.astype(np.float64) - x)) <= bound * (1 + 1e-6)
    return packed.nbytes


def flac_size(codes: np.ndarray) -> int | None:
    try:
        import soundfile
    except ImportError:
        return None
    if codes.min() < -32768 or codes.max() > 32767:
        return None
    buf = io.BytesIO()
    soundfile.write(buf, codes.astype(np.int16), 48000, format="FLAC", subtype="PCM_16")
    return len(buf.getvalue())


def wavpack_size(codes: np.ndarray, scratch: str) -> int | None:
    """Bytes of WavPack's lossless file of the codes at its best ratio (``-hh -x6``, RIFF header
    not stored), checked to decode to the same codes; None without the ``wavpack`` tools or for
    codes beyond 16 bits."""
    if not (shutil.which("wavpack") and shutil.which("wvunpack")):
        return None
    if codes.min() < -32768 or codes.max() > 32767:
        return None
    import soundfile

    wav, packed, back = (os.path.join(scratch, name) for name in ("in.wav", "x.wv", "back.wav"))
    soundfile.write(wav, codes.astype(np.int16), 48000, subtype="PCM_16")
    subprocess.run(["wavpack", "-q", "-y", "-hh", "-x6", "-r", wav, "-o", packed], check=True)
    subprocess.run(["wvunpack", "-q", "-y", packed, "-o", back], check=True)
    assert np.array_equal(soundfile.read(back, dtype="int16")[0], codes.astype(np.int16))
    return os.path.getsize(packed)


def find_bench() -> str:
    found = sorted(glob.glob(os.path.join(ROOT, "build", "*", "bench", "bench_residual")),
                   key=os.path.getmtime)
    if not found:
        sys.exit("bench_residual not found: cmake -S . -B build/bench -G Ninja "
                 "-DVANTREL_BUILD_BENCH=ON && cmake --build build/bench --target bench_residual")
    return found[-1]


def write_cases(directory: str, cases: list[tuple[str, np.ndarray, np.ndarray, float]],
                prefix: str = "") -> None:
    for i, (_, base, r, bin_width) in enumerate(cases):
        with open(os.path.join(directory, f"{prefix}{i:04d}.case"), "wb") as f:
            f.write(np.array([base.size], dtype="<u8").tobytes())
            f.write(np.array([bin_width], dtype="<f4").tobytes())
            f.write(base.astype("<f4").tobytes())
            f.write(r.astype("<i4").tobytes())


def run_cases(bench: str, cases: list[tuple[str, np.ndarray, np.ndarray, float]]) -> dict:
    """Writes each case (name, base, residual, bin) and returns bench_residual's figures by name."""
    with tempfile.TemporaryDirectory() as tmp:
        write_cases(tmp, cases)
        done = subprocess.run([bench, tmp], capture_output=True, text=True, check=True)
    figures = {}
    for line in done.stdout.splitlines():
        if line.startswith("case "):
            fields = line.split()
            index = int(os.path.basename(fields[1]).split(".")[0])
            figures[cases[index][0]] = dict(
                zip(("bytes", "estimate_bits", "enc_ns", "dec_ns", "est_ns", "memcpy_ns",
                     "adaptive_bytes", "adaptive_dec_ns", "smallest_bytes", "smallest_dec_ns",
                     "fast_bytes", "fast_dec_ns"),
                    (float(v) for v in fields[2:14])))
        elif line.startswith("baseline"):
            print(line)
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bench", help="the bench_residual executable")
    parser.add_argument("--out", help="directory for residual.md")
    parser.add_argument("--cases", help="only write the cases into this directory")
    args = parser.parse_args()
    bench = None if args.cases else args.bench or find_bench()

    import vantrel
    import vantrel_tools

    signals, notes = load_signals()
    lines = ["# Residual coder on real residuals", ""] + [f"- {n}" for n in notes]
    coder_rows, layer_rows, stream_rows = [], [], []
    for s in signals:
        x64 = s.x.astype(np.float64)
        span = float(x64.max() - x64.min())
        bases = {}
        for psnr in PSNRS:
            try:
                container = vantrel_tools.compress_to(s.x, psnr=psnr)
            except ValueError:
                continue
            bases[psnr] = (len(container), vantrel.decompress_signal(container))
        modes = [(f"e=range/2^{k}", span * 2.0**-k) for k in BOUND_SHIFTS]
        if s.codes is not None:
            modes.append(("lossless", None))
        cases = []
        for mode, e in modes:
            for psnr, (_, base) in bases.items():
                b64 = base.astype(np.float64)
                if e is None:
                    r = s.codes - np.rint((b64 - s.origin) / s.step)
                    bin_width = s.step
                else:
                    r = np.rint((x64 - b64) / (2 * e))
                    bin_width = 2 * e
                cases.append((f"{mode}@{psnr}", base, r.astype(np.int32), bin_width))
        if args.cases:
            os.makedirs(args.cases, exist_ok=True)
            write_cases(args.cases, cases, prefix=f"{s.name}-")
            print(f"{s.name}: {len(cases)} cases written", flush=True)
            continue
        figures = run_cases(bench, cases)
        for mode, e in modes:
            best = min(((bases[p][0] + figures[f"{mode}@{p}"]["bytes"], p) for p in bases))
            total, psnr = best
            name, base, r, _ = next(c for c in cases if c[0] == f"{mode}@{psnr}")
            fig = figures[name]
            n = s.x.size
            zz = zigzag_varint_zlib(r)
            pc = pcodec_size(r)
            coder_rows.append((s.name, mode, psnr, 8 * fig["bytes"] / n, fig["estimate_bits"] / n,
                               8 * zz / n, 8 * pc / n if pc else float("nan"),
                               fig["memcpy_ns"] / fig["enc_ns"], fig["memcpy_ns"] / fig["dec_ns"],
                               fig["enc_ns"] / n, fig["dec_ns"] / n, fig["est_ns"] / n))
            stream_rows.append((s.name, mode, psnr, n, fig))
            if e is None:
                peers = {"pcodec": pcodec_size(s.codes), "flac": flac_size(s.codes)}
            else:
                peers = {"sz3": sz3_size(s.x, e)}
            layer_rows.append((s.name, mode, psnr, total, n * 4 / total, peers))
        print(f"{s.name}: done", flush=True)
    if args.cases:
        return

    lines += ["", "## The coder alone, at the base that gives the smallest total", "",
              "Bits per sample of the residual; speed as the coder's throughput over memcpy's "
              "of the residual's int32 bytes (same run), and ns per sample.", "",
              "| signal | residual | base PSNR | vantrel | estimate | zlib varint | pcodec | "
              "vantrel / zlib | encode / memcpy | decode / memcpy | encode ns | decode ns | "
              "estimate ns |",
              "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for (sig, mode, psnr, ours, est, zz, pc, enc, dec, enc_ns, dec_ns, est_ns) in coder_rows:
        lines.append(f"| {sig} | {mode} | {psnr} | {ours:.3f} | {est:.3f} | {zz:.3f} | {pc:.3f} | "
                     f"{ours / zz:.3f} | {enc:.4f} | {dec:.4f} | {enc_ns:.2f} | {dec_ns:.2f} | "
                     f"{est_ns:.2f} |")
    lines += ["", "## The streams compared", "",
              "The same residuals (as above) in the adaptive format (the first one written), and "
              "in the blocks format with the encoder's choice (the adaptive code only where it is "
              "more than 2% smaller than the fast one), with the smaller code in every block, and "
              "with the fast code everywhere: bits per sample, and decode ns per sample.", "",
              "| signal | residual | adaptive format | blocks | blocks / adaptive format | "
              "smallest codes | fast codes | decode: adaptive format | blocks | smallest | fast |",
              "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    size_ratios = []
    for sig, mode, psnr, n, fig in stream_rows:
        ratio = fig["bytes"] / fig["adaptive_bytes"]
        size_ratios.append(ratio)
        lines.append(f"| {sig} | {mode} | {8 * fig['adaptive_bytes'] / n:.3f} | "
                     f"{8 * fig['bytes'] / n:.3f} | {ratio:.3f} | "
                     f"{8 * fig['smallest_bytes'] / n:.3f} | {8 * fig['fast_bytes'] / n:.3f} | "
                     f"{fig['adaptive_dec_ns'] / n:.2f} | {fig['dec_ns'] / n:.2f} | "
                     f"{fig['smallest_dec_ns'] / n:.2f} | {fig['fast_dec_ns'] / n:.2f} |")
    if size_ratios:
        lines += ["", f"Blocks over the adaptive format: median {np.median(size_ratios):.3f}, "
                  f"range {min(size_ratios):.3f} to {max(size_ratios):.3f}."]
    lines += ["", "## Base + residual against the peers", "",
              "Compression ratio of float32 (4 bytes a sample) over the bytes of base container + "
              "coded residual (no trailer framing); each peer's ratio and ours over theirs.", "",
              "| signal | target | base PSNR | bytes | ratio | peers (ratio; ours / theirs) |",
              "|---|---|---:|---:|---:|---|"]
    for sig, mode, psnr, total, ratio, peers in layer_rows:
        n4 = ratio * total
        text = ", ".join(f"{k} {n4 / v:.2f}; {v / total:.3f}" for k, v in peers.items() if v)
        lines.append(f"| {sig} | {mode} | {psnr} | {int(total)} | {ratio:.2f} | {text} |")
    report = "\n".join(lines) + "\n"
    print(report)
    if args.out:
        with open(os.path.join(args.out, "residual.md"), "w") as f:
            f.write(report)


if __name__ == "__main__":
    main()
