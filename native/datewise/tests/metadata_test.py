#!/usr/bin/env python3
"""Checks the entitlements file and, given --executable, the property list
embedded in the datewise executable."""
import argparse
import os
import plistlib
import subprocess
import sys
import tempfile
import unittest

USAGE = ("Tavo reads your calendar to name a recording after the meeting it belongs to "
         "and to remember who was on the call. Nothing is written to your calendar.")

ENTITLEMENTS = [
    "com.apple.security.cs.allow-jit",
    "com.apple.security.cs.allow-unsigned-executable-memory",
    "com.apple.security.cs.disable-library-validation",
    "com.apple.security.device.audio-input",
    "com.apple.security.personal-information.calendars",
]

args = None


class Entitlements(unittest.TestCase):
    def test_exactly_the_five_keys_each_true(self):
        with open(args.entitlements, "rb") as f:
            data = f.read()
        entitlements = plistlib.loads(data, fmt=plistlib.FMT_XML)
        self.assertEqual(sorted(entitlements), ENTITLEMENTS)
        for key, value in entitlements.items():
            self.assertIs(value, True, key)


class EmbeddedPropertyList(unittest.TestCase):
    def setUp(self):
        if not args.executable:
            self.skipTest("no executable given")

    def section(self):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "plist")
            copy = os.path.join(tmp, "exe")
            subprocess.run(["objcopy", "--dump-section", "__info_plist=" + out,
                            args.executable, copy], check=True)
            with open(out, "rb") as f:
                return f.read()

    def test_section_is_read_only_and_allocated(self):
        headers = subprocess.run(["objdump", "-h", args.executable],
                                 check=True, capture_output=True, text=True).stdout
        lines = headers.splitlines()
        index = next(i for i, l in enumerate(lines) if " __info_plist " in l)
        flags = lines[index + 1]
        self.assertIn("ALLOC", flags)
        self.assertIn("READONLY", flags)

    def test_property_list(self):
        data = self.section()
        self.assertTrue(data.startswith(b'<?xml version="1.0" encoding="UTF-8"?>'))
        self.assertIn(b'<plist version="1.0">', data)
        info = plistlib.loads(data, fmt=plistlib.FMT_XML)
        self.assertEqual(list(info), [
            "CFBundleIdentifier", "CFBundleName", "CFBundleShortVersionString",
            "NSCalendarsFullAccessUsageDescription", "NSCalendarsUsageDescription"])
        self.assertEqual(info["CFBundleIdentifier"], "com.zarn.desktop.datewise")
        self.assertEqual(info["CFBundleName"], "datewise")
        self.assertEqual(info["CFBundleShortVersionString"], "1.0")
        self.assertEqual(info["NSCalendarsFullAccessUsageDescription"], USAGE)
        self.assertEqual(info["NSCalendarsUsageDescription"], USAGE)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--entitlements", required=True)
    parser.add_argument("--executable")
    args, rest = parser.parse_known_args()
    if args.executable:
        args.executable = args.executable
    unittest.main(argv=[sys.argv[0]] + rest)
