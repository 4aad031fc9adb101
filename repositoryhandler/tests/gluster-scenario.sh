#!/usr/bin/env bash
# One repository used by two hosts at once on GlusterFS: the repository directory and its three
# mounts are four volumes, mounted by both hosts at the same paths (scripts/gluster-hosts.sh).
# First a lock held on one host must keep the other out until it is let go; then the stress
# workload runs with four workers on each host, the balancer on the first, and on both a process
# killed again and again in the middle of its changes; finally the repository is checked from the
# second host.
# Usage: gluster-scenario.sh <repositoryhandler_hosts> [locks|all]: "locks" (the default) stops
# after the lock step; "all" runs the workload too. Exits 77 (skipped) without root, the
# GlusterFS packages or FUSE. STRESS_RUN_OPERATIONS (default 150) sets each worker's operations,
# STRESS_SEED the seed, STRESS_KILLS=0 leaves out the kills.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/gluster-hosts.sh"
gluster_prepare "$0" "$@"
hosts_binary=$1
mode=${2:-locks}

started=$SECONDS
gluster_start || exit 1
for volume in repo:32m m0:12m m1:16m m2:24m; do
    gluster_volume "${volume%%:*}" "${volume#*:}" || exit 1
done
repository=$GLUSTER_WORK/mounts/repository
mounts=(repo "$repository" m0 "$repository/m0" m1 "$repository/m1" m2 "$repository/m2")
export STRESS_REPOSITORY=$repository STRESS_STATE=$GLUSTER_WORK/scenario
export LOCK_VAR=$repository/locks STRESS_RUN_OPERATIONS=${STRESS_RUN_OPERATIONS:-150}
mkdir -p "$STRESS_STATE"
echo "glusterd and 4 volumes ready after $((SECONDS - started)) s"

# Runs the steps given as NAME=STEP [VAR=value...] on hosts of that name at once; false when one
# of them failed.
run_hosts() {
    local step pids=() failed=0 pid
    GLUSTER_HOST_PIDS=()
    for step in "$@"; do
        local name=${step%%=*} rest=${step#*=}
        read -r -a words <<<"$rest"
        gluster_host "$name" "${mounts[@]}" -- \
            env "${words[@]:1}" "$hosts_binary" --gtest_filter="Hosts.${words[0]}" \
            --gtest_brief=1
        pids+=("$!")
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || failed=1
    done
    GLUSTER_HOST_PIDS=()
    return "$failed"
}

status=0
echo "== preparing the repository (hostA)"
run_hosts hostA=Prepare || exit 1
echo "== a lock held on hostA keeps hostB out"
run_hosts hostA=HoldLock hostB=ProbeLock || status=1
if [ "$mode" = locks ]; then
    echo "two hosts on GlusterFS, locks: $([ $status -eq 0 ] && echo passed || echo FAILED)" \
        "in $((SECONDS - started)) s (the workload: gluster-scenario.sh <binary> all)"
    exit "$status"
fi
echo "== the workload from hostA (with the balancer) and hostB, with kills on both"
kills=${STRESS_KILLS:-1}
run_hosts "hostA=Run STRESS_HOST=0 STRESS_BALANCER=1 STRESS_KILLS=$kills" \
    "hostB=Run STRESS_HOST=1 STRESS_KILLS=$kills" || status=1
echo "== the final checks (hostB)"
run_hosts hostB=Check || status=1
# The trace of every process's steps and log messages outlives the run when it failed.
if [ $status -ne 0 ]; then
    cp "$STRESS_STATE/trace.txt" "${TMPDIR:-/tmp}/gluster-scenario-trace.txt" &&
        echo "the trace of the run: ${TMPDIR:-/tmp}/gluster-scenario-trace.txt"
fi
echo "two hosts on GlusterFS: $([ $status -eq 0 ] && echo passed || echo FAILED)" \
    "in $((SECONDS - started)) s"
exit "$status"
