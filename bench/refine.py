"""compress_to with the correction layer against SZ3, pcodec and FLAC, on the real signals.

For each real signal of ``residual.py`` (the long ECG and its 11-bit codes, speech as int16
codes, PPG and the short ECG as integer codes), ``bench_refine`` (built with
``-DVANTREL_BUILD_BENCH=ON``) runs ``compress_to`` at a maximum error of range / 2^k,
k = 6 ... 14, on the float samples, and at 0 (lossless) on the codes' grid, with and without the
layer, one thread, and checks every bound on what a reader gets back. This script adds the peers
at the same bound (SZ3, absolute error bound) and lossless (pcodec, FLAC through soundfile), and
writes the ratios:

- ratio over a peer's: the peer's bytes over ours (base + refinement section), above 1 is smaller;
- compress: ``compress_to`` with the layer over ``compress_to`` without it, same signal and bound;
- decompress: base + correction over decoding the base alone.

    python bench/refine.py [--bench build/bench/bench/bench_refine] [--out bench/results]
"""

from __future__ import annotations

import argparse
import glob
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import residual  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIELDS = ("e", "plain", "layer", "layered", "max_error", "base_max_error", "plain_ns", "layer_ns",
          "base_dec_ns", "layer_dec_ns")


def find_bench() -> str:
    found = sorted(glob.glob(os.path.join(ROOT, "build", "*", "bench", "bench_refine")),
                   key=os.path.getmtime)
    if not found:
        sys.exit("bench_refine not found: cmake -S . -B build/bench -G Ninja "
                 "-DVANTREL_BUILD_BENCH=ON && cmake --build build/bench --target bench_refine")
    return found[-1]


def write_case(path: str, x: np.ndarray, samples: np.ndarray, grid: tuple | None,
               bounds: list[float]) -> None:
    with open(path, "wb") as f:
        f.write(np.array([x.size], dtype="<u8").tobytes())
        f.write(bytes([1 if grid else 0]))
        f.write(np.array(grid or (0.0, 0.0, 0.0, 0.0), dtype="<f8").tobytes())
        f.write(x.astype("<f8").tobytes())
        f.write(samples.astype("<f4").tobytes())
        f.write(np.array([len(bounds)], dtype="<u4").tobytes())
        f.write(np.array(bounds, dtype="<f8").tobytes())


def run(bench: str, cases: dict[str, tuple]) -> dict[str, list[dict]]:
    names = sorted(cases)
    with tempfile.TemporaryDirectory() as tmp:
        for i, name in enumerate(names):
            write_case(os.path.join(tmp, f"{i:04d}.case"), *cases[name])
        done = subprocess.run([bench, tmp], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"bench_refine failed: {done.stderr.strip()}")
    rows: dict[str, list[dict]] = {}
    for line in done.stdout.splitlines():
        fields = line.split()
        if fields[0] != "bound":
            continue
        name = names[int(os.path.basename(fields[1]).split(".")[0])]
        rows.setdefault(name, []).append(dict(zip(FIELDS, (float(v) for v in fields[2:]))))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bench", help="the bench_refine executable")
    parser.add_argument("--out", help="directory for refine.md")
    args = parser.parse_args()
    bench = args.bench or find_bench()
    signals, notes = residual.load_signals()
    cases = {}
    for s in signals:
        x64 = s.x.astype(np.float64)
        span = float(x64.max() - x64.min())
        bounds = [span * 2.0**-k for k in residual.BOUND_SHIFTS]
        cases[f"{s.name}/float"] = (x64, s.x, None, bounds)
        if s.codes is not None:
            ref = s.origin + s.step * s.codes.astype(np.float64)
            grid = (s.step, s.origin, float(s.codes.min()), float(s.codes.max()))
            cases[f"{s.name}/codes"] = (ref, ref.astype(np.float32), grid, [0.0])
    rows = run(bench, cases)

    lines = ["# Correction layer against the peers", ""] + [f"- {n}" for n in notes]
    lines += ["", "Ratio: the peer's bytes over ours (base + refinement section), above 1 ours "
              "is smaller. Compress: `compress_to` with the layer over without it (same run, one "
              "thread); decompress: base + correction over the base alone. Plain: the container "
              "`compress_to` makes without the layer (- when no plain container reaches the "
              "bound).", "",
              "| signal | bound | plain bytes | bytes | layer | max error / bound | base max "
              "error / bound | peers (ratio over theirs) | compress | decompress |",
              "|---|---|---:|---:|---|---:|---:|---|---:|---:|"]
    for s in signals:
        for kind in ("float", "codes"):
            for row, k in zip(rows.get(f"{s.name}/{kind}", []),
                              residual.BOUND_SHIFTS if kind == "float" else [None]):
                e, total = row["e"], row["layer"]
                if kind == "float":
                    label = f"range/2^{k}"
                    sz3 = residual.sz3_size(s.x, e)
                    peers = {"sz3": sz3}
                    held = f"{row['max_error'] / e:.3f}"
                    base_held = f"{row['base_max_error'] / e:.2f}"
                else:
                    label = "lossless"
                    peers = {"pcodec": residual.pcodec_size(s.codes),
                             "flac": residual.flac_size(s.codes)}
                    held = "exact" if row["max_error"] == 0 else f"{row['max_error']:.3g}"
                    base_held = f"{row['base_max_error'] / s.step:.1f} steps"
                text = ", ".join(f"{p} {v / total:.3f}" for p, v in peers.items() if v)
                plain = f"{int(row['plain'])}" if row["plain"] else "-"
                lines.append(
                    f"| {s.name} | {label} | {plain} | {int(total)} | "
                    f"{'yes' if row['layered'] else 'no'} | {held} | {base_held} | {text} | "
                    f"{row['layer_ns'] / row['plain_ns']:.2f} | "
                    f"{row['layer_dec_ns'] / row['base_dec_ns']:.2f} |")
        print(f"{s.name}: done", flush=True)
    report = "\n".join(lines) + "\n"
    print(report)
    if args.out:
        with open(os.path.join(args.out, "refine.md"), "w") as f:
            f.write(report)


if __name__ == "__main__":
    main()
