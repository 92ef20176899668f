#!/bin/bash
# Checks the library as its users get it, writing only into a temporary
# directory:
#  1. cmake --install of BUILD_DIR into a prefix: the files, the SONAME and
#     the development link; two consumers built against the prefix, one with
#     find_package and one with pkg-config, each run against the built-in
#     test server; ctypes finds and loads the library.
#  2. The .deb (scripts/package): its files and Depends (dpkg-deb -c/-I),
#     unpacked with dpkg-deb -x; a consumer built against the unpacked tree
#     and the tree's own vnc-version run.
#  3. The sources added with add_subdirectory to a consumer, tests off:
#     configures without GoogleTest, Google Benchmark or libpng, and the
#     consumer builds and runs.
#   tests/install/check_install.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: check_install.sh BUILD_DIR}" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/qv-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

fail() { echo "check_install: $*" >&2; exit 1; }
step() { printf -- '--- %s\n' "$*"; }
# Configures and builds the consumer project in tests/install into $1.
consumer() {
  local dir=$1; shift
  cmake -S "$here" -B "$dir" -G Ninja "$@" >"$dir.log" 2>&1 || { cat "$dir.log"; return 1; }
  cmake --build "$dir" >>"$dir.log" 2>&1 || { cat "$dir.log"; return 1; }
}
needs_soname() {  # binary: records quenvira-vnc.so, whichever file it linked
  readelf -d "$1" | grep -q 'NEEDED.*\[quenvira-vnc\.so\]' || fail "$1 does not record quenvira-vnc.so"
}

step "install into a temporary prefix"
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"
libdir=$(sed -n 's/^libdir=\${prefix}\///p' "$prefix"/lib*/pkgconfig/quenvira-vnc.pc)
for f in include/quenvira_vnc.h "$libdir/quenvira-vnc.so" "$libdir/pkgconfig/quenvira-vnc.pc" \
    "$libdir/cmake/quenvira-vnc/quenvira-vnc-config.cmake" \
    "$libdir/cmake/quenvira-vnc/quenvira-vnc-config-version.cmake" \
    bin/vnc-version bin/vnc-snapshot share/doc/quenvira-vnc/README.md; do
  [ -f "$prefix/$f" ] || fail "missing from the install: $f"
done
[ "$(readlink "$prefix/$libdir/libquenvira-vnc.so")" = quenvira-vnc.so ] ||
  fail "libquenvira-vnc.so is not a link to quenvira-vnc.so"
readelf -d "$prefix/$libdir/quenvira-vnc.so" | grep -q 'SONAME.*\[quenvira-vnc\.so\]' ||
  fail "SONAME is not quenvira-vnc.so"
"$root/tests/check_exports.sh" "$prefix/$libdir/quenvira-vnc.so"
# The tools find the library through their relative RPATH alone.
env -u LD_LIBRARY_PATH "$prefix/bin/vnc-version" | grep -qx 'quenvira-vnc 1\.0\.1' ||
  fail "installed vnc-version does not run"

step "consumer with find_package(quenvira-vnc 1.0 CONFIG)"
consumer "$tmp/find-package" -DCMAKE_PREFIX_PATH="$prefix"
needs_soname "$tmp/find-package/consumer"
"$tmp/find-package/consumer"
# Same major version only.
if consumer "$tmp/find-2.0" -DCMAKE_PREFIX_PATH="$prefix" -DQV_FIND_VERSION=2.0 >/dev/null 2>&1; then
  fail "find_package(quenvira-vnc 2.0) accepted version 1.0.1"
fi

step "consumer with pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
flags=$(pkg-config --cflags --libs quenvira-vnc)
echo "pkg-config: $flags"
gcc "$here/consumer.c" -o "$tmp/pc-consumer" $flags -Wl,-rpath,"$prefix/$libdir"
needs_soname "$tmp/pc-consumer"
"$tmp/pc-consumer"
unset PKG_CONFIG_PATH

step "ctypes.util.find_library"
if command -v python3 >/dev/null; then
  LD_LIBRARY_PATH=$prefix/$libdir python3 - <<'PY'
import ctypes, ctypes.util
name = ctypes.util.find_library("quenvira-vnc")
assert name == "quenvira-vnc.so", name
lib = ctypes.CDLL(name)
lib.vnc_version.restype = ctypes.c_char_p
assert lib.vnc_version() == b"1.0.1"
print("ctypes: found", name)
PY
else
  echo "python3 missing: skipped (scripts/setup installs it)"
fi

step "Debian package"
deb=$("$root/scripts/package" "$tmp/package" | tail -n 1)
[ "$(basename "$deb")" = quenvira-vnc_1.0.1_amd64.deb ] || fail "unexpected package name: $deb"
dpkg-deb -c "$deb" | awk '{print $6 ($7 ? " " $7 " " $8 : "")}' >"$tmp/deb.list"
ma=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for f in ./usr/include/quenvira_vnc.h "./usr/lib/$ma/quenvira-vnc.so" \
    "./usr/lib/$ma/libquenvira-vnc.so -> quenvira-vnc.so" "./usr/lib/$ma/pkgconfig/quenvira-vnc.pc" \
    "./usr/lib/$ma/cmake/quenvira-vnc/quenvira-vnc-config.cmake" \
    "./usr/lib/$ma/cmake/quenvira-vnc/quenvira-vnc-targets.cmake" \
    ./usr/bin/vnc-version ./usr/bin/vnc-snapshot ./usr/share/doc/quenvira-vnc/README.md; do
  grep -qxF "$f" "$tmp/deb.list" || fail "missing from the .deb: $f"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# The library needs its inflater (ISA-L, or zlib in a build without it) and
# the C++ runtime, vnc-snapshot libpng.
for p in libc6 libstdc++6 libpng16-16; do
  [[ ", $depends," == *", $p "* ]] || fail "Depends lacks $p"
done
[[ ", $depends," == *", libisal2 "* || ", $depends," == *", zlib1g "* ]] ||
  fail "Depends lacks the inflater (libisal2 or zlib1g)"
dpkg-deb -x "$deb" "$tmp/deb-root"
grep -qx 'prefix=/usr' "$tmp/deb-root/usr/lib/$ma/pkgconfig/quenvira-vnc.pc" ||
  fail "the packaged quenvira-vnc.pc does not say prefix=/usr"
env -u LD_LIBRARY_PATH "$tmp/deb-root/usr/bin/vnc-version" | grep -qx 'quenvira-vnc 1\.0\.1' ||
  fail "vnc-version from the .deb does not run from the unpacked tree"
consumer "$tmp/deb-consumer" -DCMAKE_PREFIX_PATH="$tmp/deb-root/usr"
"$tmp/deb-consumer/consumer"

step "sources as a subdirectory, tests and tools off"
# A REQUIRED find_package of a disabled package is an error, and the cache
# would list what any find_package looked for.
consumer "$tmp/subdir" -DQV_SOURCE_DIR="$root" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DCMAKE_DISABLE_FIND_PACKAGE_PNG=ON
if grep -E '^(GTest|GTEST|benchmark|PNG)_' "$tmp/subdir/CMakeCache.txt"; then
  fail "the subdirectory build looked for GoogleTest, Google Benchmark or libpng"
fi
"$tmp/subdir/consumer"

echo "check_install: all checks passed"
