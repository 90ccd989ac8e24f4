"""Throughput of vantrel on one thread and on T threads, each pair measured in the same run.

    python bench/threads.py [--threads 2] [--rounds 5] [--quick] [--out bench/results]

Cases (float32 input, MB/s of input bytes; wall-clock time):

- pool: 4 independent 2^22-sample signals through ``vantrel_tools.compress``/``decompress`` (which
  release the GIL) on ``map`` and on a pool of T threads; ``vantrel.compress_signal``, which holds
  the GIL, beside them as the baseline that does not scale;
- channels: a 2 x 2^22 recording through ``compress_channels``/``decompress_channels`` with
  ``threads=1`` and ``threads=T``;
- one signal: one 2^22-sample ECG-like signal through ``compress_channels`` (the coder's second
  thread) with ``threads=1`` and ``threads=T``;
- dask: a 2^24-sample array (chunks of 2^20) stored with ``dask.array.store`` through the numcodecs
  codec into a Zarr array in memory, threaded scheduler with 1 and with T workers;
- zarr: the same array read back by Zarr 3 with its own thread pool (``threading.max_workers``)
  of 1 and of T threads.

Rounds alternate the order of the two settings; each case prints the best time of each setting,
the ratio T / 1 of the best times and the median of the per-round ratios. Every container is
checked to be the same for both settings. ``--quick`` shrinks every signal 64 times (a smoke run;
its ratios mean little). ``--out DIR`` also writes ``DIR/threads.md``.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

import vantrel
import vantrel_tools


def ecg_like(n: int, seed: int) -> np.ndarray:
    """360 Hz, beats of Gaussian P, Q, R, S and T waves at a varying rate, baseline wander, mains
    hum and noise, in 11-bit steps over 10 mV (like bench_util.h's synthetic_ecg)."""
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 360.0
    lengths = rng.uniform(0.75, 0.95, int(t[-1] / 0.75) + 2)
    starts = np.concatenate([[0.0], np.cumsum(lengths)])
    u = t - starts[np.searchsorted(starts, t, side="right") - 1]
    v = 0.15 * np.sin(2 * np.pi * 0.3 * t) + 0.02 * np.sin(2 * np.pi * 60.0 * t)
    for at, width, height in ((0.10, 0.025, 0.15), (0.20, 0.010, -0.12), (0.225, 0.012, 1.3),
                              (0.25, 0.010, -0.25), (0.48, 0.045, 0.3)):
        v += height * np.exp(-0.5 * ((u - at) / width) ** 2)
    v += rng.normal(0.0, 0.012, n)
    return (np.round(v * 204.8) / 204.8).astype(np.float32)


def paired(one: Callable[[], Any], many: Callable[[], Any], rounds: int) -> dict[str, Any]:
    """Best wall-clock seconds of `one` and `many` over alternating rounds, the ratio of the
    best times, the median of the per-round ratios, and whether both gave equal results."""
    best = [float("inf"), float("inf")]
    ratios = []
    results: list[Any] = [None, None]
    for r in range(rounds):
        seconds = [0.0, 0.0]
        for which in ((0, 1) if r % 2 == 0 else (1, 0)):
            start = time.perf_counter()
            results[which] = (one, many)[which]()
            seconds[which] = time.perf_counter() - start
            best[which] = min(best[which], seconds[which])
        ratios.append(seconds[0] / seconds[1])
    same = _equal(results[0], results[1])
    return {"one": best[0], "many": best[1], "ratio": best[0] / best[1],
            "median": statistics.median(ratios), "same": same}


def _equal(a: Any, b: Any) -> bool:
    if isinstance(a, np.ndarray):
        return bool(np.array_equal(a, b))
    if isinstance(a, list) and a and isinstance(a[0], np.ndarray):
        return all(np.array_equal(x, y) for x, y in zip(a, b, strict=True))
    return bool(a == b)


def zarr_pool(threads: int) -> None:
    """Gives Zarr's codec thread pool `threads` threads from the next call on."""
    import zarr
    import zarr.core.sync as zsync

    zarr.config.set({"threading.max_workers": threads, "async.concurrency": 64})
    if zsync._executor is not None:  # Zarr creates its pool once; replace it
        zsync._executor.shutdown(wait=True)
        zsync._executor = None
    zsync._get_executor()


def dask_cases(n: int, chunk: int, threads: int, rounds: int) -> dict[str, dict[str, Any]]:
    import dask.array as da
    import numcodecs
    import zarr

    samples = ecg_like(n, 11)
    source = da.from_array(samples, chunks=chunk)
    codec = numcodecs.get_codec({"id": "vantrel"})
    zarr_pool(2 * threads)  # the Dask workers, not Zarr's pool, limit the writes
    stores: list[Any] = []

    def store(workers: int) -> Callable[[], Any]:
        def run() -> Any:
            target = zarr.create_array(store=zarr.storage.MemoryStore(), shape=(n,),
                                       chunks=(chunk,), dtype="float32", compressors=codec,
                                       filters=None, zarr_format=2)
            da.store(source, target, lock=False, scheduler="threads", num_workers=workers)
            stores.append(target)
            return [bytes(v.to_bytes()) for k, v in sorted(target.store._store_dict.items())
                    if not k.startswith(".")]
        return run

    out = {"dask store": paired(store(1), store(threads), rounds)}
    stored = stores[-1]

    def read(workers: int) -> Callable[[], Any]:
        def run() -> Any:
            zarr_pool(workers)
            return stored[:]
        return run

    out["zarr read"] = paired(read(1), read(threads), rounds)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out", metavar="DIR")
    args = parser.parse_args()
    shrink = 64 if args.quick else 1
    n = (1 << 22) // shrink
    t = args.threads
    cases: dict[str, tuple[float, dict[str, Any]]] = {}  # name -> (MB of input, timings)

    signals = [ecg_like(n, k) for k in range(4)]
    packed = [vantrel_tools.compress(x) for x in signals]
    mb = sum(x.nbytes for x in signals) / 1e6
    with ThreadPoolExecutor(t) as pool:
        for name, fn, items in ((f"pool: vantrel_tools.compress, 4 x {n}", vantrel_tools.compress, signals),
                                ("pool: vantrel_tools.decompress", vantrel_tools.decompress,
                                 packed),
                                ("pool: vantrel.compress_signal", vantrel.compress_signal,
                                 signals)):
            cases[name] = (mb, paired(lambda f=fn, i=items: list(map(f, i)),
                                      lambda f=fn, i=items: list(pool.map(f, i)), args.rounds))

    recording = np.stack([ecg_like(n, 20), ecg_like(n, 21)])
    two = vantrel_tools.compress_channels(recording)
    mb = recording.nbytes / 1e6
    cases[f"channels: compress 2 x {n}"] = (mb, paired(
        lambda: vantrel_tools.compress_channels(recording, threads=1),
        lambda: vantrel_tools.compress_channels(recording, threads=t), args.rounds))
    cases[f"channels: decompress 2 x {n}"] = (mb, paired(
        lambda: vantrel_tools.decompress_channels(two, threads=1),
        lambda: vantrel_tools.decompress_channels(two, threads=t), args.rounds))

    one = ecg_like(n, 30)
    cases[f"one signal: compress {n}"] = (one.nbytes / 1e6, paired(
        lambda: vantrel_tools.compress_channels(one, threads=1),
        lambda: vantrel_tools.compress_channels(one, threads=t), args.rounds))

    try:
        big = (1 << 24) // shrink
        for name, timing in dask_cases(big, (1 << 20) // shrink, t, args.rounds).items():
            cases[f"{name} {big} (chunks {(1 << 20) // shrink})"] = (4 * big / 1e6, timing)
    except ImportError as exc:
        print(f"dask/zarr cases left out: {exc}")

    head = (f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores; "
            f"{args.rounds} alternating rounds{'; --quick' if args.quick else ''}")
    rows = [f"| case | 1 thread MB/s | {t} threads MB/s | ratio (best) | ratio (median) "
            "| same bytes |", "|---|---:|---:|---:|---:|---|"]
    for name, (megabytes, r) in cases.items():
        rows.append(f"| {name} | {megabytes / r['one']:.1f} | {megabytes / r['many']:.1f} | "
                    f"{r['ratio']:.2f} | {r['median']:.2f} | {'yes' if r['same'] else 'NO'} |")
    print(head)
    print("\n".join(rows))
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        with open(os.path.join(args.out, "threads.md"), "w") as f:
            f.write(f"# Threads: 1 vs {t}\n\n{head}\n\n" + "\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
