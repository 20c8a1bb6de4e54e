# Shared by the end-to-end shell tests: a scratch directory, the virtual null-modem, one transfer
# between two processes over it (zmodem or lrzsz at either end), checks that count failures, and
# cleanup of every process and file the test started, also when the test itself is killed.
# Usage, from a test script:
#   source "$(dirname "$0")/e2e_lib.sh"
#   e2e_init BUILD_DIR NAME     # sets zmodem, nullmodem, work and the EXIT trap
#   ...; e2e_finish             # exit status: 0 when every check passed

# e2e_init BUILD_DIR NAME: the programs under test, a scratch directory /tmp/zmodem-NAME.XXXXXX,
# and the trap that tears everything down.
e2e_init() {
  zmodem=$(realpath "$1/zmodem")
  nullmodem=$(realpath "$1/nullmodem")
  work=$(mktemp -d "/tmp/zmodem-$2.XXXXXX")
  failures=0
  nm_pid=
  # Where transfer() takes its files from and puts its results; a test running transfers side by
  # side gives each its own run_dir in a subshell.
  src_dir=$work/src
  run_dir=$work
  xfer_timeout=120
  trap e2e_cleanup EXIT
  trap 'exit 143' TERM
  trap 'exit 130' INT
}

# kill_tree PID...: kills the processes and all their descendants. The whole tree is listed
# first and killed parents first, so that no shell in it reports or reacts to a dead child and
# nothing re-parented to init survives (timeout(1) and subshells sit between us and the programs).
kill_tree() {
  local pids=() i=0 child
  pids=("$@")
  while [ "$i" -lt ${#pids[@]} ]; do
    for child in $(pgrep -P "${pids[$i]}" 2>/dev/null); do pids+=("$child"); done
    i=$((i + 1))
  done
  [ ${#pids[@]} -eq 0 ] || kill -KILL "${pids[@]}" 2>/dev/null
}

e2e_cleanup() {
  trap - EXIT TERM INT
  # shellcheck disable=SC2046  # one word per pid
  kill_tree $(pgrep -P $$ 2>/dev/null)
  wait 2>/dev/null
  rm -rf "$work"
}

# check DESCRIPTION COMMAND...: runs the command, prints ok/FAILED and counts failures.
check() {
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}

e2e_finish() { [ "$failures" -eq 0 ]; }

# start_line NULLMODEM-OPTIONS...: starts a null-modem, sets nm_pid and its two devices port_a
# (first line) and port_b (second line). Returns non-zero when it printed no paths.
start_line() {
  : > "$run_dir/line"
  "$nullmodem" "$@" > "$run_dir/line" 2> "$run_dir/nullmodem.err" &
  nm_pid=$!
  for _ in $(seq 1 100); do [ "$(wc -l < "$run_dir/line")" -ge 2 ] && break; sleep 0.05; done
  port_a=$(sed -n 1p "$run_dir/line")
  port_b=$(sed -n 2p "$run_dir/line")
  [ -n "$port_a" ] && [ -n "$port_b" ]
}

stop_line() {
  [ -n "$nm_pid" ] || return 0
  kill "$nm_pid" 2>/dev/null
  wait "$nm_pid" 2>/dev/null
  nm_pid=
}

# run_with_timeout SECONDS COMMAND...: the command's status, 124 when it had to be stopped
# (SIGTERM, then SIGKILL 5 s later).
run_with_timeout() { timeout -k 5 "$@"; }

# transfer SENDER RECEIVER "NULLMODEM OPTIONS" FILE...: run_pair over a null-modem of its own.
transfer() {
  local line_opts=$3
  # shellcheck disable=SC2086  # the options are words
  start_line $line_opts
  run_pair "$1" "$2" "${@:4}"
  stop_line
}

# run_pair SENDER RECEIVER FILE...: SENDER is ours or sz, RECEIVER ours or rz, on the line
# started last (the sender on port_a, the receiver on port_b), each under timeout(1) with
# $xfer_timeout seconds. Sends the files from $src_dir (ours sends the first one only) to a fresh
# $run_dir/rx. Sets tx_status and rx_status (124: stopped by the time-out), and tx_elapsed,
# rx_elapsed and elapsed: seconds from the receiver's start ($pair_started, an $EPOCHREALTIME
# value) until that side, and both, had ended.
# The outputs are in $run_dir/tx.out and $run_dir/rx.out. Optional hooks, each a function name:
# rx_ready_hook runs once the receiver is started and returns when the sender may start (default:
# a 0.2 s pause); transfer_hook runs while both sides run. tx_pid and rx_pid are the two sides'
# subshells (program_pid finds the program in one). With measure_rss=1, zmodem runs under
# /usr/bin/time and its peak resident size in KiB goes to $run_dir/tx.rss or rx.rss.
run_pair() {
  local sender=$1 receiver=$2
  shift 2
  rm -rf "$run_dir/rx" "$run_dir/tx.end" "$run_dir/rx.end"; mkdir -p "$run_dir/rx"
  pair_started=$EPOCHREALTIME
  if [ "$receiver" = ours ]; then start_side rx "$run_dir/rx" "$port_b" ours /r
  else start_side rx "$run_dir/rx" "$port_b" rz -y; fi
  rx_pid=$!
  if [ -n "${rx_ready_hook:-}" ]; then "$rx_ready_hook"; else sleep 0.2; fi
  if [ "$sender" = ours ]; then start_side tx "$src_dir" "$port_a" ours /s "$1"
  else start_side tx "$src_dir" "$port_a" sz "$@"; fi
  tx_pid=$!
  [ -n "${transfer_hook:-}" ] && "$transfer_hook"
  wait "$tx_pid"
  tx_status=$?
  wait "$rx_pid"
  rx_status=$?
  elapsed=$(seconds_since "$pair_started")
  tx_elapsed=$(seconds_since "$pair_started" "$(cat "$run_dir/tx.end" 2>/dev/null)")
  rx_elapsed=$(seconds_since "$pair_started" "$(cat "$run_dir/rx.end" 2>/dev/null)")
}

# start_side tx|rx DIR DEVICE ours|sz|rz ARGS...: starts one side in the background in DIR; it
# notes when it ended in $run_dir/SIDE.end. zmodem finds the device in ZMODEM_PORT, lrzsz on its
# standard input and output. The shell's own notice of a killed program is not wanted.
start_side() {
  local side=$1 dir=$2 device=$3 program=$4
  shift 4
  (
    cd "$dir" || exit 1
    if [ "$program" = ours ]; then
      local wrap=()
      [ "${measure_rss:-0}" = 1 ] && wrap=(/usr/bin/time -f %M -o "$run_dir/$side.rss")
      { ZMODEM_PORT=$device timeout -k 5 "$xfer_timeout" "${wrap[@]}" "$zmodem" "$@" \
          > "$run_dir/$side.out" 2>&1; } 2>/dev/null
    else
      { timeout -k 5 "$xfer_timeout" "$program" -q "$@" < "$device" > "$device" \
          2> "$run_dir/$side.out"; } 2>/dev/null
    fi
    status=$?
    echo "$EPOCHREALTIME" > "$run_dir/$side.end"
    exit "$status"
  ) &
}

# seconds_since START [END]: seconds from one $EPOCHREALTIME value to another (default: now).
seconds_since() {
  awk -v a="$1" -v b="${2:-$EPOCHREALTIME}" 'BEGIN { printf "%.1f", b - a }'
}

# program_pid PID: the program that timeout(1) runs in side subshell PID (empty once it ended).
program_pid() {
  local t
  t=$(pgrep -x -P "$1" timeout | head -n 1)
  [ -n "$t" ] && pgrep -P "$t" | head -n 1
}

# same FILE: the received copy of FILE is identical to the one sent.
same() { cmp -s "$src_dir/$1" "$run_dir/rx/$1"; }

all_same() {
  local f
  for f in "$@"; do same "$f" || { echo "  differs: $f"; return 1; }; done
}

# is_prefix FILE: the received FILE, if there is one, holds only a leading part of the original.
is_prefix() {
  local got
  [ -e "$run_dir/rx/$1" ] || return 0
  got=$(stat -c %s "$run_dir/rx/$1")
  [ "$got" -le "$(stat -c %s "$src_dir/$1")" ] && cmp -s -n "$got" "$src_dir/$1" "$run_dir/rx/$1"
}
