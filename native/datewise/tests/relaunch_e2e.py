#!/usr/bin/env python3
"""The --disclaim relaunch, run as real processes: what the copy receives,
how its outcome becomes the first process's, and the spawn failure."""
import os
import signal
import subprocess
import sys
import time
import unittest

import storefixture
from storefixture import Store, json_line

BINARY = None
GENERAL = b"usage: datewise --status | --request | --events --from-ms=N --to-ms=N\n"


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except FileNotFoundError:
        return []


def datewise_descendants(pid):
    """The datewise processes below pid (the copy, if there is one)."""
    found, todo = [], children(pid)
    while todo:
        child = todo.pop()
        try:
            if os.path.samefile("/proc/%d/exe" % child, BINARY):
                found.append(child)
        except OSError:
            pass
        todo.extend(children(child))
    return found


def proc_list(pid, name):
    with open("/proc/%d/%s" % (pid, name), "rb") as f:
        return f.read().split(b"\0")[:-1]


class Relaunch(unittest.TestCase):
    def store(self, **kwargs):
        store = Store(**kwargs)
        self.addCleanup(store.remove)
        return store

    def blocked_run(self, store, args, **env):
        """Starts datewise with --request and a prompt that waits for a go
        file; returns the process once the prompt is running."""
        ready, go = store.path("ready"), store.path("go")
        # The prompt also gives up once the store is gone, so that none
        # outlives a test whose copy was killed.
        store.prompt("touch '%s'; while [ ! -e '%s' ] && [ -e '%s' ]; do sleep 0.02; done; exit 0"
                     % (ready, go, ready))
        process = subprocess.Popen(["argument-zero"] + args, executable=BINARY,
                                   env=storefixture.environment(store, **env),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, start_new_session=True)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        self.addCleanup(lambda: open(go, "w").close())
        deadline = time.monotonic() + 15
        while not os.path.exists(ready):
            self.assertLess(time.monotonic(), deadline, "the prompt never ran")
            time.sleep(0.02)
        return process, lambda: open(go, "w").close()

    def test_copy_receives_arguments_and_marker(self):
        store = self.store()
        process, release = self.blocked_run(
            store, ["--disclaim", "--request", "--disclaim=1", "--disclaim"], DATEWISE_X="kept")
        copies = datewise_descendants(process.pid)
        self.assertEqual(len(copies), 1)
        self.assertEqual(proc_list(copies[0], "cmdline"),
                         [b"argument-zero", b"--request", b"--disclaim=1"])
        environment = proc_list(copies[0], "environ")
        self.assertIn(b"DATEWISE_DISCLAIMED=1", environment)
        self.assertIn(b"DATEWISE_X=kept", environment)
        release()
        out, err = process.communicate(timeout=15)
        self.assertEqual((process.returncode, out, err), (0, b"granted\n", b""))

    def test_marker_stops_the_relaunch(self):
        for value in ["", "0"]:
            with self.subTest(marker=value):
                store = self.store()
                process, release = self.blocked_run(store, ["--disclaim", "--request"],
                                                    DATEWISE_DISCLAIMED=value)
                self.assertEqual(datewise_descendants(process.pid), [])
                release()
                out, err = process.communicate(timeout=15)
                self.assertEqual((process.returncode, out, err), (0, b"granted\n", b""))

    def test_copy_killed_by_a_signal(self):
        store = self.store()
        process, _ = self.blocked_run(store, ["--disclaim", "--request"])
        (copy,) = datewise_descendants(process.pid)
        os.kill(copy, signal.SIGKILL)
        out, err = process.communicate(timeout=15)
        self.assertEqual((process.returncode, out, err), (1, b"", b""))

    def test_copy_exit_code_and_output_come_through(self):
        cases = [
            (["--disclaim", "--status"], 0, b"granted\n", b""),
            (["--disclaim"], 1, b"", GENERAL),
            (["--events", "--from-ms=0", "--to-ms=1", "--disclaim"], 2,
             json_line({"status": "denied", "events": []}), b""),
        ]
        for args, code, out, err in cases:
            with self.subTest(args=args):
                store = self.store(access="granted" if code != 2 else "denied")
                result = storefixture.run(BINARY, args, store)
                self.assertEqual(result[:3], (code, out, err))

    def test_spawn_failure(self):
        # Started through a descriptor that closes at exec, the program's own
        # path no longer exists when it tries to start the copy.
        store = self.store(access="granted")
        fd = os.open(BINARY, os.O_RDONLY | os.O_CLOEXEC)
        self.addCleanup(os.close, fd)
        result = subprocess.run(["datewise", "--disclaim", "--status"],
                                executable="/proc/self/fd/%d" % fd, close_fds=False,
                                env=storefixture.environment(store), stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=15)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, b"", b"datewise: re-exec failed (2)\n"))


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
