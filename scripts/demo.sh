#!/usr/bin/env bash
# Builds dcmrelocate, makes a small made-up study and files it into a fresh archive: first as a
# dry run, then for real, and shows the archive tree it produced.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target dcmrelocate makestudy >/dev/null

# The demonstration works in build/demo, so that the paths it shows stay short.
bin=$root/build/bin
rm -rf build/demo
mkdir -p build/demo
cd build/demo
"$bin/makestudy" source

section() { printf '\n== %s\n' "$*"; }

section "The study to file (build/demo/source)"
find source | sort

section "Dry run: dcmrelocate -d source archive (standard output only)"
"$bin/dcmrelocate" -d source archive 2>/dev/null

section "Filing: dcmrelocate source archive"
echo "-- standard error:"
"$bin/dcmrelocate" source archive 2>&1 >result.txt
echo "-- standard output (the study's path in the archive):"
cat result.txt

section "The archive (build/demo/archive)"
find archive | sort
section "Left in the source (not DICOM)"
find source -type f | sort
