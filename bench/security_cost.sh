#!/bin/bash
# What TLS costs the client: one Xvnc (1280 x 800) offering None and
# X509None, an xterm on it running `yes` so that updates keep coming, and
# bench_security_cost connected with each type in turn for SECONDS (default
# 20): the client's CPU per update, all threads. A benchmark, never run by
# the tests.
#   bench/security_cost.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
bench=build/release/bench/bench_security_cost
[ -x "$bench" ] || { echo "security_cost: no $bench (build the release tree)" >&2; exit 1; }
tmp=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; --i)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
printf 'cn = "bench"\nip_address = "127.0.0.1"\ntls_www_server\nencryption_key\nsigning_key\nexpiration_days = 2\n' >"$tmp/srv.tmpl"
certtool --generate-privkey --outfile "$tmp/srv.key" 2>/dev/null
certtool --generate-self-signed --load-privkey "$tmp/srv.key" --template "$tmp/srv.tmpl" \
  --outfile "$tmp/srv.pem" 2>/dev/null
fp=$(certtool --certificate-info --infile "$tmp/srv.pem" | awk '/sha256:/ {getline; print $1; exit}')
for display in $(seq 150 199); do [ -e /tmp/.X11-unix/X$display ] || break; done
port=$((5900 + display))
Xvnc ":$display" -geometry 1280x800 -depth 24 -rfbport "$port" -interface 127.0.0.1 -nolisten tcp \
  -SecurityTypes None,X509None -X509Cert "$tmp/srv.pem" -X509Key "$tmp/srv.key" >"$tmp/xvnc.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break; sleep 0.1; done
DISPLAY=":$display" xterm -geometry 160x50+0+0 -e yes &
pids+=($!)
sleep 1
"$bench" 127.0.0.1 "$port" "$seconds" none "x509none,tls-pin=sha256:$fp" none "x509none,tls-pin=sha256:$fp"
