#!/usr/bin/env bash
# Runs the tests of vantrel, in a virtual environment under build/venv.
#
#   bash tests/run.sh           everything, as CI does: the C++ suites twice (release, and
#                               AddressSanitizer + UndefinedBehaviorSanitizer), the C++ and C99
#                               package examples, a fuzzing smoke run, the Python suites, and
#                               tests/check_readme.py (README's commands in a fresh copy)
#   bash tests/run.sh --quick   the release C++ suites and the Python suites only
#
# The system packages it needs (Debian names in `packages_missing`) are installed with apt-get
# when the script runs as root or may use sudo without a password; otherwise it stops at once
# and prints the one command that installs them.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  -h | --help)
    sed -n '2,12s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
  *)
    echo "usage: bash tests/run.sh [--quick]" >&2
    exit 2
    ;;
esac
if [ "$#" -gt 1 ]; then
  echo "usage: bash tests/run.sh [--quick]" >&2
  exit 2
fi

# Prints the Debian packages of everything this run needs that is not there, one per line.
packages_missing() {
  command -v cmake >/dev/null 2>&1 || echo cmake
  command -v ninja >/dev/null 2>&1 || echo ninja-build
  python3 -c 'import ensurepip, venv' >/dev/null 2>&1 || echo python3-venv
  if ! command -v g++ >/dev/null 2>&1; then
    printf '%s\n' g++ zlib1g-dev libgtest-dev
  else
    echo '#include <zlib.h>' | g++ -fsyntax-only -x c++ - >/dev/null 2>&1 || echo zlib1g-dev
    echo '#include <gtest/gtest.h>' | g++ -fsyntax-only -x c++ - >/dev/null 2>&1 ||
      echo libgtest-dev
  fi
  # The HDF5 filter plugin builds against HDF5's headers (it links no HDF5 library); h5dump reads
  # files through it in the tests.
  [ -f /usr/include/hdf5/serial/H5PLextern.h ] || [ -f /usr/include/H5PLextern.h ] ||
    echo libhdf5-dev
  [ -x /usr/bin/h5dump ] || command -v h5dump >/dev/null 2>&1 || echo hdf5-tools
  if [ "$quick" = 0 ]; then
    # The fuzz targets need clang with its libFuzzer runtime.
    if ! command -v clang++ >/dev/null 2>&1; then
      printf '%s\n' clang libclang-rt-dev
    else
      echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) {return 0;}' |
        clang++ -fsanitize=fuzzer -x c++ - -o /dev/null >/dev/null 2>&1 || echo libclang-rt-dev
    fi
  fi
}

mapfile -t missing < <(packages_missing)
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=()
  if [ "$(id -u)" != 0 ] && command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    sudo=(sudo -n)
  fi
  if command -v apt-get >/dev/null 2>&1 && { [ "$(id -u)" = 0 ] || [ "${#sudo[@]}" -gt 0 ]; }; then
    echo "== Installing ${missing[*]}"
    ${sudo[@]+"${sudo[@]}"} env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    ${sudo[@]+"${sudo[@]}"} env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    mapfile -t missing < <(packages_missing)
  fi
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "tests/run.sh needs these system packages (Debian names): ${missing[*]}" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

start=$SECONDS
# Prints a section heading with the minutes and seconds since the start.
section() {
  local t=$((SECONDS - start))
  printf '== %s [%d:%02d]\n' "$1" $((t / 60)) $((t % 60))
}
jobs="$(nproc 2>/dev/null || echo 2)"
launcher=()
if command -v ccache >/dev/null 2>&1; then
  # Rebuilds of unchanged sources (the build directories below, pip's build of the module) are
  # taken from the compiler cache.
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

venv="$root/build/venv"
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
fi
py="$venv/bin/python"
"$py" -m pip install -q --upgrade pip
"$py" -m pip install -q -r tests/requirements.txt

section "C++ tests (release)"
cmake -S . -B build/test-release -G Ninja -DCMAKE_BUILD_TYPE=Release ${launcher[@]+"${launcher[@]}"} \
  -DVANTREL_BUILD_TESTS=ON -DVANTREL_BUILD_BENCH=ON -DVANTREL_WERROR=ON >/dev/null
cmake --build build/test-release -j "$jobs"
ctest --test-dir build/test-release --output-on-failure -j "$jobs"

if [ "$quick" = 0 ]; then
  section "C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
  cmake -S . -B build/test-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    ${launcher[@]+"${launcher[@]}"} -DVANTREL_BUILD_TESTS=ON -DVANTREL_SANITIZE=ON \
    -DVANTREL_WERROR=ON >/dev/null
  cmake --build build/test-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/test-asan --output-on-failure -j "$jobs"

  section "C++ package: install, find_package(vantrel), build and run the C++ and C examples"
  bash examples/cpp/build_and_run.sh

fi

# The module and the companion package, installed into the virtual environment: the Python
# suites and the recording readers' fuzz targets import them.
section "Python package: build and install"
"$py" -m pip install -q --no-build-isolation .

if [ "$quick" = 0 ]; then
  # Every libFuzzer target for 20 s from its seed corpus; any finding fails.
  section "Fuzz smoke (every target, 20 s each)"
  bash "$root/tests/fuzz/run.sh" all 20
fi

section "Python tests"
(
  export VANTREL_TEST_TOOLS="$root/build/test-release/tests/cpp"
  cd "$root/tests/python"
  "$py" -m pytest -q
)

if [ "$quick" = 0 ]; then
  section "README: its commands in a fresh copy and a fresh virtual environment"
  python3 tests/check_readme.py
fi

section "All tests passed"
