#!/usr/bin/env python3
"""Times one-week lookups through the store index against khal and a full read.

    index_bench.py BUILD_DIR SIZE...

For each store size: a store from the store benchmark's generator, khal's
warm `list` of one week (its own cache built first), the same week through
datewise with a fresh index, a full read (DATEWISE_NO_INDEX=1), the first
run that builds the index, and a run after one file changed. Each figure is
the best of several runs, printed with its ratio.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATOR = os.path.join(HERE, "..", "..", "bench", "gen_store.py")
WEEK_MS = (1748822400000, 1749427200000)  # 2025-06-02 to 2025-06-09, UTC


def best(command, env, runs, before=None):
    times = []
    for _ in range(runs):
        if before:
            before()
        start = time.perf_counter()
        subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True)
        times.append(time.perf_counter() - start)
    return min(times)


def khal_config(store, directory):
    path = os.path.join(directory, "khal.conf")
    with open(path, "w") as f:
        f.write("[calendars]\n")
        for name in sorted(os.listdir(os.path.join(store, "calendars"))):
            f.write("[[%s]]\npath = %s\n" % (name, os.path.join(store, "calendars", name)))
        f.write("[locale]\ntimeformat = %%H:%%M\ndateformat = %%Y-%%m-%%d\n"
                "longdateformat = %%Y-%%m-%%d\ndatetimeformat = %%Y-%%m-%%d %%H:%%M\n"
                "longdatetimeformat = %%Y-%%m-%%d %%H:%%M\n"
                "local_timezone = UTC\ndefault_timezone = UTC\n"
                "[sqlite]\npath = %s\n" % os.path.join(directory, "khal.db"))
    return path


def driver_command(build, store):
    driver = os.path.join(build, "native", "platform", "calendar", "index", "calendar_index_bench")
    return [driver, store, str(WEEK_MS[0]), str(WEEK_MS[1])]


def lookup_command(build):
    datewise = os.path.join(build, "native", "datewise", "datewise")
    if os.path.exists(datewise):
        return [datewise, "--events", "--from-ms=%d" % WEEK_MS[0], "--to-ms=%d" % WEEK_MS[1]]
    driver = os.path.join(build, "native", "platform", "calendar", "index", "calendar_index_bench")
    return [driver, "STORE", str(WEEK_MS[0]), str(WEEK_MS[1])]


def main():
    build, sizes = sys.argv[1], [int(s) for s in sys.argv[2:]]
    khal = shutil.which("khal")
    for size in sizes:
        work = tempfile.mkdtemp(prefix="index-bench-")
        try:
            store = os.path.join(work, "store")
            subprocess.run([sys.executable, GENERATOR, store, str(size)], check=True)
            # A file changed within the last seconds is read again on every
            # run until it is older (its change time cannot be set back):
            # let the new store age past that before timing anything.
            time.sleep(4)
            cache = os.path.join(work, "cache")
            env = dict(os.environ, DATEWISE_STORE=store, XDG_CACHE_HOME=cache, TZ="UTC")
            env.pop("DATEWISE_NO_INDEX", None)
            full_env = dict(env, DATEWISE_NO_INDEX="1")
            command = [store if a == "STORE" else a for a in lookup_command(build)]
            runs = 5 if size <= 10000 else 3

            def drop_cache():
                shutil.rmtree(cache, ignore_errors=True)

            full = best(command, full_env, 3 if size <= 10000 else 2)
            first = best(command, env, 3 if size <= 10000 else 2, before=drop_cache)
            time.sleep(4)  # the same for the entries just written
            subprocess.run(command, env=env, stdout=subprocess.DEVNULL, check=True)
            fresh = best(command, env, runs)
            victim = os.path.join(store, "calendars", "work", sorted(
                os.listdir(os.path.join(store, "calendars", "work")))[size // 7 % 50])
            with open(victim, "rb") as f:
                original = f.read()

            def change_one():
                with open(victim, "wb") as f:
                    f.write(original.replace(b"SEQUENCE:", b"SEQUENCE:1", 1))
                # Past the window in which a just-written file is read again
                # on every run, so that the run measured reads it once.
                past = time.time() - 10
                os.utime(victim, (past, past))
            changed = best(command, env, runs, before=change_one)
            unchanged = best(command, env, runs)
            print("%d events (%s): week with a fresh index %.1f ms, full read %.1f ms, "
                  "first run (builds the index) %.1f ms, after one changed file %.1f ms"
                  % (size, os.path.basename(command[0]), fresh * 1e3, full * 1e3, first * 1e3, changed * 1e3))
            if khal:
                config = khal_config(store, work)
                subprocess.run([khal, "-c", config, "list", "2025-06-02", "7d"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
                warm = best([khal, "-c", config, "list", "2025-06-02", "7d"], env, 3)
                print("  khal warm list %.1f ms; fresh index %.1fx faster (goal: 10x)"
                      % (warm * 1e3, warm / fresh))
            else:
                print("  khal not installed: no baseline")
            print("  first run / full read %.2f (goal: at most 1.5)" % (first / full))
            print("  one changed file / nothing changed %.2f (goal: at most 2)"
                  % (changed / unchanged))
            print("  full read / fresh index %.1fx" % (full / fresh))
            driver = driver_command(build, store)
            ring = best(driver, env, runs)
            plain = best(driver, dict(env, INDEX_BENCH_PLAIN_STAT="1"), runs)
            print("  checks shared among threads %.1f ms, on one thread %.1f ms (%.2f)"
                  % (ring * 1e3, plain * 1e3, ring / plain))
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
