"""What the benchmark scripts share: quality and throughput of one codec setting on one signal
(`Runner`, `Point`), timing on ``timeit``, and the machine a run happened on."""

from __future__ import annotations

import datetime
import math
import os
import platform
import resource
import statistics
import sys
import time
import timeit
from dataclasses import asdict, dataclass
from typing import Any, Callable

import numpy as np

import peers
from vantrel_tools.metrics import distortion


@dataclass
class Quality:
    size: int
    ratio: float
    psnr: float
    prd: float
    max_err: float


def quality(x: np.ndarray, y: np.ndarray, size: int) -> Quality:
    d = distortion(x, y)
    return Quality(size, x.nbytes / max(size, 1), d.psnr, d.prd, d.max_err)


@dataclass
class Speed:
    best: float  # MB/s of float32 input
    median: float


def per_call(fn: Callable[[], Any], repeats: int, min_run_s: float = 0.005) -> list[float]:
    """Seconds per call of `fn` in each of `repeats` runs, after one warm-up call. Short calls
    are repeated inside each run so that one run lasts at least `min_run_s`."""
    timer = timeit.Timer(fn)
    fn()
    once = timer.timeit(1)
    number = max(1, math.ceil(min_run_s / once)) if once > 0 else 1000
    return [t / number for t in timer.repeat(repeat=repeats, number=number)]


def speed(fn: Callable[[], Any], nbytes: int, repeats: int, min_run_s: float = 0.005) -> Speed:
    """Best and median throughput of `fn` (see `per_call`)."""
    times = per_call(fn, repeats, min_run_s)
    mb = nbytes / 1e6
    return Speed(mb / min(times), mb / statistics.median(times))


def timed(fn: Callable[[], Any]) -> tuple[float, Any]:
    """The seconds one call of `fn` takes, and what it returned."""
    out: list[Any] = []
    seconds = timeit.Timer(lambda: out.append(fn())).timeit(1)
    return seconds, out[0]


def best_time(fn: Callable[[], Any], runs: int = 5) -> float:
    """The fastest of `runs` single calls of `fn`."""
    return min(timeit.Timer(fn).repeat(repeat=runs, number=1))


def best_times(calls: dict[str, Callable[[], Any]], rounds: int) -> dict[str, float]:
    """The fastest of `rounds` runs of each call, the calls alternating within every round so
    that a noisy neighbour slows them all alike."""
    best = {name: math.inf for name in calls}
    for call in calls.values():
        call()  # warm-up
    for _ in range(rounds):
        for name, call in calls.items():
            best[name] = min(best[name], timed(call)[0])
    return best


@dataclass
class Point:
    """One codec at one setting on one data set."""

    codec: str
    param: Any
    setting: str
    quality: Quality
    compress: Speed | None = None
    decompress: Speed | None = None
    memory: dict | None = None  # peak bytes over the loaded data: compress / decompress
    target_psnr: float | None = None


class Runner:
    """Evaluates one codec on one data set, caching every setting it has tried."""

    def __init__(self, codec: peers.Codec, x: np.ndarray, quick: bool = False) -> None:
        self.codec, self.x, self.quick = codec, x, quick
        self._points: dict[Any, Point] = {}
        self._blobs: dict[Any, bytes] = {}

    @staticmethod
    def _key(param):
        return tuple(param) if isinstance(param, list) else param

    def evaluate(self, param) -> Point:
        key = self._key(param)
        if key not in self._points:
            blob = bytes(self.codec.compress(self.x, param))
            y = np.asarray(self.codec.decompress(blob, self.x.size))
            q = quality(self.x, y, len(blob))
            self._points[key] = Point(self.codec.name, param, self.codec.describe(param), q)
            self._blobs[key] = blob
        return self._points[key]

    def blob(self, param) -> bytes:
        self.evaluate(param)
        return self._blobs[self._key(param)]

    def timed(self, param, repeats: int) -> Point:
        point = self.evaluate(param)
        if point.compress is None:
            blob, x, n, codec = self.blob(param), self.x, self.x.size, self.codec
            point.compress = speed(lambda: codec.compress(x, param), x.nbytes, repeats)
            point.decompress = speed(lambda: codec.decompress(blob, n), x.nbytes, repeats)
        return point

    def match(self, target: float, steps: int) -> Point | None:
        """The setting with at least `target` PSNR that compresses most (None if none does)."""
        if self.codec.kind == "tolerance":
            return self._bisect(target, steps)
        candidates = [self.evaluate(p) for p in self.codec.sweep(self.x, self.quick)]
        good = [p for p in candidates if p.quality.psnr >= target]
        return max(good, key=lambda p: p.quality.ratio) if good else None

    def _bisect(self, target: float, steps: int) -> Point | None:
        # PSNR falls as the tolerance grows (not strictly: zfp's accuracy moves in powers of two).
        # Invariant: psnr(lo) >= target > psnr(hi); the answer is lo.
        span = float(self.x.max() - self.x.min()) or 1.0
        lo, hi = math.log2(span) - 30.0, math.log2(span)
        if self.evaluate(2.0**hi).quality.psnr >= target:
            return self.evaluate(2.0**hi)
        if self.evaluate(2.0**lo).quality.psnr < target:
            return None
        for _ in range(steps):
            mid = 0.5 * (lo + hi)
            if self.evaluate(2.0**mid).quality.psnr >= target:
                lo = mid
            else:
                hi = mid
        return self.evaluate(2.0**lo)


def rss_bytes() -> int:
    """This process's resident memory now."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_bytes() -> int:
    """This process's peak resident memory. ru_maxrss also counts the peak of the memory image
    this process was started from (Linux keeps it across fork and exec, and with vfork that is the
    parent's whole peak); VmHWM covers this process's own image only."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def geomean(values: list[float]) -> float | None:
    values = [v for v in values if v and v > 0 and math.isfinite(v)]
    return math.exp(sum(map(math.log, values)) / len(values)) if values else None


def machine() -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    versions = {"python": platform.python_version(), "numpy": np.__version__}
    for name in ("vantrel", "zfpy", "pysz", "pywt", "numcodecs", "pcodec"):
        try:
            from importlib.metadata import version

            versions[name] = version({"pywt": "PyWavelets"}.get(name, name))
        except Exception:
            pass
    return {
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "cpu": cpu,
        "cores": os.cpu_count(),
        "versions": versions,
    }


def log(start: float, text: str) -> None:
    print(f"[{time.perf_counter() - start:7.1f}s] {text}", file=sys.stderr, flush=True)


def to_json(value):
    if isinstance(value, (Point, Quality, Speed)):
        return to_json(asdict(value))
    if isinstance(value, dict):
        return {str(k): to_json(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_json(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    return value
