// TovikRecent: the list of saved PCs (the PCs this user helped before), newest first, with an optional
// name each, and its [Recent] section in the per-user settings file.
//
// Lines are "id=name": id is the raw 9-digit partner ID, name the user's name for that PC (possibly
// empty). Every path that fills the list keeps: each id exactly 9 digits, no id twice, at most
// kMaxRecent entries, most recently connected first.
//
// Storage goes through IRecentStore (the program backs it with the settings store; tests with a fake).
// The whole section is always written in one replacing write, never erased and rewritten key by key,
// so a failure in the middle cannot leave the user with a half list. A write that failed is tried
// again from Tick while the list differs from what was last written.
//
// No Qt, no clock. Threads: GUI thread only; callbacks run on the caller's thread, inside the call
// that changed the list.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikFiles.h"
#include "base/TovikIni.h"

namespace tovik {

inline constexpr std::size_t kMaxRecent = 200;
inline constexpr std::size_t kMaxRecentNameChars = 80;
// Count values read from the file are cut to this; only keys present are looked at.
inline constexpr std::size_t kMaxRecentCountRead = 10'000;

// A name as the user set it, made safe to keep: characters below U+0020 and "=" become blanks,
// malformed UTF-8 becomes U+FFFD, the text is trimmed and cut to its first 80 characters (then trimmed
// again).
std::string CleanRecentName(std::string_view AName);
// The trimmed text before the first "=" (the whole line when it has none).
std::string RecentItemID(std::string_view ALine);
// The trimmed text after the first "=", empty when the line has none.
std::string RecentItemName(std::string_view ALine);
// The names the person gave saved PCs: ID -> name, for the lines that have one.
std::map<std::string, std::string> RecentNames(const std::vector<std::string>& ALines);

// Where the [Recent] section lives.
class IRecentStore {
 public:
  virtual ~IRecentStore() = default;
  // The section's key lines in file order; nullopt when the file cannot be read.
  virtual std::optional<TIniPairs> ReadSection() = 0;
  // Replaces the whole section in one write.
  virtual TFileResult WriteSection(const TIniPairs& AKeys) = 0;
  // The settings file's path, for log lines.
  virtual std::string Path() const = 0;
};

// An IRecentStore over the [Recent] section of one INI file.
class TIniRecentStore final : public IRecentStore {
 public:
  explicit TIniRecentStore(std::string APath) : FPath(std::move(APath)) {}
  std::optional<TIniPairs> ReadSection() override { return IniReadSection(FPath, "Recent"); }
  TFileResult WriteSection(const TIniPairs& AKeys) override { return IniWriteSection(FPath, "Recent", AKeys); }
  std::string Path() const override { return FPath; }

 private:
  std::string FPath;
};

class TRecentList {
 public:
  using TLinesEvent = std::function<void(const std::vector<std::string>& ALines)>;
  using TLogEvent = std::function<void(const std::string& ALine)>;

  // AStore must outlive the list.
  explicit TRecentList(IRecentStore& AStore) : FStore(AStore) {}

  // Replaces the list with the stored one (malformed and repeated IDs dropped, first one wins) and
  // takes it as the saved text. Nothing is written.
  void Load();

  const std::vector<std::string>& Lines() const { return FLines; }
  std::size_t Count() const { return FLines.size(); }
  // The lines joined with CR LF.
  std::string Text() const;
  int IndexOfID(std::string_view AID) const;
  std::string NameOf(std::string_view AID) const;

  // Connecting to AID: it moves to the top (keeping its name) or is added there; above kMaxRecent
  // entries, the oldest unnamed one below the top goes, or the last one when all are named. Only for
  // a 9-digit ID; false when nothing changed.
  bool Add(std::string_view AID);
  // Sets the cleaned name. False when the ID is not in the list or the name stays the same.
  bool Rename(std::string_view AID, std::string_view AName);
  // Takes the ID off the list. False when it was not there.
  bool Forget(std::string_view AID);
  // The merged list from the sync engine: the lines with a 9-digit ID part (first occurrence wins,
  // names cleaned, at most kMaxRecent). Saved but not handed back to OnUpload. False when it equals
  // the present list.
  bool ApplyFromSync(const std::vector<std::string>& ALines);

  // Writes the list when it differs from the saved text; true when the file holds the list afterwards.
  bool Save();
  // Retries a failed save (call once a second).
  void Tick() { if (Dirty()) Save(); }
  // The list differs from what the file was last known to hold.
  bool Dirty() const { return Text() != FSavedText; }

  // A change made on this PC (Add, Rename, Forget), after it was saved: the sync engine uploads it.
  TLinesEvent OnUpload;
  // Log lines ("Could not save the saved PCs ...").
  TLogEvent OnLog;

 private:
  void Changed(bool AFromSync);
  IRecentStore& FStore;
  std::vector<std::string> FLines;
  std::string FSavedText;
};

}  // namespace tovik
