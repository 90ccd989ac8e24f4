"""The rate-distortion plot of ``vantrel eval --plot`` (needs matplotlib)."""

from __future__ import annotations

import math
import os
import tempfile

from .errors import CliError
from .files import write_file_atomically

# method -> [(ratio, PSNR dB, scale), ...]
RatePoints = dict[str, list[tuple[float, float, int]]]


def plot_rate_distortion(path: str, title: str, results: RatePoints) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import LogLocator, NullFormatter, ScalarFormatter
    except ImportError:
        raise CliError("--plot needs matplotlib (pip install matplotlib)") from None
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for method, points in results.items():
        finite = [(r, p, s) for r, p, s in points if math.isfinite(p)]
        if not finite:
            continue
        ax.plot([r for r, _, _ in finite], [p for _, p, _ in finite], marker="o", label=method)
        for r, p, s in finite:
            ax.annotate(str(s), (r, p), textcoords="offset points", xytext=(4, 4), fontsize=7)
    ax.set_xscale("log")
    ax.xaxis.set_major_locator(LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
    ax.xaxis.set_major_formatter(ScalarFormatter())
    ax.xaxis.set_minor_formatter(NullFormatter())
    ax.set_xlabel("compression ratio vs float32 (log scale)")
    ax.set_ylabel("PSNR (dB), peak = max - min")
    ax.set_title(f"vantrel rate-distortion: {os.path.basename(title)} (labels: scale)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    suffix = os.path.splitext(path)[1].lower().lstrip(".") or "png"
    with tempfile.TemporaryFile() as buffer:
        fig.savefig(buffer, format=suffix)
        plt.close(fig)
        buffer.seek(0)
        write_file_atomically(path, buffer.read())
