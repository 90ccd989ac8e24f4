#!/usr/bin/env bash
# Installs the vantrel C++ core and C interface into a temporary prefix, builds the C++ example
# and the C99 example against them with find_package(vantrel), and runs both. Needs cmake, ninja
# (or make), g++, gcc and the zlib headers.
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

for example in cpp c; do
  cmake -S "$root/examples/$example" -B "$work/example-$example" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
  cmake --build "$work/example-$example" -j "$jobs"
done
"$work/example-cpp/vantrel_example"
# The C program finds the shared library through its build-tree rpath.
"$work/example-c/vantrel_c_example"
