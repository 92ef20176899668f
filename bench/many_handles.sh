#!/bin/bash
# What many handles cost: N handles (default 256) on one 1920 x 1080 Xvnc
# whose screen shows a photo-like root window and an xterm listing a
# directory ten times a second (busy), then the same with the listing stopped (idle, from 4 s after the stop, so
# that the workers have given their copies back). Per phase: RSS per handle
# at its end, and CPU per handle as a share of one core. A benchmark, never
# run by the tests.
#   bench/many_handles.sh [-n HANDLES] [-s SECONDS] [BUILD]
#     BUILD  the build directory (default build/release); LD_LIBRARY_PATH may
#            name another quenvira-vnc.so (a build from before a change)
set -euo pipefail
cd "$(dirname "$0")/.."
handles=256 seconds=10
while getopts n:s: o; do
  case $o in
    n) handles=$OPTARG ;;
    s) seconds=$OPTARG ;;
    *) sed -n '2,10p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
host_program=${1:-build/release}/bench/bench_many_handles
[ -x "$host_program" ] || { echo "many_handles: no $host_program (build target bench_many_handles)" >&2; exit 1; }

tmp=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; --i)); do kill -CONT "${pids[i]}" 2>/dev/null || true; kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${KEEP:-}" ] && echo "kept $tmp" >&2 || rm -rf "$tmp"
}
trap cleanup EXIT

Xvnc -geometry 1920x1080 -depth 24 -interface 127.0.0.1 -nolisten tcp -SecurityTypes None \
  -AlwaysShared -desktop bench -displayfd 3 3>"$tmp/display" >"$tmp/xvnc.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
[ -s "$tmp/display" ] || { cat "$tmp/xvnc.log" >&2; exit 1; }
display=$(head -n1 "$tmp/display")
export DISPLAY=:$display
convert -seed 7 -size 1920x1080 plasma:fractal -blur 0x1 "$tmp/root.png"
display -window root "$tmp/root.png" || true  # exits 1 even when it worked
xterm -geometry 80x24+100+100 -e sh -c "while :; do date +%T.%N; ls -l /usr/bin | head -8; sleep 0.1; done & echo \$! >'$tmp/yes.pid'; exec sleep 100000" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$tmp/yes.pid" ] && break; sleep 0.1; done
yes_pid=$(cat "$tmp/yes.pid")
pids+=("$yes_pid")

# Connecting takes a while; each phase is timed from the lines printed.
total=$((seconds * 2 + 22))
"$host_program" 127.0.0.1 $((5900 + display)) "$handles" "$total" >"$tmp/lines" &
pids+=($!)
host_pid=$!
for _ in $(seq 3000); do [ -s "$tmp/lines" ] && break; sleep 0.1; done
# The first full pictures, and the xterm, which takes seconds to get going.
sleep 12
busy_from=$(tail -n1 "$tmp/lines")
sleep "$seconds"
busy_to=$(tail -n1 "$tmp/lines")
kill -STOP "$yes_pid"
sleep 4
idle_from=$(tail -n1 "$tmp/lines")
sleep "$seconds"
idle_to=$(tail -n1 "$tmp/lines")
kill -CONT "$yes_pid"
wait "$host_pid" || true
[ -n "$idle_to" ] && [ -n "$busy_from" ] || { echo "many_handles: the host printed nothing (connecting took too long?)" >&2; exit 1; }
python3 - "$handles" "$busy_from" "$busy_to" "$idle_from" "$idle_to" <<'PY'
import json, sys
n = int(sys.argv[1])
for name, a, b in (("busy", sys.argv[2], sys.argv[3]), ("idle", sys.argv[4], sys.argv[5])):
    a, b = json.loads(a), json.loads(b)
    dt = b["t"] - a["t"]
    print("%s: %d handles connected, RSS %.1f MiB a handle, CPU %.2f %% of a core a handle, %.1f updates/s a handle"
          % (name, b["connected"], b["rss_kib"] / 1024 / n, 100 * (b["cpu_s"] - a["cpu_s"]) / dt / n,
             (b["updates"] - a["updates"]) / dt / n))
PY
