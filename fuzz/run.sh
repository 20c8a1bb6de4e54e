#!/usr/bin/env bash
# Builds the libFuzzer targets into build-fuzz (clang, ASan, UBSan) and runs each for a set time:
#   bash fuzz/run.sh [SECONDS]        (default 30 per target; `make fuzz FUZZ_SECONDS=N`)
# Each target starts from a scratch copy of its committed seeds (and of its regression cases), so
# the committed corpus does not grow. Prints per target the executions and whether anything was
# found; inputs that crashed are kept under fuzz/corpus-work/artifacts/. Exits 1 when a target
# found something.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
build=build-fuzz
targets=(fuzz_header fuzz_subpacket fuzz_file_info fuzz_receiver)
work="$PWD/fuzz/corpus-work"

mkdir -p "$work/artifacts"
configure=(-DZMODEM_FUZZ=ON -DBUILD_TESTING=OFF)
[ -f "$build/CMakeCache.txt" ] || configure+=(-DCMAKE_CXX_COMPILER=clang++)
if ! { cmake -S . -B "$build" "${configure[@]}" &&
       cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"; } </dev/null >"$work/build.log" 2>&1; then
  cat "$work/build.log"
  echo "fuzz: building the targets failed" >&2
  exit 2
fi

failed=0
for target in "${targets[@]}"; do
  corpus="$work/$target"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  for seeds in "fuzz/corpus/$target" "fuzz/regressions/$target"; do
    [ -d "$seeds" ] && cp "$seeds"/* "$corpus"/ 2>/dev/null
  done
  log="$work/$target.log"
  # Standard output is closed: the engine's progress messages would only slow the run.
  "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" \
    </dev/null >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  [ -n "$runs" ] || runs=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
  found=$(sed -n 's/.*Test unit written to \([^ ]*\).*/\1/p' "$log" | sort -u | tr '\n' ' ')
  if [ "$status" -eq 0 ] && [ -z "$found" ]; then
    printf '%-16s %12s executions in %ss, nothing found\n' "$target" "${runs:-?}" "$seconds"
  else
    failed=1
    printf '%-16s %12s executions, FOUND (exit %s): %s(log: %s)\n' "$target" "${runs:-?}" \
      "$status" "${found:-see log }" "$log"
    grep -m 3 -E '^(==[0-9]+==ERROR|fuzz check failed|SUMMARY|.*runtime error)' "$log" | sed 's/^/    /'
  fi
done
exit "$failed"
