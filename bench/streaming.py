"""Peak memory of reading a long EDF block by block against reading it whole, and of the
command line's ``compress REC.edf -o REC.zarr`` and ``decompress REC.zarr -o BACK.edf`` streamed
against the same commands reading and decoding whole, for a recording and one twice as long,
measured in the same run.

    python bench/streaming.py [--minutes 60] [--channels 16] [--rate 256] [--threads 2]
                              [--quick] [--out bench/results]

Two EDF files of `--channels` channels at `--rate` Hz are written (by the block writer, so the
parent stays small): `--minutes` long and twice that. Each is then read in a fresh process, once
with ``vantrel_tools.io.read_blocks`` (blocks of 2^16 samples, each block dropped after use) and
once with ``read_signal``; the process reports its peak resident memory (VmHWM, else
``resource.getrusage``) and its resident memory after the imports, before the file is opened.

The commands run in a fresh process each (``--child cli``), with and without ``--psnr 60``;
the whole path is the same command with block reading and writing turned off in that process.

The figures are ratios within the run: the growth of each path's peak when the duration doubles
(target for the block path and the streamed commands: at most 1.15), the streamed peak over the
whole path's, and bytes per sample: the peak over the recording's samples, and the peak above the
imports over the samples of one chunk per channel and thread.
``--quick`` reads 1 and 2 minutes (a smoke run). ``--out DIR`` also writes ``DIR/streaming.md``.

One chunk coded: ``compress_to_target`` at PSNR 60 dB on an EDF channel's chunk of 2^18 and of
2^22 samples (float64 physical values on the file's grid), and ``compress`` with the default
options on a float32 chunk of those sizes, each in a fresh process: its peak above the resident
memory with the chunk made, per sample. ``--baseline DIR`` measures this and the streamed
``--psnr 60`` command also with the packages installed in DIR (``pip install --target DIR .`` of
the code compared against) ahead on the path, in the same run.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from harness import machine, peak_bytes, rss_bytes

BLOCK_SAMPLES = 1 << 16


def child(mode: str, path: str) -> None:
    from vantrel_tools.io import read_blocks, read_signal

    base = rss_bytes()
    start = time.perf_counter()
    samples = 0
    if mode == "blocks":
        for block in read_blocks(path, BLOCK_SAMPLES):
            samples += sum(c.size for c in block)
    elif mode == "edfio":
        import edfio

        edf = edfio.read_edf(path)  # lazy: the data records are a memory map of the file
        span = BLOCK_SAMPLES / max(s.sampling_frequency for s in edf.signals)
        for first in np.arange(0.0, edf.duration, span):
            last = min(edf.duration, first + span)
            samples += sum(s.get_data_slice(first, last).size for s in edf.signals)
    else:
        signal = read_signal(path)
        samples = sum(c.size for c in signal.channels)
        del signal
    seconds = time.perf_counter() - start
    print(json.dumps({"base": base, "peak": peak_bytes(), "samples": samples,
                      "seconds": seconds}))


def child_cli(command: str, whole: str) -> None:
    from vantrel_tools.cli import archives, main

    if whole == "whole":
        archives.BLOCK_FORMATS = {}  # nothing read or written by blocks: today's whole path
    base = rss_bytes()
    start = time.perf_counter()
    code = main(json.loads(command))
    seconds = time.perf_counter() - start
    if code:
        raise SystemExit(f"exit status {code}")
    print(json.dumps({"base": base, "peak": peak_bytes(), "samples": 0, "seconds": seconds}))


def child_search(n: int) -> None:
    """One chunk of an EDF channel (float64 physical values on the file's grid, as the archive
    writer hands it over) coded to PSNR 60 dB."""
    from vantrel_tools.core.codec import compress_to_target
    from vantrel_tools.core.options import QualityTarget
    from vantrel_tools.io.types import ChannelInfo

    rng = np.random.default_rng(1)
    info = ChannelInfo(label="EEG", rate=256.0, unit="uV", physical_range=(-500.0, 500.0),
                       digital_range=(-32768, 32767))
    gain = 1000.0 / 65535.0  # the EDF reader's calibration
    chunk = np.empty(n)
    for at in range(0, n, 1 << 16):  # in blocks, so that making it sets no peak of its own
        t = np.arange(at, min(n, at + (1 << 16))) / 256.0
        wave = 40 * np.sin(2 * np.pi * 7.0 * t) + 20 * np.sin(2 * np.pi * 1.3 * t)
        codes = np.rint((wave + 5 * rng.standard_normal(t.size)) * 32.767).astype(np.int16)
        chunk[at:at + t.size] = (codes + (500.0 / gain - 32767)) * gain
    grid = info.grid
    base = rss_bytes()
    start = time.perf_counter()
    found = compress_to_target(chunk, QualityTarget("psnr", 60.0), grid=grid)
    seconds = time.perf_counter() - start
    print(json.dumps({"base": base, "peak": peak_bytes(), "samples": n, "seconds": seconds,
                      "digest": hashlib.sha256(found.container).hexdigest()}))


def child_coder(n: int) -> None:
    """One float32 chunk coded with the default options."""
    from vantrel_tools.core.codec import compress

    rng = np.random.default_rng(1)
    chunk = np.empty(n, np.float32)
    for at in range(0, n, 1 << 16):
        t = np.arange(at, min(n, at + (1 << 16))) / 256.0
        chunk[at:at + t.size] = (40 * np.sin(2 * np.pi * 7.0 * t)
                                 + 5 * rng.standard_normal(t.size))
    base = rss_bytes()
    start = time.perf_counter()
    container = compress(chunk)
    seconds = time.perf_counter() - start
    print(json.dumps({"base": base, "peak": peak_bytes(), "samples": n, "seconds": seconds,
                      "digest": hashlib.sha256(container).hexdigest()}))


def measure(mode: str, path: str, python_path: str | None = None) -> dict:
    env = dict(os.environ)
    if python_path:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (python_path, env.get("PYTHONPATH")) if p)
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", mode, path],
                         capture_output=True, text=True, timeout=1800, env=env)
    if out.returncode != 0:
        raise RuntimeError(out.stderr.strip().splitlines()[-1] if out.stderr.strip()
                           else "failed")
    return json.loads(out.stdout)


def write_edf(path: str, channels: int, rate: int, seconds: int) -> None:
    """An EEG-like recording (a few rhythms and noise per channel), written block by block."""
    from vantrel_tools.io import ChannelInfo, Signal, open_block_writer

    info = [ChannelInfo(label=f"EEG {k}", rate=float(rate), unit="uV",
                        physical_range=(-500.0, 500.0), digital_range=(-32768, 32767))
            for k in range(channels)]
    header = Signal([np.empty(0) for _ in range(channels)], info=info)
    rng = np.random.default_rng(0)
    freqs = rng.uniform(1.0, 30.0, (channels, 3))
    with open_block_writer(path, header) as writer:
        for second in range(0, seconds, 60):
            t = (second * rate + np.arange(60 * rate)) / rate
            writer.write([40 * np.sin(2 * np.pi * f[:, None] * t).sum(0)
                          + 5 * rng.standard_normal(t.size) for f in freqs])


_CHUNK = 1 << 18  # the archives' default chunk


def _commands(scratch: str, factor: int, edf: str, threads: int) -> list[tuple[str, list[str]]]:
    """The commands measured on one recording; WAY in the last argument becomes the path taken,
    so that every run writes its own output."""
    archive = os.path.join(scratch, f"rec{factor}.zarr")
    common = ["-q", "--threads", str(threads)]
    return [
        ("compress", ["compress", edf, *common, "-o", archive[:-5] + "-WAY.zarr"]),
        ("compress --psnr 60", ["compress", edf, *common, "--psnr", "60", "-o",
                                archive[:-5] + "-psnr-WAY.zarr"]),
        ("decompress", ["decompress", archive[:-5] + "-streamed.zarr", *common, "-o",
                        os.path.join(scratch, f"back{factor}-WAY.edf")]),
    ]


def _command_table(rows: dict, args: argparse.Namespace, samples: dict, minutes: int
                   ) -> list[str]:
    mb = 1e6
    held = args.channels * _CHUNK + args.threads * _CHUNK  # a chunk per channel and thread
    lines = [
        "",
        "## The command line, streamed against whole",
        "",
        f"`vantrel ... --threads {args.threads}` in a fresh process each; the whole path is the "
        "same command with block reading and writing turned off. Peak resident memory (VmHWM); "
        "B/sample: the peak over the recording's samples; B/held: the peak above the fixed "
        "amount (the same streamed command on 10 s of the recording, `fixed` in MB) over the "
        f"{held} samples of one {_CHUNK}-sample chunk per channel and thread.",
        "",
        "| command | path | peak 1x (MB) | peak 2x (MB) | growth 2x / 1x | B/sample 2x "
        "| B/held 2x | streamed / whole 2x | time 1x (s) | time 2x (s) |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    names = sorted({name for (_, *rest) in rows if len(rest) == 2 for name in rest[:1]
                    if isinstance(name, str)},
                   key=lambda n: (n.startswith("de"), n))
    for name in names:
        for way in ("streamed", "whole"):
            one, two = rows[(1, name, way)], rows[(2, name, way)]
            other = rows[(2, name, "whole")]
            lines.append(
                f"| `{name}` | {way} | {one['peak'] / mb:.1f} | {two['peak'] / mb:.1f} | "
                f"{two['peak'] / one['peak']:.3f} | {two['peak'] / samples[2]:.2f} | "
                f"{(two['peak'] - rows[(0, name, 'streamed')]['peak']) / held:.2f} | "
                f"{two['peak'] / other['peak']:.3f} | {one['seconds']:.1f} | "
                f"{two['seconds']:.1f} |")
    lines.append("")
    lines.append("fixed: " + ", ".join(f"`{name}` {rows[(0, name, 'streamed')]['peak'] / mb:.1f}"
                                        for name in names))
    return lines


_SEARCH_SIZES = (1 << 18, 1 << 22)
_COMPARE_RUNS = 3


def _search_table(rows: dict, args: argparse.Namespace) -> list[str]:
    held = args.channels * _CHUNK + args.threads * _CHUNK
    ways = ["after", "before"] if args.baseline else ["after"]
    lines = ["", "## One chunk coded", "",
             "`compress_to_target(chunk, psnr 60)` on an EDF channel's chunk (float64 on the "
             "file's grid), and `compress(chunk)` with the default options on a float32 chunk, "
             "in a fresh process each: "
             "the peak above the resident memory with the chunk made, per sample; before: the "
             "baseline packages in the same run.", "",
             "| call | samples | " + " | ".join(f"B/sample {w}" for w in ways)
             + (" | after / before | same container" if args.baseline else "")
             + " | " + " | ".join(f"time {w} (s)" for w in ways) + " |",
             "|---|---:|" + "---:|" * (2 * len(ways) + (2 if args.baseline else 0))]
    for mode, n in [(m, n) for m in ("search", "coder") for n in _SEARCH_SIZES]:
        got = {"after": rows[(mode, n)]}
        if args.baseline:
            got["before"] = rows[(mode, n, "before")]
        per = {w: (got[w]["peak"] - got[w]["base"]) / n for w in ways}
        cells = [f"{per[w]:.2f}" for w in ways]
        if args.baseline:
            cells += [f"{per['after'] / per['before']:.3f}",
                      "yes" if got["after"]["digest"] == got["before"]["digest"] else "NO"]
        cells += [f"{got[w]['seconds']:.2f}" for w in ways]
        call = "compress_to_target" if mode == "search" else "compress"
        lines.append(f"| `{call}` | {n} | " + " | ".join(cells) + " |")
    if args.baseline:
        name = "compress --psnr 60"
        fixed = {w: rows[(0, name, w if w == "before" else "streamed")]["peak"] for w in ways}
        per = {w: (statistics.median(rows[("compare", w)]) - fixed[w]) / held for w in ways}
        lines += ["", f"`{name}` streamed, 2x, median of {_COMPARE_RUNS} alternating runs each: "
                      f"B/held after {per['after']:.2f}, before {per['before']:.2f}, after / "
                      f"before {per['after'] / per['before']:.3f}"]
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=int, default=60)
    parser.add_argument("--channels", type=int, default=16)
    parser.add_argument("--rate", type=int, default=256)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out")
    parser.add_argument("--baseline", help="installed packages to compare against")
    parser.add_argument("--child", nargs=2, metavar=("MODE", "PATH"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child and args.child[0].startswith("["):
        child_cli(*args.child)
        return 0
    if args.child and args.child[0] == "coder":
        child_coder(int(args.child[1]))
        return 0
    if args.child and args.child[0] == "search":
        child_search(int(args.child[1]))
        return 0
    if args.child:
        child(*args.child)
        return 0
    minutes = 1 if args.quick else args.minutes
    rows = {}
    with tempfile.TemporaryDirectory(prefix="vantrel-streaming-") as scratch:
        for factor in (1, 2):
            path = os.path.join(scratch, f"rec{factor}.edf")
            write_edf(path, args.channels, args.rate, 60 * minutes * factor)
            for mode in ("blocks", "edfio", "whole"):
                rows[(factor, mode)] = measure(mode, path)
                r = rows[(factor, mode)]
                print(f"{factor * minutes:4d} min {mode:6s}: peak {r['peak'] / 1e6:7.1f} MB, "
                      f"after imports {r['base'] / 1e6:6.1f} MB, {r['seconds']:.2f} s")
            for name, argv in _commands(scratch, factor, path, args.threads):
                for way in ("streamed", "whole"):
                    command = [*argv[:-1], argv[-1].replace("WAY", way)]
                    rows[(factor, name, way)] = r = measure(json.dumps(command), way)
                    print(f"{factor * minutes:4d} min {name} {way}: peak {r['peak'] / 1e6:7.1f}"
                          f" MB, {r['seconds']:.1f} s", flush=True)
                if args.baseline and "--psnr" in argv and factor == 2:
                    # Two-thread peaks vary from run to run: alternating runs of each.
                    for i in range(_COMPARE_RUNS):
                        for way, where in (("before", args.baseline), ("after", None)):
                            command = [*argv[:-1], argv[-1].replace("WAY", f"{way}{i}")]
                            rows.setdefault(("compare", way), []).append(
                                measure(json.dumps(command), "streamed", where)["peak"])
        # The fixed amount: the same commands on ten seconds of the recording.
        path = os.path.join(scratch, "rec0.edf")
        write_edf(path, args.channels, args.rate, 10)
        for name, argv in _commands(scratch, 0, path, args.threads):
            command = [*argv[:-1], argv[-1].replace("WAY", "streamed")]
            rows[(0, name, "streamed")] = measure(json.dumps(command), "streamed")
            if args.baseline and "--psnr" in argv:
                command = [*argv[:-1], argv[-1].replace("WAY", "before")]
                rows[(0, name, "before")] = measure(json.dumps(command), "streamed",
                                                    args.baseline)
        for mode in ("search", "coder"):
            for n in _SEARCH_SIZES:
                rows[(mode, n)] = measure(mode, str(n))
                if args.baseline:
                    rows[(mode, n, "before")] = measure(mode, str(n), args.baseline)
    mb = 1e6
    samples = {f: rows[(f, "blocks")]["samples"] for f in (1, 2)}
    lines = [
        "# Reading a long EDF block by block",
        "",
        f"{args.channels} channels at {args.rate} Hz, {minutes} and {2 * minutes} min "
        f"({samples[1]} and {samples[2]} samples); blocks of {BLOCK_SAMPLES} samples per "
        "channel. Each read in a fresh process; peak resident memory (VmHWM).",
        f"Machine: {machine().get('cpu', '?')}; {time.strftime('%Y-%m-%d')}.",
        "",
        "| path | peak, 1x (MB) | peak, 2x (MB) | growth 2x / 1x | after imports (MB) "
        "| time 1x (s) | time 2x (s) |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for mode, name in (("blocks", "read_blocks"), ("edfio", "edfio, lazy"),
                       ("whole", "read_signal")):
        one, two = rows[(1, mode)], rows[(2, mode)]
        lines.append(f"| {name} | {one['peak'] / mb:.1f} | {two['peak'] / mb:.1f} | "
                     f"{two['peak'] / one['peak']:.3f} | {one['base'] / mb:.1f} | "
                     f"{one['seconds']:.2f} | {two['seconds']:.2f} |")
    for factor in (1, 2):
        blocks, whole = rows[(factor, "blocks")], rows[(factor, "whole")]
        above = [(blocks["peak"] - blocks["base"]), (whole["peak"] - whole["base"])]
        lines.append("")
        lines.append(f"{factor}x: block peak / whole peak = {blocks['peak'] / whole['peak']:.3f};"
                     f" above the imports {above[0] / above[1]:.3f}; time blocks / whole "
                     f"{blocks['seconds'] / whole['seconds']:.2f}")
    lines += _command_table(rows, args, samples, minutes)
    lines += _search_table(rows, args)
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        with open(os.path.join(args.out, "streaming.md"), "w") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
