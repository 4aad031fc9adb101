#!/usr/bin/env bash
# Two "hosts" on one machine that share GlusterFS volumes, sourced by the multi-host scenario and
# the lookup benchmark.
#
# gluster_prepare <script> <args...> re-runs the calling script in a private mount namespace (the
# daemon's state, its logs and the bricks then live in a temporary directory and vanish with it)
# after checking that everything needed is there; otherwise it prints the reason and exits 77.
# Inside it:
#   gluster_start                  starts glusterd with its state below $GLUSTER_WORK
#   gluster_volume NAME SIZE       a volume of one brick on a tmpfs of SIZE (e.g. 24m), started
#   gluster_host NAME CMD...       runs CMD as host NAME: a process in a mount and UTS namespace
#                                  of its own (host name NAME) that mounts every volume with the
#                                  FUSE client at its path ($GLUSTER_MOUNT_<volume>) first and
#                                  unmounts them when CMD ends; its exit status is CMD's
# Everything is stopped, unmounted and deleted when the script exits, also on a failure.
# Volumes are mounted in the order they were made, so a volume may be mounted inside another.

gluster_skip() {
    echo "SKIPPED: $*"
    exit 77
}

gluster_prepare() {
    local script=$1
    shift
    if [ -n "${GLUSTER_HOSTS_NAMESPACE:-}" ]; then
        return 0
    fi
    [ "$(id -u)" -eq 0 ] || gluster_skip "needs root (glusterd, FUSE mounts and namespaces)"
    local tool
    for tool in glusterd gluster mount.glusterfs unshare; do
        command -v "$tool" >/dev/null ||
            gluster_skip "$tool is missing (packages glusterfs-server and glusterfs-client)"
    done
    [ -c /dev/fuse ] || gluster_skip "/dev/fuse is missing"
    if (exec 3<>/dev/tcp/127.0.0.1/24007) 2>/dev/null; then
        gluster_skip "another glusterd listens on port 24007"
    fi
    unshare -m true 2>/dev/null || gluster_skip "no private mount namespace here"
    # glusterd refuses bricks on a loopback address, even with force.
    GLUSTER_SERVER=$(hostname -I 2>/dev/null | tr ' ' '\n' | grep -m1 -E '^[0-9.]+$' || true)
    [ -n "$GLUSTER_SERVER" ] && [ "${GLUSTER_SERVER#127.}" = "$GLUSTER_SERVER" ] ||
        gluster_skip "no IPv4 address other than a loopback one for the bricks"
    export GLUSTER_SERVER
    export GLUSTER_HOSTS_NAMESPACE=1
    exec unshare -m --propagation private "$script" "$@"
}

# The kernel keeps no names or attributes of the FUSE mounts (another host may have replaced the
# file behind a name at any time: a cached one gives ESTALE or an old file).
GLUSTER_MOUNT_OPTIONS=${GLUSTER_MOUNT_OPTIONS:-entry-timeout=0,attribute-timeout=0,negative-timeout=0}
# Options of every volume ("key=value" words). The client-side caches are off: with them a client
# answers from what it saw earlier, while another client changed the files meanwhile (files
# replaced by a rename give ESTALE, directories list entries that are gone, reads return old
# content, writes land after the rename that published them).
GLUSTER_VOLUME_OPTIONS=${GLUSTER_VOLUME_OPTIONS-performance.quick-read=off performance.io-cache=off \
performance.read-ahead=off performance.readdir-ahead=off performance.stat-prefetch=off \
performance.open-behind=off performance.write-behind=off}
GLUSTER_VOLUMES=()
GLUSTER_HOST_PIDS=()
GLUSTER_WORK=""

gluster_cleanup() {
    local status=$? pid volume
    trap - EXIT INT TERM
    # Each host stops its command with every process the command started (gluster_stop_group).
    for pid in "${GLUSTER_HOST_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${GLUSTER_HOST_PIDS[@]}"; do
        wait "$pid" 2>/dev/null
    done
    # FUSE clients whose host ended without unmounting (it was killed): found by their volume
    # server and mount path, which name this run's work directory.
    for pid in $(gluster_clients); do
        kill -TERM "$pid" 2>/dev/null
    done
    if [ -f "$GLUSTER_WORK/glusterd.pid" ]; then
        for volume in "${GLUSTER_VOLUMES[@]}"; do
            gluster --mode=script volume stop "$volume" force >/dev/null 2>&1
            gluster --mode=script volume delete "$volume" >/dev/null 2>&1
        done
        kill -TERM "$(cat "$GLUSTER_WORK/glusterd.pid")" 2>/dev/null
    fi
    # Brick processes of volumes that could not be stopped.
    for pid in $(cat /run/gluster/vols/*/*.pid 2>/dev/null); do
        kill -TERM "$pid" 2>/dev/null
    done
    sleep 0.2
    for volume in "${GLUSTER_VOLUMES[@]}"; do
        umount -l "$GLUSTER_WORK/bricks/$volume" 2>/dev/null
    done
    umount -l /run/gluster /var/log/glusterfs /var/lib/glusterd 2>/dev/null
    [ -n "$GLUSTER_WORK" ] && rm -rf "$GLUSTER_WORK"
    exit "$status"
}

# The process ids of the FUSE clients of this run.
gluster_clients() {
    local dir
    for dir in /proc/[0-9]*; do
        { tr '\0' ' ' <"$dir/cmdline"; } 2>/dev/null |
            grep -q -- "--process-name fuse.* $GLUSTER_WORK/" && echo "${dir#/proc/}"
    done
}

gluster_start() {
    GLUSTER_WORK=$(mktemp -d /tmp/gluster-hosts.XXXXXX)
    export GLUSTER_WORK
    trap gluster_cleanup EXIT
    trap 'exit 130' INT TERM
    mkdir -p "$GLUSTER_WORK"/{state,log,run,bricks,mounts} /run/gluster /var/lib/glusterd \
        /var/log/glusterfs
    mount --bind "$GLUSTER_WORK/state" /var/lib/glusterd
    mount --bind "$GLUSTER_WORK/log" /var/log/glusterfs
    mount --bind "$GLUSTER_WORK/run" /run/gluster
    glusterd -p "$GLUSTER_WORK/glusterd.pid" || {
        echo "glusterd did not start"
        return 1
    }
    local waited
    for waited in $(seq 100); do
        gluster --mode=script volume list >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "glusterd does not answer; its log:"
    tail -n 20 "$GLUSTER_WORK/log/glusterd.log"
    return 1
}

gluster_volume() {
    local name=$1 size=$2 brick="$GLUSTER_WORK/bricks/$1"
    mkdir -p "$brick"
    mount -t tmpfs -o "size=$size" "gluster-$name" "$brick" || return 1
    GLUSTER_VOLUMES+=("$name")
    local option ok=1
    gluster --mode=script volume create "$name" transport tcp "$GLUSTER_SERVER:$brick/data" force \
        >/dev/null || ok=0
    for option in $GLUSTER_VOLUME_OPTIONS; do
        [ $ok -eq 1 ] && gluster --mode=script volume set "$name" "${option%%=*}" "${option#*=}" \
            >/dev/null || ok=0
    done
    [ $ok -eq 1 ] && gluster --mode=script volume start "$name" >/dev/null || {
        echo "volume $name could not be made; the log:"
        tail -n 20 "$GLUSTER_WORK/log/glusterd.log"
        return 1
    }
}

# Stops the process group $1 (TERM, then KILL after 3 s) and waits for its leader.
gluster_stop_group() {
    local waited
    kill -TERM -- "-$1" 2>/dev/null
    for waited in $(seq 30); do
        kill -0 -- "-$1" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL -- "-$1" 2>/dev/null
    wait "$1" 2>/dev/null
}

# Mounts the volumes at the given paths, in this order (inside the host's namespace).
gluster_mount_all() {
    local volume path
    while [ $# -ge 2 ]; do
        volume=$1 path=$2
        shift 2
        mkdir -p "$path"
        mount -t glusterfs -o "$GLUSTER_MOUNT_OPTIONS,log-file=$GLUSTER_WORK/log/client-$(hostname)-$volume.log" \
            "$GLUSTER_SERVER:/$volume" "$path" || return 1
    done
}

# Unmounts the given paths in the reverse order.
gluster_unmount_all() {
    local index
    for ((index = $# ; index >= 1; index--)); do
        umount "${!index}" 2>/dev/null || umount -l "${!index}" 2>/dev/null
    done
}

# gluster_host NAME VOLUME PATH [VOLUME PATH...] -- CMD...: runs CMD as host NAME in the
# background; its process id goes to GLUSTER_HOST_PIDS and to $!.
gluster_host() {
    local name=$1 mounts=()
    shift
    while [ "$1" != "--" ]; do
        mounts+=("$1")
        shift
    done
    shift
    unshare -m -u --propagation private bash -c '
        source "$0"
        name=$1 count=$2
        shift 2
        mounts=("${@:1:count}")
        shift "$count"
        hostname "$name"
        paths=()
        for ((i = 1; i < count; i += 2)); do paths+=("${mounts[$i]}"); done
        trap "gluster_unmount_all \"\${paths[@]}\"" EXIT
        gluster_mount_all "${mounts[@]}" || { echo "$name: a volume could not be mounted"; exit 1; }
        set -m # the command and every process it starts in a process group of their own
        "$@" &
        child=$!
        set +m
        trap "gluster_stop_group $child; exit 143" TERM
        wait "$child"
    ' "${BASH_SOURCE[0]}" "$name" "${#mounts[@]}" "${mounts[@]}" "$@" &
    GLUSTER_HOST_PIDS+=("$!")
}
