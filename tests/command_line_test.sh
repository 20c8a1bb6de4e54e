#!/usr/bin/env bash
# The command line as a table of cases against the built program: messages, exit statuses, and
# whether the serial port was opened. Then a receiver stopped by SIGTERM: exit status 143, the
# abort sequence on the line and the device's settings restored.
# Usage: command_line_test.sh BUILD_DIR
set -uo pipefail
build=$1
source "$(dirname "$0")/e2e_lib.sh"
e2e_init "$build" cli

start_line
long_name=$(printf 'n%.0s' $(seq 1 300))

banner=$'\nZmodem program...'
# run_case STATUS EXPECTED ENV ARGS...: EXPECTED is the exact output, or ~TEXT for a part of it.
run_case() {
  local want_status=$1 want_out=$2 env_kv=$3
  shift 3
  local out status ok=1
  out=$(env ZMODEM_PORT="$port_a" $env_kv "$zmodem" "$@" < /dev/null 2>&1)
  status=$?
  [ "$status" = "$want_status" ] || ok=0
  if [[ $want_out == ~* ]]; then
    [[ $out == *"${want_out#\~}"* ]] || ok=0
  else
    [ "$out" = "$want_out" ] || ok=0
  fi
  # The line must not have been opened.
  [[ $out == *"successfully reconfigured"* ]] && ok=0
  if [ $ok = 1 ]; then echo "ok: zmodem ${*:1:2} ($env_kv) -> $status"; else
    echo "FAILED: zmodem ${*:1:2} ($env_kv): status $status, output: $(printf '%q' "$out")"
    failures=$((failures + 1))
  fi
}

run_case 1 "${banner}"$'\nUsage: zmodem /r /s [filename]' ""
run_case 1 "${banner}"$'\nUsage: zmodem /r /s [filename]' "" /s a b
run_case 1 "${banner}"$'\nUnrecognized argument' "" r
run_case 1 "${banner}"$'\nUnrecognized argument' "" /x name
run_case 1 "${banner}"$'\nUnrecognized argument' "" /
run_case 1 "${banner}"$'\nError: send requires filename' "" /s
run_case 1 "~file name too long (300 characters, at most 259)" "" /s "$long_name"
run_case 1 '~Invalid ZMODEM_BAUD "1234"' ZMODEM_BAUD=1234 /r
run_case 1 '~Invalid ZMODEM_BAUD "abc"' ZMODEM_BAUD=abc /r
run_case 2 "~cannot open serial port /nonexistent/tty: No such file or directory" \
  ZMODEM_PORT=/nonexistent/tty /r

# A receiver stopped by SIGTERM: the peer gets the abort sequence, the device's settings return.
stty -F "$port_b" sane
before=$(stty -F "$port_b" -g)
cat "$port_a" > "$work/wire" &
cat_pid=$!
(cd "$work" && ZMODEM_PORT=$port_b exec "$zmodem" /r extra > "$work/rx.out" 2>&1) &
rx_pid=$!
sleep 1
kill -TERM "$rx_pid"
wait "$rx_pid"
status=$?
sleep 0.3
kill "$cat_pid" 2>/dev/null
wait "$cat_pid" 2>/dev/null
after=$(stty -F "$port_b" -g)
check "SIGTERM exits 143 (got $status)" test "$status" = 143
check "the extra word after /r is ignored and the receiver invites a sender" \
  grep -aq $'\\*\\*\x18B0100000023be50' "$work/wire"
check "the abort sequence goes out" grep -aq $'\x18\x18\x18\x18\x18\x18\x18\x18\b\b\b\b\b\b\b\b\b\b' "$work/wire"
check "the interruption is reported" grep -q "ZMD013 Interrupted by SIGTERM" "$work/rx.out"
check "the device's settings are restored" test "$before" = "$after"

e2e_finish
