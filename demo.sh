#!/bin/bash
# Builds iothrash and runs it for ten seconds against a scratch file of its
# own in the temporary folder, which it removes afterwards. It never touches a
# device or an existing file.
set -euo pipefail
cd "$(dirname "$0")"
cmake --preset default >/dev/null
cmake --build --preset default --target iothrash -j"$(nproc)" >/dev/null
scratch_dir=$(mktemp -d "${TMPDIR:-/tmp}/iothrash-demo-XXXXXX")
trap 'rm -rf "$scratch_dir"' EXIT
target="$scratch_dir/target"
# Written whole, not sparse or merely allocated: reads of a hole or of an
# unwritten extent never reach the disk. Random, so that no compressing file
# system turns it back into holes.
dd if=/dev/urandom of="$target" bs=1M count=256 status=none
echo "iothrash on $target: 4 threads, 30% writes, 10% of them fsynced, 4 KiB, 1 s x 10" >&2
./build/iothrash "$target" 4 0.3 0.1 4096 1 10
