"""What a newcomer meets first: the test command's set-up, the package's metadata and
documentation, and what README.md says about the module."""

import doctest
import importlib
import importlib.metadata
import importlib.resources
import inspect
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import vantrel

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def read_text(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as f:
        return f.read()


class TestRunScript:
    def run(self, *args, path=None):
        env = dict(os.environ)
        if path is not None:
            env["PATH"] = path
        return subprocess.run(
            [shutil.which("bash"), os.path.join(ROOT, "tests", "run.sh"), *args],
            capture_output=True, text=True, env=env, timeout=120,
        )

    @pytest.mark.parametrize("args", [["--fast"], ["--quick", "extra"]])
    def test_refuses_unknown_arguments(self, args):
        out = self.run(*args)
        assert out.returncode == 2 and "usage: bash tests/run.sh [--quick]" in out.stderr

    def test_stops_at_once_with_the_install_command(self, tmp_path):
        """Without cmake and ninja, and without apt-get to install them, nothing is built."""
        tools = {t: shutil.which(t) for t in ("dirname", "id", "g++")}
        tools["python3"] = sys.executable
        for tool, found in tools.items():
            if found is None:
                pytest.skip(f"{tool} is not installed")
            os.symlink(os.path.realpath(found), tmp_path / tool)
        out = self.run("--quick", path=str(tmp_path))
        assert out.returncode == 1, out.stdout + out.stderr
        assert "  sudo apt-get install cmake ninja-build\n" in out.stderr
        assert "==" not in out.stdout


class TestPackage:
    def test_ships_type_information(self):
        assert importlib.resources.files("vantrel_tools").joinpath("py.typed").is_file()

    @pytest.mark.parametrize(
        "module,dependency",
        [("vantrel_tools.numcodecs_codec", "numcodecs"), ("vantrel_tools.zarr3_codec", "zarr")],
    )
    def test_missing_extra_names_the_install_command(self, module, dependency):
        code = (
            f"import sys; sys.modules[{dependency!r}] = None\n"
            f"try:\n    import {module}\n"
            "except ModuleNotFoundError as exc:\n    print(exc.name, '|', exc)\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert out.returncode == 0, out.stderr
        assert out.stdout.startswith((f"{dependency} | ", f"{dependency}."))
        assert 'pip install "vantrel[zarr]"' in out.stdout

    @pytest.mark.parametrize(
        "name",
        ["io.registry", "io.extras", "core.container", "core.trailer", "core.gaps",
         "core.options", "core.target", "core.codec", "core.channels", "store.chunks",
         "store.numcodecs_codec", "store.zarr3", "store.archive"],
    )
    def test_public_functions_are_documented_and_examples_run(self, name):
        module = importlib.import_module(f"vantrel_tools.{name}")
        for fname, fn in inspect.getmembers(module, inspect.isfunction):
            if fn.__module__ != module.__name__ or fname.startswith("_"):
                continue
            doc = inspect.getdoc(fn) or ""
            for section in ("Parameters", "Returns", "Raises", "Examples"):
                assert f"\n{section}\n---" in doc, f"{fname}: no {section} section"
        result = doctest.testmod(module, optionflags=doctest.ELLIPSIS)
        assert result.attempted > 0 and result.failed == 0

    def test_licence_file_matches_the_metadata(self):
        assert read_text("LICENSE").startswith("MIT License\n")
        meta = importlib.metadata.metadata("vantrel")
        assert "MIT" in (meta.get("License-Expression"), meta.get("License"))
        files = importlib.metadata.files("vantrel") or []
        assert any(f.name == "LICENSE" for f in files)

    def test_long_description_has_no_relative_links(self):
        targets = re.findall(r"\]\(([^)\s]+)", read_text("README.md"))
        targets += re.findall(r"<img[^>]*src=\"([^\"]+)", read_text("README.md"))
        assert [t for t in targets if not re.match(r"https?://|#", t)] == []


class TestReadmeErrors:
    """The error table of README.md names each wrong-argument error as the module raises it."""

    @pytest.mark.parametrize(
        "call",
        [
            lambda: vantrel.compress_signal([1.0, 2.0]),
            lambda: vantrel.compress_signal(np.zeros(4, np.int16)),
            lambda: vantrel.compress_signal(np.zeros((2, 2), np.float32)),
            lambda: vantrel.compress_signal(np.zeros(0, np.float32)),
            lambda: vantrel.compress_signal(np.zeros(8, np.float32)[::2]),
            lambda: vantrel.compress_signal(np.zeros(8, np.float32), {"scale": 9}),
            lambda: vantrel.decompress_signal(bytearray(60)),
            lambda: vantrel.compress_signal(np.array([1.0, 2.0, -5e39])),
        ],
    )
    def test_table_row(self, call):
        with pytest.raises((TypeError, ValueError)) as caught:
            call()
        rows = [r for r in read_text("README.md").splitlines() if f"`{caught.value}`" in r]
        assert len(rows) == 1, f"README has no row for {caught.value!r}"
        assert ("(TypeError)" in rows[0]) == (caught.type is TypeError)


def test_readme_blocks_are_found(monkeypatch):
    monkeypatch.syspath_prepend(os.path.join(ROOT, "tests"))
    monkeypatch.delitem(sys.modules, "check_readme", raising=False)
    check = importlib.import_module("check_readme")
    text = (
        "<!-- readme-check: skip (runs itself) -->\n```sh\nbash tests/run.sh\n```\n"
        "Text.\n\n```python\nprint(1)\n```\n```cmake\nfind_package(x)\n\n```\n"
    )
    blocks = [(b.language, b.line, b.text, b.skipped) for b in check.code_blocks(text)]
    assert blocks == [
        ("sh", 2, "bash tests/run.sh\n", True),
        ("python", 7, "print(1)\n", False),
        ("cmake", 10, "find_package(x)\n\n", False),
    ]
    with pytest.raises(ValueError, match="README.md:1: code block is never closed"):
        check.code_blocks("```sh\nls\n")


@pytest.mark.parametrize("plateau", [1, 1024, 16384, 1 << 19])
def test_cdf53_chunks_are_never_refused(plateau):
    """README's Zarr example relies on it: a short plateau in a long chunk, which the other
    wavelets refuse even at the default scale, fits 16 bits with CDF 5/3 at scale 12."""
    x = np.zeros(1 << 20, np.float32)
    x[1000 : 1000 + plateau] = 1.0
    y = vantrel.decompress_signal(
        vantrel.compress_signal(x, vantrel.CompressionOptions(method="cdf53", scale=12))
    )
    assert np.max(np.abs(y - x)) < 1e-3
