#!/bin/bash
# One command for the decoding lab (bench/lab/README.md): builds the library
# and the lab's tools, records the sessions once (if not there yet), then
# times our library against libvncclient and the limits in interleaved pairs
# and prints the table.
#   bench/lab.sh [-b BUILD] [-p PAIRS] [-o NAME,NAME] [-2 OLD.so] [-r]
#     -b  build directory (default build/release; configured if missing)
#     -p  pairs per recording (default 11)
#     -o  only these recordings
#     -2  also a second build of the library (before a change): ours/old
#     -r  record the sessions again
set -euo pipefail
build=build/release pairs=11 only= old= record=0
while getopts "b:p:o:2:r" opt; do
  case $opt in
    b) build=$OPTARG ;; p) pairs=$OPTARG ;; o) only=$OPTARG ;; 2) old=$OPTARG ;; r) record=1 ;;
    *) sed -n '2,13p' "$0"; exit 2 ;;
  esac
done
cd "$(dirname "$0")/.."
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD_TESTS=ON >/dev/null
fi
cmake --build "$build" -j2 --target bench_lab >/dev/null
lab=$build/bench/lab
if [ ! -x "$lab/peer_bench" ]; then
  echo "lab.sh: no peer_bench: libvncclient missing (scripts/setup installs libvncserver-dev)" >&2
  exit 1
fi
if [ "$record" = 1 ] || ! ls "$lab"/recordings/*.rfbrec >/dev/null 2>&1; then
  bench/lab/record.sh "$lab"
fi
args=(--lab "$lab" --pairs "$pairs" --limits)
[ -n "$only" ] && args+=(--only "$only")
[ -n "$old" ] && args+=(--lib2 "$old")
python3 bench/lab/ab.py "$(cat "$lab/library-path")" "${args[@]}"
