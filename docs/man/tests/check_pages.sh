#!/usr/bin/env bash
# Renders every manual page of docs/man as man(1) does and fails on any warning of the formatter
# (an unknown macro, a line that cannot be broken, a bad escape) or on a page that renders empty.
set -euo pipefail
pages=$(cd "$(dirname "$0")/.." && pwd)
failed=0
for page in "$pages"/*.[1-8]; do
    rendered=$(mktemp)
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >"$rendered") || true
    if [ -n "$warnings" ]; then
        echo "$(basename "$page"): $warnings"
        failed=1
    fi
    grep -q "SYNOPSIS" "$rendered" || {
        echo "$(basename "$page"): no SYNOPSIS in the rendered page"
        failed=1
    }
    rm -f "$rendered"
done
exit "$failed"
