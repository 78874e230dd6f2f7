#include "Datewise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <thread>

namespace datewise {
namespace {

using calendar::Calendar;
using calendar::Event;
using calendar::Participant;
using nlohmann::json;

const icu::RegexPattern& linkRe() {
  static auto& pattern = *compileLinkRe().release();
  return pattern;
}

Participant person(std::string url, std::int64_t type = 1, std::int64_t status = 2,
                   bool me = false) {
  Participant p;
  p.url = std::move(url);
  p.participantType = type;
  p.participantStatus = status;
  p.isCurrentUser = me;
  return p;
}

// A store that hands out fixed events and answers an access request from a
// thread of its own with a preset status.
class FakeStore final : public calendar::CalendarStore {
 public:
  ~FakeStore() override {
    if (prompt_.joinable()) prompt_.join();
  }
  std::int64_t authorizationStatus() override { return status; }
  void requestFullAccessToEvents(
      std::function<void(bool, std::optional<std::string>)> completion) override {
    ++requests;
    prompt_ = std::thread([this, completion] {
      status = statusAfterRequest;
      completion(status == calendar::fullAccess, std::nullopt);
    });
  }
  std::vector<Event> eventsMatching(const calendar::EventPredicate& predicate) override {
    asked = predicate;
    return events;
  }

  std::int64_t status = calendar::fullAccess;
  std::int64_t statusAfterRequest = calendar::fullAccess;
  int requests = 0;
  std::vector<Event> events;
  std::optional<calendar::EventPredicate> asked;

 private:
  std::thread prompt_;
};

// ---- the event record

Event baseEvent() {
  Event e;
  e.calendarItemIdentifier = "item-1";
  e.startDate = 1700000000.5;
  e.endDate = 1700003600.0;
  e.title = "Standup";
  e.calendar = Calendar{"Work", 1, true};
  return e;
}

TEST(EventDict, FullRecordOfAPlainEvent) {
  EXPECT_EQ(*eventDict(baseEvent(), linkRe()), json::parse(R"({
    "id": "item-1@1700000000500", "title": "Standup", "start": 1700000000500,
    "end": 1700003600000, "allDay": false, "calendar": "Work", "calendarKind": "caldav",
    "writable": true, "attendees": []})"));
}

struct EventCase {
  const char* name;
  std::function<void(Event&)> change;
  // The keys the record must hold with these values, or "null" when the
  // event is left out.
  const char* expected;
  std::vector<std::string> absent = {};
};

const EventCase eventCases[] = {
    {"canceled with the user accepting",
     [](Event& e) {
       e.status = 3;
       e.attendees = {{person("mailto:me@x", 1, 2, true)}};
     },
     "null"},
    {"confirmed and tentative are kept", [](Event& e) { e.status = 2; }, R"({"title": "Standup"})"},
    {"first user entry declined",
     [](Event& e) {
       e.attendees = {{person("mailto:a@x"), person("mailto:me@x", 0, 3, true)}};
     },
     "null"},
    {"user accepted first, declined later",
     [](Event& e) {
       e.attendees = {{person("mailto:me@x", 1, 2, true), person("mailto:me@x", 1, 3, true)}};
     },
     R"({"attendees": [{"me": true, "status": "accepted", "email": "me@x"},
                       {"me": true, "status": "declined", "email": "me@x"}]})"},
    {"user declined only as a room",
     [](Event& e) { e.attendees = {{person("mailto:me@x", 2, 3, true)}}; }, R"({"attendees": []})"},
    {"rooms, resources, groups and unknown types dropped; undetermined kept",
     [](Event& e) {
       e.attendees = {{person("mailto:r@x", 2), person("mailto:s@x", 3), person("mailto:g@x", 4),
                       person("mailto:n@x", 9), person("mailto:u@x", 0, 4),
                       person("mailto:p@x", 1, 1)}};
     },
     R"({"attendees": [{"me": false, "status": "tentative", "email": "u@x"},
                       {"me": false, "status": "pending", "email": "p@x"}]})"},
    {"user tentative is listed with me true",
     [](Event& e) { e.attendees = {{person("mailto:me@x", 1, 4, true)}}; },
     R"({"attendees": [{"me": true, "status": "tentative", "email": "me@x"}]})"},
    {"no start date", [](Event& e) { e.startDate.reset(); }, R"({"start": 0, "id": "item-1@0"})"},
    {"no end date", [](Event& e) { e.endDate.reset(); }, R"({"end": 0})"},
    {"half a millisecond after the epoch", [](Event& e) { e.startDate = 0.0005; },
     R"({"start": 0, "id": "item-1@0"})"},
    {"one and a half milliseconds before the epoch", [](Event& e) { e.startDate = -0.0015; },
     R"({"start": -1, "id": "item-1@-1"})"},
    {"NaN start counts as 0", [](Event& e) { e.startDate = std::nan(""); }, R"({"start": 0})"},
    {"infinite dates clamp to the int64 range",
     [](Event& e) {
       e.startDate = HUGE_VAL;
       e.endDate = -HUGE_VAL;
     },
     R"({"start": 9223372036854775807, "end": -9223372036854775808,
         "id": "item-1@9223372036854775807"})"},
    {"event identifier preferred", [](Event& e) { e.eventIdentifier = "uid-7"; },
     R"({"id": "uid-7@1700000000500"})"},
    {"all-day flag", [](Event& e) { e.isAllDay = true; }, R"({"allDay": true})"},
    {"title of spaces and line breaks", [](Event& e) { e.title = " \n\r\t "; }, R"({"title": ""})"},
    {"title trimmed of Unicode white space, inner kept",
     [](Event& e) { e.title = "\u00a0\u2003Team  sync\u2028\u0085"; },
     R"({"title": "Team  sync"})"},
    {"no title", [](Event& e) { e.title.reset(); }, R"({"title": ""})"},
    {"empty location left out", [](Event& e) { e.location = ""; }, "{}", {"location"}},
    {"location of spaces kept unchanged", [](Event& e) { e.location = "   "; },
     R"({"location": "   "})"},
    {"URL link wins",
     [](Event& e) {
       e.url = "https://meet.example/a";
       e.location = "https://loc.example/b";
       e.notes = "https://notes.example/c";
     },
     R"({"joinUrl": "https://meet.example/a"})"},
    {"http URL passed over for the location",
     [](Event& e) {
       e.url = "http://meet.example/a";
       e.location = "Room 1, https://loc.example/b";
     },
     R"({"joinUrl": "https://loc.example/b"})"},
    {"first of two links in the notes",
     [](Event& e) {
       e.location = "Room 1";
       e.notes = "Join https://one.example/x or https://two.example/y";
     },
     R"({"joinUrl": "https://one.example/x"})"},
    {"link ends before a closing parenthesis", [](Event& e) { e.notes = "(https://a.example/x)"; },
     R"({"joinUrl": "https://a.example/x"})"},
    {"link ends before a closing bracket", [](Event& e) { e.notes = "[https://a.example/x]"; },
     R"({"joinUrl": "https://a.example/x"})"},
    {"link between angle brackets", [](Event& e) { e.notes = "<https://a.example/x>"; },
     R"({"joinUrl": "https://a.example/x"})"},
    {"link ends before quotes and white space",
     [](Event& e) { e.notes = "\"https://a.example/x\" 'https://b'"; },
     R"({"joinUrl": "https://a.example/x"})"},
    {"link ends at a no-break space", [](Event& e) { e.notes = "https://a.example/x\u00a0next"; },
     R"({"joinUrl": "https://a.example/x"})"},
    {"link keeps a following full stop and comma",
     [](Event& e) { e.notes = "See https://a.example/x., then"; },
     R"({"joinUrl": "https://a.example/x.,"})"},
    {"capital scheme is no link",
     [](Event& e) { e.notes = "HTTPS://a.example/x"; },
     "{}",
     {"joinUrl"}},
    {"bare scheme skipped, search goes on",
     [](Event& e) { e.notes = "https:// and https://b.example"; },
     R"({"joinUrl": "https://b.example"})"},
    {"bare scheme at the end is no link", [](Event& e) { e.url = "https://"; }, "{}", {"joinUrl"}},
    {"link with non-ASCII characters",
     [](Event& e) { e.location = "https://ex.example/caf\u00e9\U0001F600 x"; },
     R"({"joinUrl": "https://ex.example/caf\u00e9\ud83d\ude00"})"},
    {"texts that are not UTF-8 are repaired",
     [](Event& e) {
       e.eventIdentifier = "u\xff";
       e.title = " T\xc3 ";
       e.location = "L\xed\xa0\x80";  // an encoded surrogate
       e.calendar->title = "C\x80";
       e.attendees = {{person("mailto:a\xfe@x")}};
       e.attendees->front().name = "N\xc0\xaf";  // an overlong "/"
     },
     R"({"id": "u\ufffd@1700000000500", "title": "T\ufffd", "location": "L\ufffd\ufffd\ufffd",
         "calendar": "C\ufffd",
         "attendees": [{"me": false, "status": "accepted", "name": "N\ufffd\ufffd",
                        "email": "a\ufffd@x"}]})"},
    {"no calendar", [](Event& e) { e.calendar.reset(); },
     R"({"calendar": "", "calendarKind": "unknown", "writable": false})"},
    {"calendar of an unknown type",
     [](Event& e) {
       e.calendar = Calendar{"Birthdays", 7, false};
     },
     R"({"calendar": "Birthdays", "calendarKind": "unknown", "writable": false})"},
    {"organizer reported whatever its type",
     [](Event& e) {
       e.organizer = person("mailto:Boss@X", 2, 0);
       e.organizer->name = "Boss";
     },
     R"({"organizer": {"me": false, "status": "pending", "name": "Boss", "email": "boss@x"}})"},
    {"no organizer", [](Event&) {}, "{}", {"organizer", "location", "joinUrl"}},
};

TEST(EventDict, Cases) {
  for (const EventCase& c : eventCases) {
    Event e = baseEvent();
    c.change(e);
    std::optional<json> record = eventDict(e, linkRe());
    json expected = json::parse(c.expected);
    if (expected.is_null()) {
      EXPECT_FALSE(record) << c.name << ": " << record->dump();
      continue;
    }
    ASSERT_TRUE(record) << c.name;
    for (const auto& [key, value] : expected.items()) {
      EXPECT_EQ((*record)[key], value) << c.name << ": key " << key;
    }
    for (const std::string& key : c.absent) EXPECT_FALSE(record->contains(key)) << c.name << key;
  }
}

TEST(EventDict, CalendarKindWords) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "local"},    {1, "caldav"},  {2, "exchange"}, {3, "subscription"},
      {4, "birthday"}, {5, "unknown"}, {-1, "unknown"},
  };
  for (const auto& [type, word] : cases) {
    Event e = baseEvent();
    e.calendar->type = type;
    EXPECT_EQ((*eventDict(e, linkRe()))["calendarKind"], word) << type;
  }
}

// ---- the participant record

TEST(PersonDict, StatusWords) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "pending"}, {1, "pending"}, {2, "accepted"}, {3, "declined"}, {4, "tentative"},
      {5, "pending"}, {6, "pending"}, {7, "pending"},  {8, "pending"},  {-1, "pending"},
  };
  for (const auto& [status, word] : cases) {
    EXPECT_EQ(personDict(person("x:", 1, status))["status"], word) << status;
  }
}

TEST(PersonDict, NameAndMe) {
  struct Case {
    std::optional<std::string> name;
    bool me;
    const char* expected;
  } cases[] = {
      {std::nullopt, false, R"({"me": false, "status": "accepted"})"},
      {"", true, R"({"me": true, "status": "accepted"})"},
      {" Bob ", false, R"({"me": false, "status": "accepted", "name": " Bob "})"},
  };
  for (const Case& c : cases) {
    Participant p = person("urn:x", 1, 2, c.me);
    p.name = c.name;
    EXPECT_EQ(personDict(p), json::parse(c.expected)) << c.name.value_or("(absent)");
  }
}

TEST(EmailOf, Cases) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"mailto:Bob@Example.COM", "bob@example.com"},
      {"MAILTO:bob@example.com", "bob@example.com"},
      {"MailTo:bob@example.com", "bob@example.com"},
      {"https://example.com/bob", std::nullopt},
      {"urn:uuid:1234", std::nullopt},
      {"mailto:", std::nullopt},
      {"MAILTO:", std::nullopt},
      {"", std::nullopt},
      {"mail:bob", std::nullopt},
      {"mailto:bob%20smith@x.org", "bob smith@x.org"},
      {"mailto:%42ob@x.org", "bob@x.org"},
      {"mailto:Bob%2@x.org", "bob%2@x.org"},
      {"mailto:Bob%zz@x.org", "bob%zz@x.org"},
      {"mailto:Bob%", "bob%"},
      {"mailto:Bob%ff@x.org", "bob%ff@x.org"},  // decodes to bytes that are not UTF-8
      {"mailto:%C3%89@x.org", "\u00e9@x.org"},  // UTF-8 escapes, then lower-cased
      {"mailto:bob@x.org?subject=Hello%20There", "bob@x.org?subject=hello there"},
      {"mailto: bob@x.org ", " bob@x.org "},
      {"mailto:\u0130@x.org", "i\u0307@x.org"},  // full, locale-free lower-casing
      {"mailto:\u03a3A", "\u03c3a"},
  };
  for (const auto& [url, expected] : cases) {
    EXPECT_EQ(emailOf(person(url)), expected) << url;
  }
}

// ---- command-line pieces

TEST(ArgValue, Cases) {
  using Args = std::vector<std::string>;
  struct Case {
    Args args;
    const char* name;
    std::optional<std::string> expected;
  } cases[] = {
      {{"dw", "--from-ms=12"}, "from-ms", "12"},
      {{"dw", "--from-ms="}, "from-ms", ""},
      {{"dw", "--from-ms=a=b"}, "from-ms", "a=b"},
      {{"dw", "--from-ms", "12"}, "from-ms", std::nullopt},
      {{"dw", "--from-ms=1", "--from-ms=9"}, "from-ms", "1"},
      {{"--from-ms=0", "--from-ms=9"}, "from-ms", "0"},  // argument 0 is scanned too
      {{"dw", "-from-ms=1", "--FROM-MS=1"}, "from-ms", std::nullopt},
      {{"dw", "--to-ms=5"}, "from-ms", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(argValue(c.args, c.name), c.expected) << ::testing::PrintToString(c.args);
  }
}

TEST(ReadNumber, AcceptedForms) {
  const std::pair<const char*, double> cases[] = {
      {"0", 0},
      {"1700000000000", 1700000000000},
      {"-5", -5},
      {"+5", 5},
      {"1e3", 1000},
      {"0x1p10", 1024},
      {"2.5", 2.5},
      {".5", 0.5},
      {"1.", 1},
      {"0X10", 16},
      {"-inf", -HUGE_VAL},
      {"Infinity", HUGE_VAL},
  };
  for (const auto& [text, value] : cases) {
    std::optional<double> n = readNumber(text);
    ASSERT_TRUE(n) << text;
    EXPECT_EQ(*n, value) << text;
  }
  EXPECT_TRUE(std::isnan(readNumber("NaN").value_or(0)));
  EXPECT_TRUE(std::isnan(readNumber("nan").value_or(0)));
}

TEST(ReadNumber, RejectedForms) {
  for (const char* text : {"", " 1", "\t1", "\n1", "\v1", "\f1", "\r1", "1 ", "1\n", "1,000",
                           "1_000", "abc", "1e", "0x", "--1", "1.2.3", "5ms", "infinit"}) {
    EXPECT_FALSE(readNumber(text)) << '"' << text << '"';
  }
}

TEST(StatusWord, EveryState) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "not-determined"}, {1, "restricted"}, {2, "denied"},   {3, "granted"},
      {4, "write-only"},     {5, "unknown"},    {-1, "unknown"}, {7, "unknown"},
  };
  for (const auto& [status, word] : cases) EXPECT_EQ(statusWord(status), word) << status;
}

TEST(Milliseconds, TruncationAndRange) {
  const std::pair<double, std::int64_t> cases[] = {
      {1.9999, 1999},         {-1.9999, -1999},
      {-0.0009, 0},           {9e15, 9000000000000000000},
      {9.3e15, INT64_MAX},    {-9.3e15, INT64_MIN},
      {-HUGE_VAL, INT64_MIN},
  };
  for (const auto& [seconds, ms] : cases) EXPECT_EQ(millisecondsOf(seconds), ms) << seconds;
  EXPECT_EQ(millisecondsOf(std::nan("")), 0);
}

TEST(EmitLine, CompactWithEscapedSolidusOrNothing) {
  EXPECT_EQ(emitLine(json{{"a", "https://x/y"}}), "{\"a\":\"https:\\/\\/x\\/y\"}\n");
  EXPECT_EQ(emitLine(json{{"a", "\xff"}}), std::nullopt);
}

// ---- the window query

Event startingAt(std::optional<double> start, std::string id) {
  Event e = baseEvent();
  e.startDate = start;
  e.eventIdentifier = id;
  return e;
}

std::vector<std::string> idsOf(const json& records) {
  std::vector<std::string> ids;
  for (const json& r : records) ids.push_back(r["id"].get<std::string>());
  return ids;
}

TEST(EventsInWindow, StableStartOrderWithAbsentStartsFirst) {
  FakeStore store;
  store.events = {startingAt(30, "c"),
                  startingAt(10, "a"),
                  startingAt(std::nullopt, "n1"),
                  startingAt(20, "b1"),
                  startingAt(20, "b2"),
                  startingAt(-60000000000.0, "old"),
                  startingAt(std::nullopt, "n2"),
                  startingAt(20, "b3")};
  store.events[4].status = 3;  // left out between its equals
  store.events[4].endDate = 0;
  json records = eventsInWindow(store, 1.5, 2500.25, linkRe());
  EXPECT_EQ(idsOf(records),
            (std::vector<std::string>{"n1@0", "n2@0", "old@-60000000000000", "a@10000", "b1@20000",
                                      "b3@20000", "c@30000"}));
  ASSERT_TRUE(store.asked);
  EXPECT_EQ(store.asked->startDate, 0.0015);
  EXPECT_EQ(store.asked->endDate, 2.50025);
}

TEST(EventsInWindow, EmptyWindow) {
  FakeStore store;
  EXPECT_EQ(eventsInWindow(store, -HUGE_VAL, HUGE_VAL, linkRe()), json::array());
  EXPECT_EQ(store.asked->startDate, -HUGE_VAL);
}

// ---- one run

class RecordingOutputs final : public Outputs {
 public:
  void emitBytes(std::string_view line) override {
    out += line;
    ++emits;
  }
  void printWord(std::string_view line) override { out += line; }
  void writeError(std::string_view text) override { err += text; }
  std::string out, err;
  int emits = 0;
};

struct RunResult {
  int code;
  std::string out, err;
  int requests, relaunches, storesOpened;
};

RunResult runWith(std::vector<std::string> args, std::int64_t status, bool marker = false,
                  std::int64_t statusAfterRequest = calendar::fullAccess) {
  FakeStore store;
  store.status = status;
  store.statusAfterRequest = statusAfterRequest;
  store.events = {baseEvent()};
  RecordingOutputs outputs;
  int relaunches = 0, opened = 0;
  RunContext context;
  context.args = std::move(args);
  context.args.insert(context.args.begin(), "datewise");
  context.disclaimedMarker = marker;
  context.relaunch = [&] { return ++relaunches, 42; };
  context.openStore = [&]() -> calendar::CalendarStore& { return ++opened, store; };
  context.linkRe = &linkRe();
  context.outputs = &outputs;
  int code = run(context);
  return {code, outputs.out, outputs.err, store.requests, relaunches, opened};
}

const std::string grantedLine =
    R"({"events":[{"allDay":false,"attendees":[],"calendar":"Work","calendarKind":"caldav",)"
    R"("end":1700003600000,"id":"item-1@1700000000500","start":1700000000500,)"
    R"("title":"Standup","writable":true}],"status":"granted"})"
    "\n";

TEST(DatewiseRun, ModesAndOutcomes) {
  const std::string general(generalUsage), events(eventsUsage);
  struct Case {
    std::vector<std::string> args;
    std::int64_t status;
    int code;
    std::string out, err;
    int requests = 0;
  } cases[] = {
      {{}, 3, 1, "", general},
      {{"--disclaim"}, 3, 1, "", general},  // with the marker: no relaunch, no mode
      {{"--Status", "status", "--events=1"}, 3, 1, "", general},
      {{"--status"}, 0, 0, "not-determined\n", ""},
      {{"--status"}, 4, 0, "write-only\n", ""},
      {{"--status"}, 99, 0, "unknown\n", ""},
      {{"--events", "--status", "--request"}, 2, 0, "denied\n", ""},
      {{"--request"}, 0, 0, "granted\n", "", 1},
      {{"--events", "--request"}, 0, 0, "granted\n", "", 1},
      {{"--request"}, 2, 0, "denied\n", ""},
      {{"--request"}, 1, 0, "restricted\n", ""},
      {{"--request"}, 3, 0, "granted\n", ""},
      {{"--events"}, 3, 1, "", events},
      {{"--events", "--from-ms=1"}, 3, 1, "", events},
      {{"--events", "--to-ms=5"}, 3, 1, "", events},
      {{"--events", "--from-ms=5", "--to-ms=5"}, 3, 1, "", events},
      {{"--events", "--from-ms=10", "--to-ms=5"}, 3, 1, "", events},
      {{"--events", "--from-ms=", "--to-ms=5"}, 3, 1, "", events},
      {{"--events", "--from-ms", "1", "--to-ms=5"}, 3, 1, "", events},
      {{"--events", "--from-ms= 1", "--to-ms=5"}, 3, 1, "", events},
      {{"--events", "--from-ms=1", "--to-ms=5 "}, 3, 1, "", events},
      {{"--events", "--from-ms=1,000", "--to-ms=5000"}, 3, 1, "", events},
      {{"--events", "--from-ms=nan", "--to-ms=5"}, 3, 1, "", events},
      {{"--events", "--from-ms=1", "--to-ms=NAN"}, 3, 1, "", events},
      {{"--events", "--from-ms=1", "--to-ms=5"},
       2,
       2,
       R"({"events":[],"status":"denied"})"
       "\n",
       ""},
      {{"--events", "--from-ms=1", "--to-ms=5"},
       0,
       2,
       R"({"events":[],"status":"not-determined"})"
       "\n",
       ""},
      {{"--events", "--from-ms=1", "--to-ms=5"},
       4,
       2,
       R"({"events":[],"status":"write-only"})"
       "\n",
       ""},
      {{"--events", "--from-ms=1", "--to-ms=5"},
       8,
       2,
       R"({"events":[],"status":"unknown"})"
       "\n",
       ""},
      {{"--events", "--from-ms=1", "--to-ms=5"}, 3, 0, grantedLine, ""},
      {{"--to-ms=0x1p10", "--from-ms=1e3", "--events"}, 3, 0, grantedLine, ""},
      {{"--events", "--from-ms=1", "--from-ms=9", "--to-ms=5"}, 3, 0, grantedLine, ""},
      {{"--events", "--from-ms=-inf", "--to-ms=inf"}, 3, 0, grantedLine, ""},
      {{"--events", "--from-ms=0.25", "--to-ms=0.5"}, 3, 0, grantedLine, ""},
  };
  for (const Case& c : cases) {
    RunResult r = runWith(c.args, c.status, true);
    std::string name = ::testing::PrintToString(c.args) + " status " + std::to_string(c.status);
    EXPECT_EQ(r.code, c.code) << name;
    EXPECT_EQ(r.out, c.out) << name;
    EXPECT_EQ(r.err, c.err) << name;
    EXPECT_EQ(r.requests, c.requests) << name;
    EXPECT_EQ(r.storesOpened, 1) << name;
    EXPECT_EQ(r.relaunches, 0) << name;
  }
}

TEST(DatewiseRun, RequestReportsTheStoreNotTheCompletion) {
  RunResult r = runWith({"--request"}, 0, false, calendar::denied);
  EXPECT_EQ(r.out, "denied\n");
  EXPECT_EQ(r.requests, 1);
  r = runWith({"--request"}, 0, false, calendar::notDetermined);  // nobody answered
  EXPECT_EQ(r.out, "not-determined\n");
}

TEST(DatewiseRun, BadBytesFromTheStoreDoNotCostTheLine) {
  FakeStore store;
  store.events = {baseEvent()};
  store.events[0].title = "\xff";
  RecordingOutputs outputs;
  RunContext context;
  context.args = {"datewise", "--events", "--from-ms=0", "--to-ms=1"};
  context.openStore = [&]() -> calendar::CalendarStore& { return store; };
  context.linkRe = &linkRe();
  context.outputs = &outputs;
  EXPECT_EQ(run(context), 0);
  EXPECT_EQ(outputs.emits, 1);
  EXPECT_NE(outputs.out.find("\"title\":\"\xef\xbf\xbd\""), std::string::npos) << outputs.out;
}

TEST(Emit, AnUnwritableObjectWritesNothing) {
  RecordingOutputs outputs;
  emit(outputs, json{{"a", "\xff"}});
  EXPECT_EQ(outputs.emits, 0);
  emit(outputs, json{{"a", "b"}});
  EXPECT_EQ(outputs.out, "{\"a\":\"b\"}\n");
}

TEST(DatewiseRun, RelaunchDecision) {
  struct Case {
    std::vector<std::string> args;
    bool marker;
    int relaunches;
  } cases[] = {
      {{"--disclaim", "--status"}, false, 1},
      {{"--status", "--disclaim"}, false, 1},
      {{"--disclaim"}, false, 1},
      {{"--disclaim", "--status"}, true, 0},
      {{"--disclaim=1", "--status"}, false, 0},
      {{"--DISCLAIM", "--status"}, false, 0},
  };
  for (const Case& c : cases) {
    RunResult r = runWith(c.args, 3, c.marker);
    std::string name = ::testing::PrintToString(c.args) + (c.marker ? " marked" : "");
    EXPECT_EQ(r.relaunches, c.relaunches) << name;
    if (c.relaunches) {
      // The first process creates no store and writes nothing itself.
      EXPECT_EQ(r.code, 42) << name;
      EXPECT_EQ(r.storesOpened, 0) << name;
      EXPECT_EQ(r.out + r.err, "") << name;
    } else {
      EXPECT_EQ(r.out, "granted\n") << name;
    }
  }
}

}  // namespace
}  // namespace datewise
