// The [Recent] section of the settings file (edited by hand or damaged): the list keeps its rules
// (9-digit IDs once each, at most 200, clean names) and a save and a load give the same list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "base/TovikIni.h"
#include "book/TovikRecent.h"

namespace {
struct TMem final : tovik::IRecentStore {
  std::optional<tovik::TIniPairs> Section;
  std::optional<tovik::TIniPairs> ReadSection() override { return Section; }
  tovik::TFileResult WriteSection(const tovik::TIniPairs& k) override {
    Section = k;
    return {};
  }
  std::string Path() const override { return "Tovik.ini"; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovik;
  const std::string text = "[Recent]\n" + std::string(reinterpret_cast<const char*>(data), size);
  TIniText ini(text);
  TMem store;
  TIniPairs pairs;
  for (const char* k : {"Count", "Id0", "Name0", "Id1", "Name1", "Id2", "Name2", "Id1000", "Name1000"})
    if (auto v = ini.Find("Recent", k)) pairs.emplace_back(k, *v);
  store.Section = pairs;
  TRecentList list(store);
  list.Load();
  if (list.Count() > kMaxRecent) std::abort();
  std::set<std::string> ids;
  for (const auto& l : list.Lines()) {
    const std::string id = RecentItemID(l);
    if (!IsPartnerID(id) || !ids.insert(id).second) std::abort();
    if (CleanRecentName(RecentItemName(l)) != RecentItemName(l)) std::abort();
  }
  list.Add("123456789");
  TRecentList again(store);
  again.Load();
  if (again.Lines() != list.Lines()) std::abort();
  return 0;
}
