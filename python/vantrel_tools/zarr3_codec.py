"""The Zarr format 3 serializer ``VantrelCodec`` (name ``"vantrel"``), as users and the
``zarr.codecs`` entry point name it; it lives in ``vantrel_tools.store.zarr3``."""

from .store.zarr3 import CODEC_NAME, VantrelCodec

__all__ = ["CODEC_NAME", "VantrelCodec"]
