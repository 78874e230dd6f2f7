#!/usr/bin/env python3
"""Runs the built datewise as the host application does, against store
directories of its own: exact standard output and error bytes, exit codes."""
import calendar
import concurrent.futures
import os
import sys
import unittest

import storefixture
from storefixture import Store, ics, json_line

BINARY = None
GENERAL = b"usage: datewise --status | --request | --events --from-ms=N --to-ms=N\n"
EVENTS = b"usage: datewise --events --from-ms=N --to-ms=N\n"
DAY = calendar.timegm((2026, 3, 2, 0, 0, 0)) * 1000  # a Monday, 00:00 UTC
WINDOW = ["--from-ms=%d" % DAY, "--to-ms=%d" % (DAY + 86400000)]


def ms(hour, minute=0):
    return DAY + (hour * 60 + minute) * 60000


class DatewiseCase(unittest.TestCase):
    def store(self, **kwargs):
        store = Store(**kwargs)
        self.addCleanup(store.remove)
        return store

    def check(self, store, args, code, out=b"", err=b"", **env):
        result = storefixture.run(BINARY, args, store, **env)
        self.assertEqual(result[:3], (code, out, err), args)
        return result


class CommandLine(DatewiseCase):
    def test_outcomes_without_events(self):
        denied = json_line({"status": "denied", "events": []})
        cases = [
            ([], "granted", 1, b"", GENERAL),
            (["--disclaim=1", "status"], "granted", 1, b"", GENERAL),
            (["--status"], None, 0, b"not-determined\n", b""),
            (["--status"], "granted", 0, b"granted\n", b""),
            (["--status"], "restricted", 0, b"restricted\n", b""),
            (["--status"], "write-only", 0, b"write-only\n", b""),
            (["--status"], "7", 0, b"unknown\n", b""),
            (["--events", "--status"], "denied", 0, b"denied\n", b""),
            (["--events"], "granted", 1, b"", EVENTS),
            (["--events", "--from-ms=1"], "granted", 1, b"", EVENTS),
            (["--events", "--from-ms=5", "--to-ms=5"], "denied", 1, b"", EVENTS),
            (["--events", "--from-ms=10", "--to-ms=5"], "granted", 1, b"", EVENTS),
            (["--events", "--from-ms", "1", "--to-ms=5"], "granted", 1, b"", EVENTS),
            (["--events", "--from-ms=", "--to-ms=5"], "granted", 1, b"", EVENTS),
            (["--events", "--from-ms= 1", "--to-ms=5"], "granted", 1, b"", EVENTS),
            (["--events", "--from-ms=1", "--to-ms=nan"], "granted", 1, b"", EVENTS),
            (["--events", "--from-ms=1", "--to-ms=5"], "denied", 2, denied, b""),
            (["--events", "--from-ms=1e3", "--to-ms=0x1p20"], "denied", 2, denied, b""),
            (["--events", "--from-ms=1", "--to-ms=5"], None, 2,
             json_line({"status": "not-determined", "events": []}), b""),
            (["--events", "--from-ms=1", "--to-ms=5"], "write-only", 2,
             json_line({"status": "write-only", "events": []}), b""),
            (["--events", "--from-ms=-inf", "--to-ms=inf"], "granted", 0,
             json_line({"status": "granted", "events": []}), b""),
        ]
        # Independent processes: run them side by side, check them in order.
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            results = list(pool.map(
                lambda case: storefixture.run(BINARY, case[0], self.store(access=case[1])), cases))
        for (args, access, code, out, err), result in zip(cases, results):
            with self.subTest(args=args, access=access):
                self.assertEqual(result[:3], (code, out, err))

    def test_marker_present_even_empty_stops_the_relaunch(self):
        store = self.store(access="granted")
        self.check(store, ["--disclaim", "--status"], 0, b"granted\n", DATEWISE_DISCLAIMED="")


class Events(DatewiseCase):
    def test_records_in_start_order(self):
        store = self.store(access="granted")
        store.collection("work", {
            "a.ics": ics(
                ["UID:standup", "DTSTART:20260302T093000Z", "DTEND:20260302T094500Z",
                 "SUMMARY:  Standup  ", "LOCATION:Room 4",
                 "DESCRIPTION:Join at https://meet.example/abc. Thanks",
                 "ORGANIZER;CN=Boss:mailto:Boss@Example.com",
                 "ATTENDEE;CN=Me;PARTSTAT=ACCEPTED:mailto:me@example.com",
                 "ATTENDEE;CUTYPE=ROOM:mailto:room@example.com",
                 "ATTENDEE;PARTSTAT=TENTATIVE:MAILTO:Ann%20Lee@Example.com"],
                ["UID:declined", "DTSTART:20260302T080000Z", "DTEND:20260302T083000Z",
                 "SUMMARY:Skipped", "ATTENDEE;PARTSTAT=DECLINED:mailto:me@example.com"],
                ["UID:canceled", "STATUS:CANCELLED", "DTSTART:20260302T081000Z",
                 "DTEND:20260302T082000Z", "SUMMARY:Gone"],
                ["UID:early", "DTSTART:20260302T070000Z", "DURATION:PT30M", "SUMMARY:Early",
                 "URL:https://zoom.example/j/1", "LOCATION:   "]),
        }, displayname="Work", kind="caldav")
        store.collection("home", {"b.ics": ics(
            ["UID:lunch", "DTSTART:20260302T093000Z", "DTEND:20260302T100000Z",
             "SUMMARY:Lunch"])}, read_only=True)
        calendar_work = {"calendar": "Work", "calendarKind": "caldav", "writable": True}
        expected = {"status": "granted", "events": [
            dict(calendar_work, id="early@%d" % ms(7), title="Early", start=ms(7),
                 end=ms(7, 30), allDay=False, attendees=[], location="   ",
                 joinUrl="https://zoom.example/j/1"),
            # Equal starts keep the store's order: "home" before "work".
            {"id": "lunch@%d" % ms(9, 30), "title": "Lunch", "start": ms(9, 30), "end": ms(10),
             "allDay": False, "calendar": "home", "calendarKind": "local", "writable": False,
             "attendees": []},
            dict(calendar_work, id="standup@%d" % ms(9, 30), title="Standup", start=ms(9, 30),
                 end=ms(9, 45), allDay=False, location="Room 4",
                 joinUrl="https://meet.example/abc.",
                 organizer={"me": False, "status": "pending", "name": "Boss",
                            "email": "boss@example.com"},
                 attendees=[{"me": True, "status": "accepted", "name": "Me",
                             "email": "me@example.com"},
                            {"me": False, "status": "tentative", "email": "ann lee@example.com"}]),
        ]}
        self.check(store, ["--events"] + WINDOW, 0, json_line(expected))

    def test_all_day_event_and_missing_identifier(self):
        store = self.store(access="granted")
        store.collection("c", {"x.ics": ics(["DTSTART;VALUE=DATE:20260302", "SUMMARY:Holiday"])})
        expected = {"status": "granted", "events": [
            {"id": "c/x.ics#1@%d" % DAY, "title": "Holiday", "start": DAY,
             "end": DAY + 86400000, "allDay": True, "calendar": "c", "calendarKind": "local",
             "writable": True, "attendees": []}]}
        self.check(store, ["--events"] + WINDOW, 0, json_line(expected))


class Request(DatewiseCase):
    def test_prompt_answers(self):
        cases = [
            ("exit 0", 0.0, b"granted\n", "granted"),
            ("exit 1", 0.0, b"denied\n", "denied"),
            ("exit 3", 0.0, b"not-determined\n", None),
            ("sleep 0.6; exit 0", 0.6, b"granted\n", "granted"),
        ]
        for body, least, out, recorded in cases:
            with self.subTest(prompt=body):
                store = self.store()
                store.prompt(body)
                _, _, _, seconds = self.check(store, ["--request"], 0, out)
                self.assertGreaterEqual(seconds, least)
                if recorded:
                    self.assertEqual(store.read("access").strip(), recorded)
                else:
                    self.assertFalse(os.path.exists(store.path("access")))

    def test_no_request_unless_not_determined(self):
        for access, args in [("denied", ["--request"]), ("granted", ["--request"]),
                             ("write-only", ["--request"]), (None, ["--status", "--request"])]:
            with self.subTest(access=access, args=args):
                store = self.store(access=access)
                store.prompt("touch '%s'; exit 0" % store.path("asked"))
                word = (access or "not-determined").encode() + b"\n"
                self.check(store, args, 0, word)
                self.assertFalse(os.path.exists(store.path("asked")))


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
