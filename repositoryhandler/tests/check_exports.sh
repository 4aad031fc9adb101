#!/usr/bin/env bash
# Compares the functions that a shared library exports (defined, global, text) with the list of
# plain names it must export: missing names and unexpected extra exports both fail.
set -euo pipefail
library=$1
expected=$2

actual=$(nm -D --defined-only "$library" | awk '$2 == "T" && $3 !~ /^_/ { print $3 }' | sort)
wanted=$(grep -v '^#' "$expected" | sed '/^$/d' | sort)

if [ "$actual" != "$wanted" ]; then
    echo "exported functions of $library differ from $expected:"
    diff <(echo "$wanted") <(echo "$actual") || true
    exit 1
fi
echo "exports: $(echo "$actual" | wc -l) plain names as expected"
