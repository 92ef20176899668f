#!/bin/bash
# Updates per second over a slow link: this library's client
# (bench_slow_link_host) against TigerVNC's viewer, each alone for SECONDS,
# through bench/slow_link_relay.py at each delay (ms added to each direction)
# and RATE Mbit/s. The desktop: Xvnc at 1920 x 1080 with an xterm scrolling
# text (20 lines every 10 ms) and a second xterm moved by xdotool about every
# 10 ms. A benchmark, never run by the tests.
#
# Counted three ways: Xvnc's own count for the connection (it logs
# "EncodeManager: Framebuffer updates: N" when a client leaves, nothing per
# update), the relay's count of FramebufferUpdate messages delivered (it walks
# the stream; it cannot walk Tight, which TigerVNC's viewer asks for), and for
# our client the updates its event loop saw. Rates divide by the time from
# the first server message after the greeting (at the relay) to the freeze
# below; the few updates after the freeze are in the counts.
#
# Falling behind: when a run's time is up the workload is frozen (SIGSTOP),
# and SETTLE seconds later the server's screen (xwd on Xvnc) is compared with
# the client's picture (ours: the host dumps its framebuffer on SIGUSR1; the
# viewer: xwd of its window on its Xvfb). "diff" is the share of pixels that
# differ; 0 means it had caught up within SETTLE seconds.
#   bench/slow_link.sh [-s SECONDS] [-d "0 25 100"] [-r RATE] [-e SETTLE] [-c] [-k]
#     -c  ask our client for continuous-updates=on (refused by a library
#         without it: the host says so and goes on)
#     -k  keep the scratch directory (logs, dumps) and print its path
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=20 delays="0 25 100" rate=50 settle=1 continuous= keep=0
while getopts s:d:r:e:ck o; do
  case $o in
    s) seconds=$OPTARG ;;
    d) delays=$OPTARG ;;
    r) rate=$OPTARG ;;
    e) settle=$OPTARG ;;
    c) continuous=--continuous ;;
    k) keep=1 ;;
    *) sed -n '2,25p' "$0" >&2; exit 2 ;;
  esac
done
host=${SLOW_LINK_HOST:-build/release/bench/bench_slow_link_host}
[ -x "$host" ] || { echo "slow_link: no $host (build with -DQV_BUILD_TESTS=ON)" >&2; exit 1; }
for t in Xvnc Xvfb xtigervncviewer xterm xdotool xwd python3; do
  command -v $t >/dev/null || { echo "slow_link: needs $t" >&2; exit 1; }
done

tmp=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; --i)); do
    kill -CONT "${pids[i]}" 2>/dev/null || true
    kill "${pids[i]}" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  if ((keep)); then echo "slow_link: scratch kept in $tmp" >&2; else rm -rf "$tmp"; fi
}
trap cleanup EXIT

start_x() {  # name, command...: an X server on a free display, its number in $display
  local name=$1; shift
  "$@" -displayfd 3 3>"$tmp/$name.display" >"$tmp/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$tmp/$name.display" ] && break; sleep 0.1; done
  [ -s "$tmp/$name.display" ] || { cat "$tmp/$name.log" >&2; exit 1; }
  display=$(head -n1 "$tmp/$name.display")
}

start_x xvnc Xvnc -geometry 1920x1080 -depth 24 -interface 127.0.0.1 -nolisten tcp \
  -SecurityTypes None -AlwaysShared -desktop slow-link -Log '*:stderr:30'
vnc=$display
port=$((5900 + vnc))
start_x xvfb Xvfb -screen 0 1920x1080x24 -nolisten tcp
screen=$display
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
DISPLAY=:$vnc xdotool mousemove 1919 1079

# Scrolling text, paced so that it does not take a whole core.
DISPLAY=:$vnc xterm -geometry 160x50+0+0 -T scroller -e python3 -c '
import sys, time
n = 0
while True:
    for _ in range(20):
        n += 1
        sys.stdout.write("%08d the quick brown fox jumps over the lazy dog %s\n" % (n, "=" * (n % 60)))
    sys.stdout.flush()
    time.sleep(0.01)
' >"$tmp/scroller.log" 2>&1 &
pids+=($!)
scroller_term=$!
DISPLAY=:$vnc xterm -geometry 60x20+1000+300 -T mover -bg navy -fg white \
  -e sh -c 'while :; do date; sleep 1; done' >"$tmp/mover.log" 2>&1 &
pids+=($!)
mover_term=$!
win=$(DISPLAY=:$vnc timeout 20 xdotool search --sync --name '^mover$' | head -n1)
(
  i=0
  while :; do
    i=$(((i + 4) % 1200))
    x=$((i < 600 ? 600 + i : 1800 - i))
    DISPLAY=:$vnc xdotool windowmove "$win" "$x" $((200 + x / 4))
    sleep 0.01
  done
) &
pids+=($!)
mover_loop=$!
frozen=()
freeze() {  # stops the whole workload: the scroller's python, the mover's loop
  frozen=($(pgrep -P "$scroller_term" || true) $mover_loop)
  for p in "${frozen[@]}"; do kill -STOP "$p" 2>/dev/null || true; done
}
thaw() { for p in "${frozen[@]}"; do kill -CONT "$p" 2>/dev/null || true; done; frozen=(); }
sleep 2

start_relay() {  # delay: starts a relay, its port in $relay_port
  rm -f "$tmp/relay.port"
  python3 bench/slow_link_relay.py --target "$port" --delay "$1" --rate "$rate" \
    --ready "$tmp/relay.port" --stats "$tmp/relay.stats" 2>>"$tmp/relay.log" &
  relay_pid=$!
  pids+=($relay_pid)
  for _ in $(seq 100); do [ -s "$tmp/relay.port" ] && break; sleep 0.1; done
  relay_port=$(cat "$tmp/relay.port")
}

# Xvnc's log: the updates it reports for the connection closed last.
xvnc_count() {
  for _ in $(seq 50); do
    local n
    n=$(grep -c 'EncodeManager: Framebuffer updates' "$tmp/xvnc.log" || true)
    ((n > closed)) && break
    sleep 0.2
  done
  closed=$(grep -c 'EncodeManager: Framebuffer updates' "$tmp/xvnc.log" || true)
  grep 'EncodeManager: Framebuffer updates' "$tmp/xvnc.log" | tail -n1 | awk '{print $NF}'
}
closed=0  # set again once the port probe's connection is in the log

snapshot() {  # display, file: the screen as BGRX rows
  DISPLAY=:$1 xwd -root -silent >"$2.xwd"
  python3 - "$2.xwd" "$2" <<'EOF'
import struct, sys
d = open(sys.argv[1], "rb").read()
h = struct.unpack(">25I", d[:100])
size, bpp, bpl, w, hgt, ncol = h[0], h[11], h[12], h[4], h[5], h[19]
assert bpp == 32, bpp
at = size + ncol * 12
rows = [d[at + y * bpl: at + y * bpl + w * 4] for y in range(hgt)]
open(sys.argv[2], "wb").write(b"".join(rows))
open(sys.argv[2] + ".size", "w").write("%d %d\n" % (w, hgt))
EOF
}

diff_share() {  # server file, client file: share of differing pixels (1920 x 1080 from 0,0)
  python3 - "$1" "$2" <<'EOF'
import sys
a = open(sys.argv[1], "rb").read()
b = open(sys.argv[2], "rb").read()
w, h = 1920, 1080
cw = int(open(sys.argv[2] + ".size").read().split()[0]) if len(sys.argv) > 2 and __import__("os").path.exists(sys.argv[2] + ".size") else w
diff = 0
for y in range(h):
    ra = a[y * w * 4:(y + 1) * w * 4]
    rb = b[y * cw * 4:y * cw * 4 + w * 4]
    if ra == rb:
        continue
    for x in range(0, w * 4, 4):
        if ra[x:x + 3] != rb[x:x + 3]:
            diff += 1
print("%.2f%%" % (100.0 * diff / (w * h)))
EOF
}

relay_field() {  # field of the relay's last line
  tail -n1 "$tmp/relay.stats" | python3 -c "import json,sys; r=json.loads(sys.stdin.read()); print(r['$1'])"
}

# The client's time under load, then the workload frozen and, SETTLE
# seconds later, the server's screen taken.
load_then_freeze() {
  sleep "$seconds"
  freeze
  t_freeze=$(date +%s.%N)
  sleep "$settle"
  snapshot "$vnc" "$tmp/server.raw"
}

results=()
run() {  # client, delay
  local who=$1 delay=$2 n rl secs ev diff
  : >"$tmp/relay.stats"
  start_relay "$delay"
  if [ "$who" = ours ]; then
    "$host" 127.0.0.1 "$relay_port" $((seconds + 30)) $continuous --dump "$tmp/client.raw" \
      >"$tmp/host.out" 2>"$tmp/host.err" &
    local cpid=$!
    pids+=($cpid)
    load_then_freeze
    kill -USR1 $cpid
    sleep 0.2
    kill -TERM $cpid 2>/dev/null || true  # ends its loop; it prints and disconnects
    wait $cpid || true
    t_close=$(date +%s.%N)
    grep -q refused "$tmp/host.err" && echo "  (continuous-updates refused by the library)" >&2
    ev=$(python3 -c "import json; print(json.load(open('$tmp/host.out'))['update_events'])" 2>/dev/null || echo "?")
  else
    DISPLAY=:$screen xtigervncviewer -AlertOnFatalError=0 -ReconnectOnError=0 \
      -Log '*:stderr:30' "127.0.0.1::$relay_port" >"$tmp/viewer.log" 2>&1 &
    local cpid=$!
    pids+=($cpid)
    load_then_freeze
    local vwin
    vwin=$(DISPLAY=:$screen xdotool search --onlyvisible --pid $cpid | tail -n1)
    DISPLAY=:$screen xwd -id "$vwin" -silent >"$tmp/client.raw.xwd"
    python3 - "$tmp/client.raw.xwd" "$tmp/client.raw" <<'EOF'
import struct, sys
d = open(sys.argv[1], "rb").read()
h = struct.unpack(">25I", d[:100])
size, bpp, bpl, w, hgt, ncol = h[0], h[11], h[12], h[4], h[5], h[19]
at = size + ncol * 12
open(sys.argv[2], "wb").write(b"".join(d[at + y * bpl: at + y * bpl + w * 4] for y in range(hgt)))
open(sys.argv[2] + ".size", "w").write("%d %d\n" % (w, hgt))
EOF
    kill $cpid 2>/dev/null || true
    wait $cpid 2>/dev/null || true
    t_close=$(date +%s.%N)
    ev=-
  fi
  thaw
  for _ in $(seq 100); do [ -s "$tmp/relay.stats" ] && break; sleep 0.1; done
  kill $relay_pid 2>/dev/null || true
  wait $relay_pid 2>/dev/null || true
  n=$(xvnc_count)
  # The time under load: from the first message to the freeze.
  secs=$(python3 -c "print('%.2f' % ($(relay_field seconds_after_first_message) - ($t_close - $t_freeze)))")
  rl=$(relay_field updates)
  [ "$(relay_field walk_stopped)" = None ] || rl=-
  diff=$(diff_share "$tmp/server.raw" "$tmp/client.raw" 2>/dev/null || echo "?")
  results+=("$(printf '%-6s %9s %6s %10s %9s %8s %8s %7s %7s' "$delay" "$who" "$n" \
    "$(python3 -c "print('%.1f' % ($n / $secs))")" \
    "$( [ "$rl" = - ] && echo - || python3 -c "print('%.1f' % ($rl / $secs))")" \
    "$( [ "$ev" = - ] || [ "$ev" = "?" ] && echo - || python3 -c "print('%.1f' % ($ev / $secs))")" \
    "$secs" "$(relay_field bytes_down | awk -v s="$secs" '{printf "%.1f", $1 * 8 / 1e6 / s}')" "$diff")")
  echo "${results[-1]}" >&2
  sleep 1
}

sleep 0.5
closed=$(grep -c 'EncodeManager: Framebuffer updates' "$tmp/xvnc.log" || true)
echo "slow_link: ${seconds} s per run, ${rate} Mbit/s, settle ${settle} s${continuous:+, continuous-updates asked}" >&2
for d in $delays; do
  run ours "$d"
  run tigervnc "$d"
done
echo
echo "Xvnc 1920x1080, ${rate} Mbit/s each way, ${seconds} s per client; updates/s"
printf '%-6s %9s %6s %10s %9s %8s %8s %7s %7s\n' "ms/way" client "xvnc#" "xvnc/s" "relay/s" "host/s" seconds "Mbit/s" "diff"
printf '%s\n' "${results[@]}"
