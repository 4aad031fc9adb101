#!/usr/bin/env bash
# Runs ctest-summary.sh over ctest output of known shape (as ctest 3.25 writes it) and compares its
# closing line: skips by GoogleTest with and without a message, a skip by return code, a failure,
# a run without skips, and a run that ctest ended before its totals.
set -euo pipefail
summary=$(cd "$(dirname "$0")/.." && pwd)/ctest-summary.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Testing/Temporary"
failures=0

# One test's block of LastTest.log; the output lines follow on standard input.
block() {
    echo "$1/9 Testing: $2"
    echo "$1/9 Test: $2"
    echo "Command: \"/x/t\" \"--gtest_filter=$2\""
    echo "Output:"
    echo "----------------------------------------------------------"
    cat
    echo "<end of output>"
    echo "Test time =   0.01 sec"
    echo "----------------------------------------------------------"
    echo "Test Passed."
}

{
    printf '[ RUN      ] A.Runs\n[       OK ] A.Runs (0 ms)\n' | block 1 A.Runs
    printf '[ RUN      ] A.Skips\n/x/t.cpp:3: Skipped\nno tmpfs here\n[  SKIPPED ] A.Skips (0 ms)\n[  PASSED  ] 0 tests.\n' |
        block 2 A.Skips
    printf '[ RUN      ] A.Bare\n/x/t.cpp:4: Skipped\n\n[  SKIPPED ] A.Bare (0 ms)\n[  PASSED  ] 0 tests.\n' |
        block 3 A.Bare
    printf 'checking\nSKIPPED: no systemd here\n' | block 4 script.skip
    printf '[ RUN      ] B.Other\n/x/t.cpp:9: Skipped\nno tmpfs here\n[  SKIPPED ] B.Other (0 ms)\n' |
        block 5 B.Other
} >"$work/Testing/Temporary/LastTest.log"

# expect <ctest output file> <expected closing line>
expect() {
    local got
    got=$("$summary" "build" "$work" "$1" | tail -n 1)
    if [ "$got" != "$2" ]; then
        echo "FAIL: $(basename "$1"): got '$got', expected '$2'" >&2
        failures=$((failures + 1))
    fi
}

cat >"$work/skips" <<'OUT'
83% tests passed, 1 tests failed out of 6

The following tests did not run:
	  2 - A.Skips (Skipped)
	  3 - A.Bare (Skipped)
	  4 - script.skip (Skipped)
	  5 - B.Other (Skipped)

The following tests FAILED:
	  6 - C.Fails (Failed)
OUT
expect "$work/skips" "build: 1 tests passed, 4 skipped (no tmpfs here [2]; SKIPPED: no systemd here; no reason given), 1 failed"

printf '100%% tests passed, 0 tests failed out of 214\n' >"$work/clean"
expect "$work/clean" "build: 214 tests passed, 0 skipped, 0 failed"

printf 'Errors while running CTest\n' >"$work/early"
expect "$work/early" "build: no test result (ctest ended early, see above)"

[ "$failures" -eq 0 ] || exit 1
echo "ctest-summary: ok"
