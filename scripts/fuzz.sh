#!/usr/bin/env bash
# Runs every fuzz harness of build-fuzz/ (made by `make fuzz`) for FUZZ_SECONDS
# seconds (default 60), FUZZ_JOBS of them at a time (default 2). Each starts
# from its seed corpus in tests/fuzz/<name>/ and from what earlier runs found
# (build-fuzz/corpus/<name>/). Prints one line per harness and exits non-zero
# when any of them tripped; the input that did it is left in
# build-fuzz/artifacts/. Copy such an input into tests/fuzz/<name>/ with the fix,
# so that the corpus replay of `make test` keeps it as a test.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-2}
dir=build-fuzz
targets=(session kanji config userfile registry discon port)
mkdir -p "$dir/logs" "$dir/artifacts"

run_one() {
  local t=$1
  local corpus="$dir/corpus/$t"
  local args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=20 -rss_limit_mb=2048
              -artifact_prefix="$dir/artifacts/$t-")
  [ -f "tests/fuzz/$t.dict" ] && args+=(-dict="tests/fuzz/$t.dict")
  mkdir -p "$corpus"
  "$dir/fuzz/fuzz_$t" "${args[@]}" "$corpus" "tests/fuzz/$t" >"$dir/logs/$t.log" 2>&1
  echo $? >"$dir/logs/$t.rc"
}

running=0
for t in "${targets[@]}"; do
  if [ ! -x "$dir/fuzz/fuzz_$t" ]; then
    echo "fuzz: $dir/fuzz/fuzz_$t is missing (run make fuzz)" >&2
    exit 2
  fi
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

failed=0
for t in "${targets[@]}"; do
  rc=$(cat "$dir/logs/$t.rc")
  execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$dir/logs/$t.log")
  rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$dir/logs/$t.log")
  inputs=$(find "$dir/corpus/$t" -type f | wc -l)
  if [ "$rc" = 0 ]; then
    printf 'fuzz: %-9s %10s executions (%s/s), %s inputs in the corpus, nothing found\n' \
      "$t" "${execs:-?}" "${rate:-?}" "$inputs"
  else
    failed=1
    found=$(grep -o 'Test unit written to .*' "$dir/logs/$t.log" | tail -1)
    printf 'fuzz: %-9s FOUND A FAULT (exit %s) %s\n' "$t" "$rc" "$found"
    grep -m1 -E 'ERROR|runtime error|SUMMARY' "$dir/logs/$t.log" | sed 's/^/      /'
  fi
done
exit $failed
