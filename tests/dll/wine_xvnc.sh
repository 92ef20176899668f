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
me=wine_xvnc
. "$(dirname "$0")/xvnc_display.sh"
xvnc_start 320x240 -SecurityTypes None

# Fractal noise, a gradient, a checkerboard: JPEG's kind of picture beside
# flat areas.
"$convert" -size 320x240 xc:#204060 \
  \( -seed 11 -size 160x120 plasma:fractal \) -geometry +0+0 -composite \
  \( -size 140x100 gradient:#ff2000-#0020ff \) -geometry +170+10 -composite \
  \( -size 120x90 pattern:checkerboard \) -geometry +20+130 -composite "$tmp/photo.png"
xvnc_show "$tmp/photo.png" 4

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
