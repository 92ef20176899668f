#!/bin/bash
# What vnc-view costs beside gvncviewer: both view one Xvnc (1280 x 800) at
# once, side by side on one Xvfb, while an xterm on the Xvnc runs `yes`
# (busy), then with nothing changing (idle). Per viewer and phase: CPU as a
# share of one core from /proc/PID/stat (utime + stime, in clock ticks: one
# tick is 0.05 % of 20 s), the same from the threads' schedstat run time
# (nanoseconds), context switches per second (how often it woke) and VmRSS
# at the end of the phase. A benchmark, never run by the tests.
#   bench/viewer_cost.sh [-s SECONDS] [-n] [VNC_VIEW]
#     -s SECONDS  length of each phase (default 20)
#     -n          vnc-view alone, no gvncviewer
#     VNC_VIEW    the viewer to measure (default build/release/tools/vnc-view)
# Extra vnc-view options may be given in VNC_VIEW_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=20 peer=1
while getopts s:n o; do
  case $o in
    s) seconds=$OPTARG ;;
    n) peer=0 ;;
    *) echo "usage: bench/viewer_cost.sh [-s SECONDS] [-n] [VNC_VIEW]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
viewer=${1:-build/release/tools/vnc-view}
[ -x "$viewer" ] || { echo "viewer_cost: no $viewer (scripts/build; needs libsdl2-dev)" >&2; exit 1; }
((peer)) && ! command -v gvncviewer >/dev/null && { echo "viewer_cost: no gvncviewer (scripts/setup)" >&2; exit 1; }

tmp=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; --i)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# An X server that picks a free display; its number in $display.
start_x() {  # name, command...
  local name=$1; shift
  "$@" -displayfd 3 3>"$tmp/$name.display" >"$tmp/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$tmp/$name.display" ] && break; sleep 0.1; done
  [ -s "$tmp/$name.display" ] || { cat "$tmp/$name.log" >&2; exit 1; }
  display=$(head -n1 "$tmp/$name.display")
}

# Room for both 1280 x 800 windows side by side, gvncviewer's menu bar included.
start_x xvfb Xvfb -screen 0 2600x900x24 -nolisten tcp
screen=:$display
start_x xvnc Xvnc -geometry 1280x800 -depth 24 -interface 127.0.0.1 -nolisten tcp \
  -SecurityTypes None -AlwaysShared -desktop bench
vnc=$display
port=$((5900 + vnc))
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done

# The xterm fills the Xvnc screen; `yes` runs in a shell that outlives it, so
# the terminal stays, unchanging, for the idle phase.
DISPLAY=:$vnc xterm -geometry 211x60+0+0 -e sh -c "yes & echo \$! >'$tmp/yes.pid'; exec sleep 100000" \
  >"$tmp/xterm.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$tmp/yes.pid" ] && break; sleep 0.1; done

names=(vnc-view) vpids=()
SDL_VIDEODRIVER=x11 SDL_AUDIODRIVER=dummy DISPLAY=$screen "$viewer" ${VNC_VIEW_ARGS:-} \
  "127.0.0.1::$port" >"$tmp/vnc-view.log" 2>&1 &
pids+=($!) vpids+=($!)
if ((peer)); then
  names+=(gvncviewer)
  NO_AT_BRIDGE=1 GDK_BACKEND=x11 DISPLAY=$screen gvncviewer "127.0.0.1:$vnc" \
    >"$tmp/gvncviewer.log" 2>&1 &
  pids+=($!) vpids+=($!)
fi
# Place the windows side by side (there is no window manager to do it).
x=0
for i in "${!vpids[@]}"; do
  win=$(DISPLAY=$screen timeout 20 xdotool search --sync --onlyvisible --pid "${vpids[i]}" | tail -n1) ||
    { echo "viewer_cost: no window from ${names[i]}" >&2; cat "$tmp/${names[i]}.log" >&2; exit 1; }
  DISPLAY=$screen xdotool windowmove "$win" "$x" 0
  x=1310
done

ticks=$(getconf CLK_TCK)
# utime + stime in ticks, summed run time of all threads in ns, context switches.
sample() {  # pid
  local t=0 ns=0 cs=0 f
  t=$(awk '{print $14 + $15}' "/proc/$1/stat")
  for f in /proc/"$1"/task/*; do
    ns=$((ns + $(cut -d' ' -f1 "$f/schedstat")))
    cs=$((cs + $(awk '/ctxt_switches/ {s += $2} END {print s}' "$f/status")))
  done
  echo "$t $ns $cs"
}
measure() {  # phase
  local before=() after=() i
  for i in "${!vpids[@]}"; do before[i]=$(sample "${vpids[i]}"); done
  sleep "$seconds"
  for i in "${!vpids[@]}"; do after[i]=$(sample "${vpids[i]}"); done
  for i in "${!vpids[@]}"; do
    local -a b=(${before[i]}) a=(${after[i]})
    local rss
    rss=$(awk '/VmRSS/ {print $2}' "/proc/${vpids[i]}/status")
    awk -v n="${names[i]}" -v p="$1" -v s="$seconds" -v hz="$ticks" -v dt=$((a[0] - b[0])) \
      -v dns=$((a[1] - b[1])) -v dcs=$((a[2] - b[2])) -v rss="$rss" 'BEGIN {
        printf "%-10s %-4s %7.2f %9.3f %8.1f %7.1f\n", n, p, 100 * dt / hz / s,
          100 * dns / 1e9 / s, dcs / s, rss / 1024 }'
  done
}

printf "%-10s %-4s %7s %9s %8s %7s\n" viewer load "CPU %" "run %" "wakes/s" "RSS MB"
sleep 3  # connected, first picture drawn, scrolling under way
measure busy
kill "$(cat "$tmp/yes.pid")"
sleep 3  # the last updates drawn
measure idle
for i in "${!vpids[@]}"; do
  kill -0 "${vpids[i]}" 2>/dev/null || { echo "viewer_cost: ${names[i]} died" >&2; cat "$tmp/${names[i]}.log" >&2; exit 1; }
done
