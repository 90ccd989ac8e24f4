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
import glob
import json
import os
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass, replace
from typing import Any

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import datasets  # noqa: E402
import peers  # noqa: E402
import targets  # noqa: E402
from harness import Point, Runner, log, machine, peak_bytes, rss_bytes, speed, to_json  # noqa: E402
from report import headline, markdown, plot, update_readme  # noqa: E402
from vantrel_tools.core.names import ENTROPY_CODERS, WAVELET_METHODS  # noqa: E402
from vantrel_tools.core.container import HEADER_SIZE  # noqa: E402

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
    base = rss_bytes()
    peak_before = peak_bytes()
    if job["op"] == "compress":
        result = codec.compress(data, param)
    else:
        result = codec.decompress(data, job["n"])
    peak = peak_bytes()
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
