"""Storing signals: the chunk helpers shared by the numcodecs codec and the Zarr 3 serializer, the
two codecs, and multi-channel archives. Built on ``core`` (coding) and ``io`` (signals); the
codec modules import numcodecs or zarr, so this package imports none of them itself."""
