#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what an operator starts from there: the
# installed programs run without ldconfig or LD_LIBRARY_PATH, the installed service starts the
# installed mountbalance, and `systemd-analyze verify` accepts the installed units and those of
# docs/systemd/ with the drop-in for another prefix (skipped, with the reason printed, where
# systemd-analyze is missing).
# Usage: check-installed-units.sh <build dir>
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

# The installed programs, from a prefix the dynamic linker knows nothing of.
status=0
env -u LD_LIBRARY_PATH "$prefix/bin/mountbalance" >"$work/usage" 2>&1 || status=$?
[ "$status" -eq 255 ] || fail "$prefix/bin/mountbalance without arguments: status $status, expected 255"
grep -q '^Usage: ' "$work/usage" || fail "mountbalance printed no usage line: $(cat "$work/usage")"
status=0
env -u LD_LIBRARY_PATH "$prefix/bin/repostat" >/dev/null 2>&1 || status=$?
[ "$status" -eq 3 ] || fail "$prefix/bin/repostat without arguments: status $status, expected 3"

# The installed service differs from docs/systemd/ only in the program's path.
units=$prefix/lib/systemd/system
source=$(cd "$(dirname "$0")/.." && pwd)/docs/systemd
for unit in mountbalance@.service mountbalance@.timer; do
    [ -f "$units/$unit" ] || fail "$unit is not installed in lib/systemd/system/"
done
cmp -s "$source/mountbalance@.timer" "$units/mountbalance@.timer" || fail "the installed timer differs"
exec_line=$(grep '^ExecStart=' "$units/mountbalance@.service")
[ "$exec_line" = "ExecStart=$prefix/bin/mountbalance /%I" ] ||
    fail "installed service: $exec_line, expected ExecStart=$prefix/bin/mountbalance /%I"
diff <(grep -v '^ExecStart=' "$source/mountbalance@.service") \
    <(grep -v '^ExecStart=' "$units/mountbalance@.service") >/dev/null ||
    fail "the installed service differs from docs/systemd/ in more than ExecStart"
echo "installed units: ExecStart=$prefix/bin/mountbalance"

if ! command -v systemd-analyze >/dev/null; then
    echo "SKIPPED systemd-analyze verify: systemd-analyze is not installed"
    exit 0
fi
# The unit's Documentation= names the manual page, which verify looks up: in the prefix.
if ! out=$(cd "$units" && MANPATH=$prefix/share/man systemd-analyze verify \
    ./mountbalance@.service ./mountbalance@.timer 2>&1); then
    echo "$out" >&2
    fail "systemd-analyze verify refused the installed units"
fi
[ -z "$out" ] || {
    echo "$out" >&2
    fail "systemd-analyze verify warned about the installed units"
}
echo "systemd-analyze verify: installed mountbalance@.service and mountbalance@.timer ok"

# The units of docs/systemd/ as they are, for another prefix through the drop-in that the README
# gives (ExecStart= cleared, then set), found by systemd on SYSTEMD_UNIT_PATH.
mkdir -p "$work/units/mountbalance@.service.d"
cp "$source/mountbalance@.service" "$source/mountbalance@.timer" "$work/units/"
printf '[Service]\nExecStart=\nExecStart=%s /%%I\n' "$prefix/bin/mountbalance" \
    >"$work/units/mountbalance@.service.d/prefix.conf"
if ! out=$(MANPATH=$prefix/share/man SYSTEMD_UNIT_PATH=$work/units: systemd-analyze verify \
    mountbalance@data-rep.service mountbalance@data-rep.timer 2>&1) || [ -n "$out" ]; then
    echo "$out" >&2
    fail "systemd-analyze verify refused docs/systemd/ with the drop-in"
fi
echo "systemd-analyze verify: docs/systemd/ units with the ExecStart drop-in ok"
