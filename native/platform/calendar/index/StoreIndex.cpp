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
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "calendar/IcsFile.h"
#include "calendar/StoreFiles.h"
#include "calendar/StoreText.h"
#include "calendar/index/DigestCodec.h"
#include "calendar/index/FileSpan.h"
#include "calendar/index/StatBatch.h"

namespace calendar {

namespace {

// Bumped whenever what the index holds or how it is computed changes: an
// index of another format is rebuilt.
constexpr int kFormat = 5;
constexpr off_t kMaxFileBytes = 256 << 20;
constexpr int kBusyMilliseconds = 5000;

// ---- files ----------------------------------------------------------------

// Reads the size fstat gave (one read for most files), and on to the end if
// the file grew meanwhile, as a full read of the store does.
bool readAll(int fd, std::size_t size, std::string& text) {
  text.resize(size + 1);
  std::size_t used = 0;
  while (true) {
    if (used == text.size()) text.resize(text.size() * 2);
    const ssize_t n = read(fd, text.data() + used, text.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
    if (used == size) break;
  }
  text.resize(used);
  return true;
}

// A regular file's bytes and the key of the version they were read from.
struct Read {
  std::string bytes;
  FileKey key;
  std::int64_t at = 0;  // when the read began, nanoseconds since 1970
};

std::int64_t nowNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// `path` is relative to the open directory `dir` (or AT_FDCWD). O_NONBLOCK:
// a FIFO under the store must not hang the query.
std::optional<Read> readKeyed(int dir, const std::string& path) {
  const std::int64_t at = nowNs();
  const int fd = openat(dir, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::optional<Read> result;
  const FileStat st = statOpen(fd);
  if (st.found && st.regular && st.key.size <= kMaxFileBytes) {
    result.emplace();
    result->key = st.key;
    result->at = at;
    if (!readAll(fd, static_cast<std::size_t>(st.key.size), result->bytes)) result.reset();
  }
  close(fd);
  return result;
}

std::optional<std::string> readSmall(const std::string& path) {
  auto r = readKeyed(AT_FDCWD, path);
  if (!r) return std::nullopt;
  return std::move(r->bytes);
}

// ---- the store's layout, walked afresh on every query ----------------------

// A folder whose .ics files are read: a collection, or calendars/ itself for
// the calendar files among its entries.
struct Folder {
  std::string path;
  std::string itemPrefix;  // the folder's path below calendars/, with a slash
  int fd = -1;             // open for the checks; -1 when it cannot be opened
};

// One .ics file, in the order its events come back.
struct Unit {
  std::uint32_t folder;
  std::uint32_t calendar;
  bool namesCalendar;  // a calendar file: its X-WR-CALNAME is the title
  std::string name;
};

struct Layout {
  Layout() = default;
  Layout(const Layout&) = delete;
  Layout& operator=(const Layout&) = delete;
  Layout(Layout&&) = default;
  ~Layout() {
    for (const Folder& f : folders) {
      if (f.fd >= 0) close(f.fd);
    }
  }
  std::string itemPath(const Unit& u) const { return folders[u.folder].itemPrefix + u.name; }
  std::string path(const Unit& u) const { return folders[u.folder].path + "/" + u.name; }

  std::vector<Calendar> calendars;
  std::vector<Folder> folders;
  std::vector<Unit> units;
};

// The sorted names in a directory.
using Lister = std::function<std::vector<std::string>(const std::string& path)>;

class Walker {
 public:
  explicit Walker(Lister list) : list_(std::move(list)) {}

  Layout walk(const std::string& directory) {
    const std::string root = directory + "/calendars";
    rootFolder_ = addFolder(root, "");
    for (const std::string& name : list_(root)) entry(root + "/" + name, name);
    return std::move(layout_);
  }

 private:
  std::uint32_t addFolder(const std::string& path, std::string prefix) {
    Folder f;
    f.path = path;
    f.itemPrefix = std::move(prefix);
    f.fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    layout_.folders.push_back(std::move(f));
    return static_cast<std::uint32_t>(layout_.folders.size() - 1);
  }

  std::uint32_t addCalendar(Calendar calendar) {
    layout_.calendars.push_back(std::move(calendar));
    return static_cast<std::uint32_t>(layout_.calendars.size() - 1);
  }

  void entry(const std::string& path, const std::string& name) {
    const Kind kind = kindOf(path);
    if (kind == Kind::file && isIcsName(name)) {
      Calendar calendar;
      calendar.title = repairUtf8(name.substr(0, name.size() - 4));
      calendar.allowsContentModifications = access(path.c_str(), W_OK) == 0;
      layout_.units.push_back({rootFolder_, addCalendar(std::move(calendar)), true, name});
    } else if (kind == Kind::directory) {
      std::vector<std::string> entries = list_(path);
      const bool collection = std::any_of(entries.begin(), entries.end(), [](const std::string& e) {
        return e == "displayname" || isIcsName(e);
      });
      if (collection) {
        this->collection(path, name, name, std::move(entries));
        return;
      }
      for (const std::string& sub : entries) {
        const std::string subPath = path + "/" + sub;
        if (kindOf(subPath) == Kind::directory) {
          this->collection(subPath, name + "/" + sub, sub, list_(subPath));
        }
      }
    }
  }

  void collection(const std::string& path, const std::string& itemPrefix, const std::string& name,
                  std::vector<std::string> entries) {
    Calendar calendar;
    calendar.title = repairUtf8(name);
    if (const auto text = readSmall(path + "/displayname")) {
      const std::string line(firstLine(repairUtf8(*text)));
      if (!line.empty()) calendar.title = line;
    }
    const auto kind = readSmall(path + "/kind");
    calendar.type = kind ? parseKind(*kind) : 0;
    calendar.allowsContentModifications =
        !exists(path + "/read-only") && access(path.c_str(), W_OK) == 0;
    const std::uint32_t index = addCalendar(std::move(calendar));
    const std::uint32_t folder = addFolder(path, itemPrefix + "/");
    layout_.units.reserve(layout_.units.size() + entries.size());
    for (std::string& entry : entries) {
      if (isIcsName(entry)) layout_.units.push_back({folder, index, false, std::move(entry)});
    }
  }

  Lister list_;
  Layout layout_;
  std::uint32_t rootFolder_ = 0;
};

// ---- hashing ----------------------------------------------------------------

// A 64-bit checksum, eight bytes at a time: it guards what the index holds
// against damage SQLite itself would not notice.
std::uint64_t checksum(std::string_view bytes) {
  std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ bytes.size();
  const auto mix = [&h](std::uint64_t word) {
    h ^= word;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 32;
  };
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    mix(word);
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, bytes.data() + i, bytes.size() - i);
  mix(tail);
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  return h ^ (h >> 33);
}

// What the index stores ends with a checksum of all that comes before it.
void seal(std::string& data) {
  const std::uint64_t sum = checksum(data);
  data.append(reinterpret_cast<const char*>(&sum), sizeof sum);
}

// What `data` holds before its checksum, when the checksum is right.
std::optional<std::string_view> unseal(std::string_view data) {
  std::uint64_t sum = 0;
  if (data.size() < sizeof sum) return std::nullopt;
  std::memcpy(&sum, data.data() + data.size() - sizeof sum, sizeof sum);
  data.remove_suffix(sizeof sum);
  if (checksum(data) != sum) return std::nullopt;
  return data;
}

// Listings and digests begin with the key of what they were taken from.
constexpr std::size_t kKeyBytes = 5 * 8;

void putKey(const FileKey& key, std::string& out) {
  const std::uint64_t words[5] = {key.dev, key.ino, static_cast<std::uint64_t>(key.size),
                                  static_cast<std::uint64_t>(key.mtimeNs),
                                  static_cast<std::uint64_t>(key.ctimeNs)};
  out.append(reinterpret_cast<const char*>(words), sizeof words);
}

// `data` holds at least kKeyBytes.
FileKey keyAt(std::string_view data) {
  std::uint64_t words[5];
  std::memcpy(words, data.data(), sizeof words);
  return FileKey{words[0], words[1], static_cast<std::int64_t>(words[2]),
                 static_cast<std::int64_t>(words[3]), static_cast<std::int64_t>(words[4])};
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

// The manifest (every file's key and span) is one blob, read and written
// whole: a query reads it with one lookup instead of a row per file. A
// file's digest is kept under its path hash once a query has needed it.
const char* const kSchema =
    "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE manifest(id INTEGER PRIMARY KEY, data BLOB NOT NULL);"
    "CREATE TABLE listing(path TEXT PRIMARY KEY, data BLOB NOT NULL);"
    "CREATE TABLE digest(id INTEGER PRIMARY KEY, data BLOB NOT NULL);";

// What digests depend on beyond the files: the zones a TZID names in the
// system's database and the local time floating times are read in. When any
// of it changes, every digest is dropped.
std::string zoneEnvironment() {
  std::string out;
  for (const char* name : {"TZ", "TZDIR"}) {
    const char* value = std::getenv(name);
    out.append(name).append(value != nullptr ? "=" : "-").append(value != nullptr ? value : "");
    out.push_back('\n');
  }
  char link[PATH_MAX];
  const ssize_t n = readlink("/etc/localtime", link, sizeof link);
  if (n > 0) out.append(link, static_cast<std::size_t>(n));
  out.push_back('\n');
  for (const char* path : {"/etc/localtime", "/usr/share/zoneinfo/tzdata.zi"}) {
    const FileStat st = statAt(AT_FDCWD, path);
    for (const std::int64_t v :
         {static_cast<std::int64_t>(st.key.dev), static_cast<std::int64_t>(st.key.ino), st.key.size,
          st.key.mtimeNs, st.key.ctimeNs}) {
      out.append(std::to_string(v)).push_back(' ');
    }
    out.push_back('\n');
  }
  return out;
}

// What the index holds for one file.
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

// What the index holds for one file. Files are known by a hash of their path
// below calendars/: two paths with the same hash would still need the same
// device, inode, size and times to be taken for one another.
struct Row {
  std::uint64_t pathHash = 0;
  FileKey key;
  FileSpan span;
  std::uint64_t racy = 0;
};

// The manifest is the rows back to back, then a checksum of them.
constexpr std::size_t kRowBytes = 9 * 8;

void putRow(const Row& r, std::string& out) {
  const std::uint64_t words[9] = {r.pathHash,
                                  r.key.dev,
                                  r.key.ino,
                                  static_cast<std::uint64_t>(r.key.size),
                                  static_cast<std::uint64_t>(r.key.mtimeNs),
                                  static_cast<std::uint64_t>(r.key.ctimeNs),
                                  bitsOf(r.span.lo),
                                  bitsOf(r.span.hi),
                                  r.racy};
  out.append(reinterpret_cast<const char*>(words), sizeof words);
}

Row rowAt(std::string_view rows, std::size_t i) {
  std::uint64_t words[9];
  std::memcpy(words, rows.data() + i * kRowBytes, sizeof words);
  Row r;
  r.pathHash = words[0];
  r.key.dev = words[1];
  r.key.ino = words[2];
  r.key.size = static_cast<std::int64_t>(words[3]);
  r.key.mtimeNs = static_cast<std::int64_t>(words[4]);
  r.key.ctimeNs = static_cast<std::int64_t>(words[5]);
  r.span.lo = doubleOf(words[6]);
  r.span.hi = doubleOf(words[7]);
  r.racy = words[8];
  return r;
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
    lock_ = ::open((base_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
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
      // A cache: losing the last writes to a power cut costs a rebuild, not
      // a wrong answer, and the build does not wait for the disk.
      exec(db_, "PRAGMA synchronous=OFF");
      exec(db_, "PRAGMA mmap_size=268435456");
      exec(db_, "BEGIN IMMEDIATE");
      inTransaction_ = true;
      return checkFormat() ? Opened::ready : Opened::rebuild;
    } catch (const DbError& e) {
      return isCorruption(e.code) ? Opened::rebuild : Opened::unavailable;
    }
  }

  // Throws DbError.
  std::vector<Event> query(double start, double end, ZoneCache& zones) {
    checkZoneEnvironment();
    loadManifest();
    const auto meText = readSmall(store_ + "/me");
    me_ = meText ? parseMe(repairUtf8(*meText)) : AddressSet();
    const Layout layout =
        Walker([this](const std::string& path) { return listing(path); }).walk(store_);
    std::vector<StatRequest> requests;
    requests.reserve(layout.units.size());
    std::vector<std::string> fullPaths;  // where a folder could not be opened
    for (const Unit& u : layout.units) {
      const int fd = layout.folders[u.folder].fd;
      requests.push_back({fd, u.name.c_str()});
      if (fd < 0) requests.back().directory = AT_FDCWD;
    }
    for (std::size_t i = 0; i < layout.units.size(); ++i) {
      if (layout.folders[layout.units[i].folder].fd < 0) {
        fullPaths.push_back(layout.path(layout.units[i]));
        requests[i].name = fullPaths.back().c_str();
      }
    }
    const std::vector<FileStat> stats =
        statAll(requests, options_.statThreads != 0 ? options_.statThreads : defaultStatThreads());
    std::vector<Event> events;
    // The new manifest's rows: those kept from the old one, by their place in
    // it, and those recorded afresh, by theirs in `fresh` after the old ones.
    std::vector<std::uint32_t> kept;
    kept.reserve(layout.units.size());
    std::vector<Row> fresh;
    std::string itemPath;
    for (std::size_t i = 0; i < layout.units.size(); ++i) {
      const Unit& unit = layout.units[i];
      const FileStat& st = stats[i];
      if (!st.found || !st.regular || st.key.size > kMaxFileBytes) continue;
      itemPath.assign(layout.folders[unit.folder].itemPrefix).append(unit.name);
      const std::uint64_t hash = checksum(itemPath);
      std::optional<Read> read;
      const auto [row, place] = find(hash);
      if (row && !row->racy && row->key == st.key) {
        if (row->span.meets(start, end)) {
          if (const auto digest = storedDigest(hash, row->key)) {
            answer(*digest, unit, layout, start, end, zones, events);
          } else {
            // The file is read; its key proves it is the version the span
            // was computed from, or else it is taken as changed.
            read = readUnit(unit, layout);
            if (read && read->key == row->key) {
              digestAndAnswer(hash, *read, unit, layout, start, end, zones, events);
              read.reset();
            } else if (!read) {
              continue;  // unreadable now: no entry
            }
          }
        }
        if (!read) {
          kept.push_back(static_cast<std::uint32_t>(place));
          continue;
        }
      } else {
        read = readUnit(unit, layout);
      }
      if (auto r = record(hash, row.has_value(), unit, layout, std::move(read), start, end, zones,
                          events)) {
        kept.push_back(static_cast<std::uint32_t>(rowCount() + fresh.size()));
        fresh.push_back(*r);
      }
    }
    if (dirty_ || kept.size() != rowCount()) saveManifest(kept, fresh);
    saveListings();
    saveDigests();
    manifestRead_.reset();
    exec(db_, "COMMIT");
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

  // A damaged manifest reads as empty: every file is then read afresh. The
  // rows are read in place from the blob of `manifestRead_`, which stays on
  // its row until the query is done with them.
  void loadManifest() {
    manifestRead_.emplace(db_, "SELECT data FROM manifest WHERE id = 1");
    if (!manifestRead_->step()) return;
    const auto rows = unseal(manifestRead_->text(0));
    if (rows && rows->size() % kRowBytes == 0) rows_ = *rows;
  }

  std::size_t rowCount() const { return rows_.size() / kRowBytes; }

  // The entry of a file. The manifest is written in the order the store is
  // walked, so the next entry is nearly always the one asked for; a map is
  // built only when it is not.
  // Its place in the manifest comes with it.
  std::pair<std::optional<Row>, std::size_t> find(std::uint64_t hash) {
    const std::size_t count = rowCount();
    if (next_ < count) {
      const Row r = rowAt(rows_, next_);
      if (r.pathHash == hash) return {r, next_++};
    }
    if (byHash_.empty() && count > 0) {
      byHash_.reserve(count);
      for (std::size_t i = 0; i < count; ++i) byHash_.emplace(rowAt(rows_, i).pathHash, i);
    }
    const auto it = byHash_.find(hash);
    if (it == byHash_.end()) return {std::nullopt, 0};
    next_ = it->second + 1;
    return {rowAt(rows_, it->second), it->second};
  }

  void saveManifest(const std::vector<std::uint32_t>& kept, const std::vector<Row>& fresh) {
    std::string rows;
    rows.reserve(kept.size() * kRowBytes + 8);
    const std::size_t count = rowCount();
    std::vector<bool> stays(count, false);
    for (const std::uint32_t place : kept) {
      if (place < count) {
        rows.append(rows_.substr(place * kRowBytes, kRowBytes));
        stays[place] = true;
      } else {
        putRow(fresh[place - count], rows);
      }
    }
    // The digests of files no longer in the store go with their entries.
    for (std::size_t i = 0; i < count; ++i) {
      if (!stays[i]) digestsDropped_.push_back(rowAt(rows_, i).pathHash);
    }
    rows_ = {};
    manifestRead_.reset();
    seal(rows);
    Statement put(db_, "INSERT OR REPLACE INTO manifest(id, data) VALUES(1, ?1)");
    put.bindBlob(1, rows).run();
    if (options_.afterWrite) options_.afterWrite();
  }

  // The names in a directory, from the index while the directory has the key
  // they were listed under: adding, removing or renaming an entry moves the
  // directory's modification and change times, so an unchanged key means an
  // unchanged listing. Reading a large directory costs more than checking
  // all of its files.
  std::vector<std::string> listing(const std::string& path) {
    const std::int64_t at = nowNs();
    const FileStat st = statAt(AT_FDCWD, path.c_str());
    if (!st.found || st.regular) return sortedEntries(path);
    listingsSeen_.insert(path);
    if (!listingRead_) listingRead_.emplace(db_, "SELECT data FROM listing WHERE path = ?1");
    listingRead_->bind(1, path);
    std::optional<std::vector<std::string>> kept;
    if (listingRead_->step()) kept = decodeListing(listingRead_->text(0), st.key);
    listingRead_->reset();
    if (kept) return std::move(*kept);
    std::vector<std::string> names = sortedEntries(path);
    listingsChanged_.emplace_back(path, encodeListing(st.key, racy(st.key, at), names));
    return names;
  }

  // Whether a version with `key`, read at `at`, changed so shortly before
  // that a later change could keep its key: it is then read again next time.
  bool racy(const FileKey& key, std::int64_t at) const {
    const std::int64_t newest = std::max(key.mtimeNs, key.ctimeNs);
    return newest >= at - static_cast<std::int64_t>(options_.racySeconds * 1e9);
  }

  // A listing is its directory's key, whether it was racy, the names each
  // ended by a 0x00 byte, and a checksum of all that.
  static std::string encodeListing(const FileKey& key, bool racy,
                                   const std::vector<std::string>& names) {
    std::string data;
    putKey(key, data);
    const std::uint64_t racyWord = racy ? 1 : 0;
    data.append(reinterpret_cast<const char*>(&racyWord), sizeof racyWord);
    for (const std::string& name : names) data.append(name).push_back('\0');
    seal(data);
    return data;
  }

  // The names, when `data` is an intact listing taken under `key` and not
  // racy.
  static std::optional<std::vector<std::string>> decodeListing(std::string_view data,
                                                               const FileKey& key) {
    std::uint64_t racyWord = 0;
    const auto sealed = unseal(data);
    if (!sealed || sealed->size() < kKeyBytes + sizeof racyWord) return std::nullopt;
    data = *sealed;
    std::memcpy(&racyWord, data.data() + kKeyBytes, sizeof racyWord);
    if (racyWord != 0 || !(keyAt(data) == key)) return std::nullopt;
    data.remove_prefix(kKeyBytes + sizeof racyWord);
    std::vector<std::string> names;
    while (!data.empty()) {
      const std::size_t end = data.find('\0');
      if (end == std::string_view::npos) return std::nullopt;
      names.emplace_back(data.substr(0, end));
      data.remove_prefix(end + 1);
    }
    return names;
  }

  // Writes the listings taken afresh, and forgets those of directories that
  // are no longer part of the store.
  void saveListings() {
    listingRead_.reset();
    if (!listingsChanged_.empty()) {
      Statement put(db_, "INSERT OR REPLACE INTO listing(path, data) VALUES(?1, ?2)");
      for (const auto& [path, data] : listingsChanged_) {
        put.bind(1, path).bindBlob(2, data).run();
      }
    }
    Statement count(db_, "SELECT count(*) FROM listing");
    if (!count.step() || static_cast<std::size_t>(count.integer(0)) <= listingsSeen_.size()) return;
    std::vector<std::string> gone;
    {
      Statement paths(db_, "SELECT path FROM listing");
      while (paths.step()) {
        std::string path(paths.text(0));
        if (listingsSeen_.count(path) == 0) gone.push_back(std::move(path));
      }
    }
    Statement drop(db_, "DELETE FROM listing WHERE path = ?1");
    for (const std::string& path : gone) drop.bind(1, path).run();
  }

  static std::optional<Read> readUnit(const Unit& unit, const Layout& layout) {
    const int dir = layout.folders[unit.folder].fd;
    return dir >= 0 ? readKeyed(dir, unit.name) : readKeyed(AT_FDCWD, layout.path(unit));
  }

  // Records a new or changed file from what was read of it, and answers from
  // that. Nothing when the file could not be read: it then has no entry.
  // `known`: the file had an entry, and so perhaps a digest of an older version.
  std::optional<Row> record(std::uint64_t hash, bool known, const Unit& unit, const Layout& layout,
                            std::optional<Read> read, double start, double end, ZoneCache& zones,
                            std::vector<Event>& events) {
    if (!read) return std::nullopt;
    Row fresh;
    fresh.pathHash = hash;
    fresh.key = read->key;
    fresh.racy = racy(fresh.key, read->at);
    const std::string text = repairUtf8(read->bytes);
    fresh.span = fileSpan(text);
    dirty_ = true;
    if (options_.afterWrite) options_.afterWrite();
    if (fresh.span.meets(start, end)) {
      digestAndAnswer(hash, fresh.key, text, unit, layout, start, end, zones, events);
    } else if (known) {
      digestsDropped_.push_back(hash);
    }
    return fresh;
  }

  void digestAndAnswer(std::uint64_t hash, const Read& read, const Unit& unit, const Layout& layout,
                       double start, double end, ZoneCache& zones, std::vector<Event>& events) {
    digestAndAnswer(hash, read.key, repairUtf8(read.bytes), unit, layout, start, end, zones,
                    events);
  }

  // Answers from the version of a file with `key` whose text is `text`, and
  // keeps its digest for the queries to come.
  void digestAndAnswer(std::uint64_t hash, const FileKey& key, const std::string& text,
                       const Unit& unit, const Layout& layout, double start, double end,
                       ZoneCache& zones, std::vector<Event>& events) {
    try {
      const FileDigest digest = digestFile(text, scanIcs(text), zones);
      answer(digest, unit, layout, start, end, zones, events);
      digestsChanged_.emplace_back(hash, encodeStored(key, digest));
    } catch (...) {
      // A file that cannot be read is passed over, as a full read does.
      zones.limitSize();
    }
  }

  void answer(const FileDigest& digest, const Unit& unit, const Layout& layout, double start,
              double end, ZoneCache& zones, std::vector<Event>& events) {
    try {
      FileContext context;
      // File names need not be UTF-8; what the store returns always is.
      context.itemPath = repairUtf8(layout.itemPath(unit));
      context.calendar = layout.calendars[unit.calendar];
      context.me = &me_;
      if (unit.namesCalendar && digest.calendarName) context.calendar.title = *digest.calendarName;
      appendDigestEvents(digest, context, start, end, zones, events);
    } catch (...) {
      // A file that cannot be read is passed over, as a full read does.
    }
    zones.limitSize();
  }

  // A stored digest is the key of the version it was made from, the digest's
  // bytes, and a checksum of both.
  static std::string encodeStored(const FileKey& key, const FileDigest& digest) {
    std::string data;
    putKey(key, data);
    data += encodeDigest(digest);
    seal(data);
    return data;
  }

  // The digest kept for the version of a file with `key`, when there is an
  // intact one.
  std::optional<FileDigest> storedDigest(std::uint64_t hash, const FileKey& key) {
    if (!digestRead_) digestRead_.emplace(db_, "SELECT data FROM digest WHERE id = ?1");
    digestRead_->bind(1, static_cast<std::int64_t>(hash));
    std::optional<FileDigest> digest;
    if (digestRead_->step()) {
      const auto data = unseal(digestRead_->text(0));
      if (data && data->size() >= kKeyBytes && keyAt(*data) == key) {
        digest = decodeDigest(data->substr(kKeyBytes));
      }
    }
    digestRead_->reset();
    return digest;
  }

  // Writes the digests made by this query and drops those of versions gone.
  // Until now the manifest's blob was being read in place.
  void saveDigests() {
    digestRead_.reset();
    if (!digestsDropped_.empty()) {
      Statement drop(db_, "DELETE FROM digest WHERE id = ?1");
      for (const std::uint64_t hash : digestsDropped_) {
        drop.bind(1, static_cast<std::int64_t>(hash)).run();
      }
    }
    if (!digestsChanged_.empty()) {
      Statement put(db_, "INSERT OR REPLACE INTO digest(id, data) VALUES(?1, ?2)");
      for (const auto& [hash, data] : digestsChanged_) {
        put.bind(1, static_cast<std::int64_t>(hash)).bindBlob(2, data).run();
      }
    }
  }

  // Inside the transaction: digests made under other zone rules or another
  // local time zone are dropped.
  void checkZoneEnvironment() {
    const std::string environment = zoneEnvironment();
    {
      Statement get(db_, "SELECT value FROM meta WHERE name = 'zones'");
      if (get.step() && get.text(0) == environment) return;
    }
    exec(db_, "DELETE FROM digest");
    Statement put(db_, "INSERT OR REPLACE INTO meta(name, value) VALUES('zones', ?1)");
    put.bind(1, environment).run();
  }

  const std::string base_;
  const std::string store_;
  const IndexOptions& options_;
  int lock_ = -1;
  sqlite3* db_ = nullptr;
  bool inTransaction_ = false;
  bool dirty_ = false;
  std::optional<Statement> manifestRead_;
  std::optional<Statement> listingRead_;
  std::optional<Statement> digestRead_;
  std::vector<std::pair<std::uint64_t, std::string>> digestsChanged_;
  std::vector<std::uint64_t> digestsDropped_;
  std::unordered_set<std::string> listingsSeen_;
  std::vector<std::pair<std::string, std::string>> listingsChanged_;
  std::string_view rows_;  // the manifest's rows, in place
  std::unordered_map<std::uint64_t, std::size_t> byHash_;
  std::size_t next_ = 0;
  AddressSet me_;
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
    const std::string base = directory + "/store-" + hex(checksum(store));
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
