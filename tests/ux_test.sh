#!/usr/bin/env bash
# User-facing checks on the built program: the progress line and summary under a real terminal,
# silence on standard error otherwise, `make install` into a scratch prefix, and the manual page
# rendering without warnings.
# Usage: ux_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1
build=$2
source "$(dirname "$0")/e2e_lib.sh"
e2e_init "$build" ux

head -c 12000 /dev/urandom > "$work/payload.bin"

# 1. Under a terminal: sender's standard error is a pseudo-terminal made by script(1).
start_line --rate 6000
mkdir -p "$work/rx1"
(cd "$work/rx1" && ZMODEM_PORT=$port_b exec "$zmodem" /r > "$work/rx1.out" 2> "$work/rx1.err") &
rx_pid=$!
# The sender starts once the receiver holds the device (and has drained it): a wake-up sent
# earlier is dropped, costs a time-out and would show as a retry.
for _ in $(seq 1 250); do
  [ -n "$(find "/proc/$rx_pid/fd" -mindepth 1 -lname "$port_b" 2>/dev/null)" ] && break
  sleep 0.02
done
sleep 0.3
(cd "$work" && ZMODEM_PORT=$port_a script -qec "$zmodem /s payload.bin" /dev/null \
   > "$work/tty.out" 2>&1 < /dev/null)
wait $rx_pid
stop_line
check "file delivered under a terminal" cmp -s "$work/payload.bin" "$work/rx1/payload.bin"
check "progress line shows name, total, percent, rate, ETA and retries" \
  grep -aqE 'payload\.bin  [0-9.]+ KiB / 11\.7 KiB +[0-9]+%  [0-9.]+ (B|KiB)/s  ETA [0-9-]+:[0-9-]+  retries 0' "$work/tty.out"
check "summary line with bytes, time, rate, efficiency and retries" \
  grep -aqE 'payload\.bin: 12000 bytes \(11\.7 KiB\) in [0-9.]+ s, [0-9.]+ (B|KiB)/s, [0-9.]+% of the line at 9600 baud, 0 retries' "$work/tty.out"
check "the status line is cleared before a message on standard output" \
  grep -aqP '\r\x1b\[K(seeking to offset|opening file|Zmodem|payload)' "$work/tty.out"
check "the standard-output messages stay intact" grep -aq 'seeking to offset 0' "$work/tty.out"

# 2. Not a terminal: nothing on standard error.
check "no extra output when standard error is not a terminal" test ! -s "$work/rx1.err"

# 3. make install into a scratch prefix.
make -C "$src" install BUILD="$build" PREFIX="$work/prefix" > "$work/install.log" 2>&1
check "make install puts zmodem, zmodem-nullmodem and the manual in place" \
  test -x "$work/prefix/bin/zmodem" -a -x "$work/prefix/bin/zmodem-nullmodem" \
       -a -f "$work/prefix/share/man/man1/zmodem.1"
check "installed null-modem runs" sh -c "'$work/prefix/bin/zmodem-nullmodem' --help >/dev/null"

# 4. The manual renders without warnings.
warnings=$(MANWIDTH=80 man -l "$src/doc/zmodem.1" 2>&1 >/dev/null; groff -man -ww -z "$src/doc/zmodem.1" 2>&1)
check "man -l renders the manual without warnings" test -z "$warnings"
check "the manual names every code" sh -c "for c in ZMD001 ZMD002 ZMD004 ZMD005 ZMD006 ZMD007 ZMD008 ZMD009 ZMD010 ESL001 ZMODEM_PORT ZMODEM_BAUD; do grep -q \"\$c\" '$src/doc/zmodem.1' || exit 1; done"

e2e_finish
