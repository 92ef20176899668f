#!/bin/bash
# Records the lab's sessions from TigerVNC's Xvnc into DIR/recordings (DIR:
# the build's bench/lab, default build/release/bench/lab). Never committed:
# each recording is tens of MB, and a new one has its own checksum.
#   bench/lab/record.sh [DIR] [NAME...]     about 2 minutes for all
# Uses X displays :41 and :42 and RFB ports 5941 and 5942 (loopback only).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export QV_LAB_DIR=$(realpath -m "${1:-build/release/bench/lab}")
shift || true
mkdir -p "$QV_LAB_DIR/recordings"
wanted=" ${*:-zrle-1080p zrleonly-1080p hextile-1080p raw-1080p tight-1080p tightjpeg-1080p zrle-2160p} "
rec() {
  [[ "$wanted" == *" $1 "* ]] || return 0
  python3 "$here/record.py" --outdir "$QV_LAB_DIR/recordings" --name "$@"
}
# The library's encoding list: ZRLE for almost everything, CopyRect for
# scrolls and window moves, RRE for solid areas.
rec zrle-1080p      --size 1920x1080 --encodings 16,5,2,1,0,-223 --display 41
# ZRLE alone: the ZRLE decoder in isolation.
rec zrleonly-1080p  --size 1920x1080 --encodings 16,-223 --display 41
rec hextile-1080p   --size 1920x1080 --encodings 5,-223 --display 41
rec raw-1080p       --size 1920x1080 --encodings 0 --display 41
# Tight with LastRect at compress level 6, lossless.
rec tight-1080p     --size 1920x1080 --encodings 7,-224,-250 --display 41
# Tight with JPEG quality 8 as well: lossy, so the clients are compared with
# each other. Xvnc follows JPEG updates with many small lossless refreshes, so
# the activity phases also last as long as they do in the lossless recordings.
rec tightjpeg-1080p --size 1920x1080 --encodings 7,-224,-24,-250 --display 41 \
    --min-activity-s 4,3,1.1
# 4K: three full frames (initial, wallpaper change, full refresh), no activity.
rec zrle-2160p      --size 3840x2160 --encodings 16,5,2,1,0,-223 --display 42 \
    --scenario fullframes --frames 3
