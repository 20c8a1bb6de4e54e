#!/usr/bin/env bash
# A transfer interrupted mid-file by SIGINT, SIGHUP or SIGTERM, on either side, between two
# zmodem processes: the interrupted side exits 128+n, says so, puts the device back as it found
# it, and sends the abort sequence, so the other side stops at once with ZMD010 and status 3
# instead of waiting out its retries. The receiver's partial file holds only verified bytes.
# Usage: interrupt_test.sh BUILD_DIR
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"
e2e_init "$1" interrupt

mkdir -p "$src_dir"
head -c 262144 /dev/urandom > "$src_dir/big.bin"

# SIDE SIGNAL STATUS: which side is interrupted, by what, and the status it must exit with.
rows=("rx INT 130" "rx HUP 129" "tx TERM 143" "tx INT 130")

for row in "${rows[@]}"; do
  read -r side signal expected <<< "$row"
  rm -rf "$work/rx"; mkdir -p "$work/rx"
  run_dir=$work
  start_line --rate 20000
  if [ "$side" = rx ]; then device=$port_b; else device=$port_a; fi
  stty -F "$device" sane
  before=$(stty -F "$device" -g)
  (cd "$work/rx" && ZMODEM_PORT=$port_b exec "$zmodem" /r > "$work/rx.out" 2>&1) &
  rx_pid=$!
  sleep 0.3
  (cd "$src_dir" && ZMODEM_PORT=$port_a exec "$zmodem" /s big.bin > "$work/tx.out" 2>&1) &
  tx_pid=$!
  # Interrupt once the data flows: the received file has grown past its first block.
  for _ in $(seq 1 100); do
    [ "$(stat -c %s "$work/rx/big.bin" 2>/dev/null || echo 0)" -gt 2048 ] && break
    sleep 0.1
  done
  if [ "$side" = rx ]; then victim=$rx_pid other=$tx_pid other_side=tx; else
    victim=$tx_pid other=$rx_pid other_side=rx; fi
  kill -"$signal" "$victim"
  wait "$victim"; status=$?
  # The other side must stop by itself; after 30 s it is killed and the row fails.
  run_with_timeout 30 tail --pid="$other" -f /dev/null
  kill -KILL "$other" 2>/dev/null
  wait "$other"; other_status=$?
  after=$(stty -F "$device" -g)
  stop_line
  label="$side interrupted by SIG$signal"
  check "$label: exits $expected (got $status)" test "$status" = "$expected"
  check "$label: says so" grep -q "ZMD013 Interrupted by SIG$signal" "$work/$side.out"
  check "$label: the device's settings are restored" test "$before" = "$after"
  check "$label: the other side hears the abort and exits 3 (got $other_status)" \
    sh -c "[ $other_status = 3 ] && grep -q 'ZMD010' '$work/$other_side.out'"
  got=$(stat -c %s "$work/rx/big.bin" 2>/dev/null || echo 0)
  check "$label: the partial file ($got bytes) is a verified prefix" \
    sh -c "[ $got -gt 0 ] && [ $got -lt 262144 ] && cmp -s -n $got '$src_dir/big.bin' '$work/rx/big.bin'"
done

e2e_finish
