#!/usr/bin/env python3
"""Writes a realistic calendar store for the benchmark.

    gen_store.py DIR EVENTS

DIR gets access, me and calendars/ with four vdir collections of one event per
file, each file a whole calendar carrying the VTIMEZONE it uses, as calendar
servers and desktop clients write them: timed meetings in several zones,
all-day events, recurring meetings with exceptions and overrides, attendees
(rooms among them) and video-call links. Deterministic for a given EVENTS.
"""
import os
import random
import sys
from datetime import date, datetime, timedelta

ZONES = {
    "Europe/Berlin": ("+0100", "+0200", "CET", "CEST", "19700329T020000", "-1SU", 3,
                      "19701025T030000", "-1SU", 10),
    "Europe/London": ("+0000", "+0100", "GMT", "BST", "19700329T010000", "-1SU", 3,
                      "19701025T020000", "-1SU", 10),
    "America/New_York": ("-0500", "-0400", "EST", "EDT", "19700308T020000", "2SU", 3,
                         "19701101T020000", "1SU", 11),
    "America/Los_Angeles": ("-0800", "-0700", "PST", "PDT", "19700308T020000", "2SU", 3,
                            "19701101T020000", "1SU", 11),
}
FIXED = {"Asia/Tokyo": ("+0900", "JST"), "Asia/Kolkata": ("+0530", "IST")}

PEOPLE = ["Priya Raman", "Jonas Weber", "Mei Tanaka", "Dana Whitfield", "Sam Okafor",
          "Lena Fischer", "Carlos Mendes", "Aisha Bello", "Tom Eriksen", "Yuki Sato",
          "Olga Petrova", "Liam O'Brien", "Fatima Zahra", "Noah Klein", "Ines Duarte"]
ROOMS = ["Room Hudson", "Room Spree", "Room Thames", "Board room"]
TOPICS = ["Design review", "Sprint planning", "1:1", "Customer call", "Roadmap sync",
          "Incident review", "Hiring panel", "Budget check-in", "Team retro", "Demo day prep"]
PARTSTAT = ["ACCEPTED", "ACCEPTED", "ACCEPTED", "TENTATIVE", "NEEDS-ACTION", "DECLINED"]


def vtimezone(tzid):
    if tzid in FIXED:
        off, name = FIXED[tzid]
        return ("BEGIN:VTIMEZONE\r\nTZID:%s\r\nBEGIN:STANDARD\r\nTZOFFSETFROM:%s\r\n"
                "TZOFFSETTO:%s\r\nTZNAME:%s\r\nDTSTART:19700101T000000\r\nEND:STANDARD\r\n"
                "END:VTIMEZONE\r\n" % (tzid, off, off, name))
    std, dst, sname, dname, dstart, dday, dmonth, sstart, sday, smonth = ZONES[tzid]
    return ("BEGIN:VTIMEZONE\r\nTZID:%s\r\n"
            "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:%s\r\nTZOFFSETTO:%s\r\nTZNAME:%s\r\n"
            "DTSTART:%s\r\nRRULE:FREQ=YEARLY;BYMONTH=%d;BYDAY=%s\r\nEND:DAYLIGHT\r\n"
            "BEGIN:STANDARD\r\nTZOFFSETFROM:%s\r\nTZOFFSETTO:%s\r\nTZNAME:%s\r\n"
            "DTSTART:%s\r\nRRULE:FREQ=YEARLY;BYMONTH=%d;BYDAY=%s\r\nEND:STANDARD\r\n"
            "END:VTIMEZONE\r\n" % (tzid, std, dst, dname, dstart, dmonth, dday, dst, std, sname,
                                   sstart, smonth, sday))


def fold(line):
    out = []
    while len(line.encode()) > 75:
        cut = 74
        while len(line[:cut].encode()) > 74:
            cut -= 1
        out.append(line[:cut])
        line = " " + line[cut:]
    out.append(line)
    return "\r\n".join(out) + "\r\n"


def email(name):
    return name.lower().replace(" ", ".").replace("'", "") + "@example.com"


def people(rng):
    lines = []
    organizer = rng.choice(PEOPLE)
    lines.append(fold("ORGANIZER;CN=%s:mailto:%s" % (organizer, email(organizer))))
    for name in rng.sample(PEOPLE, rng.randint(2, 7)):
        lines.append(fold("ATTENDEE;CN=%s;ROLE=REQ-PARTICIPANT;PARTSTAT=%s;RSVP=TRUE:mailto:%s"
                          % (name, rng.choice(PARTSTAT), email(name))))
    if rng.random() < 0.3:
        lines.append(fold("ATTENDEE;CN=%s;CUTYPE=ROOM;PARTSTAT=ACCEPTED:mailto:%s"
                          % (rng.choice(ROOMS), email(rng.choice(ROOMS)))))
    lines.append(fold("ATTENDEE;CN=Alex Morgan;PARTSTAT=%s:mailto:alex.morgan@example.com"
                      % rng.choice(PARTSTAT)))
    return "".join(lines)


def link(rng):
    return rng.choice(["https://meet.example.com/%s-%s-%s" % ("abc", rng.randint(1000, 9999), "xyz"),
                       "https://video.example.net/j/%d?pwd=Xk%d" % (rng.randint(10**9, 10**10), rng.randint(1, 99))])


def stamp(t):
    return t.strftime("%Y%m%dT%H%M%S")


def event(rng, index, uid):
    kind = rng.random()
    # Ten years of a working life, most of it past.
    start_day = date(2016, 6, 1) + timedelta(days=rng.randint(0, 10 * 365))
    zone = rng.choice(list(ZONES) + list(FIXED))
    start = datetime(start_day.year, start_day.month, start_day.day, rng.randint(7, 18),
                     rng.choice([0, 15, 30, 45]))
    length = timedelta(minutes=rng.choice([15, 30, 30, 45, 60, 60, 90]))
    topic = rng.choice(TOPICS)
    common = "UID:%s\r\nDTSTAMP:20240101T000000Z\r\nSEQUENCE:%d\r\n" % (uid, rng.randint(0, 3))
    description = fold("DESCRIPTION:%s\\n\\nJoin the call: %s\\nMeeting ID: %d\\n"
                       "Please keep your camera on if you can\\, thanks!"
                       % (topic, link(rng), rng.randint(10**8, 10**9)))
    zones_used = []
    body = []
    if kind < 0.12:  # all-day
        end_day = start_day + timedelta(days=rng.choice([1, 1, 1, 2, 3]))
        body.append("BEGIN:VEVENT\r\n" + common + "DTSTART;VALUE=DATE:%s\r\nDTEND;VALUE=DATE:%s\r\n"
                    "SUMMARY:%s\r\nTRANSP:TRANSPARENT\r\nEND:VEVENT\r\n"
                    % (start_day.strftime("%Y%m%d"), end_day.strftime("%Y%m%d"),
                       rng.choice(["Conference", "Offsite", "Out of office", "Public holiday"])))
    else:
        zones_used.append(zone)
        dt = "DTSTART;TZID=%s:%s\r\nDTEND;TZID=%s:%s\r\n" % (zone, stamp(start), zone,
                                                               stamp(start + length))
        location = (fold("LOCATION:%s" % link(rng)) if rng.random() < 0.5
                    else fold("LOCATION:%s\\, 4th floor" % rng.choice(ROOMS)))
        recurring = kind > 0.93
        rule = ""
        extra = ""
        if recurring:
            weekday = ["MO", "TU", "WE", "TH", "FR", "SA", "SU"][start.weekday()]
            until = start + timedelta(days=rng.randint(60, 500))
            rule = rng.choice(["RRULE:FREQ=WEEKLY;BYDAY=%s\r\n" % weekday,
                               "RRULE:FREQ=WEEKLY;INTERVAL=2\r\n",
                               "RRULE:FREQ=WEEKLY;UNTIL=%sZ\r\n" % stamp(until),
                               "RRULE:FREQ=WEEKLY;BYDAY=%s;UNTIL=%sZ\r\n" % (weekday, stamp(until)),
                               "RRULE:FREQ=WEEKLY;COUNT=%d\r\n" % rng.randint(5, 60),
                               "RRULE:FREQ=DAILY;COUNT=%d\r\n" % rng.randint(2, 10),
                               "RRULE:FREQ=MONTHLY;UNTIL=%sZ\r\n" % stamp(until)])
            weekly = "WEEKLY" in rule
            step = 14 if "INTERVAL=2" in rule else 7
            exdays = [start + timedelta(days=step * rng.randint(1, 4)) for _ in range(rng.randint(0, 2))]
            if exdays and weekly:
                rule += "EXDATE;TZID=%s:%s\r\n" % (zone, ",".join(stamp(d) for d in exdays))
            if weekly and rng.random() < 0.4:
                moved = start + timedelta(days=step * rng.randint(1, 4))
                new = moved + timedelta(hours=rng.choice([-2, 1, 2, 24]))
                extra = ("BEGIN:VEVENT\r\n" + common +
                         "RECURRENCE-ID;TZID=%s:%s\r\nDTSTART;TZID=%s:%s\r\nDTEND;TZID=%s:%s\r\n"
                         "SUMMARY:%s (moved)\r\n%s%sEND:VEVENT\r\n"
                         % (zone, stamp(moved), zone, stamp(new), zone, stamp(new + length), topic,
                            location, people(rng)))
        status = "STATUS:CANCELLED\r\n" if rng.random() < 0.03 else "STATUS:CONFIRMED\r\n"
        body.append("BEGIN:VEVENT\r\n" + common + dt + rule + "SUMMARY:%s\r\n" % topic +
                    location + description + status + people(rng) +
                    "BEGIN:VALARM\r\nACTION:DISPLAY\r\nDESCRIPTION:Reminder\r\n"
                    "TRIGGER:-PT10M\r\nEND:VALARM\r\nEND:VEVENT\r\n" + extra)
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Example Corp//Calendar Server 4.2//EN\r\n"
            "CALSCALE:GREGORIAN\r\n" + "".join(vtimezone(z) for z in zones_used) +
            "".join(body) + "END:VCALENDAR\r\n")


def main():
    root, count = sys.argv[1], int(sys.argv[2])
    rng = random.Random(count)
    collections = [("work", "Work", "caldav"), ("team", "Team", "caldav"),
                   ("personal", "Personal", "local"), ("shared", "Shared", "exchange")]
    for name, title, kind in collections:
        os.makedirs(os.path.join(root, "calendars", name), exist_ok=True)
        with open(os.path.join(root, "calendars", name, "displayname"), "w") as f:
            f.write(title + "\n")
        with open(os.path.join(root, "calendars", name, "kind"), "w") as f:
            f.write(kind + "\n")
    with open(os.path.join(root, "access"), "w") as f:
        f.write("granted\n")
    with open(os.path.join(root, "me"), "w") as f:
        f.write("alex.morgan@example.com\n")
    for i in range(count):
        name = collections[min(int(rng.random() ** 2 * 4), 3)][0]
        uid = "%08x-%04x-4%03x-%04x-%012x" % (rng.getrandbits(32), rng.getrandbits(16),
                                              rng.getrandbits(12), rng.getrandbits(16),
                                              rng.getrandbits(48))
        with open(os.path.join(root, "calendars", name, uid + ".ics"), "w", newline="") as f:
            f.write(event(rng, i, uid))


if __name__ == "__main__":
    main()
