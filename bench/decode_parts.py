"""Where the time of reading a container with a correction layer goes, on the real signals.

For each real signal of ``residual.py`` (lossless on its integer codes, and bounded at range/2^8
and range/2^12 on its float32 samples), the container ``vantrel_tools.compress_to`` writes is
read whole by ``vantrel_tools.decompress`` and in its parts: the base (``_native.decompress``),
the correction (``_native.correct`` on that base) and the rest (reading the trailer, rounding to
the output type, gaps). Times are nanoseconds a sample, best of seven rounds in which the three
calls alternate, one thread; the shares are of the whole read in the same run.

    python bench/decode_parts.py
"""

from __future__ import annotations

import os
import sys

for _threads in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_threads, "1")

import numpy as np  # noqa: E402

import vantrel_tools  # noqa: E402
from vantrel_tools import _native  # noqa: E402
from vantrel_tools.core.trailer import read_trailer  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import residual  # noqa: E402
from harness import best_times  # noqa: E402


def row(name: str, case: str, data: np.ndarray, bound: float) -> str:
    packed = bytes(vantrel_tools.compress_to(data, max_error=bound))
    trailer = read_trailer(packed)
    n = data.size
    calls = {"whole": lambda: vantrel_tools.decompress(packed),
             "base": lambda: _native.decompress(packed)}
    fmt = "none"
    if trailer is not None and trailer.refinement is not None:
        base = np.frombuffer(_native.decompress(packed), dtype=np.float32)
        calls["correct"] = lambda: _native.correct(base, trailer.refinement)
        fmt = {0: "adaptive", 1: "blocks"}.get(trailer.refinement[1], "?")
    times = best_times(calls, rounds=7)
    whole, t_base, t_correct = times["whole"], times["base"], times.get("correct", 0.0)
    rest = max(whole - t_base - t_correct, 0.0)
    per = 1e9 / n
    return (f"| {name} | {case} | {n} | {fmt} | {whole * per:.1f} | {t_base * per:.1f} "
            f"({t_base / whole:.2f}) | {t_correct * per:.1f} ({t_correct / whole:.2f}) "
            f"| {rest * per:.1f} ({rest / whole:.2f}) |")


def main() -> None:
    signals, notes = residual.load_signals()
    print("| signal | case | samples | stream | whole ns/sample | base (share) | correction (share) "
          "| rest (share) |")
    print("|---|---|---:|---|---:|---:|---:|---:|")
    for s in signals:
        if s.codes is not None:
            codes = s.codes.astype(np.int16) if np.abs(s.codes).max() < 2**15 else s.codes
            print(row(s.name, "lossless", codes, 0))
        x = s.x.astype(np.float32)
        for k in (8, 12):
            bound = float(x.max() - x.min()) / 2**k
            print(row(s.name, f"range/2^{k}", x, bound))
    for note in notes:
        print(note)


if __name__ == "__main__":
    main()
