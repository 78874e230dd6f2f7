#!/bin/sh
# The calendar store's benchmark: datewise --events over generated stores of
# 1,000, 10,000 and 100,000 events, against khal listing the same week.
# $1: the release build directory.
set -eu
exec python3 "$(dirname "$0")/bench.py" "$1"
