"""The plain sample files: NumPy ``.npy`` (1-D, or 2-D of channels), raw little-endian float32
(``.f32``/``.raw``) and one-column text (``.csv``/``.txt``, read by ``io.text``)."""

from __future__ import annotations

import io
import pickle

import numpy as np

from .arrays import array_signal, one_line
from .digital import channel_lengths_agree
from .registry import Format, ReadRequest, register_format
from .text import read_text
from .types import Channel, Encoded, Signal, SignalFileError


def _read_npy(path: str, fmt: str, request: ReadRequest) -> Signal:
    try:
        array = np.load(path, allow_pickle=False)
    except (ValueError, EOFError, pickle.UnpicklingError) as exc:
        raise SignalFileError(f"{path}: not a readable .npy file ({one_line(exc)})") from None
    if not isinstance(array, np.ndarray):
        array.close()
        raise SignalFileError(f"{path}: holds several arrays, expected one")
    signal = array_signal(array, path, request.channels_first)
    signal.description = "NumPy " + signal.description
    return signal


def _read_f32(path: str, fmt: str, request: ReadRequest) -> Signal:
    with open(path, "rb") as f:
        data = f.read()
    if len(data) % 4:
        raise SignalFileError(
            f"{path}: {len(data)} bytes is not a whole number of float32 samples"
        )
    samples = np.frombuffer(data, dtype="<f4").astype(np.float32)
    return Signal([samples], None, "raw little-endian float32", sample_bits=32,
                  stored_bytes=len(data))


def _write_plain(path: str, signal: Signal, fmt: str, sample: str | None) -> Encoded:
    """A ``.npy``, ``.csv`` or ``.f32`` file holding the channels (all of one length)."""
    channel_lengths_agree(signal, path)
    return Encoded({path: _plain_bytes(fmt, signal.channels)})


def _plain_bytes(fmt: str, channels: list[Channel]) -> bytes:
    if fmt == "npy":
        out = io.BytesIO()
        array = channels[0] if len(channels) == 1 else np.stack(channels, axis=1)
        np.save(out, np.asarray(array, dtype=np.float32), allow_pickle=False)
        return out.getvalue()
    if len(channels) != 1:
        raise SignalFileError(f"a {fmt} file holds one channel, not {len(channels)}")
    samples = np.asarray(channels[0], dtype=np.float32)
    if fmt == "csv":
        # Nine significant digits give back every float32 exactly.
        return "".join(f"{v:.9g}\n" for v in samples.tolist()).encode("ascii")
    assert fmt == "f32"
    return samples.astype("<f4").tobytes()


def _read_csv(path: str, fmt: str, request: ReadRequest) -> Signal:
    with open(path, "rb") as f:
        return read_text(f.read(), path, request.column)


register_format(Format("npy", (".npy",), _read_npy, _write_plain,
                       takes=frozenset({"channels_first"})))
register_format(Format("csv", (".csv", ".txt"), _read_csv, _write_plain,
                       takes=frozenset({"column"})))
register_format(Format("f32", (".f32", ".raw"), _read_f32, _write_plain))
