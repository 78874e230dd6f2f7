#!/bin/sh
# Lists this week's events (Monday 00:00 to next Monday 00:00, local time) from
# the example calendar store: the line datewise writes, then the same object
# pretty-printed.
set -eu
build=$1
root=$(cd "$(dirname "$0")/.." && pwd)
datewise="$build/native/datewise/datewise"
store="$root/native/datewise/examples/store"
[ -x "$datewise" ] || { echo "demo: $datewise is not built" >&2; exit 1; }
[ -d "$store" ] || { echo "demo: no example store at $store" >&2; exit 1; }

# mktime takes the local zone and its daylight-saving changes into account.
window=$(python3 -c '
import datetime, time
today = datetime.date.today()
monday = today - datetime.timedelta(days=today.weekday())
start = time.mktime(monday.timetuple())
end = time.mktime((monday + datetime.timedelta(days=7)).timetuple())
print("--from-ms=%d --to-ms=%d" % (start * 1000, end * 1000))')

echo "\$ datewise --events $window"
status=0
line=$(DATEWISE_STORE="$store" "$datewise" --events $window) || status=$?
printf '%s\n' "$line"
echo
printf '%s\n' "$line" | python3 -m json.tool --no-ensure-ascii
echo "exit code: $status"
