#!/bin/bash
# Times an application's lookups (getLocation_) alone and while a balancing check (mountbalance)
# moves resources of the same repository, lookup by lookup, and prints count, median, p99, p99.9
# and worst of both runs, the check's duration and moves, and whether the targets hold: the worst
# lookup during the check at most 250 ms, and its p99 at most twice the p99 without a check.
# Needs root: every file system is a tmpfs or a loop-mounted image (files in /tmp) of a private
# mount namespace, gone when the script ends.
#
#   bench/check_latency.sh [buildDir]        e.g. FS=tmpfs ROUNDS=1 bench/check_latency.sh build-bench
#
# Environment:
#   RESOURCES      resources on mount m0 (default 3000), bench/hashed_fill's "res00000" ...
#   KIB, FILES     KiB per resource (default 128) in FILES files (default 4)
#   SHARE          per cent of m0's data the check is to move to m1 (default 75): m0's moveLimit
#                  and cleanLimit are set from its fill level after the fill
#   PROCS          application processes looking up (default 2)
#   PAUSE_US       pause of each process after each lookup, µs (default 1000; 0: none)
#   SECONDS_ALONE  duration of the run without a check, s (default 20)
#   FS             ext4 (default), xfs or tmpfs: the mounts and the repository directory (which
#                  holds the dirty-flag file that the check rewrites around every move); the lock
#                  files are on a tmpfs in every case, as in /run/lock
#   ROUNDS         rounds of both runs (default 3); the figures of every round are printed, then
#                  the best and the spread
#
# Each run gets a repository made anew (new file systems, filled, synced): lookups touch the
# resources they find, and touched resources are no longer the oldest. m1 takes everything
# (limits 100 %), no protection time. The lookups of both runs pick resources of m0 at random,
# the ones being moved among them. Run A: lookups alone for SECONDS_ALONE seconds. Run B: the
# lookups start, then mountbalance runs the check; the lookups stop when it ends. The lookup
# program (bench/lookup_latency.cpp) also tells the lookups that found their resource's lock file
# present just before they started (most of them waited for the lock held by a move) apart from
# the others. Every lookup must find its resource, and after the check m0 and m1 together must
# hold every resource once.
set -euo pipefail

if [ -z "${CHECK_LATENCY_INSIDE:-}" ]; then
    CHECK_LATENCY_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi
export LC_ALL=C

build=$(cd "${1:-build}" && pwd)
bin="$build/bin"
resources=${RESOURCES:-3000}
kib=${KIB:-128}
files=${FILES:-4}
share=${SHARE:-75}
procs=${PROCS:-2}
secondsAlone=${SECONDS_ALONE:-20}
fs=${FS:-ext4}
rounds=${ROUNDS:-3}
export PAUSE_US=${PAUSE_US:-1000}
scratch=$(mktemp -d /tmp/check-latency.XXXXXX)
repo="$scratch/repo"
prober=

die() {
    echo "check_latency: $*" >&2
    exit 1
}
for program in lookup_latency hashed_fill mountbalance; do
    [ -x "$bin/$program" ] || die "$bin/$program is missing (cmake --build $build)"
done
case $fs in ext4 | xfs | tmpfs) ;; *) die "FS must be ext4, xfs or tmpfs" ;; esac
if [ "$share" -lt 1 ] || [ "$share" -gt 100 ]; then die "SHARE must be 1 to 100"; fi

cleanup() {
    if [ -n "$prober" ]; then
        kill "$prober" 2>/dev/null || true
        wait "$prober" 2>/dev/null || true
    fi
    unmountRepository
    umount "$scratch/locks" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

mkdir -p "$scratch/locks" "$repo"
mount -t tmpfs -o size=16m tmpfs "$scratch/locks"
export LOCK_VAR="$scratch/locks"

# --- The repository -------------------------------------------------------------------------------

dataMib=$(((resources * kib + 1023) / 1024))
# The data fills about 70 % of m0; xfs makes no file system below 300 MiB.
mountMib=$((dataMib * 10 / 7 + 64))
repoMib=64
if [ "$fs" = xfs ]; then
    [ "$mountMib" -ge 320 ] || mountMib=320
    repoMib=320
fi

# A new file system of the given size (MiB) mounted on the directory; its image is a file of
# $scratch named after the directory (not below the repository, whose file system holds m0 and m1).
imageOf() { echo "$scratch/$(basename "$1").img"; }
makeFs() {
    local dir=$1 mib=$2 image
    image=$(imageOf "$dir")
    mkdir -p "$dir"
    case $fs in
    tmpfs) mount -t tmpfs -o "size=${mib}m" tmpfs "$dir" ;;
    ext4)
        truncate -s "${mib}M" "$image"
        # Inode tables and journal initialised now, so that nothing initialises them during a run.
        mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$image"
        mount -o loop "$image" "$dir"
        ;;
    xfs)
        truncate -s "${mib}M" "$image"
        mkfs.xfs -q -f "$image"
        mount -o loop "$image" "$dir"
        ;;
    esac
}

unmountRepository() {
    local dir
    for dir in "$repo/m0" "$repo/m1" "$repo"; do
        umount "$dir" 2>/dev/null || true
        rm -f "$(imageOf "$dir")"
    done
}

# The used share of the file system at the directory, in per cent, as the library counts it
# (blocks not available to users count as used).
usedPercent() {
    stat -f -c '%b %a' "$1" | awk '{ printf "%.2f", 100 - $2 * 100 / $1 }'
}

# Makes the repository anew: file systems, configuration, RESOURCES resources on m0 last used a
# day or more ago, m0's limits such that the check moves SHARE % of its data.
buildRepository() {
    unmountRepository
    makeFs "$repo" "$repoMib"
    makeFs "$repo/m0" "$mountMib"
    makeFs "$repo/m1" "$mountMib"
    printf 'mountPoints = m0\\m1\nnomoveTimeSeconds = 0\n' >"$repo/repository.cfg"
    printf 'switchLimit = 100\nfullLimit = 100\ncleanLimit = 100\nmoveLimit = 100\n' \
        >"$repo/m1/repositorypart.cfg"
    local empty full
    empty=$(usedPercent "$repo/m0")
    "$bin/hashed_fill" "$repo/m0" "$resources" $((kib * 1024)) "$files"
    sync
    full=$(usedPercent "$repo/m0")
    limit=$(awk -v e="$empty" -v f="$full" -v s="$share" \
        'BEGIN { l = int(e + (f - e) * (100 - s) / 100 + 0.5); print (l < 1 ? 1 : l) }')
    printf 'moveLimit = %d\ncleanLimit = %d\n' "$limit" "$limit" >"$repo/m0/repositorypart.cfg"
    fillText="m0 ${full} % used (empty ${empty} %), moveLimit = cleanLimit = $limit"
    # A configuration changed less than two seconds ago is read again by every lookup.
    sleep 2.1
}

resourcesOn() { find "$1" -mindepth 4 -maxdepth 4 ! -path '*/lost+found/*' | wc -l; }

# --- The runs -------------------------------------------------------------------------------------

# The value of the line "name value" of a lookup_latency output file.
valueOf() { awk -v n="$1" '$1 == n { print $2; exit }' "$2"; }
ms() { awk -v us="$1" 'BEGIN { printf "%.3f", us / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# Checks a lookup_latency output and prints its figures in one line.
figures() {
    local out=$1
    [ "$(valueOf failed "$out")" = 0 ] || die "lookups failed: see $(cat "$out")"
    [ "$(valueOf overflow "$out")" = 0 ] || die "too many lookups to keep"
    printf '%s lookups, p50 %s ms, p99 %s ms, p99.9 %s ms, worst %s ms' \
        "$(valueOf count "$out")" "$(ms "$(valueOf p50_us "$out")")" \
        "$(ms "$(valueOf p99_us "$out")")" "$(ms "$(valueOf p999_us "$out")")" \
        "$(ms "$(valueOf worst_us "$out")")"
}

# Run A: the lookups alone.
runAlone() {
    local out=$1
    "$bin/lookup_latency" "$repo" "$resources" "$procs" "$secondsAlone" >"$out" ||
        die "lookup_latency failed: $(cat "$out")"
}

# Run B: the lookups while mountbalance checks the repository. Sets checkMs, moved (resources
# that arrived on m1), touched and checkCpu (user and system seconds of mountbalance).
runWithCheck() {
    local out=$1 log=$2 start
    "$bin/lookup_latency" "$repo" "$resources" "$procs" 0 >"$out" &
    prober=$!
    until grep -q '^ready' "$out" 2>/dev/null; do
        kill -0 "$prober" 2>/dev/null || die "lookup_latency ended early: $(cat "$out")"
        sleep 0.05
    done
    start=${EPOCHREALTIME/./}
    local TIMEFORMAT='%U %S'
    { time "$bin/mountbalance" "$repo" >"$log" 2>&1; } 2>"$log.time" ||
        die "mountbalance failed: $(tail -3 "$log")"
    checkMs=$(((${EPOCHREALTIME/./} - start) / 1000))
    kill -USR1 "$prober"
    wait "$prober" || die "lookup_latency failed: $(cat "$out")"
    prober=
    checkCpu=$(awk '{ printf "%.1f s user, %.1f s system", $1, $2 }' "$log.time")
    touched=$(grep -c '^Resource touched while checking' "$log" || true)
    local on0 reported
    on0=$(resourcesOn "$repo/m0") moved=$(resourcesOn "$repo/m1")
    [ $((on0 + moved)) -eq "$resources" ] ||
        die "after the check m0 holds $on0 and m1 $moved resources, not $resources in all"
    # The moves are counted on m1; the check's own report of them is only compared.
    reported=$(grep -c '^Move succeeded' "$log" || true)
    [ "$reported" -eq "$moved" ] ||
        echo "     note: m1 holds $moved resources, the check reports $reported moves"
}

# The lookups that found a held lock, the worst of the others, and where the lookups over 1 ms
# lost their time (count and worst of each kind, see bench/lookup_latency.cpp).
lockLine() {
    local out=$1
    printf 'lookups that found the lock held: %s (worst %s ms); worst of the others %s ms\n' \
        "$(valueOf lock_seen_count "$out")" "$(ms "$(valueOf lock_seen_worst_us "$out")")" \
        "$(ms "$(valueOf lock_free_worst_us "$out")")"
    awk '$1 ~ /^over_1ms_/ { sub("over_1ms_", "", $1); sub("lock_seen", "lock held", $1)
            text = text sprintf("%s%s %d (worst %.3f ms)", (text ? ", " : ""), $1, $2, $3 / 1000) }
        END { print "     over 1 ms: " text }' "$out"
}

echo "check_latency: $resources resources of $kib KiB in $files files, $fs (mounts of" \
    "$mountMib MiB), $procs processes looking up with ${PAUSE_US} µs pauses, $rounds rounds;" \
    "$(nproc) processors"
declare -a aP50 aP99 aP999 aWorst bP50 bP99 bP999 bWorst bCount aCount checks moves ratios
for ((round = 1; round <= rounds; ++round)); do
    buildRepository
    # Other work on the machine slows lookups and check alike: the load shows it.
    echo "round $round: $fillText; load average $(cut -d' ' -f1-3 /proc/loadavg)"
    runAlone "$scratch/a.out"
    echo "  A, alone for $secondsAlone s:  $(figures "$scratch/a.out")"
    lockLine "$scratch/a.out" | tail -1
    buildRepository
    runWithCheck "$scratch/b.out" "$scratch/check.log"
    echo "  B, during the check: $(figures "$scratch/b.out")"
    echo "     check $checkMs ms ($checkCpu), $moved moves, $touched resources passed over" \
        "as touched"
    echo "     $(lockLine "$scratch/b.out")"
    grep '^slowest' "$scratch/b.out" | head -5 | sed 's/^/     /'
    aCount+=("$(valueOf count "$scratch/a.out")") bCount+=("$(valueOf count "$scratch/b.out")")
    aP50+=("$(valueOf p50_us "$scratch/a.out")") bP50+=("$(valueOf p50_us "$scratch/b.out")")
    aP99+=("$(valueOf p99_us "$scratch/a.out")") bP99+=("$(valueOf p99_us "$scratch/b.out")")
    aP999+=("$(valueOf p999_us "$scratch/a.out")") bP999+=("$(valueOf p999_us "$scratch/b.out")")
    aWorst+=("$(valueOf worst_us "$scratch/a.out")") bWorst+=("$(valueOf worst_us "$scratch/b.out")")
    checks+=("$checkMs") moves+=("$moved")
    ratios+=("$(ratio "${bP99[-1]}" "${aP99[-1]}")")
    echo "     p99(B) / p99(A) = ${ratios[-1]}"
done

# The best of the rounds' figures and, where they differ, their range: "best (best to worst)".
# Unit "ms": µs shown in ms; "plain": ratios; "count": only the range "least to most".
spread() {
    local unit=$1
    shift
    printf '%s\n' "$@" | sort -g | awk -v u="$unit" '{ v[NR] = $1 }
        END { f = (u == "ms" ? 1000 : 1); fmt = (u == "ms" ? "%.3f" : "%.2f")
              if (u == "count") fmt = "%d"
              b = sprintf(fmt, v[1] / f); w = sprintf(fmt, v[NR] / f)
              if (b == w) print b
              else print (u == "count" ? b " to " w : b " (" b " to " w ")") }'
}
holds() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a <= b) }' && echo yes || echo no; }

worstLimitUs=250000
bestWorst=$(printf '%s\n' "${bWorst[@]}" | sort -g | head -1)
bestRatio=$(printf '%s\n' "${ratios[@]}" | sort -g | head -1)
worstHeld=0 ratioHeld=0
for ((i = 0; i < rounds; ++i)); do
    [ "$(holds "${bWorst[i]}" $worstLimitUs)" = no ] || worstHeld=$((worstHeld + 1))
    [ "$(holds "${ratios[i]}" 2)" = no ] || ratioHeld=$((ratioHeld + 1))
done
echo
echo "best of $rounds rounds (best, and from best to worst round where they differ):"
echo "  A: $(spread count "${aCount[@]}") lookups, p50 $(spread ms "${aP50[@]}") ms," \
    "p99 $(spread ms "${aP99[@]}") ms, p99.9 $(spread ms "${aP999[@]}") ms," \
    "worst $(spread ms "${aWorst[@]}") ms"
echo "  B: $(spread count "${bCount[@]}") lookups, p50 $(spread ms "${bP50[@]}") ms," \
    "p99 $(spread ms "${bP99[@]}") ms, p99.9 $(spread ms "${bP999[@]}") ms," \
    "worst $(spread ms "${bWorst[@]}") ms"
echo "  check: $(spread count "${checks[@]}") ms, $(spread count "${moves[@]}") moves;" \
    "p99(B) / p99(A): $(spread plain "${ratios[@]}")"
echo "  target worst lookup during the check <= 250 ms: $(holds "$bestWorst" $worstLimitUs)" \
    "(held in $worstHeld of $rounds rounds)"
echo "  target p99(B) <= 2 x p99(A): $(holds "$bestRatio" 2) (held in $ratioHeld of $rounds rounds)"
