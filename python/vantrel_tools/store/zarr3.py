"""vantrel as a Zarr format 3 array-to-bytes codec (a "serializer").

    >>> import zarr
    >>> from vantrel_tools.zarr3_codec import VantrelCodec
    >>> z = zarr.create_array(store={}, shape=(1_000_000,), chunks=(65536,), dtype="float64",
    ...                       serializer=VantrelCodec(), compressors=None)

A chunk is flattened in C order into one signal and compressed into one container; decoding
casts back to the array's dtype and restores the chunk's shape. Arrays of float32, float64 and 8-,
16- and 32-bit integers are accepted; integers are read back rounded and clipped to their type,
and a quality target holds for those integers. The codec is
lossy. It is registered under the name ``"vantrel"`` through the ``zarr.codecs`` entry point, so
stored arrays open without importing this module. A byte-level compressor after it gains little:
pass ``compressors=None``.

Each container carries a trailer with a checksum and the places of the chunk's NaN and infinite
samples (so a NaN ``fill_value`` stays NaN); a damaged chunk reads as an error. Chunks stored
without a trailer read as before.
"""

from __future__ import annotations

import asyncio
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
try:
    from zarr.abc.codec import ArrayBytesCodec
    from zarr.core.common import JSON, parse_named_configuration
except ModuleNotFoundError as exc:
    raise ModuleNotFoundError(
        'the vantrel Zarr codec needs zarr: pip install "vantrel[zarr]"', name=exc.name
    ) from exc

from ..core.names import QUALITY_TARGETS
from ..core.options import checked_config
from .chunks import (
    as_dtype,
    checked_dtype,
    compress_chunk,
    decode_container,
    without_unused_options,
)

if TYPE_CHECKING:
    from typing import Self

    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer

CODEC_NAME = "vantrel"


@dataclass(frozen=True)
class VantrelCodec(ArrayBytesCodec):
    """Lossy wavelet compression of float and integer chunks, as a Zarr format 3 serializer.

    Parameters
    ----------
    method, scale, cutoff, coder, quant_multiplier
        As for ``vantrel.CompressionOptions``, with the same defaults (keywords only).
    psnr, prd, rmse, max_error
        A quality target instead of a scale (at most one; see ``vantrel_tools.compress_to``):
        each chunk becomes the smallest container found that meets it, coded with `method`.
        `scale`, `cutoff`, `coder` and `quant_multiplier` are refused with a target.

    Raises
    ------
    ValueError, TypeError
        An option no chunk could be compressed with (see ``core.options.checked_config``); checked
        here, not at the first chunk. An array of
        another dtype (see ``store.chunks.SUPPORTED_DTYPES``) is refused with ValueError when it
        is created.

    Examples
    --------
    >>> import numpy as np, zarr
    >>> z = zarr.create_array(store={}, shape=(10_000,), chunks=(4096,), dtype="float32",
    ...                       serializer=VantrelCodec(cutoff="medium"), compressors=None)
    >>> z[:] = np.sin(np.arange(10_000, dtype=np.float32) / 100)
    >>> bool(np.max(np.abs(z[:] - np.sin(np.arange(10_000, dtype=np.float32) / 100))) < 1e-2)
    True
    >>> VantrelCodec(scale=13)
    Traceback (most recent call last):
    ...
    ValueError: ...
    """

    is_fixed_size = False

    method: str
    scale: int | None
    cutoff: str | None
    coder: str | None
    quant_multiplier: float | None
    psnr: float | None
    prd: float | None
    rmse: float | None
    max_error: float | None

    def __init__(
        self,
        *,
        method: str = "cdf97",
        scale: int | None = None,
        cutoff: str | None = None,
        coder: str | None = None,
        quant_multiplier: float | None = None,
        psnr: float | None = None,
        prd: float | None = None,
        rmse: float | None = None,
        max_error: float | None = None,
    ) -> None:
        config = checked_config(method, scale, cutoff, coder, quant_multiplier,
                                dict(psnr=psnr, prd=prd, rmse=rmse, max_error=max_error))
        for name, value in config.items():
            object.__setattr__(self, name, value)

    @classmethod
    def from_dict(cls, data: dict[str, JSON]) -> Self:
        _, configuration = parse_named_configuration(data, CODEC_NAME, require_configuration=False)
        return cls(**without_unused_options(dict(configuration or {})))

    def to_dict(self) -> dict[str, JSON]:
        configuration: dict[str, JSON] = {"method": self.method}
        for name in ("scale", "cutoff", "coder", "quant_multiplier", *QUALITY_TARGETS):
            if getattr(self, name) is not None:
                configuration[name] = getattr(self, name)
        return {"name": CODEC_NAME, "configuration": configuration}

    def validate(self, *, shape: tuple[int, ...], dtype: Any, chunk_grid: Any) -> None:
        checked_dtype(dtype.to_native_dtype())

    def compute_encoded_size(self, input_byte_length: int, chunk_spec: ArraySpec) -> int:
        raise NotImplementedError  # the size of a container depends on the samples

    def _encode(self, chunk: np.ndarray[Any, Any]) -> bytes:
        dtype = checked_dtype(chunk.dtype)
        samples = np.ascontiguousarray(chunk.astype(dtype, copy=False)).reshape(-1)
        return compress_chunk(samples, self)

    def _decode(self, data: bytes, chunk_spec: ArraySpec) -> np.ndarray[Any, Any]:
        samples = decode_container(data)
        expected = int(np.prod(chunk_spec.shape))
        if samples.size != expected:
            raise ValueError(f"a chunk of shape {chunk_spec.shape} holds {expected} samples, "
                             f"the container {samples.size}")
        dtype = checked_dtype(chunk_spec.dtype.to_native_dtype())
        return as_dtype(samples, dtype).reshape(chunk_spec.shape)

    async def _encode_single(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer:
        chunk = np.asarray(chunk_array.as_ndarray_like())
        container = await asyncio.to_thread(self._encode, chunk)
        return chunk_spec.prototype.buffer.from_bytes(container)

    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        chunk = await asyncio.to_thread(self._decode, chunk_bytes.to_bytes(), chunk_spec)
        return chunk_spec.prototype.nd_buffer.from_ndarray_like(chunk)
