#!/usr/bin/env bash
# Builds dcmrelocate, makes a small made-up study and files it into a fresh archive: first as a
# dry run, then for real, and shows the archive tree it produced. Then makes a small repository of
# two mounts, fills it with a few resources and lets mountbalance move the old ones off the
# overloaded mount.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target dcmrelocate makestudy mountbalance repodemo \
    >/dev/null

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

# The repository: two mounts on the file system of build/demo. The limits of m0 (1 %) make it
# count as overloaded whatever that file system's fill level; m1 (limits 100 %) takes everything.
# Resources not used within the last hour may be moved. Lock files go to build/demo/locks, and
# times are shown in UTC.
export LOCK_VAR=$PWD/locks TZ=UTC
mkdir -p locks repository/m0 repository/m1
cat >repository/repository.cfg <<'EOF'
mountPoints = m0\m1
nomoveTimeSeconds = 3600
EOF
printf 'moveLimit = 1\ncleanLimit = 1\n' >repository/m0/repositorypart.cfg
printf 'switchLimit = 100\nfullLimit = 100\ncleanLimit = 100\nmoveLimit = 100\n' \
    >repository/m1/repositorypart.cfg

# The resources with their last modification dates. The listing stops at the resources
# themselves: reading a resource directory would count as using it (its access time).
resources() { find repository -mindepth 5 -maxdepth 5 -printf '%TF  %p\n' | sort -k2; }

section "The repository (build/demo/repository)"
echo "-- repository.cfg:"
cat repository/repository.cfg
echo "-- m0/repositorypart.cfg:"
cat repository/m0/repositorypart.cfg
echo "-- m1/repositorypart.cfg:"
cat repository/m1/repositorypart.cfg

section "Creating resources: repodemo repository 1001=400 1002=120 1003=30 1004=0 (id=days since last use)"
"$bin/repodemo" repository 1001=400 1002=120 1003=30 1004=0

section "Where the resources lie (last modified, path)"
resources

section "Overload check: mountbalance repository"
"$bin/mountbalance" repository

section "Where the resources lie now: the old ones on m1, the recent one still on m0"
resources

section "A second check: nothing old is left on m0"
"$bin/mountbalance" repository
