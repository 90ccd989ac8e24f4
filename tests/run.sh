#!/usr/bin/env bash
# Runs every test of vantrel: the C++ suites (a release build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build) and the Python suites against a freshly installed module.
# Uses a virtual environment in build/venv; needs cmake, ninja, g++, zlib and GoogleTest headers.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
jobs="$(nproc 2>/dev/null || echo 2)"

venv="$root/build/venv"
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
fi
py="$venv/bin/python"
"$py" -m pip install -q --upgrade pip
"$py" -m pip install -q -r tests/requirements.txt

echo "== C++ tests (release)"
cmake -S . -B build/test-release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_BENCH=ON -DVANTREL_WERROR=ON >/dev/null
cmake --build build/test-release -j "$jobs"
ctest --test-dir build/test-release --output-on-failure -j "$jobs"

echo "== C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/test-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_BUILD_TESTS=ON -DVANTREL_SANITIZE=ON -DVANTREL_WERROR=ON >/dev/null
cmake --build build/test-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/test-asan --output-on-failure -j "$jobs"

echo "== C++ package: install, find_package(vantrel), build and run the example"
bash examples/cpp/build_and_run.sh

# --- Fuzz smoke: every libFuzzer target for 20 s from its seed corpus; any finding fails. ---
echo "== Fuzz smoke (every target, 20 s each)"
if command -v clang++ >/dev/null 2>&1; then
  bash "$root/tests/fuzz/run.sh" all 20
else
  echo "-- skipped: clang++ is missing, the fuzz targets need it"
fi

echo "== Python tests"
"$py" -m pip install -q --no-build-isolation .
export VANTREL_TEST_TOOLS="$root/build/test-release/tests/cpp"
cd "$root/tests/python"
"$py" -m pytest -q
