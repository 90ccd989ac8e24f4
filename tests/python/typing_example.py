"""A script using vantrel as an application would; `mypy --strict` must accept it as it stands."""

import numpy as np
import numpy.typing as npt

import vantrel


def round_trip(
    signal: npt.NDArray[np.float64], scale: int
) -> tuple[bytes, npt.NDArray[np.float32]]:
    options = vantrel.CompressionOptions(method="sym4", scale=scale, cutoff="medium", coder="arans")
    packed: bytes = vantrel.compress_signal(signal, options)
    return packed, vantrel.decompress_signal(packed)


def main() -> None:
    t = np.linspace(0.0, 1.0, 4096)
    signal = np.sin(2 * np.pi * 7 * t)
    packed, decoded = round_trip(signal, 12)
    default = vantrel.compress_signal(signal.astype(np.float32))
    tuned = vantrel.CompressionOptions("cdf53", 10, "high", None, quant_multiplier=900.0)
    other = vantrel.compress_signal(data=signal, options=tuned)
    worst = float(np.max(np.abs(decoded - signal)))
    print(len(packed), len(default), len(other), f"{worst:.2e}")


if __name__ == "__main__":
    main()
