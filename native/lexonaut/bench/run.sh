#!/bin/sh
# Benchmarks of lexonaut against the scripted model server; $1 is the
# release build directory. Prints each figure against its baseline.
set -eu
build=$1
here=$(cd "$(dirname "$0")" && pwd)
find_program() {
  for candidate in "$build/native/lexonaut/$1" "$build/lexonaut/$1"; do
    [ -x "$candidate" ] && { echo "$candidate"; return; }
  done
  find "$build" -type f -name "$1" -perm -u+x | head -n 1
}
exec python3 "$here/bench.py" "$(find_program lexonaut)" "$(find_program lexonaut_bench_client)" \
  "$here/../../platform/model/tests/scripted_server.py"
