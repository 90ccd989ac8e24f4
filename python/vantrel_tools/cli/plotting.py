"""The rate-distortion plot of ``vantrel eval --plot`` (needs matplotlib)."""

from __future__ import annotations

import math
import os
import tempfile
from typing import Any

from .errors import CliError
from .files import write_file_atomically

# method -> [(ratio, PSNR dB, scale), ...]
RatePoints = dict[str, list[tuple[float, float, int]]]
# One look per method, in the order of the table: wavelets whose points coincide (db4 and sym4
# give the same ratios and PSNR on smooth signals) stay visible as a small marker inside a
# larger hollow one, on lines of different dashes.
_STYLES = (
    {"marker": "o", "markersize": 5, "linestyle": "-"},
    {"marker": "s", "markersize": 9, "linestyle": "--", "markerfacecolor": "none"},
    {"marker": "^", "markersize": 7, "linestyle": "-."},
    {"marker": "D", "markersize": 12, "linestyle": ":", "markerfacecolor": "none"},
)


def pyplot() -> Any:
    """matplotlib's pyplot drawing to files, or a CliError naming the install command."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CliError("--plot needs matplotlib (pip install matplotlib)") from None
    return plt


def _ratio_ticks(low: float, high: float) -> tuple[float, ...]:
    """Multiples of each power of ten to label on the log ratio axis: every one over a short
    range, where the plain 1-2-5 steps leave one label or none."""
    span = high / low if low > 0 else math.inf
    if span <= 10:
        return (1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0)
    if span <= 100:
        return (1.0, 2.0, 3.0, 5.0, 7.0)
    return (1.0, 2.0, 5.0)


def plot_rate_distortion(path: str, title: str, results: RatePoints) -> None:
    plt = pyplot()
    from matplotlib.ticker import LogLocator, NullFormatter, ScalarFormatter

    fig, ax = plt.subplots(figsize=(7, 4.5))
    drawn: dict[tuple[tuple[float, float], ...], str] = {}
    ratios = []
    for k, (method, points) in enumerate(results.items()):
        finite = [(r, p, s) for r, p, s in points if math.isfinite(p)]
        if not finite:
            continue
        key = tuple((r, p) for r, p, _ in finite)
        label = method if key not in drawn else f"{method} (same points as {drawn[key]})"
        drawn.setdefault(key, method)
        ax.plot([r for r, _, _ in finite], [p for _, p, _ in finite], label=label,
                **_STYLES[k % len(_STYLES)])
        for r, p, s in finite:
            ax.annotate(str(s), (r, p), textcoords="offset points", xytext=(4, 4), fontsize=7)
        ratios += [r for r, _, _ in finite]
    ax.set_xscale("log")
    subs = _ratio_ticks(min(ratios), max(ratios)) if ratios else (1.0, 2.0, 5.0)
    ax.xaxis.set_major_locator(LogLocator(base=10, subs=subs))
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
