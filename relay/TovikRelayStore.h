// Durable storage of the relay: kept IDs, saved-PC lists, pairing offers, reports, feedback and
// usage records. The relay core talks only to IRelayStore; TSqliteRelayStore is the embedded
// default (WAL mode, one file in the data folder) and TMemoryRelayStore serves tests and tools.
//
// Threading: a store is used by one thread at a time (the relay's event loop). Methods never throw;
// a failed write returns false so the caller can answer with an error instead of confirming.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tovik {

struct TStoredBook {
  std::int64_t Stamp = 0;
  std::vector<std::string> Parts;  // Base64 pieces in index order
};

struct TStoredMessage {
  std::int64_t Id = 0;        // row number
  std::string MsgID;          // 8 lower-case hexadecimal digits as sent
  std::string Sender;         // PC ID of the sender ("0" when it had none)
  std::string Payload;        // the joined Base64 text
  std::int64_t Stamp = 0;     // when it was stored (ms since 1970)
};

// The outcome of storing a message: false on a write failure; Fresh when it was not stored before.
struct TStoredAdd {
  bool Ok = false;
  bool Fresh = false;
  explicit operator bool() const { return Ok; }
};

struct TUsageRecord {
  std::int64_t Id = 0;
  std::string ViewerID, HostID;
  std::int64_t StartMs = 0, EndMs = 0;
  std::string Transport;  // "direct", or "relay" when packets passed through the relay
};

// A one-time ID handed out: to which source address, until when, and whether a session spent it.
struct TStoredLease {
  std::string ID;
  std::uint32_t IP = 0;          // IPv4, host order
  std::int64_t ExpiresMs = 0;    // ms since 1970
  bool Used = false;
  bool operator==(const TStoredLease&) const = default;
};

class IRelayStore {
 public:
  virtual ~IRelayStore() = default;

  // Kept IDs: id -> hash of the secret.
  virtual std::optional<std::string> KeptHash(const std::string& id) = 0;
  virtual std::optional<std::string> KeptIDOfHash(const std::string& hash) = 0;
  // Keeps id for the secret of hash; a secret keeps one ID, so any other ID it kept is let go.
  virtual bool PutKept(const std::string& id, const std::string& hash, std::int64_t stamp) = 0;
  virtual bool DeleteKept(const std::string& id) = 0;

  // One-time ID leases, so that a restarted relay gives each PC its ID back within the lease.
  // Leases returns those not expired at nowMs; PurgeExpired removes the others.
  virtual bool PutLease(const TStoredLease& lease) = 0;
  virtual bool DeleteLease(const std::string& id) = 0;
  virtual std::vector<TStoredLease> Leases(std::int64_t nowMs) = 0;

  // Saved-PC lists.
  virtual std::optional<TStoredBook> GetBook(const std::string& bookID) = 0;
  virtual bool PutBook(const std::string& bookID, const TStoredBook& book, std::int64_t nowMs) = 0;
  virtual std::int64_t BookCount() = 0;

  // Pairing offers; expired ones count as absent.
  virtual bool PutPairOffer(const std::string& pairID, const std::string& blob, std::int64_t expiresMs) = 0;
  // Returns the blob and removes the offer (an offer works once).
  virtual std::optional<std::string> TakePairOffer(const std::string& pairID, std::int64_t nowMs) = 0;
  virtual std::int64_t PairOfferCount(std::int64_t nowMs) = 0;
  virtual void PurgeExpired(std::int64_t nowMs) = 0;

  // Reports and feedback. Add fails only on a write failure; a message ID that is already stored
  // for the same sender is not stored twice (the result is Ok, not Fresh: it is safely kept).
  virtual TStoredAdd AddReport(const TStoredMessage& m) = 0;
  virtual TStoredAdd AddFeedback(const TStoredMessage& m) = 0;
  virtual std::vector<TStoredMessage> Reports(int limit) = 0;
  virtual std::vector<TStoredMessage> Feedback(int limit) = 0;

  // Usage; returns the row number (0 on failure).
  virtual std::int64_t AddUsage(const TUsageRecord& r) = 0;
  virtual std::vector<TUsageRecord> Usage(int limit) = 0;
};

// Keeps everything in maps; used by tests and the benchmark.
class TMemoryRelayStore : public IRelayStore {
 public:
  std::optional<std::string> KeptHash(const std::string& id) override;
  std::optional<std::string> KeptIDOfHash(const std::string& hash) override;
  bool PutKept(const std::string& id, const std::string& hash, std::int64_t stamp) override;
  bool DeleteKept(const std::string& id) override;
  bool PutLease(const TStoredLease& lease) override;
  bool DeleteLease(const std::string& id) override;
  std::vector<TStoredLease> Leases(std::int64_t nowMs) override;
  std::optional<TStoredBook> GetBook(const std::string& bookID) override;
  bool PutBook(const std::string& bookID, const TStoredBook& book, std::int64_t nowMs) override;
  std::int64_t BookCount() override { return static_cast<std::int64_t>(FBooks.size()); }
  bool PutPairOffer(const std::string& pairID, const std::string& blob, std::int64_t expiresMs) override;
  std::optional<std::string> TakePairOffer(const std::string& pairID, std::int64_t nowMs) override;
  std::int64_t PairOfferCount(std::int64_t nowMs) override;
  void PurgeExpired(std::int64_t nowMs) override;
  TStoredAdd AddReport(const TStoredMessage& m) override;
  TStoredAdd AddFeedback(const TStoredMessage& m) override;
  std::vector<TStoredMessage> Reports(int limit) override;
  std::vector<TStoredMessage> Feedback(int limit) override;
  std::int64_t AddUsage(const TUsageRecord& r) override;
  std::vector<TUsageRecord> Usage(int limit) override;

  // Tests switch this on to see how the core answers a failing store.
  bool FFailWrites = false;

 private:
  std::map<std::string, std::string> FKept;
  std::map<std::string, TStoredLease> FLeases;
  std::map<std::string, TStoredBook> FBooks;
  std::map<std::string, std::pair<std::string, std::int64_t>> FPairs;
  std::vector<TStoredMessage> FReports, FFeedback;
  std::vector<TUsageRecord> FUsage;
};

// SQLite file in WAL mode. Open() creates the file (mode 0600) and the tables.
class TSqliteRelayStore : public IRelayStore {
 public:
  // Returns nullptr and sets `error` when the database cannot be opened or prepared.
  static std::unique_ptr<TSqliteRelayStore> Open(const std::string& path, std::string& error);
  ~TSqliteRelayStore() override;

  std::optional<std::string> KeptHash(const std::string& id) override;
  std::optional<std::string> KeptIDOfHash(const std::string& hash) override;
  bool PutKept(const std::string& id, const std::string& hash, std::int64_t stamp) override;
  bool DeleteKept(const std::string& id) override;
  bool PutLease(const TStoredLease& lease) override;
  bool DeleteLease(const std::string& id) override;
  std::vector<TStoredLease> Leases(std::int64_t nowMs) override;
  std::optional<TStoredBook> GetBook(const std::string& bookID) override;
  bool PutBook(const std::string& bookID, const TStoredBook& book, std::int64_t nowMs) override;
  std::int64_t BookCount() override;
  bool PutPairOffer(const std::string& pairID, const std::string& blob, std::int64_t expiresMs) override;
  std::optional<std::string> TakePairOffer(const std::string& pairID, std::int64_t nowMs) override;
  std::int64_t PairOfferCount(std::int64_t nowMs) override;
  void PurgeExpired(std::int64_t nowMs) override;
  TStoredAdd AddReport(const TStoredMessage& m) override;
  TStoredAdd AddFeedback(const TStoredMessage& m) override;
  std::vector<TStoredMessage> Reports(int limit) override;
  std::vector<TStoredMessage> Feedback(int limit) override;
  std::int64_t AddUsage(const TUsageRecord& r) override;
  std::vector<TUsageRecord> Usage(int limit) override;

  // Last SQLite error text (for the log).
  const std::string& LastError() const { return FError; }

 private:
  struct TImpl;
  explicit TSqliteRelayStore(std::unique_ptr<TImpl> impl);
  TStoredAdd AddMessage(const char* table, const TStoredMessage& m);
  std::vector<TStoredMessage> Messages(const char* table, int limit);
  std::unique_ptr<TImpl> FImpl;
  std::string FError;
};

}  // namespace tovik
