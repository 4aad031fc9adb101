#!/usr/bin/env bash
# Fuzzes the parsers and name rules: installs clang and its fuzzer runtime, builds the fuzz
# targets with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz/, and runs
# each for 60 seconds (FUZZ_SECONDS overrides) over a copy of its seeds in fuzz/corpus/. An input
# that breaks a target fails the run and is kept in build-fuzz/fuzz/artifacts/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-deps.sh
packages=(clang libclang-rt-14-dev) # the compiler and its libFuzzer runtime
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_FUZZ=ON \
    -DORVANE_FUZZ_SECONDS="${FUZZ_SECONDS:-60}"
cmake --build build-fuzz -j"$(nproc)" --target fuzz_targets
(cd build-fuzz && ctest -L fuzz --output-on-failure -j"$(nproc)")
