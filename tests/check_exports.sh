#!/bin/bash
# Fails unless the library's file name is right and it defines exactly the
# sixteen vnc_* functions of the public header, the opt-in extensions after
# them, and nothing else.
set -eu
lib="$1"
case "$(basename "$lib")" in
  quenvira-vnc.so) ;;
  *) echo "unexpected library file name: $lib"; exit 1 ;;
esac
expected="vnc_connect vnc_create vnc_destroy vnc_disconnect vnc_get_dimensions vnc_get_dirty_rect
vnc_get_status vnc_last_error vnc_lock_framebuffer vnc_send_client_cut_text vnc_send_key
vnc_send_pointer vnc_test_server_start vnc_test_server_stop vnc_unlock_framebuffer vnc_version
vnc_set_option vnc_get_cut_text vnc_get_desktop_name vnc_get_cursor vnc_get_update_count
vnc_get_end_reason vnc_request_desktop_size vnc_get_desktop_size_status vnc_wait_event vnc_sync
vnc_get_security_info"
want=$(echo $expected | tr ' ' '\n' | sort)
have=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVv]$/ {print $3}' | sort)
if [ "$want" != "$have" ]; then
  echo "exported symbols differ from the public interface:"
  diff <(echo "$want") <(echo "$have") 2>/dev/null || { echo "want:"; echo "$want"; echo "have:"; echo "$have"; }
  exit 1
fi
echo "exports ok: $(echo "$have" | wc -l) vnc_* functions"
