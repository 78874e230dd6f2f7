#!/bin/sh
# Runs the capture protocol benchmarks in the release build BUILD and prints
# each figure as a ratio against its baseline from the same run, with its
# goal. CPU time of the benchmark's own thread is compared (wall time for the
# writer, whose work is on other threads), highest rate of five repetitions.
set -eu
build=$1
bench="$build/native/sonari/CaptureProtocol/capture_bench"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$bench" --benchmark_format=json --benchmark_report_aggregates_only=true > "$out"
python3 - "$out" <<'PY'
import json, sys

runs = json.load(open(sys.argv[1]))["benchmarks"]
fastest = {}
for r in runs:
    if r.get("aggregate_name") != "max":
        continue
    name = r["run_name"].split("/iterations")[0]
    fastest[name] = r

def rate(name):
    r = fastest[name]
    return r.get("bytes_per_second") or r.get("items_per_second")

def per_byte(name):
    return 1.0 / rate(name)

failed = 0
def report(label, ratio, goal, ok):
    global failed
    failed += 0 if ok else 1
    print(f"  {label}: {ratio:.2f} (goal {goal}) {'ok' if ok else 'MISSED'}")

for chunk in ("4096", "65536"):
    r = rate(f"BM_DecodePcm/{chunk}") / rate(f"BM_Memcpy/{chunk}")
    report(f"FrameDecoder PCM stream, {chunk}-byte chunks, throughput / memcpy", r, ">= 0.5", r >= 0.5)
r = per_byte("BM_DecodeBytewise/8") / per_byte("BM_DecodeBytewise/1")
report("FrameDecoder byte by byte, cost per byte 8 MiB / 1 MiB", r, "0.75..1.25", 0.75 <= r <= 1.25)
r = per_byte("BM_DecodeSingleFrame/4096") / per_byte("BM_DecodePcm/4096")
report("FrameDecoder one 64 MiB frame / PCM stream, 4 KiB chunks, cost per byte", r, "<= 2", r <= 2)
r = per_byte("BM_Lines/64/100/65536") / per_byte("BM_Lines/8/100/65536")
report("LineReader 100-byte lines, cost per byte 64 MiB / 8 MiB", r, "0.75..1.25", 0.75 <= r <= 1.25)
r = per_byte("BM_Lines/128/134217728/4096") / per_byte("BM_Lines/64/67108864/4096")
report("LineReader single line, cost per byte 128 MiB / 64 MiB", r, "0.75..1.25", 0.75 <= r <= 1.25)
r = per_byte("BM_Lines/64/67108864/4096") / per_byte("BM_Lines/64/100/65536")
report("LineReader one 64 MiB line in 4 KiB / 100-byte lines in 64 KiB, cost per byte", r, "<= 2", r <= 2)
for name, label in (("BM_DecodeSingleFrame/4096", "FrameDecoder one 64 MiB frame"),
                    ("BM_Lines/64/67108864/4096", "LineReader one 64 MiB line")):
    r = per_byte(name) / per_byte("BM_FreshBuffer/4096")
    # Information: how much of the cost is the fresh memory any 64 MiB
    # result needs (page faults dominate it on some machines).
    print(f"  {label} / a fresh 64 MiB buffer filled in 4 KiB pieces, cost per byte: {r:.2f} (information)")
r = rate("BM_StdoutWriter/4") / rate("BM_WriteDirect")
report("StdoutWriter 4 threads / direct write(2), lines per second", r, ">= 0.5", r >= 0.5)
print(f"  {failed} goal(s) missed")
PY
