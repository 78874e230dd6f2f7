#!/usr/bin/env python3
"""Lists one week of generated stores with datewise and, as the baseline, with
khal (warm cache) over the same collections, in the same run.

    bench.py BUILD_DIR

Stores are generated once and kept under BUILD_DIR/calendar-bench (with
khal's cache). Environment: CALENDAR_BENCH_SIZES (default "1000 10000
100000"), CALENDAR_BENCH_KHAL_SIZES (default "1000 10000": khal's first
indexing of 100,000 events takes most of an hour), CALENDAR_BENCH_RUNS
(default 5; the fastest run counts).
"""
import json
import os
import shutil
import subprocess
import sys
import time
from datetime import datetime
from zoneinfo import ZoneInfo

ZONE = "Europe/Berlin"
WEEK = (datetime(2025, 6, 2, tzinfo=ZoneInfo(ZONE)), datetime(2025, 6, 9, tzinfo=ZoneInfo(ZONE)))
COLLECTIONS = ["work", "team", "personal", "shared"]


def run(argv, env=None):
    """Wall seconds, peak RSS in KB, stdout, exit code and CPU seconds of one run."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    cpu = usage.ru_utime + usage.ru_stime
    return time.perf_counter() - start, usage.ru_maxrss, out, proc.returncode, cpu


def fastest(argv, runs, env=None):
    """The fastest run by wall time, with the least CPU time of all runs."""
    best, cpu = None, None
    for _ in range(runs):
        result = run(argv, env)
        if best is None or result[0] < best[0]:
            best = result
        cpu = result[4] if cpu is None else min(cpu, result[4])
    return best[:4] + (cpu,)


def store_for(cache, n, here):
    store = os.path.join(cache, "store-%d" % n)
    if not os.path.exists(os.path.join(cache, "store-%d.done" % n)):
        shutil.rmtree(store, ignore_errors=True)
        subprocess.run([sys.executable, os.path.join(here, "gen_store.py"), store, str(n)],
                       check=True)
        open(os.path.join(cache, "store-%d.done" % n), "w").close()
    return store


def khal_config(cache, n, store):
    folder = os.path.join(cache, "khal-%d" % n)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "config")
    with open(path, "w") as f:
        f.write("[calendars]\n")
        for c in COLLECTIONS:
            f.write("[[%s]]\npath = %s\n" % (c, os.path.join(store, "calendars", c)))
        f.write("[locale]\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\n"
                "longdateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                "longdatetimeformat = %Y-%m-%d %H:%M\n"
                "local_timezone = {0}\ndefault_timezone = {0}\n".format(ZONE))
        f.write("[sqlite]\npath = %s\n" % os.path.join(folder, "khal.db"))
    return path


def main():
    build = os.path.abspath(sys.argv[1])
    here = os.path.dirname(os.path.abspath(__file__))
    cache = os.path.join(build, "calendar-bench")
    os.makedirs(cache, exist_ok=True)
    sizes = [int(s) for s in os.environ.get("CALENDAR_BENCH_SIZES", "1000 10000 100000").split()]
    khal_sizes = {int(s) for s in os.environ.get("CALENDAR_BENCH_KHAL_SIZES", "1000 10000").split()}
    runs = int(os.environ.get("CALENDAR_BENCH_RUNS", "5"))
    datewise = os.path.join(build, "native/datewise/datewise")
    driver = os.path.join(build, "native/platform/calendar/calendar_store_bench")
    khal = shutil.which("khal")
    env = dict(os.environ, TZ=ZONE)
    from_ms, to_ms = (int(t.timestamp() * 1000) for t in WEEK)

    print("one week (%s to %s, %s) per store; fastest of %d runs" %
          (WEEK[0].date(), WEEK[1].date(), ZONE, runs))
    per_event = {}
    # Start-up alone (an empty store), taken off the per-event cost.
    empty = os.path.join(cache, "store-empty")
    os.makedirs(os.path.join(empty, "calendars"), exist_ok=True)
    with open(os.path.join(empty, "access"), "w") as f:
        f.write("granted\n")
    if os.access(datewise, os.X_OK):
        base = fastest([datewise, "--events", "--from-ms=%d" % from_ms, "--to-ms=%d" % to_ms],
                       runs, dict(env, DATEWISE_STORE=empty))[4]
    else:
        base = fastest([driver, empty, str(from_ms), str(to_ms)], runs, env)[4]
    print("start-up on an empty store: %.3f s cpu" % base)
    print("wall: elapsed seconds; cpu: user + system seconds (the machine may be shared)")
    print("%8s %7s %9s %9s %6s %9s %9s %6s %8s %9s" %
          ("events", "listed", "wall s", "khal wall", "ratio", "cpu s", "khal cpu", "ratio",
           "peak MB", "cpu us/ev"))
    for n in sizes:
        store = store_for(cache, n, here)
        if os.access(datewise, os.X_OK):
            argv = [datewise, "--events", "--from-ms=%d" % from_ms, "--to-ms=%d" % to_ms]
            run_env = dict(env, DATEWISE_STORE=store)
        else:
            argv = [driver, store, str(from_ms), str(to_ms)]
            run_env = env
        run(argv, run_env)  # the page cache, as khal gets it below
        seconds, rss, out, _, cpu = fastest(argv, runs, run_env)
        if argv[0] == datewise:
            listed = len(json.loads(out)["events"])
        else:
            listed = int(out.split()[1])
        per_event[n] = max(cpu - base, 0) / n * 1e6
        khal_text, ratio_text, kcpu_text, cpu_ratio_text = "-", "-", "-", "-"
        if khal and n in khal_sizes:
            config = khal_config(cache, n, store)
            kargv = [khal, "-c", config, "list", str(WEEK[0].date()), "2025-06-08"]
            run(kargv, env)  # builds or refreshes khal's cache: warm from here on
            kresult = fastest(kargv, runs, env)
            ksec, kcpu = kresult[0], kresult[4]
            khal_text, ratio_text = "%.3f" % ksec, "%.2f" % (seconds / ksec)
            kcpu_text, cpu_ratio_text = "%.3f" % kcpu, "%.2f" % (cpu / kcpu)
        print("%8d %7d %9.3f %9s %6s %9.3f %9s %6s %8.1f %9.1f" %
              (n, listed, seconds, khal_text, ratio_text, cpu, kcpu_text, cpu_ratio_text,
               rss / 1024, per_event[n]), flush=True)
    if len(per_event) > 1:
        first, last = min(per_event), max(per_event)
        print("cpu cost per stored event, %d against %d events: %.2f" %
              (last, first, per_event[last] / per_event[first]))


if __name__ == "__main__":
    main()
