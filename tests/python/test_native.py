"""vantrel_tools._native: the codec's own names, checked against what the codec does with them."""

import numpy as np
import pytest

import vantrel
from vantrel_tools import _native

SIGNAL = np.sin(np.linspace(0.0, 30.0, 500)).astype(np.float32)


@pytest.mark.parametrize("name, code, tag", _native.wavelet_methods())
def test_method_name_selects_its_tag(name, code, tag):
    packed = vantrel.compress_signal(SIGNAL, vantrel.CompressionOptions(method=name))
    assert packed[8:12] == tag


@pytest.mark.parametrize("name, code", _native.entropy_coders())
def test_coder_name_selects_its_code(name, code):
    packed = vantrel.compress_signal(SIGNAL, vantrel.CompressionOptions(coder=name))
    assert packed[14] == code


def test_orders_and_ranges():
    for table in (_native.wavelet_methods(), _native.entropy_coders()):
        assert [entry[1] for entry in table] == list(range(len(table)))
    low, high = _native.scale_range()
    for scale in (low, high):
        vantrel.CompressionOptions(scale=scale)
    for scale in (low - 1, high + 1):
        with pytest.raises(ValueError):
            vantrel.CompressionOptions(scale=scale)
    for level in _native.cutoff_levels():
        vantrel.CompressionOptions(cutoff=level)
