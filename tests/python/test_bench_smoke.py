"""Keeps the end-to-end benchmark runnable: one quick run on a tiny data set, the bisection of\nits harness and the README block of its report."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BENCH = os.path.join(ROOT, "bench")


def _bench_module(name):
    if not os.path.exists(os.path.join(BENCH, f"{name}.py")):
        pytest.skip(f"bench/{name}.py is not in this tree")
    sys.path.insert(0, BENCH)
    try:
        return __import__(name)
    finally:
        sys.path.remove(BENCH)


@pytest.fixture(scope="module")
def harness():
    return _bench_module("harness")


@pytest.fixture(scope="module")
def report():
    return _bench_module("report")


def test_bisection_reaches_the_target(harness):
    """A peer bisected over its tolerance never lands below the PSNR asked for."""

    class Rounding:  # a tolerance codec: rounds to multiples of twice the tolerance
        name, kind = "rounding", "tolerance"

        def compress(self, x, tol):
            return (np.rint(x / (2 * tol)) * (2 * tol)).astype(np.float32).tobytes()

        def decompress(self, blob, n):
            return np.frombuffer(blob, np.float32)

        def describe(self, tol):
            return str(tol)

    x = np.sin(np.arange(2000) * 0.01).astype(np.float32)
    runner = harness.Runner(Rounding(), x)
    for target in (30.0, 55.0, 80.0):
        point = runner.match(target, steps=12)
        assert point.quality.psnr >= target
        assert point.quality.psnr < target + 3.0


class TestReadmeBlock:
    START = "<!-- headline: written by bench/e2e.py --update-readme -->"
    END = "<!-- /headline -->"

    def test_replaces_only_the_block(self, report, tmp_path):
        readme = tmp_path / "README.md"
        readme.write_text(f"intro\n{self.START}\nold table\n{self.END}\noutro\n")
        assert report.update_readme(str(readme), "| new |\n") is None
        assert readme.read_text() == f"intro\n{self.START}\n| new |\n{self.END}\noutro\n"
        # Running it again gives the same text: the block does not grow.
        report.update_readme(str(readme), "| new |\n")
        assert readme.read_text().count("| new |") == 1

    @pytest.mark.parametrize(
        "text", ["no markers\n", "<!-- /headline -->\nthen\n<!-- headline: x -->"]
    )
    def test_leaves_a_readme_without_the_block(self, report, tmp_path, text):
        readme = tmp_path / "README.md"
        readme.write_text(text)
        assert report.update_readme(str(readme), "| new |\n") is not None
        assert readme.read_text() == text

    def test_the_project_readme_has_the_block(self):
        with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
            text = f.read()
        assert 0 <= text.find(self.START) < text.find(self.END)


def test_quick_run(tmp_path):
    """bench/e2e.py --quick runs to the end on one small synthetic signal and writes its files."""
    if not os.path.exists(os.path.join(BENCH, "e2e.py")):
        pytest.skip("bench/e2e.py is not in this tree")
    env = dict(os.environ)
    try:
        import vantrel

        env["PYTHONPATH"] = os.pathsep.join(
            [os.path.dirname(os.path.abspath(vantrel.__file__)), env.get("PYTHONPATH", "")]
        )
    except ImportError:
        pass
    out = subprocess.run(
        [
            sys.executable,
            os.path.join(BENCH, "e2e.py"),
            "--quick",
            "--datasets",
            "sine_noise",
            "--peers",
            "zfp,zlib",
            "--out",
            str(tmp_path),
        ],
        capture_output=True,
        text=True,
        timeout=180,
        env=env,
    )
    assert out.returncode == 0, out.stderr[-3000:]
    assert (tmp_path / "e2e.md").read_text().startswith("# vantrel end-to-end benchmark")
    report = json.loads((tmp_path / "e2e.json").read_text())
    [result] = report["results"]
    assert result["name"] == "sine_noise" and result["samples"] == 4096
    zlib = result["peers"]["zlib"]
    assert next(iter(zlib.values()))["quality"]["max_err"] == 0.0
    default = result["default"]
    if default is not None:  # vantrel ran
        assert "| sine_noise | 4,096 |" in (tmp_path / "headline.md").read_text()
        assert 1.0 < default["quality"]["ratio"] < 100.0
        assert default["quality"]["psnr"] > 40.0
        if "decisions" in result:
            # Every coefficient costs a zero flag, and there are at least as many as samples.
            assert all(d["per_sample"] >= 1.0 for d in result["decisions"].values())
