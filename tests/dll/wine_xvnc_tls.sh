#!/bin/bash
# vnc-snapshot.exe under Wine (SChannel, crypt32) against a Linux Xvnc on
# loopback offering X509None, X509Vnc and TLSNone with a certificate for 127.0.0.1
# signed by a CA made here: the screen exactly through a CA file, through a
# pin, through the tool's default security list, and with X509Vnc's
# password and the raw encoding (a megabyte of records); refused, in the
# library's words, without the CA, with another CA of the same name, under
# a name the certificate lacks, with a wrong pin, and for the anonymous
# subtype SChannel cannot speak.
# Skips (exit 0, saying so) without Xvnc, xwd, xsetroot, certtool, vncpasswd
# or ImageMagick.
#   tests/dll/wine_xvnc_tls.sh BUILD_DIR WINE   (with the caller's Wine prefix)
set -euo pipefail
build=$(cd "${1:?usage: wine_xvnc_tls.sh BUILD_DIR WINE}" && pwd)
wine=${2:?usage: wine_xvnc_tls.sh BUILD_DIR WINE}
convert=/usr/bin/convert-im6.q16 display=/usr/bin/display-im6.q16
for tool in Xvnc xwd xsetroot certtool vncpasswd "$convert" "$display"; do
  command -v "$tool" >/dev/null || { echo "wine_xvnc_tls: $tool missing: skipped (scripts/setup)"; exit 0; }
done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/qv-wine-tls.XXXXXX")
me=wine_xvnc_tls
. "$(dirname "$0")/xvnc_display.sh"

printf 'cn = "Wine CA"\nca\ncert_signing_key\nexpiration_days = 2\n' >"$tmp/ca.tmpl"
printf 'cn = "vnc"\nip_address = "127.0.0.1"\ntls_www_server\nencryption_key\nsigning_key\nexpiration_days = 2\n' >"$tmp/srv.tmpl"
{
  certtool --generate-privkey --outfile "$tmp/ca.key" &&
    certtool --generate-self-signed --load-privkey "$tmp/ca.key" --template "$tmp/ca.tmpl" \
      --outfile "$tmp/ca.pem" &&
    certtool --generate-privkey --outfile "$tmp/srv.key" &&
    certtool --generate-certificate --load-privkey "$tmp/srv.key" --load-ca-certificate "$tmp/ca.pem" \
      --load-ca-privkey "$tmp/ca.key" --template "$tmp/srv.tmpl" --outfile "$tmp/srv.pem" &&
    certtool --generate-privkey --outfile "$tmp/other.key" &&
    certtool --generate-self-signed --load-privkey "$tmp/other.key" --template "$tmp/ca.tmpl" \
      --outfile "$tmp/other.pem"
} >"$tmp/certtool.log" 2>&1 || { cat "$tmp/certtool.log"; fail "certtool failed"; }
pin=$(certtool --certificate-info --infile "$tmp/srv.pem" --outder | sha256sum | cut -c1-64)
wrong_pin=$(echo "$pin" | tr 0-9a-f 1-9a-f0)

echo quenvira | vncpasswd -f >"$tmp/passwd"
xvnc_start 640x480 -SecurityTypes X509None,X509Vnc,TLSNone -X509Cert "$tmp/srv.pem" \
  -X509Key "$tmp/srv.key" -PasswordFile "$tmp/passwd"
# Noise that no encoding shrinks much (a megabyte raw: many TLS records, and
# several in one read of the socket).
"$convert" -size 640x480 xc: +noise Random "$tmp/noise.png"
xvnc_show "$tmp/noise.png" 1000
export QV_TEST_PASSWORD=quenvira

# name | host | expected: "screen" or a piece of the refusal | options
cases="ca-file|127.0.0.1|screen|--security x509none --ca-file ca.pem
pin under another name|localhost|screen|--security x509none --pin sha256:$pin
default list (X509Vnc)|127.0.0.1|screen|--ca-file ca.pem --password-env QV_TEST_PASSWORD
X509Vnc, raw|127.0.0.1|screen|--security x509vnc --ca-file ca.pem --password-env QV_TEST_PASSWORD --encodings raw
no CA|127.0.0.1|issued by an unknown authority|--security x509none
another CA of the same name|127.0.0.1|issued by an unknown authority|--security x509none --ca-file other.pem
wrong name|localhost|is not for \"localhost\"|--security x509none --ca-file ca.pem
wrong pin|127.0.0.1|is not the pinned sha256:$wrong_pin|--security x509none --pin sha256:$wrong_pin
anonymous|127.0.0.1|(Windows SChannel) does not have|--security tlsnone"
status=0
while IFS='|' read -r name host want opts; do
  rm -f "$tmp/shot.png"
  # shellcheck disable=SC2086
  out=$(cd "$tmp" && "$wine" "$build/vnc-snapshot.exe" -q $opts "$host::$port" shot.png 2>&1) && rc=0 || rc=$?
  if [ "$want" = screen ]; then
    if [ "$rc" -ne 0 ] || ! "$convert" "$tmp/shot.png" -depth 8 "rgb:$tmp/shot.rgb" ||
      ! cmp -s "$tmp/screen.rgb" "$tmp/shot.rgb"; then
      echo "wine_xvnc_tls: $name: not the screen (exit $rc): $out" >&2
      status=1
    fi
  elif [ "$rc" -eq 0 ] || [[ "$out" != *"$want"* ]]; then
    echo "wine_xvnc_tls: $name: expected a refusal with \"$want\" (exit $rc): $out" >&2
    status=1
  fi
done <<<"$cases"
# A pin remembered in the known-hosts file, which Windows keeps under
# %APPDATA%: the connect needs it, having no CA file.
# The prefix's own file, if any, is put back at the exit, however it comes.
appdata=$("$wine" cmd /c echo %APPDATA% | tr -d '\r')
hosts_file=$("$wine" winepath -u "$appdata" | tr -d '\r')/quenvira-vnc/known_hosts
saved_hosts=
extra_cleanup() {
  [ -n "$hosts_file" ] || return 0
  rm -f "$hosts_file"
  [ -z "$saved_hosts" ] || mv "$saved_hosts" "$hosts_file"
  hosts_file=
}
mkdir -p "$(dirname "$hosts_file")"
if [ -e "$hosts_file" ]; then
  saved_hosts=$tmp/known_hosts.saved
  mv "$hosts_file" "$saved_hosts"
fi
echo "127.0.0.1:$port sha256:$pin" >"$hosts_file"
out=$(cd "$tmp" && env -u XDG_CONFIG_HOME "$wine" "$build/vnc-snapshot.exe" -q --security x509none \
  "127.0.0.1::$port" known.png 2>&1) && rc=0 || rc=$?
extra_cleanup
if [ "$rc" -ne 0 ] || ! "$convert" "$tmp/known.png" -depth 8 "rgb:$tmp/known.rgb" ||
  ! cmp -s "$tmp/screen.rgb" "$tmp/known.rgb"; then
  echo "wine_xvnc_tls: pin from %APPDATA%'s known-hosts file: not the screen (exit $rc): $out" >&2
  status=1
fi
[ "$status" -eq 0 ] || { tail -20 "$tmp/xvnc.log"; exit 1; }
echo "wine_xvnc_tls: X509None through a CA file, a pin, a known-hosts pin and the default list, X509Vnc raw:" \
  "the screen exactly;" \
  "no CA, wrong name, wrong pin and anonymous TLS refused"
