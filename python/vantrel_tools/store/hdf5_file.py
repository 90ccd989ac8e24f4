"""A copy of an HDF5 (or NWB) file whose large numeric datasets are filtered by vantrel.

Every numeric dataset (float32, float64, 8-, 16- and 32-bit integers, little-endian) of at least
``min_size`` bytes whose first axis has at least ``MIN_LENGTH`` elements is rewritten with the
vantrel HDF5 filter, its signals running along that first axis (time in NWB's
``(time, channels)`` layout), in chunks of about ``CHUNK_BYTES`` that span the other axes whole.
Time axes stay exact: dimension scales and datasets named ``timestamps`` (NWB's sample times)
are copied, not filtered, since a lossy time vector moves every sample it times. Everything else is copied as it was: groups, the other datasets (with their own layout and
filters), every attribute, soft and external links, hard links to one object from several
places, and a user block. Object references, in attributes and in datasets (NWB keeps many: the root's ``.specloc``,
the electrode table's ``group`` column, a region's ``table``), are rewritten to point at the
copies. h5py and pynwb read the copy as they read the original, apart from the filter.

    >>> from vantrel_tools.hdf5 import Vantrel
    >>> rewrite("rec.nwb", "rec.vtrl.nwb", Vantrel(scale=10))  # doctest: +SKIP

Writing goes to the path given; callers that replace a file write to a temporary one beside it
and rename it.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

try:
    import h5py  # type: ignore[import-untyped]
except ModuleNotFoundError as exc:
    raise ModuleNotFoundError(
        'rewriting HDF5 files needs h5py: pip install "vantrel[hdf5]"', name=exc.name) from exc

__all__ = ["CHUNK_BYTES", "DEFAULT_MIN_SIZE", "MIN_LENGTH", "FilteredDataset", "rewrite"]

DEFAULT_MIN_SIZE = 1 << 20  # bytes: smaller datasets gain little and are often metadata
MIN_LENGTH = 64  # elements along the first axis: shorter signals code poorly
CHUNK_BYTES = 4 << 20  # the aim for a chunk's raw size; its first axis is at least MIN_CHUNK
MIN_CHUNK = 4096
EXACT_NAMES = ("timestamps",)  # time vectors, copied as they are
_CODED = ("float32", "float64", "int8", "int16", "int32", "uint8", "uint16", "uint32")


@dataclass(frozen=True)
class FilteredDataset:
    """A dataset the copy holds filtered by vantrel."""

    path: str
    shape: tuple[int, ...]
    dtype: str
    raw_bytes: int
    stored_bytes: int  # chunks the filter refused or could not shrink are stored raw


def rewrite(source: str, target: str, keywords: Mapping[str, Any],
            min_size: int = DEFAULT_MIN_SIZE) -> list[FilteredDataset]:
    """Writes to `target` a copy of the HDF5 file `source` with its large numeric datasets
    filtered by vantrel.

    Parameters
    ----------
    source, target : str
        The file to read and the file to write (created, or truncated when it exists).
    keywords : mapping
        The filter's keywords, a ``vantrel_tools.hdf5.Vantrel``; its ``axis`` should be 0.
    min_size : int
        The smallest dataset, in bytes, that is filtered.

    Returns
    -------
    list of FilteredDataset
        The datasets filtered, in the order written.

    Raises
    ------
    OSError
        A file that cannot be read or written (h5py's text).
    ValueError
        A region reference, which the copy cannot point at its new place.

    Examples
    --------
    >>> from vantrel_tools.hdf5 import Vantrel
    >>> [d.path for d in rewrite("rec.nwb", "rec.vtrl.nwb", Vantrel(scale=10))]  # doctest: +SKIP
    ['/acquisition/ElectricalSeries/data']
    """
    # HDF5 1.8's formats at least: they hold attributes of any size, as the source may have.
    with h5py.File(source, "r") as src, h5py.File(target, "w", libver=("v108", "latest"),
                                                  userblock_size=src.userblock_size) as dst:
        copier = _Copier(src, dst, keywords, min_size)
        copier.copies[h5py.h5o.get_info(src.id).addr] = "/"
        copier.group(src, dst)
        copier.finish()
        userblock = src.userblock_size
    if userblock:  # a header other programs put before the HDF5 data (MATLAB's, for one)
        with open(source, "rb") as src_bytes, open(target, "r+b") as dst_bytes:
            dst_bytes.write(src_bytes.read(userblock))
    return copier.filtered


def _wants_filter(node: Any, min_size: int) -> bool:
    dtype = node.dtype
    return (node.shape is not None and len(node.shape) >= 1 and node.shape[0] >= MIN_LENGTH
            and dtype.name in _CODED and dtype.byteorder in "=<|" and node.nbytes >= min_size
            and not node.is_virtual and node.name.rsplit("/", 1)[-1] not in EXACT_NAMES
            and node.attrs.get("CLASS") != b"DIMENSION_SCALE")


def _chunks(shape: tuple[int, ...], itemsize: int) -> tuple[int, ...]:
    row = itemsize * int(np.prod(shape[1:], dtype=np.int64))
    length = max(MIN_CHUNK, CHUNK_BYTES // max(row, 1))
    return (min(shape[0], length), *shape[1:])


def _has_reference(dtype: np.dtype[Any]) -> bool:
    if h5py.check_dtype(ref=dtype) is not None:
        return True
    if dtype.fields:
        return any(_has_reference(field[0]) for field in dtype.fields.values())
    vlen = h5py.check_dtype(vlen=dtype)
    return isinstance(vlen, np.dtype) and _has_reference(vlen)


class _Copier:
    def __init__(self, src: Any, dst: Any, keywords: Mapping[str, Any], min_size: int) -> None:
        self.src, self.dst = src, dst
        self.keywords, self.min_size = dict(keywords), min_size
        self.copies: dict[int, str] = {}  # address of a source object -> its copy's path
        self.later: list[Callable[[], None]] = []  # what needs every copy in place
        self.filtered: list[FilteredDataset] = []

    def group(self, src: Any, dst: Any) -> None:
        self.attributes(src, dst)
        for name in src:  # in the group's own order
            link = src.get(name, getlink=True)
            if isinstance(link, h5py.SoftLink):
                dst[name] = h5py.SoftLink(link.path)
            elif isinstance(link, h5py.ExternalLink):
                dst[name] = h5py.ExternalLink(link.filename, link.path)
            else:
                self.object(src[name], dst, name)

    def object(self, node: Any, dst_parent: Any, name: str) -> None:
        address = h5py.h5o.get_info(node.id).addr
        if address in self.copies:  # another hard link to an object already copied
            dst_parent[name] = self.dst[self.copies[address]]
            return
        self.copies[address] = f"{dst_parent.name.rstrip('/')}/{name}"
        if isinstance(node, h5py.Group):
            self.group(node, dst_parent.create_group(name))
        elif isinstance(node, h5py.Dataset):
            self.dataset(node, dst_parent, name)
        else:  # a named datatype
            dst_parent[name] = node.dtype

    def dataset(self, node: Any, dst_parent: Any, name: str) -> None:
        if _wants_filter(node, self.min_size):
            copy = dst_parent.create_dataset(
                name, shape=node.shape, dtype=node.dtype, maxshape=node.maxshape,
                chunks=_chunks(node.shape, node.dtype.itemsize), fillvalue=node.fillvalue,
                **self.keywords)
            step = copy.chunks[0]
            for start in range(0, node.shape[0], step):
                copy[start:start + step] = node[start:start + step]
            copy.flush()
            self.filtered.append(FilteredDataset(
                copy.name, node.shape, node.dtype.name, node.nbytes,
                copy.id.get_storage_size()))
        elif _has_reference(node.dtype):
            copy = dst_parent.create_dataset(
                name, shape=node.shape, dtype=node.dtype, maxshape=node.maxshape,
                chunks=node.chunks, compression=node.compression,
                compression_opts=node.compression_opts, shuffle=node.shuffle)
            self.later.append(functools.partial(self.write_references, node, copy))
        else:  # layout, filters, fill value and data as they are
            self.src.copy(node, dst_parent, name=name, without_attrs=True)
            copy = dst_parent[name]
        self.attributes(node, copy)

    def attributes(self, src: Any, dst: Any) -> None:
        for name in src.attrs:
            attr = src.attrs.get_id(name)
            dtype = attr.dtype
            if _has_reference(dtype):
                self.later.append(functools.partial(self.write_attribute, src, dst, name, dtype))
            elif dtype.hasobject:  # variable-length strings or sequences
                dst.attrs.create(name, src.attrs[name], dtype=dtype)
            else:  # byte for byte in the attribute's own file type (string padding included)
                file_type, space = attr.get_type(), attr.get_space()
                copy = h5py.h5a.create(dst.id, attr.name, file_type, space)
                if attr.shape is not None:  # not an empty (null) attribute
                    raw = np.empty(attr.shape, dtype=f"V{file_type.get_size()}")
                    attr.read(raw, mtype=file_type)
                    copy.write(raw, mtype=file_type)

    def write_attribute(self, src: Any, dst: Any, name: str, dtype: np.dtype[Any]) -> None:
        dst.attrs.create(name, self.translated(src.attrs[name], dtype), dtype=dtype)

    def write_references(self, node: Any, copy: Any) -> None:
        if node.shape is None or node.size == 0:
            return
        copy[()] = self.translated(node[()], node.dtype)

    def translated(self, value: Any, dtype: np.dtype[Any]) -> Any:
        """`value` of `dtype` with every object reference pointing at the copy."""
        if isinstance(value, h5py.RegionReference) or h5py.check_dtype(ref=dtype) is \
                h5py.RegionReference:
            raise ValueError("region references cannot be copied to a new file")
        if isinstance(value, h5py.Reference):
            if not value:
                return value
            try:
                return self.dst[self.copies[h5py.h5o.get_info(self.src[value].id).addr]].ref
            except (KeyError, ValueError):
                raise ValueError("a reference to an object outside the file's groups cannot be "
                                 "copied") from None
        if isinstance(value, np.ndarray):
            if dtype.fields:
                out = value.copy()
                for field, (sub, *_) in dtype.fields.items():
                    if _has_reference(sub):
                        out[field] = self.translated(value[field], sub)
                return out
            base = h5py.check_dtype(vlen=dtype)
            inner = base if isinstance(base, np.dtype) else dtype
            out = np.empty(value.shape, dtype=value.dtype)
            for index in np.ndindex(value.shape):
                out[index] = self.translated(value[index], inner)
            return out
        if isinstance(value, np.void) and dtype.names:  # one compound element
            return self.translated(np.array(value, dtype=dtype), dtype)[()]
        return value

    def finish(self) -> None:
        for step in self.later:
            step()
