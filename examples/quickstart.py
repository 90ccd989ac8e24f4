"""Compress a real speech recording with vantrel, decode it again and report ratio, quality, speed.

    python examples/quickstart.py [FILE]      (default: examples/data/front_center.wav)
"""

import math
import pathlib
import sys
import time

import numpy as np

import vantrel
from vantrel_tools import read_signal
from vantrel_tools.metrics import distortion

DEFAULT_INPUT = pathlib.Path(__file__).resolve().parent / "data" / "front_center.wav"


def best_time(fn, runs=20):
    best = math.inf
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main() -> None:
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_INPUT
    signal = read_signal(str(path))
    x = np.asarray(signal.channels[0], dtype=np.float32)
    print(f"{path.name}: {signal.description}, {x.size} samples")

    options = vantrel.CompressionOptions()  # cdf97, scale 11, cutoff low, automatic coder
    packed = vantrel.compress_signal(x, options)
    y = vantrel.decompress_signal(packed)

    quality = distortion(x, y)
    megabytes = x.nbytes / 1e6
    t_comp = best_time(lambda: vantrel.compress_signal(x, options))
    t_decomp = best_time(lambda: vantrel.decompress_signal(packed))
    print(f"compressed {x.nbytes} float32 bytes into {len(packed)} bytes: "
          f"ratio {x.nbytes / len(packed):.2f}")
    print(f"PSNR {quality.psnr:.1f} dB (peak = max - min), max error {quality.max_err:.2e}")
    print(f"compress {megabytes / t_comp:.0f} MB/s, decompress {megabytes / t_decomp:.0f} MB/s")


if __name__ == "__main__":
    main()
