"""Audio files (WAV, FLAC, OGG) block by block through soundfile: the samples as `read_signal`
gives them, written as `encode_recording` writes them."""

from __future__ import annotations

import io
from collections.abc import Sequence
from typing import Any

import numpy as np

from .arrays import one_line
from .blocks import BlockReader, BlockWriter
from .audio import MAX_CHANNELS, UNKNOWN_FRAMES, refuse_cut
from .digital import bad_field, check_rate, to_codes
from .extras import require
from .registry import BlockFormat, ReadRequest, encode_recording, register_blocks
from .types import Channel, ChannelInfo, SampleGrid, Signal, SignalFileError

_PCM_BITS = {"PCM_U8": 8, "PCM_S8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}


def physical(frames: np.ndarray, bits: int | None) -> np.ndarray:
    """Frames as read (PCM left-aligned in 16 or 32 bits) in [-1, 1): float32 up to 24 bits,
    float64 beyond, so that the codec rounds once."""
    if not bits:
        return frames
    codes = frames >> (8 * frames.itemsize - bits)
    real: Any = np.float32 if bits <= 24 else np.float64
    out: np.ndarray = codes.astype(real)
    out *= real(2.0 ** (1 - bits))
    return out


class AudioBlocks(BlockReader):
    def __init__(self, path: str, fmt: str, request: ReadRequest, samples: int) -> None:
        self._sf = require("soundfile", path)
        self._file = open(path, "rb")  # noqa: SIM115 (closed by close())
        try:
            self._audio = self._sf.SoundFile(self._file)
        except (self._sf.LibsndfileError, RuntimeError, TypeError, ValueError, EOFError) as exc:
            self._file.close()
            raise SignalFileError(f"{path}: not a readable {fmt.upper()} file "
                                  f"({one_line(exc)})") from None
        self._fmt = fmt
        self._bits = _PCM_BITS.get(self._audio.subtype)
        bits = self._bits
        self._dtype = ("float64" if self._audio.subtype == "DOUBLE" else "float32" if not bits
                       else "int16" if bits <= 16 else "int32")
        self._per_block = samples
        self._read = 0
        try:
            refuse_cut(self._audio.extra_info, fmt, path)
            header = _header_of(self._audio, path, fmt, bits)
        except BaseException:
            self.close()
            raise
        frames = self._audio.frames
        # A stream whose writer could not seek back leaves its length open.
        super().__init__(path, header, None if frames >= UNKNOWN_FRAMES
                         else [frames] * self._audio.channels)

    def next_block(self) -> list[Channel] | None:
        block = self.next_stored()
        return None if block is None else [self.physical(k, c) for k, c in enumerate(block)]

    def physical(self, k: int, stored: np.ndarray) -> Channel:
        return physical(stored, self._bits)

    def next_stored(self) -> list[np.ndarray] | None:
        if self._audio.closed:
            return None
        try:
            frames = self._audio.read(self._per_block, dtype=self._dtype, always_2d=True)
        except (self._sf.LibsndfileError, RuntimeError, ValueError) as exc:
            raise SignalFileError(f"{self.path}: not a readable {self._fmt.upper()} file "
                                  f"({one_line(exc)})") from None
        if not len(frames):
            declared = self.lengths[0] if self.lengths is not None else 0
            log = self._audio.extra_info
            self.close()
            refuse_cut(log, self._fmt, self.path)
            if self._read < declared:
                raise SignalFileError(f"{self.path}: truncated: the header announces "
                                      f"{declared} frames, the file holds {self._read}")
            return None
        self._read += len(frames)
        return [np.ascontiguousarray(frames[:, k]) for k in range(frames.shape[1])]

    def close(self) -> None:
        if not self._audio.closed:
            self._audio.close()
        self._file.close()


def _header_of(audio: Any, path: str, fmt: str, bits: int | None) -> Signal:
    """What `read_signal` says of the file, from its header."""
    rate, count = audio.samplerate, audio.channels
    check_rate(path, "", "sample rate", rate)
    if not 1 <= count <= MAX_CHANNELS:
        raise bad_field(path, "", "channel count", count, f"is not between 1 and {MAX_CHANNELS}")
    if bits:
        info = [ChannelInfo(rate=float(rate), physical_range=(-1.0, 1.0 - 2.0 ** (1 - bits)),
                            digital_range=(-(1 << (bits - 1)), (1 << (bits - 1)) - 1))
                for _ in range(count)]
        what, sample = f"PCM {bits}-bit", f"pcm{bits}"
    else:
        info = [ChannelInfo(rate=float(rate)) for _ in range(count)]
        what = {"FLOAT": "float32", "DOUBLE": "float64"}.get(audio.subtype, audio.subtype.lower())
        sample = "float32"
    dtype = np.float64 if audio.subtype == "DOUBLE" or (bits or 0) > 24 else np.float32
    stored = audio.frames * count * bits // 8 if bits and fmt == "wav" else 0
    noun = "channel" if count == 1 else "channels"
    return Signal([np.empty(0, dtype) for _ in range(count)], rate,
                  f"{audio.format} {what}, {count} {noun}, {rate} Hz",
                  sample_bits=bits if stored else None, stored_bytes=stored, info=info,
                  source=fmt, attrs={"container": audio.format, "sample": sample})


class AudioBlockWriter(BlockWriter):
    def __init__(self, path: str, header: Signal, fmt: str, sample: str | None) -> None:
        super().__init__(path, header)
        sf = require("soundfile", path)
        # The whole writer chooses the container and sample type, and refuses what the format
        # cannot hold; a file of one frame of silence shows its choice.
        one = Signal([np.zeros(1, np.float32) for _ in header.channels], header.rate,
                     info=header.info, source=header.source, attrs=header.attrs)
        encoded = encode_recording(path, one, sample)
        self.notes.extend(encoded.notes)
        chosen = sf.info(io.BytesIO(encoded.files[path]))
        self._bits = _PCM_BITS.get(chosen.subtype)
        self._sample_bytes = 4 if not self._bits else self._bits // 8
        self._frames = 0
        try:
            self._audio: Any = sf.SoundFile(self.temp_for(path), "w", chosen.samplerate,
                                            chosen.channels, chosen.subtype, format=chosen.format)
        except (sf.LibsndfileError, RuntimeError, ValueError) as exc:
            self.abort()
            raise SignalFileError(f"{path}: {one_line(exc)}") from None
        self._fmt = fmt
        self._sf = sf

    def append(self, block: Sequence[Channel]) -> None:
        lengths = {np.asarray(c).size for c in block}
        if len(lengths) != 1:
            raise ValueError(f"{self.path}: the channels of a block have different lengths "
                             f"({sorted(lengths)})")
        if self._bits:
            bits = self._bits
            full_scale = 1 << (bits - 1)
            word = np.int16 if bits <= 16 else np.int32
            grid = SampleGrid(1.0 / full_scale, 0.0, -full_scale, full_scale - 1)
            data = np.empty((lengths.pop(), len(block)), dtype=word)
            for k, c in enumerate(block):
                data[:, k] = to_codes(c, grid, 0, self.header.channel_name(k)
                                      if len(block) > 1 else "samples", self.notes, word)
            data <<= 8 * data.itemsize - bits
        else:
            data = np.stack([np.asarray(c, dtype=np.float32) for c in block], axis=1)
        self._frames += len(data)
        if self._fmt == "wav" and self._frames * len(block) * self._sample_bytes > 0xFFFFFFFF - 64:
            raise SignalFileError(f"{self.path}: signal too long for a WAV file (over 4 GiB); "
                                  "write .npy instead")
        self._audio.write(data)

    def finish(self) -> None:
        self.release()

    def release(self) -> None:
        if not self._audio.closed:
            self._audio.close()


def _open_reader(path: str, fmt: str, request: ReadRequest, samples: int) -> BlockReader:
    return AudioBlocks(path, fmt, request, samples)


def _open_writer(path: str, header: Signal, fmt: str, sample: str | None) -> BlockWriter:
    return AudioBlockWriter(path, header, fmt, sample)


for _name in ("wav", "flac", "ogg"):
    register_blocks(BlockFormat(_name, _open_reader, _open_writer))
