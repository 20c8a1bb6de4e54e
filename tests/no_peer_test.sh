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

timeouts() { grep -c '^ZMD009 Timeout$' "$work/$1.out"; }

# ROLE, the time-outs it shows, the side it waits for, and its budget in seconds. The sender's
# ten wake-ups and eleven ZFINs, and the receiver's eleven invitations, each time out; the last
# time-out is the error the run ends on, printed last.
for row in "sender 21 receiver 150" "receiver 11 sender 90"; do
  read -r role shown peer budget <<< "$row"
  status=$(cat "$work/$role.status")
  seconds=$(cat "$work/$role.seconds")
  check "no $peer: the $role exits 3 (got $status)" test "$status" = 3
  check "no $peer: $shown time-outs shown ($(timeouts "$role"))" test "$(timeouts "$role")" = "$shown"
  check "no $peer: the $role says nobody answered" grep -q "no ZMODEM $peer answered" "$work/$role.out"
  check "no $peer: the $role ended within its budget ($seconds s)" \
    awk -v s="$seconds" -v b="$budget" 'BEGIN { exit !(s < b) }'
done
check "no sender: nothing was stored" \
  test -z "$(find "$work/receiver" -maxdepth 1 -type f ! -name line ! -name nullmodem.err)"

e2e_finish
