"""A calendar store directory of a test's own, and a way to run datewise
against it as the host application does."""
import json
import os
import shutil
import subprocess
import tempfile
import time


class Store:
    def __init__(self, access=None, me=("me@example.com",)):
        self.root = tempfile.mkdtemp(prefix="datewise-store-")
        if access is not None:
            self.write("access", access + "\n")
        self.write("me", "".join(address + "\n" for address in me))
        os.makedirs(self.path("calendars"))

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def write(self, name, text, mode=0o644):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def read(self, name):
        with open(self.path(name), encoding="utf-8") as f:
            return f.read()

    def collection(self, name, files, displayname=None, kind=None, read_only=False):
        for file_name, text in files.items():
            self.write(os.path.join("calendars", name, file_name), text)
        if displayname is not None:
            self.write(os.path.join("calendars", name, "displayname"), displayname + "\n")
        if kind is not None:
            self.write(os.path.join("calendars", name, "kind"), kind + "\n")
        if read_only:
            self.write(os.path.join("calendars", name, "read-only"), "")

    def prompt(self, body):
        """A consent prompt: a shell script run by --request."""
        self.write("prompt", "#!/bin/sh\n" + body + "\n", mode=0o755)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def environment(store, **extra):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TZ": "UTC", "HOME": store.root,
           "DATEWISE_STORE": store.root, "LC_ALL": "C"}
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    env.update(extra)
    return env


def run(binary, args, store, argv0="datewise", timeout=20, **extra):
    """Runs datewise without a terminal; returns (code, stdout, stderr, seconds)."""
    started = time.monotonic()
    result = subprocess.run([argv0] + list(args), executable=binary, env=environment(store, **extra),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
                            start_new_session=True)
    return result.returncode, result.stdout, result.stderr, time.monotonic() - started


def json_line(obj):
    """The bytes datewise writes for obj: compact, sorted keys, UTF-8, "\\/"."""
    text = json.dumps(obj, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
    return (text.replace("/", "\\/") + "\n").encode("utf-8")


def ics(*events):
    body = "".join("BEGIN:VEVENT\r\n" + "".join(line + "\r\n" for line in e) + "END:VEVENT\r\n"
                   for e in events)
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n" + body + "END:VCALENDAR\r\n"
