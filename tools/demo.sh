#!/usr/bin/env bash
# Shows zmodem doing its main job on the built-in virtual serial line: a null-modem paced like a
# 9600-baud cable, a receiver in a fresh directory, a sender with a sample file of a few KiB.
set -euo pipefail
build=${1:-build}
zmodem=$(realpath "$build/zmodem")
nullmodem=$(realpath "$build/nullmodem")
work=$(mktemp -d /tmp/zmodem-demo.XXXXXX)
nm_pid=
rx_pid=
cleanup() {
  [ -n "$rx_pid" ] && kill "$rx_pid" 2>/dev/null || true
  [ -n "$nm_pid" ] && kill "$nm_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/received"
# A sample text file of 6 KiB.
for i in $(seq 1 96); do
  printf 'line %03d: the quick brown fox jumps over the lazy dog, 0123456789\n' "$i"
done | head -c 6144 > "$work/sample.txt"
size=$(stat -c %s "$work/sample.txt")

"$nullmodem" --rate 960 > "$work/line" 2> "$work/nullmodem.log" &
nm_pid=$!
for _ in $(seq 1 100); do [ "$(wc -l < "$work/line")" -ge 2 ] && break; sleep 0.05; done
port_a=$(sed -n 1p "$work/line")
port_b=$(sed -n 2p "$work/line")
echo "virtual null-modem at 960 bytes/s: $port_a <-> $port_b"

start=$(date +%s.%N)
(cd "$work/received" && ZMODEM_PORT=$port_b exec "$zmodem" /r > "$work/receiver.out" 2>&1) &
rx_pid=$!
set +e
(cd "$work" && ZMODEM_PORT=$port_a "$zmodem" /s sample.txt > "$work/sender.out" 2>&1)
tx_status=$?
wait "$rx_pid"
rx_status=$?
rx_pid=
set -e
end=$(date +%s.%N)

echo
echo "--- sender (zmodem /s sample.txt), exit status $tx_status"
cat "$work/sender.out"; echo
echo "--- receiver (zmodem /r), exit status $rx_status"
cat "$work/receiver.out"; echo
echo "---"
if cmp -s "$work/sample.txt" "$work/received/sample.txt"; then
  echo "received copy is identical ($size bytes)"
else
  echo "received copy DIFFERS"; exit 1
fi
awk -v s="$start" -v e="$end" -v n="$size" 'BEGIN {
  t = e - s; printf "time %.2f s, %.0f bytes/s, %.1f%% of the line'"'"'s 960 bytes/s\n", t, n / t, 100 * n / t / 960 }'
[ "$tx_status" -eq 0 ] && [ "$rx_status" -eq 0 ]
