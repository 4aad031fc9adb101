#!/usr/bin/env bash
# Checks the formatting of the sources, builds everything twice, plainly and with AddressSanitizer
# + UndefinedBehaviorSanitizer, runs every test in both builds, and checks an installation of the
# plain build with its systemd units. Exits non-zero on any failure. Each skipped test is named
# with its reason, and the run ends with one line per build (and one for the units).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

# The closing lines, printed at the end of the run, also when a step failed.
summary=$(mktemp)
trap 'status=$?; echo "== summary"; cat "$summary"; rm -f "$summary"; exit $status' EXIT

# Runs the tests of one build directory and records its closing line.
run_tests() {
    local name=$1 dir=$2 status=0
    (cd "$dir" && ctest --output-on-failure -j"$jobs") 2>&1 | tee "$dir/ctest-output.log" || status=$?
    scripts/ctest-summary.sh "$name" "$dir" "$dir/ctest-output.log" >"$dir/ctest-summary.txt"
    cat "$dir/ctest-summary.txt"
    tail -n 1 "$dir/ctest-summary.txt" >>"$summary"
    return "$status"
}

scripts/install-deps.sh

echo "== formatting"
git ls-files -- '*.cpp' '*.h' '*.c' | xargs -r clang-format --dry-run -Werror
echo "formatting: ok"

echo "== test command's own scripts"
scripts/tests/ctest-summary-test.sh

echo "== plain build (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
run_tests "plain build" build

echo "== installation and systemd units (plain build)"
scripts/check-installed-units.sh build >build/units-check.txt || {
    cat build/units-check.txt
    echo "systemd units: FAILED (see above)" >>"$summary"
    exit 1
}
cat build/units-check.txt
grep -E '^(SKIPPED|systemd-analyze)' build/units-check.txt | sed 's/^/systemd units: /' >>"$summary"

echo "== sanitizer build (build-asan/)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON
cmake --build build-asan -j"$jobs"
run_tests "sanitizer build" build-asan
