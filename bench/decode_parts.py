"""Where the time of reading a container with a correction layer goes, on the real signals.

For each real signal of ``residual.py`` (lossless on its integer codes, and bounded at range/2^8
and range/2^12 on its float32 samples), the container ``vantrel_tools.compress_to`` writes is
read whole by ``vantrel_tools.decompress`` and in its parts: the base (``_native.decompress``),
the correction (``_native.correct`` on that base) and the rest (reading the trailer, rounding to
the output type, gaps). Times are nanoseconds a sample, best of seven rounds in which the three
calls alternate, one thread; the shares are of the whole read in the same run.

With ``--before DIR``, an earlier build of the package (its ``vantrel_tools`` folder copied to a
folder of another name, say ``/tmp/old/vantrel_tools_before``, before rebuilding) reads every
container too, in the same rounds: the last columns are the earlier build's correction and whole
read over this build's, and the run stops if the two builds return different samples.

    python bench/decode_parts.py [--before DIR]
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import os
import sys
from typing import Any

for _threads in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_threads, "1")

import numpy as np  # noqa: E402

import vantrel_tools  # noqa: E402
from vantrel_tools import _native  # noqa: E402
from vantrel_tools.core.trailer import read_trailer  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import residual  # noqa: E402
from harness import best_times  # noqa: E402


def load_before(path: str) -> tuple[Any, Any]:
    """The package copied to `path` under its folder's name, and its extension module."""
    path = os.path.abspath(path)
    name = os.path.basename(path.rstrip(os.sep))
    where = importlib.util.spec_from_file_location(name, os.path.join(path, "__init__.py"),
                                                   submodule_search_locations=[path])
    assert where is not None and where.loader is not None
    package = importlib.util.module_from_spec(where)
    sys.modules[name] = package
    where.loader.exec_module(package)
    return package, importlib.import_module(f"{name}._native")


def row(name: str, case: str, data: np.ndarray, bound: float, before: tuple[Any, Any] | None) -> str:
    packed = bytes(vantrel_tools.compress_to(data, max_error=bound))
    trailer = read_trailer(packed)
    n = data.size
    calls = {"whole": lambda: vantrel_tools.decompress(packed),
             "base": lambda: _native.decompress(packed)}
    fmt = "none"
    base = np.frombuffer(_native.decompress(packed), dtype=np.float32)
    if trailer is not None and trailer.refinement is not None:
        calls["correct"] = lambda: _native.correct(base, trailer.refinement)
        fmt = {0: "adaptive", 1: "blocks"}.get(trailer.refinement[1], "?")
    if before is not None:
        package, native = before
        mine, theirs = vantrel_tools.decompress(packed), package.decompress(packed)
        if mine.dtype != theirs.dtype or mine.tobytes() != theirs.tobytes():
            sys.exit(f"{name} {case}: the earlier build reads other samples")
        calls["whole before"] = lambda: package.decompress(packed)
        if "correct" in calls:
            if native.correct(base, trailer.refinement) != _native.correct(base, trailer.refinement):
                sys.exit(f"{name} {case}: the earlier build corrects to other values")
            calls["correct before"] = lambda: native.correct(base, trailer.refinement)
    times = best_times(calls, rounds=7)
    whole, t_base, t_correct = times["whole"], times["base"], times.get("correct", 0.0)
    rest = max(whole - t_base - t_correct, 0.0)
    per = 1e9 / n
    line = (f"| {name} | {case} | {n} | {fmt} | {whole * per:.1f} | {t_base * per:.1f} "
            f"({t_base / whole:.2f}) | {t_correct * per:.1f} ({t_correct / whole:.2f}) "
            f"| {rest * per:.1f} ({rest / whole:.2f}) |")
    if before is not None:
        speedup = times.get("correct before", 0.0) / t_correct if t_correct else float("nan")
        line += f" {speedup:.2f} | {times['whole before'] / whole:.2f} |"
    return line


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="an earlier build's package folder, renamed")
    args = parser.parse_args()
    before = load_before(args.before) if args.before else None
    signals, notes = residual.load_signals()
    head = ("| signal | case | samples | stream | whole ns/sample | base (share) "
            "| correction (share) | rest (share) |")
    rule = "|---|---|---:|---|---:|---:|---:|---:|"
    if before is not None:
        head += " correction: before over now | whole: before over now |"
        rule += "---:|---:|"
    print(head)
    print(rule)
    for s in signals:
        if s.codes is not None:
            codes = s.codes.astype(np.int16) if np.abs(s.codes).max() < 2**15 else s.codes
            print(row(s.name, "lossless", codes, 0, before))
        x = s.x.astype(np.float32)
        for k in (8, 12):
            bound = float(x.max() - x.min()) / 2**k
            print(row(s.name, f"range/2^{k}", x, bound, before))
    for note in notes:
        print(note)


if __name__ == "__main__":
    main()
