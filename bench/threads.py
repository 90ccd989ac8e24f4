"""Throughput of vantrel on one thread and on T threads, each pair measured in the same run.

    python bench/threads.py [--threads 2] [--rounds 5] [--quick] [--out bench/results]

Cases (float32 input, MB/s of input bytes; wall-clock time):

- probe: SHA-256 of four 16 MiB blocks with ``hashlib`` (which releases the GIL), on ``map`` and
  on the pool: how much of a second core the machine gives this run, as a yardstick for the
  rest on a shared machine;
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

Each round runs every case once in each setting (in an order alternating with the round); each
case prints the best throughput of each setting, the ratio T / 1 of the best times and the median
of the per-round ratios. Every container is
checked to be the same for both settings. ``--quick`` shrinks every signal 64 times (a smoke run;
its ratios mean little). ``--out DIR`` also writes ``DIR/threads.md``.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import platform
import statistics
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

import vantrel
import vantrel_tools
from harness import timed


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


class Case:
    """One case: `one` and `many` run the same work on one thread and on T threads."""

    def __init__(self, name: str, megabytes: float, one: Callable[[], Any],
                 many: Callable[[], Any]) -> None:
        self.name, self.megabytes, self.one, self.many = name, megabytes, one, many
        self.best = [float("inf"), float("inf")]
        self.ratios: list[float] = []
        self.results: list[Any] = [None, None]

    def round(self, r: int) -> None:
        """Times both settings once, in the order alternating with the round."""
        seconds = [0.0, 0.0]
        for which in ((0, 1) if r % 2 == 0 else (1, 0)):
            seconds[which], self.results[which] = timed((self.one, self.many)[which])
            self.best[which] = min(self.best[which], seconds[which])
        self.ratios.append(seconds[0] / seconds[1])

    def row(self) -> str:
        one, many = self.best
        same = "yes" if _equal(*self.results) else "NO"
        return (f"| {self.name} | {self.megabytes / one:.1f} | {self.megabytes / many:.1f} | "
                f"{one / many:.2f} | {statistics.median(self.ratios):.2f} | {same} |")


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


def dask_cases(n: int, chunk: int, threads: int) -> list[Case]:
    import dask.array as da
    import numcodecs
    import zarr

    samples = ecg_like(n, 11)
    source = da.from_array(samples, chunks=chunk)
    codec = numcodecs.get_codec({"id": "vantrel"})

    def new_array() -> Any:
        return zarr.create_array(store=zarr.storage.MemoryStore(), shape=(n,), chunks=(chunk,),
                                 dtype="float32", compressors=codec, filters=None, zarr_format=2)

    def store(workers: int) -> Callable[[], Any]:
        def run() -> Any:
            zarr_pool(2 * threads)  # the Dask workers, not Zarr's pool, limit the writes
            target = new_array()
            da.store(source, target, lock=False, scheduler="threads", num_workers=workers)
            return [bytes(v.to_bytes()) for k, v in sorted(target.store._store_dict.items())
                    if not k.startswith(".")]
        return run

    stored = new_array()
    stored[:] = samples

    def read(workers: int) -> Callable[[], Any]:
        def run() -> Any:
            zarr_pool(workers)
            return stored[:]
        return run

    mb = 4 * n / 1e6
    return [Case(f"dask store {n} (chunks {chunk}), workers", mb, store(1), store(threads)),
            Case(f"zarr read {n} (chunks {chunk}), Zarr's pool", mb, read(1), read(threads))]


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
    cases: list[Case] = []
    pool = ThreadPoolExecutor(t)

    def on_pool(fn: Callable[[Any], Any], items: list[Any]) -> Callable[[], Any]:
        return lambda: list(pool.map(fn, items))

    def on_map(fn: Callable[[Any], Any], items: list[Any]) -> Callable[[], Any]:
        return lambda: list(map(fn, items))

    # What the machine gives T threads right now, without vantrel: hashlib releases the GIL.
    blobs = [os.urandom((1 << 24) // shrink) for _ in range(4)]
    digest = lambda b: hashlib.sha256(b).digest()  # noqa: E731
    cases.append(Case("probe: hashlib.sha256, no vantrel", sum(map(len, blobs)) / 1e6,
                      on_map(digest, blobs), on_pool(digest, blobs)))

    signals = [ecg_like(n, k) for k in range(4)]
    packed = [vantrel_tools.compress(x) for x in signals]
    mb = sum(x.nbytes for x in signals) / 1e6
    for name, fn, items in ((f"pool: vantrel_tools.compress, 4 x {n}", vantrel_tools.compress,
                             signals),
                            ("pool: vantrel_tools.decompress", vantrel_tools.decompress, packed),
                            ("pool: vantrel.compress_signal", vantrel.compress_signal, signals)):
        cases.append(Case(name, mb, on_map(fn, items), on_pool(fn, items)))

    recording = np.stack([ecg_like(n, 20), ecg_like(n, 21)])
    two = vantrel_tools.compress_channels(recording)
    mb = recording.nbytes / 1e6
    cases.append(Case(f"channels: compress 2 x {n}", mb,
                      lambda: vantrel_tools.compress_channels(recording, threads=1),
                      lambda: vantrel_tools.compress_channels(recording, threads=t)))
    cases.append(Case(f"channels: decompress 2 x {n}", mb,
                      lambda: vantrel_tools.decompress_channels(two, threads=1),
                      lambda: vantrel_tools.decompress_channels(two, threads=t)))

    one = ecg_like(n, 30)
    cases.append(Case(f"one signal: compress {n}", one.nbytes / 1e6,
                      lambda: vantrel_tools.compress_channels(one, threads=1),
                      lambda: vantrel_tools.compress_channels(one, threads=t)))
    try:
        cases += dask_cases((1 << 24) // shrink, (1 << 20) // shrink, t)
    except ImportError as exc:
        print(f"dask/zarr cases left out: {exc}")

    # Rounds are the outer loop, so that every case meets the machine's quiet and busy spells
    # alike.
    for r in range(args.rounds):
        for case in cases:
            case.round(r)
    pool.shutdown()

    head = (f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores; "
            f"{args.rounds} alternating rounds{'; --quick' if args.quick else ''}")
    rows = [f"| case | 1 thread MB/s | {t} threads MB/s | ratio (best) | ratio (median) "
            "| same bytes |", "|---|---:|---:|---:|---:|---|"]
    rows += [case.row() for case in cases]
    print(head)
    print("\n".join(rows))
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        with open(os.path.join(args.out, "threads.md"), "w") as f:
            f.write(f"# Threads: 1 vs {t}\n\n{head}\n\n" + "\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
