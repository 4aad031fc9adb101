#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the demonstration and the benchmark
# need. Safe to run again: it asks apt only for what is missing, without questions.
set -euo pipefail

packages=(
    build-essential cmake    # compiler and build system
    libdcmtk-dev dcmtk       # DICOM toolkit: headers, libraries, data dictionary, tools
    libgtest-dev libgmock-dev # unit test framework
    libxxhash-dev            # the hash that checks every copied file
    acl attr                 # the copy tests set access control lists and extended attributes
    clang-format             # formatting check of the test command
    e2fsprogs xfsprogs       # ext4 and xfs images for the file-system tests
    openjdk-17-jdk-headless  # the Java class, its native header and its tests
    pkgconf                  # the installation test builds C programs with pkg-config
    man-db groff-base        # the manual pages are rendered by the tests
    glusterfs-server glusterfs-client # the two-host test on a distributed file system
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
