"""The type stubs of the extension module: mypy --strict accepts typing_example.py and rejects
misuse, so the stubs are found and say something; their literal names are the codec's."""

import ast
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

HERE = pathlib.Path(__file__).resolve().parent
EXAMPLE = HERE / "typing_example.py"

# Each line is misuse that the stubs must reject.
MISUSE = """\
import numpy as np
import vantrel

x = np.zeros(8, dtype=np.float32)
vantrel.CompressionOptions(method="haar")
vantrel.CompressionOptions(scale="11")
vantrel.compress_signal(x, options="fast")
vantrel.decompress_signal(bytearray(b"VTRL"))
n: int = vantrel.decompress_signal(b"")
s: str = vantrel.compress_signal(x)
"""
MISUSE_FIRST_LINE = 5


def _stub_dir() -> pathlib.Path | None:
    for entry in sys.path:
        candidate = pathlib.Path(entry or ".") / "vantrel-stubs"
        if (candidate / "__init__.pyi").is_file():
            return candidate
    return None


def test_mypy_strict_accepts_the_example_and_rejects_misuse(tmp_path):
    pytest.importorskip("mypy")
    stubs = _stub_dir()
    if stubs is None:
        pytest.fail("vantrel-stubs is not installed next to the vantrel module")
    env = dict(os.environ)
    if stubs.parent != pathlib.Path(sysconfig.get_paths()["purelib"]):
        # A source checkout on PYTHONPATH: mypy finds stub packages only in site-packages.
        shutil.copytree(stubs, tmp_path / "stubs" / "vantrel")
        env["MYPYPATH"] = str(tmp_path / "stubs")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--hide-error-context",
         "--cache-dir", str(tmp_path / "cache"), str(EXAMPLE), str(misuse)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if "typing_example" in e], result.stdout
    flagged = {int(e.split(":")[1]) for e in errors if e.split(":")[0].endswith("misuse.py")}
    expected = set(range(MISUSE_FIRST_LINE, MISUSE.count("\n") + 1))
    assert flagged == expected, result.stdout + result.stderr


def test_the_example_runs():
    result = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr


def test_literals_name_what_the_extension_accepts():
    """The Literal types of CompressionOptions list exactly the codec's own names."""
    from vantrel_tools.core import names

    stubs = _stub_dir()
    if stubs is None:
        pytest.fail("vantrel-stubs is not installed next to the vantrel module")
    tree = ast.parse((stubs / "__init__.pyi").read_text())
    new = next(node for node in ast.walk(tree)
               if isinstance(node, ast.FunctionDef) and node.name == "__new__")
    literals = {}
    for arg in new.args.args:
        for node in ast.walk(arg.annotation) if arg.annotation else ():
            if isinstance(node, ast.Subscript) and getattr(node.value, "id", "") == "Literal":
                literals[arg.arg] = {c.value for c in ast.walk(node.slice)
                                     if isinstance(c, ast.Constant)}
    assert literals == {
        "method": set(names.WAVELET_METHODS),
        "cutoff": set(names.CUTOFF_LEVELS),
        "coder": {"auto", *names.ENTROPY_CODERS},
    }


def test_every_target_keyword_is_a_row_of_the_metric_table():
    """The codec's metric table, as _native hands it over, is what every signature, codec key
    and command-line flag takes, in its order."""
    import inspect

    from vantrel_tools import _native

    import vantrel_tools
    from vantrel_tools.cli import build_parser
    from vantrel_tools.core import names
    from vantrel_tools.numcodecs_codec import Vantrel
    from vantrel_tools.zarr3_codec import VantrelCodec

    rows = _native.quality_metrics()
    assert [row[1] for row in rows] == list(range(len(rows)))
    metrics = [row[0] for row in rows]
    assert list(names.QUALITY_TARGETS) == metrics
    for function in (vantrel_tools.compress_to, vantrel_tools.compress_channels, Vantrel,
                     VantrelCodec):
        keywords = [p for p in inspect.signature(function).parameters if p in set(metrics)]
        assert keywords == metrics, function
    assert set(metrics) <= set(Vantrel().get_config()) and set(metrics) <= set(
        VantrelCodec.__dataclass_fields__)
    compress = build_parser()._subparsers._group_actions[0].choices["compress"]
    flags = {a.dest: (a.option_strings, a.metavar, a.help) for a in compress._actions}
    assert [flags[name] for name in metrics] == [
        ([f"--{name.replace('_', '-')}"], metavar, text) for name, _, _, metavar, text in rows]
