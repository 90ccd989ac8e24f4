"""The metadata of an archive, checked: the group's ``zarr.json`` and one ``zarr.json`` per
channel array, parsed into plain values with every type and value the reader relies on checked.

From format 2 on, the group's vantrel attributes carry ``metadata_crc32c``: a CRC-32C of the
group document (that key left out) and of every channel array's document, each as canonical JSON
(sorted keys, no spaces), so that a changed label, rate, shape or codec is noticed. The layout is
described in ``docs/archive.md``.
"""

from __future__ import annotations

import json
import math
import re
from dataclasses import dataclass
from typing import Any

import google_crc32c

from ..io.types import Annotation, ChannelInfo, SignalFileError

ATTRS_KEY = "vantrel"
CHECKSUM_KEY = "metadata_crc32c"
CODEC_NAME = "vantrel"
# 1: one chunk per channel. 2: the same, with the metadata checksum. 3: a channel may be split
# into several chunks of equal length (the last one filled up with NaN).
ARCHIVE_VERSION = 3
FIRST_CHECKSUMMED = 2
FIRST_CHUNKED = 3
# Larger metadata documents are refused unread.
MAX_DOCUMENT_BYTES = 16 << 20

_CHANNEL_NODE = re.compile(r"ch(\d+)/")


def channel_key(k: int) -> str:
    return f"ch{k}"


def channel_nodes(keys: list[str]) -> set[int]:
    """The channel numbers that files are stored under."""
    return {int(m.group(1)) for key in keys if (m := _CHANNEL_NODE.match(key))}


def canonical(doc: Any) -> bytes:
    return json.dumps(doc, sort_keys=True, separators=(",", ":")).encode()


def metadata_checksum(group: dict[str, Any], arrays: list[dict[str, Any]]) -> str:
    """The checksum kept in the group's vantrel attributes, as 8 hexadecimal digits."""
    attrs = {k: v for k, v in group["attributes"][ATTRS_KEY].items() if k != CHECKSUM_KEY}
    unsigned = {**group, "attributes": {**group["attributes"], ATTRS_KEY: attrs}}
    crc = google_crc32c.value(canonical(unsigned))
    for doc in arrays:
        crc = google_crc32c.extend(crc, canonical(doc))
    return f"{int(crc):08x}"


class _Checker:
    """Type checks of one document, with the archive and the node named in each refusal."""

    def __init__(self, path: str, where: str) -> None:
        self.path, self.where = path, where

    def error(self, what: str) -> SignalFileError:
        return SignalFileError(f"{self.path}: {self.where}: {what}")

    def get(self, doc: dict[str, Any], key: str, kind: type, default: Any = None) -> Any:
        """`doc[key]` if it is a `kind` (a finite int or float for ``float``), `default` if it
        is absent or null."""
        value: Any = doc.get(key)
        if value is None:
            return default
        number = kind is float
        if isinstance(value, bool) or not isinstance(value, (int, float) if number else kind):
            raise self.error(f"{key!r} is {type(value).__name__}, not "
                             + ("a number" if number else kind.__name__))
        if number and not math.isfinite(doc[key]):
            raise self.error(f"{key!r} is {value}")
        return value

    def pair(self, doc: dict[str, Any], key: str) -> tuple[Any, Any] | None:
        """Two numbers, as the value ranges are stored."""
        value = self.get(doc, key, list)
        if value is None:
            return None
        if len(value) != 2 or None in value:
            raise self.error(f"{key!r} is {value}, not two numbers")
        low, high = (self.get({key: v}, key, float) for v in value)
        return low, high

    def rate(self, doc: dict[str, Any], key: str) -> Any:
        rate = self.get(doc, key, float)
        if rate is not None and rate <= 0:
            raise self.error(f"{key!r} is {rate}, not a positive rate")
        return rate


def parse_document(path: str, key: str, data: bytes) -> dict[str, Any]:
    try:
        doc = json.loads(data)
    except (UnicodeDecodeError, ValueError) as exc:  # JSONDecodeError is a ValueError
        raise SignalFileError(f"{path}: {key} is not valid JSON ({exc})") from None
    if not isinstance(doc, dict) or doc.get("zarr_format") != 3:
        raise SignalFileError(f"{path}: {key} is not Zarr 3 metadata")
    return doc


@dataclass(frozen=True)
class GroupMeta:
    """What the group's vantrel attributes say of the whole recording."""

    version: int
    channels: int
    source: str
    description: str | None
    start: str | None
    rate: int | None
    annotations: list[Annotation]
    attrs: dict[str, Any]
    checksum: str | None


def checked_group(path: str, doc: dict[str, Any]) -> GroupMeta:
    check = _Checker(path, "zarr.json")
    if doc.get("node_type") != "group":
        raise check.error("the root is not a group")
    attrs = check.get(doc, "attributes", dict, {})
    if ATTRS_KEY not in attrs:
        raise check.error(f"no {ATTRS_KEY!r} attributes: not a vantrel archive")
    meta = check.get(attrs, ATTRS_KEY, dict)
    version = check.get(meta, "format", int, 1)
    if version > ARCHIVE_VERSION:
        raise check.error(f"archive format {version} is newer than this reader "
                          f"({ARCHIVE_VERSION})")
    if version < 1:
        raise check.error(f"archive format {version} is unknown")
    channels = check.get(meta, "channels", int)
    if channels is None or channels < 0:
        raise check.error(f"'channels' is {channels}, not a channel count")
    annotations = []
    for item in check.get(meta, "annotations", list, []):
        if not isinstance(item, list) or len(item) != 3:
            raise check.error(f"an annotation is {item!r}, not [onset, duration, text]")
        row = dict(zip(("onset", "duration", "text"), item, strict=True))
        annotations.append(Annotation(float(check.get(row, "onset", float, 0.0)),
                                      check.get(row, "duration", float),
                                      check.get(row, "text", str, "")))
    checksum = check.get(meta, CHECKSUM_KEY, str)
    if version >= FIRST_CHECKSUMMED and checksum is None:
        raise check.error(f"format {version} but no {CHECKSUM_KEY!r}")
    return GroupMeta(
        version=version, channels=channels, source=check.get(meta, "source", str, ""),
        description=check.get(meta, "description", str), start=check.get(meta, "start", str),
        rate=check.rate(meta, "rate"), annotations=annotations,
        attrs=check.get(meta, "attrs", dict, {}), checksum=checksum)


@dataclass(frozen=True)
class ArrayMeta:
    """One channel array: its length, its chunks and what is known of the channel."""

    samples: int
    chunk: int
    chunk_prefix: str
    codec: dict[str, Any]
    info: ChannelInfo

    @property
    def chunk_count(self) -> int:
        return -(-self.samples // self.chunk)

    def chunk_samples(self, j: int) -> int:
        """The samples chunk `j` holds: a whole chunk, as the array's chunk grid says (the
        last one too)."""
        return self.chunk

    def chunk_key(self, k: int, j: int) -> str:
        return f"{channel_key(k)}/{self.chunk_prefix}{j}"


def checked_array(path: str, k: int, doc: dict[str, Any], version: int) -> ArrayMeta:
    check = _Checker(path, f"{channel_key(k)}/zarr.json")
    if doc.get("node_type") != "array":
        raise check.error(f"{channel_key(k)} is a {doc.get('node_type')}, not a channel array")
    shape = check.get(doc, "shape", list)
    if shape is None or len(shape) != 1:
        raise check.error(f"shape {shape} is not one dimension")
    samples = check.get({"shape": shape[0]}, "shape", int)
    if samples is None or samples < 0:
        raise check.error(f"shape {shape} is negative")
    if doc.get("data_type") != "float32":
        raise check.error(f"data type {doc.get('data_type')!r} is not float32")
    grid = check.get(doc, "chunk_grid", dict, {})
    chunk_shape = check.get(check.get(grid, "configuration", dict, {}), "chunk_shape", list, [])
    if grid.get("name") != "regular" or len(chunk_shape) != 1:
        raise check.error(f"chunk grid {grid} is not one regular dimension")
    chunk = check.get({"chunk_shape": chunk_shape[0]}, "chunk_shape", int)
    if chunk is None or chunk < 1 or (chunk != max(samples, 1)
                                      and (version < FIRST_CHUNKED or chunk > samples)):
        raise check.error(f"chunk shape {chunk_shape} does not fit shape {shape} in format "
                          f"{version}")
    encoding = check.get(doc, "chunk_key_encoding", dict, {})
    separator = check.get(encoding, "configuration", dict, {}).get("separator", "/")
    if encoding.get("name") != "default" or separator not in ("/", "."):
        raise check.error(f"chunk key encoding {encoding} is not Zarr's default")
    codecs = check.get(doc, "codecs", list, [])
    if (len(codecs) != 1 or not isinstance(codecs[0], dict)
            or codecs[0].get("name") != CODEC_NAME):
        names = [c.get("name") if isinstance(c, dict) else c for c in codecs]
        raise check.error(f"codecs {names} are not the vantrel serializer alone")
    if check.get(doc, "storage_transformers", list, []):
        raise check.error("storage transformers are not supported")
    a = check.get(doc, "attributes", dict, {})
    physical, digital = check.pair(a, "physical_range"), check.pair(a, "digital_range")
    info = ChannelInfo(
        label=check.get(a, "label", str, ""), rate=check.rate(a, "sample_rate"),
        unit=check.get(a, "unit", str, ""),
        physical_range=physical if physical and digital else None,
        digital_range=digital if physical and digital else None,
        extra=dict(check.get(a, "extra", dict, {})))
    return ArrayMeta(samples, chunk, f"c{separator}", dict(codecs[0]), info)
