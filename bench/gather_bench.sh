#!/bin/bash
# Runs gather_bench on a fresh tmpfs and on a fresh ext4 file system (an image in a tmpfs,
# loop-mounted), each with 10000 and 100000 resources, inside a private mount namespace that takes
# every mount with it. Needs root.
#
#   bench/gather_bench.sh [buildDir] [counts...]      e.g. bench/gather_bench.sh build 10000 100000
#
# RUNS (default 5) sets the runs per size.
set -euo pipefail

if [ -z "${GATHER_BENCH_INSIDE:-}" ]; then
    GATHER_BENCH_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi

build=$(cd "${1:-build}" && pwd)
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(10000 100000)
bench="$build/bin/gather_bench"
scratch=$(mktemp -d /tmp/gather-bench.XXXXXX)

cleanup() {
    umount "$scratch/ext4" 2>/dev/null || true
    umount "$scratch/image" 2>/dev/null || true
    umount "$scratch/tmpfs" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

runAll() {
    for count in "${counts[@]}"; do
        "$bench" --resources "$count" --runs "${RUNS:-5}" "$1"
    done
}

mkdir "$scratch/tmpfs" "$scratch/image" "$scratch/ext4"
echo "=== tmpfs"
mount -t tmpfs -o size=3g tmpfs "$scratch/tmpfs"
runAll "$scratch/tmpfs"
umount "$scratch/tmpfs"

echo "=== ext4 (loop image)"
mount -t tmpfs -o size=4g tmpfs "$scratch/image"
truncate -s 3G "$scratch/image/fs.img"
mkfs.ext4 -q -F -N 600000 "$scratch/image/fs.img"
mount -o loop "$scratch/image/fs.img" "$scratch/ext4"
runAll "$scratch/ext4"
