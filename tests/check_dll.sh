#!/bin/bash
# Fails unless the Windows DLL is named quenvira-vnc.dll, exports exactly the
# vnc_* functions of the public header (the sixteen and the opt-in
# extensions), undecorated and nothing else,
# and imports only system DLLs (the C++ runtime, libgcc, winpthread and zlib
# must be linked in). Reads the PE tables with objdump, so it runs on the
# build machine: a run under Wine cannot show this, as Wine supplies its own
# copies of some DLLs.
# With a second argument, the .def file shipped beside it must list the same
# names.
set -eu
dll="$1"
def="${2:-}"
objdump=${QV_OBJDUMP:-x86_64-w64-mingw32-objdump}
case "$(basename "$dll")" in
  quenvira-vnc.dll) ;;
  *) echo "unexpected DLL file name: $dll"; exit 1 ;;
esac
dump=$("$objdump" -p "$dll")

expected="vnc_connect vnc_create vnc_destroy vnc_disconnect vnc_get_dimensions vnc_get_dirty_rect
vnc_get_status vnc_last_error vnc_lock_framebuffer vnc_send_client_cut_text vnc_send_key
vnc_send_pointer vnc_test_server_start vnc_test_server_stop vnc_unlock_framebuffer vnc_version
vnc_set_option vnc_get_cut_text vnc_get_desktop_name vnc_get_cursor vnc_get_update_count
vnc_get_end_reason vnc_request_desktop_size vnc_get_desktop_size_status vnc_wait_event vnc_sync
vnc_get_security_info"
want=$(echo $expected | tr ' ' '\n' | sort)
# The name pointer table lists every exported name as "[ n] name".
have=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
if [ "$want" != "$have" ]; then
  echo "exported names differ from the public interface:"
  diff <(echo "$want") <(echo "$have") || true
  exit 1
fi
# Exports by ordinal only would not show in the name table.
count=$(echo "$dump" | awk '/^Number in:/ {n = 1; next} n && /Export Address Table/ {print $NF; exit}')
n_want=$(echo "$want" | wc -l)
if [ -z "$count" ] || [ "$((16#$count))" -ne "$n_want" ]; then
  echo "export address table has ${count:-no} (hex) entries, expected $n_want"
  exit 1
fi

if [ -n "$def" ]; then
  listed=$(sed -n '/^EXPORTS/,$p' "$def" | sed '1d' | awk 'NF {print $1}' | sort)
  if [ "$want" != "$listed" ]; then
    echo "$def lists other names than the public interface:"
    diff <(echo "$want") <(echo "$listed") || true
    exit 1
  fi
fi

imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
if [ -z "$imports" ]; then
  echo "no import table found in $dll"
  exit 1
fi
bad=0
while read -r name; do
  case "$(echo "$name" | tr '[:upper:]' '[:lower:]')" in
    kernel32.dll|ws2_32.dll|msvcrt.dll|user32.dll|advapi32.dll|ole32.dll|secur32.dll|crypt32.dll|api-ms-win-crt-*.dll) ;;
    *) echo "imports a non-system DLL: $name"; bad=1 ;;
  esac
done <<<"$imports"
[ "$bad" -eq 0 ] || exit 1
echo "dll ok: $(echo "$have" | wc -l) vnc_* exports; imports $(echo $imports)"
