#include "book/TovikBook.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>

#include "base/TovikFiles.h"
#include "book/TovikRecent.h"
#include "crypto/TovikCrypto.h"

namespace tovik {

namespace {

// The same on every PC: it ties a pairing code to its key and relay ID.
constexpr std::string_view kPairSalt = "Tovik pair v1 s";  // 15 characters
constexpr int kPairIterations = 100'000;
constexpr std::size_t kMaxStateBytes = 4u << 20;

constexpr TTick kPollMs = 300'000;
constexpr TTick kFastPollMs = 15'000;
// While this PC's code is out, the other PC may join and upload the merged list at any moment.
constexpr TTick kOfferPollMs = 5000;
constexpr TTick kQuietMs = 2000;
constexpr TTick kUploadGiveUpMs = 30'000;
constexpr TTick kResendMs = 2000;
constexpr TTick kFetchRetryMs = 8000;
constexpr TTick kNotSentRetryMs = 3000;
constexpr TTick kRateWaitMs = 10'000;
constexpr TTick kFullWaitMs = 600'000;
constexpr TTick kUploadAgainMs = 60'000;
constexpr TTick kOfferMs = 600'000;
constexpr TTick kJoinMs = 30'000;
constexpr TTick kJoinedFastMs = 120'000;

const std::string kNotConnected = "Tovik is not connected to the server right now. Try again in a moment.";

std::int64_t SatAdd(std::int64_t a, std::int64_t b) {
  if (b > 0 && a > INT64_MAX - b) return INT64_MAX;
  return a + b;
}

std::vector<std::string_view> Fields(std::string_view ALine) {
  std::vector<std::string_view> f;
  std::size_t i = 0;
  while (i < ALine.size() && f.size() < 8) {
    while (i < ALine.size() && ALine[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < ALine.size() && ALine[i] != ' ') ++i;
    if (i > start) f.push_back(ALine.substr(start, i - start));
  }
  return f;
}

// Decimal without sign, at most 19 digits and at most AMax.
std::optional<std::int64_t> Decimal(std::string_view s, std::int64_t AMax) {
  if (s.empty() || s.size() > 19) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (v > static_cast<std::uint64_t>(AMax)) return std::nullopt;
  return static_cast<std::int64_t>(v);
}

bool IsBase64Part(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=';
  });
}

// Sorted lines that say whether two lists hold the same thing.
std::vector<std::string> Canonical(const TBookList& l) {
  std::vector<std::string> out;
  for (const auto& [id, e] : l.Known)
    out.push_back(id + "=" + e.Name + "\t" + std::to_string(e.Used) + "\t" + std::to_string(e.Named));
  for (const auto& [id, st] : l.Gone) out.push_back("~" + id + "=" + std::to_string(st));
  std::sort(out.begin(), out.end());
  return out;
}

// Keeps the ACount newest tombstones.
void KeepNewestTombstones(std::map<std::string, std::int64_t>& AGone, std::size_t ACount) {
  if (AGone.size() <= ACount) return;
  std::vector<std::pair<std::int64_t, std::string>> v;
  for (const auto& [id, st] : AGone) v.emplace_back(st, id);
  std::sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  AGone.clear();
  for (std::size_t i = 0; i < ACount; ++i) AGone[v[i].second] = v[i].first;
}

}  // namespace

std::optional<std::string> SealBookList(const std::string& AText, TByteView AKey) {
  const TBytes packed = BookDeflate(AText);
  if (packed.empty()) return std::nullopt;
  const TGcmKey key(AKey);
  const TBytes nonce = RandomBytes(kGcmNonceSize);
  TBytes tag;
  const TBytes ct = key.Encrypt(nonce, {}, packed, tag);
  return Base64Encode(JoinBytes({nonce, tag, ct}));
}

std::optional<std::string> OpenBookList(const std::string& AB64, TByteView AKey) {
  const auto blob = Base64Decode(AB64);
  if (!blob || blob->size() < kGcmNonceSize + kGcmTagSize) return std::nullopt;
  const TByteView b(*blob);
  TBytes packed;
  if (!TGcmKey(AKey).Decrypt(b.subspan(0, 12), {}, b.subspan(28), b.subspan(12, 16), packed)) return std::nullopt;
  return BookInflate(packed);
}

std::string TBookSync::NewSecret() { return AsciiLower(BytesToHex(RandomBytes(32))); }

TBookSync::TBookSync(IBookRelay& ARelay, const IBookClock& AClock, IBookSettings& ASettings, std::string AStateFile)
    : FRelay(ARelay), FClock(AClock), FSettings(ASettings), FStateFile(std::move(AStateFile)) {
  LoadState();
  const TTick now = FClock.Tick();
  FNextPoll = now + kPollMs;
  FTick.Start(now);
}

std::int64_t TBookSync::MaxAccepted() const {
  return std::min(SatAdd(NowStamp(), kBookFutureSlackMs), kBookMaxStamp);
}

std::int64_t TBookSync::NextStamp() const {
  const std::int64_t now = NowStamp();
  const std::int64_t next = SatAdd(FStamp, 1);
  // A stamp from a clock that ran ahead is not followed into the future.
  if (next > MaxAccepted()) return now;
  return std::max(now, next);
}

int TBookSync::Count() const {
  return static_cast<int>(FHasLocal ? FLocal.size() : FList.Order.size());
}

// ---------------------------------------------------------------------------------------------
// State file and settings

void TBookSync::LoadState() {
  FList = {};
  FImport = true;
  FPending = false;
  if (FStateFile.empty()) return;
  std::string text;
  if (!ReadWholeFile(FStateFile, text, kMaxStateBytes)) return;
  TBookState s = ParseBookState(text, MaxAccepted());
  FStateBook = s.Book;
  FPending = s.Pending;
  FList = std::move(s.List);
  FImport = FList.Order.empty();
}

void TBookSync::SaveState() {
  if (FStateFile.empty()) return;
  (void)WriteFileAtomic(FStateFile, BookStateText(TBookState{FStateBook, FPending, FList}));
}

void TBookSync::SaveSettings() {
  if (FSavedSecret != FSecret) {
    FSettings.SaveSecret(FSecret);
    FSavedSecret = FSecret;
  }
  if (FSavedStamp != FStamp) {
    FSettings.SaveStamp(FStamp);
    FSavedStamp = FStamp;
  }
}

void TBookSync::MarkNewFormat() {
  if (FNewFormat || FSecret.empty()) return;
  FNewFormat = true;
  FSettings.SaveNewName(BookStateName(FSecret));
}

// ---------------------------------------------------------------------------------------------
// Secret

void TBookSync::SettingsOnFile(std::string_view ASecret, std::int64_t AStamp) {
  FSavedSecret = AsciiLower(Trim(ASecret));
  FSavedStamp = AStamp;
}

void TBookSync::SetSecret(std::string_view ASecret, std::int64_t AStamp) {
  std::string secret = AsciiLower(Trim(ASecret));
  if (!IsValidSecret(secret)) secret.clear();
  const std::string state = BookStateName(secret);
  if (state != FStateBook) {
    FList = {};
    FStateBook = state;
    FImport = true;
    FPending = false;
    Fold(false);
    SaveState();
  }
  const TTick now = FClock.Tick();
  // Late answers for the previous secret are not taken for the new one.
  if (secret != FSecret && !FSecret.empty()) FQuietUntil = now + kQuietMs;
  FSecret = secret;
  // A stored stamp from a clock that ran ahead would make every list on the relay look older: it is
  // forgotten, so the next list from the relay is merged.
  FStamp = AStamp < 0 || AStamp > MaxAccepted() ? 0 : AStamp;
  FInParts.clear();
  FInHave = 0;
  ForgetUpload();
  FFetching = false;
  FNewFormat = !FSecret.empty() && FSettings.NewName() == state;
  FUploadRetryAt = 0;
  FLastError.clear();
  FLastSync = 0;
  FNextPoll = now + kPollMs;
  Notify();
}

void TBookSync::TurnOn() {
  SetSecret(NewSecret(), 0);
  MarkNewFormat();
  SaveSettings();
  Fetch();
}

void TBookSync::TurnOff() {
  CancelPairing();
  SetSecret("", 0);
  SaveSettings();
}

bool TBookSync::UseSecret(std::string_view ASecret, bool AFresh) {
  const std::string s = AsciiLower(Trim(ASecret));
  if (!IsValidSecret(s)) return false;
  CancelPairing();
  SetSecret(s, 0);
  if (AFresh) MarkNewFormat();
  SaveSettings();
  Fetch();
  return true;
}

// ---------------------------------------------------------------------------------------------
// Folding the local list into the merged state

bool TBookSync::Fold(bool ATombstones) {
  if (!FHasLocal) return false;
  const std::int64_t now = NowStamp();
  const bool first = FImport && FList.Known.empty();
  FImport = false;
  bool changed = false, somethingNew = false;
  std::vector<std::string> order;
  std::set<std::string> seen;
  const std::int64_t n = static_cast<std::int64_t>(FLocal.size());
  for (std::int64_t i = 0; i < n; ++i) {
    const std::string& line = FLocal[static_cast<std::size_t>(i)];
    const std::string id = RecentItemID(line);
    if (!IsPartnerID(id) || !seen.insert(id).second) continue;
    order.push_back(id);
    const std::string name = CleanRecentName(RecentItemName(line));
    auto it = FList.Known.find(id);
    if (it != FList.Known.end()) {
      if (it->second.Name != name) {
        it->second.Name = name;
        it->second.Named = now;
        changed = true;
      }
      continue;
    }
    TBookEntry e{name, 0, 0};
    if (first) {
      e.Used = n - i;
    } else {
      e.Used = now;
      e.Named = name.empty() ? 0 : now;
      somethingNew = true;
    }
    FList.Known[id] = e;
    FList.Gone.erase(id);
    changed = true;
  }
  // Recency follows the local order.
  for (std::size_t i = order.size(); i-- > 1;) {
    TBookEntry& above = FList.Known[order[i - 1]];
    const TBookEntry& below = FList.Known[order[i]];
    if (above.Used < below.Used) {
      above.Used = std::max(now, SatAdd(below.Used, 1));
      somethingNew = true;
      changed = true;
    }
  }
  std::vector<std::string> missing;
  for (const auto& id : FList.Order)
    if (!seen.count(id)) missing.push_back(id);
  const bool mass = ATombstones && !somethingNew && missing.size() >= 4 && missing.size() * 4 > FList.Known.size();
  if (mass) {
    // A list that lost many PCs at once without gaining any is taken to be damaged, not edited:
    // the missing PCs stay in the merged state and come back with the next merge.
    for (const auto& id : missing) order.push_back(id);
    if (!FPending || order != FList.Order) {
      FPending = true;
      FList.Order = order;
      SaveState();
    }
    return true;
  }
  if (ATombstones && !missing.empty()) {
    std::size_t lastPresent = 0;
    for (std::size_t i = 0; i < FList.Order.size(); ++i)
      if (seen.count(FList.Order[i])) lastPresent = i;
    for (std::size_t i = 0; i < FList.Order.size(); ++i) {
      const std::string& id = FList.Order[i];
      if (seen.count(id)) continue;
      // PCs that fell off the bottom of a list that grew are not forgotten ones.
      if (!somethingNew || i <= lastPresent) FList.Gone[id] = now;
    }
  }
  for (const auto& id : missing) FList.Known.erase(id);
  if (changed || !missing.empty() || order != FList.Order) {
    FList.Order = std::move(order);
    SaveState();
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Upload

std::int64_t TBookSync::Upload(std::vector<std::string> ALines) {
  SetLocal(std::move(ALines));
  const bool mass = Fold(IsOn());
  if (mass && IsOn()) {
    Fetch();
    return FStamp;
  }
  FStamp = NextStamp();
  if (IsOn()) StartUpload(FStamp);
  return FStamp;
}

void TBookSync::StartUpload(std::int64_t AStamp) {
  FUploadRetryAt = 0;
  if (!FPending) {
    FPending = true;
    SaveState();
  }
  const TBytes key = BookListKey(FSecret);
  std::optional<std::string> b64;
  bool dropped = false;
  for (int attempt = 0; attempt < 6; ++attempt) {
    b64 = SealBookList(BookListText(FList), key);
    if (b64 && (b64->size() + kBookPartChars - 1) / kBookPartChars <= kBookMaxParts) break;
    b64.reset();
    if (FList.Gone.empty()) break;
    KeepNewestTombstones(FList.Gone, FList.Gone.size() / 2);
    dropped = true;
  }
  if (dropped) SaveState();
  if (!b64) {
    FLastError = "The list of saved PCs is too long to sync.";
    Notify();
    return;
  }
  FOutStamp = AStamp;
  FOutParts.clear();
  for (std::size_t i = 0; i < b64->size(); i += kBookPartChars) FOutParts.push_back(b64->substr(i, kBookPartChars));
  FOutAcked.assign(FOutParts.size(), false);
  FOutUntil = FClock.Tick() + kUploadGiveUpMs;
  SaveSettings();
  SendParts(false);
}

void TBookSync::SendParts(bool AOnlyUnconfirmed) {
  const std::string head =
      "BOOKPUT " + BookID(FSecret) + " " + std::to_string(FOutStamp) + " ";
  for (std::size_t i = 0; i < FOutParts.size(); ++i) {
    if (AOnlyUnconfirmed && FOutAcked[i]) continue;
    FRelay.Send(head + std::to_string(i) + " " + std::to_string(FOutParts.size()) + " " + FOutParts[i]);
  }
  FOutNext = FClock.Tick() + kResendMs;
}

void TBookSync::ForgetUpload() {
  FOutStamp = 0;
  FOutParts.clear();
  FOutAcked.clear();
}

// ---------------------------------------------------------------------------------------------
// Fetch

void TBookSync::Fetch() {
  if (!IsOn()) return;
  Fold(true);
  FFetching = true;
  FFetchTries = 0;
  SendFetch();
}

void TBookSync::SendFetch() {
  const TTick now = FClock.Tick();
  if (now < FQuietUntil) {
    FFetchNext = FQuietUntil;
  } else if (FRelay.Available() && FRelay.Send("BOOKGET " + BookID(FSecret))) {
    ++FFetchTries;
    FFetchNext = now + kFetchRetryMs;
  } else {
    FFetchNext = now + kNotSentRetryMs;
  }
}

void TBookSync::EndFetch() {
  FFetching = false;
  FInParts.clear();
  FInHave = 0;
}

TTick TBookSync::PollInterval(TTick ANow) const {
  if (FPairState == bpOffering || FPairState == bpOffered) return kOfferPollMs;
  return ANow < FFastPollUntil ? kFastPollMs : kPollMs;
}

void TBookSync::RecordSuccess() {
  FLastSync = NowStamp();
  FLastError.clear();
  FNextPoll = FClock.Tick() + PollInterval(FClock.Tick());
}

// ---------------------------------------------------------------------------------------------
// Merging a received list

void TBookSync::Merge(const std::string& AText, std::int64_t ARelayStamp) {
  Fold(IsOn());
  const std::int64_t now = NowStamp();
  const TBookList raw = ParseBookList(AText, INT64_MAX);
  const TBookList in = ParseBookList(AText, MaxAccepted());
  TBookList out;
  out.Order = FList.Order;
  for (const auto& id : in.Order)
    if (!FList.Known.count(id)) out.Order.push_back(id);
  for (const auto& id : out.Order) {
    const auto l = FList.Known.find(id);
    const auto r = in.Known.find(id);
    if (l == FList.Known.end()) {
      out.Known[id] = r->second;
    } else if (r == in.Known.end()) {
      out.Known[id] = l->second;
    } else {
      TBookEntry e;
      e.Used = std::max(l->second.Used, r->second.Used);
      e.Named = std::max(l->second.Named, r->second.Named);
      if (l->second.Named > r->second.Named)
        e.Name = l->second.Name;
      else if (r->second.Named > l->second.Named)
        e.Name = r->second.Name;
      else
        e.Name = r->second.Name.empty() ? l->second.Name : r->second.Name;
      out.Known[id] = e;
    }
  }
  out.Gone = FList.Gone;
  for (const auto& [id, st] : in.Gone) {
    auto& g = out.Gone[id];
    g = std::max(g, st);
  }
  std::erase_if(out.Gone, [&](const auto& g) { return g.second < now - kBookTombstoneAgeMs; });
  for (auto it = out.Gone.begin(); it != out.Gone.end();) {
    auto e = out.Known.find(it->first);
    if (e == out.Known.end()) {
      ++it;
    } else if (e->second.Used > it->second) {
      it = out.Gone.erase(it);
    } else {
      out.Known.erase(e);
      ++it;
    }
  }
  std::erase_if(out.Order, [&](const std::string& id) { return !out.Known.count(id); });
  // Equal uses (the ranks of first imports) are ordered by ID, so every PC shows the same order.
  std::sort(out.Order.begin(), out.Order.end(), [&](const std::string& a, const std::string& b) {
    const std::int64_t ua = out.Known[a].Used, ub = out.Known[b].Used;
    return ua != ub ? ua > ub : a < b;
  });
  while (out.Order.size() > kBookMaxEntries) {
    out.Gone[out.Order.back()] = now;
    out.Known.erase(out.Order.back());
    out.Order.pop_back();
  }
  KeepNewestTombstones(out.Gone, kBookMaxTombstones);

  const bool uploadNeeded = Canonical(out) != Canonical(raw);
  const std::int64_t newStamp = uploadNeeded ? std::max(NextStamp(), SatAdd(ARelayStamp, 1)) : ARelayStamp;
  FList = std::move(out);
  FStamp = newStamp;
  FImport = false;
  FPending = uploadNeeded;
  SaveState();
  RecordSuccess();
  std::vector<std::string> lines;
  for (const auto& id : FList.Order) lines.push_back(id + "=" + FList.Known[id].Name);
  if (FHasLocal) FLocal = lines;
  if (OnBook) OnBook(lines, newStamp);
  if (uploadNeeded && FStamp == newStamp && IsOn()) StartUpload(newStamp);
  SaveSettings();
  Notify();
}

// ---------------------------------------------------------------------------------------------
// Relay lines

void TBookSync::HandleLine(std::string_view ALine) {
  if (ALine.size() > 4096) return;
  const auto f = Fields(ALine);
  if (f.size() < 2) return;
  if (f[0] == "BOOKPAIR" || (f[0] == "ERR" && f[1].substr(0, 8) == "BOOKPAIR")) return OnPairLine(f);
  OnBookLine(f);
  Notify();
}

void TBookSync::OnBookLine(const std::vector<std::string_view>& f) {
  const TTick now = FClock.Tick();
  if (f[0] == "BOOKPART" && f.size() >= 4 && f[1] == "OK") {
    const auto st = Decimal(f[2], kBookMaxStamp);
    const auto idx = Decimal(f[3], 1000);
    if (st && idx && !FOutParts.empty() && *st == FOutStamp && std::size_t(*idx) < FOutAcked.size())
      FOutAcked[std::size_t(*idx)] = true;
  } else if (f[0] == "BOOKPUT" && f.size() >= 3 && f[1] == "OK") {
    const auto st = Decimal(f[2], kBookMaxStamp);
    if (!st || FOutParts.empty() || *st != FOutStamp) return;
    ForgetUpload();
    RecordSuccess();
    FPending = false;
    SaveState();
    MarkNewFormat();
    if (OnUploaded) OnUploaded();
  } else if (f[0] == "ERR" && f[1] == "BOOK_OLDER") {
    if (FOutParts.empty()) return;
    ForgetUpload();
    Fetch();
  } else if (f[0] == "ERR" && f[1] == "BOOK_RATE") {
    // The relay takes only so many lines a minute: the upload waits instead of being given up.
    FOutNext = now + kRateWaitMs;
    if (!FOutParts.empty()) FOutUntil = std::max(FOutUntil, now + kRateWaitMs + kUploadGiveUpMs);
    if (FFetching) FFetchNext = now + kRateWaitMs;
  } else if (f[0] == "ERR" && f[1] == "BOOK_FULL") {
    if (FOutParts.empty()) return;
    ForgetUpload();
    FUploadRetryAt = now + kFullWaitMs;
    FLastError = "The server cannot store more synced lists right now.";
  } else if (f[0] == "BOOK" && f.size() >= 5) {
    if (!IsOn() || !FFetching || now < FQuietUntil) return;
    // A stamp beyond this PC's clock + 1 day could pin the list in the future: refused.
    const auto st = Decimal(f[1], MaxAccepted());
    if (!st) return;
    if (*st == 0) {
      EndFetch();
      RecordSuccess();
      if (OnEmpty) OnEmpty();
      return;
    }
    const auto idx = Decimal(f[2], 1000);
    const auto cnt = Decimal(f[3], 1000);
    if (!idx || !cnt || *cnt < 1 || std::size_t(*cnt) > kBookMaxParts || *idx >= *cnt) return;
    if (f[4].size() > kBookPartChars || !IsBase64Part(f[4])) return;
    if (*st != FInStamp || FInParts.size() != std::size_t(*cnt)) {
      FInStamp = *st;
      FInParts.assign(std::size_t(*cnt), std::string());
      FInHave = 0;
    }
    auto& slot = FInParts[std::size_t(*idx)];
    if (slot.empty()) ++FInHave;
    slot = std::string(f[4]);
    if (FInHave < FInParts.size()) return;
    std::string b64;
    for (const auto& p : FInParts) b64 += p;
    const std::int64_t r = FInStamp;
    EndFetch();
    if (r > FStamp || FPending) {
      const auto text = OpenBookList(b64, BookListKey(FSecret));
      if (!text) {
        FLastError = "The synced list could not be read (made with another sync code?).";
        FNextPoll = now + kPollMs;
        return;
      }
      MarkNewFormat();
      Merge(*text, r);
    } else {
      RecordSuccess();
      MarkNewFormat();
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Tick

void TBookSync::Tick() {
  const TTick now = FClock.Tick();
  const bool up = FRelay.Available();
  const bool cameUp = up && !FRelayWasUp;
  FRelayWasUp = up;
  if (!FOutParts.empty()) {
    if (now >= FOutUntil) {
      ForgetUpload();
      FUploadRetryAt = now + kUploadAgainMs;
      FLastError = up ? "The server did not confirm the last change; trying again in a minute."
                      : "Waiting for the connection to the server.";
    } else if (now >= FOutNext) {
      SendParts(true);
    }
  } else if (FUploadRetryAt != 0 && now >= FUploadRetryAt) {
    FUploadRetryAt = 0;
    if (IsOn()) {
      if (Fold(true)) {
        Fetch();
      } else {
        FStamp = NextStamp();
        StartUpload(FStamp);
      }
    }
  }
  if (FFetching && now >= FFetchNext) {
    if (FFetchTries < 4) {
      SendFetch();
    } else {
      EndFetch();
      FNextPoll = now + kUploadAgainMs;
      FLastError = "The server did not answer; trying again later.";
    }
  }
  if (IsOn() && !FFetching && FOutParts.empty() && up && (cameUp || now >= FNextPoll)) {
    FNextPoll = now + PollInterval(now);
    Fetch();
  }
  PairTimers(now);
  SaveSettings();
  Notify();
}

// ---------------------------------------------------------------------------------------------
// Pairing

namespace {

struct TPairKeys {
  TBytes Key;
  std::string ID;
};

TPairKeys DerivePair(const std::string& ACode) {
  const TBytes k = Pbkdf2Sha256(ACode, Utf8Bytes(kPairSalt), kPairIterations, 48);
  return {TBytes(k.begin(), k.begin() + 32), BytesToHex(TByteView(k).subspan(32, 16))};
}

}  // namespace

bool TBookSync::StartPairing(std::string& ACode) {
  if (!FRelay.Available()) {
    PairFail(kNotConnected);
    return false;
  }
  if (!IsOn()) TurnOn();
  std::string code;
  try {
    code = PairCodeFromBytes(RandomBytes(8));
    TPairKeys k = DerivePair(code);
    const TBytes nonce = RandomBytes(kGcmNonceSize);
    TBytes tag;
    const TBytes ct = TGcmKey(k.Key).Encrypt(nonce, {}, Utf8Bytes(FSecret), tag);
    FPairBlob = Base64Encode(JoinBytes({nonce, ct, tag}));
    FPairKey = std::move(k.Key);
    FPairID = k.ID;
  } catch (const std::exception& e) {
    PairFail(std::string("The code could not be made: ") + e.what());
    return false;
  }
  const TTick now = FClock.Tick();
  FPairCode = code.substr(0, 4) + "-" + code.substr(4);
  FPairState = bpOffering;
  FPairMessage = "Getting the code ready...";
  FPairUntil = now + kOfferMs;
  FPairTries = 0;
  SendPair();
  FFastPollUntil = FPairUntil;
  FNextPoll = now + kOfferPollMs;
  ACode = FPairCode;
  Notify();
  return true;
}

void TBookSync::JoinWithCode(std::string_view ACode) {
  const auto code = NormalisePairCode(ACode);
  if (!code) return PairFail("That is not a valid code. A code has 8 letters and digits, like ABCD-EFGH.");
  if (!FRelay.Available()) return PairFail(kNotConnected);
  try {
    TPairKeys k = DerivePair(*code);
    FPairKey = std::move(k.Key);
    FPairID = k.ID;
  } catch (const std::exception& e) {
    return PairFail(std::string("The code could not be used: ") + e.what());
  }
  FPairCode.clear();
  FPairBlob.clear();
  FPairState = bpJoining;
  FPairMessage = "Looking up the code...";
  FPairUntil = FClock.Tick() + kJoinMs;
  FPairTries = 0;
  SendPair();
  Notify();
}

void TBookSync::SendPair() {
  const TTick now = FClock.Tick();
  const bool offering = FPairState == bpOffering;
  const std::string line = offering ? "BOOKPAIR PUT " + FPairID + " " + FPairBlob : "BOOKPAIR GET " + FPairID;
  if (FRelay.Available() && FRelay.Send(line)) {
    ++FPairTries;
    FPairNext = now + (offering ? 4000 : 6000);
  } else {
    FPairNext = now + kNotSentRetryMs;
  }
}

void TBookSync::OnPairLine(const std::vector<std::string_view>& f) {
  if (f[0] == "ERR") {
    if (FPairState != bpOffering && FPairState != bpJoining) return;
    if (f[1] == "BOOKPAIR_RATE") return PairFail("Too many tries. Wait a minute and try again.");
    if (f[1] == "BOOKPAIR_FULL") return PairFail("The server is busy. Try again in a few minutes.");
    return PairFail("The server refused the request (" + EscapeForLog(f[1], 40) + ").");
  }
  if (f.size() < 3 || !SameTextAscii(f[2], FPairID) || FPairID.empty()) return;
  if (f[1] == "OK" && FPairState == bpOffering) {
    FPairState = bpOffered;
    FPairMessage = "Ready. Type this code on your other PC.";
    Notify();
  } else if (f[1] == "NONE" && FPairState == bpJoining) {
    PairFail(
        "No PC is offering this code right now. Check the code: it works for 10 minutes after \"Add another PC\" was "
        "clicked on your other PC, and only once.");
  } else if (f[1] == "DATA" && FPairState == bpJoining && f.size() >= 4) {
    const auto blob = Base64Decode(f[3]);
    TBytes plain;
    const bool ok = blob && blob->size() > kGcmNonceSize + kGcmTagSize && blob->size() <= 1024 &&
                    TGcmKey(FPairKey).Decrypt(TByteView(*blob).subspan(0, 12), {},
                                              TByteView(*blob).subspan(12, blob->size() - 28),
                                              TByteView(*blob).subspan(blob->size() - 16), plain);
    const std::string secret = ok ? AsciiLower(Trim(StringOf(plain))) : std::string();
    if (!IsValidSecret(secret)) return PairFail("The code did not unlock the sync data. Check the code and try again.");
    WipeBytes(FPairKey);
    if (secret != FSecret) {
      SetSecret(secret, 0);
      MarkNewFormat();
      SaveSettings();
    }
    FPairState = bpJoined;
    FPairMessage = "Done. This PC now keeps its saved PCs in sync with your other PC.";
    FFastPollUntil = FClock.Tick() + kJoinedFastMs;
    Fetch();
    Notify();
    if (OnPaired) OnPaired();
  }
}

void TBookSync::PairFail(const std::string& AText) {
  FPairState = bpFailed;
  FPairCode.clear();
  FPairBlob.clear();
  WipeBytes(FPairKey);
  FPairMessage = AText;
  Notify();
  if (OnPairFailed) OnPairFailed(AText);
}

void TBookSync::CancelPairing() {
  FPairState = bpNone;
  FPairCode.clear();
  FPairBlob.clear();
  WipeBytes(FPairKey);
  FPairMessage.clear();
  FFastPollUntil = 0;
  Notify();
}

void TBookSync::PairTimers(TTick ANow) {
  if (FPairState == bpOffering || FPairState == bpJoining) {
    const bool offering = FPairState == bpOffering;
    if (ANow >= FPairUntil) {
      PairFail(offering ? "The code has expired before the server confirmed it. Click Add another PC to try again."
                        : "The server did not answer. Check the connection and try again.");
    } else if (ANow >= FPairNext) {
      if (FPairTries > (offering ? 4 : 2))
        PairFail("The server did not answer. It may be an older version without pairing; use the long sync code "
                 "instead.");
      else
        SendPair();
    }
  } else if (FPairState == bpOffered && ANow >= FPairUntil) {
    FPairState = bpNone;
    FPairCode.clear();
    FPairBlob.clear();
    WipeBytes(FPairKey);
    FPairMessage = "The code has expired. Click Add another PC for a new one.";
  }
}

int TBookSync::PairSecondsLeft() const {
  if (FPairState != bpOffering && FPairState != bpOffered) return 0;
  const TTick now = FClock.Tick();
  return now >= FPairUntil ? 0 : static_cast<int>((FPairUntil - now) / 1000);
}

// ---------------------------------------------------------------------------------------------
// Status

std::string TBookSync::StatusText() const {
  if (!IsOn()) return "Sync is off.";
  if (!FLastError.empty()) return "Sync is on. " + FLastError;
  if (FLastSync != 0) {
    const std::time_t t = static_cast<std::time_t>(FLastSync / 1000);
    const std::time_t today = static_cast<std::time_t>(NowStamp() / 1000);
    std::tm a{}, b{};
    localtime_r(&t, &a);
    localtime_r(&today, &b);
    char when[32];
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (a.tm_year == b.tm_year && a.tm_yday == b.tm_yday)
      std::snprintf(when, sizeof when, "%02d:%02d", a.tm_hour, a.tm_min);
    else
      std::snprintf(when, sizeof when, "%d %s %02d:%02d", a.tm_mday, kMonths[a.tm_mon % 12], a.tm_hour, a.tm_min);
    const int n = Count();
    return "Sync is on. Last synced " + std::string(when) + ", " + (n == 1 ? "1 PC" : std::to_string(n) + " PCs") + ".";
  }
  return FRelay.Available() ? "Sync is on. Syncing..." : "Sync is on. Waiting for the server...";
}

void TBookSync::Notify() {
  const std::string s = StatusText() + "|" + std::to_string(int(FPairState)) + "|" + FPairMessage;
  if (s == FLastStatus) return;
  FLastStatus = s;
  if (OnStatus) OnStatus();
}

}  // namespace tovik
