"""Audio through libsndfile (soundfile): WAV of every sample type including
WAVE_FORMAT_EXTENSIBLE, FLAC and OGG. PCM is scaled to [-1, 1); written PCM is rounded, and the
samples beyond full scale are clipped and counted."""

from __future__ import annotations

import io
import re
from typing import Any

import numpy as np

from .arrays import one_line
from .digital import (
    bad_field,
    channel_lengths_agree,
    check_rate,
    needs_rate,
    one_rate,
    to_codes,
)
from .extras import require
from .registry import Format, ReadRequest, register_format
from .types import Channel, ChannelInfo, Encoded, SampleGrid, Signal, SignalFileError

# Sample encodings a written audio file can use (FLAC: the PCM ones up to 24 bits).
WAV_SAMPLE_KINDS = ("float32", "pcm8", "pcm16", "pcm24", "pcm32")
# soundfile's subtype -> bits of a PCM sample.
_PCM_SUBTYPES = {"PCM_U8": 8, "PCM_S8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}
_AUDIO_FORMATS = {"wav": "WAV", "flac": "FLAC", "ogg": "OGG"}
# Suffixes beyond the format's name: ".oga" is Ogg audio (sound themes ship it).
_MORE_SUFFIXES = {"ogg": (".oga",)}
# The line of libsndfile's log about a WAV data chunk longer than the file, and its lines about
# an Ogg stream that ends before its last page does.
_CUT_DATA_CHUNK = re.compile(r"^data\s*:\s*(\d+)\s*\(should be (\d+)\)", re.MULTILINE)
_CUT_OGG = re.compile(r"^Ogg\s*:\s*(.*(?:Junk after the last page|lacks an end-of-stream|"
                      r"without an End-Of-Stream).*)$", re.MULTILINE | re.IGNORECASE)
_OPENING = re.compile(r"^Error opening <[^>]*>: ")
# libsndfile's frame count of a stream whose length its header leaves open.
_UNKNOWN_FRAMES = 0x7FFFFFFFFFFFFFFF
# Samples read at a time (all channels): the most a read holds beyond what the file gives.
_BLOCK_SAMPLES = 1 << 20
# The most channels a WAV header's 16-bit field can declare.
_MAX_CHANNELS = 0xFFFF
MAX_CHANNELS = _MAX_CHANNELS
UNKNOWN_FRAMES = _UNKNOWN_FRAMES


def _read_frames(audio: Any, dtype: str) -> np.ndarray:
    """Every frame the file holds, read in blocks: a header that claims more frames than the
    file holds (FLAC's and Ogg's are not bounded by the file's size) allocates nothing for them."""
    per_block = max(1, _BLOCK_SAMPLES // audio.channels)
    blocks = []
    while len(block := audio.read(per_block, dtype=dtype, always_2d=True)):
        blocks.append(block)
    if len(blocks) == 1:
        return np.asarray(blocks[0])
    return np.concatenate(blocks) if blocks else np.empty((0, audio.channels), dtype=dtype)


def refuse_cut(log: str, fmt: str, path: str) -> None:
    """Refuses a file libsndfile's log shows cut short: a WAV data chunk longer than the file
    (a size of 2**32 - 1 comes from a writer that could not seek back: it runs to the end), or
    an Ogg stream that ends before its last page does."""
    cut = _CUT_DATA_CHUNK.search(log) if fmt == "wav" else None
    if cut is not None and int(cut.group(1)) != 0xFFFFFFFF:
        raise SignalFileError(f"{path}: truncated: the data chunk announces {cut.group(1)} "
                              f"bytes, the file holds {cut.group(2)}")
    ogg = _CUT_OGG.search(log) if fmt == "ogg" else None
    if ogg is not None:
        raise SignalFileError(f"{path}: truncated or damaged: {ogg.group(1).strip()}")


def _read_audio(path: str, fmt: str, request: ReadRequest) -> Signal:
    sf = require("soundfile", path)
    with open(path, "rb") as f:
        try:
            with sf.SoundFile(f) as audio:
                kind, subtype, rate = audio.format, audio.subtype, audio.samplerate
                check_rate(path, "", "sample rate", rate)
                if not 1 <= audio.channels <= _MAX_CHANNELS:
                    raise bad_field(path, "", "channel count", audio.channels,
                                    f"is not between 1 and {_MAX_CHANNELS}")
                bits = _PCM_SUBTYPES.get(subtype)
                dtype = ("float64" if subtype == "DOUBLE" else "float32" if not bits
                         else "int16" if bits <= 16 else "int32")
                declared = audio.frames
                frames = _read_frames(audio, dtype)
                log = audio.extra_info
        except (sf.LibsndfileError, RuntimeError, TypeError, ValueError, EOFError) as exc:
            # libsndfile's text names the open file object; the line names the path already.
            why = _OPENING.sub("", one_line(exc))
            raise SignalFileError(f"{path}: not a readable {fmt.upper()} file ({why})") from None
    # libsndfile reads a cut file up to its end and says so only in its log; losing the rest
    # without a word would pass a damaged recording off as whole.
    refuse_cut(log, fmt, path)
    if len(frames) < declared < _UNKNOWN_FRAMES:
        raise SignalFileError(f"{path}: truncated: the header announces {declared} frames, the "
                              f"file holds {len(frames)}")
    if bits:
        # libsndfile gives PCM left-aligned in 16 or 32 bits; the full scale of `bits` maps to
        # [-1, 1). Up to 24 bits float32 holds every value exactly (the scale is a power of
        # two); 32 bits keep float64 until the codec rounds once.
        codes = frames >> (8 * frames.itemsize - bits)
        real = np.float32 if bits <= 24 else np.float64
        frames = codes.astype(real)
        frames *= real(2.0 ** (1 - bits))
        what = f"PCM {bits}-bit"
        sample = f"pcm{bits}"
    else:
        what = {"FLOAT": "float32", "DOUBLE": "float64"}.get(subtype, subtype.lower())
        sample = "float32"
    channels = [np.ascontiguousarray(frames[:, k]) for k in range(frames.shape[1])]
    stored = frames.size * bits // 8 if bits and fmt == "wav" else 0
    info = [ChannelInfo(rate=float(rate), physical_range=(-1.0, 1.0 - 2.0 ** (1 - bits)),
                        digital_range=(-(1 << (bits - 1)), (1 << (bits - 1)) - 1))
            if bits else ChannelInfo(rate=float(rate)) for _ in channels]
    noun = "channel" if len(channels) == 1 else "channels"
    description = f"{kind} {what}, {len(channels)} {noun}, {rate} Hz"
    return Signal(channels, rate, description, sample_bits=bits if stored else None,
                  stored_bytes=stored, info=info, source=fmt,
                  attrs={"container": kind, "sample": sample})


def _encode_audio(path: str, signal: Signal, fmt: str, sample: str | None) -> Encoded:
    sf = require("soundfile", path)
    channel_lengths_agree(signal, path)
    rate = one_rate(signal, path) if signal.info else signal.rate
    if rate is None:
        needs_rate(signal, 0, path)
    if rate is None or rate != int(rate) or not 1 <= rate <= 0x7FFFFFFF:
        raise SignalFileError(f"{path}: sample rate {rate} does not fit an audio file")
    same = signal.source == fmt
    if sample is None:
        sample = signal.attrs.get("sample") if same else None
        sample = sample or ("pcm16" if fmt == "flac" else "float32")
    if sample not in WAV_SAMPLE_KINDS:
        raise SignalFileError(f"unknown sample kind {sample!r}")
    container = _AUDIO_FORMATS[fmt]
    if fmt == "wav" and (signal.attrs.get("container") == "WAVEX" and same
                         or len(signal.channels) > 2):
        container = "WAVEX"
    notes: list[str] = []
    if fmt == "ogg":
        subtype, data = "VORBIS", _interleaved(signal.channels, np.float32)
    elif sample == "float32":
        if fmt == "flac":
            raise SignalFileError(f"{path}: FLAC stores integer samples: give --wav-sample "
                                  "pcm16 or pcm24")
        subtype, data = "FLOAT", _interleaved(signal.channels, np.float32)
    else:
        bits = int(sample[3:])
        if fmt == "flac" and bits == 32:
            raise SignalFileError(f"{path}: FLAC stores at most 24 bits per sample")
        subtype = f"PCM_{bits}" if bits > 8 else "PCM_U8" if fmt == "wav" else "PCM_S8"
        full_scale = 1 << (bits - 1)
        # libsndfile takes PCM left-aligned in 16 or 32 bits and drops the low bits exactly.
        word = np.int16 if bits <= 16 else np.int32
        data = np.empty((signal.channels[0].size, len(signal.channels)), dtype=word)
        grid = SampleGrid(1.0 / full_scale, 0.0, -full_scale, full_scale - 1)
        for k, c in enumerate(signal.channels):
            data[:, k] = to_codes(
                c, grid, 0, signal.channel_name(k) if len(signal.channels) > 1 else "samples",
                notes, word)
        data <<= 8 * data.itemsize - bits
    sample_bytes = 4 if sample == "float32" else int(sample[3:]) // 8
    if fmt == "wav" and data.size * sample_bytes > 0xFFFFFFFF - 64:
        # RIFF sizes are 32-bit: a longer file would wrap them.
        raise SignalFileError(f"{path}: signal too long for a {fmt.upper()} file (over 4 GiB); "
                              "write .npy instead")
    out = io.BytesIO()
    try:
        sf.write(out, data, int(rate), subtype=subtype, format=container)
    except (sf.LibsndfileError, RuntimeError, ValueError) as exc:
        raise SignalFileError(f"{path}: {one_line(exc)}") from None
    return Encoded({path: out.getvalue()}, notes)


def _interleaved(channels: list[Channel], dtype: Any) -> np.ndarray:
    return np.stack([np.asarray(c, dtype=dtype) for c in channels], axis=1)


for _name in _AUDIO_FORMATS:
    register_format(Format(_name, (f".{_name}", *_MORE_SUFFIXES.get(_name, ())), _read_audio,
                           _encode_audio,
                           library="soundfile", extra="audio", what="audio files"))

