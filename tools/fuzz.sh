#!/usr/bin/env bash
# Builds the fuzzers with clang-14's libFuzzer (AddressSanitizer and UndefinedBehaviorSanitizer)
# in build-fuzz and runs each for SECONDS (default 60), or only the NAMEs given after it
# (tools/fuzz.sh 600 import), one after the other, from the
# committed seeds; prints the executions of each and the total. New inputs gather in
# build-fuzz/corpus/NAME, a crashing input in build-fuzz/findings/. Exit 1 on a finding.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
only=" $* "

tools/install-deps.sh
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBROLIX_FUZZ=ON -DBROLIX_TESTS=OFF -DBROLIX_BENCH=OFF > /dev/null
ninja -C build-fuzz $([[ "$only" == "  " ]] && echo fuzzers || printf 'fuzz_%s ' "$@")

mkdir -p build-fuzz/findings
total=0
status=0
report=()
for seeds in tests/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  [[ "$only" == "  " || "$only" == *" $name "* ]] || continue
  mkdir -p "build-fuzz/corpus/$name"
  log="build-fuzz/fuzz_$name.log"
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build-fuzz/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 -close_fd_mask=1 \
      -artifact_prefix="build-fuzz/findings/$name-" "build-fuzz/corpus/$name" "$seeds" > "$log" 2>&1 || status=1
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  runs=${runs:-0}
  total=$((total + runs))
  if grep -q '^==.*ERROR\|^SUMMARY\|deadly signal' "$log"; then
    status=1
    report+=("$name: FINDING, see $log")
  fi
  printf '%-12s %12d executions in %ss\n' "$name" "$runs" "$seconds"
done
printf '%-12s %12d executions\n' total "$total"
for line in "${report[@]+"${report[@]}"}"; do echo "$line"; done
exit $status
