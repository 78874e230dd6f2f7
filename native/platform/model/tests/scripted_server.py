#!/usr/bin/env python3
"""An OpenAI-compatible chat-completions server whose answers the tests script.

Listens on 127.0.0.1 at a free port and prints that port as the first line
of its standard output. GET /models lists the models given with --models
(or answers with --models-status and --models-body). A path segment of the
form NAME=VALUE (percent-encoded) in front of the endpoint sets that option
for the one request, so one server can play several: GET
/models-status=503/v1/models answers 503. POST /chat/completions
takes its script from the last message, when that is a JSON object:

  text          the whole response (default: "echo: " and the prompt)
  pieces        the streamed pieces (default: the text, four characters each)
  count         stream this many generated pieces "w0 ", "w1 ", ... instead
  delay         seconds to wait before each piece after the first
  stall         seconds to wait before answering at all
  status, body  answer with this status and raw body instead
  error_after   after this many pieces, fail: with an "error" object in a
                data event (error_style "event", the default) or with an
                "error:" line followed by [DONE] (error_style "line")
  drop_after    after this many pieces, close the connection mid-body
                (for a whole response: any value drops it mid-body)
  ending        "done" (default): a finish_reason chunk, then [DONE];
                "finish": the finish_reason chunk and the end of the body;
                "none": the end of the body with neither

With --record FILE every request received is appended to FILE as one JSON
line: {"path": ..., "authorization": ..., "body": the body as sent}.
"""

import argparse
import http.server
import json
import sys
import threading
import time
import urllib.parse

record_lock = threading.Lock()


def chunk(delta, finish=None):
    return {
        "id": "chatcmpl-1",
        "object": "chat.completion.chunk",
        "model": "scripted",
        "choices": [{"index": 0, "delta": delta, "finish_reason": finish}],
    }


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, content_type="application/json"):
        data = body.encode() if isinstance(body, str) else body
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)
        self.close_connection = True

    def options(self):
        options = argparse.Namespace(**vars(self.server.options))
        for segment in self.path.split("/"):
            name, equals, value = segment.partition("=")
            if equals:
                value = urllib.parse.unquote(value)
                setattr(options, name.replace("-", "_"),
                        int(value) if name == "models-status" else value)
        return options

    def do_GET(self):
        if self.path.rstrip("/").endswith("/models"):
            options = self.options()
            if options.models_status != 200 or options.models_body is not None:
                self.answer(options.models_status, options.models_body or "")
                return
            names = [n for n in options.models.split(",") if n]
            listing = {"object": "list", "data": [{"id": n, "object": "model"} for n in names]}
            self.answer(200, json.dumps(listing))
            return
        self.answer(404, json.dumps({"error": {"message": "no such path"}}))

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        raw = self.rfile.read(length)
        if self.server.options.record:
            entry = {"path": self.path, "authorization": self.headers.get("Authorization"),
                     "body": raw.decode("utf-8", "replace")}
            with record_lock, open(self.server.options.record, "a") as f:
                f.write(json.dumps(entry) + "\n")
        if not self.path.rstrip("/").endswith("/chat/completions"):
            self.answer(404, json.dumps({"error": {"message": "no such path"}}))
            return
        try:
            request = json.loads(raw)
            prompt = request["messages"][-1]["content"]
        except (ValueError, KeyError, IndexError, TypeError):
            self.answer(400, json.dumps({"error": {"message": "bad request"}}))
            return
        try:
            script = json.loads(prompt)
        except ValueError:
            script = None
        if not isinstance(script, dict):
            script = {}
        text = script.get("text", "echo: " + prompt)
        time.sleep(script.get("stall", 0))
        if "status" in script:
            self.answer(script["status"], script.get("body", ""))
        elif request.get("stream"):
            self.stream(script, text)
        else:
            self.whole(script, text)

    def whole(self, script, text):
        body = json.dumps({
            "id": "chatcmpl-1",
            "object": "chat.completion",
            "model": "scripted",
            "choices": [{"index": 0, "message": {"role": "assistant", "content": text},
                         "finish_reason": "stop"}],
        }).encode()
        if "drop_after" in script:
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: len(body) // 2])
            self.close_connection = True
            return
        self.answer(200, body)

    def stream(self, script, text):
        if "count" in script:
            pieces = ["w%d " % i for i in range(script["count"])]
        else:
            pieces = script.get("pieces", [text[i:i + 4] for i in range(0, len(text), 4)])
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        self.event(chunk({"role": "assistant"}))
        delay = script.get("delay", 0)
        for i, piece in enumerate(pieces):
            if script.get("drop_after") == i:
                return
            if script.get("error_after") == i:
                self.fail(script)
                return
            if delay and i > 0:
                time.sleep(delay)
            self.event(chunk({"content": piece}))
        if script.get("drop_after") == len(pieces):
            return
        if script.get("error_after") == len(pieces):
            self.fail(script)
            return
        ending = script.get("ending", "done")
        if ending in ("done", "finish"):
            self.event(chunk({}, "stop"))
        if ending == "done":
            self.send_chunk(b"data: [DONE]\n\n")
        self.wfile.write(b"0\r\n\r\n")

    def fail(self, script):
        message = script.get("error_message", "scripted failure")
        if script.get("error_style", "event") == "line":
            self.send_chunk(b"error: " + json.dumps({"message": message}).encode() + b"\n\n")
            self.send_chunk(b"data: [DONE]\n\n")
        else:
            self.event({"error": {"message": message, "type": "server_error"}})
        self.wfile.write(b"0\r\n\r\n")

    def event(self, payload):
        self.send_chunk(b"data: " + json.dumps(payload).encode() + b"\n\n")

    def send_chunk(self, data):
        self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 1024

    def handle_error(self, request, client_address):
        pass  # clients that hang up early are part of the tests


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--models", default="scripted")
    parser.add_argument("--models-status", type=int, default=200)
    parser.add_argument("--models-body")
    parser.add_argument("--record")
    options = parser.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    server.options = options
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
