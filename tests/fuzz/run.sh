#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) if needed and runs each named target for the
# given number of seconds, starting from its seed corpus. Fails on the first finding.
#   tests/fuzz/run.sh fuzz_decode_stream fuzz_decode_coeffs 120
#   tests/fuzz/run.sh all 60          # every tests/fuzz/fuzz_*.cpp and fuzz_*.py, 60 s each
#   tests/fuzz/run.sh fuzz_edf 60     # a Python target (atheris), over the recording readers
# FUZZ_BUILD_DIR picks another build directory (default build/fuzz); FUZZ_PYTHON the interpreter
# of the Python targets (default build/venv/bin/python, with vantrel and atheris installed).
# fuzz_decompress runs on inputs of at most 1 KiB and fails on any single allocation above
# 64 MiB: no small container may make the decompressor claim more, whatever its header says.
# New corpus entries go to a scratch directory, not into the repository; findings (crash-*,
# leak-*, timeout-*) are kept in build/fuzz/findings.
set -euo pipefail
if [ "$#" -lt 2 ]; then
  echo "usage: $0 TARGET... SECONDS" >&2
  exit 2
fi
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
seconds="${*: -1}"
targets=("${@:1:$#-1}")
if [ "${targets[*]}" = "all" ]; then
  targets=()
  for src in "$root"/tests/fuzz/fuzz_*.cpp "$root"/tests/fuzz/fuzz_*.py; do
    targets+=("$(basename "${src%.*}")")
  done
fi
python="${FUZZ_PYTHON:-$root/build/venv/bin/python}"
native=()
for target in "${targets[@]}"; do
  if [ ! -f "$root/tests/fuzz/$target.py" ]; then native+=("$target"); fi
done
build="${FUZZ_BUILD_DIR:-$root/build/fuzz}"
jobs="${FUZZ_BUILD_JOBS:-2}"

if [ "${#native[@]}" -gt 0 ]; then
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_COMPILER=clang++ -DVANTREL_BUILD_FUZZ=ON -DVANTREL_WERROR=ON >/dev/null
  fi
  cmake --build "$build" -j "$jobs" --target "${native[@]}"
fi

mkdir -p "$build/findings"
status=0
for target in "${targets[@]}"; do
  seeds="$root/tests/fuzz/corpus/$target"
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  echo "== $target for ${seconds}s"
  extra=()
  if [ "$target" = fuzz_decompress ]; then extra=(-max_len=1024 -malloc_limit_mb=64); fi
  corpora=("$work")
  if [ -d "$seeds" ]; then corpora+=("$seeds"); fi
  runner=("$build/tests/fuzz/$target")
  if [ -f "$root/tests/fuzz/$target.py" ]; then
    # A header and a few records; the RSS limit below bounds what a small file may claim.
    runner=("$python" "$root/tests/fuzz/$target.py")
    extra=(-max_len=65536)
  fi
  if ! "${runner[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$build/findings/$target-" -timeout=10 -rss_limit_mb=2048 \
      ${extra[@]+"${extra[@]}"} "${corpora[@]}"; then
    echo "!! $target: finding in $build/findings" >&2
    status=1
  fi
  rm -rf "$work"
  trap - EXIT
done
exit "$status"
