#!/usr/bin/env python3
"""End-to-end benchmark of vantrel against its peers: size, quality, speed, memory.

    python bench/e2e.py [--quick] [--out bench/results] [--datasets ecg,speech,...]

For every data set and every vantrel configuration it measures the compression ratio, PSNR, PRD,
maximum absolute error, compress and decompress throughput (MB/s of float32 input, best and median
of several runs after a warm-up), the context-model coder's binary decisions per sample, and the
peak memory of one compress or decompress in a fresh process. Every throughput is also given as a
ratio to numpy.copy of the same array measured in the same run. zfp and SZ3 are bisected over
their error tolerance to reach at least the PSNR of each vantrel configuration, and compared
there. Writes e2e.md (tables), headline.md (the summary README shows), e2e.json (every figure)
and e2e.png (rate-distortion curves).
"""

from __future__ import annotations

import argparse
import datetime
import glob
import json
import math
import os
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass, replace
from typing import Any, Callable

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import datasets  # noqa: E402
import peers  # noqa: E402
import targets  # noqa: E402
from vantrel_tools._names import ENTROPY_CODERS, WAVELET_METHODS  # noqa: E402
from vantrel_tools.container import HEADER_SIZE  # noqa: E402
from vantrel_tools.metrics import distortion  # noqa: E402

METHODS = list(WAVELET_METHODS)
CODERS = list(ENTROPY_CODERS)
SCALES = [8, 10, 11, 12]
CUTOFFS = ["low", "high"]
DEFAULT = peers.Vantrel.DEFAULT
# PSNR targets for the peers when vantrel itself cannot run (keeps the harness testable).
FALLBACK_TARGETS = [50.0, 70.0, 90.0]


@dataclass
class Grid:
    methods: list[str]
    coders: list[str]
    scales: list[int]
    cutoffs: list[str]
    repeats: int  # timed runs of each grid configuration and of the peers matched to it
    default_repeats: int  # timed runs of the default options, their peers and numpy.copy
    bisect_steps: int

    def configs(self) -> list[tuple]:
        return [
            (m, c, s, k)
            for m in self.methods
            for s in self.scales
            for k in self.cutoffs
            for c in self.coders
        ]


FULL_GRID = Grid(METHODS, CODERS, SCALES, CUTOFFS, repeats=3, default_repeats=5, bisect_steps=12)
QUICK_GRID = Grid(["cdf97", "db4"], ["cmodel", "deflate"], [8, 11], ["low"], 2, 2, 8)


def grid_for(ds: datasets.Dataset, quick: bool) -> Grid:
    if quick:
        return QUICK_GRID
    if ds.kind == "large":
        # Fewer configurations and repeats keep a 16 MB signal within the run's time budget.
        return Grid(
            METHODS, ["cmodel"], [11], ["low"], repeats=3, default_repeats=3, bisect_steps=12
        )
    return FULL_GRID


# ---------------------------------------------------------------------------------------------
# Measurements


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


def speed(fn: Callable[[], Any], nbytes: int, repeats: int, min_run_s: float = 0.005) -> Speed:
    """Best and median throughput of `fn` after one warm-up call. Short calls are repeated
    inside each run so that one run lasts at least `min_run_s`."""
    fn()
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    number = max(1, math.ceil(min_run_s / once)) if once > 0 else 1000
    per_call = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        per_call.append((time.perf_counter() - start) / number)
    mb = nbytes / 1e6
    return Speed(mb / min(per_call), mb / statistics.median(per_call))


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


def find_decisions_tool(explicit: str | None) -> str | None:
    if explicit:
        return explicit
    if os.environ.get("VANTREL_DECISIONS"):
        return os.environ["VANTREL_DECISIONS"]
    found = [p for p in glob.glob(os.path.join(ROOT, "build", "*", "bench", "decisions"))]
    found = [p for p in found if os.access(p, os.X_OK)]
    return max(found, key=os.path.getmtime) if found else None


def count_decisions(tool: str, raw_path: str, triples: list[tuple]) -> dict[tuple, dict]:
    """Runs the C++ tool once for all (method, scale, cutoff) triples of a data set."""
    args = [tool, raw_path]
    for method, scale, cutoff in triples:
        args += [method, str(scale), cutoff]
    out = subprocess.run(args, capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise RuntimeError(out.stderr.strip() or f"exit status {out.returncode}")
    result = {}
    for line in out.stdout.split("\n"):
        fields = line.split(maxsplit=4)
        if len(fields) == 5 and fields[3] == "refused":
            continue  # the grid's own run reports the refusal
        if line.strip():
            method, scale, cutoff, samples, decisions, payload = line.split()
            result[(method, int(scale), cutoff)] = {
                "decisions": int(decisions),
                "per_sample": int(decisions) / int(samples),
                "payload_bytes": int(payload),
            }
    return result


def measure_memory(codec: str, param, op: str, path: str, n: int) -> dict:
    """Peak memory of one compress or decompress in a fresh process, over its RSS once the
    input is loaded."""
    job = json.dumps({"codec": codec, "param": param, "op": op, "path": path, "n": n})
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--memory-child", job],
        capture_output=True,
        text=True,
        timeout=600,
    )
    if out.returncode != 0:
        raise RuntimeError(out.stderr.strip().splitlines()[-1] if out.stderr.strip() else "failed")
    return json.loads(out.stdout)


def memory_child(job_text: str) -> None:
    job = json.loads(job_text)
    param = job["param"]
    codec = peers.make(job["codec"])
    if isinstance(param, list):
        param = tuple(param)
    page = os.sysconf("SC_PAGE_SIZE")

    def rss() -> int:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * page

    def peak_rss() -> int:
        # ru_maxrss also counts the peak of the memory image this process was started from
        # (Linux keeps it across fork and exec, and with vfork that is the parent's whole peak);
        # VmHWM covers this process's own image only.
        try:
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        return int(line.split()[1]) * 1024
        except OSError:
            pass
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    if job["op"] == "compress":
        data = np.fromfile(job["path"], dtype="<f4")
    else:
        with open(job["path"], "rb") as f:
            data = f.read()
    # Forget the peak of the imports and the loading, so that the peak tracks the call alone.
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        reset = True
    except OSError:
        reset = False
    base = rss()
    peak_before = peak_rss()
    if job["op"] == "compress":
        result = codec.compress(data, param)
    else:
        result = codec.decompress(data, job["n"])
    peak = peak_rss()
    del result
    # Without the reset, a call that never rose above the earlier peak gives only an upper bound.
    upper_bound = not reset and peak <= peak_before
    print(json.dumps({"extra_bytes": max(0, peak - base), "upper_bound": upper_bound}))


# ---------------------------------------------------------------------------------------------
# One data set


def vantrel_codec(notes: list[str]) -> peers.Vantrel | None:
    try:
        codec = peers.Vantrel()
    except Exception as e:
        notes.append(f"vantrel skipped: cannot import the module ({e})")
        return None
    probe = np.linspace(0.0, 1.0, 64, dtype=np.float32)
    try:
        codec.decompress(codec.compress(probe, DEFAULT), probe.size)
    except Exception as e:
        notes.append(f"vantrel skipped: the module does not compress yet ({e})")
        return None
    return codec


def log(start: float, text: str) -> None:
    print(f"[{time.perf_counter() - start:7.1f}s] {text}", file=sys.stderr, flush=True)


def run_dataset(ds, vantrel, others, args, tool, tmp, start) -> dict:
    x = ds.samples
    grid = grid_for(ds, args.quick)
    notes: list[str] = []
    raw_path = os.path.join(tmp, f"{ds.name}.f32")
    x.tofile(raw_path)
    copy = speed(lambda: np.copy(x), x.nbytes, grid.default_repeats)
    out: dict[str, Any] = {
        "name": ds.name,
        "kind": ds.kind,
        "source": ds.source,
        "samples": int(x.size),
        "copy": asdict(copy),
        "notes": notes,
    }

    # vantrel: the default options and every configuration of the grid.
    rows: list[dict] = []
    default_point = None
    if vantrel is not None:
        vantrel_runner = Runner(vantrel, x, args.quick)
        default_point = vantrel_runner.timed(DEFAULT, grid.default_repeats)
        refused: dict[str, list[str]] = {}
        for config in grid.configs():
            try:
                point = vantrel_runner.timed(config, grid.repeats)
            except Exception as e:  # one refused configuration must not end the run
                refused.setdefault(str(e), []).append(vantrel.describe(config))
                continue
            rows.append({"config": config, "point": point})
        for reason, configs in refused.items():
            notes.append(
                f"vantrel refused {len(configs)} configurations: {reason} ("
                + ", ".join(configs)
                + ")"
            )
        log(start, f"{ds.name}: vantrel, {len(rows)} configurations")
        triples = sorted({(m, s, k) for m, _, s, k in [DEFAULT, *grid.configs()]})
        if tool:
            try:
                decisions = count_decisions(tool, raw_path, triples)
                blob = vantrel_runner.blob(DEFAULT)
                payload = decisions[(DEFAULT[0], DEFAULT[2], DEFAULT[3])]["payload_bytes"]
                if payload + HEADER_SIZE == len(blob):
                    out["decisions"] = {"|".join(map(str, k)): v for k, v in decisions.items()}
                else:
                    notes.append(
                        f"decisions not counted: the tool ({tool}) codes {payload + HEADER_SIZE} "
                        f"bytes where the module codes {len(blob)}: it was built from another core"
                    )
            except Exception as e:
                notes.append(f"decisions not counted: {e}")
    # Quality targets for the peers: each distinct vantrel quality (coders are lossless, so
    # every coder of one (method, scale, cutoff) shares it).
    targets: dict[str, float] = {}
    if default_point is not None:
        targets["default"] = default_point.quality.psnr
        for row in rows:
            m, _, s, k = row["config"]
            targets.setdefault(f"{m}|{s}|{k}", row["point"].quality.psnr)
    else:
        for t in FALLBACK_TARGETS:
            targets[f"{t:g} dB"] = t

    # Peers at equal quality. zfp and SZ3 at every target; the others at the default's.
    peer_points: dict[str, dict[str, Point | None]] = {}
    runners = {c.name: Runner(c, x, args.quick) for c in others}
    first = next(iter(targets))
    for codec in others:
        runner = runners[codec.name]
        matched: dict[str, Point | None] = {}
        for label, target in targets.items():
            if codec.kind != "tolerance" and label != first:
                continue
            repeats = grid.default_repeats if label == first else grid.repeats
            try:
                if codec.kind == "lossless":
                    point = runner.timed(None, repeats)
                else:
                    found = runner.match(target, grid.bisect_steps)
                    point = runner.timed(found.param, repeats) if found is not None else None
            except Exception as e:
                notes.append(f"{codec.name} failed at the {label} target: {e}")
                break
            # A copy per target: one setting may serve several targets.
            matched[label] = None if point is None else replace(point, target_psnr=target)
        peer_points[codec.name] = matched
        log(start, f"{ds.name}: {codec.name} matched at {len(matched)} targets")

    # Rate-distortion curves (quality only, no timing).
    curves: dict[str, list[tuple[float, float]]] = {}
    for codec in ([vantrel] if vantrel is not None else []) + others:
        runner = vantrel_runner if codec is vantrel else runners[codec.name]
        pts = []
        for param in codec.sweep(x, args.quick):
            try:
                pts.append(runner.evaluate(param).quality)
            except Exception:  # a refused setting leaves its point out
                continue
        curves[codec.name] = {"kind": codec.kind, "points": [(q.psnr, q.ratio) for q in pts]}
    out["curves"] = curves

    # Peak memory of one call in a fresh process, at the default quality.
    memory_jobs = []
    if vantrel is not None:
        memory_jobs.append(("vantrel", DEFAULT, default_point, vantrel_runner))
    for codec in others:
        point = peer_points[codec.name].get(first)
        # Each fresh process costs about a second: the other peers only on the large signal.
        if codec.name not in ("zfp", "sz3") and ds.kind != "large":
            continue
        if point is not None:
            memory_jobs.append((codec.name, point.param, point, runners[codec.name]))
    if not args.no_memory:
        for name, param, point, runner in memory_jobs:
            blob_path = os.path.join(tmp, f"{ds.name}.{name}.bin")
            with open(blob_path, "wb") as f:
                f.write(runner.blob(param))
            try:
                point.memory = {
                    "compress": measure_memory(name, param, "compress", raw_path, x.size),
                    "decompress": measure_memory(name, param, "decompress", blob_path, x.size),
                }
            except Exception as e:
                notes.append(f"memory of {name} not measured: {e}")
        log(start, f"{ds.name}: memory of {len(memory_jobs)} codecs")

    out["default"] = default_point
    out["grid"] = rows
    out["targets"] = targets
    out["peers"] = peer_points
    return out


# ---------------------------------------------------------------------------------------------
# Report


def fmt(v: float | None, digits: int = 3) -> str:
    if v is None:
        return "-"
    if isinstance(v, float) and math.isinf(v):
        return "∞" if v > 0 else "-∞"
    if v == 0:
        return "0"
    if abs(v) >= 1000:
        return f"{v:,.0f}"
    return f"{v:.{digits}g}"


def ratio_text(a: float | None, b: float | None) -> str:
    if a is None or b is None or b == 0:
        return "-"
    return f"{a / b:.3g}×"


def speed_text(s: Speed | None) -> str:
    return "-" if s is None else f"{fmt(s.best)} ({fmt(s.median)})"


def memory_text(memory: dict | None, nbytes: int) -> str:
    if not memory:
        return "-"
    parts = []
    for op in ("compress", "decompress"):
        m = memory[op]
        mark = "≤" if m["upper_bound"] else ""
        parts.append(f"{mark}{m['extra_bytes'] / 2**20:.1f} ({m['extra_bytes'] / nbytes:.3g}×)")
    return " / ".join(parts)


def decisions_of(result: dict, config) -> float | None:
    d = result.get("decisions", {}).get(f"{config[0]}|{config[2]}|{config[3]}")
    return None if d is None else d["per_sample"]


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


LEGEND = """\
Throughput is MB/s of float32 input, best (median) of the runs after a warm-up; ×copy is that
best over numpy.copy's best on the same array in the same run. PSNR uses the original's max − min
as the peak; PRD = 100·sqrt(Σ(x−y)²/Σx²) (vantrel_tools.metrics: PSNR is nan for a constant
original not reproduced exactly, PRD nan for an all-zero original). Memory is the peak over the
RSS with the input loaded, in MiB (× the float32 input), of one call in a fresh process; ≤ marks
an upper bound (a call that stayed below the process's earlier peak where that peak could not
be reset)."""


def markdown(results: list[dict], info: dict, notes: list[str], quick: bool) -> str:
    lines: list[str] = []
    add = lines.append
    versions = ", ".join(f"{k} {v}" for k, v in info["versions"].items())
    stamp = f"{info['date']} · {info['cpu']} ({info['cores']} cores)"
    add("# vantrel end-to-end benchmark" + (" (quick run)" if quick else ""))
    add("")
    add(f"{stamp} · {versions}")
    add("")
    add(LEGEND)
    add("")
    for note in notes + [f"{r['name']}: {n}" for r in results for n in r["notes"]]:
        add(f"- {note}")
    add("")
    add("## Data sets")
    add("")
    add("| data set | samples | source |")
    add("|---|---:|---|")
    for r in results:
        add(f"| {r['name']} | {r['samples']:,} | {r['source']} |")
    add("")

    if any(r["default"] is not None for r in results):
        add(f"## vantrel at default options (cdf97, scale 11, cutoff low, auto coder) — {stamp}")
        add("")
        add(
            "| data set | ratio | PSNR dB | PRD % | max abs err | compress MB/s | decompress MB/s "
            "| ×copy c / d | numpy.copy MB/s | decisions / sample | peak MiB c / d |"
        )
        add("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for r in results:
            p = r["default"]
            if p is None:
                continue
            q, copy = p.quality, Speed(**r["copy"])
            add(
                f"| {r['name']} | {fmt(q.ratio)} | {fmt(q.psnr, 4)} | {fmt(q.prd)} | "
                f"{fmt(q.max_err)} | {speed_text(p.compress)} | {speed_text(p.decompress)} | "
                f"{fmt(p.compress.best / copy.best)} / {fmt(p.decompress.best / copy.best)} | "
                f"{speed_text(copy)} | {fmt(decisions_of(r, DEFAULT))} | "
                f"{memory_text(p.memory, r['samples'] * 4)} |"
            )
        add("")

    add(f"## Peers at the PSNR of vantrel's default — {stamp}")
    add("")
    add("Each lossy peer at the setting that reaches at least vantrel's PSNR and compresses most")
    add("(zfp and SZ3 bisected over their tolerance; the others over their few settings); lossless")
    add("references as they are. vantrel ÷ peer: size is peer bytes over vantrel bytes (above 1:")
    add("vantrel is smaller), speed is vantrel's best throughput over the peer's.")
    add("")
    add(
        "| data set | codec | setting | ratio | PSNR dB | max abs err | compress MB/s "
        "| decompress MB/s | ×copy c / d | vantrel ÷ peer: size, comp, decomp | peak MiB c / d |"
    )
    add("|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in results:
        label = next(iter(r["targets"]), None)
        v = r["default"]
        copy = Speed(**r["copy"])
        for name, matched in r["peers"].items():
            p = matched.get(label)
            if p is None:
                if name in matched or label is None:
                    add(f"| {r['name']} | {name} | no setting reaches the target | | | | | | | | |")
                continue
            q = p.quality
            versus = "-"
            if v is not None:
                versus = (
                    f"{ratio_text(v.quality.ratio, q.ratio)}, "
                    f"{ratio_text(v.compress.best, p.compress.best)}, "
                    f"{ratio_text(v.decompress.best, p.decompress.best)}"
                )
            target = "" if v is not None else f" (≥ {p.target_psnr:g} dB)"
            add(
                f"| {r['name']} | {name} | {p.setting}{target} | {fmt(q.ratio)} | "
                f"{fmt(q.psnr, 4)} | {fmt(q.max_err)} | {speed_text(p.compress)} | "
                f"{speed_text(p.decompress)} | {fmt(p.compress.best / copy.best)} / "
                f"{fmt(p.decompress.best / copy.best)} | {versus} | "
                f"{memory_text(p.memory, r['samples'] * 4)} |"
            )
    add("")

    if any(r["grid"] for r in results):
        add(f"## vantrel against zfp and SZ3 at equal PSNR, whole grid — {stamp}")
        add("")
        add("Geometric means over the grid's configurations of vantrel ÷ peer at the peer's")
        add("setting that reaches the configuration's PSNR: size (peer bytes over vantrel bytes),")
        add("compress and decompress speed (vantrel's best MB/s over the peer's).")
        add("")
        add(
            "| data set | coder | configs | zfp size | zfp comp | zfp decomp | SZ3 size | SZ3 comp "
            "| SZ3 decomp |"
        )
        add("|---|---|---:|---:|---:|---:|---:|---:|---:|")
        for r in results:
            for coder in CODERS:
                rows = [row for row in r["grid"] if row["config"][1] == coder]
                if not rows:
                    continue
                cells = []
                for peer in ("zfp", "sz3"):
                    matched = r["peers"].get(peer, {})
                    size, comp, decomp = [], [], []
                    for row in rows:
                        m, _, s, k = row["config"]
                        p, v = matched.get(f"{m}|{s}|{k}"), row["point"]
                        if p is None:
                            continue
                        size.append(v.quality.ratio / p.quality.ratio)
                        comp.append(v.compress.best / p.compress.best)
                        decomp.append(v.decompress.best / p.decompress.best)
                    cells += [
                        ratio_text(geomean(size), 1.0),
                        ratio_text(geomean(comp), 1.0),
                        ratio_text(geomean(decomp), 1.0),
                    ]
                add(f"| {r['name']} | {coder} | {len(rows)} | " + " | ".join(cells) + " |")
        add("")

        add("## Every vantrel configuration")
        for r in results:
            if not r["grid"]:
                continue
            copy = Speed(**r["copy"])
            add("")
            add(f"### {r['name']} ({r['samples']:,} samples) — {stamp}")
            add("")
            add(
                "| method | coder | scale | cutoff | ratio | PSNR dB | PRD % | max abs err "
                "| compress MB/s | decompress MB/s | ×copy c / d | decisions / sample "
                "| zfp ratio: size, comp, decomp ÷ | SZ3 ratio: size, comp, decomp ÷ |"
            )
            add("|---|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
            for row in r["grid"]:
                m, c, s, k = row["config"]
                v = row["point"]
                q = v.quality
                cells = []
                for peer in ("zfp", "sz3"):
                    p = r["peers"].get(peer, {}).get(f"{m}|{s}|{k}")
                    if p is None:
                        cells.append("-")
                        continue
                    cells.append(
                        f"{fmt(p.quality.ratio)}: {ratio_text(q.ratio, p.quality.ratio)}, "
                        f"{ratio_text(v.compress.best, p.compress.best)}, "
                        f"{ratio_text(v.decompress.best, p.decompress.best)}"
                    )
                add(
                    f"| {m} | {c} | {s} | {k} | {fmt(q.ratio)} | {fmt(q.psnr, 4)} | "
                    f"{fmt(q.prd)} | {fmt(q.max_err)} | {speed_text(v.compress)} | "
                    f"{speed_text(v.decompress)} | {fmt(v.compress.best / copy.best)} / "
                    f"{fmt(v.decompress.best / copy.best)} | {fmt(decisions_of(r, row['config']))}"
                    f" | {cells[0]} | {cells[1]} |"
                )
    add("")
    return "\n".join(lines)


def headline(results: list[dict], info: dict) -> str:
    """The summary README shows: vantrel's default against zfp and SZ3 at the same PSNR."""
    lines = [
        f"{info['date']} · {info['cpu']} ({info['cores']} cores), one thread; MB/s of float32"
        " input, best of the runs; zfp and SZ3 at the tolerance that reaches vantrel's PSNR.",
        "",
        "| data set | samples | vantrel ratio | PSNR dB | vantrel MB/s c / d "
        "| zfp ratio | zfp MB/s c / d | SZ3 ratio | SZ3 MB/s c / d |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in results:
        v = r["default"]
        if v is None:
            continue
        label = next(iter(r["targets"]), None)
        cells = []
        for name in ("zfp", "sz3"):
            p = r["peers"].get(name, {}).get(label)
            if p is None:
                cells += ["-", "-"]
            else:
                cells += [
                    fmt(p.quality.ratio),
                    f"{fmt(p.compress.best)} / {fmt(p.decompress.best)}",
                ]
        lines.append(
            f"| {r['name']} | {r['samples']:,} | {fmt(v.quality.ratio)} | "
            f"{fmt(v.quality.psnr, 4)} | {fmt(v.compress.best)} / {fmt(v.decompress.best)} | "
            + " | ".join(cells)
            + " |"
        )
    return "\n".join(lines) + "\n"


README_START = "<!-- headline: written by bench/e2e.py --update-readme -->"
README_END = "<!-- /headline -->"


def update_readme(path: str, table: str) -> str | None:
    """Replaces the headline block of the README; returns a problem, if any."""
    with open(path) as f:
        text = f.read()
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        return f"{path} has no headline block; README not updated"
    text = text[: start + len(README_START)] + "\n" + table + text[end:]
    with open(path, "w") as f:
        f.write(text)
    return None


def plot(results: list[dict], path: str, stamp: str) -> str | None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter
    except Exception as e:
        return f"no plot: cannot import matplotlib ({e})"
    ncols = min(3, len(results))
    nrows = math.ceil(len(results) / ncols)
    fig, axes = plt.subplots(nrows, ncols, figsize=(5.2 * ncols, 4.0 * nrows), squeeze=False)
    styles = {
        "vantrel": dict(color="black", marker="o", linewidth=2.2),
        "zfp": dict(color="tab:blue", marker="s"),
        "sz3": dict(color="tab:orange", marker="^"),
        "pywt+zlib": dict(color="tab:green", marker="v"),
        "quantize+zlib": dict(color="tab:purple", marker="D"),
        "bitround+zstd": dict(color="tab:brown", marker="x"),
        "zlib": dict(color="tab:gray", linestyle=":"),
        "pcodec": dict(color="tab:pink", linestyle=":"),
    }
    for ax, r in zip(axes.flat, results, strict=False):
        for name, curve in r["curves"].items():
            style = dict(styles.get(name, {}))
            if curve["kind"] == "lossless":  # a level line at its ratio
                ratio = curve["points"][0][1]
                ax.axhline(ratio, label=f"{name} (lossless)", linewidth=1, **style)
                continue
            # Settings that end up lossless (infinite PSNR) have no place on this axis.
            finite = [(p, q) for p, q in curve["points"] if math.isfinite(p) and p <= 150]
            if finite:
                xs, ys = zip(*sorted(finite), strict=True)
                label = "vantrel (cdf97, scales 6–12)" if name == "vantrel" else name
                ax.plot(
                    xs,
                    ys,
                    markersize=4,
                    linewidth=style.pop("linewidth", 1.3),
                    label=label,
                    **style,
                )
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        ax.yaxis.set_minor_formatter(FuncFormatter(lambda v, _: ""))
        ax.set_title(f"{r['name']} ({r['samples']:,} samples)", fontsize=10)
        ax.set_xlabel("PSNR (dB)")
        ax.set_ylabel("compression ratio")
        ax.grid(True, which="both", alpha=0.3)
    for ax in list(axes.flat)[len(results) :]:
        ax.axis("off")
    handles = {}
    for ax in axes.flat:
        for handle, label in zip(*ax.get_legend_handles_labels(), strict=True):
            handles.setdefault(label, handle)
    fig.legend(
        list(handles.values()),
        list(handles.keys()),
        loc="lower center",
        ncol=min(5, len(handles)),
        fontsize=9,
        frameon=False,
    )
    fig.suptitle(f"Rate-distortion: compression ratio against PSNR — {stamp}", fontsize=11)
    fig.tight_layout(rect=(0, 0.06, 1, 0.96))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return None


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


# ---------------------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small data and grid (smoke run)")
    parser.add_argument("--out", default=os.path.join(HERE, "results"), help="output directory")
    parser.add_argument("--datasets", help="comma-separated names: " + ",".join(datasets.names()))
    parser.add_argument(
        "--peers", help="comma-separated peer names (default: every one that imports)"
    )
    parser.add_argument("--decisions", help="path of the decisions tool (bench/decisions.cpp)")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory children")
    parser.add_argument(
        "--update-readme",
        action="store_true",
        help="also write the headline table into README.md",
    )
    parser.add_argument("--no-targets", action="store_true",
                        help="skip the quality-target comparison (bench/targets.py)")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child)
        return 0

    start = time.perf_counter()
    notes: list[str] = []
    only = set(args.datasets.split(",")) if args.datasets else None
    if only and only - set(datasets.names()):
        parser.error(f"unknown data set(s): {', '.join(sorted(only - set(datasets.names())))}")
    sets, data_notes = datasets.load(args.quick, only)
    notes += data_notes
    vantrel = vantrel_codec(notes)
    wanted_peers = set(args.peers.split(",")) if args.peers else None
    others, peer_notes = peers.available(wanted_peers)
    notes += peer_notes
    tool = find_decisions_tool(args.decisions) if vantrel is not None else None
    if vantrel is not None:
        notes.append(
            f"decisions counted by {tool}"
            if tool
            else "decisions not counted: build bench/decisions (-DVANTREL_BUILD_BENCH=ON)"
        )
    info = machine()
    results = []
    with tempfile.TemporaryDirectory(prefix="vantrel-bench-") as tmp:
        for ds in sets:
            log(start, f"{ds.name}: {ds.samples.size:,} samples")
            results.append(run_dataset(ds, vantrel, others, args, tool, tmp, start))

    os.makedirs(args.out, exist_ok=True)
    stamp = f"{info['date']}, {info['cpu']}"
    if results:
        problem = plot(results, os.path.join(args.out, "e2e.png"), stamp)
        if problem:
            notes.append(problem)
    target_sets = [ds for ds in sets if ds.name in targets.DEFAULT_SETS]
    if vantrel is not None and target_sets and not args.no_targets:
        log(start, "quality targets against the peers (targets.md, targets.png)")
        targets.run(target_sets, args.quick, args.out, stamp, notes, wanted_peers)
    notes.append(f"run time {time.perf_counter() - start:.0f} s")
    text = markdown(results, info, notes, args.quick)
    with open(os.path.join(args.out, "e2e.md"), "w") as f:
        f.write(text)
    table = headline(results, info)
    with open(os.path.join(args.out, "headline.md"), "w") as f:
        f.write(table)
    if args.update_readme:
        problem = update_readme(os.path.join(HERE, os.pardir, "README.md"), table)
        if problem:
            print(problem, file=sys.stderr)
    with open(os.path.join(args.out, "e2e.json"), "w") as f:
        json.dump(
            to_json({"machine": info, "notes": notes, "quick": args.quick, "results": results}),
            f,
            separators=(",", ":"),
        )
    # The summary tables on standard output; the whole grid is in the file.
    print(text.split("\n## Every vantrel configuration")[0])
    log(start, f"wrote {args.out}/e2e.md, headline.md, e2e.json, e2e.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
