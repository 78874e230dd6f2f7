#!/usr/bin/env python3
"""lexonaut against baselines measured in the same run, all against the
scripted server answering at once:

- overhead: 200 streamed requests of 200 pieces, one after another, through
  lexonaut, against the same requests from a client that only reads them;
- concurrency: 500 streamed requests of 100 pieces sent at once, against the
  same 500 one after another, with the service's peak memory and threads;
- start: spawn to readiness line, against a process that only makes the
  same GET /models.

Usage: bench.py LEXONAUT BENCH_CLIENT SCRIPTED_SERVER"""

import json
import os
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from service import ScriptedServer  # noqa: E402


def start_service(binary, url):
    env = dict(os.environ, LEXONAUT_MODEL_URL=url, LEXONAUT_MODEL="scripted")
    process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    ready = json.loads(process.stdout.readline())
    assert ready["available"], ready
    return process


def request(i, pieces):
    return (json.dumps({"id": i, "stream": True, "user": json.dumps({"count": pieces})}) + "\n").encode()


def expected_text(pieces):
    return "".join("w%d " % k for k in range(pieces))


def one_after_another(process, count, pieces):
    """Sends each request when the one before has ended; checks that each
    got its delta lines and its done line. Reads in big chunks, so that the
    reading costs the host as little as it can."""
    out = process.stdout.fileno()
    begun = time.perf_counter()
    for i in range(count):
        process.stdin.write(request(i, pieces))
        process.stdin.flush()
        received = bytearray()
        while b'"done"' not in received or not received.endswith(b"\n"):
            chunk = os.read(out, 1 << 16)
            assert chunk, "output ended"
            received += chunk
        assert received.count(b"\n") == pieces + 1, received[-200:]
    return time.perf_counter() - begun


def all_at_once(process, count, pieces):
    begun = time.perf_counter()
    process.stdin.write(b"".join(request(i, pieces) for i in range(count)))
    process.stdin.flush()
    texts = {i: [] for i in range(count)}
    ended = 0
    while ended < count:
        line = json.loads(process.stdout.readline())
        if "delta" in line:
            texts[line["id"]].append(line["delta"])
        else:
            assert line.get("done") is True, line
            ended += 1
    elapsed = time.perf_counter() - begun
    want = expected_text(pieces)
    assert all("".join(parts) == want for parts in texts.values()), "a sequence was wrong"
    return elapsed


class Sampler:
    """Peak thread count of a process, sampled from /proc."""

    def __init__(self, pid):
        self.pid, self.peak, self.running = pid, 0, True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while self.running:
            self.peak = max(self.peak, status(self.pid, "Threads"))
            time.sleep(0.002)

    def stop(self):
        self.running = False
        self.thread.join()
        return self.peak


def status(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def stop(process):
    process.stdin.close()
    process.wait()
    process.stdout.close()


def main():
    binary, client, server_script = sys.argv[1:4]
    server = ScriptedServer(server_script)
    url = server.url()
    try:
        # Overhead, best of two rounds each, interleaved.
        client_times, service_times = [], []
        for _ in range(2):
            begun = time.perf_counter()
            subprocess.run([client, "stream", url, "200", "200"], check=True)
            client_times.append(time.perf_counter() - begun)
            process = start_service(binary, url)
            service_times.append(one_after_another(process, 200, 200))
            stop(process)
        c, s = min(client_times), min(service_times)
        print("overhead: 200 streams x 200 pieces: lexonaut %.2f s, plain client %.2f s, "
              "ratio %.2f (target <= 1.5)" % (s, c, s / c))

        process = start_service(binary, url)
        sequential = one_after_another(process, 500, 100)
        sampler = Sampler(process.pid)
        concurrent = all_at_once(process, 500, 100)
        threads = sampler.stop()
        peak_kib = status(process.pid, "VmHWM")
        stop(process)
        print("concurrency: 500 streams x 100 pieces at once %.2f s, one after another %.2f s, "
              "ratio %.2f; all 500 sequences complete and correct" % (
                  concurrent, sequential, concurrent / sequential))
        print("concurrency: lexonaut peak memory %.1f MiB, peak threads %d" % (
            peak_kib / 1024, threads))

        starts, probes = [], []
        for _ in range(15):
            begun = time.perf_counter()
            subprocess.run([client, "models", url], check=True)
            probes.append(time.perf_counter() - begun)
            begun = time.perf_counter()
            process = start_service(binary, url)
            starts.append(time.perf_counter() - begun)
            stop(process)
        s, p = statistics.median(starts), statistics.median(probes)
        print("start: to readiness line %.1f ms, GET /models alone %.1f ms, ratio %.2f" % (
            s * 1000, p * 1000, s / p))
    finally:
        server.close()


if __name__ == "__main__":
    main()
