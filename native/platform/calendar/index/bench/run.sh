#!/bin/sh
# The index benchmark: the release build in $1. Ratios against baselines
# measured in the same run (khal's warm cache, and a full read of the store).
# INDEX_BENCH_SIZES overrides the store sizes (default "10000 100000").
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
exec python3 "$here/index_bench.py" "$build" ${INDEX_BENCH_SIZES:-10000 100000}
