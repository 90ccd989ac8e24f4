#!/usr/bin/env python3
"""Mutation testing for vantrel: how many small, realistic faults do the test suites catch?

Each mutant replaces one exact snippet of production code. The harness copies the working tree
(without build/ and .git) to a scratch directory, so the tree itself is never mutated, even when
the run is interrupted. For each mutant it writes the mutated file into the copy, rebuilds the copy
incrementally (one build directory, ccache), runs the release C++ tests and, for mutants that
Python can reach and the C++ tests missed, the Python suite, then puts the file back.

A mutant whose original snippet does not occur exactly once is reported as stale, not skipped:
fix its row when the code moves.

    python3 tools/mutate.py --list             the table and whether each row still applies
    python3 tools/mutate.py                    every mutant (several minutes)
    python3 tools/mutate.py --only arans       the mutants whose name contains "arans"

Not part of CI. Run it before closing a test issue and whenever a subsystem's tests change.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


@dataclass(frozen=True)
class Mutant:
    name: str
    file: str
    original: str
    mutated: str
    fault: str
    suites: str = "cpp"  # "cpp", "py" or "both": which suites can reach the code


M = Mutant
MUTANTS = [
    # --- byte-plane rANS coder and its engine ---
    M("arans-renorm-boundary", "codec/arans.h", "if (x >= (freq << 20)) {", "if (x > (freq << 20)) {",
      "encoder renormalises one state too late", "both"),
    M("arans-refill-boundary", "codec/arans.h", "if (pos + 2 > size) {", "if (pos + 2 >= size) {",
      "decoder refuses the last word of a stream"),
    M("arans-prob-init", "codec/arans.h", "kProbInit = 2048;", "kProbInit = 2047;",
      "contexts start one step off even odds", "both"),
    M("arans-adapt-shift", "codec/arans.h", "inline constexpr uint32_t kAdaptShift = 4;",
      "inline constexpr uint32_t kAdaptShift = 5;", "adaptation rate halved", "both"),
    M("arans-odd-byte-into-plane-a", "codec/arans.cpp", "if (n - odd < end_a)", "if (n < end_a)",
      "plane A may run into the trailing odd byte"),
    M("arans-pair-cap", "codec/arans.cpp", "if (pairs > (uint64_t{1} << 28))",
      "if (pairs > (uint64_t{1} << 29))", "pair-count cap loosened"),
    M("arans-ctx-bits-switch", "codec/arans.cpp", "n < 16384 ? 3 : 8", "n <= 16384 ? 3 : 8",
      "context width switches one byte late"),
    M("arans-leb128-tenth-byte", "codec/arans.cpp", "if (b & 0x80) return AransError::BadLength;",
      "if (b & 0x40) return AransError::BadLength;", "tenth LEB128 byte checked on the wrong bit"),
    M("arans-decodable-bound", "codec/arans.cpp", "return kMaxBitsPerWord * (words + 1);",
      "return kMaxBitsPerWord * words;", "bound forgets the bits the initial state pays for"),
    # --- coefficient context model ---
    M("cmodel-zero-flag-context", "codec/cmodel.cpp",
      "const uint32_t pz = prev_nonzero_ ? p_after_nonzero_ : p_after_zero_;",
      "const uint32_t pz = prev_nonzero_ ? p_after_zero_ : p_after_nonzero_;",
      "encoder picks the other zero-flag context"),
    M("cmodel-width-cap", "codec/cmodel.cpp", "if (widths[i] > kMaxWidth) return CModelError::BadLength;",
      "if (widths[i] >= kMaxWidth) return CModelError::BadLength;", "16-bit wide bands refused"),
    M("cmodel-band-count-kind", "codec/cmodel.cpp", "if (data[0] != num_bands) return CModelError::BadLength;",
      "if (data[0] != num_bands) return CModelError::Truncated;", "wrong error for a band-count mismatch"),
    M("cmodel-zero-band-width", "codec/cmodel.cpp", "max_mag == 0 ? 1 :", "max_mag == 0 ? 2 :",
      "all-zero bands declare width 2", "both"),
    # --- deflate back end ---
    M("deflate-level", "codec/deflate.cpp", "deflateInit2(&s_, 6,", "deflateInit2(&s_, 5,",
      "compression level changed", "both"),
    M("deflate-cut-stream-kept", "codec/deflate.cpp",
      "    if (s.avail_out != 0 && in_pos == payload.size()) break;\n  }\n  out.resize(out_pos);",
      "    if (s.avail_out != 0 && in_pos == payload.size()) return DeflateError{kCorruptStream};\n"
      "  }\n  out.resize(out_pos);", "a cut stream is refused instead of kept"),
    # --- wavelets ---
    M("cdf97-alpha-ulp", "wavelet/cdf97.cpp", "0xBFCB0673u", "0xBFCB0674u",
      "CDF 9/7 predict constant one ulp off", "both"),
    M("cdf53-update-ulp", "wavelet/cdf53.cpp", "constexpr float kUpdate = 0.25f;",
      "constexpr float kUpdate = 0.25000003f;", "CDF 5/3 update constant one ulp off", "both"),
    M("lifting-scalar-unfused", "wavelet/kernels/lifting_scalar.cpp",
      "for (size_t i = 0; i < count; ++i) t[i] = std::fma(a[i] + b[i], c, t[i]);",
      "for (size_t i = 0; i < count; ++i) t[i] = (a[i] + b[i]) * c + t[i];",
      "scalar lifting step unfused, vector one fused"),
    M("lifting-avx2-unfused", "wavelet/kernels/lifting_avx2.cpp",
      "_mm256_storeu_ps(t + i, _mm256_fmadd_ps(sum, vc, _mm256_loadu_ps(t + i)));",
      "_mm256_storeu_ps(t + i, _mm256_add_ps(_mm256_mul_ps(sum, vc), _mm256_loadu_ps(t + i)));",
      "vector lifting tail unfused, scalar fused"),
    M("conv-scalar-inverse-order", "wavelet/kernels/conv_scalar.cpp",
      "even = std::fma(h[je], a, std::fma(g[je], d, even));",
      "even = std::fma(g[je], d, std::fma(h[je], a, even));",
      "scalar inverse accumulates in another order"),
    M("conv-avx2-forward-unfused", "wavelet/kernels/conv_avx2.cpp",
      "a[v] = _mm256_fmadd_ps(h0, e, a[v]);", "a[v] = _mm256_add_ps(_mm256_mul_ps(h0, e), a[v]);",
      "vector forward convolution unfused"),
    M("border-reflect-off-by-one", "wavelet/border_mode.cpp", "index = r < length ? r : 2 * length - 1 - r;",
      "index = r < length ? r : 2 * length - r;", "reflect mode repeats the wrong sample"),
    M("border-reflect-no-edge-period", "wavelet/border_mode.cpp", "return 2 * (length - 1);",
      "return 2 * length - 1;", "reflect-without-edge period off by one"),
    M("levels-short-buffer", "wavelet/completed.cpp",
      "if (current.size() < filter_length_) return OscletError::buffer_too_small_for_level();",
      "if (current.size() <= filter_length_) return OscletError::buffer_too_small_for_level();",
      "a level exactly one filter long is refused"),
    M("fast-divide-rounding", "wavelet/fast_divide.h", "q += q < 0 ? 1 : 0;", "q += q < 0 ? 0 : 0;",
      "division of negatives rounds down instead of towards zero"),
    M("executor-db4-border", "codec/executors.cpp",
      "Osclet::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap)",
      "Osclet::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Reflect)",
      "db4 extends borders by reflection", "both"),
    # --- pipeline ---
    M("dead-zone-base-scale7", "codec/compressor.cpp", "kBase[] = {0, 0, 1, 1, 2, 2, 3};",
      "kBase[] = {0, 1, 1, 1, 2, 2, 3};", "dead zone at scale 7 changed", "both"),
    M("dead-zone-factor-high", "codec/compressor.cpp", "kFactor[] = {1, 3, 7};", "kFactor[] = {1, 3, 6};",
      "high cutoff factor changed", "both"),
    M("pick-levels-boundary", "codec/compressor.cpp", "if (n < 40) return 2;", "if (n <= 40) return 2;",
      "level count changes one sample late", "both"),
    M("pick-levels-cap", "codec/compressor.cpp", "log2q > 8 ? 8 : log2q", "log2q > 7 ? 7 : log2q",
      "level cap lowered", "both"),
    M("norm-mean", "codec/compressor.cpp", "norm_mean = sum / static_cast<float>(n);",
      "norm_mean = sum / static_cast<float>(n + 1);", "mean of the normalised signal off", "both"),
    M("short-signal-extension", "codec/compressor.cpp", "work[i] = work[(i - n) % n];",
      "work[i] = work[n - 1];", "short signals padded with their last sample", "both"),
    M("decoder-odd-byte-count", "codec/decompressor.cpp", "if (bytes.size() / 2 < total)",
      "if ((bytes.size() + 1) / 2 < total)", "a stream one byte short is accepted", "both"),
    M("decoder-zero-multiplier", "codec/decompressor.cpp", "stored > 0.0f && std::isfinite(stored)",
      "stored >= 0.0f && std::isfinite(stored)", "a zero multiplier in the header is used", "both"),
    M("decoder-level-cap", "codec/decompressor.cpp", "constexpr uint64_t kMaxLevels = 10;",
      "constexpr uint64_t kMaxLevels = 11;", "eleven levels accepted"),
    # --- pipeline passes, scalar and AVX2 ---
    M("denormalize-scalar-unfused", "codec/passes.cpp", "x[i] = std::fma(x[i] + mean, range, min);",
      "x[i] = (x[i] + mean) * range + min;", "scalar de-normalisation unfused", "both"),
    M("denormalize-avx2-unfused", "codec/passes_avx2.cpp",
      "_mm256_fmadd_ps(_mm256_add_ps(_mm256_loadu_ps(x + i), vmean), vrange, vmin)",
      "_mm256_add_ps(_mm256_mul_ps(_mm256_add_ps(_mm256_loadu_ps(x + i), vmean), vrange), vmin)",
      "vector de-normalisation unfused", "both"),
    M("quantize-scalar-half-even", "codec/passes.cpp", "std::round(x[i] * multiplier)",
      "std::nearbyint(x[i] * multiplier)", "scalar quantiser rounds halves to even"),
    M("quantize-avx2-half", "codec/passes_avx2.cpp", "_mm256_cmp_ps(frac, half, _CMP_GE_OQ)",
      "_mm256_cmp_ps(frac, half, _CMP_GT_OQ)", "vector quantiser rounds halves towards zero"),
    M("dead-zone-scalar-boundary", "codec/passes.cpp", "if (magnitude < threshold) v[i] = 0;",
      "if (magnitude <= threshold) v[i] = 0;", "scalar dead zone also zeroes the threshold"),
    M("dead-zone-avx2-bound", "codec/passes_avx2.cpp", "_mm256_cmpgt_epi16(x, neg_t)",
      "_mm256_cmpgt_epi16(x, _mm256_sub_epi16(neg_t, _mm256_set1_epi16(1)))",
      "vector dead zone also zeroes minus the threshold"),
    M("sanitize-scalar-nan", "codec/passes.cpp", "const float v = std::isfinite(x) ? x : (x > 0.0f ? 1.0f : 0.0f);",
      "const float v = std::isfinite(x) ? x : (x > 0.0f ? 1.0f : -1.0f);",
      "NaN and -inf become -1 on the scalar path"),
    M("simd-dispatch-ignores-force", "support/cpu.cpp",
      "return forced == kUnset ? best : static_cast<SimdTarget>(forced);", "return best;",
      "forcing a target has no effect"),
    # --- container header ---
    M("header-scale-before-code", "codec/header.cpp",
      "  h.wavelet_code = take<4>(p + 8);\n"
      "  if (std::find(kWaveletCodes.begin(), kWaveletCodes.end(), h.wavelet_code) == kWaveletCodes.end())\n"
      "    return VantrelError::invalid_method(h.wavelet_code);\n"
      "  h.levels = p[12];\n"
      "  h.scale = p[13];\n"
      "  if (h.scale < kMinScale || h.scale > kMaxScale) return VantrelError::invalid_scale(h.scale);\n",
      "  h.wavelet_code = take<4>(p + 8);\n"
      "  h.levels = p[12];\n"
      "  h.scale = p[13];\n"
      "  if (h.scale < kMinScale || h.scale > kMaxScale) return VantrelError::invalid_scale(h.scale);\n"
      "  if (std::find(kWaveletCodes.begin(), kWaveletCodes.end(), h.wavelet_code) == kWaveletCodes.end())\n"
      "    return VantrelError::invalid_method(h.wavelet_code);\n",
      "scale checked before the wavelet code", "both"),
    M("header-tag-before-version", "codec/header.cpp",
      "  h.version = take<2>(p + 4);\n"
      "  if (h.version[0] != 1) return VantrelError::invalid_version(h.version);\n"
      "  h.method_tag = take<2>(p + 6);\n"
      "  if (h.method_tag != kMethodTag) return VantrelError::invalid_method_tag(h.method_tag);\n",
      "  h.version = take<2>(p + 4);\n"
      "  h.method_tag = take<2>(p + 6);\n"
      "  if (h.method_tag != kMethodTag) return VantrelError::invalid_method_tag(h.method_tag);\n"
      "  if (h.version[0] != 1) return VantrelError::invalid_version(h.version);\n",
      "method tag checked before the version"),
    M("header-version-zero", "codec/header.cpp", "if (h.version[0] != 1)", "if (h.version[0] > 1)",
      "major version 0 accepted"),
    M("header-coder-bound", "codec/header.cpp", "if (h.coder > 2) return VantrelError::unknown_coder(h.coder);",
      "if (h.coder > 3) return VantrelError::unknown_coder(h.coder);", "coder 3 accepted"),
    M("header-mean-unchecked", "codec/header.cpp",
      "!is_finite_bits(load_u32(p + 24)) ||\n      !is_finite_bits(load_u32(p + 28))",
      "!is_finite_bits(load_u32(p + 24))", "a non-finite mean is accepted"),
    M("header-minor-version", "codec/header.cpp", "p[5] = 2;", "p[5] = 1;", "writer's minor version changed", "both"),
    # --- error texts ---
    M("message-32-bit-floats", "codec/error.cpp", "normalise in 32-bit floats\"", "normalise in 32-bit float\"",
      "one character dropped from a message", "both"),
    M("message-unknown-coder", "codec/error.cpp", "\"Unknown entropy coder {}\",", "\"Unknown entropy coder: {}\",",
      "one character added to a message", "both"),
    M("message-multiplier", "codec/error.cpp", "must be positive and finite with a finite reciprocal",
      "must be positive and finite with finite reciprocal", "a word dropped from a message", "both"),
    M("message-payload", "codec/error.cpp", "does not fit the container's 32-bit length field",
      "does not fit the container's 32 bit length field", "a hyphen dropped from a message"),
    M("message-float-digits", "codec/error.cpp", "precision <= 9; ++precision", "precision <= 6; ++precision",
      "floats in messages lose digits", "both"),
    M("message-utf8-overlong", "codec/error.cpp", "(len == 2 && cp < 0x80)", "(len == 2 && cp < 0x7F)",
      "an overlong two-byte sequence is shown as text"),
    # --- Python binding ---
    M("binding-dtype-message", "python/signal.cpp", "\"expected a 1-D float32 or float64 NumPy array\"",
      "\"expected a 1-D float32 or float64 numpy array\"", "binding message changed", "py"),
    M("binding-zero-dim", "python/signal.cpp", "if (PyArray_NDIM(array) != 1)", "if (PyArray_NDIM(array) > 1)",
      "0-d arrays accepted", "py"),
    M("binding-default-cutoff", "python/options.cpp", "std::string_view cutoff = \"low\";",
      "std::string_view cutoff = \"medium\";", "default cutoff changed", "py"),
    M("binding-scale-bound", "python/options.cpp", "if (scale < kMinScale || scale > kMaxScale)",
      "if (scale < kMinScale || scale >= kMaxScale)", "scale 12 refused by the options", "py"),
    # --- companion package ---
    M("tools-wav-pad-byte", "python/vantrel_tools/signal_io.py", "pos = start + size + (size & 1)",
      "pos = start + size", "WAV reader ignores the pad byte after an odd chunk", "py"),
    M("tools-header-scale", "python/vantrel_tools/container.py", "if not 6 <= scale <= 12:",
      "if not 6 <= scale < 12:", "header reader refuses scale 12", "py"),
    M("tools-header-finite", "python/vantrel_tools/container.py",
      "if not all(math.isfinite(v) for v in (lo, hi, mean)):", "if not all(math.isfinite(v) for v in (lo, hi)):",
      "header reader accepts a non-finite mean", "py"),
    M("tools-zarr-shape", "python/vantrel_tools/zarr3_codec.py", "if samples.size != expected:",
      "if samples.size > expected:", "a short chunk is accepted", "py"),
    M("tools-npy-ndim", "python/vantrel_tools/signal_io.py", "if native.ndim == 2:", "if native.ndim >= 2:",
      "arrays of three dimensions read as channels", "py"),
]

# Python tests that look at the installed package rather than the code under test.
PYTEST_IGNORE = ["test_stubs.py", "test_bench_smoke.py"]


def run(cmd, cwd=None, env=None, timeout=None):
    return subprocess.run(cmd, cwd=cwd, env=env, timeout=timeout, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)


def status_of(m: Mutant, root: Path) -> str:
    path = root / m.file
    if not path.exists():
        return "stale (file missing)"
    count = path.read_text().count(m.original)
    return "ok" if count == 1 else f"stale (snippet found {count} times)"


class Sandbox:
    """A copy of the tree with one build directory configured for the C++ tests and the module."""

    def __init__(self, workdir: Path, python: str, jobs: int):
        self.src = workdir / "src"
        self.build = workdir / "build"
        self.python = python
        self.jobs = jobs

    def sync(self):
        """Mirrors the tree into the copy. Only files whose bytes differ are written, and they get a
        fresh time, so rebuilds stay incremental and never reuse an object built from a mutant."""
        wanted = set()
        for dirpath, dirnames, filenames in os.walk(ROOT):
            rel = Path(dirpath).relative_to(ROOT)
            if rel == Path("."):
                dirnames[:] = [d for d in dirnames if d not in ("build", ".git")]
                filenames = [f for f in filenames if f != ".git"]
            dirnames[:] = [d for d in dirnames if d != "__pycache__"]
            for name in filenames:
                src = Path(dirpath) / name
                dst = self.src / rel / name
                wanted.add(dst)
                if dst.exists() and dst.read_bytes() == src.read_bytes():
                    continue
                dst.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(src, dst)
        for dirpath, _, filenames in os.walk(self.src):
            for name in filenames:
                path = Path(dirpath) / name
                if path not in wanted and "__pycache__" not in path.parts:
                    path.unlink()

    def configure(self):
        r = run(["cmake", "-S", str(self.src), "-B", str(self.build), "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=Release", "-DVANTREL_BUILD_TESTS=ON", "-DVANTREL_BUILD_PYTHON=ON",
                 f"-DPython_EXECUTABLE={self.python}", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"])
        if r.returncode != 0:
            sys.exit(f"cmake configure failed:\n{r.stdout[-4000:]}")

    def build_all(self) -> tuple[bool, str]:
        r = run(["cmake", "--build", str(self.build), "-j", str(self.jobs)])
        return r.returncode == 0, r.stdout

    def cpp_tests(self, timeout) -> tuple[bool, str]:
        # The one test binary directly: the same tests as ctest, without a process per test.
        binary = self.build / "tests" / "cpp" / "vantrel_tests"
        try:
            r = run([str(binary), "--gtest_brief=1", "--gtest_fail_fast"], timeout=timeout)
        except subprocess.TimeoutExpired:
            return False, "timeout"
        return r.returncode == 0, r.stdout

    def py_tests(self, timeout) -> tuple[bool, str]:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([str(self.build), str(self.src / "python")])
        env["VANTREL_TEST_TOOLS"] = str(self.build / "tests" / "cpp")
        cmd = [self.python, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider"]
        cmd += [f"--ignore={name}" for name in PYTEST_IGNORE]
        try:
            r = run(cmd, cwd=self.src / "tests" / "python", env=env, timeout=timeout)
        except subprocess.TimeoutExpired:
            return False, "timeout"
        return r.returncode == 0, r.stdout


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--list", action="store_true", help="print the mutants and whether they apply")
    ap.add_argument("--only", metavar="PATTERN", help="run the mutants whose name matches this regex")
    ap.add_argument("--workdir", type=Path, default=Path("/tmp/vantrel-mutate"),
                    help="scratch copy and build directory (kept between runs)")
    ap.add_argument("--python", default=str(ROOT / "build" / "venv" / "bin" / "python"),
                    help="interpreter with the test requirements installed")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--no-python", action="store_true", help="run the C++ tests only")
    args = ap.parse_args()

    mutants = [m for m in MUTANTS if not args.only or re.search(args.only, m.name)]
    names = [m.name for m in MUTANTS]
    assert len(names) == len(set(names)), "mutant names must be unique"
    if args.list:
        for m in mutants:
            print(f"{m.name:34} {m.suites:4} {m.file:38} {status_of(m, ROOT):28} {m.fault}")
        return 0

    started = time.monotonic()
    box = Sandbox(args.workdir, args.python, args.jobs)
    box.sync()
    box.configure()
    ok, log = box.build_all()
    if not ok:
        sys.exit(f"the unmutated copy does not build:\n{log[-4000:]}")
    t0 = time.monotonic()
    ok, log = box.cpp_tests(timeout=None)
    cpp_time = time.monotonic() - t0
    if not ok:
        sys.exit(f"the C++ tests fail on the unmutated copy:\n{log[-4000:]}")
    py_time = 0.0
    if not args.no_python and any(m.suites != "cpp" for m in mutants):
        t0 = time.monotonic()
        ok, log = box.py_tests(timeout=None)
        py_time = time.monotonic() - t0
        if not ok:
            sys.exit(f"the Python tests fail on the unmutated copy:\n{log[-4000:]}")
    print(f"baseline: C++ tests {cpp_time:.1f} s, Python tests {py_time:.1f} s", flush=True)

    results: dict[str, list[str]] = {}
    for m in mutants:
        state = status_of(m, box.src)
        if state != "ok":
            outcome = "stale"
        else:
            path = box.src / m.file
            text = path.read_text()
            try:
                path.write_text(text.replace(m.original, m.mutated, 1))
                outcome = judge(box, m, args, cpp_time, py_time)
            finally:
                path.write_text(text)
        results.setdefault(outcome.split()[0], []).append(m.name)
        print(f"{outcome:22} {m.name:34} {m.fault}", flush=True)

    killed = len(results.get("killed", []))
    survived = results.get("SURVIVED", [])
    counted = killed + len(survived)
    box.build_all()  # leave the copy built unmutated for the next run
    print()
    print(f"score: {killed}/{counted} killed ({100.0 * killed / max(counted, 1):.0f}%)", end="")
    for kind in ("stale", "build-error", "skipped"):
        if results.get(kind):
            print(f", {len(results[kind])} {kind}", end="")
    print(f"; {time.monotonic() - started:.0f} s")
    for kind in ("SURVIVED", "stale", "build-error"):
        for name in results.get(kind, []):
            print(f"  {kind}: {name}")
    return 1 if survived or results.get("stale") else 0


def judge(box: Sandbox, m: Mutant, args, cpp_time: float, py_time: float) -> str:
    ok, log = box.build_all()
    if not ok:
        return "build-error"
    if m.suites in ("cpp", "both"):
        passed, log = box.cpp_tests(timeout=20 * cpp_time + 30)
        if not passed:
            return "killed (c++ timeout)" if log == "timeout" else "killed (c++)"
    if m.suites in ("py", "both"):
        if args.no_python:
            return "skipped (python)"
        passed, log = box.py_tests(timeout=5 * py_time + 60)
        if not passed:
            return "killed (py timeout)" if log == "timeout" else "killed (py)"
    return "SURVIVED"


if __name__ == "__main__":
    sys.exit(main())
