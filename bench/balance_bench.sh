#!/bin/bash
# Times mountbalance emptying an overloaded mount onto another, beside "cp -r" + "rm -r" of the
# same data between the same two mounts. Needs root: both mounts are tmpfs file systems of a
# private mount namespace, gone when the script ends.
#
#   bench/balance_bench.sh [buildDir]
#
# The repository has the mounts m0 (move and clean limit 1 %) and m1 (every limit 100 %), no
# protection time, and RESOURCES (default 256) resources of TOTAL_MIB / RESOURCES MiB each
# (default 1024 MiB in all), FILES files per resource (default 1), all last used a day or more
# ago, on m0. mountbalance then moves them to m1 until m0 is below 1 % (the last few stay);
# afterwards the same resources go back from m1 to m0 with "cp -r" and "rm -r". Contents are
# checked against checksums taken before. Each mount is MOUNT_MIB large (default 1.5 times the
# data); with less available memory than three times the data the script scales down to 512 MiB.
set -euo pipefail

if [ -z "${BALANCE_BENCH_INSIDE:-}" ]; then
    BALANCE_BENCH_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi

build=$(cd "${1:-build}" && pwd)
resources=${RESOURCES:-256}
total=${TOTAL_MIB:-1024}
files=${FILES:-1}
available=$(awk '/^MemAvailable:/ { print int($2 / 1024) }' /proc/meminfo)
if [ "$available" -lt $((total * 3)) ]; then
    echo "only $available MiB available: scaling down to 512 MiB"
    total=512
fi
mountSize=${MOUNT_MIB:-$((total * 3 / 2))}
scratch=$(mktemp -d /tmp/balance-bench.XXXXXX)
repo="$scratch/repo"

cleanup() {
    umount "$repo/m0" 2>/dev/null || true
    umount "$repo/m1" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

nowNs() { date +%s%N; }
msSince() { echo $((($(nowNs) - $1) / 1000000)); }
# The top-level hash directories of a mount (their names are upper-case letters, digits, "_").
hashDirs() { find "$1" -mindepth 1 -maxdepth 1 -type d -name '[A-Z0-9_]*' | sort; }
resourceCount() { find "$1" -mindepth 4 -maxdepth 4 | wc -l; }
# Checksums of the files of the resources of the given mounts, by path below the mount.
checksums() {
    for mount in "$@"; do
        (cd "$mount" && find . -mindepth 5 -type f -print0 | xargs -0 -r md5sum)
    done | sort -k2
}

mkdir -p "$repo/m0" "$repo/m1" "$scratch/locks"
export LOCK_VAR="$scratch/locks"
mount -t tmpfs -o "size=${mountSize}m" tmpfs "$repo/m0"
mount -t tmpfs -o "size=${mountSize}m" tmpfs "$repo/m1"
printf 'mountPoints = m0\\m1\nnomoveTimeSeconds = 0\n' >"$repo/repository.cfg"
printf 'moveLimit = 1\ncleanLimit = 1\n' >"$repo/m0/repositorypart.cfg"
printf 'switchLimit = 100\nfullLimit = 100\ncleanLimit = 100\nmoveLimit = 100\n' \
    >"$repo/m1/repositorypart.cfg"

echo "filling m0 ($mountSize MiB tmpfs) with $resources resources, $total MiB in all..."
"$build/bin/hashed_fill" "$repo/m0" "$resources" $((total * 1024 * 1024 / resources)) "$files"
before=$(checksums "$repo/m0")
df -m "$repo/m0" "$repo/m1" | sed 's/^/  /'

start=$(nowNs)
"$build/bin/mountbalance" "$repo" >"$scratch/mountbalance.log"
balanceMs=$(msSince "$start")
moved=$(resourceCount "$repo/m1")
left=$(resourceCount "$repo/m0")
movedMib=$(du -sm --exclude=repositorypart.cfg "$repo/m1" | cut -f1)
[ "$(checksums "$repo/m0" "$repo/m1")" = "$before" ] || {
    echo "contents changed by mountbalance"
    exit 1
}
echo "mountbalance: $balanceMs ms, moved $moved resources ($movedMib MiB), $left left on m0"
grep -c "Move succeeded" "$scratch/mountbalance.log" | sed 's/^/  "Move succeeded" lines: /'

mapfile -t dirs < <(hashDirs "$repo/m1")
start=$(nowNs)
cp -r -- "${dirs[@]}" "$repo/m0/"
rm -r -- "${dirs[@]}"
copyMs=$(msSince "$start")
[ "$(checksums "$repo/m0")" = "$before" ] || {
    echo "contents changed by cp -r + rm -r"
    exit 1
}
echo "cp -r + rm -r of the same $moved resources: $copyMs ms"
awk -v a="$balanceMs" -v b="$copyMs" 'BEGIN { printf "ratio mountbalance / (cp -r + rm -r): %.2f\n", a / b }'
