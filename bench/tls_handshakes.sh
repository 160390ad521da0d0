#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Full TLS handshakes per second of the TLS line server (the example, on the
# pooled thread manager) against `openssl s_server -www`, measured one after
# the other in one run with `openssl s_time -new` (no resumption) for the
# same time each, with the same ECDSA P-256 certificate; both ends use
# OpenSSL's default key exchange group (X25519) and TLS 1.3. Prints each
# rate, each server's CPU time per handshake, and the ratio. Builds nothing;
# give the build folder.
#
#   bench/tls_handshakes.sh [--build DIR] [--seconds N]
#
# Exit status: 0 measured, 1 a server failed to start or s_time failed,
# 2 usage.
set -euo pipefail

BUILD=build
SECONDS_EACH=10
while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=$2; shift 2 ;;
    --seconds) SECONDS_EACH=$2; shift 2 ;;
    *) sed -n '2,13s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
  esac
done
SERVER=$BUILD/examples/ostrevan-tls-line-server
[ -x "$SERVER" ] || { echo "no $SERVER: build the examples with TLS" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" -subj /CN=localhost 2>/dev/null

# The CPU time (user + system, in clock ticks) a process has used so far.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# measure NAME PID PORT: one s_time run; prints the line of the result.
measure() {
  local name=$1 pid=$2 port=$3 before after out connections seconds
  before=$(cpu_ticks "$pid")
  out=$(openssl s_time -connect "127.0.0.1:$port" -new -time "$SECONDS_EACH" 2>&1) ||
    { echo "$out" >&2; exit 1; }
  after=$(cpu_ticks "$pid")
  # "<n> connections in <t> real seconds, ..."
  read -r connections seconds < <(sed -nE 's/^([0-9]+) connections in ([0-9]+) real seconds.*/\1 \2/p' <<<"$out")
  awk -v n="$name" -v c="$connections" -v s="$seconds" -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%-28s %6d handshakes in %3d s: %7.1f/s, server CPU %.3f ms per handshake\n",
             n, c, s, c / s, 1000 * t / hz / c }'
  echo "$connections $seconds" >"$work/$name.result"
}

"$SERVER" "$work/cert.pem" "$work/key.pem" 0 >"$work/pool.out" 2>&1 &
pids+=($!)
pool_pid=$!
for _ in $(seq 100); do grep -q "port" "$work/pool.out" && break; sleep 0.05; done
pool_port=$(sed -nE 's/.*port ([0-9]+).*/\1/p' "$work/pool.out")
[ -n "$pool_port" ] || { cat "$work/pool.out" >&2; exit 1; }

s_server_port=$(comm -23 <(seq 40000 40999) <(ss -Hltn | awk '{print $4}' | sed 's/.*://' | sort -u) | shuf -n 1)
openssl s_server -www -quiet -accept "127.0.0.1:$s_server_port" -cert "$work/cert.pem" \
  -key "$work/key.pem" >"$work/s_server.out" 2>&1 </dev/null &
pids+=($!)
s_server_pid=$!
for _ in $(seq 100); do ss -Hltn "sport = :$s_server_port" | grep -q . && break; sleep 0.05; done

echo "TLS 1.3, ECDSA P-256, X25519; $(nproc) cores; $SECONDS_EACH s each"
measure "ostrevan TLS (pool)" "$pool_pid" "$pool_port"
measure "openssl s_server -www" "$s_server_pid" "$s_server_port"
read -r pc ps <"$work/ostrevan TLS (pool).result"
read -r sc ss_ <"$work/openssl s_server -www.result"
awk -v a="$pc" -v b="$ps" -v c="$sc" -v d="$ss_" 'BEGIN { printf "ratio (ostrevan / s_server): %.2f\n", (a / b) / (c / d) }'
