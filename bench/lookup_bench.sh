#!/bin/bash
# Times the repository library's resource operations beside the floor of the same work: lookups
# of clean resources (getLocation_) with 1 and 4 mounts and 1,000 and 100,000 resources per mount,
# lookups from 1, 2, 4 and 8 processes at once, creation and removal, and the dirty flags with a
# large set file. Needs root: the repository and the lock directory are tmpfs file systems of a
# private mount namespace, gone when the script ends.
#
#   bench/lookup_bench.sh [buildDir]
#
# Environment: RUNS (timed runs of each program, default 5; the best counts, since other work on
# the machine only ever makes a run slower), LOOKUPS (lookups per run, default 5000), SIZES
# (resources per mount, default "1000 100000"), MOUNTS (default "1 4"), PROC_LOOKUPS (lookups of
# each process, default 10000), CREATES (default 5000), DIRTY_IDS (default 10000), CALLGRIND (0
# leaves out the instruction counts, default 1).
#
# lookup_bench and lookup_floor (bench/lookup_floor.cpp tells what the floor does) take turns, so
# that a change of the machine's speed falls on both alike. Each figure is the elapsed time per
# operation and, in brackets, the processor time of the process (user and system): on a busy
# machine the elapsed time includes waiting for a processor, the processor time does not. Instructions per operation are counted
# with callgrind, and system calls with strace, each as the difference between a run of 1,500 and
# one of 500 operations divided by 1,000, so that neither start-up nor the handler's first build
# counts. callgrind counts the instructions of the process only, not the kernel's work in its
# system calls. The last lines are the rows of the results table (docs/performance.md).
set -euo pipefail

if [ -z "${LOOKUP_BENCH_INSIDE:-}" ]; then
    LOOKUP_BENCH_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi

build=$(cd "${1:-build}" && pwd)
bin="$build/bin"
runs=${RUNS:-5}
lookups=${LOOKUPS:-5000}
sizes=${SIZES:-1000 100000}
mountCounts=${MOUNTS:-1 4}
procLookups=${PROC_LOOKUPS:-10000}
creates=${CREATES:-5000}
export DIRTY_IDS=${DIRTY_IDS:-10000}
callgrind=${CALLGRIND:-1}
scratch=$(mktemp -d /tmp/lookup-bench.XXXXXX)
rows=()

cleanup() {
    umount "$scratch" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
mount -t tmpfs -o size=4g tmpfs "$scratch"
mkdir "$scratch/locks"
export LOCK_VAR="$scratch/locks"

# The value of the line "name value" of a program's output.
valueOf() { awk -v n="$1" '$1 == n { print $2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
micro() { awk -v ns="$1" 'BEGIN { printf "%.1f µs", ns / 1000 }'; }

# Instructions per operation of "program mode repo mounts perMount count" (callgrind).
instructions() {
    local counts=()
    for n in 500 1500; do
        counts+=("$(valgrind --tool=callgrind --callgrind-out-file=/dev/null "$bin/$1" "$2" "$3" \
            "$4" "$5" "$n" 2>&1 >/dev/null | awk '/Collected/ { print $4 }')")
    done
    awk -v a="${counts[0]}" -v b="${counts[1]}" 'BEGIN { printf "%.0f", (b - a) / 1000 }'
}

# System calls per operation of the same (strace -f -c).
syscalls() {
    local counts=()
    for n in 500 1500; do
        strace -f -c -o "$scratch/strace.out" "$bin/$1" "$2" "$3" "$4" "$5" "$n" >/dev/null
        counts+=("$(awk '$NF == "total" { print $4 }' "$scratch/strace.out")")
    done
    awk -v a="${counts[0]}" -v b="${counts[1]}" 'BEGIN { printf "%.1f", (b - a) / 1000 }'
}

# The best of RUNS runs of lookup_bench and of lookup_floor in the given mode, taking turns; sets
# best[lib:<name>] and best[floor:<name>] for every figure they print (times per operation and
# processor times, as <name>_cpu).
declare -A best
bestOfBoth() {
    local mode=$1 repo=$2 mounts=$3 perMount=$4 count=$5 run program name value
    for key in "${!best[@]}"; do unset "best[$key]"; done
    for ((run = 1; run <= runs; ++run)); do
        for program in lookup_bench lookup_floor; do
            while read -r name value; do
                local key="${program#lookup_}:$name"
                if [ -z "${best[$key]:-}" ] || awk -v a="$value" -v b="${best[$key]}" 'BEGIN { exit !(a < b) }'; then
                    best[$key]=$value
                fi
            done < <("$bin/$program" "$mode" "$repo" "$mounts" "$perMount" "$count")
        done
    done
}

# "<elapsed> (<processor> CPU)" of a figure of best, and the ratios library / floor of both.
figure() { echo "$(micro "${best[$1:$2]}") ($(micro "${best[$1:$2_cpu]}") CPU)"; }
ratios() {
    echo "$(ratio "${best[bench:$1]}" "${best[floor:$1]}") ($(ratio "${best[bench:$1_cpu]}" "${best[floor:$1_cpu]}") CPU)"
}

fillRepository() {
    local repo=$1 mounts=$2 perMount=$3
    echo "filling $repo: $mounts mounts of $perMount resources..."
    mkdir -p "$repo"
    "$bin/lookup_bench" fill "$repo" "$mounts" "$perMount" 0
    # A configuration changed less than two seconds ago is read again by every lookup.
    sleep 2.1
}

lookupRows() {
    local repo=$1 mounts=$2 perMount=$3
    bestOfBoth lookup "$repo" "$mounts" "$perMount" "$lookups"
    local libCalls floorCalls
    libCalls=$(syscalls lookup_bench lookup "$repo" "$mounts" "$perMount")
    floorCalls=$(syscalls lookup_floor lookup "$repo" "$mounts" "$perMount")
    local libFigure floorFigure ratioText
    libFigure="$(figure bench lookup), $libCalls calls"
    floorFigure="$(figure floor lookup), $floorCalls calls"
    ratioText=$(ratios lookup)
    if [ "$callgrind" != 0 ]; then
        local libIr floorIr
        libIr=$(instructions lookup_bench lookup "$repo" "$mounts" "$perMount")
        floorIr=$(instructions lookup_floor lookup "$repo" "$mounts" "$perMount")
        libFigure="$libFigure, $libIr instr"
        floorFigure="$floorFigure, $floorIr instr"
        ratioText="$ratioText, $(ratio "$libIr" "$floorIr") instr"
    fi
    echo "lookup, $mounts mounts, $perMount per mount: $libFigure; floor $floorFigure; ratio $ratioText"
    rows+=("| \`getLocation_\` of a clean resource, $mounts mount(s), $perMount resources per mount | \`lookup_bench lookup <repo> $mounts $perMount $lookups\` | $libFigure | \`lookup_floor\`: $floorFigure | $ratioText | ≤ 1.15, flat |")
}

processRows() {
    local repo=$1 mounts=$2 perMount=$3 procs program libOne="" floorOne=""
    for procs in 1 2 4 8; do
        declare -A most=([lookup_bench]=0 [lookup_floor]=0)
        for ((run = 1; run <= runs; ++run)); do
            for program in lookup_bench lookup_floor; do
                local got
                got=$(PROCS=$procs "$bin/$program" procs "$repo" "$mounts" "$perMount" \
                    "$procLookups" | valueOf lookups_per_second)
                most[$program]=$(printf '%s\n%s\n' "${most[$program]}" "$got" | sort -g | tail -1)
            done
        done
        local lib=${most[lookup_bench]} floor=${most[lookup_floor]}
        [ -n "$libOne" ] || libOne=$lib floorOne=$floor
        echo "lookups from $procs processes: $lib per second ($(ratio "$lib" "$libOne") x one process); floor $floor ($(ratio "$floor" "$floorOne") x)"
        local target=""
        [ "$procs" != 2 ] || target="≥ 1.7 x one process"
        rows+=("| Lookups per second from $procs process(es) on one repository ($mounts mounts, $perMount per mount) | \`PROCS=$procs lookup_bench procs <repo> $mounts $perMount $procLookups\` | $lib /s, $(ratio "$lib" "$libOne") x one process | \`lookup_floor\`: $floor /s, $(ratio "$floor" "$floorOne") x one process | $(ratio "$lib" "$floor") | $target |")
    done
}

createRows() {
    local repo=$1 mounts=$2 perMount=$3 what entry
    bestOfBoth create "$repo" "$mounts" "$perMount" "$creates"
    for what in create remove; do
        entry=createDirectory_
        [ $what = create ] || entry=removeResource_
        echo "$entry: $(figure bench $what); floor $(figure floor $what); ratio $(ratios $what)"
        rows+=("| \`$entry\` of an empty directory resource, $mounts mounts, $perMount per mount | \`lookup_bench create <repo> $mounts $perMount $creates\` | $(figure bench $what) | \`lookup_floor\`: $(figure floor $what) | $(ratios $what) | |")
    done
}

dirtyRows() {
    local repo=$1 mounts=$2 perMount=$3 name text floorText entry
    bestOfBoth dirty "$repo" "$mounts" "$perMount" "$lookups"
    rm -f "$repo/.dirty"
    local what=(
        "isdirty_unchanged|\`isDirty\` with $DIRTY_IDS identifiers flagged, set file unchanged|stat of the set file and a set look-up"
        "isdirty_reread|\`isDirty\` after another process changed the set file ($DIRTY_IDS identifiers)|lock, read of the file, text search"
        "setdirty|\`setDirty\` of one identifier among $DIRTY_IDS (the set file rewritten)|lock, write, fsync, rename"
        "lookup_large_set|\`getLocation_\` of a clean resource with $DIRTY_IDS identifiers flagged|\`lookup_floor\` lookup")
    for entry in "${what[@]}"; do
        IFS='|' read -r name text floorText <<<"$entry"
        echo "$name: $(figure bench "$name"); floor $(figure floor "$name"); ratio $(ratios "$name")"
        rows+=("| $text | \`DIRTY_IDS=$DIRTY_IDS lookup_bench dirty <repo> $mounts $perMount $lookups\` | $(figure bench "$name") | $floorText: $(figure floor "$name") | $(ratios "$name") | |")
    done
}

for perMount in $sizes; do
    for mounts in $mountCounts; do
        repo="$scratch/repo-$mounts-$perMount"
        fillRepository "$repo" "$mounts" "$perMount"
        lookupRows "$repo" "$mounts" "$perMount"
        rm -rf "$repo"
    done
done
repo="$scratch/repo-shared"
fillRepository "$repo" 4 1000
processRows "$repo" 4 1000
createRows "$repo" 4 1000
dirtyRows "$repo" 4 1000

echo
printf '%s\n' "${rows[@]}"
