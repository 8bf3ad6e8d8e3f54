#include "TovikRelayStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace tovik {

// ---------------------------------------------------------------------------------------------
// TMemoryRelayStore

std::optional<std::string> TMemoryRelayStore::KeptHash(const std::string& id) {
  auto it = FKept.find(id);
  if (it == FKept.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> TMemoryRelayStore::KeptIDOfHash(const std::string& hash) {
  for (const auto& [id, h] : FKept)
    if (h == hash) return id;
  return std::nullopt;
}

bool TMemoryRelayStore::PutKept(const std::string& id, const std::string& hash, std::int64_t) {
  if (FFailWrites) return false;
  std::erase_if(FKept, [&](const auto& e) { return e.second == hash && e.first != id; });
  FKept[id] = hash;
  return true;
}

bool TMemoryRelayStore::DeleteKept(const std::string& id) {
  if (FFailWrites) return false;
  FKept.erase(id);
  return true;
}

bool TMemoryRelayStore::PutLease(const TStoredLease& lease) {
  if (FFailWrites) return false;
  FLeases[lease.ID] = lease;
  return true;
}

bool TMemoryRelayStore::DeleteLease(const std::string& id) {
  if (FFailWrites) return false;
  FLeases.erase(id);
  return true;
}

std::vector<TStoredLease> TMemoryRelayStore::Leases(std::int64_t nowMs) {
  std::vector<TStoredLease> out;
  for (const auto& [id, l] : FLeases)
    if (l.ExpiresMs > nowMs) out.push_back(l);
  return out;
}

std::optional<TStoredBook> TMemoryRelayStore::GetBook(const std::string& bookID) {
  auto it = FBooks.find(bookID);
  if (it == FBooks.end()) return std::nullopt;
  return it->second;
}

bool TMemoryRelayStore::PutBook(const std::string& bookID, const TStoredBook& book, std::int64_t) {
  if (FFailWrites) return false;
  FBooks[bookID] = book;
  return true;
}

bool TMemoryRelayStore::PutPairOffer(const std::string& pairID, const std::string& blob, std::int64_t expiresMs) {
  if (FFailWrites) return false;
  FPairs[pairID] = {blob, expiresMs};
  return true;
}

std::optional<std::string> TMemoryRelayStore::TakePairOffer(const std::string& pairID, std::int64_t nowMs) {
  auto it = FPairs.find(pairID);
  if (it == FPairs.end()) return std::nullopt;
  auto [blob, expires] = it->second;
  FPairs.erase(it);
  if (expires <= nowMs) return std::nullopt;
  return blob;
}

std::int64_t TMemoryRelayStore::PairOfferCount(std::int64_t nowMs) {
  return std::count_if(FPairs.begin(), FPairs.end(), [&](const auto& p) { return p.second.second > nowMs; });
}

void TMemoryRelayStore::PurgeExpired(std::int64_t nowMs) {
  std::erase_if(FPairs, [&](const auto& p) { return p.second.second <= nowMs; });
  std::erase_if(FLeases, [&](const auto& l) { return l.second.ExpiresMs <= nowMs; });
}

static TStoredAdd AddUnique(std::vector<TStoredMessage>& to, const TStoredMessage& m, bool fail) {
  if (fail) return {};
  for (const auto& e : to)
    if (e.MsgID == m.MsgID && e.Sender == m.Sender) return {true, false};
  TStoredMessage c = m;
  c.Id = static_cast<std::int64_t>(to.size()) + 1;
  to.push_back(std::move(c));
  return {true, true};
}

TStoredAdd TMemoryRelayStore::AddReport(const TStoredMessage& m) { return AddUnique(FReports, m, FFailWrites); }
TStoredAdd TMemoryRelayStore::AddFeedback(const TStoredMessage& m) { return AddUnique(FFeedback, m, FFailWrites); }

static std::vector<TStoredMessage> Last(const std::vector<TStoredMessage>& v, int limit) {
  const std::size_t n = std::min<std::size_t>(v.size(), static_cast<std::size_t>(std::max(limit, 0)));
  return std::vector<TStoredMessage>(v.end() - static_cast<std::ptrdiff_t>(n), v.end());
}

std::vector<TStoredMessage> TMemoryRelayStore::Reports(int limit) { return Last(FReports, limit); }
std::vector<TStoredMessage> TMemoryRelayStore::Feedback(int limit) { return Last(FFeedback, limit); }

std::int64_t TMemoryRelayStore::AddUsage(const TUsageRecord& r) {
  if (FFailWrites) return 0;
  TUsageRecord c = r;
  c.Id = static_cast<std::int64_t>(FUsage.size()) + 1;
  FUsage.push_back(c);
  return c.Id;
}

std::vector<TUsageRecord> TMemoryRelayStore::Usage(int limit) {
  const std::size_t n = std::min<std::size_t>(FUsage.size(), static_cast<std::size_t>(std::max(limit, 0)));
  return std::vector<TUsageRecord>(FUsage.end() - static_cast<std::ptrdiff_t>(n), FUsage.end());
}

// ---------------------------------------------------------------------------------------------
// TSqliteRelayStore

namespace {

struct TDbClose {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct TStmtFinalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using TDb = std::unique_ptr<sqlite3, TDbClose>;
using TStmt = std::unique_ptr<sqlite3_stmt, TStmtFinalize>;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS kept (id TEXT PRIMARY KEY, hash TEXT NOT NULL, stamp INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS kept_hash ON kept(hash);
CREATE TABLE IF NOT EXISTS leases (id TEXT PRIMARY KEY, ip INTEGER NOT NULL, expires INTEGER NOT NULL,
  used INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS books (book_id TEXT PRIMARY KEY, stamp INTEGER NOT NULL, parts TEXT NOT NULL,
  updated INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS pair_offers (pair_id TEXT PRIMARY KEY, blob TEXT NOT NULL, expires INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS reports (id INTEGER PRIMARY KEY AUTOINCREMENT, msg_id TEXT NOT NULL,
  sender TEXT NOT NULL, payload TEXT NOT NULL, stamp INTEGER NOT NULL, UNIQUE(msg_id, sender));
CREATE TABLE IF NOT EXISTS feedback (id INTEGER PRIMARY KEY AUTOINCREMENT, msg_id TEXT NOT NULL,
  sender TEXT NOT NULL, payload TEXT NOT NULL, stamp INTEGER NOT NULL, UNIQUE(msg_id, sender));
CREATE TABLE IF NOT EXISTS usage (id INTEGER PRIMARY KEY AUTOINCREMENT, viewer TEXT NOT NULL,
  host TEXT NOT NULL, start_ms INTEGER NOT NULL, end_ms INTEGER NOT NULL, transport TEXT NOT NULL);
)sql";

// Book parts are Base64 and never hold a blank, so one blank-separated text column keeps them.
std::string JoinParts(const std::vector<std::string>& parts) {
  std::string s;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) s += ' ';
    s += parts[i];
  }
  return s;
}

std::vector<std::string> SplitParts(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t b = s.find(' ', start);
    if (b == std::string::npos) b = s.size();
    out.push_back(s.substr(start, b - start));
    start = b + 1;
  }
  return out;
}

std::string ColumnText(sqlite3_stmt* s, int i) {
  const unsigned char* t = sqlite3_column_text(s, i);
  return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
           : std::string();
}

}  // namespace

struct TSqliteRelayStore::TImpl {
  TDb Db;

  TStmt Prepare(const char* sql, std::string& err) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(Db.get(), sql, -1, &s, nullptr) != SQLITE_OK) {
      err = sqlite3_errmsg(Db.get());
      return nullptr;
    }
    return TStmt(s);
  }
};

TSqliteRelayStore::TSqliteRelayStore(std::unique_ptr<TImpl> impl) : FImpl(std::move(impl)) {}
TSqliteRelayStore::~TSqliteRelayStore() = default;

std::unique_ptr<TSqliteRelayStore> TSqliteRelayStore::Open(const std::string& path, std::string& error) {
  // Create the file ourselves so that it is private from the first byte on.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot create " + path;
    return nullptr;
  }
  ::close(fd);
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  auto impl = std::make_unique<TImpl>();
  impl->Db.reset(raw);
  if (rc != SQLITE_OK) {
    error = raw ? sqlite3_errmsg(raw) : "out of memory";
    return nullptr;
  }
  sqlite3_busy_timeout(raw, 2000);
  char* msg = nullptr;
  const std::string setup = std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") + kSchema;
  if (sqlite3_exec(raw, setup.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
    error = msg ? msg : "schema failed";
    sqlite3_free(msg);
    return nullptr;
  }
  return std::unique_ptr<TSqliteRelayStore>(new TSqliteRelayStore(std::move(impl)));
}

namespace {
void Bind(sqlite3_stmt* s, int i, const std::string& v) {
  sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}
void Bind(sqlite3_stmt* s, int i, std::int64_t v) { sqlite3_bind_int64(s, i, v); }
}  // namespace

std::optional<std::string> TSqliteRelayStore::KeptHash(const std::string& id) {
  auto s = FImpl->Prepare("SELECT hash FROM kept WHERE id=?", FError);
  if (!s) return std::nullopt;
  Bind(s.get(), 1, id);
  if (sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
  return ColumnText(s.get(), 0);
}

std::optional<std::string> TSqliteRelayStore::KeptIDOfHash(const std::string& hash) {
  auto s = FImpl->Prepare("SELECT id FROM kept WHERE hash=? LIMIT 1", FError);
  if (!s) return std::nullopt;
  Bind(s.get(), 1, hash);
  if (sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
  return ColumnText(s.get(), 0);
}

bool TSqliteRelayStore::PutKept(const std::string& id, const std::string& hash, std::int64_t stamp) {
  // One row per secret: the ID this secret kept before is let go.
  auto d = FImpl->Prepare("DELETE FROM kept WHERE hash=? AND id<>?", FError);
  if (!d) return false;
  Bind(d.get(), 1, hash);
  Bind(d.get(), 2, id);
  if (sqlite3_step(d.get()) != SQLITE_DONE) return FError = sqlite3_errmsg(FImpl->Db.get()), false;
  auto s = FImpl->Prepare("INSERT OR REPLACE INTO kept(id,hash,stamp) VALUES(?,?,?)", FError);
  if (!s) return false;
  Bind(s.get(), 1, id);
  Bind(s.get(), 2, hash);
  Bind(s.get(), 3, stamp);
  if (sqlite3_step(s.get()) != SQLITE_DONE) return FError = sqlite3_errmsg(FImpl->Db.get()), false;
  return true;
}

bool TSqliteRelayStore::DeleteKept(const std::string& id) {
  auto s = FImpl->Prepare("DELETE FROM kept WHERE id=?", FError);
  if (!s) return false;
  Bind(s.get(), 1, id);
  if (sqlite3_step(s.get()) != SQLITE_DONE) return FError = sqlite3_errmsg(FImpl->Db.get()), false;
  return true;
}

bool TSqliteRelayStore::PutLease(const TStoredLease& lease) {
  auto s = FImpl->Prepare("INSERT OR REPLACE INTO leases(id,ip,expires,used) VALUES(?,?,?,?)", FError);
  if (!s) return false;
  Bind(s.get(), 1, lease.ID);
  Bind(s.get(), 2, static_cast<std::int64_t>(lease.IP));
  Bind(s.get(), 3, lease.ExpiresMs);
  Bind(s.get(), 4, static_cast<std::int64_t>(lease.Used ? 1 : 0));
  if (sqlite3_step(s.get()) != SQLITE_DONE) return FError = sqlite3_errmsg(FImpl->Db.get()), false;
  return true;
}

bool TSqliteRelayStore::DeleteLease(const std::string& id) {
  auto s = FImpl->Prepare("DELETE FROM leases WHERE id=?", FError);
  if (!s) return false;
  Bind(s.get(), 1, id);
  if (sqlite3_step(s.get()) != SQLITE_DONE) return FError = sqlite3_errmsg(FImpl->Db.get()), false;
  return true;
}

std::vector<TStoredLease> TSqliteRelayStore::Leases(std::int64_t nowMs) {
  std::vector<TStoredLease> out;
  auto s = FImpl->Prepare("SELECT id, ip, expires, used FROM leases WHERE expires>?", FError);
  if (!s) return out;
  Bind(s.get(), 1, nowMs);
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    TStoredLease l;
    l.ID = ColumnText(s.get(), 0);
    l.IP = static_cast<std::uint32_t>(sqlite3_column_int64(s.get(), 1));
    l.ExpiresMs = sqlite3_column_int64(s.get(), 2);
    l.Used = sqlite3_column_int64(s.get(), 3) != 0;
    out.push_back(std::move(l));
  }
  return out;
}

std::optional<TStoredBook> TSqliteRelayStore::GetBook(const std::string& bookID) {
  auto s = FImpl->Prepare("SELECT stamp, parts FROM books WHERE book_id=?", FError);
  if (!s) return std::nullopt;
  Bind(s.get(), 1, bookID);
  if (sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
  TStoredBook b;
  b.Stamp = sqlite3_column_int64(s.get(), 0);
  b.Parts = SplitParts(ColumnText(s.get(), 1));
  return b;
}

bool TSqliteRelayStore::PutBook(const std::string& bookID, const TStoredBook& book, std::int64_t nowMs) {
  auto s = FImpl->Prepare("INSERT OR REPLACE INTO books(book_id,stamp,parts,updated) VALUES(?,?,?,?)", FError);
  if (!s) return false;
  Bind(s.get(), 1, bookID);
  Bind(s.get(), 2, book.Stamp);
  Bind(s.get(), 3, JoinParts(book.Parts));
  Bind(s.get(), 4, nowMs);
  if (sqlite3_step(s.get()) != SQLITE_DONE) return FError = sqlite3_errmsg(FImpl->Db.get()), false;
  return true;
}

std::int64_t TSqliteRelayStore::BookCount() {
  auto s = FImpl->Prepare("SELECT COUNT(*) FROM books", FError);
  if (!s || sqlite3_step(s.get()) != SQLITE_ROW) return 0;
  return sqlite3_column_int64(s.get(), 0);
}

bool TSqliteRelayStore::PutPairOffer(const std::string& pairID, const std::string& blob, std::int64_t expiresMs) {
  auto s = FImpl->Prepare("INSERT OR REPLACE INTO pair_offers(pair_id,blob,expires) VALUES(?,?,?)", FError);
  if (!s) return false;
  Bind(s.get(), 1, pairID);
  Bind(s.get(), 2, blob);
  Bind(s.get(), 3, expiresMs);
  if (sqlite3_step(s.get()) != SQLITE_DONE) return FError = sqlite3_errmsg(FImpl->Db.get()), false;
  return true;
}

std::optional<std::string> TSqliteRelayStore::TakePairOffer(const std::string& pairID, std::int64_t nowMs) {
  auto s = FImpl->Prepare("SELECT blob, expires FROM pair_offers WHERE pair_id=?", FError);
  if (!s) return std::nullopt;
  Bind(s.get(), 1, pairID);
  if (sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
  std::string blob = ColumnText(s.get(), 0);
  const std::int64_t expires = sqlite3_column_int64(s.get(), 1);
  s.reset();
  auto d = FImpl->Prepare("DELETE FROM pair_offers WHERE pair_id=?", FError);
  if (!d) return std::nullopt;
  Bind(d.get(), 1, pairID);
  if (sqlite3_step(d.get()) != SQLITE_DONE) return std::nullopt;  // not removed: do not hand it out
  if (expires <= nowMs) return std::nullopt;
  return blob;
}

std::int64_t TSqliteRelayStore::PairOfferCount(std::int64_t nowMs) {
  auto s = FImpl->Prepare("SELECT COUNT(*) FROM pair_offers WHERE expires>?", FError);
  if (!s) return 0;
  Bind(s.get(), 1, nowMs);
  if (sqlite3_step(s.get()) != SQLITE_ROW) return 0;
  return sqlite3_column_int64(s.get(), 0);
}

void TSqliteRelayStore::PurgeExpired(std::int64_t nowMs) {
  for (const char* sql : {"DELETE FROM pair_offers WHERE expires<=?", "DELETE FROM leases WHERE expires<=?"}) {
    auto s = FImpl->Prepare(sql, FError);
    if (!s) continue;
    Bind(s.get(), 1, nowMs);
    sqlite3_step(s.get());
  }
}

TStoredAdd TSqliteRelayStore::AddMessage(const char* table, const TStoredMessage& m) {
  const std::string sql =
      std::string("INSERT OR IGNORE INTO ") + table + "(msg_id,sender,payload,stamp) VALUES(?,?,?,?)";
  auto s = FImpl->Prepare(sql.c_str(), FError);
  if (!s) return {};
  Bind(s.get(), 1, m.MsgID);
  Bind(s.get(), 2, m.Sender);
  Bind(s.get(), 3, m.Payload);
  Bind(s.get(), 4, m.Stamp);
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    FError = sqlite3_errmsg(FImpl->Db.get());
    return {};
  }
  return {true, sqlite3_changes(FImpl->Db.get()) > 0};  // OR IGNORE changes nothing for a known message
}

std::vector<TStoredMessage> TSqliteRelayStore::Messages(const char* table, int limit) {
  std::vector<TStoredMessage> out;
  const std::string sql = std::string("SELECT id,msg_id,sender,payload,stamp FROM (SELECT * FROM ") + table +
                          " ORDER BY id DESC LIMIT ?) ORDER BY id";
  auto s = FImpl->Prepare(sql.c_str(), FError);
  if (!s) return out;
  sqlite3_bind_int(s.get(), 1, limit);
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    TStoredMessage m;
    m.Id = sqlite3_column_int64(s.get(), 0);
    m.MsgID = ColumnText(s.get(), 1);
    m.Sender = ColumnText(s.get(), 2);
    m.Payload = ColumnText(s.get(), 3);
    m.Stamp = sqlite3_column_int64(s.get(), 4);
    out.push_back(std::move(m));
  }
  return out;
}

TStoredAdd TSqliteRelayStore::AddReport(const TStoredMessage& m) { return AddMessage("reports", m); }
TStoredAdd TSqliteRelayStore::AddFeedback(const TStoredMessage& m) { return AddMessage("feedback", m); }
std::vector<TStoredMessage> TSqliteRelayStore::Reports(int limit) { return Messages("reports", limit); }
std::vector<TStoredMessage> TSqliteRelayStore::Feedback(int limit) { return Messages("feedback", limit); }

std::int64_t TSqliteRelayStore::AddUsage(const TUsageRecord& r) {
  auto s = FImpl->Prepare("INSERT INTO usage(viewer,host,start_ms,end_ms,transport) VALUES(?,?,?,?,?)", FError);
  if (!s) return 0;
  Bind(s.get(), 1, r.ViewerID);
  Bind(s.get(), 2, r.HostID);
  Bind(s.get(), 3, r.StartMs);
  Bind(s.get(), 4, r.EndMs);
  Bind(s.get(), 5, r.Transport);
  if (sqlite3_step(s.get()) != SQLITE_DONE) return FError = sqlite3_errmsg(FImpl->Db.get()), 0;
  return sqlite3_last_insert_rowid(FImpl->Db.get());
}

std::vector<TUsageRecord> TSqliteRelayStore::Usage(int limit) {
  std::vector<TUsageRecord> out;
  auto s = FImpl->Prepare(
      "SELECT id,viewer,host,start_ms,end_ms,transport FROM (SELECT * FROM usage ORDER BY id DESC LIMIT ?) ORDER BY id",
      FError);
  if (!s) return out;
  sqlite3_bind_int(s.get(), 1, limit);
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    TUsageRecord r;
    r.Id = sqlite3_column_int64(s.get(), 0);
    r.ViewerID = ColumnText(s.get(), 1);
    r.HostID = ColumnText(s.get(), 2);
    r.StartMs = sqlite3_column_int64(s.get(), 3);
    r.EndMs = sqlite3_column_int64(s.get(), 4);
    r.Transport = ColumnText(s.get(), 5);
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace tovik
