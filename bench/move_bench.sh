#!/bin/bash
# Times moves of resources by the repository library beside "cp -r" + "rm -r" of the same data
# between the same two file systems; on ext4 beside "cp -r" + "sync -f <destination>" + "rm -r",
# which makes the copy durable before the origin goes, as the library does, by one syncfs of the
# destination (a plain "sync" would also write out whatever else the machine has dirty). Needs
# root: every file system is a tmpfs or a loop-mounted ext4 image (the images are files in /tmp)
# of a private mount namespace, gone when the script ends.
#
#   bench/move_bench.sh [buildDir]          e.g. ROWS="1 2 3" ROUNDS=3 bench/move_bench.sh build-bench
#
# Rows (ROWS, default "1 2 3 4 5 6 7 8 9"):
#   1  tmpfs to tmpfs, RESOURCES (253) resources of BIG_KIB (4096) KiB, one file each, moved by
#      move_bench (one moveResBetween per resource; TMPFS_BATCH=K: a MoveBatch of K instead).
#   2  the same with SMALL_KIB (100) KiB per resource.
#   3  one resource of MANY_FILES (5000) files of MANY_KIB (20) KiB.
#   4  RESOURCES resources of one byte: the fixed cost per resource, library minus peer.
#   5  ext4 to ext4, BIG_KIB and SMALL_KIB per resource: move_bench --batch BATCH (32), and for
#      reference one move at a time.
#   6  mountbalance emptying m0 of a repository of two tmpfs mounts onto m1, BIG_KIB and SMALL_KIB
#      per resource, beside the peer and beside move_bench moving the same resources between the
#      same mounts: its own cost per resource is (mountbalance - move_bench) / RESOURCES. The
#      repository directory, with the dirty-flag file mountbalance rewrites around each move, is
#      in /tmp, on the machine's disk.
#   7  a take-over of one resource of LEGACY_MIB (1024) MiB in LEGACY_FILES (2048) files from a
#      flat legacy directory into a mount (move_bench --legacy), both tmpfs.
#   8  the batched moves of row 5 with and without MoveOptions.verifyOnDevice.
#   9  the batched moves of row 5 (BUSY_KIB, default 100, per resource) while a writer (dd)
#      rewrites a file of WRITER_MIB (512) MiB on the destination without pause: flushed by one
#      syncfs per batch (the default) and with MoveOptions.flushFiles.
#
# How: the data of a configuration is made once (bench/hashed_fill: pseudo-random contents that
# differ from file to file, each resource below its hashed path) and then moved back and forth
# between the two file systems: in each of ROUNDS rounds (default 5) the sides of a row take
# turns (peer, library, ... ), each moving the data from where the one before left it, so that a
# drift of the machine's speed falls on all alike. The figures are the medians of the elapsed
# times of the whole commands (process starts included on both sides). Before every timed
# run, move_bench --touch-memory writes and frees TOUCH_MIB (1536) MiB of memory (this virtual
# machine hands freed memory back to its host, and filling memory that came back from there costs
# two to three times more: without this the ratios spread widely), and "sync" writes out what the
# run before left dirty. Caches are otherwise warm, as they are in practice: the data was written
# or moved a moment before (on ext4 it is in the page cache, written to the image). Nothing of the
# checks counts: after every run the contents at the destination are compared with checksums taken
# after the fill (cksum of every file, by path), nothing of the data may be left at the origin,
# and the empty hash directories the library leaves at the origin are removed. tmpfs mounts are
# 1.5 times the data (at least 64 MiB), ext4 images 1.5 times plus 256 MiB (plus the writer's file).
# The last lines are the rows of the results table (docs/performance.md).
set -euo pipefail

if [ -z "${MOVE_BENCH_INSIDE:-}" ]; then
    MOVE_BENCH_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi
export LC_ALL=C

build=$(cd "${1:-build}" && pwd)
bin="$build/bin"
rounds=${ROUNDS:-5}
resources=${RESOURCES:-253}
bigKib=${BIG_KIB:-4096}
smallKib=${SMALL_KIB:-100}
manyFiles=${MANY_FILES:-5000}
manyKib=${MANY_KIB:-20}
batch=${BATCH:-32}
tmpfsBatch=${TMPFS_BATCH:-}
legacyMib=${LEGACY_MIB:-1024}
legacyFiles=${LEGACY_FILES:-2048}
busyKib=${BUSY_KIB:-100}
writerMib=${WRITER_MIB:-512}
touchMib=${TOUCH_MIB:-1536}
scratch=$(mktemp -d /tmp/move-bench.XXXXXX)
log="$scratch/moves.log"
rows=()
writer=

cleanup() {
    stopWriter
    for mount in "$scratch"/a "$scratch"/b "$scratch"/repo/m0 "$scratch"/repo/m1 "$scratch"/repo; do
        umount "$mount" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

die() {
    echo "move_bench: $*" >&2
    exit 1
}
nowUs() { echo "${EPOCHREALTIME/./}"; }
# The median of the numbers given, in ms to a tenth (the numbers are µs).
medianMs() {
    printf '%s\n' "$@" | sort -g | awk '{ t[NR] = $1 }
        END { printf "%.1f", (NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2) / 1000 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# (a - b) / n in ms, to a hundredth.
perResource() { awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN { printf "%.2f", (a - b) / n }'; }

# --- File systems and data -----------------------------------------------------------------------

# Two tmpfs file systems $A and $B of the given size (MiB).
tmpfsPair() {
    A="$scratch/a" B="$scratch/b"
    mkdir -p "$A" "$B"
    mount -t tmpfs -o "size=${1}m" tmpfs "$A"
    mount -t tmpfs -o "size=${1}m" tmpfs "$B"
}

# Two ext4 file systems $A and $B, loop-mounted images of the given size (MiB) in $scratch. The
# inode tables and the journal are initialised at once, so that no background initialisation
# writes during the runs.
ext4Pair() {
    A="$scratch/a" B="$scratch/b"
    for side in a b; do
        mkdir -p "$scratch/$side"
        truncate -s "${1}M" "$scratch/$side.img"
        mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$scratch/$side.img"
        mount -o loop "$scratch/$side.img" "$scratch/$side"
    done
}

release() {
    umount "$A" "$B"
    rm -f "$scratch/a.img" "$scratch/b.img"
}

# Size in MiB of a file system for data of the given KiB.
tmpfsMib() { echo $(($1 * 3 / 2 / 1024 > 64 ? $1 * 3 / 2 / 1024 : 64)); }
ext4Mib() { echo $(($1 * 3 / 2 / 1024 + 256)); }

# Fills $A with count resources of the given bytes in the given number of files, and takes the
# checksums the runs are compared with.
fill() {
    "$bin/hashed_fill" "$A" "$1" "$2" "$3"
    expected=$(contentOf "$A")
    sync
}

# Checksums and sizes of the files of the resources below a mount, by path. The legacy directory
# holds one resource, listed under its hashed path, as the mount holds it.
contentOf() {
    if [ "$1" = "${legacyDir:-}" ]; then
        (cd "$1" && find . -mindepth 2 -type f -print0 | xargs -0 -r cksum) |
            sed "s# \./# ./${legacyParent}/#"
    else
        (cd "$1" && find . -mindepth 5 -type f -print0 | xargs -0 -r cksum)
    fi | sort -k3
}

# --- The sides ------------------------------------------------------------------------------------

# Rewrites a file on the given file system without pause until stopWriter, in a session of its
# own (so that stopWriter ends the loop and its dd alike); once a first pass has left that file
# dirty in the page cache.
startWriter() {
    # shellcheck disable=SC2016 # expanded by the writer's shell
    setsid bash -c 'while :; do dd if=/dev/zero of="$1" bs=1M count="$2" conv=notrunc \
        status=none || exit; done' writer "$1/busy" "$writerMib" &
    writer=$!
    while [ "$(stat -c %s "$1/busy" 2>/dev/null || echo 0)" -lt $((writerMib << 20)) ]; do
        sleep 0.1
    done
}

stopWriter() {
    [ -n "$writer" ] || return 0
    kill -- -"$writer" 2>/dev/null || true
    wait "$writer" 2>/dev/null || true
    writer=
    rm -f "$A/busy" "$B/busy"
}

# Moves the data from $2 to $3 the way the side named $1 does.
runSide() {
    local side=$1 from=$2 to=$3
    local dirs=("$from"/[A-Z0-9_][A-Z0-9_])
    case $side in
    peer) cp -r -- "${dirs[@]}" "$to/" && rm -r -- "${dirs[@]}" ;;
    durable) cp -r -- "${dirs[@]}" "$to/" && sync -f "$to" && rm -r -- "${dirs[@]}" ;;
    single) "$bin/move_bench" ${tmpfsBatch:+--batch "$tmpfsBatch"} "$from" "$to" >>"$log" ;;
    unbatched) "$bin/move_bench" "$from" "$to" >>"$log" ;;
    batch) "$bin/move_bench" --batch "$batch" "$from" "$to" >>"$log" ;;
    verify) "$bin/move_bench" --batch "$batch" --verify-on-device "$from" "$to" >>"$log" ;;
    flushFiles) "$bin/move_bench" --batch "$batch" --flush-files "$from" "$to" >>"$log" ;;
    balance)
        [ "$from" = "$A" ] || die "mountbalance moves from m0 only"
        "$bin/mountbalance" "$repo" >>"$log"
        ;;
    legacyPeer) cp -r -- "$from/$legacyPath" "$to/" && rm -r -- "${from:?}/$legacyPath" ;;
    legacy) "$bin/move_bench" --legacy "$from" "$to" >>"$log" ;;
    *) die "no side $side" ;;
    esac
}

# Checks a run of side $1 from $2 to $3: the contents arrived whole, nothing of the data is left
# at the origin. Then removes the empty directories the run left there.
checkRun() {
    [ "$(contentOf "$3")" = "$expected" ] || die "$1 moved the data from $2 to $3 wrongly"
    local left
    left=$(find "$2" -type f ! -name repositorypart.cfg ! -name ballast -print -quit)
    [ -z "$left" ] || die "$1 left $left behind"
    find "$2" -mindepth 1 -type d -empty ! -name lost+found -delete
}

# Runs the sides named, in turn, ROUNDS times, each moving the data from where it lies ($A or $B)
# to the other, with the busy writer on the destination when $busy is set. Sets ms[side], the
# median of its runs.
declare -A ms
busy=
measure() {
    local -A samples=()
    local from=$A to=$B round side start took swap
    for ((round = 1; round <= rounds; ++round)); do
        for side in "$@"; do
            "$bin/move_bench" --touch-memory "$touchMib"
            [ -z "$busy" ] || startWriter "$to"
            start=$(nowUs)
            runSide "$side" "$from" "$to" || die "$side failed from $from to $to"
            took=$(($(nowUs) - start))
            [ -z "$busy" ] || stopWriter
            sync
            checkRun "$side" "$from" "$to"
            samples[$side]+=" $took"
            printf '  round %d %-10s %9.1f ms\n' "$round" "$side" "$(awk -v t="$took" \
                'BEGIN { print t / 1000 }')"
            swap=$from
            from=$to to=$swap
        done
    done
    for side in "${!samples[@]}"; do
        # shellcheck disable=SC2086 # the samples are words on purpose
        ms[$side]=$(medianMs ${samples[$side]})
    done
}

# What the sides named do, for the reports.
# shellcheck disable=SC2016 # the back quotes are markdown
describe() {
    case $1 in
    peer | legacyPeer) echo '`cp -r` + `rm -r`' ;;
    durable) echo '`cp -r` + `sync -f` + `rm -r`' ;;
    single) [ -n "$tmpfsBatch" ] && echo "\`MoveBatch\` of $tmpfsBatch" ||
        echo 'one `moveResBetween` each' ;;
    unbatched) echo 'one `moveResBetween` each (reference)' ;;
    batch) echo "\`MoveBatch\` of $batch" ;;
    verify) echo "\`MoveBatch\` of $batch, \`verifyOnDevice\`" ;;
    flushFiles) echo "\`MoveBatch\` of $batch, \`flushFiles\`" ;;
    balance) echo '`mountbalance`' ;;
    legacy) echo '`moveResBetween` from the legacy directory into a mount' ;;
    esac
}

# Prints the figure of a library side beside its peer and keeps the row of the results table.
# Arguments: row, what was moved, peer side, library side, target ("" for none), notes ("" for
# none).
report() {
    local row=$1 what=$2 peer=${ms[$3]} lib=${ms[$4]} target=$5 notes=${6:-} r how
    r=$(ratio "$lib" "$peer")
    how=$(describe "$4")
    printf '%-2s %-72s peer %9.1f ms  library %9.1f ms  ratio %5.2f%s%s\n' "$row" \
        "$what, ${how//\`/}" "$peer" "$lib" "$r" "${notes:+  $notes}" \
        "${target:+  (target <= $target)}"
    rows+=("| Moves, row $row: $what, $how | \`ROWS=$row bench/move_bench.sh <build>\` | $lib ms${notes:+ ($notes)} | $(describe "$3"): $peer ms | $r | ${target:+≤ $target} |")
}

mib() { awk -v k="$1" 'BEGIN { printf (k >= 1024 ? "%g MiB" : "%g KiB"), (k >= 1024 ? k / 1024 : k) }'; }

# --- The rows -------------------------------------------------------------------------------------

export LOCK_VAR="$scratch/locks"
mkdir -p "$LOCK_VAR"
available=$(awk '/^MemAvailable:/ { print int($2 / 1024) }' /proc/meminfo)
[ "$available" -gt $((legacyMib * 4 + touchMib)) ] ||
    echo "only $available MiB of memory available: the largest rows may not fit"
begin=$(nowUs)

# Row 1 to 4: two tmpfs mounts. Arguments: row, resources, bytes each, files each, what.
tmpfsRow() {
    echo "=== row $1: $5"
    tmpfsPair "$(tmpfsMib $(($2 * $3 / 1024)))"
    fill "$2" "$3" "$4"
    measure peer single
    release
}
row1() {
    local what
    what="tmpfs, $resources x $(mib "$bigKib")"
    tmpfsRow 1 "$resources" $((bigKib * 1024)) 1 "$what"
    report 1 "$what" peer single 1.3
}
row2() {
    local what
    what="tmpfs, $resources x $(mib "$smallKib")"
    tmpfsRow 2 "$resources" $((smallKib * 1024)) 1 "$what"
    report 2 "$what" peer single 1.0
}
row3() {
    local what
    what="tmpfs, 1 resource of $manyFiles files x $(mib "$manyKib")"
    tmpfsRow 3 1 $((manyFiles * manyKib * 1024)) "$manyFiles" "$what"
    report 3 "$what" peer single 1.0
}
row4() {
    local what
    what="tmpfs, $resources x 1 byte"
    tmpfsRow 4 "$resources" 1 1 "$what: the fixed cost per resource"
    report 4 "$what" peer single "0.3 ms per resource" \
        "fixed cost $(perResource "${ms[single]}" "${ms[peer]}" "$resources") ms per resource"
}

# Rows 5, 8 and 9: two ext4 images, per size of resource. Arguments: row, sizes (KiB), sides;
# each size is reported by ext4Report<row> "<what>" <KiB>.
ext4Rows() {
    local row=$1 sizes=$2 kib writerRoom=0
    shift 2
    [ -z "$busy" ] || writerRoom=$writerMib
    for kib in $sizes; do
        local what
        what="ext4, $resources x $(mib "$kib")"
        echo "=== row $row: $what${busy:+, busy writer}"
        ext4Pair $(($(ext4Mib $((resources * kib))) + writerRoom))
        fill "$resources" $((kib * 1024)) 1
        measure "$@"
        release
        "ext4Report$row" "$what" "$kib"
    done
}
row5() { ext4Rows 5 "$bigKib $smallKib" durable batch unbatched; }
ext4Report5() {
    report 5 "$1" durable batch "$([ "$2" -ge 1024 ] && echo 1.2 || echo 1.5)"
    report 5 "$1" durable unbatched ""
}
row8() { ext4Rows 8 "$bigKib $smallKib" durable batch verify flushFiles; }
ext4Report8() {
    report 8 "$1" durable batch ""
    report 8 "$1" durable verify "" \
        "read-back $(awk -v a="${ms[verify]}" -v b="${ms[batch]}" \
            'BEGIN { printf "%+.1f ms (%+.0f %%)", a - b, (a - b) * 100 / b }')"
    report 8 "$1, quiet" durable flushFiles "" \
        "flushFiles / syncfs $(ratio "${ms[flushFiles]}" "${ms[batch]}")"
}
row9() {
    busy=1
    ext4Rows 9 "$busyKib" durable batch flushFiles
    busy=
}
ext4Report9() {
    report 9 "$1, busy writer, one syncfs per batch" durable batch ""
    report 9 "$1, busy writer" durable flushFiles "" \
        "flushFiles / syncfs $(ratio "${ms[flushFiles]}" "${ms[batch]}")"
}

# Row 6: mountbalance. m0 moves everything off (limit 1 %), m1 takes everything; a ballast file
# on m0 (not a resource) keeps m0 above its limit, so that every resource moves, not all but the
# last few.
row6() {
    local kib size
    repo="$scratch/repo"
    for kib in $bigKib $smallKib; do
        local what
        what="tmpfs, $resources x $(mib "$kib"), repository of two mounts"
        echo "=== row 6: $what"
        size=$(tmpfsMib $((resources * kib)))
        A="$repo/m0" B="$repo/m1"
        # The repository directory (its dirty flags) and the lock files on a tmpfs as well.
        mkdir -p "$repo"
        mount -t tmpfs -o size=64m tmpfs "$repo"
        mkdir -p "$A" "$B" "$repo/locks"
        mount -t tmpfs -o "size=${size}m" tmpfs "$A"
        mount -t tmpfs -o "size=${size}m" tmpfs "$B"
        printf 'mountPoints = m0\\m1\nnomoveTimeSeconds = 0\n' >"$repo/repository.cfg"
        printf 'moveLimit = 1\ncleanLimit = 1\n' >"$A/repositorypart.cfg"
        printf 'switchLimit = 100\nfullLimit = 100\ncleanLimit = 100\nmoveLimit = 100\n' \
            >"$B/repositorypart.cfg"
        fallocate -l $((size * 1024 * 1024 / 50 + 1)) "$A/ballast"
        fill "$resources" $((kib * 1024)) 1
        LOCK_VAR="$repo/locks"
        measure balance peer single peer
        LOCK_VAR="$scratch/locks"
        release
        umount "$repo"
        rm -rf "$repo"
        report 6 "$what" peer balance "$([ "$kib" -ge 1024 ] && echo 1.5 || echo 3)" \
            "its own cost $(perResource "${ms[balance]}" "${ms[single]}" "$resources") ms per resource; move_bench ${ms[single]} ms"
    done
}

# Row 7: a take-over from the legacy directory. The resource starts on the mount $A; the peer
# carries it into the legacy directory $B, the library takes it over from there.
row7() {
    local what
    what="tmpfs, 1 resource of $legacyMib MiB in $legacyFiles files, legacy take-over"
    echo "=== row 7: $what"
    tmpfsPair $((legacyMib * 3 / 2))
    fill 1 $((legacyMib * 1024 * 1024)) "$legacyFiles"
    legacyPath=$(cd "$A" && find . -mindepth 4 -maxdepth 4 | cut -c3-)
    legacyParent=${legacyPath%/*}
    legacyDir=$B
    measure legacyPeer legacy
    release
    legacyDir=
    report 7 "$what" legacyPeer legacy 1.3
}

for row in ${ROWS:-1 2 3 4 5 6 7 8 9}; do
    "row$row"
done

echo "=== $rounds rounds, $(($(($(nowUs) - begin)) / 1000000)) s in all"
echo
printf '%s\n' "${rows[@]}"
