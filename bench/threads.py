"""Throughput of the companion package's GIL-free calls on 1 and on N threads, in one run.

    python bench/threads.py [--samples 4194304] [--signals 4] [--threads 2] [--rounds 5]

Codes `--signals` independent signals (an ECG-like sum of sines with noise, seeded) once on one
thread and once on a pool of `--threads` threads, compress and decompress, and prints the
throughput of each as MB/s of float32 input and the ratio N threads / 1 thread (best of
`--rounds`). ``vantrel.compress_signal`` on the pool is measured beside it: it holds the
interpreter, so its ratio stays near 1.
"""

from __future__ import annotations

import argparse
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import vantrel
import vantrel_tools


def signals(count: int, n: int) -> list[np.ndarray]:
    rng = np.random.default_rng(1)
    t = np.arange(n) / 360.0
    return [(np.sin(2 * np.pi * (1.1 + k) * t) + 0.3 * np.sin(2 * np.pi * 17 * t)
             + 0.02 * rng.standard_normal(n)).astype(np.float32) for k in range(count)]


def best_seconds(run, rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--samples", type=int, default=1 << 22)
    parser.add_argument("--signals", type=int, default=4)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    data = signals(args.signals, args.samples)
    packed = [vantrel_tools.compress(x) for x in data]
    megabytes = sum(x.nbytes for x in data) / 1e6
    cases = {
        "vantrel_tools.compress": lambda m: list(m(vantrel_tools.compress, data)),
        "vantrel_tools.decompress": lambda m: list(m(vantrel_tools.decompress, packed)),
        "vantrel.compress_signal": lambda m: list(m(vantrel.compress_signal, data)),
    }
    print(f"{args.signals} signals of {args.samples} samples; best of {args.rounds}")
    print(f"{'call':<26} {'1 thread MB/s':>14} {f'{args.threads} threads MB/s':>16} {'ratio':>7}")
    with ThreadPoolExecutor(args.threads) as pool:
        for name, run in cases.items():
            one = best_seconds(lambda: run(map), args.rounds)
            many = best_seconds(lambda: run(pool.map), args.rounds)
            print(f"{name:<26} {megabytes / one:>14.1f} {megabytes / many:>16.1f} {one / many:>7.2f}")


if __name__ == "__main__":
    main()
