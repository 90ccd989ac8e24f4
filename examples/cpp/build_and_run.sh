#!/usr/bin/env bash
# Installs the vantrel C++ core into a temporary prefix, builds the example against it with
# find_package(vantrel), and runs it. Needs cmake, ninja (or make), g++ and the zlib headers.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
jobs="$(nproc 2>/dev/null || echo 2)"

cmake -S "$root" -B "$work/core" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$work/prefix" >/dev/null
cmake --build "$work/core" -j "$jobs"
cmake --install "$work/core" >/dev/null

cmake -S "$root/examples/cpp" -B "$work/example" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/example" -j "$jobs"
"$work/example/vantrel_example"
