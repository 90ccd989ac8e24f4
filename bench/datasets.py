"""Signals the end-to-end benchmark runs on.

Real signals come from files that other projects ship (PyPI and Debian packages) and are read
offline; a data set whose source is missing is skipped with a note. Synthetic signals are seeded,
so every run sees the same samples. Every data set is a 1-D float32 array.
"""

from __future__ import annotations

import csv
import glob
import importlib.metadata
import os
import wave
from dataclasses import dataclass
from typing import Callable

import numpy as np

QUICK_SAMPLES = 4096
SYNTHETIC_SAMPLES = 1 << 17
LARGE_SAMPLES = 1 << 22
QUICK_LARGE_SAMPLES = 1 << 15


@dataclass
class Dataset:
    name: str
    kind: str  # "real", "synthetic" or "large"
    samples: np.ndarray  # 1-D float32
    source: str

    @property
    def size_bytes(self) -> int:
        return self.samples.size * 4


class SourceMissing(Exception):
    """The files a real data set is read from are not on this machine."""


def _package_file(distribution: str, path: str) -> str:
    """The path of a file an installed distribution ships, without importing it."""
    try:
        located = str(importlib.metadata.distribution(distribution).locate_file(path))
    except importlib.metadata.PackageNotFoundError:
        raise SourceMissing(f"Python package '{distribution}' is not installed") from None
    if not os.path.exists(located):
        raise SourceMissing(f"{located} is missing")
    return located


def _ecg() -> tuple[np.ndarray, str]:
    path = _package_file("PyWavelets", "pywt/data/ecg.npz")
    return np.load(path)["data"].astype(np.float32), "PyWavelets' ECG record (pywt/data/ecg.npz)"


# SciPy 1.10.1's wheel ships a long ECG (scipy/misc/ecg.dat: 108,000 samples at 360 Hz, an excerpt
# of an MIT-BIH arrhythmia record, ODC-By). The wheel is downloaded once into a cache and read as
# a zip file; SciPy itself is never installed.
SCIPY_WHEEL = "scipy==1.10.1"
CACHE = os.environ.get("VANTREL_BENCH_CACHE",
                       os.path.join(os.path.expanduser("~"), ".cache", "vantrel-bench"))


def _scipy_wheel() -> str:
    found = glob.glob(os.path.join(CACHE, "scipy-1.10.1-*.whl"))
    if not found:
        import subprocess
        import sys

        command = [sys.executable, "-m", "pip", "download", "--quiet", "--no-deps",
                   "--only-binary=:all:", "--dest", CACHE, SCIPY_WHEEL]
        if subprocess.run(command, capture_output=True).returncode != 0:
            raise SourceMissing(f"could not download the {SCIPY_WHEEL} wheel into {CACHE}")
        found = glob.glob(os.path.join(CACHE, "scipy-1.10.1-*.whl"))
    if not found:
        raise SourceMissing(f"no {SCIPY_WHEEL} wheel in {CACHE}")
    return found[0]


def _ecg_long() -> tuple[np.ndarray, str]:
    import io
    import zipfile

    with zipfile.ZipFile(_scipy_wheel()) as wheel:
        raw = np.load(io.BytesIO(wheel.read("scipy/misc/ecg.dat")))["ecg"]
    # As scipy.misc.electrocardiogram of that release converts it: millivolts.
    mv = (raw.astype(np.float64) - 1024) / 200.0
    return mv.astype(np.float32), "MIT-BIH record excerpt, 360 Hz (scipy 1.10.1 scipy/misc/ecg.dat)"


def _ppg() -> tuple[np.ndarray, str]:
    path = _package_file("heartpy", "heartpy/data/data3.csv")
    with open(path, newline="") as f:
        rows = csv.DictReader(f)
        values = [float(row["hr"]) for row in rows]
    return np.asarray(
        values, dtype=np.float32
    ), "HeartPy's photoplethysmogram (heartpy/data/data3.csv)"


def _speech() -> tuple[np.ndarray, str]:
    paths = sorted(glob.glob("/usr/share/sounds/alsa/*.wav"))
    if not paths:
        raise SourceMissing("/usr/share/sounds/alsa/*.wav is missing (apt-get install alsa-utils)")
    parts = []
    for path in paths:
        with wave.open(path, "rb") as w:
            if w.getsampwidth() != 2:
                continue
            pcm = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
            parts.append(pcm[:: w.getnchannels()])  # first channel
    if not parts:
        raise SourceMissing("no 16-bit WAV file in /usr/share/sounds/alsa")
    speech = np.concatenate(parts).astype(np.float32) / 32768.0
    return speech, f"alsa-utils' speech WAVs, {len(parts)} files joined (/usr/share/sounds/alsa)"


REAL: dict[str, Callable[[], tuple[np.ndarray, str]]] = {
    "ecg": _ecg,
    "ecg_long": _ecg_long,
    "ppg": _ppg,
    "speech": _speech,
}


def _sine_noise(n: int, rng: np.random.Generator) -> np.ndarray:
    t = np.arange(n, dtype=np.float64)
    return (
        np.sin(2 * np.pi * t / 500.0)
        + 0.3 * np.sin(2 * np.pi * t / 37.0 + 1.0)
        + 0.05 * rng.standard_normal(n)
    )


def _random_walk(n: int, rng: np.random.Generator) -> np.ndarray:
    return np.cumsum(rng.standard_normal(n))


def _white_noise(n: int, rng: np.random.Generator) -> np.ndarray:
    return rng.standard_normal(n)


def _chirp(n: int, rng: np.random.Generator) -> np.ndarray:
    del rng
    t = np.arange(n, dtype=np.float64) / n
    # Instantaneous frequency rises linearly from 0 to 0.25 cycles per sample.
    return np.sin(2 * np.pi * 0.125 * n * t * t)


def _spikes(n: int, rng: np.random.Generator) -> np.ndarray:
    x = 0.01 * rng.standard_normal(n)
    positions = rng.choice(n, size=max(1, n // 1000), replace=False)
    x[positions] += rng.uniform(-1.0, 1.0, positions.size) * 10.0
    return x


def _large_mix(n: int, rng: np.random.Generator) -> np.ndarray:
    return 0.5 * _sine_noise(n, rng) + 0.02 * _random_walk(n, rng)


SYNTHETIC: dict[str, Callable[[int, np.random.Generator], np.ndarray]] = {
    "sine_noise": _sine_noise,
    "random_walk": _random_walk,
    "white_noise": _white_noise,
    "chirp": _chirp,
    "spikes": _spikes,
}

SYNTHETIC_SOURCES = {
    "sine_noise": "two sines plus Gaussian noise",
    "random_walk": "cumulative sum of Gaussian steps",
    "white_noise": "Gaussian noise",
    "chirp": "linear chirp from 0 to a quarter of the sampling rate",
    "spikes": "low noise floor with one spike per 1000 samples",
}


def names() -> list[str]:
    return list(REAL) + list(SYNTHETIC) + ["large_mix"]


def load(quick: bool, only: set[str] | None = None) -> tuple[list[Dataset], list[str]]:
    """Loads every data set (or those named in `only`); returns them and notes on skipped ones."""
    datasets: list[Dataset] = []
    notes: list[str] = []
    wanted = (lambda name: name in only) if only else (lambda name: True)
    for name, loader in REAL.items():
        if not wanted(name):
            continue
        try:
            samples, source = loader()
        except SourceMissing as missing:
            notes.append(f"data set '{name}' skipped: {missing}")
            continue
        if quick:
            samples = samples[:QUICK_SAMPLES]
        datasets.append(Dataset(name, "real", np.ascontiguousarray(samples), source))
    n = QUICK_SAMPLES if quick else SYNTHETIC_SAMPLES
    for seed, (name, make) in enumerate(SYNTHETIC.items()):
        if wanted(name):
            samples = make(n, np.random.default_rng(seed)).astype(np.float32)
            datasets.append(Dataset(name, "synthetic", samples, SYNTHETIC_SOURCES[name]))
    if wanted("large_mix"):
        n = QUICK_LARGE_SAMPLES if quick else LARGE_SAMPLES
        samples = _large_mix(n, np.random.default_rng(99)).astype(np.float32)
        datasets.append(Dataset("large_mix", "large", samples, "sines, noise and a random walk"))
    return datasets, notes
