#!/bin/bash
# vnc-snapshot.exe under Wine against a Linux Xvnc on loopback, which shows a
# photo-like picture: with the default encodings and with lossless Tight
# its PNG is the screen (xwd) exactly; with Tight's JPEG at quality 8 (WIC
# decoding) within the tolerance the Linux interop test allows (64 at worst
# in a channel, 3 on average), and not exact (else JPEG was not used).
# Skips (exit 0, saying so) without Xvnc, xwd or ImageMagick.
#   tests/dll/wine_xvnc.sh BUILD_DIR WINE   (with the caller's Wine prefix)
set -euo pipefail
build=$(cd "${1:?usage: wine_xvnc.sh BUILD_DIR WINE}" && pwd)
wine=${2:?usage: wine_xvnc.sh BUILD_DIR WINE}
convert=/usr/bin/convert-im6.q16 display=/usr/bin/display-im6.q16
for tool in Xvnc xwd xsetroot "$convert" "$display"; do
  command -v "$tool" >/dev/null || { echo "wine_xvnc: $tool missing: skipped (scripts/setup)"; exit 0; }
done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/qv-wine-xvnc.XXXXXX")
xvnc_pid=
cleanup() {
  [ -z "$xvnc_pid" ] || kill "$xvnc_pid" 2>/dev/null || true
  [ -z "$xvnc_pid" ] || wait "$xvnc_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "wine_xvnc: $*" >&2; exit 1; }

# A display and port nobody uses: the display's lock and socket are free,
# and nothing listens on 5900 + N.
n=
for d in $(seq 40 99); do
  [ -e "/tmp/.X$d-lock" ] || [ -e "/tmp/.X11-unix/X$d" ] && continue
  (exec 3<>"/dev/tcp/127.0.0.1/$((5900 + d))") 2>/dev/null && continue
  n=$d
  break
done
[ -n "$n" ] || fail "no free display"
port=$((5900 + n))
Xvnc ":$n" -geometry 320x240 -depth 24 -rfbport "$port" -interface 127.0.0.1 -nolisten tcp \
  -noreset -SecurityTypes None >"$tmp/xvnc.log" 2>&1 &
xvnc_pid=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  kill -0 "$xvnc_pid" 2>/dev/null || { cat "$tmp/xvnc.log"; fail "Xvnc ended"; }
  sleep 0.1
done
export DISPLAY=:$n

# Fractal noise, a gradient, a checkerboard: JPEG's kind of picture beside
# flat areas.
"$convert" -size 320x240 xc:#204060 \
  \( -seed 11 -size 160x120 plasma:fractal \) -geometry +0+0 -composite \
  \( -size 140x100 gradient:#ff2000-#0020ff \) -geometry +170+10 -composite \
  \( -size 120x90 pattern:checkerboard \) -geometry +20+130 -composite "$tmp/photo.png"
# display exits with 1 even when the picture is up: the pixels decide. Its
# cursor on the root window goes, or Xvnc would draw it into the picture.
"$display" -window root "$tmp/photo.png" || true
printf '#define b_width 1\n#define b_height 1\n#define b_x_hot 0\n#define b_y_hot 0\nstatic unsigned char b_bits[] = {\n   0x00};\n' >"$tmp/blank.xbm"
xsetroot -cursor "$tmp/blank.xbm" "$tmp/blank.xbm"
for _ in $(seq 50); do
  colours=$(xwd -root -silent | "$convert" xwd:- -format %k info:)
  [ "$colours" -ge 4 ] && break
  sleep 0.1
done
[ "$colours" -ge 4 ] || fail "the picture did not appear on the root window"
xwd -root -silent | "$convert" xwd:- -depth 8 "rgb:$tmp/screen.rgb"

shot() {  # name, then vnc-snapshot's options
  local name=$1; shift
  (cd "$tmp" && "$wine" "$build/vnc-snapshot.exe" -q "$@" "127.0.0.1::$port" "$name.png") ||
    fail "vnc-snapshot.exe $* failed"
  "$convert" "$tmp/$name.png" -depth 8 "rgb:$tmp/$name.rgb"
}
for enc in default tight; do
  if [ "$enc" = default ]; then shot exact; else shot exact-tight --encodings tight; fi
  name=exact$([ "$enc" = default ] || echo -tight)
  cmp -s "$tmp/screen.rgb" "$tmp/$name.rgb" || fail "$enc encodings: the picture is not the screen"
  echo "wine_xvnc: $enc encodings: the screen exactly"
done
shot jpeg --encodings tight --jpeg-quality 8
python3 - "$tmp/screen.rgb" "$tmp/jpeg.rgb" <<'PY'
import sys
a, b = (open(p, "rb").read() for p in sys.argv[1:3])
assert len(a) == len(b) == 320 * 240 * 3, (len(a), len(b))
d = [abs(x - y) for x, y in zip(a, b)]
worst, mean = max(d), sum(d) / len(d)
print(f"wine_xvnc: Tight JPEG quality 8: worst {worst}, mean {mean:.2f} a channel")
sys.exit(0 if 0 < worst <= 64 and mean <= 3.0 else 1)
PY
