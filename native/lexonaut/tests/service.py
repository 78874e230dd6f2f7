"""Runs the built lexonaut and the scripted model server as the host does:
real processes, real pipes. Shared by the end-to-end and soak tests."""

import json
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import time


class ScriptedServer:
    def __init__(self, script, *arguments):
        self.record = "/tmp/lexonaut-requests-%d-%d.jsonl" % (os.getpid(), id(self))
        self.process = subprocess.Popen(
            [sys.executable, script, "--record=" + self.record, *arguments],
            stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline())

    def url(self, scenario=""):
        return "http://127.0.0.1:%d/%sv1" % (self.port, scenario)

    def requests(self):
        try:
            with open(self.record) as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []

    def close(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait()
        self.process.stdout.close()
        if os.path.exists(self.record):
            os.remove(self.record)


def unused_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Service:
    """lexonaut with its standard input and output on pipes. Output lines
    are read by a thread into a queue, as raw bytes."""

    def __init__(self, binary, url, model=None, read_output=True):
        env = {k: v for k, v in os.environ.items() if not k.startswith("LEXONAUT_")}
        env["LEXONAUT_MODEL_URL"] = url
        if model:
            env["LEXONAUT_MODEL"] = model
        self.process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        env=env, bufsize=0)
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        if read_output:
            self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def send(self, data):
        if isinstance(data, (dict, list)):
            data = json.dumps(data) + "\n"
        if isinstance(data, str):
            data = data.encode()
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def line(self, timeout=20):
        """The next output line as a dict (None at the end of output);
        fails on a line that is not one whole JSON object ending in 0x0A."""
        raw = self.lines.get(timeout=timeout)
        if raw is None:
            return None
        assert raw.endswith(b"\n"), raw
        value = json.loads(raw)
        assert isinstance(value, dict), raw
        return value

    def quiet(self, seconds):
        """True when no line arrives within `seconds`."""
        try:
            raw = self.lines.get(timeout=seconds)
        except queue.Empty:
            return True
        self.lines.put(raw)
        return False

    def end_input(self, timeout=10):
        """Closes standard input and returns the exit status."""
        self.process.stdin.close()
        return self.process.wait(timeout=timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        # The reader ends at the end of output; closing under it would let
        # its read land on a later pipe that reuses the descriptor.
        if self.reader.is_alive():
            self.reader.join()
        self.process.stdout.close()
        if not self.process.stdin.closed:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass


def script(**fields):
    """A "user" text that scripts the server's answer."""
    return json.dumps(fields)


def collect(service, count, timeout=20):
    """Reads lines until `count` requests have ended (a text, done or error
    line each); returns {id: [lines]} and the ids in the order of lines."""
    by_id, order, ended = {}, [], 0
    deadline = time.monotonic() + timeout
    while ended < count:
        line = service.line(timeout=max(0.1, deadline - time.monotonic()))
        assert line is not None, "output ended early"
        by_id.setdefault(line["id"], []).append(line)
        order.append(line["id"])
        if "text" in line or "done" in line or "error" in line:
            ended += 1
    return by_id, order
