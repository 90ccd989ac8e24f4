#!/usr/bin/env bash
# Runs the Python codec tests under Valgrind memcheck: no invalid read or write, no use of
# uninitialised memory and no definite leak whose stack passes through the extension module (or
# the codec inside it).
# Slow (minutes); not part of tests/run.sh.
#   tests/memcheck.sh [BUILD_DIR] [PYTEST ARGS...]
# BUILD_DIR holds the built module (cmake -DVANTREL_BUILD_PYTHON=ON, a RelWithDebInfo build gives
# readable stacks); default build/memcheck, configured and built when missing.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build/memcheck}"
shift || true
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTREL_BUILD_PYTHON=ON >/dev/null
fi
cmake --build "$build" -j "${MEMCHECK_BUILD_JOBS:-2}" --target vantrel_ext

log="$build/memcheck.log"
tests=("$@")
if [ "${#tests[@]}" -eq 0 ]; then
  # The leak test's 100,000 calls per path take too long under Valgrind; it runs natively.
  tests=(test_signal.py test_container.py test_roundtrip.py test_boundary.py test_threads.py
    -k "not TestNoLeaks and not first_calls_from_many_threads")
fi
# The interpreter itself, not a wrapper script around it, so that Valgrind watches it.
py="$(python3 -c 'import sys; print(sys.executable)')"
cd "$root/tests/python"
status=0
PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" PYTHONMALLOC=malloc \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=none --track-origins=no --num-callers=40 --log-file="$log" \
  "$py" -m pytest -q -p no:cacheprovider "${tests[@]}" || status=$?
if [ "$status" -ne 0 ]; then
  echo "!! the tests failed under Valgrind (exit $status)" >&2
  exit "$status"
fi
grep -E "ERROR SUMMARY|definitely lost" "$log" || true
if ! grep -q "ERROR SUMMARY" "$log"; then
  echo "!! no memcheck summary in $log" >&2
  exit 1
fi
# The interpreter, NumPy and the dynamic loader have reports of their own (CPython is not built
# for Valgrind); only the reports whose stack passes through the module count. Each report is a
# block of lines ending with an empty "==PID== " line.
ours="$(awk '/^==[0-9]+== $/ {if (b ~ /vantrel/) n++; b = ""; next} {b = b "\n" $0}
  END {print n + 0}' "$log")"
if [ "$ours" != 0 ]; then
  echo "!! memcheck: $ours reports through vantrel; see $log" >&2
  awk '/^==[0-9]+== $/ {if (b ~ /vantrel/) print b; b = ""; next} {b = b "\n" $0}' "$log" >&2
  exit 1
fi
echo "memcheck clean: no invalid access, uninitialised use or definite leak through vantrel"
