"""What reading and writing files costs next to a plain baseline measured in the same run.

    python bench/formats_io.py [--frames N]

- WAV, PCM 16-bit stereo: `vantrel_tools.read_signal` (soundfile) against the standard library's
  `wave` module with `numpy.frombuffer` and the same scaling, and `encode_signal` against
  rounding and clipping the same floats with NumPy and writing them with `wave`.
- The archive: `vantrel compress IN.wav -o OUT.zarr` in-process against the same command writing
  one `.vtrl` container per channel, so the ratio is the price of the Zarr store and its metadata.

Each figure is the best of several runs; ratios above 1 mean slower than the baseline.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import wave

import numpy as np

from vantrel_tools.cli import main as vantrel
from vantrel_tools.io import encode_signal, read_signal

from harness import best_time


def wave_read(path):
    with wave.open(path, "rb") as w:
        raw = w.readframes(w.getnframes())
        channels = w.getnchannels()
    frames = np.frombuffer(raw, "<i2").reshape(-1, channels) / np.float32(32768)
    return [np.ascontiguousarray(frames[:, k], dtype=np.float32) for k in range(channels)]


def wave_write(path, x, rate):
    """The samples rounded to 16 bits, clipped, and written by the wave module."""
    ints = np.clip(np.rint(x * 32768), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(ints.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(ints.tobytes())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=2_000_000)
    args = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="vantrel-formats-bench-")
    try:
        t = np.arange(args.frames) / 48000
        x = np.stack([np.sin(2 * np.pi * 440 * t), 0.5 * np.sin(2 * np.pi * 3 * t)], 1) * 0.8
        path = os.path.join(scratch, "take.wav")
        wave_write(path, x, 48000)
        rows = []
        base = best_time(lambda: wave_read(path))
        rows.append(("read WAV pcm16", best_time(lambda: read_signal(path)), base))
        channels = [x[:, 0], x[:, 1]]
        base = best_time(lambda: wave_write(os.path.join(scratch, "w.wav"), x, 48000))
        rows.append(("write WAV pcm16",
                     best_time(lambda: encode_signal("wav", channels, 48000, "pcm16")), base))

        def compress(out):
            def run():
                target = os.path.join(scratch, out)
                shutil.rmtree(target, ignore_errors=True)
                assert vantrel(["compress", path, "-o", target, "-q", "-f"]) == 0
            return run

        os.mkdir(os.path.join(scratch, "vtrl"))
        rows.append(("compress to .zarr", best_time(compress("take.zarr"), 3),
                     best_time(compress("vtrl"), 3)))
        print(f"{args.frames} stereo frames; best of several runs")
        print(f"{'operation':<20} {'ms':>9} {'baseline ms':>12} {'ratio':>6}")
        for name, took, baseline in rows:
            print(f"{name:<20} {took * 1e3:>9.1f} {baseline * 1e3:>12.1f} "
                  f"{took / baseline:>6.2f}")
        print("baselines: stdlib wave + numpy; compress to one .vtrl per channel")
    finally:
        shutil.rmtree(scratch)
    return 0


if __name__ == "__main__":
    sys.exit(main())
