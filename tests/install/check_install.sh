#!/bin/bash
# Checks the library as its users get it, writing only into a temporary
# directory:
#  1. cmake --install of BUILD_DIR into a prefix: the files, the SONAME and
#     the development link; two consumers built against the prefix, one with
#     find_package and one with pkg-config, each run against the built-in
#     test server; ctypes finds and loads the library.
#     The man pages are checked against the tools' --help
#     (tests/check_man_pages.sh).
#  2. The .debs (scripts/package), the library's and python3-quenvira-vnc:
#     their files and Depends (dpkg-deb -c/-I), lintian (when installed:
#     errors fail), unpacked with dpkg-deb -x: the copyright file, the
#     changelog's version, the man pages render; a consumer built against
#     the unpacked tree and the tree's own vnc-version run; the Python
#     package imports from it and loads its library, and vnc-do runs.
#     The wheel: only glibc needed from the system, pip-installed into a
#     fresh venv, it captures the test server and vnc-do --demo works.
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

# The pages in docs/ that the README links to, installed beside it.
doc_pages="development.md install.md interface.md options.md performance.md python.md
  servers.md tools.md vnc-view.png windows.md"

step "install into a temporary prefix"
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"
libdir=$(sed -n 's/^libdir=\${prefix}\///p' "$prefix"/lib*/pkgconfig/quenvira-vnc.pc)
for f in include/quenvira_vnc.h include/quenvira_vnc_keysyms.h "$libdir/quenvira-vnc.so" "$libdir/pkgconfig/quenvira-vnc.pc" \
    "$libdir/cmake/quenvira-vnc/quenvira-vnc-config.cmake" \
    "$libdir/cmake/quenvira-vnc/quenvira-vnc-config-version.cmake" \
    bin/vnc-version bin/vnc-snapshot share/doc/quenvira-vnc/README.md \
    $(printf 'share/doc/quenvira-vnc/docs/%s ' $doc_pages) \
    share/doc/quenvira-vnc/copyright share/doc/quenvira-vnc/changelog.gz \
    share/man/man1/vnc-version.1.gz share/man/man1/vnc-snapshot.1.gz \
    $([ -x "$build/tools/vnc-view" ] && echo bin/vnc-view share/man/man1/vnc-view.1.gz); do
  [ -f "$prefix/$f" ] || fail "missing from the install: $f"
done
"$root/tests/check_man_pages.sh" "$build"
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

step "Debian packages"
debs=$("$root/scripts/package" "$tmp/package")
deb=$(sed -n 1p <<<"$debs") pydeb=$(sed -n 2p <<<"$debs")
[ "$(basename "$deb")" = quenvira-vnc_1.0.1_amd64.deb ] || fail "unexpected package name: $deb"
[ "$(basename "$pydeb")" = python3-quenvira-vnc_1.0.1_all.deb ] || fail "unexpected package name: $pydeb"
listing() { dpkg-deb -c "$1" | awk '{print $6 ($7 ? " " $7 " " $8 : "")}'; }
listing "$deb" >"$tmp/deb.list"
listing "$pydeb" >"$tmp/pydeb.list"
ma=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
# vnc-view is there when the build found SDL2.
view=$([ -x "$tmp/package/tools/vnc-view" ] && echo vnc-view || true)
for f in ./usr/include/quenvira_vnc.h ./usr/include/quenvira_vnc_keysyms.h \
    "./usr/lib/$ma/quenvira-vnc.so" \
    "./usr/lib/$ma/libquenvira-vnc.so -> quenvira-vnc.so" "./usr/lib/$ma/pkgconfig/quenvira-vnc.pc" \
    "./usr/lib/$ma/cmake/quenvira-vnc/quenvira-vnc-config.cmake" \
    "./usr/lib/$ma/cmake/quenvira-vnc/quenvira-vnc-targets.cmake" \
    ./usr/bin/vnc-version ./usr/bin/vnc-snapshot ./usr/share/doc/quenvira-vnc/README.md \
    $(printf './usr/share/doc/quenvira-vnc/docs/%s ' $doc_pages) \
    ./usr/share/man/man1/vnc-version.1.gz ./usr/share/man/man1/vnc-snapshot.1.gz \
    ${view:+./usr/bin/vnc-view ./usr/share/man/man1/vnc-view.1.gz}; do
  grep -qxF "$f" "$tmp/deb.list" || fail "missing from the .deb: $f"
done
for f in ./usr/bin/vnc-do ./usr/lib/python3/dist-packages/quenvira_vnc/__init__.py \
    ./usr/lib/python3/dist-packages/quenvira_vnc/cli.py ./usr/share/man/man1/vnc-do.1.gz; do
  grep -qxF "$f" "$tmp/pydeb.list" || fail "missing from $(basename "$pydeb"): $f"
done
# Architecture all: the library comes from quenvira-vnc, never a copy.
if grep -E '\.so$' "$tmp/pydeb.list"; then fail "$(basename "$pydeb") holds a library"; fi
if grep -E '/(vnc-do|quenvira_vnc/)' "$tmp/deb.list"; then fail "the library's .deb holds Python files"; fi
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# The library needs its inflater (ISA-L, or zlib in a build without it) and
# the C++ runtime, vnc-snapshot libpng.
for p in libc6 libstdc++6 libpng16-16; do
  [[ ", $depends," == *", $p "* ]] || fail "Depends lacks $p"
done
[[ ", $depends," == *", libisal2 "* || ", $depends," == *", zlib1g "* ]] ||
  fail "Depends lacks the inflater (libisal2 or zlib1g)"
pydepends=$(dpkg-deb -f "$pydeb" Depends)
echo "python3-quenvira-vnc Depends: $pydepends"
[[ ", $pydepends," == *", quenvira-vnc (>= 1.0.1),"* && ", $pydepends," == *", python3,"* ]] ||
  fail "python3-quenvira-vnc must depend on quenvira-vnc (>= 1.0.1) and python3"
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb" "$pydeb" || fail "lintian found errors"
else
  echo "lintian missing: skipped (scripts/setup installs it)"
fi

dpkg-deb -x "$deb" "$tmp/deb-root"
dpkg-deb -x "$pydeb" "$tmp/deb-root"
for p in quenvira-vnc python3-quenvira-vnc; do
  doc=$tmp/deb-root/usr/share/doc/$p
  cmp -s "$doc/copyright" "$root/packaging/copyright" || fail "$p: copyright is not packaging/copyright"
  zcat "$doc/changelog.gz" >"$tmp/changelog"
  [ "$(dpkg-parsechangelog -l "$tmp/changelog" -S Version)" = 1.0.1 ] ||
    fail "$p: the changelog's last entry is not of version 1.0.1"
done
for tool in vnc-snapshot $view vnc-version vnc-do; do
  page=$tmp/deb-root/usr/share/man/man1/$tool.1.gz
  if command -v man >/dev/null; then
    out=$(MANWIDTH=80 MANPAGER=cat man -l "$page") || fail "man -l $tool.1.gz failed"
  else
    out=$(zcat "$page" | groff -man -Tutf8) || fail "groff on $tool.1.gz failed"
  fi
  grep -q "^ *$tool - " <<<"$out" || fail "$tool.1.gz does not render its NAME line"
done
grep -qx 'prefix=/usr' "$tmp/deb-root/usr/lib/$ma/pkgconfig/quenvira-vnc.pc" ||
  fail "the packaged quenvira-vnc.pc does not say prefix=/usr"
env -u LD_LIBRARY_PATH "$tmp/deb-root/usr/bin/vnc-version" | grep -qx 'quenvira-vnc 1\.0\.1' ||
  fail "vnc-version from the .deb does not run from the unpacked tree"
consumer "$tmp/deb-consumer" -DCMAKE_PREFIX_PATH="$tmp/deb-root/usr"
"$tmp/deb-consumer/consumer"

# Installed, the modules find the library through the loader's cache; here
# LD_LIBRARY_PATH stands in for it. Debian's interpreter, which the package
# is for.
step "python3-quenvira-vnc from the unpacked tree"
unset QUENVIRA_VNC_LIBRARY
export LD_LIBRARY_PATH=$tmp/deb-root/usr/lib/$ma
PYTHONPATH=$tmp/deb-root/usr/lib/python3/dist-packages /usr/bin/python3 - "$tmp/deb-root/" <<'PY'
import sys
import quenvira_vnc
from quenvira_vnc import _native
root = sys.argv[1]
assert quenvira_vnc.__file__.startswith(root), quenvira_vnc.__file__
assert _native.version() == "1.0.1", _native.version()
mapped = {line.split()[-1] for line in open("/proc/self/maps") if "quenvira-vnc" in line}
assert mapped and all(path.startswith(root) for path in mapped), mapped
print("python: imported from the tree, loaded", *mapped)
PY
vnc_do=$tmp/deb-root/usr/bin/vnc-do
"$vnc_do" --help | grep -q '^Usage: vnc-do ' || fail "vnc-do --help from the tree failed"
[ "$("$vnc_do" --version)" = "vnc-do (quenvira-vnc 1.0.1)" ] || fail "vnc-do --version from the tree failed"
(cd "$tmp" && "$vnc_do" --demo capture demo.png) || fail "vnc-do --demo capture from the tree failed"
[ "$(head -c 8 "$tmp/demo.png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] ||
  fail "vnc-do --demo capture wrote no PNG"
unset LD_LIBRARY_PATH

# The wheel as a Python user elsewhere gets it: a venv of its own (not
# Debian's packages), nothing on the loader's path, the .debs not installed.
step "the wheel in a fresh venv"
wheel=$(sed -n 3p <<<"$debs")
case "$(basename "$wheel")" in
  quenvira_vnc-1.0.1-py3-none-manylinux_2_*_x86_64.whl) ;;
  *) fail "unexpected wheel name: $wheel" ;;
esac
! dpkg -s quenvira-vnc >/dev/null 2>&1 || fail "the library's .deb is installed: the wheel's check would not show it alone"
# Only glibc from the system; everything else inside the wheel.
mkdir "$tmp/wheel" && (cd "$tmp/wheel" && cmake -E tar xf "$wheel")
for f in "$tmp"/wheel/quenvira_vnc/quenvira-vnc.so "$tmp"/wheel/quenvira_vnc/libs/*; do
  readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | while read -r dep; do
    case "$dep" in
      libc.so.6|libm.so.6|ld-linux-x86-64.so.2) ;;
      *) [ -f "$tmp/wheel/quenvira_vnc/libs/$dep" ] || fail "$(basename "$f") needs $dep, which the wheel lacks" ;;
    esac
  done
done
/usr/bin/python3 -m venv "$tmp/venv"
"$tmp/venv/bin/pip" install -q --no-index --no-cache-dir "$wheel" || fail "pip install of the wheel failed"
(cd "$tmp" && env -u LD_LIBRARY_PATH -u QUENVIRA_VNC_LIBRARY -u PYTHONPATH \
  "$tmp/venv/bin/python" - "$tmp/venv/" <<'PY'
import sys
import quenvira_vnc
venv = sys.argv[1]
assert quenvira_vnc.__file__.startswith(venv), quenvira_vnc.__file__
with quenvira_vnc.TestServer() as server, quenvira_vnc.Client() as vnc:
    vnc.connect("127.0.0.1", server.port).capture("wheel.png")
mapped = {line.split()[-1] for line in open("/proc/self/maps")
          if "quenvira" in line or "libisal" in line or "libjpeg" in line}
ours = [p for p in mapped if p.startswith(venv)]
assert ours and len(ours) == len(mapped), mapped
print("wheel: captured the test server, loaded", *sorted(ours))
PY
) || fail "the wheel's package did not capture the test server"
[ "$(head -c 8 "$tmp/wheel.png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] ||
  fail "the wheel's capture wrote no PNG"
(cd "$tmp" && env -u LD_LIBRARY_PATH -u QUENVIRA_VNC_LIBRARY -u PYTHONPATH \
  "$tmp/venv/bin/vnc-do" --demo capture wheel-demo.png) || fail "vnc-do --demo capture from the wheel failed"
[ "$(head -c 8 "$tmp/wheel-demo.png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] ||
  fail "vnc-do --demo capture from the wheel wrote no PNG"

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
