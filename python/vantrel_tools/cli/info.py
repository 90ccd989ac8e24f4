"""``vantrel info``: every header field of containers, and the channels of archives."""

from __future__ import annotations

import argparse
import math
import sys

from typing import Any

import numpy as np
import numpy.typing as npt

from ..core.codec import decompress
from ..core.container import HEADER_SIZE, ContainerError, ContainerHeader, parse_header
from ..core.metrics import distortion
from .. import _native
from ..core.trailer import FLAG_TRAILER, Trailer, describe_refinement, read_trailer
from ..io import Channel
from ..store.archive import is_archive
from .archives import info_archive
from .errors import CliError
from .files import read_bytes
from .inputs import read_input

def _read_trailer(data: bytes) -> tuple[str, Trailer | None, str | None]:
    """The trailer row of info, the trailer, and the damage it shows (None if none)."""
    try:
        found = read_trailer(data)
    except (ValueError, ContainerError) as exc:
        return "damaged", None, str(exc)
    if found is None:
        return "none (no checksum)", None, None
    gaps = int(found.runs["length"].sum())
    return (f"{found.size} bytes, CRC-32C correct, {found.runs.size} gap runs ({gaps} samples)",
            found, None)


def _trailer_rows(found: Trailer, data: bytes, original: Channel | None) -> list[tuple[str, str]]:
    """The rows of what a trailer adds to the base: the sample type, the grid and the correction
    layer, with the quality of the base alone (a decoder that ignores the trailer returns it)."""
    rows = []
    if found.sample_type is not None:
        rows.append(("sample type", f"{found.sample_type} (what decompress returns)"))
    if found.grid is not None:
        step, origin, lowest, highest = found.grid
        rows.append(("grid", f"step {step:.9g}, origin {origin:.9g}, codes {lowest:.0f} to "
                             f"{highest:.0f}"))
    if found.refinement is None:
        return rows
    rows.append(("correction", f"{len(found.refinement)} bytes, "
                               + describe_refinement(found.refinement)))
    base = np.frombuffer(_native.decompress(data), dtype=np.float32).astype(np.float64)
    if original is not None:
        rows.append(("base quality", _distortion_text(base, original)))
    else:
        rows.append(("base quality", _distortion_text(base, decompress(data))
                     + " (against the corrected samples)"))
    return rows


def _original_channel(args: argparse.Namespace) -> Channel | None:
    if args.original is None:
        return None
    signal = read_input(args.original, args)
    if not 0 <= args.channel < len(signal.channels):
        raise CliError(f"{args.original}: has no channel {args.channel} "
                       f"({len(signal.channels)} channels)")
    return signal.channels[args.channel]


def _step_text(header: ContainerHeader) -> str:
    """The quantisation step in the signal's units: what one coefficient unit is worth."""
    stored = header.quant_multiplier
    multiplier = stored if stored > 0 and math.isfinite(stored) else float(2**header.scale)
    step = (header.signal_max - header.signal_min) / multiplier
    return f"{step:.6g} (range / multiplier {multiplier:.9g})"


def _distortion_text(decoded: npt.NDArray[Any], original: npt.NDArray[Any]) -> str:
    if decoded.size != original.size:
        raise CliError(f"the original has {original.size} samples, the container {decoded.size}")
    finite = np.isfinite(original)
    d = distortion(np.asarray(original, dtype=np.float64)[finite],
                   decoded.astype(np.float64)[finite])
    return d.summary()


def cmd_info(args: argparse.Namespace) -> int:
    original = _original_channel(args)
    for i, path in enumerate(args.files):
        if i:
            print()
        if is_archive(path):
            info_archive(path)
            continue
        data = read_bytes(path)
        try:
            header = parse_header(data)
        except ContainerError as exc:
            raise CliError(f"{path}: {exc}") from None
        end = HEADER_SIZE + header.payload_len
        trailer_row, found, damage = (("-", None, None) if len(data) < end
                                      else _read_trailer(data))
        trailer_size = found.size if found is not None else 0
        total = end + trailer_size
        raw = 4 * header.sample_count
        reserved = bytes([header.reserved[0] & ~FLAG_TRAILER]) + header.reserved[1:]
        rows = [
            ("file", path),
            ("magic", header.magic.decode("ascii")),
            ("version", f"{header.version[0]}.{header.version[1]}"),
            ("method tag", header.method_tag.decode("ascii")),
            ("wavelet", f"{header.wavelet_code.decode('ascii')} ({header.method})"),
            ("levels", str(header.levels)),
            ("scale", str(header.scale)),
            ("coder", f"{header.coder} ({header.coder_name})"),
            ("samples", str(header.sample_count)),
            ("min", f"{header.signal_min:.9g}"),
            ("max", f"{header.signal_max:.9g}"),
            ("mean", f"{header.norm_mean:.9g} (of the min-max normalised signal)"),
            ("payload", f"{header.payload_len} bytes"),
            ("multiplier", f"{header.quant_multiplier:.9g}"),
            ("step", _step_text(header)),
            ("reserved", "zero" if not any(reserved) else reserved.hex(" ")),
            ("trailer", trailer_row),
            ("size", f"{total} bytes (header {HEADER_SIZE} + payload {header.payload_len}"
                     + (f" + trailer {trailer_size})" if trailer_size else ")")),
            ("ratio", f"{raw / total:.3f} vs float32 ({raw} bytes)"),
        ]
        if len(data) > total and damage is None:
            rows.append(("trailing", f"{len(data) - total} bytes after the container, ignored"))
        if original is not None and damage is None and len(data) >= end:
            rows.append(("quality", _distortion_text(decompress(data), original)))
        if found is not None:
            rows += _trailer_rows(found, data, original)
        width = max(len(k) for k, _ in rows)
        for key, value in rows:
            print(f"{key:<{width}}  {value}")
        if len(data) < end:
            sys.stdout.flush()
            raise CliError(f"{path}: truncated: the header announces {header.payload_len} payload "
                           f"bytes, the file holds {len(data) - HEADER_SIZE}")
        if damage is not None:
            sys.stdout.flush()
            raise CliError(f"{path}: {damage}")
    return 0
