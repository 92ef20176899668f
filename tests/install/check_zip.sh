#!/bin/bash
# Checks the Windows zip made by CPack in BUILD_DIR (a MinGW-w64 build):
# its exact listing, then, unpacked into a temporary directory, vnc-version.exe
# and vnc-snapshot.exe from it (which import the DLL and system DLLs only) and
# a consumer built with MinGW-w64 through the zip's CMake package, run under
# Wine (WINE, with the caller's Wine prefix) against the built-in test server.
#   tests/install/check_zip.sh BUILD_DIR WINE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: check_zip.sh BUILD_DIR WINE}" && pwd)
wine=${2:?usage: check_zip.sh BUILD_DIR WINE}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/qv-zip.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "check_zip: $*" >&2; exit 1; }

(cd "$build" && cpack -G ZIP >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; exit 1; }
zip=$build/quenvira-vnc-1.0.1-win64.zip
[ -f "$zip" ] || fail "no $zip"
top=quenvira-vnc-1.0.1-win64
want="$top/bin/quenvira-vnc.dll
$top/bin/vnc-snapshot.exe
$top/bin/vnc-version.exe
$top/include/quenvira_vnc.h
$top/include/quenvira_vnc_keysyms.h
$top/lib/cmake/quenvira-vnc/quenvira-vnc-config-version.cmake
$top/lib/cmake/quenvira-vnc/quenvira-vnc-config.cmake
$top/lib/cmake/quenvira-vnc/quenvira-vnc-targets-relwithdebinfo.cmake
$top/lib/cmake/quenvira-vnc/quenvira-vnc-targets.cmake
$top/lib/pkgconfig/quenvira-vnc.pc
$top/lib/quenvira-vnc.def
$top/lib/quenvira-vnc.lib
$top/share/doc/quenvira-vnc/README.md
$top/share/doc/quenvira-vnc/docs/development.md
$top/share/doc/quenvira-vnc/docs/install.md
$top/share/doc/quenvira-vnc/docs/interface.md
$top/share/doc/quenvira-vnc/docs/options.md
$top/share/doc/quenvira-vnc/docs/performance.md
$top/share/doc/quenvira-vnc/docs/python.md
$top/share/doc/quenvira-vnc/docs/servers.md
$top/share/doc/quenvira-vnc/docs/tools.md
$top/share/doc/quenvira-vnc/docs/vnc-view.png
$top/share/doc/quenvira-vnc/docs/windows.md"
have=$(cmake -E tar tf "$zip" | grep -v '/$' | LC_ALL=C sort)
echo "$have"
if [ "$want" != "$have" ]; then
  echo "check_zip: the zip's files differ from the expected ones:" >&2
  diff <(echo "$want") <(echo "$have") >&2 || true
  exit 1
fi

(cd "$tmp" && cmake -E tar xf "$zip")
unz=$tmp/$top
"$root/tests/check_dll.sh" "$unz/bin/quenvira-vnc.dll" "$unz/lib/quenvira-vnc.def"
version=$("$wine" "$unz/bin/vnc-version.exe" | tr -d '\r')
[ "$version" = "quenvira-vnc 1.0.1" ] || fail "vnc-version.exe from the zip printed '$version'"
for exe in vnc-version.exe vnc-snapshot.exe; do
  x86_64-w64-mingw32-objdump -p "$unz/bin/$exe" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' |
    while read -r name; do
      case "$(echo "$name" | tr '[:upper:]' '[:lower:]')" in
        quenvira-vnc.dll|kernel32.dll|msvcrt.dll|ws2_32.dll|user32.dll|advapi32.dll|ole32.dll) ;;
        *) fail "$exe imports $name, which a Windows user does not have" ;;
      esac
    done
done
# The picture's exact pixels are test_snapshot's; here the zip's copy runs.
shot=$(cd "$tmp" && "$wine" "$unz/bin/vnc-snapshot.exe" --demo zip-demo.png | tr -d '\r')
echo "$shot"
grep -q "Wrote zip-demo.png: 640x480 RGB PNG" <<<"$shot" && [ -s "$tmp/zip-demo.png" ] ||
  fail "vnc-snapshot.exe from the zip wrote no picture"

# The toolchain confines find_package to the MinGW root, so the package is
# named by its directory.
cmake -S "$here" -B "$tmp/consumer" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -Dquenvira-vnc_DIR="$unz/lib/cmake/quenvira-vnc" >"$tmp/consumer.log" 2>&1 &&
  cmake --build "$tmp/consumer" >>"$tmp/consumer.log" 2>&1 || { cat "$tmp/consumer.log"; exit 1; }
WINEPATH="Z:${unz//\//\\}\\bin" \
  "$wine" "$tmp/consumer/consumer.exe" | tr -d '\r'
echo "check_zip: all checks passed"
