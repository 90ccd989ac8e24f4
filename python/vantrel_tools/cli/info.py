"""``vantrel info``: every header field of containers, and the channels of archives."""

from __future__ import annotations

import argparse
import math
import sys

import numpy as np

from .. import _native
from ..core.codec import decode
from ..core.container import HEADER_SIZE, ContainerError, ContainerHeader, parse_header
from ..core.trailer import FLAG_TRAILER, About, Trailer, describe_refinement, read_trailer
from ..io import Channel, ChannelInfo, Signal
from ..io.types import SampleGrid
from ..store.archive import is_archive
from .about import quality_text
from .archives import info_archive, quality_against
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


def _original_channel(signal: Signal | None, args: argparse.Namespace) -> Channel | None:
    if signal is None:
        return None
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


def _scale_text(header: ContainerHeader) -> str:
    stored = header.quant_multiplier
    if stored > 0 and math.isfinite(stored) and stored != 2.0**header.scale:
        return f"{header.scale} (not used: the multiplier sets the step)"
    return str(header.scale)


def _about_rows(found: Trailer) -> list[tuple[str, str]]:
    """What the trailer says of the signal, the grid its values are rounded to (or the integer
    format's, for writing back) and the target the container was coded to."""
    about = found.about
    rows = []
    said = [f"{about.rate:g} Hz" if about.rate is not None else "",
            repr(about.label) if about.label else "", f"in {about.unit}" if about.unit else "",
            f"from {about.source}" if about.source else "",
            ", ".join(f"{v}" for v in about.sample.values())]
    if any(said):
        rows.append(("signal", " ".join(part for part in said if part)))
    if found.sample_type is not None:
        rows.append(("sample type", f"{found.sample_type} (what decompress returns)"))
    # The source format's grid as its file has it; else the grid section's (a declared step).
    grid = _grid_of(about)
    shown = ((float(grid.min_code), float(grid.max_code), grid.step, grid.origin)
             if grid is not None else None if found.grid is None else
             (found.grid[2], found.grid[3], found.grid[0], found.grid[1]))
    if shown is not None:
        lowest, highest, step, origin = shown
        rounded = " (decoded values are rounded to it)" if found.grid is not None else ""
        rows.append(("grid", f"codes {lowest:.0f} to {highest:.0f}, step {step:.9g}, "
                             f"origin {origin:.9g}{rounded}"))
    if about.quality:
        rows.append(("target", quality_text(about.quality)))
    return rows


def _refinement_rows(found: Trailer, data: bytes, corrected: Channel,
                     original: Channel | None) -> list[tuple[str, str]]:
    """The correction layer, with the quality of the base alone (a decoder that ignores the
    trailer returns it)."""
    if found.refinement is None:
        return []
    base = np.frombuffer(_native.decompress(data), dtype=np.float32)
    against = ("", original) if original is not None else (
        " (against the corrected samples)", corrected)
    return [("correction", f"{len(found.refinement)} bytes, "
                           + describe_refinement(found.refinement)),
            ("base quality", quality_against(against[1], base, None) + against[0])]


def cmd_info(args: argparse.Namespace) -> int:
    source = None if args.original is None else read_input(args.original, args)
    original = None
    for i, path in enumerate(args.files):
        if i:
            print()
        if is_archive(path):
            info_archive(path, source, args.original)
            continue
        original = original if original is not None else _original_channel(source, args)
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
            ("scale", _scale_text(header)),
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
        if damage is None and len(data) >= end:
            found = read_trailer(data)
            if found is not None:
                rows.extend(_about_rows(found))
            decoded = decode(data)[0] if original is not None or (
                found is not None and found.refinement is not None) else None
            if original is not None and decoded is not None:
                about = found.about if found is not None else About()
                rows.append(("quality", quality_against(original, decoded, _grid_of(about))))
            if found is not None and decoded is not None:
                rows += _refinement_rows(found, data, decoded, original)
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


def _grid_of(about: About) -> SampleGrid | None:
    return ChannelInfo(physical_range=about.physical_range,
                       digital_range=about.digital_range).grid
