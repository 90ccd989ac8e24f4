"""Sample files in and out: NumPy ``.npy``, RIFF ``.wav``, one-column ``.csv``/``.txt`` text and
raw little-endian float32 (``.f32``/``.raw``).

Every reader returns the signal as a list of 1-D channels of ``float32`` or ``float64`` samples,
the two element types the codec takes. Every writer returns the whole file as ``bytes`` so that the
caller can put it in place in one step.
"""

from __future__ import annotations

import io
import os
import pickle
import struct
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

# File-name suffix -> format name. The format of a file is always taken from its suffix.
SIGNAL_FORMATS: dict[str, str] = {
    ".npy": "npy",
    ".wav": "wav",
    ".csv": "csv",
    ".txt": "csv",
    ".f32": "f32",
    ".raw": "f32",
}
# Format name -> the suffix a written file gets when only the format is known.
FORMAT_SUFFIX: dict[str, str] = {"npy": ".npy", "wav": ".wav", "csv": ".csv", "f32": ".f32"}
# Sample encodings a written WAV file can use.
WAV_SAMPLE_KINDS = ("float32", "pcm8", "pcm16", "pcm24", "pcm32")

_WAVE_FORMAT_PCM = 0x0001
_WAVE_FORMAT_IEEE_FLOAT = 0x0003
_WAVE_FORMAT_EXTENSIBLE = 0xFFFE
# A data chunk of this size comes from a writer that could not seek back: it runs to the end.
_STREAMING_CHUNK_SIZE = 0xFFFFFFFF

Channel = npt.NDArray[np.floating]


class SignalFileError(Exception):
    """A sample file that cannot be read or written; the message is one line naming the file.

    Raised by `read_signal` (unknown suffix, damaged or unsupported file) and `encode_signal`
    (more channels than the format holds, a sample rate or length a WAV file cannot store).
    """


@dataclass
class Signal:
    """A signal read from a file.

    Attributes
    ----------
    channels : list of 1-D float32 or float64 arrays
        One array per channel, all of the same length.
    rate : int or None
        The sample rate in Hz, for formats that store one (WAV).
    description : str
        One line about the file, such as ``"WAV PCM 16-bit, 1 channel, 48000 Hz"``.
    notes : list of str
        Remarks for the user collected while reading.
    """

    channels: list[Channel]
    rate: int | None = None
    description: str = ""
    notes: list[str] = field(default_factory=list)

    @property
    def num_samples(self) -> int:
        """Samples per channel (0 without channels)."""
        return int(self.channels[0].size) if self.channels else 0


def format_of(path: str) -> str | None:
    """The format named by the suffix of a file name.

    Parameters
    ----------
    path : str
        A file name; only its suffix counts, in any letter case.

    Returns
    -------
    str or None
        ``"npy"``, ``"wav"``, ``"csv"`` or ``"f32"``, or None for an unknown suffix.

    Raises
    ------
    Nothing: any string is a file name.

    Examples
    --------
    >>> format_of("take.WAV"), format_of("values.txt"), format_of("notes.md")
    ('wav', 'csv', None)
    """
    return SIGNAL_FORMATS.get(os.path.splitext(path)[1].lower())


def read_signal(path: str) -> Signal:
    """Reads a sample file, choosing the format by the suffix of `path`.

    ``.npy`` holds a 1-D array or a 2-D array of samples x channels (float32 or float64);
    ``.wav`` PCM 8/16/24/32-bit (scaled to [-1, 1)) or float 32/64-bit samples; ``.csv`` and
    ``.txt`` one number per line (an optional first line names the column, ``#`` starts a
    comment); ``.f32`` and ``.raw`` little-endian float32 samples.

    Parameters
    ----------
    path : str
        The file to read.

    Returns
    -------
    Signal
        The channels, and the sample rate when the file stores one.

    Raises
    ------
    SignalFileError
        The suffix is unknown, or the file is damaged or holds samples of another kind.
    OSError
        The file cannot be opened.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np
    >>> path = os.path.join(tempfile.mkdtemp(), "ramp.csv")
    >>> with open(path, "wb") as f:
    ...     _ = f.write(encode_signal("csv", [np.arange(4, dtype=np.float32)]))
    >>> signal = read_signal(path)
    >>> signal.channels[0], signal.rate
    (array([0., 1., 2., 3.]), None)
    """
    fmt = format_of(path)
    if fmt is None:
        known = ", ".join(sorted(SIGNAL_FORMATS))
        raise SignalFileError(f"{path}: unknown input format (known suffixes: {known})")
    if fmt == "npy":
        return _read_npy(path)
    with open(path, "rb") as f:
        data = f.read()
    if fmt == "wav":
        return _read_wav(data, path)
    if fmt == "csv":
        return _read_csv(data, path)
    return _read_f32(data, path)


def encode_signal(
    fmt: str, channels: list[Channel], rate: int = 48000, wav_sample: str = "float32"
) -> bytes:
    """The whole content of a sample file, for the caller to write in one step.

    Parameters
    ----------
    fmt : str
        ``"npy"``, ``"wav"``, ``"csv"`` or ``"f32"`` (see `format_of`).
    channels : list of 1-D arrays
        The channels, at least one, all of one length. Only ``npy`` and ``wav`` hold more than
        one; ``npy`` stores several as a 2-D float32 array of samples x channels.
    rate : int, optional
        The sample rate a WAV file records, in Hz.
    wav_sample : str, optional
        The sample encoding of a WAV file: ``"float32"`` or ``"pcm8"``, ``"pcm16"``,
        ``"pcm24"``, ``"pcm32"`` (full scale [-1, 1), rounded and clipped).

    Returns
    -------
    bytes
        The file.

    Raises
    ------
    SignalFileError
        Several channels for a one-channel format, an unknown `wav_sample`, or a rate or length
        a WAV file cannot store.

    Examples
    --------
    >>> import numpy as np
    >>> data = encode_signal("wav", [np.zeros(10), np.ones(10)], rate=8000, wav_sample="pcm16")
    >>> data[:4], len(data)
    (b'RIFF', 84)
    """
    assert channels and len({c.size for c in channels}) == 1
    if fmt == "npy":
        out = io.BytesIO()
        array = channels[0] if len(channels) == 1 else np.stack(channels, axis=1)
        np.save(out, np.asarray(array, dtype=np.float32), allow_pickle=False)
        return out.getvalue()
    if fmt == "wav":
        return _encode_wav(channels, rate, wav_sample)
    if len(channels) != 1:
        raise SignalFileError(f"a {fmt} file holds one channel, not {len(channels)}")
    samples = np.asarray(channels[0], dtype=np.float32)
    if fmt == "csv":
        # Nine significant digits give back every float32 exactly.
        return "".join(f"{v:.9g}\n" for v in samples.tolist()).encode("ascii")
    assert fmt == "f32"
    return samples.astype("<f4").tobytes()


def _float_channels(array: np.ndarray, path: str) -> list[Channel]:
    if array.dtype.kind != "f" or array.dtype.itemsize not in (4, 8):
        raise SignalFileError(
            f"{path}: element type {array.dtype} is not supported (float32 or float64 expected)"
        )
    native = array.astype(array.dtype.newbyteorder("="), copy=False)
    if native.ndim == 1:
        return [np.ascontiguousarray(native)]
    if native.ndim == 2:
        # Rows are instants and columns are channels, as in an interleaved audio buffer.
        return [np.ascontiguousarray(native[:, k]) for k in range(native.shape[1])]
    raise SignalFileError(
        f"{path}: array of shape {array.shape} is neither 1-D nor 2-D (samples x channels)"
    )


def _read_npy(path: str) -> Signal:
    try:
        array = np.load(path, allow_pickle=False)
    except (ValueError, EOFError, pickle.UnpicklingError) as exc:
        raise SignalFileError(f"{path}: not a readable .npy file ({_one_line(exc)})") from None
    if not isinstance(array, np.ndarray):
        array.close()
        raise SignalFileError(f"{path}: holds several arrays, expected one")
    channels = _float_channels(array, path)
    return Signal(channels, None, f"NumPy {array.dtype} array of shape {array.shape}")


def _read_csv(data: bytes, path: str) -> Signal:
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise SignalFileError(f"{path}: not a UTF-8 text file") from None
    values: list[float] = []
    header_seen = False
    for lineno, line in enumerate(text.splitlines(), 1):
        cell = line.strip()
        if not cell or cell.startswith("#"):
            continue
        if any(sep in cell for sep in ",;\t") or len(cell.split()) > 1:
            raise SignalFileError(f"{path}: line {lineno} has more than one column")
        try:
            values.append(float(cell))
        except ValueError:
            # The first line of text may name the column.
            if values or header_seen:
                raise SignalFileError(f"{path}: line {lineno}: {cell!r} is not a number") from None
            header_seen = True
    return Signal([np.array(values, dtype=np.float64)], None, "one-column text")


def _read_f32(data: bytes, path: str) -> Signal:
    if len(data) % 4:
        raise SignalFileError(
            f"{path}: {len(data)} bytes is not a whole number of float32 samples"
        )
    samples = np.frombuffer(data, dtype="<f4").astype(np.float32)
    return Signal([samples], None, "raw little-endian float32")


def _read_wav(data: bytes, path: str) -> Signal:
    if len(data) < 12 or data[0:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise SignalFileError(f"{path}: not a RIFF WAVE file")
    fmt_body: bytes | None = None
    payload: bytes | None = None
    pos = 12
    while pos + 8 <= len(data):
        chunk_id = data[pos : pos + 4]
        (size,) = struct.unpack_from("<I", data, pos + 4)
        start = pos + 8
        if chunk_id == b"data":
            end = len(data) if size == _STREAMING_CHUNK_SIZE else start + size
            if end > len(data):
                raise SignalFileError(
                    f"{path}: truncated: the data chunk announces {size} bytes, "
                    f"the file holds {len(data) - start}"
                )
            payload = data[start:end]
        elif chunk_id == b"fmt ":
            fmt_body = data[start : start + size]
        if payload is not None and fmt_body is not None:
            break
        pos = start + size + (size & 1)  # chunks are padded to an even length
    if fmt_body is None or len(fmt_body) < 16:
        raise SignalFileError(f"{path}: WAV file without a valid fmt chunk")
    if payload is None:
        raise SignalFileError(f"{path}: WAV file without a data chunk")
    tag, num_channels, rate, _, block_align, bits = struct.unpack_from("<HHIIHH", fmt_body)
    if tag == _WAVE_FORMAT_EXTENSIBLE and len(fmt_body) >= 26:
        # The sub-format GUID starts with the plain format tag.
        (tag,) = struct.unpack_from("<H", fmt_body, 24)
    if tag == _WAVE_FORMAT_PCM and bits in (8, 16, 24, 32):
        kind = f"PCM {bits}-bit"
    elif tag == _WAVE_FORMAT_IEEE_FLOAT and bits in (32, 64):
        kind = f"float{bits}"
    else:
        raise SignalFileError(
            f"{path}: WAV sample format {tag:#06x} with {bits} bits is not supported "
            "(PCM 8/16/24/32-bit or float 32/64-bit)"
        )
    if num_channels == 0 or block_align != num_channels * (bits // 8):
        raise SignalFileError(
            f"{path}: inconsistent WAV fmt chunk ({num_channels} channels, "
            f"{bits} bits, block size {block_align})"
        )
    frames = len(payload) // block_align  # an incomplete last frame holds no whole sample
    frame_bytes = np.frombuffer(payload, dtype=np.uint8, count=frames * block_align)
    samples = _decode_wav_samples(frame_bytes, tag, bits).reshape(frames, num_channels)
    channels = [np.ascontiguousarray(samples[:, k]) for k in range(num_channels)]
    noun = "channel" if num_channels == 1 else "channels"
    return Signal(channels, rate, f"WAV {kind}, {num_channels} {noun}, {rate} Hz")


def _decode_wav_samples(raw: npt.NDArray[np.uint8], tag: int, bits: int) -> Channel:
    """Samples of a WAV data chunk, interleaved, as floats; PCM maps its full scale to [-1, 1)."""
    if tag == _WAVE_FORMAT_IEEE_FLOAT:
        if bits == 32:
            return raw.view("<f4").astype(np.float32)
        return raw.view("<f8").astype(np.float64)
    if bits == 8:  # 8-bit PCM is unsigned with its zero at 128
        return ((raw.astype(np.float32) - 128.0) / 128.0).astype(np.float32)
    if bits == 16:
        return (raw.view("<i2").astype(np.float32) / 32768.0).astype(np.float32)
    if bits == 24:
        b = raw.reshape(-1, 3).astype(np.int32)
        value = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        value = (value ^ 0x800000) - 0x800000  # sign-extend bit 23
        return (value.astype(np.float32) / 8388608.0).astype(np.float32)
    # 32-bit PCM has more bits than a float32 mantissa: keep them until the codec rounds once.
    return raw.view("<i4").astype(np.float64) / 2147483648.0


def _encode_wav(channels: list[Channel], rate: int, sample_kind: str) -> bytes:
    if sample_kind not in WAV_SAMPLE_KINDS:
        raise SignalFileError(f"unknown WAV sample kind {sample_kind!r}")
    if not 1 <= rate <= 0xFFFFFFFF:
        raise SignalFileError(f"sample rate {rate} does not fit a WAV file")
    interleaved = np.stack([np.asarray(c, dtype=np.float64) for c in channels], axis=1).ravel()
    if sample_kind == "float32":
        tag, bits = _WAVE_FORMAT_IEEE_FLOAT, 32
        body = interleaved.astype("<f4").tobytes()
    else:
        tag, bits = _WAVE_FORMAT_PCM, int(sample_kind[3:])
        full_scale = float(1 << (bits - 1))
        ints = np.clip(np.rint(interleaved * full_scale), -full_scale, full_scale - 1)
        ints = np.nan_to_num(ints, nan=0.0).astype(np.int64)
        if bits == 8:
            body = (ints + 128).astype(np.uint8).tobytes()
        elif bits == 16:
            body = ints.astype("<i2").tobytes()
        elif bits == 24:
            body = ints.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
        else:
            body = ints.astype("<i4").tobytes()
    if len(body) > 0xFFFFFFFF - 64:
        raise SignalFileError("signal too long for a WAV file (over 4 GiB); write .npy instead")
    num_channels = len(channels)
    block_align = num_channels * bits // 8
    frames = int(channels[0].size)
    chunks = []
    if tag == _WAVE_FORMAT_PCM:
        fmt = struct.pack("<HHIIHH", tag, num_channels, rate, rate * block_align, block_align, bits)
        chunks.append(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
    else:
        # Non-PCM formats carry the extension size and a fact chunk with the frame count.
        fmt = struct.pack(
            "<HHIIHHH", tag, num_channels, rate, rate * block_align, block_align, bits, 0
        )
        chunks.append(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        chunks.append(b"fact" + struct.pack("<II", 4, frames & 0xFFFFFFFF))
    pad = b"\0" if len(body) & 1 else b""
    chunks.append(b"data" + struct.pack("<I", len(body)) + body + pad)
    riff_size = 4 + sum(len(c) for c in chunks)
    return b"RIFF" + struct.pack("<I", riff_size) + b"WAVE" + b"".join(chunks)


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__
