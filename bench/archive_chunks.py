"""Archives chunked in time against one container per channel, measured in the same run.

    python bench/archive_chunks.py [--channels 4] [--hours 2] [--rounds 3] [--quick] [--out DIR]

The recording: EEG-like channels at 256 Hz (an AR(1) background, a 10 Hz rhythm and noise, one
seed per channel), written as a float32 ``.npy`` and compressed by the command line tool:

- size: the archive at the default chunk against one chunk per channel (``--chunk-samples``
  the channel's length), at the default options and at ``--psnr 60``, with the worst PSNR of any
  channel of each (equal quality: the same options or the same target);
- window: reading a 10 s window of one channel (`read_channel`) against the whole channel, best
  of the rounds, each a ratio to the whole channel's time;
- threads: ``compress`` with ``--threads 2`` against ``--threads 1``, best of the rounds (the
  archives' members are checked to be the same), of the ``.npy`` and of a 16-channel 1 h EDF at
  256 Hz (`streaming.write_edf`, read block by block) at the default options and at ``--psnr
  60``, beside a probe (SHA-256 of four 16 MiB blocks on 1 and 2 threads) that shows how much of a
  second core the run got.

``--quick`` takes 2 channels of 10 minutes and 2 minutes of EDF (a smoke run; its ratios mean
little).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import tempfile
import zipfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from harness import best_times
from streaming import write_edf
from vantrel_tools.cli import main
from vantrel_tools.metrics import distortion
from vantrel_tools.store.archive import read_archive, read_channel
from vantrel_tools.store.timeline import DEFAULT_CHUNK

RATE = 256
EDF_CHANNELS = 16


def recording(channels: int, seconds: int) -> np.ndarray:
    n = RATE * seconds
    out = np.empty((n, channels), dtype=np.float32)
    t = np.arange(n) / RATE
    for k in range(channels):
        rng = np.random.default_rng(k)
        e = rng.standard_normal(n)
        background = np.empty(n)
        acc = 0.0
        # An AR(1) background, by blocks: a running filter in NumPy.
        coeff = 0.98
        powers = coeff ** np.arange(4096)
        for start in range(0, n, 4096):
            block = e[start:start + 4096]
            filtered = np.convolve(block, powers[:block.size])[:block.size]
            filtered += acc * powers[:block.size] * coeff
            background[start:start + block.size] = filtered
            acc = filtered[-1]
        out[:, k] = 20 * background + 15 * np.sin(2 * np.pi * 10 * t + k) + rng.normal(0, 2, n)
    return out


def _digest(blob: bytes) -> bytes:
    return hashlib.sha256(blob).digest()


def members(path: str) -> dict[str, bytes]:
    """A zip archive's members (the zip's own entry times aside)."""
    with zipfile.ZipFile(path) as z:
        return {name: z.read(name) for name in z.namelist()}


def compressed(src: str, out: str, *flags: str) -> None:
    if main(["compress", src, "-o", out, "-f", "-q", *flags]) != 0:
        raise SystemExit(f"compress {src} -o {out} {' '.join(flags)} failed")


def worst_psnr(x: np.ndarray, path: str) -> float:
    back = read_archive(path).signal.channels
    return min(distortion(x[:, k].astype(np.float64), back[k].astype(np.float64)).psnr
               for k in range(x.shape[1]))


def main_bench() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--channels", type=int, default=4)
    parser.add_argument("--hours", type=float, default=2.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out", default=None)
    args = parser.parse_args()
    channels, seconds = (2, 600) if args.quick else (args.channels, int(args.hours * 3600))
    x = recording(channels, seconds)
    n = x.shape[0]
    lines = [f"# Archives chunked in time: {channels} channels x {seconds} s at {RATE} Hz "
             f"({n} samples each), default chunk {DEFAULT_CHUNK}", ""]
    with tempfile.TemporaryDirectory() as d:
        src = os.path.join(d, "rec.npy")
        np.save(src, x)
        lines += ["| options | one chunk bytes | chunked bytes | size chunked / one | "
                  "worst PSNR one | worst PSNR chunked |", "|---|---:|---:|---:|---:|---:|"]
        for name, flags in (("default", []), ("--psnr 60", ["--psnr", "60"])):
            one, many = os.path.join(d, "one.zarr"), os.path.join(d, "many.zarr")
            compressed(src, one, "--chunk-samples", str(n), *flags)
            compressed(src, many, *flags)
            a, b = (sum(read_archive(p, decode=False).container_bytes) for p in (one, many))
            lines.append(f"| {name} | {a} | {b} | {b / a:.4f} | {worst_psnr(x, one):.2f} | "
                         f"{worst_psnr(x, many):.2f} |")
        path = os.path.join(d, "many.zarr")
        start = n // 2 + 1000
        times = best_times({
            "whole channel": lambda: read_channel(path, 0),
            "10 s window": lambda: read_channel(path, 0, start, start + 10 * RATE),
        }, args.rounds)
        lines += ["", "| read | best s | ratio to the whole channel |", "|---|---:|---:|"]
        lines += [f"| {k} | {v:.4f} | {v / times['whole channel']:.3f} |"
                  for k, v in times.items()]
        edf = os.path.join(d, "rec.edf")
        write_edf(edf, EDF_CHANNELS, RATE, 120 if args.quick else 3600)
        cases = {"npy, default": (src, []), "EDF, default": (edf, []),
                 "EDF, --psnr 60": (edf, ["--psnr", "60"])}
        outs = {(name, t): os.path.join(d, f"case{i}-t{t}.vtrl.zip")
                for i, name in enumerate(cases) for t in ("1", "2")}
        calls = {(name, t): (lambda path=path, out=outs[(name, t)], flags=flags, t=t:
                             compressed(path, out, "--threads", t, *flags))
                 for name, (path, flags) in cases.items() for t in ("1", "2")}
        blobs = [os.urandom(16 << 20) for _ in range(4)]
        # How much of a second core this run gets, without vantrel (hashlib releases the GIL).
        calls[("probe", "1")] = lambda: list(map(_digest, blobs))
        calls[("probe", "2")] = lambda: list(ThreadPoolExecutor(2).map(_digest, blobs))
        times = best_times(calls, args.rounds)
        lines += ["", f"Threads: `compress` of the .npy above and of a {EDF_CHANNELS}-channel "
                  f"EDF of {'2 min' if args.quick else '1 h'} at {RATE} Hz (read block by "
                  "block), best of the rounds; the probe beside them: SHA-256 of four 16 MiB "
                  "blocks.", "",
                  "| case | --threads 1 s | --threads 2 s | 2 / 1 | outputs identical |",
                  "|---|---:|---:|---:|---|"]
        for name in [*cases, "probe"]:
            one, two = times[(name, "1")], times[(name, "2")]
            same = "-"
            if name != "probe":
                same = str(members(outs[(name, "1")]) == members(outs[(name, "2")]))
            lines.append(f"| {name} | {one:.3f} | {two:.3f} | {two / one:.3f} | {same} |")
        lines.append("\nA probe ratio well above 0.5 means the second core was busy for part of "
                     "the run.")
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        with open(os.path.join(args.out, "archive_chunks.md"), "w") as f:
            f.write(text)


if __name__ == "__main__":
    main_bench()
