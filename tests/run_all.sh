#!/bin/bash
# Builds and runs every test: the unit tests and the short end-to-end runs
# under ThreadSanitizer and AddressSanitizer, then the whole suite in the
# default build, whose summary closes the output.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
for preset in tsan asan; do
  echo "=== $preset: unit tests and short end-to-end runs"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
done
echo "=== default: every test"
cmake --preset default >/dev/null
cmake --build --preset default -j"$jobs"
ctest --preset default
