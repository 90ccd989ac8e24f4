#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) if needed and runs each named target for the
# given number of seconds, starting from its seed corpus. Fails on the first finding.
#   tests/fuzz/run.sh fuzz_decode_stream fuzz_decode_coeffs 120
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
build="$root/build/fuzz"
jobs="${FUZZ_BUILD_JOBS:-2}"

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DVANTREL_BUILD_FUZZ=ON >/dev/null
fi
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

mkdir -p "$build/findings"
status=0
for target in "${targets[@]}"; do
  seeds="$root/tests/fuzz/corpus/$target"
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  echo "== $target for ${seconds}s"
  corpora=("$work")
  if [ -d "$seeds" ]; then corpora+=("$seeds"); fi
  if ! "$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$build/findings/$target-" -timeout=10 -rss_limit_mb=2048 \
      "${corpora[@]}"; then
    echo "!! $target: finding in $build/findings" >&2
    status=1
  fi
  rm -rf "$work"
  trap - EXIT
done
exit "$status"
