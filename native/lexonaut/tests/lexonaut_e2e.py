#!/usr/bin/env python3
"""End-to-end tests of lexonaut: the built program on pipes, against the
scripted model server. Usage: lexonaut_e2e.py LEXONAUT SCRIPTED_SERVER [GROUP]"""

import json
import signal
import sys
import time
import unittest

from service import ScriptedServer, Service, collect, script, unused_port

BINARY = SERVER = None
UNAVAILABLE_TEXT = "on-device model unavailable"


class Base(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ScriptedServer(SERVER, "--models=scripted,other")

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def start(self, url=None, model=None, ready=True):
        service = Service(BINARY, url or self.server.url(), model)
        self.addCleanup(service.kill)
        if ready:
            self.assertEqual(service.line(), {"ready": True, "available": True})
        return service

    def bodies_since(self, start):
        return [json.loads(r["body"]) for r in self.server.requests()[start:]]


class Readiness(Base):
    def test_readiness_line_in_each_availability_case(self):
        cases = [
            (self.server.url(), None, {"ready": True, "available": True}),
            (self.server.url(), "other", {"ready": True, "available": True}),
            (self.server.url(), "missing", "model not ready (still downloading)"),
            (self.server.url("models-status=503/"), None, "model not ready (still downloading)"),
            (self.server.url("models=/"), None, "model not ready (still downloading)"),
            (self.server.url("models-body=%3Chtml%3E/"), None, "model unavailable"),
            ("http://127.0.0.1:%d/v1" % unused_port(), None, "Apple Intelligence not enabled"),
            ("ftp://127.0.0.1/v1", None, "device not eligible"),
        ]
        # All at once: each start takes a while under the sanitizers.
        services = [self.start(url, model, ready=False) for url, model, _ in cases]
        for service, (url, model, expected) in zip(services, cases):
            with self.subTest(url=url, model=model):
                if isinstance(expected, str):
                    expected = {"ready": True, "available": False, "reason": expected}
                self.assertEqual(service.line(), expected)
                self.assertEqual(service.end_input(), 0)

    def test_request_is_attempted_when_no_server_answers(self):
        service = self.start("http://127.0.0.1:%d/v1" % unused_port(), "m", ready=False)
        self.assertEqual(service.line()["available"], False)
        service.send({"id": 1, "user": "hi"})
        line = service.line()
        self.assertEqual(set(line), {"id", "error"})
        self.assertIn("127.0.0.1", line["error"])


class Requests(Base):
    def test_fields_defaults_and_dropped_requests(self):
        start = len(self.server.requests())
        service = self.start()
        requests = [
            {"user": "no id"},
            {"id": "7", "user": "string id"},
            {"id": 1.5, "user": "fractional id"},
            {"id": 1, "user": "hi"},
            {"id": 2, "user": "two", "stream": "true"},
            {"id": 3, "user": "three", "maxTokens": "5"},
            {"id": 4, "user": "four", "temperature": 1},
            {"id": 5, "system": "", "user": "five"},
            {"id": 6, "system": "terse", "user": "six", "maxTokens": 7, "temperature": 0.5},
            {"id": 7},
            {"id": -9223372036854775808, "user": "min"},
        ]
        for request in requests:
            service.send(request)
        by_id, _ = collect(service, 8)
        self.assertTrue(service.quiet(0.3), "a dropped request was answered")
        self.assertEqual(by_id, {
            1: [{"id": 1, "text": "echo: hi"}],
            2: [{"id": 2, "text": "echo: two"}],
            3: [{"id": 3, "text": "echo: three"}],
            4: [{"id": 4, "text": "echo: four"}],
            5: [{"id": 5, "text": "echo: five"}],
            6: [{"id": 6, "text": "echo: six"}],
            7: [{"id": 7, "text": "echo: "}],
            -9223372036854775808: [{"id": -9223372036854775808, "text": "echo: min"}],
        })
        bodies = {b["messages"][-1]["content"]: b for b in self.bodies_since(start)}
        self.assertEqual(len(bodies), 8)
        for body in bodies.values():
            self.assertEqual(body["model"], "scripted")
            self.assertIs(body["stream"], False)
        self.assertNotIn("max_tokens", bodies["three"])
        self.assertNotIn("temperature", bodies["three"])
        self.assertEqual(bodies["four"]["temperature"], 1.0)
        self.assertEqual(bodies["five"]["messages"], [{"role": "user", "content": "five"}])
        self.assertEqual(bodies["six"]["messages"][0], {"role": "system", "content": "terse"})
        self.assertEqual((bodies["six"]["max_tokens"], bodies["six"]["temperature"]), (7, 0.5))
        self.assertEqual(service.end_input(), 0)

    def test_error_replies_carry_the_servers_message(self):
        service = self.start()
        body = json.dumps({"error": "model 'x' not found"})
        service.send({"id": 1, "user": script(status=404, body=body)})
        service.send({"id": 2, "user": script(status=404, body=body), "stream": True})
        by_id, _ = collect(service, 2)
        for i in (1, 2):
            self.assertEqual(by_id[i], [{"id": i, "error": "HTTP 404: model 'x' not found"}])

    def test_invalid_lines_are_skipped_and_split_lines_joined(self):
        service = self.start()
        service.send(b'not json\n[1,2]\n\n   \n{"id":1,\n"x"\n"user":"a"}\n')
        for byte in json.dumps({"id": 2, "user": "split / over chunks"}).encode() + b"\n":
            service.send(bytes([byte]))
            time.sleep(0.001)
        self.assertEqual(service.line(), {"id": 2, "text": "echo: split / over chunks"})
        self.assertTrue(service.quiet(0.3))

    def test_output_is_compact_with_escaped_solidus(self):
        service = self.start()
        service.send({"id": 3, "user": "a/b"})
        raw = service.lines.get(timeout=20)
        self.assertIn(raw, (b'{"id":3,"text":"echo: a\\/b"}\n', b'{"text":"echo: a\\/b","id":3}\n'))


class Streaming(Base):
    def stream(self, service, i, **fields):
        service.send({"id": i, "user": script(**fields), "stream": True})

    def test_stream_sequences(self):
        cases = [
            ({"pieces": ["Hel", "lo", " world"]}, ["Hel", "lo", " world"], {"done": True}),
            ({"pieces": ["cafe", "\u0301 ", "\U0001F469", "\u200d\U0001F467", "\U0001F44D",
                         "\U0001F3FD", "\U0001F1E9", "\U0001F1EA"]},
             ["cafe", "\u0301 ", "\U0001F469", "\u200d\U0001F467", "\U0001F44D", "\U0001F3FD",
              "\U0001F1E9", "\U0001F1EA"], {"done": True}),
            ({"pieces": []}, [], {"done": True}),
            ({"pieces": ["a", "b", "c"], "error_after": 2, "error_message": "out of memory"},
             ["a", "b"], {"error": "out of memory"}),
            ({"pieces": ["a", "b", "c"], "error_after": 2, "error_style": "line",
              "error_message": "context full"}, ["a", "b"], {"error": "context full"}),
            ({"pieces": ["a", "b"], "ending": "finish"}, ["a", "b"], {"done": True}),
        ]
        service = self.start()
        for i, (fields, _, _) in enumerate(cases):
            self.stream(service, i, **fields)
        by_id, _ = collect(service, len(cases))
        for i, (fields, deltas, last) in enumerate(cases):
            with self.subTest(fields=fields):
                lines = by_id[i]
                self.assertEqual([l.get("delta") for l in lines[:-1]], deltas)
                self.assertEqual(lines[-1], dict(last, id=i))

    def test_dropped_stream_ends_with_an_error(self):
        service = self.start()
        self.stream(service, 1, pieces=["a", "b", "c"], drop_after=2)
        by_id, _ = collect(service, 1)
        self.assertEqual([l.get("delta") for l in by_id[1][:-1]], ["a", "b"])
        self.assertEqual(set(by_id[1][-1]), {"id", "error"})

    def test_requests_in_flight_interleave(self):
        service = self.start()
        self.stream(service, 1, count=5, delay=0.15)
        self.stream(service, 2, count=5, delay=0.15)
        by_id, order = collect(service, 2)
        for i in (1, 2):
            self.assertEqual("".join(l.get("delta", "") for l in by_id[i]),
                             "w0 w1 w2 w3 w4 ")
        self.assertNotEqual(order, sorted(order), "the two streams ran one after the other")

    def test_long_generation_does_not_hold_up_later_requests(self):
        service = self.start()
        service.send({"id": 1, "user": script(text="slow", stall=2)})
        service.send({"id": 2, "user": "quick"})
        self.assertEqual(service.line(timeout=1.5), {"id": 2, "text": "echo: quick"})
        self.assertEqual(service.line(), {"id": 1, "text": "slow"})


class Lifetime(Base):
    def test_end_of_input_while_a_request_runs_exits_at_once(self):
        service = self.start()
        self.stream_slow(service)
        begun = time.monotonic()
        self.assertEqual(service.end_input(), 0)
        self.assertLess(time.monotonic() - begun, 3)

    def stream_slow(self, service):
        service.send({"id": 1, "user": script(pieces=["a", "b"], delay=10), "stream": True})
        self.assertEqual(service.line(), {"id": 1, "delta": "a"})

    def test_closed_output_ends_the_process_by_sigpipe(self):
        service = Service(BINARY, self.server.url(), read_output=False)
        self.addCleanup(service.kill)
        self.assertEqual(json.loads(service.process.stdout.readline())["available"], True)
        service.process.stdout.close()
        service.send({"id": 1, "user": "hi"})
        self.assertEqual(service.process.wait(timeout=20), -signal.SIGPIPE)


if __name__ == "__main__":
    BINARY, SERVER = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
