#!/usr/bin/env bash
# Checks the formatting of the sources, builds everything twice, plainly and with AddressSanitizer
# + UndefinedBehaviorSanitizer, and runs every test in both builds. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

scripts/install-deps.sh

echo "== formatting"
git ls-files -- '*.cpp' '*.h' '*.c' | xargs -r clang-format --dry-run -Werror
echo "formatting: ok"

echo "== plain build (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== sanitizer build (build-asan/)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs")

