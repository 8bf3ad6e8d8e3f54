#include "book/TovikRecent.h"

#include <algorithm>
#include <map>

#include "base/TovikBytes.h"

namespace tovik {

std::string CleanRecentName(std::string_view AName) {
  std::string s = Utf8Sanitize(AName);
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == '=') c = ' ';
  s = Trim(s);
  if (Utf8Length(s) > kMaxRecentNameChars) s = Trim(Utf8Left(s, kMaxRecentNameChars));
  return s;
}

std::string RecentItemID(std::string_view ALine) {
  const auto eq = ALine.find('=');
  return Trim(eq == std::string_view::npos ? ALine : ALine.substr(0, eq));
}

std::string RecentItemName(std::string_view ALine) {
  const auto eq = ALine.find('=');
  return eq == std::string_view::npos ? std::string() : Trim(ALine.substr(eq + 1));
}

std::map<std::string, std::string> RecentNames(const std::vector<std::string>& ALines) {
  std::map<std::string, std::string> names;
  for (const std::string& line : ALines)
    if (std::string name = RecentItemName(line); !name.empty()) names[RecentItemID(line)] = std::move(name);
  return names;
}

namespace {

// "Id17" -> 17 for the prefix "Id" (case-insensitive); nullopt for anything else.
std::optional<std::size_t> NumberedKey(std::string_view AKey, std::string_view APrefix) {
  if (AKey.size() <= APrefix.size() || AKey.size() > APrefix.size() + 6) return std::nullopt;
  if (!SameTextAscii(AKey.substr(0, APrefix.size()), APrefix)) return std::nullopt;
  std::size_t n = 0;
  for (char c : AKey.substr(APrefix.size())) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  return n;
}

std::string DigitsOf(std::string_view s) {
  std::string out;
  for (char c : s)
    if (c >= '0' && c <= '9') out += c;
  return out;
}

}  // namespace

void TRecentList::Load() {
  FLines.clear();
  const auto keys = FStore.ReadSection();
  if (keys) {
    std::size_t count = 0;
    std::map<std::size_t, std::string> ids, names;  // first key of each number wins
    for (const auto& [k, v] : *keys) {
      if (SameTextAscii(k, "Count")) {
        if (count == 0) count = static_cast<std::size_t>(std::clamp<std::int64_t>(
                                    ParseIniInt64(v, 0), 0, static_cast<std::int64_t>(kMaxRecentCountRead)));
      } else if (auto i = NumberedKey(k, "Id")) {
        ids.emplace(*i, v);
      } else if (auto j = NumberedKey(k, "Name")) {
        names.emplace(*j, v);
      }
    }
    for (const auto& [i, raw] : ids) {
      if (i >= count || FLines.size() >= kMaxRecent) break;
      const std::string id = DigitsOf(raw);
      if (!IsPartnerID(id) || IndexOfID(id) >= 0) continue;
      const auto n = names.find(i);
      FLines.push_back(id + "=" + (n == names.end() ? std::string() : CleanRecentName(n->second)));
    }
  }
  FSavedText = Text();
}

std::string TRecentList::Text() const {
  std::string t;
  for (std::size_t i = 0; i < FLines.size(); ++i) {
    if (i) t += "\r\n";
    t += FLines[i];
  }
  return t;
}

int TRecentList::IndexOfID(std::string_view AID) const {
  for (std::size_t i = 0; i < FLines.size(); ++i)
    if (RecentItemID(FLines[i]) == AID) return static_cast<int>(i);
  return -1;
}

std::string TRecentList::NameOf(std::string_view AID) const {
  const int i = IndexOfID(AID);
  return i < 0 ? std::string() : RecentItemName(FLines[static_cast<std::size_t>(i)]);
}

bool TRecentList::Add(std::string_view AID) {
  if (!IsPartnerID(AID)) return false;
  std::string name;
  if (const int i = IndexOfID(AID); i >= 0) {
    if (i == 0) return false;
    name = RecentItemName(FLines[static_cast<std::size_t>(i)]);
    FLines.erase(FLines.begin() + i);
  }
  FLines.insert(FLines.begin(), std::string(AID) + "=" + name);
  while (FLines.size() > kMaxRecent) {
    std::size_t victim = FLines.size() - 1;
    for (std::size_t i = FLines.size() - 1; i >= 1; --i)
      if (RecentItemName(FLines[i]).empty()) {
        victim = i;
        break;
      }
    FLines.erase(FLines.begin() + static_cast<std::ptrdiff_t>(victim));
  }
  Changed(false);
  return true;
}

bool TRecentList::Rename(std::string_view AID, std::string_view AName) {
  const int i = IndexOfID(AID);
  if (i < 0) return false;
  const std::string name = CleanRecentName(AName);
  auto& line = FLines[static_cast<std::size_t>(i)];
  if (RecentItemName(line) == name) return false;
  line = std::string(AID) + "=" + name;
  Changed(false);
  return true;
}

bool TRecentList::Forget(std::string_view AID) {
  const int i = IndexOfID(AID);
  if (i < 0) return false;
  FLines.erase(FLines.begin() + i);
  Changed(false);
  return true;
}

bool TRecentList::ApplyFromSync(const std::vector<std::string>& ALines) {
  std::vector<std::string> fresh;
  for (const auto& l : ALines) {
    if (fresh.size() >= kMaxRecent) break;
    const std::string id = RecentItemID(l);
    if (!IsPartnerID(id)) continue;
    if (std::any_of(fresh.begin(), fresh.end(), [&](const std::string& f) { return RecentItemID(f) == id; }))
      continue;
    fresh.push_back(id + "=" + CleanRecentName(RecentItemName(l)));
  }
  if (fresh == FLines) return false;
  FLines = std::move(fresh);
  Changed(true);
  return true;
}

bool TRecentList::Save() {
  const std::string text = Text();
  if (text == FSavedText) return true;
  TIniPairs keys;
  keys.reserve(1 + 2 * FLines.size());
  keys.emplace_back("Count", std::to_string(FLines.size()));
  for (std::size_t i = 0; i < FLines.size(); ++i) {
    std::string name = RecentItemName(FLines[i]);
    for (char& c : name)
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    keys.emplace_back("Id" + std::to_string(i), RecentItemID(FLines[i]));
    keys.emplace_back("Name" + std::to_string(i), std::move(name));
  }
  const TFileResult r = FStore.WriteSection(keys);
  if (!r) {
    if (OnLog) OnLog("Could not save the saved PCs in " + FStore.Path() + ": " + r.Error);
    return false;
  }
  FSavedText = text;
  return true;
}

void TRecentList::Changed(bool AFromSync) {
  Save();
  if (!AFromSync && OnUpload) OnUpload(FLines);
}

}  // namespace tovik
