"""The vantrel HDF5 filter against other HDF5 filters, with times as ratios to the same run's
unfiltered dataset.

    python bench/hdf5_filter.py [--seconds S] [--psnr DB]

Two synthetic recordings at 30 kHz, chunked one second by all channels:

- 64 channels of float32 (ECoG-like: oscillations, drift, mains hum, noise): vantrel at a PSNR
  target against hdf5plugin's SZ3 with the absolute error bound that gives every channel the same
  PSNR, and the lossless Zstd and gzip filters;
- 32 channels of int16 (Neuropixels-like: noise, spikes, LFP): vantrel at the same PSNR target
  (met by the int16 values read back) against SZ3 at the bound giving every channel that PSNR,
  vantrel with fixed options, and the same lossless filters; and vantrel against WavPack's hybrid
  lossy mode (the `wavpack` command line tool, as wavpack-numcodecs does not install here) at
  equal RMSE per channel, both judged on the int16 values read back.

For each filter: the compression ratio (raw bytes / stored bytes), the write and read times
divided by those of the unfiltered dataset, and the worst channel's PSNR. Each time is the best of
three runs (timeit). Needs h5py, hdf5plugin and vantrel installed; the WavPack row also needs
`wavpack`/`wvunpack` on the PATH (Debian: wavpack) and soundfile.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import timeit

import h5py
import hdf5plugin
import numpy as np

from vantrel_tools.hdf5 import Vantrel

RATE = 30_000


def ecog(seconds: float, channels: int = 64) -> np.ndarray:
    rng = np.random.default_rng(0)
    n = int(seconds * RATE)
    t = np.arange(n)[:, None] / RATE
    drift = np.cumsum(rng.normal(0, 0.05, (n, channels)), axis=0)
    waves = 40 * np.sin(2 * np.pi * rng.uniform(4, 12, channels) * t + rng.uniform(0, 6, channels))
    return (waves + 8 * np.sin(2 * np.pi * 60 * t) + drift + rng.normal(0, 3, (n, channels))
            ).astype(np.float32)


def neuropixels(seconds: float, channels: int = 32) -> np.ndarray:
    rng = np.random.default_rng(1)
    n = int(seconds * RATE)
    t = np.arange(n)[:, None] / RATE
    x = rng.normal(0, 12, (n, channels)) + 60 * np.sin(2 * np.pi * 7 * t + np.arange(channels))
    spike = -120 * np.exp(-((np.arange(60) - 20) / 6.0) ** 2)
    for k in range(channels):
        for start in rng.integers(0, n - 60, int(seconds * 15)):
            x[start:start + 60, k] += spike
    return np.clip(np.rint(x), -32768, 32767).astype(np.int16)


def per_channel(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """PSNR (peak = max - min of each channel) and RMSE of each channel, in float64."""
    d = y.astype(np.float64) - x
    rmse = np.sqrt(np.mean(d * d, axis=0))
    with np.errstate(divide="ignore"):
        return 20 * np.log10(np.ptp(x.astype(np.float64), axis=0) / rmse), rmse


def best(fn) -> float:
    return min(timeit.repeat(fn, number=1, repeat=3))


def measure(path: str, x: np.ndarray, keywords: dict) -> dict:
    chunks = (min(RATE, x.shape[0]), x.shape[1])

    def write():
        with h5py.File(path, "w") as f:
            f.create_dataset("x", data=x, chunks=chunks, **keywords)

    def read():
        with h5py.File(path) as f:
            return f["x"][:]

    took_write = best(write)
    took_read = best(read)
    psnr, rmse = per_channel(x, read())
    with h5py.File(path) as f:
        stored = f["x"].id.get_storage_size()
    return {"ratio": x.nbytes / stored, "write": took_write, "read": took_read,
            "psnr": psnr.min(), "rmse": rmse.max()}


def sz3_bound_for(path: str, x: np.ndarray, psnr: float) -> float:
    """The largest SZ3 absolute error bound (within 2%) whose worst channel reaches `psnr`: SZ3's
    own PSNR mode measures the whole chunk, not each channel, and is marked untested by
    hdf5plugin."""
    peak = np.ptp(x.astype(np.float64), axis=0).min()
    low, high = peak * 10 ** (-psnr / 20) * 0.5, peak * 10 ** (-psnr / 20) * 8
    while high / low > 1.02:
        mid = np.sqrt(low * high)
        with h5py.File(path, "w") as f:
            f.create_dataset("x", data=x, chunks=(min(RATE, x.shape[0]), x.shape[1]),
                             **hdf5plugin.SZ3(absolute=mid))
            ok = per_channel(x, f["x"][:])[0].min() >= psnr
        low, high = (mid, high) if ok else (low, mid)
    return float(low)


def table(title: str, rows: dict) -> None:
    base = rows["none"]
    print(f"\n{title}")
    print(f"{'filter':<28} {'ratio':>7} {'write':>7} {'read':>7} {'worst PSNR':>11}")
    for name, r in rows.items():
        psnr = "lossless" if np.isinf(r["psnr"]) else f"{r['psnr']:.2f}"
        print(f"{name:<28} {r['ratio']:>7.2f} {r['write'] / base['write']:>7.2f} "
              f"{r['read'] / base['read']:>7.2f} {psnr:>11}")
    print(f"(write and read times as ratios to 'none': {base['write'] * 1e3:.1f} ms and "
          f"{base['read'] * 1e3:.1f} ms)")


def wavpack_hybrid(x: np.ndarray, bits: float, scratch: str) -> tuple[int, np.ndarray]:
    """Size in bytes and decoded samples of WavPack's hybrid lossy mode at `bits` per sample."""
    import soundfile

    wav, packed, back = (os.path.join(scratch, name) for name in ("in.wav", "x.wv", "back.wav"))
    soundfile.write(wav, x, RATE, subtype="PCM_16")
    subprocess.run(["wavpack", "-q", "-y", f"-b{bits}", wav, "-o", packed], check=True)
    subprocess.run(["wvunpack", "-q", "-y", packed, "-o", back], check=True)
    return os.path.getsize(packed), soundfile.read(back, dtype="int16")[0]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--psnr", type=float, default=60.0)
    args = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="vantrel-hdf5-bench-")
    path = os.path.join(scratch, "bench.h5")
    lossless = {"none": {}, "gzip 4": {"compression": "gzip", "compression_opts": 4},
                "zstd 3 (hdf5plugin)": dict(hdf5plugin.Zstd(clevel=3))}
    try:
        x = ecog(args.seconds)
        rows = {name: measure(path, x, kw) for name, kw in lossless.items()}
        rows[f"vantrel psnr={args.psnr:g}"] = measure(path, x, dict(Vantrel(psnr=args.psnr)))
        bound = sz3_bound_for(path, x, args.psnr)
        rows[f"SZ3 abs={bound:.3g} (same PSNR)"] = measure(path, x, dict(hdf5plugin.SZ3(absolute=bound)))
        table(f"64-channel float32, {args.seconds:g} s at 30 kHz ({x.nbytes / 1e6:.1f} MB)", rows)

        x = neuropixels(args.seconds)
        rows = {name: measure(path, x, kw) for name, kw in lossless.items()}
        rows[f"vantrel psnr={args.psnr:g}"] = measure(path, x, dict(Vantrel(psnr=args.psnr)))
        bound = sz3_bound_for(path, x, args.psnr)
        rows[f"SZ3 abs={bound:.3g} (same PSNR)"] = measure(
            path, x, dict(hdf5plugin.SZ3(absolute=bound)))
        for scale in (10, 8):
            rows[f"vantrel scale={scale}"] = measure(path, x, dict(Vantrel(scale=scale)))
        table(f"32-channel int16, {args.seconds:g} s at 30 kHz ({x.nbytes / 1e6:.1f} MB)", rows)

        if shutil.which("wavpack") and shutil.which("wvunpack"):
            print("\nint16 at equal RMSE: WavPack hybrid lossy against vantrel (the target is "
                  "WavPack's largest channel RMSE, met by every int16 channel read back)")
            print(f"{'WavPack bits':>12} {'WavPack ratio':>14} {'vantrel ratio':>14} "
                  f"{'RMSE WavPack':>13} {'RMSE vantrel':>13} {'vantrel/WavPack':>16}")
            for bits in (2.5, 3.0, 4.0):
                size, decoded = wavpack_hybrid(x, bits, scratch)
                target = per_channel(x, decoded)[1].max()
                measure(path, x, dict(Vantrel(rmse=float(target))))
                with h5py.File(path) as f:
                    rmse = per_channel(x, f["x"][:])[1].max()
                    stored = f["x"].id.get_storage_size()
                print(f"{bits:>12} {x.nbytes / size:>14.2f} {x.nbytes / stored:>14.2f} "
                      f"{target:>13.3f} {rmse:>13.3f} {size / stored:>16.2f}")
        else:
            print("\nWavPack: wavpack/wvunpack not found; install them to compare (Debian: wavpack)")
    finally:
        shutil.rmtree(scratch)
    return 0


if __name__ == "__main__":
    sys.exit(main())
