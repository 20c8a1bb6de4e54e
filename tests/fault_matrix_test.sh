#!/usr/bin/env bash
# Faults on the line, end to end: a table of rows, each a pairing (zmodem against lrzsz and
# against itself, in both directions) and a fault of the virtual null-modem or of the peer, with
# the outcome the row expects:
#   delivered      the file arrives identical and both sides exit 0;
#   fails cleanly  every side that was not killed exits non-zero (3 for zmodem, whose last line
#                  says why), the receiver keeps at most a byte-for-byte prefix of the file, and
#                  zmodem gives up within its retry budget instead of hanging.
# Rows run side by side (they mostly wait on a paced line) and print one line each.
# Usage: fault_matrix_test.sh BUILD_DIR [JOBS] [ROWS]
#   JOBS: rows run at once (default all); ROWS: an extended regular expression that picks rows by
#   "PAIRING FAULT", e.g. 'ours->ours ber 1e-3', to reproduce one.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"
e2e_init "$1" faults
jobs=${2:-27}
rows=${3:-.}

# Retry budgets: zmodem's receiver gives up after ten 4 s time-outs (about 45 s), and a sender
# left without answers after about 40 s more, so a cut line between two zmodems ends within about
# 85 s. A zmodem side that has not ended $bound s after it was left alone (from the row's start,
# or from the end of an lrzsz peer that kept it busy) is hanging. lrzsz's own patience is not
# under test: an lrzsz peer still running after $lrzsz_patience s is stopped (SIGTERM, then
# SIGKILL 5 s later).
bound=120
lrzsz_patience=90
xfer_timeout=$((bound + lrzsz_patience))
rate=20000

# 24 KiB for the line faults. A killed peer gets 128 KiB: over 6 s of line time, and far more than
# the devices and the null-modem hold in flight (about 24 KiB), so a side killed a second (or, on
# a loaded machine, a few seconds) into the data is killed mid-file.
mkdir -p "$src_dir"
head -c 24576 /dev/urandom > "$src_dir/line24k.bin"
head -c 131072 /dev/urandom > "$src_dir/kill128k.bin"

# PAIRINGS x FAULTS. A fault is: name | null-modem options | expected outcome. The seeds are fixed,
# so the same bytes meet the same faults from run to run. The b2a cut lets the receiver's first
# three headers through (see receiver_ready) and pulls the cable while the data flows, so the
# end-of-file exchange never reaches the sender.
pairs=("ours rz" "sz ours" "ours ours")
faults=(
  "ber 1e-5|--ber 1e-5 --seed 11|delivered"
  "ber 1e-4|--ber 1e-4 --seed 12|delivered"
  "ber 1e-3|--ber 1e-3 --seed 13|delivered"
  "drop 2e-4|--drop 2e-4 --seed 14|delivered"
  "burst 16/1e-4|--burst 16/1e-4 --seed 15|delivered"
  "cut a2b at 8000|--cut-after 8000 --dir a2b|fails cleanly"
  "cut b2a at 73|--cut-after 73 --dir b2a|fails cleanly"
  "kill sender||fails cleanly"
  "kill receiver||fails cleanly"
)

# What zmodem's last line says when it failed: the error, or which file did not make it.
reason='ZMD0[0-9][0-9]|not delivered|not sent|incomplete|refused|no ZMODEM'

# During a row: stop an lrzsz peer that outlives its patience, and kill the named side mid-file.
# The kill waits for the received file to appear (the data phase has begun; rz shows no size
# until the end), then 1 s more; the row checks that the kill landed before the side ended.
row_hook() {
  local side pid_var
  for side in tx rx; do
    [ "$(side_program "$side")" = ours ] && continue
    pid_var=${side}_pid
    (sleep "$lrzsz_patience"; p=$(program_pid "${!pid_var}")
     [ -n "$p" ] && kill -TERM "$p" && echo "$side" >> "$run_dir/stopped" \
       && sleep 5 && [ "$(program_pid "${!pid_var}")" = "$p" ] && kill -KILL "$p") &
    watchers+=($!)
    disown $!
  done
  [ -n "$victim" ] || return 0
  local tries=0
  while [ ! -e "$run_dir/rx/$file" ] && [ "$tries" -lt 300 ]; do
    sleep 0.1; tries=$((tries + 1))
  done
  sleep 1
  pid_var=${victim}_pid
  kill -KILL "$(program_pid "${!pid_var}")" 2>/dev/null
  killed_at=$(seconds_since "$pair_started")
}

# Before the sender starts: the receiver has its device open (and has cleared what was waiting
# there), so what it says before the file does not depend on how fast it started: an invitation,
# another in answer to the sender's request, and the request for the file's first byte.
receiver_ready() {
  local p tries=0
  while [ "$tries" -lt 250 ]; do
    p=$(program_pid "$rx_pid")
    [ -n "$p" ] && [ -n "$(find "/proc/$p/fd" -mindepth 1 -lname "$port_b" 2>/dev/null)" ] && break
    sleep 0.02; tries=$((tries + 1))
  done
  sleep 0.5
}

side_program() { if [ "$1" = tx ]; then echo "$sender"; else echo "$receiver"; fi; }
other() { if [ "$1" = tx ]; then echo rx; else echo tx; fi; }
peer_end() { local v=${1}_elapsed; echo "${!v}"; }

# run_row N PAIR FAULT: runs one row in its own directory and writes its line to row.result;
# the line starts with "ok" or "FAILED".
run_row() {
  local n=$1 name opts expect
  read -r sender receiver <<< "$2"
  IFS='|' read -r name opts expect <<< "$3"
  run_dir=$work/row$n
  mkdir -p "$run_dir"
  victim=
  file=line24k.bin
  case $name in
    "kill sender") victim=tx file=kill128k.bin ;;
    "kill receiver") victim=rx file=kill128k.bin ;;
  esac
  watchers=()
  transfer_hook=row_hook
  rx_ready_hook=receiver_ready
  transfer "$sender" "$receiver" "--rate $rate $opts" "$file"
  kill_tree "${watchers[@]}"

  local problems=() got side status secs out alone
  got=$(stat -c %s "$run_dir/rx/$file" 2>/dev/null || echo none)
  if [ -n "$victim" ]; then
    status=${victim}_status
    [ "${!status}" = 137 ] || problems+=("the $victim side ended (${!status}) before it was killed")
  fi
  if [ "$expect" = delivered ]; then
    same "$file" || problems+=("received file differs or is missing ($got bytes)")
    [ "$tx_status$rx_status" = 00 ] || problems+=("exit statuses $tx_status $rx_status, not 0 0")
  else
    is_prefix "$file" || problems+=("the partial file ($got bytes) is not a prefix")
    for side in tx rx; do
      [ "$side" = "$victim" ] && continue
      status=${side}_status; status=${!status}
      secs=${side}_elapsed; secs=${!secs}
      out=$run_dir/$side.out
      if [ "$(side_program "$side")" = ours ]; then
        [ "$status" = 3 ] || problems+=("zmodem $side exited $status, not 3")
        # The error that ended the run is the last thing it prints.
        grep -v '^$' "$out" | tail -n 1 | grep -Eq "$reason" \
          || problems+=("zmodem $side did not end with the reason")
        # Left alone from the start, or from the end of an lrzsz peer that kept it busy.
        alone=0
        [ "$(side_program "$(other "$side")")" != ours ] && alone=$(peer_end "$(other "$side")")
        awk -v s="$secs" -v a="$alone" -v b="$bound" 'BEGIN { exit !(s - a <= b) }' \
          || problems+=("zmodem $side took ${secs}s, over ${bound}s after ${alone}s")
      elif ! grep -qx "$side" "$run_dir/stopped" 2>/dev/null; then
        [ "$status" != 0 ] || problems+=("lrzsz $side exited 0 after a failed transfer")
      fi
    done
  fi
  local verdict=ok note=
  [ ${#problems[@]} -eq 0 ] || { verdict=FAILED; note=" -- $(IFS=';'; echo "${problems[*]}")"; }
  grep -qx tx "$run_dir/stopped" 2>/dev/null && note+=" (sender stopped at ${lrzsz_patience}s)"
  grep -qx rx "$run_dir/stopped" 2>/dev/null && note+=" (receiver stopped at ${lrzsz_patience}s)"
  [ -n "$victim" ] && note+=" ($victim killed at ${killed_at}s)"
  printf '%-6s | %-10s | %-15s | %-13s | %6ss | tx %3s %6ss | rx %3s %6ss | file %6s%s\n' \
    "$verdict" "${sender}->${receiver}" "$name" "$expect" "$elapsed" \
    "$tx_status" "$tx_elapsed" "$rx_status" "$rx_elapsed" "$got" "$note" > "$work/row$n.result"
}

# Every pairing against every fault, at most $jobs rows at a time.
started=$EPOCHREALTIME
n=0 ran=0
for pair in "${pairs[@]}"; do
  for fault in "${faults[@]}"; do
    n=$((n + 1))
    read -r s r <<< "$pair"
    [[ "$s->$r ${fault%%|*}" =~ $rows ]] || continue
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
    touch "$work/row$n.started"
    ran=$((ran + 1))
    (run_row "$n" "$pair" "$fault") &
    sleep 0.1  # spread the start-ups a little
  done
done
wait

printf '%-6s | %-10s | %-15s | %-13s | %7s | %-14s | %-14s | %s\n' \
  result pairing fault expected elapsed "sender st/s" "receiver st/s" "received bytes"
for i in $(seq 1 "$n"); do
  if [ -s "$work/row$i.result" ]; then
    cat "$work/row$i.result"
    grep -q '^ok' "$work/row$i.result" || failures=$((failures + 1))
  elif [ -e "$work/row$i.started" ]; then
    echo "FAILED: row $i left no result"; failures=$((failures + 1))
  fi
done
echo "$ran rows, $failures failed, $(seconds_since "$started")s"
[ "$ran" -gt 0 ] || { echo "FAILED: no row matches '$rows'"; failures=$((failures + 1)); }
e2e_finish
