# Sourced by the Wine checks: an Xvnc of their own on loopback showing a
# picture on its root window, and the screen's pixels to compare with.
# The caller sets `me` (its name in messages) and `tmp` (a scratch folder),
# and has `convert`, `display`, Xvnc, xwd and xsetroot (checked by it); a
# function `extra_cleanup` it defines runs at the exit too.
xvnc_pid=
cleanup() {
  [ -z "$xvnc_pid" ] || kill "$xvnc_pid" 2>/dev/null || true
  [ -z "$xvnc_pid" ] || wait "$xvnc_pid" 2>/dev/null || true
  if declare -F extra_cleanup >/dev/null; then extra_cleanup || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "$me: $*" >&2; exit 1; }

# xvnc_start GEOMETRY XVNC_OPTIONS...: on a display and port nobody uses
# (the display's lock and socket are free, nothing listens on 5900 + N);
# sets port and DISPLAY once it listens.
xvnc_start() {
  local geometry=$1 n= d
  shift
  for d in $(seq 40 99); do
    [ -e "/tmp/.X$d-lock" ] || [ -e "/tmp/.X11-unix/X$d" ] && continue
    (exec 3<>"/dev/tcp/127.0.0.1/$((5900 + d))") 2>/dev/null && continue
    n=$d
    break
  done
  [ -n "$n" ] || fail "no free display"
  port=$((5900 + n))
  Xvnc ":$n" -geometry "$geometry" -depth 24 -rfbport "$port" -interface 127.0.0.1 -nolisten tcp \
    -noreset "$@" >"$tmp/xvnc.log" 2>&1 &
  xvnc_pid=$!
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    kill -0 "$xvnc_pid" 2>/dev/null || { cat "$tmp/xvnc.log"; fail "Xvnc ended"; }
    sleep 0.1
  done
  export DISPLAY=:$n
}

# xvnc_show PICTURE MIN_COLOURS: the picture on the root window, without the
# cursor (Xvnc would draw it into the picture); once it is up (at least
# MIN_COLOURS colours), the screen as 8-bit RGB in $tmp/screen.rgb.
xvnc_show() {
  local colours=0
  # display exits with 1 even when the picture is up: the pixels decide.
  "$display" -window root "$1" || true
  printf '#define b_width 1\n#define b_height 1\n#define b_x_hot 0\n#define b_y_hot 0\nstatic unsigned char b_bits[] = {\n   0x00};\n' >"$tmp/blank.xbm"
  xsetroot -cursor "$tmp/blank.xbm" "$tmp/blank.xbm"
  for _ in $(seq 50); do
    colours=$(xwd -root -silent | "$convert" xwd:- -format %k info:)
    [ "$colours" -ge "$2" ] && break
    sleep 0.1
  done
  [ "$colours" -ge "$2" ] || fail "the picture did not appear on the root window"
  xwd -root -silent | "$convert" xwd:- -depth 8 "rgb:$tmp/screen.rgb"
}
