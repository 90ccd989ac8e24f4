"""The module object and the CompressionOptions class: construction, conversion, validation."""

import inspect
import math
import os
import pydoc
import re
import subprocess
import sys
import weakref

import numpy as np
import pytest

import vantrel
from vantrel import CompressionOptions
from vantrel_tools.core.names import CUTOFF_LEVELS
from vantrel_tools.core.container import unpack_header

SIGNATURE = '(method="cdf97", scale=11, cutoff="low", coder=None, quant_multiplier=None)'
SIGNAL = (np.sin(np.linspace(0.0, 40.0, 700)) * 3.0 + np.linspace(-1.0, 1.0, 700)).astype(
    np.float32
)


def assert_raises_with_note(exc_type, message, parameter, call):
    """`call()` raises `exc_type` with exactly `message` and the note naming `parameter`."""
    with pytest.raises(exc_type) as info:
        call()
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def header(options):
    """(wavelet code, scale, coder, multiplier) as stored in the container's header."""
    packed = vantrel.compress_signal(SIGNAL, options)
    h = unpack_header(packed)
    return h.wavelet_code, h.scale, h.coder, h.quant_multiplier


class TestModule:
    def test_all_lists_public_names_in_order(self):
        assert vantrel.__all__ == ["CompressionOptions", "compress_signal", "decompress_signal"]
        for name in vantrel.__all__:
            assert hasattr(vantrel, name)

    def test_version_is_the_package_version_and_not_public(self):
        import importlib.metadata

        try:
            installed = importlib.metadata.version("vantrel")
        except importlib.metadata.PackageNotFoundError:
            installed = None  # a build tree on PYTHONPATH, not an installed wheel
        assert vantrel.__version__ == (installed or vantrel.__version__)
        assert vantrel.__version__.count(".") == 2
        assert "__version__" not in vantrel.__all__

    def test_import_and_construction_warn_nothing(self):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        result = subprocess.run(
            [sys.executable, "-W", "error", "-c",
             "import vantrel; vantrel.CompressionOptions(); help(vantrel.CompressionOptions)"],
            env=env, capture_output=True, text=True, check=False,
        )
        assert result.returncode == 0, result.stderr

    def test_module_docstring_is_empty(self):
        assert vantrel.__doc__ == ""

    @pytest.mark.parametrize(
        "function, signature, doc",
        [
            (
                vantrel.compress_signal,
                "(data, options=None)",
                "Compress a 1-D float32 **or** float64 NumPy array into Vantrel `bytes`.\n\n"
                "float64 input is downcast to float32 before compression (the codec works in\n"
                "f32 internally and always reconstructs f32 on decompress).",
            ),
            (
                vantrel.decompress_signal,
                "(data)",
                "Decompress a Vantrel bytes object into a 1-D float32 NumPy array.",
            ),
        ],
    )
    def test_function_signature_and_doc(self, function, signature, doc):
        assert function.__text_signature__ == signature
        assert function.__doc__ == doc
        assert function.__module__ == "vantrel"
        assert function.__name__ in vantrel.__all__

    def test_class_signature(self):
        assert CompressionOptions.__text_signature__ == SIGNATURE
        assert CompressionOptions.__doc__ == ""
        assert str(inspect.signature(CompressionOptions)) == SIGNATURE.replace('"', "'")

    def test_help_shows_the_signature(self):
        text = pydoc.render_doc(CompressionOptions, renderer=pydoc.plaintext)
        # Newer pydoc versions wrap long signatures over several lines.
        flat = re.sub(r"[\s|]", "", text)
        assert re.sub(r"\s", "", "CompressionOptions" + SIGNATURE.replace('"', "'")) in flat

    def test_type_name_has_no_module_prefix(self):
        assert CompressionOptions.__name__ == "CompressionOptions"
        assert CompressionOptions.__qualname__ == "CompressionOptions"
        assert repr(CompressionOptions) == "<class 'CompressionOptions'>"


class TestOpaqueObject:
    def test_no_attributes_dict_or_weakref(self):
        options = CompressionOptions()
        assert not hasattr(options, "__dict__")
        with pytest.raises(AttributeError):
            options.scale = 7
        with pytest.raises(TypeError):
            weakref.ref(options)
        assert [name for name in vars(CompressionOptions) if not name.startswith("__")] == []

    def test_class_is_immutable(self):
        with pytest.raises(TypeError):
            CompressionOptions.extra = 1

    def test_subclass_instances_are_options(self):
        class Tuned(CompressionOptions):
            pass

        assert isinstance(Tuned(scale=7), CompressionOptions)
        assert header(Tuned(method="db4", scale=7)) == header(CompressionOptions("db4", 7))


class TestArgumentConversion:
    @pytest.mark.parametrize(
        "kwargs, exc_type, message, parameter",
        [
            ({"method": 3}, TypeError, "'int' object is not an instance of 'str'", "method"),
            ({"method": b"cdf97"}, TypeError, "'bytes' object is not an instance of 'str'",
             "method"),
            ({"cutoff": None}, TypeError, "'NoneType' object is not an instance of 'str'",
             "cutoff"),
            ({"coder": 1.5}, TypeError, "'float' object is not an instance of 'str'", "coder"),
            ({"scale": 256}, OverflowError, "out of range integral type conversion attempted",
             "scale"),
            ({"scale": -1}, OverflowError, "out of range integral type conversion attempted",
             "scale"),
            ({"scale": 11.0}, TypeError, "'float' object cannot be interpreted as an integer",
             "scale"),
            ({"quant_multiplier": "2"}, TypeError, "must be real number, not str",
             "quant_multiplier"),
        ],
    )
    def test_conversion_failure_keeps_type_and_gets_note(self, kwargs, exc_type, message,
                                                         parameter):
        assert_raises_with_note(exc_type, message, parameter,
                                lambda: CompressionOptions(**kwargs))

    def test_conversion_runs_before_validation_in_parameter_order(self):
        # A bad method value does not hide a later conversion failure.
        assert_raises_with_note(TypeError, "'int' object is not an instance of 'str'", "cutoff",
                                lambda: CompressionOptions("haar", 11, 3))
        assert_raises_with_note(OverflowError, "out of range integral type conversion attempted",
                                "scale", lambda: CompressionOptions("cdf97", 300, 3))

    def test_lone_surrogate_text_fails_with_note(self):
        with pytest.raises(UnicodeEncodeError) as info:
            CompressionOptions(method="\ud800")
        assert info.value.__notes__ == ["while processing 'method'"]

    def test_index_objects_are_integers(self):
        assert header(CompressionOptions(scale=np.uint8(7)))[1] == 7

    @pytest.mark.parametrize(
        "call",
        [
            lambda: CompressionOptions("cdf97", 11, "low", None, None, None),
            lambda: CompressionOptions(level=3),
            lambda: CompressionOptions("cdf97", method="cdf53"),
        ],
        ids=["too-many-positional", "unknown-keyword", "given-twice"],
    )
    def test_binding_errors_name_the_constructor(self, call):
        with pytest.raises(TypeError, match=r"CompressionOptions\.__new__\(\)"):
            call()


class TestValidation:
    @pytest.mark.parametrize("scale", [5, 13, 0, 255])
    def test_scale_outside_6_to_12(self, scale):
        with pytest.raises(ValueError) as info:
            CompressionOptions(scale=scale)
        assert str(info.value) == f"Only scaled 6..12 is supported, but it was {scale}"
        assert not hasattr(info.value, "__notes__")

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"method": "CDF97"},
             "Unknown method \"CDF97\", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"),
            ({"method": " cdf97"},
             "Unknown method \" cdf97\", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"),
            ({"cutoff": "Low"},
             "Unknown cutoff level \"Low\", expected 'low' or 'medium' or 'high'"),
            ({"coder": "zstd"}, "Unknown coder \"zstd\", expected 'auto', 'deflate', 'arans'"),
            ({"coder": ""}, "Unknown coder \"\", expected 'auto', 'deflate', 'arans'"),
            # Checks run method, cutoff, scale, coder: only the first failure is reported.
            ({"method": "haar", "cutoff": "max"},
             "Unknown method \"haar\", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"),
            ({"cutoff": "max", "scale": 99},
             "Unknown cutoff level \"max\", expected 'low' or 'medium' or 'high'"),
            ({"scale": 99, "coder": "zstd"}, "Only scaled 6..12 is supported, but it was 99"),
        ],
    )
    def test_rejected_values(self, kwargs, message):
        with pytest.raises(ValueError) as info:
            CompressionOptions(**kwargs)
        assert str(info.value) == message

    @pytest.mark.parametrize(
        "kwargs",
        [
            {"scale": 6},
            {"scale": 12},
            {"coder": "cmodel"},
            {"coder": "auto"},
            {"quant_multiplier": 0.0},
            {"quant_multiplier": -3.5},
            {"quant_multiplier": math.inf},
            {"quant_multiplier": math.nan},
            {"quant_multiplier": 2},
            {"quant_multiplier": 1e300},
        ],
    )
    def test_accepted_values(self, kwargs):
        assert isinstance(CompressionOptions(**kwargs), CompressionOptions)


class TestQuoting:
    @pytest.mark.parametrize(
        "text, quoted",
        [
            ("haar", '"haar"'),
            ('a"b', r'"a\"b"'),
            ("a\\b", r'"a\\b"'),
            ("\0", r'"\0"'),
            ("\n\t\r", r'"\n\t\r"'),
            ("\x1b", r'"\u{1b}"'),
            ("\x01\x7f", r'"\u{1}\u{7f}"'),
            ("\x85", r'"\u{85}"'),
            ("'", "\"'\""),
            ("é ✓ \U0001f600", '"é ✓ \U0001f600"'),
        ],
    )
    def test_rejected_text_is_quoted(self, text, quoted):
        templates = {
            "method": "Unknown method {}, expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'",
            "cutoff": "Unknown cutoff level {}, expected 'low' or 'medium' or 'high'",
            "coder": "Unknown coder {}, expected 'auto', 'deflate', 'arans'",
        }
        for parameter, template in templates.items():
            with pytest.raises(ValueError) as info:
                CompressionOptions(**{parameter: text})
            assert str(info.value) == template.format(quoted)


class TestRecord:
    """The record is observable only through the containers it produces."""

    def test_defaults_equal_explicit_defaults(self):
        implicit = vantrel.compress_signal(SIGNAL, CompressionOptions())
        explicit = vantrel.compress_signal(
            SIGNAL, CompressionOptions("cdf97", 11, "low", None, None)
        )
        assert implicit == explicit

    @pytest.mark.parametrize(
        "first, second",
        [
            ({"coder": "auto"}, {"coder": None}),
            ({"coder": "auto"}, {"coder": "cmodel"}),
            ({"quant_multiplier": 2}, {"quant_multiplier": 2.0}),
        ],
    )
    def test_equivalent_arguments(self, first, second):
        assert vantrel.compress_signal(SIGNAL, CompressionOptions(**first)) == (
            vantrel.compress_signal(SIGNAL, CompressionOptions(**second))
        )

    @pytest.mark.parametrize(
        "method, code",
        [("cdf53", b"cf53"), ("cdf97", b"cf97"), ("db4", b"db04"), ("sym4", b"sym4")],
    )
    def test_method_reaches_header(self, method, code):
        assert header(CompressionOptions(method=method))[0] == code

    @pytest.mark.parametrize("coder, code", [("deflate", 0), ("arans", 1), ("cmodel", 2),
                                             (None, 2)])
    def test_coder_and_scale_reach_header(self, coder, code):
        _, scale, stored_coder, _ = header(CompressionOptions(scale=7, coder=coder))
        assert (scale, stored_coder) == (7, code)

    def test_multiplier_is_rounded_to_float32(self):
        multiplier = header(CompressionOptions(quant_multiplier=300.1))[3]
        assert multiplier == float(np.float32(300.1))

    def test_cutoff_changes_the_payload(self):
        containers = {
            vantrel.compress_signal(SIGNAL, CompressionOptions(cutoff=cutoff))
            for cutoff in CUTOFF_LEVELS
        }
        assert len(containers) == len(CUTOFF_LEVELS)
