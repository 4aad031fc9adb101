#!/usr/bin/env bash
# Times dcmrelocate against relocate_floor, the least work per file that any relocation built on
# the DICOM toolkit does (load, five look-ups, one rename), on one study of CT files.
#
#   bench/relocate_bench.sh [--count N] [--runs N]
#
# Environment: BUILD_DIR (default <repo>/build-bench, a Release build), WORK_DIR (default
# <repo>/bench/work), COUNT (files, default 2000), RUNS (timed runs per program, default 5),
# PIXELS (image edge, default 512).
#
# The study is made once in WORK_DIR/study-<count>x<pixels> and reused while it is complete.
# Before each run the source is a fresh tree of hard links to it and the target a fresh empty
# directory, so every run moves real files without copying any data. dcmrelocate's standard
# error goes to WORK_DIR/dcmrelocate.log (all runs of the last invocation), as an operator would
# keep it. The script ends with status 1 when a program fails or a file does not arrive.
set -euo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$script_dir/.." && pwd)
build_dir=${BUILD_DIR:-$repo/build-bench}
work_dir=${WORK_DIR:-$repo/bench/work}
count=${COUNT:-2000}
runs=${RUNS:-5}
pixels=${PIXELS:-512}

usage() {
    echo "Usage: $0 [--count N] [--runs N]" >&2
    exit 2
}

while [[ $# -gt 0 ]]; do
    case $1 in
    --count) [[ $# -ge 2 ]] || usage; count=$2; shift 2 ;;
    --runs) [[ $# -ge 2 ]] || usage; runs=$2; shift 2 ;;
    -h | --help) usage ;;
    *) usage ;;
    esac
done
[[ $count =~ ^[1-9][0-9]*$ && $runs =~ ^[1-9][0-9]*$ && $pixels =~ ^[1-9][0-9]*$ ]] || usage

die() {
    echo "relocate_bench: $*" >&2
    exit 1
}

echo "== Building (Release) in $build_dir"
generator=()
if [[ ! -f $build_dir/CMakeCache.txt ]] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
fi
cmake -S "$repo" -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" --parallel --target dcmrelocate relocate_floor makestudy >/dev/null
bin=$build_dir/bin

# Each shape of study has its own directory, kept for the next invocation, so a quick try with
# --count does not throw away the full study. A stamp written after makestudy finished tells a
# complete study from one that was cut short.
mkdir -p "$work_dir"
shape="count=$count pixels=$pixels"
study=$work_dir/study-${count}x${pixels}
stamp=$study.done
if [[ -f $stamp && -d $study ]] && [[ $(find "$study" -type f | wc -l) -eq $count ]]; then
    echo "== Reusing the study in $study ($shape)"
else
    echo "== Making the study in $study ($shape)"
    rm -rf "$study" "$stamp"
    "$bin/makestudy" -n "$count" -p "$pixels" "$study"
    echo "$shape" >"$stamp"
fi
echo "   $(du -sh "$study" | cut -f1) in $count files"

src=$work_dir/run-src
dst=$work_dir/run-dst
log=$work_dir/dcmrelocate.log
: >"$log"
cleanup() { rm -rf "$src" "$dst"; }
trap cleanup EXIT

# One timed run of one program; prints the seconds it took.
run_once() {
    local program=$1
    cleanup
    cp -al "$study" "$src"
    mkdir "$dst"
    local start end
    start=$(date +%s.%N)
    local status=0
    case $program in
    dcmrelocate) "$bin/dcmrelocate" "$src" "$dst" >/dev/null 2>>"$log" || status=$? ;;
    relocate_floor) "$bin/relocate_floor" "$src" "$dst" >/dev/null || status=$? ;;
    esac
    end=$(date +%s.%N)
    [[ $status -eq 0 ]] || die "$program exited with status $status"
    local arrived left
    arrived=$(find "$dst" -type f | wc -l)
    left=$(find "$src" -type f | wc -l)
    if [[ $arrived -ne $count || $left -ne 0 ]]; then
        die "$program moved $arrived of $count files ($left left in the source)"
    fi
    cleanup
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }'
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ t[NR] = $1 }
        END { if (NR % 2) print t[(NR + 1) / 2]; else printf "%.3f\n", (t[NR / 2] + t[NR / 2 + 1]) / 2 }'
}

# One untimed run brings the headers of the study into the page cache, so the first timed run
# is not the only one to read them from disk. The programs then take turns, so that a drift of
# the machine's speed during the benchmark falls on both alike.
seconds=$(run_once relocate_floor)
echo "== Warm-up run of relocate_floor (not timed): $seconds s"
declare -A times
for ((i = 1; i <= runs; ++i)); do
    for program in relocate_floor dcmrelocate; do
        seconds=$(run_once "$program")
        times[$program]+=" $seconds"
        echo "   run $i $program: $seconds s"
    done
done
declare -A medians
for program in relocate_floor dcmrelocate; do
    # shellcheck disable=SC2086 # the times are words on purpose
    medians[$program]=$(median ${times[$program]})
done

echo "== Results ($count files, median of $runs runs)"
for program in relocate_floor dcmrelocate; do
    awk -v p="$program" -v m="${medians[$program]}" -v n="$count" \
        'BEGIN { printf "   %-15s %8.3f s  %9.0f files/s\n", p, m, (m > 0 ? n / m : 0) }'
done
awk -v a="${medians[dcmrelocate]}" -v b="${medians[relocate_floor]}" \
    'BEGIN { if (b > 0) printf "   ratio dcmrelocate/floor: %.2f (target at most 1.20)\n", a / b;
             else print "   ratio dcmrelocate/floor: n/a (floor too fast to time)" }'
