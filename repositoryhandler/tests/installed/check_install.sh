#!/usr/bin/env bash
# Installs the build into a fresh prefix and uses the installation as an outside caller would:
# every file in its place, the programs run, a C program builds and runs against the installed
# header and library through pkg-config (shared, then static), and a Java program against the
# installed jar and library.
# Usage: check_install.sh <cmake> <build dir> <source dir> <C compiler> <C++ compiler> <javac> <java>
#        <work dir>
set -euo pipefail
cmake=$1 build=$2 source=$3 cc=$4 cxx=$5 javac=$6 java=$7 work=$8
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$work"
mkdir -p "$work/locks"
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log"
export LOCK_VAR=$work/locks

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

echo "== installed files"
expected=(bin/dcmrelocate bin/mountbalance bin/repostat lib/librepositoryhandler.so lib/librepositoryhandler.a
    include/repositoryhandler.h lib/pkgconfig/repositoryhandler.pc
    share/java/orvane-repositoryhandler.jar)
for page in "$source"/docs/man/*.[1-8]; do
    name=$(basename "$page")
    expected+=("share/man/man${name##*.}/$name")
done
for file in "${expected[@]}"; do
    [ -f "$prefix/$file" ] || fail "$file is not installed"
done
[ -x "$prefix/bin/dcmrelocate" ] && [ -x "$prefix/bin/mountbalance" ] && [ -x "$prefix/bin/repostat" ] || fail "programs not executable"
cmp -s "$source/repositoryhandler/src/libs/repositoryhandler.h" "$prefix/include/repositoryhandler.h" ||
    fail "installed header differs from the source"
echo "ok: ${#expected[@]} files"

echo "== installed programs run"
"$prefix/bin/dcmrelocate" -h >"$work/dcmrelocate.out" || fail "dcmrelocate -h: status $?"
grep -q dcmrelocate "$work/dcmrelocate.out" || fail "dcmrelocate -h printed no usage"
status=0
"$prefix/bin/mountbalance" >/dev/null 2>&1 || status=$?
[ "$status" -eq 255 ] || fail "mountbalance without arguments: status $status, expected 255"
echo "ok"

echo "== pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
unset PKG_CONFIG_LIBDIR
[ "$(pkg-config --variable=prefix repositoryhandler)" = "$prefix" ] ||
    fail "pkg-config file names prefix $(pkg-config --variable=prefix repositoryhandler)"
read -r -a cflags <<<"$(pkg-config --cflags repositoryhandler)"
read -r -a libs <<<"$(pkg-config --libs repositoryhandler)"
read -r -a static_libs <<<"$(pkg-config --static --libs repositoryhandler)"
libdir=$(pkg-config --variable=libdir repositoryhandler)
echo "cflags: ${cflags[*]}; libs: ${libs[*]}; static: ${static_libs[*]}"

# The header alone, in C++ as well (its C++ part declares a function on standard containers).
echo '#include <repositoryhandler.h>' >"$work/header.cpp"
"$cxx" -std=c++17 -Wall -Wextra -Werror -fsyntax-only "${cflags[@]}" "$work/header.cpp" ||
    fail "the installed header does not compile on its own as C++"

echo "== C program on the shared library"
"$cc" -std=c11 -Wall -Wextra -Werror "${cflags[@]}" -o "$work/shared" \
    "$here/InstalledLibrary.c" "${libs[@]}" -Wl,-rpath,"$libdir"
# Outputs are read whole before they are searched: "cmd | grep -q" under pipefail fails whenever
# grep stops reading early and cmd dies of the broken pipe.
dynamic=$(readelf -d "$work/shared")
grep -q 'NEEDED.*\[librepositoryhandler\.so\]' <<<"$dynamic" ||
    fail "the shared build does not use librepositoryhandler.so"
resolved=$(ldd "$work/shared")
grep -q "librepositoryhandler.so => $libdir/" <<<"$resolved" ||
    fail "the shared build does not find the installed library: $resolved"
mkdir "$work/rep-shared"
"$work/shared" "$work/rep-shared"

echo "== C program on the static library"
"$cc" -std=c11 -Wall -Wextra -Werror -static "${cflags[@]}" -o "$work/static" \
    "$here/InstalledLibrary.c" "${static_libs[@]}" 2>"$work/static-link.log" ||
    { cat "$work/static-link.log" >&2; fail "static link"; }
if grep -q NEEDED <<<"$(readelf -d "$work/static" 2>/dev/null)"; then
    fail "the static build needs shared libraries: $(readelf -d "$work/static" | grep NEEDED)"
fi
mkdir "$work/rep-static"
"$work/static" "$work/rep-static"

echo "== Java program on the installed jar"
jar=$prefix/share/java/orvane-repositoryhandler.jar
mkdir "$work/classes" "$work/rep-java"
: >"$work/rep-java/repositorypart.cfg"
"$javac" -Werror -cp "$jar" -d "$work/classes" "$here/InstalledJar.java"
"$java" -Xcheck:jni -Djava.library.path="$libdir" -cp "$jar:$work/classes" InstalledJar \
    "$work/rep-java"

rm -rf "$work"
echo "PASS"
