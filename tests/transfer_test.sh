#!/usr/bin/env bash
# End-to-end transfers between two processes over the virtual null-modem: zmodem against Debian's
# lrzsz (sz, rz, run as black-box peers) and against itself, clean, paced and noisy lines, and a
# cable pulled out mid-file. Each case checks the received bytes and both exit statuses.
# Usage: transfer_test.sh BUILD_DIR
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"
e2e_init "$1" e2e

# Files of the sizes that shape the stream, plus 1 MiB of random bytes, text, a name with spaces.
mkdir -p "$work/src"
for n in 0 1 1023 1024 2048 2500; do head -c "$n" /dev/urandom > "$work/src/f$n.bin"; done
head -c 1048576 /dev/urandom > "$work/src/random1m.bin"
for i in $(seq 1 400); do echo "line $i: text with CR LF \r\n and tabs	here"; done > "$work/src/notes.txt"
head -c 3000 /dev/urandom > "$work/src/name with spaces.bin"
head -c 65536 /dev/urandom > "$work/src/noisy64k.bin"
head -c 3072 /dev/urandom > "$work/src/paced3k.bin"
head -c 102400 /dev/urandom > "$work/src/cut100k.bin"

shapes=(f0.bin f1.bin f1023.bin f1024.bin f2048.bin f2500.bin random1m.bin notes.txt)

# sz -> zmodem /r: every file in one session, including a name with spaces.
transfer sz ours "" "${shapes[@]}" "name with spaces.bin"
check "sz -> zmodem /r: ${#shapes[@]}+1 files in one session arrive identical" \
  all_same "${shapes[@]}" "name with spaces.bin"
check "sz -> zmodem /r: both exit 0 (sz $tx_status, zmodem $rx_status)" test "$tx_status$rx_status" = 00
check "sz -> zmodem /r: files opened and closed" \
  test "$(grep -c '^closing file' "$work/rx.out")" = 9 -a -n "$(grep 'opening file name with spaces.bin' "$work/rx.out")"

# zmodem /s -> rz and -> zmodem /r, one file per session.
for receiver in rz ours; do
  bad=0
  for f in "${shapes[@]}"; do
    transfer ours "$receiver" "" "$f"
    if ! same "$f" || [ "$tx_status$rx_status" != 00 ]; then
      echo "  $f: sender $tx_status, receiver $rx_status"; bad=1
    fi
  done
  check "zmodem /s -> $receiver: every size arrives identical, both exit 0" test $bad = 0
done

# A line paced like a 9600-baud cable, in each pairing that involves us.
for pair in "sz ours" "ours rz" "ours ours"; do
  transfer $pair "--rate 960" paced3k.bin
  check "paced 960 B/s, ${pair/ / -> }: identical, both exit 0 ($tx_status $rx_status)" \
    sh -c "cmp -s '$work/src/paced3k.bin' '$work/rx/paced3k.bin' && [ $tx_status$rx_status = 00 ]"
done

# A noisy line: bit errors at 1e-4 with a fixed seed, on a fast paced line, in every pairing that
# involves us. Our receiver shows each error it retries (about seven damaged bytes reach it).
for pair in "ours rz" "ours ours" "sz ours"; do
  transfer $pair "--rate 20000 --ber 1e-4 --seed 7" noisy64k.bin
  check "ber 1e-4, ${pair/ / -> }: identical, both exit 0 ($tx_status $rx_status)" \
    sh -c "cmp -s '$work/src/noisy64k.bin' '$work/rx/noisy64k.bin' && [ $tx_status$rx_status = 00 ]"
  if [ "${pair#* }" = ours ]; then
    check "ber 1e-4, ${pair/ / -> }: the receiver showed the errors it retried" \
      grep -Eq '^ZMD00[4-9] ' "$work/rx.out"
  fi
done

# The cable pulled out mid-file (sender to receiver): the receiver retries, then gives up with
# status 3, keeping only a verified prefix of the file.
transfer ours ours "--cut-after 20000 --dir a2b" cut100k.bin
check "cut mid-file: the receiver ends with status 3 (got $rx_status)" test "$rx_status" = 3
check "cut mid-file: the sender ends with status 3 (got $tx_status)" test "$tx_status" = 3
got=$(stat -c %s "$work/rx/cut100k.bin" 2>/dev/null || echo 0)
check "cut mid-file: the partial file ($got bytes) is a prefix of the original" \
  sh -c "[ $got -gt 0 ] && [ $got -lt 102400 ] && cmp -s -n $got '$work/src/cut100k.bin' '$work/rx/cut100k.bin'"
check "cut mid-file: the receiver says why" grep -q 'ZMD009 Timeout' "$work/rx.out"

e2e_finish
