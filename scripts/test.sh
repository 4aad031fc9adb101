#!/usr/bin/env bash
# Builds everything twice, plainly and with AddressSanitizer + UndefinedBehaviorSanitizer, runs
# every test in both builds and checks the formatting of the sources. Exits non-zero on any
# failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

scripts/install-deps.sh

echo "== plain build (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== sanitizer build (build-asan/)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs")

echo "== formatting"
git ls-files -- '*.cpp' '*.h' '*.c' | xargs -r clang-format --dry-run -Werror
echo "formatting: ok"
