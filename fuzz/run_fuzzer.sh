#!/usr/bin/env bash
# Runs one fuzz target for a number of seconds over a copy of its seed corpus, so that the inputs
# the fuzzer adds never land in the source tree. An input that breaks the target is kept as
# <artifacts>/<target>-crash-... (or -leak-, -timeout-, -oom-) and fails the run.
#
#   run_fuzzer.sh target corpus seconds artifacts [libFuzzer options...]
set -euo pipefail
target=$1 corpus=$2 seconds=$3 artifacts=$4
shift 4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$corpus"/. "$work"/
mkdir -p "$artifacts"
echo "seeds: $(find "$work" -type f | wc -l)"
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$(basename "$target")-" "$@" "$work"
echo "corpus after the run: $(find "$work" -type f | wc -l) inputs"
