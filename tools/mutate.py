#!/usr/bin/env python3
"""Mutation testing for vantrel: how many small, realistic faults do the test suites catch?

Each mutant (a row of tools/mutants.toml) replaces one exact snippet of production code. The
harness copies the working tree (without build/ and .git) to a scratch directory, so the tree
itself is never mutated, even when the run is interrupted. For each mutant it writes the mutated file into the copy, rebuilds the copy
incrementally (one build directory, ccache), runs the release C++ tests and, for mutants that
Python can reach and the C++ tests missed, the Python suite, then puts the file back.

A mutant whose original snippet does not occur exactly once is reported as stale, not skipped:
fix its row when the code moves.

    python3 tools/mutate.py --list             the table and whether each row still applies
    python3 tools/mutate.py                    every mutant (several minutes)
    python3 tools/mutate.py --only arans       the mutants whose name contains "arans"
    python3 tools/mutate.py --tests-from main  also the score of main's tests, side by side

Generated mutants (tools/cxx_mutants.py for C++, cosmic-ray for the companion package, see
tools/py_mutants.py) score a change on faults nobody chose:

    python3 tools/mutate.py --generate cpp --diff main              C++ lines changed since main
    python3 tools/mutate.py --generate cpp codec/quality.cpp --sample 40 --seed 1
    python3 tools/mutate.py --generate python --diff main           Python lines changed since main
    python3 tools/mutate.py --generate cpp --diff main --list       the mutants, without running

Not part of CI. Run it before closing a test issue and whenever a subsystem's tests change.
tools/README.md says how to read the report.
"""

from __future__ import annotations

import argparse
import os
import random
import re
import signal
import shutil
import subprocess
import sys
import time
import tomllib
from dataclasses import dataclass
from pathlib import Path

import cxx_mutants
import py_mutants

ROOT = Path(__file__).resolve().parents[1]


@dataclass(frozen=True)
class Mutant:
    name: str
    file: str
    original: str
    mutated: str
    fault: str
    suites: str = "cpp"  # "cpp", "py" or "both": which suites can reach the code
    line: int = 0  # generated mutants replace this 1-based line (original is the whole line)


def load_mutants(path: Path) -> list[Mutant]:
    with open(path, "rb") as f:
        rows = tomllib.load(f)["mutant"]
    mutants = [Mutant(**row) for row in rows]
    names = [m.name for m in mutants]
    if len(names) != len(set(names)):
        sys.exit(f"{path}: mutant names must be unique")
    for m in mutants:
        if m.suites not in ("cpp", "py", "both"):
            sys.exit(f"{path}: {m.name}: suites must be cpp, py or both, not {m.suites!r}")
    return mutants


# Python tests that look at the installed package rather than the code under test (the type stubs,
# the licence in the wheel's file list), and loops that watch memory and reference counts over
# 100 000 calls each (no mutant here changes either).
PYTEST_IGNORE = ["test_stubs.py", "test_bench_smoke.py"]
# Node ids are relative to the tree's root, where pyproject.toml sets up pytest.
PYTEST_DESELECT = ["tests/python/test_boundary.py::TestNoLeaks::test_flat_over_many_calls",
                   "tests/python/test_first_hour.py::TestPackage::test_licence_file_matches_the_metadata"]


def pytest_args() -> list[str]:
    return [f"--ignore={name}" for name in PYTEST_IGNORE] + \
        [f"--deselect={test}" for test in PYTEST_DESELECT]


def run(cmd, cwd=None, env=None, timeout=None):
    return subprocess.run(cmd, cwd=cwd, env=env, timeout=timeout, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)


def status_of(m: Mutant, root: Path) -> str:
    path = root / m.file
    if not path.exists():
        return "stale (file missing)"
    text = path.read_text()
    if m.line:
        lines = text.split("\n")
        return "ok" if m.line <= len(lines) and lines[m.line - 1] == m.original else "stale (line moved)"
    count = text.count(m.original)
    return "ok" if count == 1 else f"stale (snippet found {count} times)"


def apply_mutant(m: Mutant, text: str) -> str:
    if m.line:
        lines = text.split("\n")
        lines[m.line - 1] = m.mutated
        return "\n".join(lines)
    return text.replace(m.original, m.mutated, 1)


# What the C library or a sanitizer prints when a run ends in memory corruption rather than in a
# failed test: such a kill depends on the allocator noticing, not on a check of ours.
CRASH_MARKERS = re.compile(r"^.*(free\(\)|malloc\(\)|double free|corrupted|ERROR: AddressSanitizer"
                           r"|runtime error:|stack smashing).*$", re.MULTILINE)


# The codec's own stop when a buffer check fails: a kill by a named check, not by luck.
INTERNAL_ERROR = re.compile(r"^internal error: .*$", re.MULTILINE)

# A failed expectation, printed (and flushed) by googletest as it happens: a run that dies after
# one was killed by a test, whatever the crash that followed.
FAILED_EXPECTATION = re.compile(r"^\S+:\d+: Failure$", re.MULTILINE)


def crash_reason(returncode: int, log: str) -> str | None:
    """Why a test run died without a failed test, or None when a test failed, all passed or the
    codec stopped on one of its own checks."""
    if (returncode >= 0 and "[  FAILED  ]" in log) or INTERNAL_ERROR.search(log) \
            or FAILED_EXPECTATION.search(log):
        return None
    marker = CRASH_MARKERS.search(log)
    if returncode < 0:
        name = signal.Signals(-returncode).name
        return f"{name}: {marker.group(0).strip()}" if marker else name
    return marker.group(0).strip() if marker else None


def tree_files(root: Path) -> dict[Path, Path]:
    """The files of a source tree by their path inside it, without build outputs and caches."""
    files = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = Path(dirpath).relative_to(root)
        if rel == Path("."):
            dirnames[:] = [d for d in dirnames if d not in ("build", ".git")]
            filenames = [f for f in filenames if f != ".git"]
        dirnames[:] = [d for d in dirnames if d != "__pycache__"]
        for name in filenames:
            files[rel / name] = Path(dirpath) / name
    return files


class Sandbox:
    """A copy of the tree with one build directory configured for the C++ tests and the module.
    With `tests_rev`, the copy takes tests/ from that git revision instead of the working tree."""

    def __init__(self, workdir: Path, name: str, python: str, jobs: int, tests_rev: str | None):
        self.name = name
        self.src = workdir / name / "src"
        self.build_dir = workdir / name / "build"
        self.python = python
        self.jobs = jobs
        self.tests_rev = tests_rev
        # Sandboxes sit side by side, so with paths taken relative to the work directory their
        # compile commands match and ccache compiles each mutant's production code once.
        self.env = dict(os.environ, CCACHE_BASEDIR=str(workdir))

    def sync(self, scratch: Path):
        """Mirrors the tree into the copy. Only files whose bytes differ are written, and they get a
        fresh time, so rebuilds stay incremental and never reuse an object built from a mutant."""
        files = tree_files(ROOT)
        if self.tests_rev is not None:
            files = {rel: path for rel, path in files.items() if rel.parts[0] != "tests"}
            old = scratch / "tests-rev"
            shutil.rmtree(old, ignore_errors=True)
            old.mkdir(parents=True)
            archive = subprocess.run(["git", "-C", str(ROOT), "archive", self.tests_rev, "tests"],
                                     stdout=subprocess.PIPE, check=True).stdout
            subprocess.run(["tar", "-x", "-C", str(old)], input=archive, check=True)
            files.update(tree_files(old))
        for rel, src in files.items():
            dst = self.src / rel
            if dst.exists() and dst.read_bytes() == src.read_bytes():
                continue
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(src, dst)
        wanted = {self.src / rel for rel in files}
        for dirpath, _, filenames in os.walk(self.src):
            for name in filenames:
                path = Path(dirpath) / name
                if path not in wanted and "__pycache__" not in path.parts:
                    path.unlink()

    def configure(self):
        r = run(["cmake", "-S", str(self.src), "-B", str(self.build_dir), "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=Release", "-DVANTREL_BUILD_TESTS=ON", "-DVANTREL_BUILD_PYTHON=ON",
                 f"-DPython_EXECUTABLE={self.python}", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"],
                env=self.env)
        if r.returncode != 0:
            sys.exit(f"cmake configure failed:\n{r.stdout[-4000:]}")

    def build(self, *targets: str) -> tuple[bool, str]:
        cmd = ["cmake", "--build", str(self.build_dir), "-j", str(self.jobs)]
        if targets:
            cmd += ["--target", *targets]
        r = run(cmd, env=self.env)
        return r.returncode == 0, r.stdout

    def cpp_tests(self, timeout) -> tuple[bool, str]:
        # The one test binary directly: the same tests as ctest, without a process per test.
        binary = self.build_dir / "tests" / "cpp" / "vantrel_tests"
        try:
            r = run([str(binary), "--gtest_brief=1", "--gtest_fail_fast"], timeout=timeout)
        except subprocess.TimeoutExpired:
            return False, "timeout"
        self.last_crash = crash_reason(r.returncode, r.stdout)
        return r.returncode == 0, r.stdout

    def link_native(self):
        """Puts the companion package's extension, built at the top of the build directory, inside
        the package as the installed wheel has it (a link, so every rebuild is seen)."""
        for built in self.build_dir.glob("_native.*"):
            link = self.src / "python" / "vantrel_tools" / built.name
            if not link.is_symlink():
                link.symlink_to(built)
        # The HDF5 filter plugin, where the wheel puts it (built only when HDF5's headers exist).
        for built in self.build_dir.glob("libh5vantrel.so"):
            link = self.src / "python" / "vantrel_tools" / "plugins" / built.name
            link.parent.mkdir(exist_ok=True)
            if not link.is_symlink():
                link.symlink_to(built)

    def python_targets(self) -> list[str]:
        """The targets the Python suite loads: the two modules, the test tools it drives
        (tests/cpp/tools: the wavelet and trailer probes), and the HDF5 plugin when this build
        has it."""
        tools = sorted(p.stem for p in (self.src / "tests" / "cpp" / "tools").glob("*.cpp"))
        targets = ["vantrel_ext", "vantrel_tools_native", *tools]
        if any(self.build_dir.glob("libh5vantrel.so")):
            targets.append("vantrel_h5plugin")
        return targets

    def write_metadata(self):
        """The distribution metadata an installed package has (version, licence, entry points),
        which the CLI, the numcodecs and Zarr codec registries and a few tests look up, beside the
        built modules on the path."""
        project = tomllib.loads((self.src / "pyproject.toml").read_text())["project"]
        version = re.search(r"project\(vantrel VERSION ([0-9.]+)",
                            (self.src / "CMakeLists.txt").read_text()).group(1)
        for old in self.build_dir.glob("vantrel-*.dist-info"):
            shutil.rmtree(old)
        dist = self.build_dir / f"vantrel-{version}.dist-info"
        dist.mkdir()
        (dist / "METADATA").write_text(f"Metadata-Version: 2.1\nName: vantrel\nVersion: {version}\n"
                                       f"License: {project['license']['text']}\n")
        groups = {"console_scripts": project.get("scripts", {}), **project.get("entry-points", {})}
        (dist / "entry_points.txt").write_text("".join(
            f"[{group}]\n" + "".join(f"{k} = {v}\n" for k, v in entries.items()) + "\n"
            for group, entries in groups.items()))
        (dist / "RECORD").write_text("LICENSE,,\n")

    def python_env(self) -> dict[str, str]:
        """The environment the Python suite runs in: the copy's package and built modules."""
        self.link_native()
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([str(self.build_dir), str(self.src / "python")])
        env["VANTREL_TEST_TOOLS"] = str(self.build_dir / "tests" / "cpp")
        # A cached .pyc of a mutant could outlive the mutant when both have the same size and time.
        env["PYTHONDONTWRITEBYTECODE"] = "1"
        return env

    def py_tests(self, timeout) -> tuple[bool, str]:
        env = self.python_env()
        cmd = [self.python, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", *pytest_args()]
        try:
            r = run(cmd, cwd=self.src / "tests" / "python", env=env, timeout=timeout)
        except subprocess.TimeoutExpired:
            return False, "timeout"
        return r.returncode == 0, r.stdout

    def prepare(self, scratch: Path, with_python: bool, cpp: bool = True) -> tuple[float, float]:
        """Syncs, builds and runs the suites once unmutated; returns their times."""
        self.sync(scratch)
        self.configure()
        ok, log = self.build()
        if not ok:
            sys.exit(f"{self.name}: the unmutated copy does not build:\n{log[-4000:]}")
        t0 = time.monotonic()
        ok, log = self.cpp_tests(timeout=None) if cpp else (True, "")
        cpp_time = time.monotonic() - t0
        if not ok:
            sys.exit(f"{self.name}: the C++ tests fail on the unmutated copy:\n{log[-4000:]}")
        py_time = 0.0
        if with_python:
            self.write_metadata()
            t0 = time.monotonic()
            ok, log = self.py_tests(timeout=None)
            py_time = time.monotonic() - t0
            if not ok:
                sys.exit(f"{self.name}: the Python tests fail on the unmutated copy:\n{log[-4000:]}")
        self.cpp_time, self.py_time = cpp_time, py_time
        return cpp_time, py_time

    def try_mutant(self, m: Mutant, with_python: bool) -> str:
        if status_of(m, self.src) != "ok":
            return "stale"
        path = self.src / m.file
        text = path.read_text()
        try:
            path.write_text(apply_mutant(m, text))
            return judge(self, m, with_python)
        finally:
            path.write_text(text)


def judge(box: Sandbox, m: Mutant, with_python: bool) -> str:
    # Only what the next suite runs is rebuilt; a mutant the C++ tests kill never builds the module.
    if m.suites in ("cpp", "both"):
        ok, _ = box.build("vantrel_tests")
        if not ok:
            return "build-error"
        passed, log = box.cpp_tests(timeout=20 * box.cpp_time + 30)
        if not passed:
            if log == "timeout":
                return "killed (c++ timeout)"
            return f"killed (c++ crash: {box.last_crash})" if box.last_crash else "killed (c++)"
    if m.suites in ("py", "both"):
        if not with_python:
            return "skipped (python)"
        ok, _ = box.build(*box.python_targets())
        if not ok:
            return "build-error"
        passed, log = box.py_tests(timeout=5 * box.py_time + 60)
        if not passed:
            return "killed (py timeout)" if log == "timeout" else "killed (py)"
    return "SURVIVED"


def summary(results: dict[str, list[str]]) -> str:
    killed = len(results.get("killed", []))
    counted = killed + len(results.get("SURVIVED", []))
    text = f"{killed}/{counted} killed ({100.0 * killed / max(counted, 1):.0f}%)"
    for kind in ("stale", "build-error", "skipped"):
        if results.get(kind):
            text += f", {len(results[kind])} {kind}"
    return text


def generated_mutants(args) -> list[Mutant]:
    """The C++ operator pass over the named paths or the lines changed since --diff, those whose
    name (file:line:operator) matches --only, then sampled."""
    generated = [g for g in cxx_mutants.generate(ROOT, args.paths, args.diff)
                 if not args.only or re.search(args.only, g.name)]
    if args.sample is not None and args.sample < len(generated):
        generated = sorted(random.Random(args.seed).sample(generated, args.sample),
                           key=lambda g: (g.file, g.line, g.operator, g.mutated))
    return [Mutant(name=g.name, file=g.file, original=g.original, mutated=g.mutated,
                   fault=g.describe(), line=g.line,
                   suites="py" if g.file.startswith("python/") else
                   "cpp" if args.no_python else "both")
            for g in generated]


def outcome_kind(outcome: str) -> str:
    """The column an outcome is counted in: killed, timed out, survived, not compiled, stale."""
    if outcome == "SURVIVED":
        return "survived"
    if outcome.startswith("killed"):
        return "timed out" if "timeout" in outcome else "killed"
    return {"build-error": "not compiled"}.get(outcome.split()[0], outcome.split()[0])


def area_report(rows: list[tuple[str, str, str]]) -> str:
    """Per area and per file group: generated, compiled, killed, survived, timed out, and the kill
    rate over the compiled mutants (a time-out counts as a kill). `rows` are (file, name,
    outcome)."""
    def table(key) -> list[str]:
        counts: dict[str, dict[str, int]] = {}
        for file, _, outcome in rows:
            c = counts.setdefault(key(file), {})
            c[outcome_kind(outcome)] = c.get(outcome_kind(outcome), 0) + 1
        lines = []
        for name in sorted(counts):
            c = counts[name]
            generated = sum(c.values())
            compiled = generated - c.get("not compiled", 0) - c.get("stale", 0) - c.get("skipped", 0)
            dead = c.get("killed", 0) + c.get("timed out", 0)
            rate = f"{100.0 * dead / compiled:5.1f}%" if compiled else "    -"
            lines.append(f"  {name:28} {generated:9} {compiled:8} {c.get('killed', 0):6} "
                         f"{c.get('survived', 0):8} {c.get('timed out', 0):9}  {rate}")
        return lines

    head = f"  {'':28} {'generated':>9} {'compiled':>8} {'killed':>6} {'survived':>8} " \
           f"{'timed out':>9}  rate"
    out = ["by area", head, *table(cxx_mutants.area_of), "by file group", head,
           *table(cxx_mutants.group_of), *table(lambda f: "all")]
    crashes = [(n, o) for _, n, o in rows if "crash" in o]
    if crashes:
        out.append("killed only by a crash (no test failed first):")
        out += [f"  {n}  {o}" for n, o in crashes]
    survivors = [n for _, n, o in rows if o == "SURVIVED"]
    if survivors:
        out.append("survivors (equivalent, or a test to add):")
        out += [f"  {n}" for n in survivors]
    return "\n".join(out)


def report_generated(rows: list[tuple[str, str, str]]) -> int:
    """Prints the score of generated mutants from (file, description, outcome) rows; 1 when any
    survived."""
    grouped: dict[str, list[str]] = {}
    for _, name, outcome in rows:
        grouped.setdefault(outcome.split()[0], []).append(name)
    print(f"\ncurrent tests: {summary(grouped)}")
    print(area_report(rows))
    return 1 if grouped.get("SURVIVED") else 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--list", action="store_true", help="print the mutants and whether they apply")
    ap.add_argument("--only", metavar="PATTERN", help="run the mutants whose name matches this regex")
    ap.add_argument("--tests-from", metavar="REV",
                    help="also score the tests of this git revision against the same mutants")
    ap.add_argument("--workdir", type=Path, default=Path("/tmp/vantrel-mutate"),
                    help="scratch copies and build directories (kept between runs)")
    ap.add_argument("--python", default=str(ROOT / "build" / "venv" / "bin" / "python"),
                    help="interpreter with the test requirements installed")
    ap.add_argument("--table", type=Path, default=ROOT / "tools" / "mutants.toml",
                    help="the mutants (default: tools/mutants.toml)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--no-python", action="store_true", help="run the C++ tests only")
    ap.add_argument("--generate", choices=("cpp", "python"),
                    help="mutants generated from the sources instead of the table")
    ap.add_argument("paths", nargs="*",
                    help="with --generate: files, directories or glob patterns to mutate")
    ap.add_argument("--diff", metavar="REV",
                    help="with --generate: only lines added or changed since this git revision")
    ap.add_argument("--sample", type=int, metavar="N", help="with --generate: N mutants at random")
    ap.add_argument("--seed", type=int, default=0, help="seed of --sample (default 0)")
    args = ap.parse_args()
    # Started in the background (nohup, `&` in a script) SIGINT arrives ignored, every suite run
    # would inherit that, and the tests of the command line's Ctrl-C handling fail unmutated.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    if (args.paths or args.diff or args.sample is not None) and not args.generate:
        ap.error("paths, --diff and --sample go with --generate")

    if args.generate == "python":
        box = Sandbox(args.workdir, "current", args.python, args.jobs, None)
        return py_mutants.main(args, box, pytest_args(), report_generated)
    if args.generate == "cpp":
        mutants = generated_mutants(args)
    else:
        mutants = [m for m in load_mutants(args.table) if not args.only or re.search(args.only, m.name)]
    if args.list:
        for m in mutants:
            if args.generate:
                print(f"{m.suites:4} {m.fault}")
            else:
                print(f"{m.name:34} {m.suites:4} {m.file:38} {status_of(m, ROOT):28} {m.fault}")
        print(f"{len(mutants)} mutants")
        return 0

    started = time.monotonic()
    with_python = not args.no_python and any(m.suites != "cpp" for m in mutants)
    boxes = [Sandbox(args.workdir, "current", args.python, args.jobs, None)]
    if args.tests_from:
        boxes.append(Sandbox(args.workdir, "base", args.python, args.jobs, args.tests_from))
    for box in boxes:
        cpp_time, py_time = box.prepare(args.workdir, with_python)
        print(f"{box.name} tests: C++ {cpp_time:.1f} s, Python {py_time:.1f} s", flush=True)

    results: list[dict[str, list[str]]] = [{} for _ in boxes]
    rows: list[list[tuple[str, str, str]]] = [[] for _ in boxes]
    for m in mutants:
        outcomes = []
        for box, result, row in zip(boxes, results, rows):
            outcome = box.try_mutant(m, with_python)
            result.setdefault(outcome.split()[0], []).append(m.name)
            row.append((m.file, m.fault if args.generate else m.name, outcome))
            outcomes.append(outcome)
        print("  ".join(f"{o:20}" for o in outcomes) + f"  {m.name:34} {m.fault}", flush=True)

    for box in boxes:
        box.build()  # leave the copies built unmutated for the next run
    print()
    for box, result, row in zip(boxes, results, rows):
        print(f"{box.name} tests: {summary(result)}")
        if args.generate:
            report_generated(row)
            continue
        for kind in ("SURVIVED", "stale", "build-error"):
            for name in result.get(kind, []):
                print(f"  {kind}: {name}")
    print(f"{len(mutants)} mutants in {time.monotonic() - started:.0f} s")
    if args.generate:
        return 1 if results[0].get("SURVIVED") else 0
    return 1 if results[0].get("SURVIVED") or results[0].get("stale") else 0


if __name__ == "__main__":
    sys.exit(main())
