#include "calendar/index/StoreIndex.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>
#include <chrono>
#include <cstdio>
static double T0(){return std::chrono::duration<double,std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();}
#define TR(x) if(getenv("HIX_TRACE")) fprintf(stderr,"%s %.2f\n",x,T0());

#include "calendar/IcsFile.h"
#include "calendar/StoreText.h"
#include "calendar/index/FileSpan.h"
#include "calendar/index/StatBatch.h"

namespace calendar {

namespace {

// Bumped whenever what the index holds or how it is computed changes: an
// index of another format is rebuilt.
constexpr int kFormat = 1;
constexpr off_t kMaxFileBytes = 256 << 20;
constexpr int kBusyMilliseconds = 5000;

// ---- files ----------------------------------------------------------------

int openForReading(const std::string& path) {
  // O_NONBLOCK: a FIFO under the store must not hang the query.
  return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

bool readAll(int fd, std::string& text) {
  char buffer[65536];
  while (true) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// A regular file's bytes and the key of the version they were read from.
struct Read {
  std::string bytes;
  FileKey key;
};

std::optional<Read> readKeyed(const std::string& path) {
  const int fd = openForReading(path);
  if (fd < 0) return std::nullopt;
  std::optional<Read> result;
  const FileStat st = statOpen(fd);
  if (st.found && st.regular && st.key.size <= kMaxFileBytes) {
    result.emplace();
    result->key = st.key;
    if (!readAll(fd, result->bytes)) result.reset();
  }
  close(fd);
  return result;
}

std::optional<std::string> readSmall(const std::string& path) {
  auto r = readKeyed(path);
  if (!r) return std::nullopt;
  return std::move(r->bytes);
}

std::vector<std::string> sortedEntries(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

enum class Kind { directory, file, other };

Kind kindOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Kind::other;
  if (S_ISDIR(st.st_mode)) return Kind::directory;
  if (S_ISREG(st.st_mode)) return Kind::file;
  return Kind::other;
}

bool isIcsName(std::string_view name) {
  return name.size() >= 4 && name.substr(name.size() - 4) == ".ics";
}

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// ---- the store's layout, walked afresh on every query ----------------------

// One .ics file, in the order its events come back.
struct Unit {
  std::string path;
  std::string itemPath;
  std::size_t calendar;
  bool namesCalendar;  // a calendar file: its X-WR-CALNAME is the title
};

struct Layout {
  std::vector<Calendar> calendars;
  std::vector<Unit> units;
};

class Walker {
 public:
  Layout walk(const std::string& directory) {
    const std::string root = directory + "/calendars";
    for (const std::string& name : sortedEntries(root)) entry(root + "/" + name, name);
    return std::move(layout_);
  }

 private:
  void entry(const std::string& path, const std::string& name) {
    const Kind kind = kindOf(path);
    if (kind == Kind::file && isIcsName(name)) {
      Calendar calendar;
      calendar.title = name.substr(0, name.size() - 4);
      calendar.allowsContentModifications = access(path.c_str(), W_OK) == 0;
      layout_.units.push_back({path, name, layout_.calendars.size(), true});
      layout_.calendars.push_back(std::move(calendar));
    } else if (kind == Kind::directory) {
      const std::vector<std::string> entries = sortedEntries(path);
      const bool collection = std::any_of(entries.begin(), entries.end(), [](const std::string& e) {
        return e == "displayname" || isIcsName(e);
      });
      if (collection) {
        this->collection(path, name, name, entries);
        return;
      }
      for (const std::string& sub : entries) {
        const std::string subPath = path + "/" + sub;
        if (kindOf(subPath) == Kind::directory) {
          this->collection(subPath, name + "/" + sub, sub, sortedEntries(subPath));
        }
      }
    }
  }

  void collection(const std::string& path, const std::string& itemPrefix, const std::string& name,
                  const std::vector<std::string>& entries) {
    Calendar calendar;
    calendar.title = name;
    if (const auto text = readSmall(path + "/displayname")) {
      const std::string line(firstLine(repairUtf8(*text)));
      if (!line.empty()) calendar.title = line;
    }
    const auto kind = readSmall(path + "/kind");
    calendar.type = kind ? parseKind(*kind) : 0;
    calendar.allowsContentModifications =
        !exists(path + "/read-only") && access(path.c_str(), W_OK) == 0;
    const std::size_t index = layout_.calendars.size();
    layout_.calendars.push_back(std::move(calendar));
    for (const std::string& entry : entries) {
      if (!isIcsName(entry)) continue;
      layout_.units.push_back({path + "/" + entry, itemPrefix + "/" + entry, index, false});
    }
  }

  Layout layout_;
};

// ---- hashing ----------------------------------------------------------------

struct Hash {
  std::uint64_t value = 1469598103934665603ULL;
  Hash& add(std::string_view bytes) {
    for (const char c : bytes) {
      value ^= static_cast<unsigned char>(c);
      value *= 1099511628211ULL;
    }
    return *this;
  }
  Hash& add(std::uint64_t n) {
    char bytes[8];
    std::memcpy(bytes, &n, sizeof bytes);
    return add(std::string_view(bytes, sizeof bytes));
  }
};

std::uint64_t bitsOf(double d) {
  std::uint64_t n;
  std::memcpy(&n, &d, sizeof n);
  return n;
}

double doubleOf(std::uint64_t n) {
  double d;
  std::memcpy(&d, &n, sizeof d);
  return d;
}

// ---- the database -----------------------------------------------------------

// A failed SQLite call: the run gives up on the index.
struct DbError {
  int code;
};

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
      throw DbError{sqlite3_extended_errcode(db)};
    }
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt_); }

  Statement& bind(int i, std::int64_t v) {
    check(sqlite3_bind_int64(stmt_, i, v));
    return *this;
  }
  Statement& bind(int i, std::string_view v) {
    check(sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC));
    return *this;
  }
  Statement& bindBlob(int i, std::string_view v) {
    check(sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC));
    return *this;
  }
  // True while there is a row.
  bool step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw DbError{sqlite3_extended_errcode(sqlite3_db_handle(stmt_))};
  }
  void run() {
    while (step()) {
    }
    reset();
  }
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string_view text(int column) const {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
    return std::string_view(p != nullptr ? p : "",
                            static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
  }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) throw DbError{rc};
  }
  sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw DbError{sqlite3_extended_errcode(db)};
  }
}

bool isCorruption(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_FORMAT ||
         primary == SQLITE_SCHEMA || primary == SQLITE_ERROR || primary == SQLITE_MISMATCH;
}

const char* const kSchema =
    "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE files(id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE,"
    " dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
    " mtime INTEGER NOT NULL, ctime INTEGER NOT NULL, racy INTEGER NOT NULL,"
    " lo INTEGER NOT NULL, hi INTEGER NOT NULL, texthash INTEGER NOT NULL,"
    " rowhash INTEGER NOT NULL);"
    "CREATE TABLE texts(id INTEGER PRIMARY KEY, text BLOB NOT NULL);";

// What the index holds for one file.
struct Row {
  std::int64_t id = 0;
  FileKey key;
  bool racy = false;
  FileSpan span;
  std::uint64_t textHash = 0;
  bool valid = false;  // its checksum holds
  bool seen = false;   // the file is still in the store
};

std::uint64_t rowHash(std::string_view path, const Row& r) {
  return Hash()
      .add(path)
      .add(r.key.dev)
      .add(r.key.ino)
      .add(static_cast<std::uint64_t>(r.key.size))
      .add(static_cast<std::uint64_t>(r.key.mtimeNs))
      .add(static_cast<std::uint64_t>(r.key.ctimeNs))
      .add(static_cast<std::uint64_t>(r.racy))
      .add(bitsOf(r.span.lo))
      .add(bitsOf(r.span.hi))
      .add(r.textHash)
      .value;
}

std::int64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// ---- one query through the index --------------------------------------------

enum class Opened { ready, rebuild, unavailable };

class Session {
 public:
  Session(std::string base, std::string store, const IndexOptions& options)
      : base_(std::move(base)), store_(std::move(store)), options_(options) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { closeAll(); }

  Opened open() {
    TR("open");lock_ = ::open((base_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock_ < 0 || !lockShared()) return Opened::unavailable;
    const std::string path = base_ + ".db";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Opened::unavailable;
    close(fd);
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
      return Opened::unavailable;
    }
    sqlite3_busy_timeout(db_, kBusyMilliseconds);
    try {
      if (!journalIsWal()) return Opened::unavailable;
      exec(db_, "PRAGMA synchronous=NORMAL");
      exec(db_, "BEGIN IMMEDIATE");
      inTransaction_ = true;
      return checkFormat() ? Opened::ready : Opened::rebuild;
    } catch (const DbError& e) {
      return isCorruption(e.code) ? Opened::rebuild : Opened::unavailable;
    }
  }

  // Throws DbError.
  std::vector<Event> query(double start, double end, ZoneCache& zones) {
    TR("begin");loadRows();TR("loaded");
    const auto meText = readSmall(store_ + "/me");
    me_ = meText ? parseMe(repairUtf8(*meText)) : AddressSet();
    const Layout layout = Walker().walk(store_);
    std::vector<std::string> paths;
    paths.reserve(layout.units.size());
    for (const Unit& u : layout.units) paths.push_back(u.path);
    TR("walked");const std::vector<FileStat> stats = statAll(paths, options_.useRing);TR("statted");
    std::vector<Event> events;
    for (std::size_t i = 0; i < layout.units.size(); ++i) {
      const Unit& unit = layout.units[i];
      const FileStat& st = stats[i];
      if (!st.found || !st.regular || st.key.size > kMaxFileBytes) continue;
      const auto it = rows_.find(unit.path);
      if (it != rows_.end() && it->second.valid && !it->second.racy && it->second.key == st.key) {
        Row& row = it->second;
        row.seen = true;
        if (!row.span.meets(start, end)) continue;
        if (auto text = storedText(row)) {
          append(*text, unit, layout, start, end, zones, events);
          continue;
        }
        row.seen = false;  // its text is damaged: read the file again
      }
      refresh(unit, it == rows_.end() ? nullptr : &it->second, layout, start, end, zones, events);
    }
    TR("parsed");removeUnseen();
    exec(db_, "COMMIT");TR("committed");
    inTransaction_ = false;
    return events;
  }

  void closeAll() {
    if (db_ != nullptr) {
      if (inTransaction_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close_v2(db_);
      db_ = nullptr;
    }
    inTransaction_ = false;
    if (lock_ >= 0) close(lock_);
    lock_ = -1;
  }

 private:
  bool lockShared() {
    // A rebuild holds the lock exclusively for a moment only.
    for (int attempt = 0; attempt < 200; ++attempt) {
      if (flock(lock_, LOCK_SH | LOCK_NB) == 0) return true;
      if (errno != EWOULDBLOCK && errno != EINTR) return false;
      usleep(10'000);
    }
    return false;
  }

  bool journalIsWal() {
    Statement mode(db_, "PRAGMA journal_mode=WAL");
    return mode.step() && mode.text(0) == "wal";
  }

  // Inside the transaction: a fresh file gets the schema; anything else must
  // be an index of this format for this store.
  bool checkFormat() {
    std::int64_t version = 0;
    {
      Statement v(db_, "PRAGMA user_version");
      if (v.step()) version = v.integer(0);
    }
    if (version == 0) {
      Statement tables(db_, "SELECT count(*) FROM sqlite_master");
      if (!tables.step() || tables.integer(0) != 0) return false;
      exec(db_, kSchema);
      Statement meta(db_, "INSERT INTO meta(name, value) VALUES('store', ?1)");
      meta.bind(1, store_).run();
      exec(db_, ("PRAGMA user_version=" + std::to_string(kFormat)).c_str());
      return true;
    }
    if (version != kFormat) return false;
    Statement meta(db_, "SELECT value FROM meta WHERE name = 'store'");
    return meta.step() && meta.text(0) == store_;
  }

  void loadRows() {
    Statement s(db_,
                "SELECT id, path, dev, ino, size, mtime, ctime, racy, lo, hi, texthash, rowhash"
                " FROM files");
    while (s.step()) {
      Row r;
      r.id = s.integer(0);
      const std::string_view path = s.text(1);
      r.key.dev = static_cast<std::uint64_t>(s.integer(2));
      r.key.ino = static_cast<std::uint64_t>(s.integer(3));
      r.key.size = s.integer(4);
      r.key.mtimeNs = s.integer(5);
      r.key.ctimeNs = s.integer(6);
      r.racy = s.integer(7) != 0;
      r.span.lo = doubleOf(static_cast<std::uint64_t>(s.integer(8)));
      r.span.hi = doubleOf(static_cast<std::uint64_t>(s.integer(9)));
      r.textHash = static_cast<std::uint64_t>(s.integer(10));
      r.valid = rowHash(path, r) == static_cast<std::uint64_t>(s.integer(11));
      rows_.emplace(std::string(path), r);
    }
  }

  std::optional<std::string> storedText(const Row& row) {
    if (!fetch_) fetch_.emplace(db_, "SELECT text FROM texts WHERE id = ?1");
    fetch_->bind(1, row.id);
    std::optional<std::string> text;
    if (fetch_->step()) {
      const std::string_view t = fetch_->text(0);
      if (Hash().add(t).value == row.textHash) text.emplace(t);
    }
    fetch_->reset();
    return text;
  }

  // Reads a new or changed file, records it, and answers from what was read.
  void refresh(const Unit& unit, Row* row, const Layout& layout, double start, double end,
               ZoneCache& zones, std::vector<Event>& events) {
    const std::int64_t readAt = nowNs();
    auto read = readKeyed(unit.path);
    if (!read) return;  // unreadable: its entry, if any, goes
    const std::string text = repairUtf8(read->bytes);
    Row fresh;
    fresh.key = read->key;
    const std::int64_t newest = std::max(fresh.key.mtimeNs, fresh.key.ctimeNs);
    fresh.racy = newest >= readAt - static_cast<std::int64_t>(options_.racySeconds * 1e9);
    fresh.span = fileSpan(text);
    fresh.textHash = Hash().add(text).value;
    fresh.id = store(unit.path, fresh, text);
    fresh.valid = fresh.seen = true;
    if (row != nullptr) {
      *row = fresh;
    } else {
      rows_.emplace(unit.path, fresh);
    }
    if (options_.afterWrite) options_.afterWrite();
    if (fresh.span.meets(start, end)) append(text, unit, layout, start, end, zones, events);
  }

  std::int64_t store(const std::string& path, const Row& r, const std::string& text) {
    if (!upsert_) {
      upsert_.emplace(db_,
                      "INSERT INTO files(path, dev, ino, size, mtime, ctime, racy, lo, hi,"
                      " texthash, rowhash) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)"
                      " ON CONFLICT(path) DO UPDATE SET dev = excluded.dev, ino = excluded.ino,"
                      " size = excluded.size, mtime = excluded.mtime, ctime = excluded.ctime,"
                      " racy = excluded.racy, lo = excluded.lo, hi = excluded.hi,"
                      " texthash = excluded.texthash, rowhash = excluded.rowhash RETURNING id");
      putText_.emplace(db_, "INSERT OR REPLACE INTO texts(id, text) VALUES(?1, ?2)");
    }
    upsert_->bind(1, path)
        .bind(2, static_cast<std::int64_t>(r.key.dev))
        .bind(3, static_cast<std::int64_t>(r.key.ino))
        .bind(4, r.key.size)
        .bind(5, r.key.mtimeNs)
        .bind(6, r.key.ctimeNs)
        .bind(7, r.racy ? 1 : 0)
        .bind(8, static_cast<std::int64_t>(bitsOf(r.span.lo)))
        .bind(9, static_cast<std::int64_t>(bitsOf(r.span.hi)))
        .bind(10, static_cast<std::int64_t>(r.textHash))
        .bind(11, static_cast<std::int64_t>(rowHash(path, r)));
    if (!upsert_->step()) throw DbError{SQLITE_ERROR};
    const std::int64_t id = upsert_->integer(0);
    upsert_->run();
    putText_->bind(1, id).bindBlob(2, text).run();
    return id;
  }

  void removeUnseen() {
    std::optional<Statement> dropFile, dropText;
    for (const auto& [path, row] : rows_) {
      if (row.seen) continue;
      if (!dropFile) {
        dropFile.emplace(db_, "DELETE FROM files WHERE id = ?1");
        dropText.emplace(db_, "DELETE FROM texts WHERE id = ?1");
      }
      dropFile->bind(1, row.id).run();
      dropText->bind(1, row.id).run();
    }
  }

  void append(const std::string& text, const Unit& unit, const Layout& layout, double start,
              double end, ZoneCache& zones, std::vector<Event>& events) {
    try {
      FileContext context;
      context.itemPath = unit.itemPath;
      context.calendar = layout.calendars[unit.calendar];
      context.me = &me_;
      const RawFile raw = scanIcs(text);
      if (unit.namesCalendar && raw.calendarName) context.calendar.title = *raw.calendarName;
      appendFileEvents(text, raw, context, start, end, zones, events);
    } catch (...) {
      // A file that cannot be read is passed over, as a full read does.
    }
    zones.limitSize();
  }

  const std::string base_;
  const std::string store_;
  const IndexOptions& options_;
  int lock_ = -1;
  sqlite3* db_ = nullptr;
  bool inTransaction_ = false;
  std::unordered_map<std::string, Row> rows_;
  AddressSet me_;
  std::optional<Statement> fetch_, upsert_, putText_;
};

// Removes a database nobody else has open, so that the next attempt starts
// afresh. False when another process is using it.
bool discard(const std::string& base) {
  const int lock = open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock < 0) return false;
  const bool alone = flock(lock, LOCK_EX | LOCK_NB) == 0;
  if (alone) {
    for (const char* suffix : {".db", ".db-wal", ".db-shm", ".db-journal"}) {
      unlink((base + suffix).c_str());
    }
  }
  close(lock);
  return alone;
}

std::string nonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Creates `path` and its missing parents, private to the user.
bool makeDirectories(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !makeDirectories(path.substr(0, slash))) {
    return false;
  }
  return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

std::string absolutePath(const std::string& path) {
  if (char* real = realpath(path.c_str(), nullptr)) {
    std::string r = real;
    std::free(real);
    return r;
  }
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

std::string hex(std::uint64_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, n >>= 4) out[static_cast<std::size_t>(i)] = digits[n & 15];
  return out;
}

}  // namespace

std::string defaultIndexDirectory() {
  if (std::string cache = nonEmptyEnv("XDG_CACHE_HOME"); !cache.empty() && cache[0] == '/') {
    return cache + "/datewise";
  }
  if (std::string home = nonEmptyEnv("HOME"); !home.empty()) return home + "/.cache/datewise";
  return "";
}

bool indexBypassed() {
  const std::string value = nonEmptyEnv("DATEWISE_NO_INDEX");
  return !value.empty() && value != "0";
}

std::optional<std::vector<Event>> indexedEvents(const std::string& storeDirectory, double start,
                                                double end, ZoneCache& zones,
                                                const IndexOptions& options) {
  try {
    const std::string directory =
        options.cacheDirectory.empty() ? defaultIndexDirectory() : options.cacheDirectory;
    if (directory.empty() || !makeDirectories(directory)) return std::nullopt;
    const std::string store = absolutePath(storeDirectory);
    const std::string base = directory + "/store-" + hex(Hash().add(store).value);
    for (int attempt = 0; attempt < 3; ++attempt) {
      Session session(base, store, options);
      const Opened opened = session.open();
      if (opened == Opened::unavailable) return std::nullopt;
      if (opened == Opened::ready) {
        try {
          return session.query(start, end, zones);
        } catch (const DbError& e) {
          if (!isCorruption(e.code)) return std::nullopt;
        }
      }
      session.closeAll();
      if (!discard(base)) return std::nullopt;
    }
  } catch (...) {
  }
  return std::nullopt;
}

}  // namespace calendar
