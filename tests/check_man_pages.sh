#!/bin/bash
# Fails when a man page in docs/man has gone stale: an option that a tool's
# --help names is missing from the page, or the page names another version
# than the tool's. scripts/man-pages remakes the pages.
#   tests/check_man_pages.sh BUILD_DIR    (the tools of BUILD_DIR; vnc-do from python/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: check_man_pages.sh BUILD_DIR}" && pwd)
status=0
version=$("$build/tools/vnc-version" | sed -n 's/^quenvira-vnc //p')
[ -n "$version" ] || { echo "check_man_pages: no version from vnc-version" >&2; exit 1; }

check() {  # tool, command...
  local tool=$1 page=$root/docs/man/$1.1 text option; shift
  [ -f "$page" ] || { echo "check_man_pages: docs/man/$tool.1 is missing" >&2; status=1; return; }
  # The page's words as printed: fonts and escaped hyphens removed.
  text=$(sed -e 's/\\f[BIRP]//g' -e 's/\\[,/]//g' -e 's/\\-/-/g' "$page")
  grep -q "^\.TH .* \"quenvira-vnc $version\"" <<<"$text" ||
    { echo "check_man_pages: docs/man/$tool.1 is not of version $version" >&2; status=1; }
  # Every option the help names, wherever it stands.
  for option in $("$@" --help | grep -oE '(^|[[:space:][(,])--?[[:alpha:]][[:alnum:]-]*' |
      sed 's/^[^-]*//' | sort -u); do
    grep -qE -- "(^|[^[:alnum:]-])$option([^[:alnum:]-]|$)" <<<"$text" ||
      { echo "check_man_pages: docs/man/$tool.1 lacks $option (scripts/man-pages remakes it)" >&2; status=1; }
  done
}

check vnc-snapshot "$build/tools/vnc-snapshot"
check vnc-version "$build/tools/vnc-version"
if [ -x "$build/tools/vnc-view" ]; then
  check vnc-view "$build/tools/vnc-view"
else
  echo "check_man_pages: vnc-view not built (no SDL2): its page not checked"
fi
check vnc-do env PYTHONPATH="$root/python" python3 -m quenvira_vnc
[ $status = 0 ] && echo "check_man_pages: the pages name every option of their tools"
exit $status
