"""The end-to-end benchmark's report: the markdown tables, the README's headline block and the
rate-distortion plot, from the results `e2e.run_dataset` gives."""

from __future__ import annotations

import math

import peers
from harness import Speed, geomean
from vantrel_tools.core.names import ENTROPY_CODERS

CODERS = list(ENTROPY_CODERS)
DEFAULT = peers.Vantrel.DEFAULT

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


