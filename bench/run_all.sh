#!/bin/bash
# Re-measures the whole results table of docs/performance.md and prints its rows (markdown) at the
# end; every benchmark's own output goes to standard error as it runs. Needs root (the benchmarks
# mount tmpfs and ext4 file systems in private mount namespaces).
#
#   bench/run_all.sh <buildDir>
#
# buildDir is configured as a Release build and the benchmark programs are built in it first.
# Each benchmark runs several times and the best time of every program counts: other work on the
# machine only ever makes a run slower, never faster. Environment: RUNS (runs of each program in
# the lookup, gathering and relocation benchmarks, default 5), BALANCE_RUNS (runs of the 1 GiB
# move, default 3); the variables of each script pass through (bench/lookup_bench.sh, ...). The
# move benchmark (bench/move_bench.sh) reports medians of its own ROUNDS (default 5) instead.
set -euo pipefail

[ $# -eq 1 ] || {
    echo "Usage: $0 <buildDir>" >&2
    exit 2
}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)
export RUNS=${RUNS:-5}
balanceRuns=${BALANCE_RUNS:-3}
rows=()

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --parallel --target lookup_bench lookup_floor gather_bench hashed_fill \
    mountbalance move_bench dcmrelocate relocate_floor makestudy >/dev/null

least() { printf '%s\n' "$@" | sort -g | head -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# Runs a benchmark with its output shown on standard error and kept in $log.
log=$(mktemp /tmp/run-all.XXXXXX)
trap 'rm -f "$log"' EXIT
runLogged() { "$@" 2>&1 | tee "$log" >&2; }

# Lookups, creation, removal and dirty flags: the script prints its own rows.
runLogged "$here/lookup_bench.sh" "$build"
mapfile -t lookupRows < <(grep '^| ' "$log")
rows+=("${lookupRows[@]}")

# Gathering the 100 oldest of 100,000 resources beside find, on tmpfs and ext4.
runLogged "$here/gather_bench.sh" "$build" 100000
for fs in tmpfs ext4; do
    mapfile -t gather < <(awk -v fs="=== $fs" 'index($0, "===") == 1 { on = index($0, fs) == 1 }
        on && /^run [0-9]+: gathering/ { print $4 }' "$log")
    mapfile -t find < <(awk -v fs="=== $fs" 'index($0, "===") == 1 { on = index($0, fs) == 1 }
        on && /^run [0-9]+: gathering/ { print $7 }' "$log")
    g=$(least "${gather[@]}") f=$(least "${find[@]}")
    rows+=("| Gathering the 100 oldest of 100,000 resources of a mount ($fs) | \`bench/gather_bench.sh <build> 100000\` | $g ms | \`find <mount> -mindepth 4 -maxdepth 4\`: $f ms | $(ratio "$g" "$f") | |")
done

# Moving 1 GiB between two tmpfs mounts, with the verification, beside cp -r + rm -r.
balance=() copy=()
for ((run = 1; run <= balanceRuns; ++run)); do
    runLogged "$here/balance_bench.sh" "$build"
    balance+=("$(awk '/^mountbalance: / { print $2 }' "$log")")
    copy+=("$(awk '/^cp -r \+ rm -r of the same/ { print $(NF - 1) }' "$log")")
    moved=$(awk '/^mountbalance: / { print $5 " resources, " $7 " MiB" }' "$log" | tr -d "(")
done
b=$(least "${balance[@]}") c=$(least "${copy[@]}")
rows+=("| \`mountbalance\` moving $moved between two tmpfs mounts, contents verified | \`bench/balance_bench.sh <build>\` | $b ms | \`cp -r\` + \`rm -r\` of the same: $c ms | $(ratio "$b" "$c") | ≤ 2 |")

# Moves of resources by the library beside cp -r + rm -r: the script prints its own rows.
runLogged "$here/move_bench.sh" "$build"
mapfile -t moveRows < <(grep '^| Moves' "$log")
rows+=("${moveRows[@]}")

# Filing 2,000 CT files beside the floor of any relocation.
runLogged env BUILD_DIR="$build" "$here/relocate_bench.sh" --count 2000 --runs "$RUNS"
mapfile -t relocate < <(awk '$1 == "run" && $3 == "dcmrelocate:" { print $4 }' "$log")
mapfile -t floor < <(awk '$1 == "run" && $3 == "relocate_floor:" { print $4 }' "$log")
r=$(least "${relocate[@]}") f=$(least "${floor[@]}")
rows+=("| \`dcmrelocate\` filing 2,000 CT files of 512 x 512 | \`bench/relocate_bench.sh --count 2000\` | $r s | \`relocate_floor\`: $f s | $(ratio "$r" "$f") | ≤ 1.2 |")

echo "| What | Command | Figure | Floor or peer | Ratio | Target |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
