#!/bin/bash
# Times one overload check of a full clearable repository of two mounts, in units of one walk of
# its resources. Needs root: both mounts are tmpfs file systems of a private mount namespace, gone
# when the script ends.
#
#   bench/clearable_bench.sh [buildDir]
#
# Each mount holds RESOURCES (default 100000) resources of one 4 KiB file, their ages interleaved
# between the mounts, and is sized so that they fill it to FILL percent (default 99). The
# repository is clearable with moveLimit 98, fullLimit 97 and cleanLimit 95 and no protection
# time: no mount has room, so the check deletes the globally oldest until one has, moves onto it,
# and so on until both mounts are below their move limits. Printed: the time of one walk (the
# gathering of the oldest of both mounts, best of 3), the time of the check, their ratio, and the
# resources deleted and moved.
set -euo pipefail

if [ -z "${CLEARABLE_BENCH_INSIDE:-}" ]; then
    CLEARABLE_BENCH_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi

build=$(cd "${1:-build}" && pwd)
resources=${RESOURCES:-100000}
fill=${FILL:-99}
scratch=$(mktemp -d /tmp/clearable-bench.XXXXXX)
repo="$scratch/rep"
export LOCK_VAR="$scratch/locks"

cleanup() {
    umount "$repo/m0" "$repo/m1" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

mkdir -p "$repo/m0" "$repo/m1" "$LOCK_VAR"
for m in 0 1; do
    mount -t tmpfs -o "size=$((resources * 8 + 65536))k,nr_inodes=$((resources * 6 + 1000))" \
        tmpfs "$repo/m$m"
    "$build/bin/hashed_fill" "$repo/m$m" "$resources" 4096 1 "$m" 2
    : > "$repo/m$m/repositorypart.cfg"
    # Shrunk to what the resources take: they fill it to FILL percent.
    used=$(df -k --output=used "$repo/m$m" | tail -1)
    mount -o "remount,size=$((used * 100 / fill + 1))k" "$repo/m$m"
done
cat > "$repo/repository.cfg" <<CFG
mountPoints = m0\\m1
isClearable = true
moveLimit = 98
fullLimit = 97
cleanLimit = 95
nomoveTimeSeconds = 0
CFG
df -k "$repo/m0" "$repo/m1" | sed 's/^/  /'

walk=$("$build/bin/walk_once" "$repo" 3)
start=$(date +%s.%N)
"$build/bin/mountbalance" "$repo" > "$scratch/check.out"
end=$(date +%s.%N)
check=$(echo "$end - $start" | bc)
deleted=$(grep -c '^Deleting resource: ' "$scratch/check.out" || true)
moved=$(grep -c '^Move succeeded$' "$scratch/check.out" || true)
df -k "$repo/m0" "$repo/m1" | sed 's/^/  /'
echo "resources: 2 x $resources; one walk: ${walk} s; the check: ${check} s;" \
    "ratio: $(echo "scale=2; $check / $walk" | bc); deleted: $deleted; moved: $moved"
