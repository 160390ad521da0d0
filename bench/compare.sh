#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures the daemon against the single-threaded reference responder and
# the bare thread-per-connection responder in one run, and the framework's
# time server on the pooled thread manager against the reference and two
# peers, inetd's internal time service and the same service on POCO's
# TCPServer: connections per second, p50 and p99 latency, the server's CPU
# time per connection at each client count, and the ratios. Builds nothing
# of its own; give the build folder.
#
#   bench/compare.sh [--build DIR] [--connections N] [--warmup N] [--repeat R]
#                    [--clients "4 16 64"] [--daemon PATH] [--reference-as-daemon]
#                    [--no-pool] [--no-peers] [--soak] [--time-limit-ms MS]
#                    [--load-threads T]
#
# Exit status: 0 all good, 1 a connection failed or a process misbehaved,
# 2 usage, 3 a target ratio was missed.
set -euo pipefail
ORIGINAL_ARGUMENTS=("$@")

BUILD=build
CONNECTIONS=20000
WARMUP=2000
REPEAT=3
CLIENTS="4 16 64"
DAEMON=""
REFERENCE_AS_DAEMON=0
SOAK=0
TIME_LIMIT_MS=120000
LOAD_THREADS=0
POOL=1
PEERS=1
# The daemon against the bare responder at 16 clients; the pooled time
# server against the reference at 16, and against each peer at every client
# count measured, its p99 against inetd's at 64.
BARE_TARGET_CLIENTS=16
BARE_TARGET_RATIO=0.90
POOL_TARGET_CLIENTS=16
POOL_TARGET_RATIO=0.75
INETD_TARGET_RATIO=1.0
POCO_TARGET_RATIO=1.3
P99_TARGET_CLIENTS=64

usage() {
  sed -n '3,17s/^# \{0,1\}//p' "$0" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=${2:?}; shift 2 ;;
    --connections) CONNECTIONS=${2:?}; shift 2 ;;
    --warmup) WARMUP=${2:?}; shift 2 ;;
    --repeat) REPEAT=${2:?}; shift 2 ;;
    --clients) CLIENTS=${2:?}; shift 2 ;;
    --daemon) DAEMON=${2:?}; shift 2 ;;
    --reference-as-daemon) REFERENCE_AS_DAEMON=1; shift ;;
    --no-pool) POOL=0; shift ;;
    --no-peers) PEERS=0; shift ;;
    --soak) SOAK=1; shift ;;
    --time-limit-ms) TIME_LIMIT_MS=${2:?}; shift 2 ;;
    --load-threads) LOAD_THREADS=${2:?}; shift 2 ;;
    -h|--help) usage ;;
    *) echo "compare.sh: unknown argument $1" >&2; usage ;;
  esac
done
for number in "$CONNECTIONS" "$WARMUP" "$REPEAT" "$TIME_LIMIT_MS" "$LOAD_THREADS" $CLIENTS; do
  [[ "$number" =~ ^[0-9]+$ ]] || { echo "compare.sh: not a number: $number" >&2; exit 2; }
done
[ "$REPEAT" -ge 1 ] || { echo "compare.sh: --repeat needs at least 1" >&2; exit 2; }
[ "$CONNECTIONS" -ge 1 ] || { echo "compare.sh: --connections needs at least 1" >&2; exit 2; }

LOAD="$BUILD/bench/rfc868-load"
REFERENCE="$BUILD/bench/rfc868-reference"
BARE="$BUILD/bench/rfc868-bare"
POOL_SERVER="$BUILD/bench/rfc868-pool-server"
DAEMON=${DAEMON:-$BUILD/shell/ostrevan}
TOOLS=("$LOAD" "$REFERENCE" "$BARE")
[ "$POOL" = 1 ] && TOOLS+=("$POOL_SERVER")
for tool in "${TOOLS[@]}"; do
  [ -x "$tool" ] || { echo "compare.sh: $tool is missing; build first" >&2; exit 2; }
done
if [ "$REFERENCE_AS_DAEMON" = 0 ] && [ ! -x "$DAEMON" ]; then
  echo "compare.sh: $DAEMON is missing (build it, or try --reference-as-daemon)" >&2
  exit 2
fi

# The peers. inetd's time service is Debian's openbsd-inetd, fetched once
# into the build folder and unpacked there, never installed. Its internal
# services listen on their official port only, 37, so the comparison runs
# in a network namespace of its own (with a user namespace, which lets it
# bind there without privileges) and a mount namespace in which /run, where
# inetd writes its PID file, is a private tmpfs. Nothing outside sees it.
PEER_DIR=$BUILD/bench/peers
INETD=$PEER_DIR/root/usr/sbin/inetd
POCO=$BUILD/bench/rfc868-poco
INETD_SKIPPED=""

fetch_inetd() {
  [ -x "$INETD" ] && return 0
  command -v apt-get >/dev/null || { INETD_SKIPPED="no apt-get to fetch openbsd-inetd"; return 1; }
  mkdir -p "$PEER_DIR"
  rm -f "$PEER_DIR"/openbsd-inetd_*.deb
  if ! (cd "$PEER_DIR" && timeout 120 apt-get download -q openbsd-inetd) >"$PEER_DIR/download.log" 2>&1 ||
     ! dpkg-deb -x "$PEER_DIR"/openbsd-inetd_*.deb "$PEER_DIR/root" 2>>"$PEER_DIR/download.log"; then
    INETD_SKIPPED="openbsd-inetd could not be fetched (see $PEER_DIR/download.log)"
    return 1
  fi
}

if [ "$PEERS" = 1 ] && [ -z "${OSTREVAN_COMPARE_NAMESPACE:-}" ] && fetch_inetd; then
  setup='mount -t tmpfs tmpfs /run && ip link set lo up'
  if ! command -v ip >/dev/null || ! unshare -rnm sh -c "$setup" 2>/dev/null; then
    INETD_SKIPPED="no private network namespace here (unshare -rnm, ip)"
  else
    # The same script again inside the namespaces, with the same arguments.
    export OSTREVAN_COMPARE_NAMESPACE=1
    exec unshare -rnm bash -c "$setup"' && exec bash "$@"' \
      compare "$0" "${ORIGINAL_ARGUMENTS[@]}"
  fi
fi
WORK=$(mktemp -d)
REFERENCE_PIDS=()  # every responder that SIGTERM stops
DAEMON_PID=""
DAEMON_INPUT=""
LOAD_PID=""
STATUS=0

log() { echo "compare.sh: $*" >&2; }

# True while the process runs; a zombie counts as ended.
running() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ "$state" != Z ]
}

now_ms() { echo $(( ${EPOCHREALTIME/./} / 1000 )); }

# Waits up to $2 milliseconds for process $1 to end.
wait_for_end() {
  local pid=$1 deadline=$(( $(now_ms) + $2 ))
  while running "$pid" && [ "$(now_ms)" -lt "$deadline" ]; do
    sleep 0.05
  done
  ! running "$pid"
}

# Ends a process we started: a polite request first, then TERM, then KILL.
end_process() {
  local pid=$1 grace=$2
  if ! wait_for_end "$pid" "$grace"; then
    kill -TERM "$pid" 2>/dev/null || true
    if ! wait_for_end "$pid" 3000; then
      log "process $pid ($(tr "\0" " " </proc/$pid/cmdline 2>/dev/null)) ignored SIGTERM; killing it"
      kill -KILL "$pid" 2>/dev/null || true
      wait_for_end "$pid" 3000 || true
    fi
  fi
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local pid
  if [ -n "$LOAD_PID" ]; then
    kill -TERM "$LOAD_PID" 2>/dev/null || true
    end_process "$LOAD_PID" 3000
  fi
  if [ -n "$DAEMON_PID" ]; then
    # The daemon's console stops it on EXIT; its deactivation may wait up
    # to five seconds for peer threads, so give it ten.
    if [ -n "$DAEMON_INPUT" ]; then echo EXIT >&"$DAEMON_INPUT" 2>/dev/null || true; fi
    end_process "$DAEMON_PID" 10000
    if [ -n "$DAEMON_INPUT" ]; then exec {DAEMON_INPUT}>&-; fi
  fi
  for pid in "${REFERENCE_PIDS[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    end_process "$pid" 3000
  done
  rm -rf "$WORK"
}
trap cleanup EXIT
# A signal, a closed terminal or a closed output pipe ends the script through
# the EXIT trap too, so nothing it started is left behind. Handlers, unlike
# ignored signals, are not passed on to the programs it starts.
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
trap 'exit 141' PIPE

# Waits up to $2 milliseconds for a line matching $3 in file $1 and prints it.
wait_for_line() {
  local file=$1 deadline=$(( $(now_ms) + $2 )) pattern=$3 line
  while :; do
    line=$(grep -m1 -E "$pattern" "$file" 2>/dev/null || true)
    if [ -n "$line" ]; then echo "$line"; return 0; fi
    [ "$(now_ms)" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

# The TCP port a process listens on, found through its socket inodes.
listening_port_of() {
  local pid=$1 inodes hex
  inodes=" $(find "/proc/$pid/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null |
             sed 's/[^0-9]//g' | tr '\n' ' ') "
  hex=$(awk -v inodes="$inodes" \
        'NR > 1 && $4 == "0A" && index(inodes, " " $10 " ") { split($2, a, ":"); print a[2]; exit }' \
        "/proc/$pid/net/tcp" "/proc/$pid/net/tcp6")
  [ -n "$hex" ] && echo $((16#$hex))
}

HELD_FDS=()

# Starts a program in the background without the descriptors this script
# holds for the others, so that each one's input ends when this script ends,
# however it ends; sets LAUNCHED_PID. An output or error of "-" is this
# script's own; an error equal to the output shares its descriptor.
launch() {  # input output error program [arguments]
  local input=$1 output=$2 error=$3
  shift 3
  (
    for fd in "${HELD_FDS[@]}"; do eval "exec $fd>&-"; done
    exec <"$input"
    if [ "$output" != - ]; then exec >"$output"; fi
    if [ "$error" = "$output" ]; then exec 2>&1; elif [ "$error" != - ]; then exec 2>"$error"; fi
    exec "$@"
  ) &
  LAUNCHED_PID=$!
}

# Makes a FIFO and holds it open for reading and writing, so that neither
# side blocks and its reader sees no end of input until this script closes
# it or ends; sets HELD_FD.
hold_fifo() {  # path
  mkfifo "$1"
  exec {HELD_FD}<>"$1"
  HELD_FDS+=("$HELD_FD")
}

start_reference() {  # name [program [option...]]; sets PORT
  local name=$1 program=${2:-$REFERENCE}
  shift $(( $# < 2 ? $# : 2 ))
  # Stopped by SIGTERM; its input ends as well if this script is killed.
  hold_fifo "$WORK/$name.in"
  launch "$WORK/$name.in" "$WORK/$name.out" "$WORK/$name.err" "$program" 0 "$@"
  REFERENCE_PIDS+=("$LAUNCHED_PID")
  PORT=$(wait_for_line "$WORK/$name.out" 5000 '^[0-9]+$') || {
    log "$name did not report its port"; cat "$WORK/$name.err" >&2; exit 1; }
  TARGET_PID=$LAUNCHED_PID
}

# inetd with a configuration of its own: the time service alone, on
# 127.0.0.1, with no limit on invocations a minute that a benchmark would
# reach. It ends with this script, however that ends.
start_inetd() {  # sets PORT
  local deadline=$(( $(now_ms) + 5000 ))
  printf '127.0.0.1:time\tstream\ttcp4\tnowait.1000000000\troot\tinternal\n' >"$WORK/inetd.conf"
  launch /dev/null "$WORK/inetd.out" "$WORK/inetd.out" \
    setpriv --pdeathsig KILL "$INETD" -i -q 4096 -R 1000000000 "$WORK/inetd.conf"
  REFERENCE_PIDS+=("$LAUNCHED_PID")
  until PORT=$(listening_port_of "$LAUNCHED_PID"); do
    if ! running "$LAUNCHED_PID" || [ "$(now_ms)" -ge "$deadline" ]; then
      log "inetd did not start"; cat "$WORK/inetd.out" >&2; exit 1
    fi
    sleep 0.05
  done
  TARGET_PID=$LAUNCHED_PID
}

start_daemon() {  # sets PORT
  local line
  # Its console reads this FIFO; EXIT on it stops the daemon.
  hold_fifo "$WORK/daemon.in"
  DAEMON_INPUT=$HELD_FD
  launch "$WORK/daemon.in" "$WORK/daemon.out" "$WORK/daemon.out" "$DAEMON" 0
  DAEMON_PID=$LAUNCHED_PID
  line=$(wait_for_line "$WORK/daemon.out" 10000 'Time server started on port|Could not start') || {
    log "the daemon did not report its start"; cat "$WORK/daemon.out" >&2; exit 1; }
  case "$line" in
    *"Could not start"*) log "the daemon could not start"; exit 1 ;;
  esac
  # Asked for port 0, the daemon prints 0; the kernel's choice is in /proc.
  PORT=$(sed -n 's/.*port \(-\{0,1\}[0-9]*\)\..*/\1/p' <<<"$line")
  if [ "$PORT" = 0 ]; then
    local deadline=$(( $(now_ms) + 5000 ))
    until PORT=$(listening_port_of "$DAEMON_PID"); do
      [ "$(now_ms)" -lt "$deadline" ] || { log "cannot find the daemon's listening port"; exit 1; }
      sleep 0.05
    done
  fi
  TARGET_PID=$DAEMON_PID
}

# The generator's event loops for a client count: as asked, at most one per
# client; 0 lets the generator take one per CPU.
load_threads() {
  if [ "$LOAD_THREADS" -gt "$1" ]; then echo "$1"; else echo "$LOAD_THREADS"; fi
}

# One load run; leaves its key=value line in LINE. A failed connection is
# recorded in STATUS; a failing generator ends the script.
run_load() {  # port clients connections
  local rc=0
  # In the background, so that a signal to this script is handled at once
  # rather than after the run.
  launch /dev/null "$WORK/load.out" - \
    "$LOAD" --port "$1" --clients "$2" --connections "$3" --threads "$(load_threads "$2")" \
    --time-limit-ms "$TIME_LIMIT_MS" --format kv
  LOAD_PID=$LAUNCHED_PID
  wait "$LOAD_PID" || rc=$?
  LOAD_PID=""
  LINE=$(<"$WORK/load.out")
  case $rc in
    0) ;;
    1) log "failures at $2 clients on port $1: $LINE"; STATUS=1 ;;
    *) log "the load generator failed ($rc) on port $1"; exit 1 ;;
  esac
}

field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $2"; }
median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# The CPU time, user and system, that process $1 has used, in clock ticks;
# ended threads count too.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
TICKS_PER_SECOND=$(getconf CLK_TCK)

declare -A PORTS=() PIDS=() LABELS=()
start_reference reference
PORTS[reference]=$PORT PIDS[reference]=$TARGET_PID LABELS[reference]=reference
start_reference bare "$BARE"
PORTS[bare]=$PORT PIDS[bare]=$TARGET_PID LABELS[bare]=bare
# The same responder on the kind of socket the daemon's default binding
# opens, the IPv6 wildcard taking both families.
start_reference bare6 "$BARE" --dual-stack
PORTS[bare6]=$PORT PIDS[bare6]=$TARGET_PID LABELS[bare6]=bare6
if [ "$REFERENCE_AS_DAEMON" = 1 ]; then
  start_reference daemon
  LABELS[daemon]="daemon*"
else
  start_daemon
  LABELS[daemon]=daemon
fi
PORTS[daemon]=$PORT PIDS[daemon]=$TARGET_PID
# In this order daemon/bare, daemon/reference, pool/inetd and pool/poco run
# back to back in every round, whichever way round it goes.
TARGETS="bare6 bare daemon reference"
POCO_SKIPPED=""
if [ "$PEERS" = 1 ]; then
  if [ -n "${OSTREVAN_COMPARE_NAMESPACE:-}" ]; then
    start_inetd
    PORTS[inetd]=$PORT PIDS[inetd]=$TARGET_PID LABELS[inetd]=inetd
    TARGETS+=" inetd"
  fi
  if [ -x "$POCO" ]; then
    start_reference poco "$POCO"
    PORTS[poco]=$PORT PIDS[poco]=$TARGET_PID LABELS[poco]=poco
  else
    POCO_SKIPPED="$POCO is not built (it needs libpoco-dev)"
  fi
fi
if [ "$POOL" = 1 ]; then
  start_reference pool "$POOL_SERVER"
  PORTS[pool]=$PORT PIDS[pool]=$TARGET_PID LABELS[pool]=pool
  TARGETS+=" pool"
fi
[ -n "${PORTS[poco]:-}" ] && TARGETS+=" poco"
DAEMON_PORT=${PORTS[daemon]}
DAEMON_LABEL=${LABELS[daemon]}
DAEMON_TARGET_PID=${PIDS[daemon]}

printf 'Time protocol load, %s connections per run, median of %s runs, %s CPUs, load average %s\n' \
  "$CONNECTIONS" "$REPEAT" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
echo "bare: a thread per connection and nothing else; bare6: the same on an IPv6 socket taking both families, as the daemon's; pool: the framework's time server on TIdThreadMgrPool"
[ "$REFERENCE_AS_DAEMON" = 1 ] && echo "daemon* is a second reference responder standing in for the daemon"
if [ "$PEERS" = 1 ]; then
  if [ -n "${PORTS[inetd]:-}" ]; then
    echo "inetd: openbsd-inetd's internal time service, in this run's own network namespace"
  else
    echo "inetd: skipped ($INETD_SKIPPED)"
  fi
  if [ -n "${PORTS[poco]:-}" ]; then
    echo "poco: the same service on POCO's TCPServer with a pool of 32 threads"
  else
    echo "poco: skipped ($POCO_SKIPPED)"
  fi
fi
# gen busy: how busy the generator's loops were; near 100 per cent, the
# generator rather than the server may be what limits the row. cpu us: the
# server's CPU time per connection.
printf '%7s  %-16s %10s %10s %10s %8s %9s %8s\n' clients target "conn/s" "p50 us" "p99 us" failed "gen busy" "cpu us"

declare -A RATIOS=() P99S=()
# Prints and records the ratio of $2 to $3 at $1 clients: the median of the
# ratios of the runs that followed each other in a round, so that the drift
# of a machine's speed between rounds cancels out. The ratio of the medians
# and the ratio of each round follow it.
ratio() {  # clients who of
  local value rounds
  rounds=$(awk -v d="${cps[$2]}" -v r="${cps[$3]}" \
           'BEGIN { n = split(d, a, " "); split(r, b, " ")
                    for (i = 1; i <= n; i++) printf "%.2f ", (b[i] > 0) ? a[i] / b[i] : 0 }')
  value=$(median <<<"$rounds")
  RATIOS[$1 $2 $3]=$value
  printf '%7s  %-16s %10s   of medians %s, by round: %s\n' "$1" "$2/$3" "$value" \
    "$(awk -v d="$(median <<<"${cps[$2]}")" -v r="$(median <<<"${cps[$3]}")" \
       'BEGIN { printf "%.2f", (r > 0) ? d / r : 0 }')" "${rounds% }"
}

for clients in $CLIENTS; do
  if [ "$WARMUP" -gt 0 ]; then
    for who in $TARGETS; do run_load "${PORTS[$who]}" "$clients" "$WARMUP"; done
  fi
  declare -A cps=() p50=() p99=() failed=() busy=() cpu=()
  for ((r = 1; r <= REPEAT; r++)); do
    # Alternate the order so that a drift in the machine's load hits all.
    order=$TARGETS
    ((r % 2)) || order=$(tr ' ' '\n' <<<"$TARGETS" | tac | tr '\n' ' ')
    for who in $order; do
      ticks=$(cpu_ticks "${PIDS[$who]}")
      run_load "${PORTS[$who]}" "$clients" "$CONNECTIONS"
      ticks=$(( $(cpu_ticks "${PIDS[$who]}") - ticks ))
      cps[$who]+=" $(field cps "$LINE")"
      p50[$who]+=" $(field p50_us "$LINE")"
      p99[$who]+=" $(field p99_us "$LINE")"
      busy[$who]+=" $(field busy_pct "$LINE")"
      cpu[$who]+=" $(awk -v t="$ticks" -v hz="$TICKS_PER_SECOND" -v n="$CONNECTIONS" \
                    'BEGIN { printf "%.1f", t * 1e6 / hz / n }')"
      failed[$who]=$(( ${failed[$who]:-0} + $(field failed "$LINE") ))
    done
  done
  for who in $TARGETS; do
    printf '%7s  %-16s %10.0f %10.1f %10.1f %8s %8s%% %8.1f\n' "$clients" "${LABELS[$who]}" \
      "$(median <<<"${cps[$who]}")" "$(median <<<"${p50[$who]}")" \
      "$(median <<<"${p99[$who]}")" "${failed[$who]}" "$(median <<<"${busy[$who]}")" \
      "$(median <<<"${cpu[$who]}")"
    P99S[$clients $who]=$(median <<<"${p99[$who]}")
  done
  ratio "$clients" daemon reference
  ratio "$clients" daemon bare
  ratio "$clients" daemon bare6
  [ "$POOL" = 1 ] && ratio "$clients" pool reference
  if [ -n "${PORTS[inetd]:-}" ]; then
    ratio "$clients" daemon inetd
    [ "$POOL" = 1 ] && ratio "$clients" pool inetd
  fi
  [ "$POOL" = 1 ] && [ -n "${PORTS[poco]:-}" ] && ratio "$clients" pool poco
  unset cps p50 p99 failed busy cpu
done

# Checks the ratio $2/$3 against $4 at each client count of $1 measured.
check_target() {  # clients who of minimum
  local clients value verdict
  for clients in $1; do
    value=${RATIOS[$clients $2 $3]:-}
    [ -n "$value" ] || continue
    verdict=$(awk -v x="$value" -v t="$4" 'BEGIN { print (x >= t) ? "met" : "not met" }')
    echo "target: $2/$3 >= $4 at $clients clients: $verdict ($value)"
    if [ "$verdict" != met ] && [ "$STATUS" = 0 ]; then STATUS=3; fi
  done
}
# Checks that $2's median p99 at $1 clients is at most $3's.
check_p99() {  # clients who of
  local mine=${P99S[$1 $2]:-} theirs=${P99S[$1 $3]:-} verdict
  [ -n "$mine" ] && [ -n "$theirs" ] || return 0
  verdict=$(awk -v a="$mine" -v b="$theirs" 'BEGIN { print (a <= b) ? "met" : "not met" }')
  echo "target: $2 p99 <= $3 p99 at $1 clients: $verdict ($mine us, $theirs us)"
  if [ "$verdict" != met ] && [ "$STATUS" = 0 ]; then STATUS=3; fi
}
check_target "$BARE_TARGET_CLIENTS" daemon bare "$BARE_TARGET_RATIO"
if [ "$POOL" = 1 ]; then
  check_target "$POOL_TARGET_CLIENTS" pool reference "$POOL_TARGET_RATIO"
  check_target "$CLIENTS" pool inetd "$INETD_TARGET_RATIO"
  check_p99 "$P99_TARGET_CLIENTS" pool inetd
  check_target "$CLIENTS" pool poco "$POCO_TARGET_RATIO"
fi

if [ "$SOAK" = 1 ]; then
  echo "soak: 20000 connections from 16 clients against $DAEMON_LABEL (pid $DAEMON_TARGET_PID)"
  rc=0
  launch /dev/null - - \
    "$LOAD" --port "$DAEMON_PORT" --clients 16 --connections 20000 \
    --time-limit-ms "$TIME_LIMIT_MS" --watch-pid "$DAEMON_TARGET_PID"
  LOAD_PID=$LAUNCHED_PID
  wait "$LOAD_PID" || rc=$?
  LOAD_PID=""
  case $rc in
    0) echo "soak: ok" ;;
    *) echo "soak: FAILED ($rc)"; STATUS=1 ;;
  esac
fi
exit "$STATUS"
