// TovikBook: the saved-PC sync engine TBookSync, which keeps the list of saved PCs the same on all of a
// person's own PCs through the relay.
//
// Every PC that takes part holds the same secret (64 lower-case hex digits). From it each derives the
// AES-256-GCM key of the list and the book ID under which the relay stores it, so the relay stores
// only text it cannot read and never sees the secret. Changes (new PCs, renames, order of use,
// forgotten PCs) merge last-writer-wins per entry and field; removals travel as tombstones. A second
// PC joins with an 8-character pairing code valid for 10 minutes, or with the secret itself.
//
// Everything from the relay is hostile until checked: stamps above the PC's clock + 1 day (or 2^62)
// are refused, every count, index and part length is bounded, a list inflates into at most 1 MiB, and
// a sync counts as done only after the list decrypted and merged.
//
// No Qt, no sockets, no clock of its own: the relay, the clock and the settings are interfaces handed
// in (they must outlive the engine). The state file BookSync.txt is read and replaced with whole-file
// writes (base/TovikFiles.h). Threads: one thread (the GUI thread in the program); events run inside
// the call that caused them and may call back into the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "base/TovikTimed.h"

namespace tovik {

// Limits.
inline constexpr std::size_t kBookPartChars = 900;
// A full list (200 entries with 80-character names, 300 tombstones) needs up to 31 parts
// (scripts/measure-book-size); the relay accepts the same number.
inline constexpr std::size_t kBookMaxParts = 32;
inline constexpr std::size_t kBookMaxEntries = 200;
inline constexpr std::size_t kBookMaxTombstones = 300;
inline constexpr std::size_t kBookMaxPlainBytes = 1u << 20;
inline constexpr std::int64_t kBookFutureSlackMs = 86'400'000;        // 1 day
inline constexpr std::int64_t kBookMaxStamp = std::int64_t(1) << 62;
inline constexpr std::int64_t kBookTombstoneAgeMs = 2'592'000'000;    // 30 days

// The relay channel: the network client's relay link.
class IBookRelay {
 public:
  virtual ~IBookRelay() = default;
  // The secure relay session exists.
  virtual bool Available() const = 0;
  // Sends one BOOK... command line; false when nothing could be sent.
  virtual bool Send(std::string_view ALine) = 0;
};

// Ticks (monotonic ms) for time-outs and stamps (ms since 1970 UTC) for versions.
class IBookClock {
 public:
  virtual ~IBookClock() = default;
  virtual TTick Tick() const = 0;
  virtual std::int64_t Stamp() const = 0;
};

// The [Book] settings. The secret must never reach the file in clear (see TBookSettingsFile).
class IBookSettings {
 public:
  virtual ~IBookSettings() = default;
  virtual std::string NewName() = 0;
  virtual void SaveSecret(const std::string& ASecret) = 0;
  virtual void SaveStamp(std::int64_t AStamp) = 0;
  virtual void SaveNewName(const std::string& AName) = 0;
};

struct TBookEntry {
  std::string Name;
  std::int64_t Used = 0;
  std::int64_t Named = 0;
  bool operator==(const TBookEntry&) const = default;
};

enum TBookPairState { bpNone, bpOffering, bpOffered, bpJoining, bpJoined, bpFailed };

// Derived values and formats, public for tests and fuzzing.
bool IsValidSecret(std::string_view AText);
TBytes BookListKey(std::string_view ASecret);
std::string BookID(std::string_view ASecret);
std::string BookStateName(std::string_view ASecret);
// Upper case, blanks, tabs and "-" skipped, exactly 8 characters of the code alphabet; else nullopt.
std::optional<std::string> NormalisePairCode(std::string_view ACode);
// The 8 code characters made from 8 random bytes (each byte AND 31 picks from the alphabet).
std::string PairCodeFromBytes(TByteView ARandom);
// zlib stream of the text, and its inverse bounded to AMax bytes of output (nullopt when larger or damaged).
TBytes BookDeflate(std::string_view AText);
std::optional<std::string> BookInflate(TByteView AData, std::size_t AMax = kBookMaxPlainBytes);

// The list blob: zlib, then AES-256-GCM with a fresh nonce, nonce || tag || ciphertext in Base64.
// Opening fails (nullopt) for a wrong key, damage, or more than 1 MiB of text.
std::optional<std::string> SealBookList(const std::string& AText, TByteView AKey);
std::optional<std::string> OpenBookList(const std::string& AB64, TByteView AKey);

// A parsed list, as received from another PC or kept in the state file.
struct TBookList {
  std::map<std::string, TBookEntry> Known;
  std::vector<std::string> Order;
  std::map<std::string, std::int64_t> Gone;
};
// The list text: entries "id=name", then "@id=used,named", then "~id=stamp" (CR LF between lines).
std::string BookListText(const TBookList& AList);
// Parses a list text; stamps below 0 become 0, stamps above AMaxStamp become AMaxStamp.
TBookList ParseBookList(std::string_view AText, std::int64_t AMaxStamp);
// The state file's text and its parser (state name, pending flag, entries, tombstones).
struct TBookState {
  std::string Book;
  bool Pending = false;
  TBookList List;
};
std::string BookStateText(const TBookState& AState);
TBookState ParseBookState(std::string_view AText, std::int64_t AMaxStamp);

class TBookSync final : public ITimedObject {
 public:
  using TBookEvent = std::function<void(const std::vector<std::string>& ALines, std::int64_t AStamp)>;
  using TNotifyEvent = std::function<void()>;
  using TTextEvent = std::function<void(const std::string& AText)>;

  // AStateFile: path of BookSync.txt (empty: no state file). Loads it and schedules the first
  // routine fetch 300 s later. ARelay, AClock and ASettings must outlive the engine.
  TBookSync(IBookRelay& ARelay, const IBookClock& AClock, IBookSettings& ASettings, std::string AStateFile);

  // The main window's saved-PC list (lines "id=name", newest first), folded in before uploads,
  // fetches and merges.
  void SetLocal(std::vector<std::string> ALines) { FLocal = std::move(ALines); FHasLocal = true; }
  // Installs a secret (the stored one at start, a new one when turning on or joining).
  void SetSecret(std::string_view ASecret, std::int64_t AStamp);
  // What the settings file holds now (as read at start), so that only changes are written back.
  void SettingsOnFile(std::string_view ASecret, std::int64_t AStamp);
  bool IsOn() const { return !FSecret.empty(); }
  const std::string& Secret() const { return FSecret; }
  std::int64_t Stamp() const { return FStamp; }
  int Count() const;

  // The saved-PC list changed on this PC; returns the list's stamp.
  std::int64_t Upload(std::vector<std::string> ALines);
  // Asks the relay for the stored list now.
  void Fetch();
  // A relay line routed to the sync (BOOK, BOOKPART, BOOKPUT, BOOKPAIR, ERR BOOK...).
  void HandleLine(std::string_view ALine);
  // Once a second: uploads, fetches, pairing timers; a relay session that just came up is asked.
  void Tick();

  void TurnOn();
  void TurnOff();
  bool UseSecret(std::string_view ASecret, bool AFresh);
  bool StartPairing(std::string& ACode);
  void JoinWithCode(std::string_view ACode);
  void CancelPairing();
  int PairSecondsLeft() const;

  std::string StatusText() const;
  const std::string& LastError() const { return FLastError; }
  std::int64_t LastSync() const { return FLastSync; }
  TBookPairState PairState() const { return FPairState; }
  const std::string& PairCode() const { return FPairCode; }
  const std::string& PairMessage() const { return FPairMessage; }
  bool Pending() const { return FPending; }
  bool UploadInFlight() const { return !FOutParts.empty(); }
  bool FetchInFlight() const { return FFetching; }
  const TBookList& Merged() const { return FList; }
  // A new random secret (64 lower-case hex digits).
  static std::string NewSecret();

  // ITimedObject: Tick every 1000 ms.
  TTick NextDeadline() const override { return FTick.Due(); }
  void HandleTimeout(TTick ANow) override {
    if (FTick.Fire(ANow)) Tick();
  }

  TBookEvent OnBook;
  TNotifyEvent OnUploaded, OnEmpty, OnPaired, OnStatus;
  TTextEvent OnPairFailed;

 private:
  std::int64_t NowStamp() const { return FClock.Stamp(); }
  std::int64_t MaxAccepted() const;
  std::int64_t NextStamp() const;
  TTick PollInterval(TTick ANow) const;
  bool Fold(bool ATombstones);
  void Merge(const std::string& AText, std::int64_t ARelayStamp);
  void StartUpload(std::int64_t AStamp);
  void SendParts(bool AOnlyUnconfirmed);
  void ForgetUpload();
  void SendFetch();
  void EndFetch();
  void RecordSuccess();
  void LoadState();
  void SaveState();
  void SaveSettings();
  void MarkNewFormat();
  void Notify();
  void OnBookLine(const std::vector<std::string_view>& AFields);
  void OnPairLine(const std::vector<std::string_view>& AFields);
  void SendPair();
  void PairFail(const std::string& AText);
  void PairTimers(TTick ANow);

  IBookRelay& FRelay;
  const IBookClock& FClock;
  IBookSettings& FSettings;
  std::string FStateFile;
  TPeriodicTick FTick{1000};
  bool FRelayWasUp = false;

  std::string FSecret;
  std::int64_t FStamp = 0;
  std::string FStateBook;
  bool FImport = true;
  std::vector<std::string> FLocal;
  bool FHasLocal = false;
  TBookList FList;
  // A list being received.
  std::int64_t FInStamp = 0;
  std::vector<std::string> FInParts;
  std::size_t FInHave = 0;
  bool FFetching = false;
  TTick FFetchNext = 0;
  int FFetchTries = 0;
  bool FNewFormat = false;
  TTick FNextPoll = 0, FFastPollUntil = 0, FQuietUntil = 0;
  bool FPending = false;
  // The upload in flight.
  std::int64_t FOutStamp = 0;
  std::vector<std::string> FOutParts;
  std::vector<bool> FOutAcked;
  TTick FOutUntil = 0, FOutNext = 0, FUploadRetryAt = 0;
  std::int64_t FLastSync = 0;
  std::string FLastError;
  std::string FLastStatus;
  // Settings as last saved.
  std::optional<std::string> FSavedSecret;
  std::optional<std::int64_t> FSavedStamp;
  // Pairing.
  TBookPairState FPairState = bpNone;
  std::string FPairCode, FPairID, FPairBlob, FPairMessage;
  TBytes FPairKey;
  TTick FPairUntil = 0, FPairNext = 0;
  int FPairTries = 0;
};

}  // namespace tovik
