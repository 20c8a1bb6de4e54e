#!/usr/bin/env bash
# Nobody at the other end, at the real time-outs: `zmodem /s` with no receiver and `zmodem /r`
# with no sender, each on its own null-modem, side by side. Each side must go through its whole
# retry sequence, print every time-out, say in plain words that nobody answered, exit 3, and not
# wait beyond its budget (ten wake-ups and eleven ZFINs for the sender, eleven invitations for
# the receiver, about 4 s each).
# Usage: no_peer_test.sh BUILD_DIR
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"
e2e_init "$1" no-peer

mkdir -p "$work/sender" "$work/receiver"
echo "a file nobody will receive" > "$work/sender/lonely.txt"

# alone ROLE ARGS...: runs zmodem alone in $work/ROLE on a fresh line; output in $work/ROLE.out, status in
# $work/ROLE.status, seconds taken in $work/ROLE.seconds.
alone() {
  local role=$1
  shift
  local dir=$work/$role
  run_dir=$dir
  start_line
  local started=$EPOCHREALTIME
  (cd "$dir" && ZMODEM_PORT=$port_a run_with_timeout 180 "$zmodem" "$@" > "$work/$role.out" 2>&1)
  echo $? > "$work/$role.status"
  seconds_since "$started" > "$work/$role.seconds"
  stop_line
}

alone sender /s lonely.txt &
alone receiver /r &
wait

tx_status=$(cat "$work/sender.status")
rx_status=$(cat "$work/receiver.status")
timeouts() { grep -c '^ZMD009 Timeout$' "$work/$1.out"; }

check "no receiver: the sender exits 3 (got $tx_status)" test "$tx_status" = 3
# Ten wake-ups and eleven ZFINs each time out; the last time-out is the error the run ends on.
check "no receiver: 21 time-outs shown ($(timeouts sender))" test "$(timeouts sender)" = 21
check "no receiver: the sender says nobody answered" \
  grep -q 'no ZMODEM receiver answered' "$work/sender.out"
check "no receiver: the sender ended within its budget ($(cat "$work/sender.seconds") s)" \
  awk -v s="$(cat "$work/sender.seconds")" 'BEGIN { exit !(s < 150) }'

check "no sender: the receiver exits 3 (got $rx_status)" test "$rx_status" = 3
# Eleven invitations each time out; the last time-out is the error the run ends on.
check "no sender: 11 time-outs shown ($(timeouts receiver))" test "$(timeouts receiver)" = 11
check "no sender: the receiver says nobody answered" \
  grep -q 'no ZMODEM sender answered' "$work/receiver.out"
check "no sender: the receiver ended within its budget ($(cat "$work/receiver.seconds") s)" \
  awk -v s="$(cat "$work/receiver.seconds")" 'BEGIN { exit !(s < 90) }'
check "no sender: nothing was stored" test -z "$(find "$work/receiver" -maxdepth 1 -type f ! -name line ! -name nullmodem.err)"

e2e_finish
