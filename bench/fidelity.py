"""Quality targets in the file the user gets back, on real files nobody on the project made.

    python bench/fidelity.py [FILE ...]

Each channel of each file is coded to a target the way ``vantrel compress`` codes it (the search
told where the writer puts the samples) and, as the baseline of the same run, without that
grid; both are written back to the file's own format by the project's writer and read back by
the format's own library (pyedflib, wfdb, soundfile). The table gives the target asked and the
worst channel's value reached in the file written back, in NumPy float64 against the original
physical values the same library reads.

Without FILE: pyedflib's test recordings (its package data), a WFDB record that wfdb writes from
PyWavelets' ECG samples (MIT-BIH codes) and CPython's 16- and 24-bit test WAV files, where
installed.
"""

from __future__ import annotations

import argparse
import glob
import os
import sys
import sysconfig
import tempfile

import numpy as np

from vantrel_tools.core.codec import compress_to_target, decompress
from vantrel_tools.core.target import QualityTarget
from vantrel_tools.io import Signal, encode_recording, read_signal

TARGETS = [("max_error", 0.5), ("psnr", 60.0), ("prd", 1.0), ("rmse", 0.1)]


def library_read(path: str, edfio_too: bool = False) -> list[np.ndarray]:
    """The physical values of every channel as the format's own library reads them (EDF/BDF:
    pyedflib, or edfio with `edfio_too`)."""
    if path.endswith((".edf", ".bdf")):
        if edfio_too:
            import edfio

            read = edfio.read_bdf if path.endswith(".bdf") else edfio.read_edf
            return [np.asarray(s.data, np.float64) for s in read(path).signals]
        import pyedflib

        with pyedflib.EdfReader(path) as r:
            return [r.readSignal(k) for k in range(r.signals_in_file)]
    if path.endswith(".hea"):
        import wfdb

        return list(wfdb.rdrecord(path[: -len(".hea")]).p_signal.T)
    import soundfile

    return list(soundfile.read(path, dtype="float64", always_2d=True)[0].T)


def measured(metric: str, x: np.ndarray, y: np.ndarray) -> float:
    e = y - x
    rmse = float(np.sqrt(np.mean(e * e)))
    return {"psnr": 20 * np.log10(np.ptp(x) / rmse) if rmse else np.inf,
            "prd": 100 * np.linalg.norm(e) / np.linalg.norm(x), "rmse": rmse,
            "max_error": float(np.abs(e).max())}[metric]


def reached(path: str, signal: Signal, originals: list[np.ndarray], target: QualityTarget,
            with_grid: bool, folder: str) -> float | str:
    """The worst channel's value in the file written back; the refusal when a channel is."""
    decoded = []
    for k, channel in enumerate(signal.channels):
        grid = signal.channel_info(k).grid if with_grid else None
        try:
            found = compress_to_target(channel, target, grid=grid)
        except ValueError as exc:
            return f"refused: {str(exc).split(';')[-1].strip()}"
        decoded.append(decompress(found.container))
    out = os.path.join(folder, "back" + os.path.splitext(path)[1])
    back = Signal(decoded, signal.rate, info=signal.info, source=signal.source,
                  attrs=signal.attrs, start=signal.start, annotations=signal.annotations)
    for name, data in encode_recording(out, back).files.items():
        with open(name, "wb") as f:
            f.write(data)
    try:
        written = library_read(out)
    except OSError as exc:  # pyedflib refuses the file written back: both as edfio reads them
        print(f"  pyedflib: {exc}; edfio reads it", file=sys.stderr)
        originals, written = library_read(path, True), library_read(out, True)
    values = [measured(target.metric, x, y) for x, y in zip(originals, written, strict=True)]
    return min(values) if target.metric == "psnr" else max(values)


def default_files(folder: str) -> list[str]:
    site = sysconfig.get_paths()["purelib"]
    files = sorted(glob.glob(os.path.join(site, "pyedflib", "tests", "data", "*.[eb]df")))
    try:
        import pywt
        import wfdb

        codes = pywt.data.ecg().astype(np.float64)  # MIT-BIH record codes, 360 Hz
        wfdb.wrsamp("ecg", fs=360, units=["mV"], sig_name=["MLII"], write_dir=folder,
                    p_signal=(codes / 200.0)[:, None], fmt=["212"], adc_gain=[200.0],
                    baseline=[0])
        files.append(os.path.join(folder, "ecg.hea"))
    except ImportError:
        pass
    tests = os.path.join(os.path.dirname(os.__file__), "test", "audiodata")
    files += [p for p in (os.path.join(tests, f"pluck-pcm{b}.wav") for b in (16, 24))
              if os.path.exists(p)]
    return files


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        files = args.files or default_files(folder)
        print(f"{'file':<42} {'target':<16} {'with the grid':>16} {'without':>16}")
        for path in files:
            signal = read_signal(path)
            originals = library_read(path)
            scale = min(np.ptp(x) for x in originals)
            for metric, value in TARGETS:
                if metric in ("max_error", "rmse") and not path.endswith("subsecond.edf"):
                    value = value * 0.01 * scale  # the 0.5 uV of the EEG, relative elsewhere
                target = QualityTarget(metric, value)
                row = [reached(path, signal, originals, target, g, folder) for g in (True, False)]
                cells = [f"{r:>16.6g}" if isinstance(r, float) else f"{r:>16}" for r in row]
                print(f"{os.path.basename(path):<42} {metric} {value:<10.4g} {' '.join(cells)}",
                      flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
