#!/usr/bin/env python3
"""Soak test of lexonaut: COUNT requests, streamed or not at random, against a
server that at random answers, fails, stalls or drops the connection. Every
request must end with exactly the sequence its script calls for, and every
output line must be one whole JSON object.

Usage: soak.py LEXONAUT SCRIPTED_SERVER [COUNT] [SEED]"""

import json
import random
import sys
import time

from service import ScriptedServer, Service, script

PIECES = ["a", "bc", " ", "e", "\u0301", "\U0001F469", "\u200d", "\U0001F1E9", "/", "\"",
          "\\", "\n", "", "\u00e9t\u00e9"]
WINDOW = 64  # requests in flight at most


def plan(rng, i):
    """A request and the lines it must produce (None stands for an error
    line with any text)."""
    stream = rng.random() < 0.6
    pieces = [rng.choice(PIECES) for _ in range(rng.randrange(0, 12))]
    kind = rng.choice(["ok", "ok", "ok", "fail", "drop", "cut", "status", "stall"])
    fields = {"pieces": pieces, "text": "".join(pieces) or "x"}
    if kind == "stall":
        fields["stall"] = rng.random() * 0.05
        fields["delay"] = rng.random() * 0.002
    k = rng.randrange(0, len(pieces) + 1)
    if kind == "fail":
        fields.update(error_after=k, error_message="failed %d" % i,
                      error_style=rng.choice(["event", "line"]))
    elif kind == "drop":
        fields["drop_after"] = k
    elif kind == "cut":
        fields["ending"] = "none"  # the body ends without the stream's end
    elif kind == "status":
        fields.update(status=500, body=json.dumps({"error": {"message": "busy %d" % i}}))
    request = {"id": i, "user": script(**fields), "stream": stream}
    if kind == "status":
        return request, [{"id": i, "error": "HTTP 500: busy %d" % i}]
    if not stream:
        if kind == "drop":
            return request, [None]
        return request, [{"id": i, "text": fields["text"]}]
    sent = pieces if kind in ("ok", "stall", "cut") else pieces[:k]
    lines = [{"id": i, "delta": p} for p in sent if p]
    if kind == "fail":
        return request, lines + [{"id": i, "error": "failed %d" % i}]
    if kind in ("drop", "cut"):
        return request, lines + [None]
    return request, lines + [{"id": i, "done": True}]


def main():
    binary, server_script = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    rng = random.Random(seed)
    server = ScriptedServer(server_script)
    service = Service(binary, server.url(), "scripted")
    try:
        assert service.line() == {"ready": True, "available": True}
        expected, got, open_ids = {}, {}, set()
        next_id, ended, begun = 0, 0, time.monotonic()
        while ended < count:
            while next_id < count and len(open_ids) < WINDOW:
                request, lines = plan(rng, next_id)
                expected[next_id] = lines
                got[next_id] = []
                open_ids.add(next_id)
                service.send(request)
                next_id += 1
            line = service.line(timeout=30)
            assert line is not None, "output ended early"
            i = line["id"]
            assert i in open_ids, "line for a request that had ended: %r" % line
            got[i].append(line)
            if "text" in line or "done" in line or "error" in line:
                open_ids.discard(i)
                ended += 1
                want = expected[i]
                have = [None if (w is None and set(h) == {"id", "error"}) else h
                        for h, w in zip(got[i], want)] + got[i][len(want):]
                assert have == want, "request %d: %r, expected %r" % (i, got[i], want)
        assert service.quiet(0.2), "output after every request had ended"
        assert service.end_input() == 0
        print("soak: %d requests in %.1f s, every sequence as expected"
              % (count, time.monotonic() - begun))
    finally:
        service.kill()
        server.close()


if __name__ == "__main__":
    main()
