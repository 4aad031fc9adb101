#!/usr/bin/env bash
# Sums up one ctest run: every skipped test with the reason it gave, then one closing line
#   <name>: N tests passed, M skipped (reason; reason), F failed
# The skipped tests are those ctest lists as "(Skipped)"; the reason is read from the test's own
# output in <build dir>/Testing/Temporary/LastTest.log: the message of a GoogleTest skip (the
# lines between "...: Skipped" and "[  SKIPPED ]"), else the last line the test printed.
# Usage: ctest-summary.sh <name> <build dir> <file with ctest's output>
set -euo pipefail
name=$1 build=$2 output=$3

total=$(sed -n 's/.*tests passed, [0-9]* tests\{0,1\} failed out of \([0-9]*\).*/\1/p' "$output" | tail -n 1)
failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of.*/\1/p' "$output" | tail -n 1)
if [ -z "$total" ]; then
    echo "$name: no test result (ctest ended early, see above)"
    exit 0
fi
skipped_names=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$output")
skipped=0
[ -z "$skipped_names" ] || skipped=$(printf '%s\n' "$skipped_names" | wc -l)
passed=$((total - failed - skipped))

reasons=()
if [ "$skipped" -gt 0 ]; then
    echo "$name: skipped tests and their reasons:"
    # name<TAB>reason for every skipped test, in the log's order.
    while IFS=$'\t' read -r test reason; do
        echo "  $test: $reason"
        reasons+=("$reason")
    done < <(awk -v names="$skipped_names" '
        BEGIN { n = split(names, list, "\n"); for (i = 1; i <= n; i++) wanted[list[i]] = 1 }
        /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); test = $0; next }
        /^Output:$/ { inside = 0; collecting = 1; reason = ""; last = ""; skip = 0; gtest = 0; next }
        collecting && !inside && /^-+$/ { inside = 1; next }
        inside && /^<end of output>$/ {
            inside = 0; collecting = 0
            if (test in wanted) {
                if (reason == "" && !gtest) reason = last
                if (reason == "") reason = "no reason given"
                printf "%s\t%s\n", test, reason
                delete wanted[test]
            }
            next
        }
        inside && /^\[  SKIPPED \]/ { skip = 0; next }
        inside && skip && NF { reason = reason == "" ? $0 : reason " " $0; next }
        inside && /: Skipped$/ { skip = 1; gtest = 1; next }
        inside && NF { last = $0 }
        END { for (test in wanted) printf "%s\t%s\n", test, "no output in LastTest.log" }
    ' "$build/Testing/Temporary/LastTest.log")
fi

# The distinct reasons, the most frequent first, each with its count when it is given more than
# once.
summary=""
if [ "$skipped" -gt 0 ]; then
    summary=" ($(printf '%s\n' "${reasons[@]}" | LC_ALL=C sort | uniq -c | LC_ALL=C sort -k1,1nr -k2 |
        sed 's/^ *\([0-9]*\) \(.*\)/\2 [\1]/; s/ \[1\]$//' | paste -sd ';' | sed 's/;/; /g'))"
fi
echo "$name: $passed tests passed, $skipped skipped$summary, $failed failed"
