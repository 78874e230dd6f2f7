#!/bin/sh
# Runs each libFuzzer target in BUILD for SECONDS. Corpora persist in
# BUILD/corpus/NAME, crashes in BUILD/findings/NAME; seeds come from the
# target's seeds folder in the source tree when it has one.
set -eu
build=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for fuzzer in $(find "$build" -type f -name 'fuzz_*' -perm -u+x | sort); do
  name=$(basename "$fuzzer")
  corpus="$build/corpus/$name"
  findings="$build/findings/$name"
  mkdir -p "$corpus" "$findings"
  seeds=$(find "$root/native" -type d -path "*/fuzz/seeds/$name" | head -n 1)
  echo "fuzzing $name for ${seconds}s"
  if ! "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/" \
      "$corpus" ${seeds:+"$seeds"} > "$build/$name.log" 2>&1; then
    echo "$name failed; see $build/$name.log"
    tail -n 40 "$build/$name.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units' "$build/$name.log" | sed "s/^/  $name: /"
  fi
done
exit $status
