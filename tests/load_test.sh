#!/usr/bin/env bash
# Load end to end, over the virtual null-modem:
#   (a) one sz session of 200 small files into `zmodem /r`: every file identical, and the
#       receiver never holds more than one received file open (no descriptor kept per file);
#   (b) a 256 MiB file from `zmodem /s` to `zmodem /r` on the unpaced line: identical, and each
#       side's peak resident size stays a small fixed ceiling, far below the file;
#   (c) 20 sessions back to back on one pair of devices: each file identical, the devices'
#       settings as each session found them, no zmodem process and no open descriptor left on
#       the devices afterwards, and the null-modem's own descriptors constant.
# Usage: load_test.sh BUILD_DIR
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"
e2e_init "$1" load
mkdir -p "$src_dir"

# (a) 200 small files of varied sizes (up to 4 KiB) in one sz session. The line is paced so that
# the session lasts a few seconds, and the receiver's descriptors are sampled all along: a
# descriptor leaked per file would pile up (about 100 extra by the middle of the session), so
# samples taken after the first 100 files were closed show it for certain.
names=()
for i in $(seq -w 1 200); do
  head -c $(((10#$i * 523) % 4097)) /dev/urandom > "$src_dir/small$i.bin"
  names+=("small$i.bin")
done

sample_receiver_fds() {
  local p counts files others
  max_files=0 min_others=999 late_max_others=0 samples=0 late_samples=0
  while p=$(program_pid "$rx_pid"); [ -n "$p" ]; do
    # One pass over the descriptors: those on received files, and all others (inherited ones,
    # standard streams, the device).
    counts=$(find "/proc/$p/fd" -mindepth 1 -printf '%l\n' 2>/dev/null \
      | awk -v rx="$run_dir/rx/" 'index($0, rx) == 1 { f++; next } { o++ } END { print f + 0, o + 0 }')
    read -r files others <<< "$counts"
    [ "$others" -gt 0 ] || break
    samples=$((samples + 1))
    [ "$files" -gt "$max_files" ] && max_files=$files
    [ "$others" -lt "$min_others" ] && min_others=$others
    if [ "$(grep -c '^closing file' "$run_dir/rx.out")" -ge 100 ]; then
      late_samples=$((late_samples + 1))
      [ "$others" -gt "$late_max_others" ] && late_max_others=$others
    fi
    sleep 0.02
  done
}

run_dir=$work/a
mkdir -p "$run_dir"
transfer_hook=sample_receiver_fds
transfer sz ours "--rate 100000" "${names[@]}"
transfer_hook=
check "(a) sz -> zmodem /r, 200 files in one session: all identical" all_same "${names[@]}"
check "(a) both exit 0 (sz $tx_status, zmodem $rx_status) in ${elapsed}s" test "$tx_status$rx_status" = 00
check "(a) 200 files closed" test "$(grep -c '^closing file' "$run_dir/rx.out")" = 200
check "(a) at most one received file open at a time (max $max_files; $samples samples, $late_samples after 100 files)" \
  test "$max_files" -le 1 -a "$late_samples" -ge 3
# A descriptor opened for a moment is allowed; one kept per file would have added about 100.
check "(a) no other descriptors pile up (fewest $min_others, most after 100 files $late_max_others)" \
  test "$late_max_others" -le $((min_others + 1))

# (b) 256 MiB on the unpaced line, both sides zmodem, under /usr/bin/time for the peak resident
# size (ru_maxrss, KiB). The ceiling is a fixed 32 MiB: streaming holds a few buffers whatever the
# file's size, so the figure does not grow with the file (it is a few MiB here, and under
# AddressSanitizer about 18 MiB for 64 MiB and 256 MiB alike, at about a third of the speed).
big_mib=256 ceiling_kib=32768
if [ -x /usr/bin/time ]; then
  run_dir=$work/b
  mkdir -p "$run_dir"
  head -c $((big_mib * 1048576)) /dev/urandom > "$src_dir/big.bin"
  measure_rss=1 xfer_timeout=600
  transfer ours ours "" big.bin
  measure_rss=0 xfer_timeout=120
  tx_rss=$(tail -n 1 "$run_dir/tx.rss" 2>/dev/null)
  rx_rss=$(tail -n 1 "$run_dir/rx.rss" 2>/dev/null)
  check "(b) $big_mib MiB zmodem /s -> zmodem /r: identical" same big.bin
  check "(b) both exit 0 ($tx_status $rx_status) in ${elapsed}s" test "$tx_status$rx_status" = 00
  check "(b) sender peak resident size ${tx_rss:-?} KiB under $ceiling_kib KiB" \
    test "${tx_rss:-999999999}" -lt "$ceiling_kib"
  check "(b) receiver peak resident size ${rx_rss:-?} KiB under $ceiling_kib KiB" \
    test "${rx_rss:-999999999}" -lt "$ceiling_kib"
  rm -f "$src_dir/big.bin" "$run_dir/rx/big.bin"
else
  check "(b) /usr/bin/time is installed (apt-get install time), to measure peak memory" false
fi

# (c) 20 sessions back to back on one null-modem.
# Settings: zmodem sets its own (9600 baud, reads that return at once), unlike what the null-modem
# leaves on the devices (38400 baud, reads of at least one byte), so a setting it failed to put
# back shows in `stty -a` after the session.
# Descriptors: each session is a new process, so a descriptor it leaks dies with it; what can
# outlive a session is a process, or a descriptor some process still holds on a device. After
# each session nothing but the null-modem may have either device open. Within a session the
# receiver is looked at while it waits for the sender (its device open, the sender not started):
# by then it has opened the device and nothing else.
for i in $(seq -w 1 20); do head -c $((20000 + 10#$i * 999)) /dev/urandom > "$src_dir/session$i.bin"; done

# receiver_waiting: waits until the receiver has opened its device, then notes in rx_own_fds the
# descriptors it opened itself: those its parent, timeout(1), does not hold (it inherits the rest).
rx_own_fds=
receiver_waiting() {
  local t p tries=0
  while [ "$tries" -lt 250 ]; do
    p=$(program_pid "$rx_pid")
    t=$(ps -o ppid= -p "${p:-0}" 2>/dev/null | tr -d ' ')
    if [ -n "$t" ] && [ -n "$(find "/proc/$p/fd" -mindepth 1 -lname "$port_b" 2>/dev/null)" ]; then
      rx_own_fds=$(comm -23 <(fd_list "$p") <(fd_list "$t") | sed "s|=$port_b\$|=DEVICE|" \
        | tr '\n' ' ')
      return
    fi
    sleep 0.02; tries=$((tries + 1))
  done
  rx_own_fds="(the receiver never opened the device)"
}
fd_list() { find "/proc/$1/fd" -mindepth 1 -printf '%f=%l\n' 2>/dev/null | sort; }

# Processes of this test's zmodem still running, and processes other than the null-modem that
# hold either device open.
leftover_zmodem() {
  local exe p
  for exe in $(find /proc/[0-9]*/exe -maxdepth 0 -lname "$zmodem" 2>/dev/null); do
    p=${exe%/exe}
    [[ $(readlink "$p/cwd" 2>/dev/null) == "$work"* ]] && echo "${p#/proc/}"
  done
}
device_holders() {
  find /proc/[0-9]*/fd -mindepth 1 -maxdepth 1 \( -lname "$port_a" -o -lname "$port_b" \) \
    2>/dev/null | cut -d/ -f3 | sort -u | grep -vx "$nm_pid"
}

run_dir=$work/c
mkdir -p "$run_dir"
start_line
nm_fds=$(find "/proc/$nm_pid/fd" -mindepth 1 | wc -l)
bad=()
rx_ready_hook=receiver_waiting
for i in $(seq -w 1 20); do
  before_a=$(stty -a -F "$port_a"); before_b=$(stty -a -F "$port_b")
  run_pair ours ours "session$i.bin"
  problems=()
  same "session$i.bin" || problems+=("file differs")
  [ "$tx_status$rx_status" = 00 ] || problems+=("statuses $tx_status $rx_status")
  [ "$(stty -a -F "$port_a")" = "$before_a" ] || problems+=("sender's device settings changed")
  [ "$(stty -a -F "$port_b")" = "$before_b" ] || problems+=("receiver's device settings changed")
  [ -z "$(leftover_zmodem)" ] || problems+=("zmodem left running: $(leftover_zmodem)")
  [ -z "$(device_holders)" ] || problems+=("device still open in: $(device_holders)")
  now_fds=$(find "/proc/$nm_pid/fd" -mindepth 1 | wc -l)
  [ "$now_fds" = "$nm_fds" ] || problems+=("null-modem holds $now_fds descriptors, had $nm_fds")
  [[ $rx_own_fds =~ ^[0-9]+=DEVICE\ $ ]] || problems+=("the waiting receiver opened: $rx_own_fds")
  [ ${#problems[@]} -eq 0 ] || bad+=("session $i: $(IFS=';'; echo "${problems[*]}")")
done
rx_ready_hook=
stop_line
[ ${#bad[@]} -eq 0 ] || printf '  %s\n' "${bad[@]}"
check "(c) 20 sessions on one line: identical, exit 0, settings kept, nothing left open or running" \
  test ${#bad[@]} -eq 0
echo "  null-modem descriptors: $nm_fds; opened by the waiting receiver: $rx_own_fds"

e2e_finish
