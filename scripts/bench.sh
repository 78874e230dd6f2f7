#!/bin/sh
# Runs every module's benchmark (native/**/bench/run.sh) against the release
# build in BUILD. Each prints its figures as ratios against a baseline
# measured in the same run.
set -eu
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
for script in $(find "$root/native" -path '*/bench/run.sh' | sort); do
  echo "== $(dirname "$(dirname "$script")" | sed "s|$root/||")"
  sh "$script" "$build"
done
