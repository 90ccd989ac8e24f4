"""The rate-distortion plot of ``vantrel eval --plot`` (needs matplotlib)."""

from __future__ import annotations

import math
import os
import tempfile
from typing import Any

from .errors import CliError
from .files import write_file_atomically

# series (a method, or the quality-target search) -> [(ratio, PSNR dB, label), ...]; the label is
# the scale, or the target PSNR of the search's points
RatePoints = dict[str, list[tuple[float, float, str]]]
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


def _ratio_locator(low: float, high: float) -> Any:
    """Ticks for the log ratio axis. Over a span within one factor of ten the axis is nearly
    linear and plain 1-2-5 multiples of powers of ten leave a label or two: evenly spaced
    round numbers label it instead; wider spans take more multiples the narrower they are."""
    from matplotlib.ticker import LogLocator, MaxNLocator

    span = high / low if low > 0 else math.inf
    if span <= 10:
        return MaxNLocator(nbins=8, steps=[1, 2, 2.5, 5, 10])
    subs = (1.0, 2.0, 3.0, 5.0, 7.0) if span <= 100 else (1.0, 2.0, 5.0)
    return LogLocator(base=10, subs=subs)


def plot_rate_distortion(path: str, title: str, results: RatePoints) -> None:
    plt = pyplot()
    from matplotlib.ticker import FuncFormatter, NullFormatter

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
            # Above the point for every other method, below for the rest: coinciding points
            # keep both labels readable.
            ax.annotate(s, (r, p), textcoords="offset points",
                        xytext=(4, 4 if k % 2 == 0 else -10), fontsize=7)
        ratios += [r for r, _, _ in finite]
    ax.set_xscale("log")
    if ratios:
        ax.xaxis.set_major_locator(_ratio_locator(min(ratios), max(ratios)))
    ax.xaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}"))
    ax.xaxis.set_minor_formatter(NullFormatter())
    ax.set_xlabel("compression ratio vs float32 (log scale)")
    ax.set_ylabel("PSNR (dB), peak = max - min")
    ax.set_title(f"vantrel rate-distortion: {os.path.basename(title)} (labels: scale or "
                 "target dB)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    suffix = os.path.splitext(path)[1].lower().lstrip(".") or "png"
    with tempfile.TemporaryFile() as buffer:
        fig.savefig(buffer, format=suffix)
        plt.close(fig)
        buffer.seek(0)
        write_file_atomically(path, buffer.read())
