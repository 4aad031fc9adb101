#!/usr/bin/env bash
# Lookups per second on GlusterFS from one host and from two hosts at once, beside the same work
# on a local tmpfs. A repository of one mount holding RESOURCES resources (default 1000) made by
# hashed_fill; PROCS processes per host (default 2) look them up for SECONDS (default 10) without
# pauses (lookup_latency). The volumes and hosts come from
# scripts/gluster-hosts.sh; needs root and the GlusterFS packages (exit 77 without).
#   bench/gluster_lookups.sh [build directory, default build]
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/gluster-hosts.sh"
gluster_prepare "$0" "$@"
bin=$(cd "${1:-$root/build}" && pwd)/bin
resources=${RESOURCES:-1000} procs=${PROCS:-2} seconds=${SECONDS_RUN:-10}
export PAUSE_US=0

gluster_start || exit 1
gluster_volume repo 64m && gluster_volume m0 256m || exit 1
repository=$GLUSTER_WORK/mounts/repository
mounts=(repo "$repository" m0 "$repository/m0")
export LOCK_VAR=$repository/locks

# Makes the repository of one mount below $1.
fill() {
    mkdir -p "$1/locks" "$1/m0"
    printf 'mountPoints = m0\nlockDirectory = locks\n' >"$1/repository.cfg"
    : >"$1/m0/repositorypart.cfg"
    "$bin/hashed_fill" "$1/m0" "$resources" 4096 >/dev/null
}

# Lookups per second of a lookup_latency output, with the median time of a lookup and the
# lookups that failed.
rate() {
    awk '$1 == "count" && !c { c = $2 } $1 == "p50_us" && !m { m = $2 } $1 == "seconds" { s = $2 }
         $1 == "failed" { f = $2 } END { printf "%.0f/s (median %.0f us, %d failed)", c / s, m, f }' "$1"
}

out=$GLUSTER_WORK/out
mkdir -p "$out"
gluster_host hostA "${mounts[@]}" -- bash -c "$(declare -f fill); bin=$bin resources=$resources fill $repository"
wait "$!" || exit 1

gluster_host hostA "${mounts[@]}" -- "$bin/lookup_latency" "$repository" "$resources" "$procs" "$seconds" >"$out/one"
wait "$!" || exit 1
one=$(rate "$out/one")

gluster_host hostA "${mounts[@]}" -- "$bin/lookup_latency" "$repository" "$resources" "$procs" "$seconds" >"$out/a"
a=$!
gluster_host hostB "${mounts[@]}" -- "$bin/lookup_latency" "$repository" "$resources" "$procs" "$seconds" >"$out/b"
b=$!
wait "$a" && wait "$b" || exit 1
two_a=$(rate "$out/a") two_b=$(rate "$out/b")
two=$(awk '$1 == "count" && !seen[FILENAME]++ { c += $2 } $1 == "seconds" && $2 > s { s = $2 }
    END { printf "%.0f/s", c / s }' "$out/a" "$out/b")

local_repo=$GLUSTER_WORK/tmpfs
mkdir -p "$local_repo"
mount -t tmpfs -o size=320m bench-tmpfs "$local_repo"
LOCK_VAR=$local_repo/locks
fill "$local_repo"
LOCK_VAR=$local_repo/locks "$bin/lookup_latency" "$local_repo" "$resources" "$procs" "$seconds" >"$out/local"
tmpfs=$(rate "$out/local")
umount "$local_repo"

echo "lookups per second, $procs processes per host, $resources resources, ${seconds} s:"
echo "  GlusterFS, one host:        $one"
echo "  GlusterFS, two hosts:       $two (hostA $two_a, hostB $two_b)"
echo "  local tmpfs, one host:      $tmpfs"
