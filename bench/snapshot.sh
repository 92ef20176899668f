#!/bin/bash
# vnc-snapshot against gtk-vnc's gvnccapture on a 1920 x 1080 Xvnc desktop:
# the root window shows a blurred plasma fractal (photo-like), two xterms
# list `ls -lR /usr/share/doc` (text). The two tools take turns, in an order
# that alternates from pair to pair, so the drift of a busy machine hits both
# alike; printed: the median of the per-pair wall-time ratios and their
# spread, each tool's median, the PNG sizes and whether the pixels agree
# (gvnccapture leaves the server's pointer out, so it is compared with
# vnc-snapshot --cursor local; Debian's python3-pil reads the PNGs).
# A benchmark, never run by the tests.
#   bench/snapshot.sh [-n PAIRS] [-k] [VNC_SNAPSHOT [ARGS...]]
#     -n PAIRS       pairs (default 11)
#     -k             keep the scratch directory
#     VNC_SNAPSHOT   the tool to measure (default build/release/tools/vnc-snapshot);
#                    ARGS go to it (e.g. --compress best)
# SNAPSHOT_B="PROGRAM ARGS" replaces gvnccapture with a second vnc-snapshot
# (say, a build from before a change).
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=11 keep=0
while getopts n:k o; do
  case $o in
    n) pairs=$OPTARG ;;
    k) keep=1 ;;
    *) sed -n '2,17p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
ours=(${1:-build/release/tools/vnc-snapshot})
shift || true
ours+=("$@")
[ -x "${ours[0]}" ] || { echo "snapshot: no ${ours[0]} (scripts/build)" >&2; exit 1; }
if [ -n "${SNAPSHOT_B:-}" ]; then theirs=($SNAPSHOT_B); else theirs=(gvnccapture); fi
command -v "${theirs[0]}" >/dev/null || { echo "snapshot: no ${theirs[0]} (scripts/setup: gvncviewer)" >&2; exit 1; }

tmp=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; --i)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if ((keep)); then echo "scratch kept: $tmp" >&2; else rm -rf "$tmp"; fi
}
trap cleanup EXIT

Xvnc -geometry 1920x1080 -depth 24 -interface 127.0.0.1 -nolisten tcp -SecurityTypes None \
  -AlwaysShared -desktop bench -displayfd 3 3>"$tmp/display" >"$tmp/xvnc.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
[ -s "$tmp/display" ] || { cat "$tmp/xvnc.log" >&2; exit 1; }
display=$(head -n1 "$tmp/display")
port=$((5900 + display))
export DISPLAY=:$display
convert -seed 7 -size 1920x1080 plasma:fractal -blur 0x1 "$tmp/root.png"
display -window root "$tmp/root.png" || true  # exits 1 even when it worked
for geometry in 120x60+40+40 120x60+980+300; do
  xterm -geometry "$geometry" -e sh -c 'ls -lR /usr/share/doc; exec sleep 100000' >/dev/null 2>&1 &
  pids+=($!)
done
sleep 3  # the listings have run to their end and the screen stays still

now_ms() { date +%s%3N; }
run() {  # output file, command...; prints its wall time in ms
  local out=$1; shift
  local t0; t0=$(now_ms)
  "$@" "127.0.0.1::$port" "$out" >/dev/null 2>"$tmp/err" || { cat "$tmp/err" >&2; exit 1; }
  echo $(($(now_ms) - t0))
}
: >"$tmp/times"
for ((i = 0; i <= pairs; ++i)); do  # pair 0 is the warm-up
  if ((i % 2)); then
    b=$(run "$tmp/b.png" "${theirs[@]}"); a=$(run "$tmp/a.png" "${ours[@]}")
  else
    a=$(run "$tmp/a.png" "${ours[@]}"); b=$(run "$tmp/b.png" "${theirs[@]}")
  fi
  ((i)) && echo "$a $b" >>"$tmp/times"
done
"${ours[@]}" --cursor local "127.0.0.1::$port" "$tmp/a-local.png" >/dev/null
/usr/bin/python3 - "$tmp" "${ours[*]}" "${theirs[*]}" <<'PY'
import statistics, sys, os
from PIL import Image
tmp, a_name, b_name = sys.argv[1:4]
pairs = [tuple(map(int, l.split())) for l in open(os.path.join(tmp, "times"))]
r = [a / b for a, b in pairs]
print("%s / %s wall: %.2f (%.2f-%.2f), %d pairs; medians %d ms and %d ms"
      % (a_name, b_name, statistics.median(r), min(r), max(r), len(r),
         statistics.median(a for a, _ in pairs), statistics.median(b for _, b in pairs)))
sa, sb = (os.path.getsize(os.path.join(tmp, f)) for f in ("a.png", "b.png"))
print("PNG bytes: %d and %d (%.2f)" % (sa, sb, sa / sb))
pa = Image.open(os.path.join(tmp, "a-local.png")).convert("RGB").tobytes()
pb = Image.open(os.path.join(tmp, "b.png")).convert("RGB").tobytes()
same = pa == pb
print("pixels (ours with --cursor local): %s" % ("equal" if same else "%d bytes differ" % sum(x != y for x, y in zip(pa, pb))))
PY
