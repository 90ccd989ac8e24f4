"""Quality targets: vantrel's search (vantrel_tools.compress_to) against SZ3 and zfp tuned to the
same quality, on the same signals in the same run.

For every PSNR target (and PRD targets on the ECG sets) vantrel codes to the target with the
method chosen by its search; each peer's error bound is bisected until it reaches the same PSNR.
For maximum-error targets every codec gets the bound itself (each guarantees it). The budget
rows time compress_to against a plain compress_signal of the same signal, in alternating rounds.

    python bench/targets.py [--quick] [--datasets ecg_long,speech] [--out bench/results]

writes targets.md and targets.png; bench/e2e.py runs the same and adds them to its results.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import datasets  # noqa: E402
import peers  # noqa: E402
from harness import Runner, best_times  # noqa: E402

PSNR_TARGETS = (55.0, 60.0, 65.0, 70.0, 75.0, 80.0)
PRD_TARGETS = (0.5, 1.0, 2.0)  # percent, the ECG convention
MAX_ERROR_FRACTIONS = (1e-3, 1e-4)  # of the signal's range
LADDER = (8, 10, 11, 12)  # compress_signal's scales, for the plot
DEFAULT_SETS = ("ecg_long", "ecg", "speech", "sine_noise")
PEERS = ("sz3", "zfp")


class TargetMode(peers.Codec):
    """vantrel's quality search: param is (metric, value, method or None)."""

    name = "vantrel"

    def __init__(self) -> None:
        import vantrel
        from vantrel_tools.core.codec import compress_to_target
        from vantrel_tools.core.target import QualityTarget

        self._decode, self._code = vantrel.decompress_signal, compress_to_target
        self._target = QualityTarget

    def compress(self, x, param):
        metric, value, method = param
        return self._code(x, self._target(metric, value), method).container

    def decompress(self, blob, n):
        return self._decode(blob)


def _point(runner, param, repeats: int) -> dict:
    p = runner.timed(param, repeats)
    q = p.quality
    return {"ratio": q.ratio, "psnr": q.psnr, "prd": q.prd, "max_err": q.max_err,
            "comp": p.compress.best, "decomp": p.decompress.best, "setting": p.setting}


def run_dataset(ds, codecs: list, quick: bool) -> dict:
    import vantrel

    x = ds.samples
    repeats = 2 if quick else 3
    mine = Runner(TargetMode(), x)
    runners = {c.name: Runner(c, x, quick) for c in codecs}
    peak = float(x.max() - x.min())
    rms = float(np.sqrt(np.mean(x.astype(np.float64) ** 2)))
    targets = [("psnr", t) for t in PSNR_TARGETS]
    if ds.name.startswith("ecg"):
        targets += [("prd", t) for t in PRD_TARGETS]
    targets += [("max_error", f * peak) for f in MAX_ERROR_FRACTIONS]
    rows = []
    for metric, value in targets:
        row = {"metric": metric, "value": value, "peers": {}}
        try:
            row["vantrel"] = _point(mine, (metric, value, None), repeats)
        except ValueError as e:
            row["vantrel"] = {"refused": str(e)}
        # The PSNR a PRD target stands for on this signal: the same squared error.
        psnr = value if metric == "psnr" else (
            20 * math.log10(peak / (value / 100 * rms)) if metric == "prd" else None)
        for name, runner in runners.items():
            point = runner.match(psnr, 40) if psnr is not None else runner.evaluate(value)
            row["peers"][name] = None if point is None else _point(runner, point.param, repeats)
        rows.append(row)
    ladder = []
    default_runner = Runner(peers.Vantrel(), x)
    for scale in LADDER:
        q = default_runner.evaluate(("cdf97", None, scale, "low")).quality
        ladder.append({"scale": scale, "ratio": q.ratio, "psnr": q.psnr})
    rounds = 3 if quick else 7
    times = best_times({
        "plain": lambda: vantrel.compress_signal(x),
        "fixed": lambda: mine.codec.compress(x, ("psnr", 70.0, "cdf97")),
        "chosen": lambda: mine.codec.compress(x, ("psnr", 70.0, None)),
    }, rounds)
    return {"name": ds.name, "samples": int(x.size), "source": ds.source, "rows": rows,
            "ladder": ladder, "budget": {k: v / times["plain"] for k, v in times.items()}}


def _cell(p: dict | None, keys=("ratio", "psnr")) -> str:
    if p is None:
        return "not reached | " * len(keys) + "|"
    if "refused" in p:
        return "refused | " * len(keys) + "|"
    parts = [f"{p['ratio']:.2f}", f"{p['psnr']:.2f}" if "psnr" in keys else f"{p['max_err']:.3g}"]
    return " | ".join(parts) + f" | {p['comp']:.0f} / {p['decomp']:.0f} |"


def markdown(results: list[dict], stamp: str) -> str:
    out = [f"# Quality targets: vantrel's search against SZ3 and zfp ({stamp})", "",
           "Ratio: float32 bytes / compressed bytes. Speeds: best MB/s of float32 input, "
           "compress / decompress, one thread. vantrel codes each target with "
           "`vantrel_tools.compress_to` (method chosen by the search); SZ3 (absolute bound) and "
           "zfp (accuracy) are bisected to the same PSNR, or given the maximum error itself.", ""]
    for r in results:
        out += [f"## {r['name']} ({r['samples']:,} samples; {r['source']})", "",
                "| target | vantrel ratio | PSNR / max err | MB/s | SZ3 ratio | PSNR / max err "
                "| MB/s | zfp ratio | PSNR / max err | MB/s | vantrel / SZ3 | vantrel / zfp |",
                "|---|---|---|---|---|---|---|---|---|---|---|---|"]
        for row in r["rows"]:
            keys = ("ratio", "max_err") if row["metric"] == "max_error" else ("ratio", "psnr")
            v = row["vantrel"]
            cells = [_cell(v, keys)] + [_cell(row["peers"][n], keys) if n in row["peers"]
                                         else "- | - | - |" for n in PEERS]
            gains = []
            for n in PEERS:
                p = row["peers"].get(n)
                ok = p is not None and "ratio" in v and "ratio" in p
                gains.append(f"{v['ratio'] / p['ratio']:.2f}" if ok else "-")
            unit = {"psnr": " dB", "prd": " %", "max_error": ""}[row["metric"]]
            out.append(f"| {row['metric']} {row['value']:.4g}{unit} | " + " ".join(cells)
                       + f" {gains[0]} | {gains[1]} |")
        b = r["budget"]
        out += ["", f"Time of compress_to at PSNR 70 dB over compress_signal's default, same run: "
                    f"method fixed (cdf97) {b['fixed']:.2f}, method chosen {b['chosen']:.2f}.", ""]
    return "\n".join(out) + "\n"


def plot(results: list[dict], path: str) -> str | None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "targets.png not drawn: matplotlib is not installed"
    fig, axes = plt.subplots(1, len(results), figsize=(5 * len(results), 4), squeeze=False)
    for ax, r in zip(axes[0], results):
        psnr_rows = [row for row in r["rows"] if row["metric"] == "psnr"]
        series = {"vantrel target": [row["vantrel"] for row in psnr_rows],
                  "vantrel scales 8-12": r["ladder"]}
        for n in PEERS:
            series[n] = [row["peers"].get(n) for row in psnr_rows]
        for label, points in series.items():
            good = [p for p in points if p and "ratio" in p and math.isfinite(p["psnr"])]
            ax.plot([p["ratio"] for p in good], [p["psnr"] for p in good], marker="o",
                    label=label, linestyle="--" if "scales" in label else "-")
        ax.set_xscale("log")
        ax.set_title(r["name"])
        ax.set_xlabel("ratio vs float32")
        ax.set_ylabel("PSNR dB")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return None


def run(sets: list, quick: bool, out_dir: str, stamp: str, notes: list[str],
        only: set[str] | None = None) -> list[dict]:
    codecs, peer_notes = peers.available(set(PEERS) & only if only else set(PEERS))
    notes += peer_notes
    results = [run_dataset(ds, codecs, quick) for ds in sets]
    with open(os.path.join(out_dir, "targets.md"), "w") as f:
        f.write(markdown(results, stamp))
    problem = plot(results, os.path.join(out_dir, "targets.png")) if results else None
    if problem:
        notes.append(problem)
    return results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small data (smoke run)")
    parser.add_argument("--datasets", default=",".join(DEFAULT_SETS))
    parser.add_argument("--out", default=os.path.join(HERE, "results"))
    args = parser.parse_args()
    sets, notes = datasets.load(args.quick, set(args.datasets.split(",")))
    os.makedirs(args.out, exist_ok=True)
    run(sets, args.quick, args.out, time.strftime("%Y-%m-%d"), notes)
    with open(os.path.join(args.out, "targets.md")) as f:
        print(f.read())
    for note in notes:
        print(note)
    return 0


if __name__ == "__main__":
    sys.exit(main())
