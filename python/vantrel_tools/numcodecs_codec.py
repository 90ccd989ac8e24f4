"""The numcodecs codec ``Vantrel`` (id ``"vantrel"``), as users and the ``numcodecs.codecs``
entry point name it; it lives in ``vantrel_tools.store.numcodecs_codec``."""

from .store.chunks import SUPPORTED_DTYPES, checked_dtype, compress_chunk, decode_container
from .store.numcodecs_codec import Vantrel

__all__ = ["SUPPORTED_DTYPES", "Vantrel", "checked_dtype", "compress_chunk", "decode_container"]
