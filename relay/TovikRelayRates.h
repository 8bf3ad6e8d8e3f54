// TCappedTable: the relay's per-source bookkeeping (rate windows of source addresses and ranges),
// with a hard cap on its entries and no full scans.
//
// Entries are kept in order of last use. Touch finds or adds an entry and makes it the most recent;
// when the table is full, adding one first forgets the least recently used entry, so a flood of new
// sources costs constant time per packet and never grows the table past its cap (the forgotten
// sources start again with no credit used). ForgetIdle drops entries from the old end only.
//
// Not thread-safe; one owner (the relay core).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <utility>

#include "base/TovikClock.h"

namespace tovik {

template <class TValue>
class TCappedTable {
 public:
  explicit TCappedTable(std::size_t ACap) : FCap(ACap < 1 ? 1 : ACap) {}

  // The entry of AKey (added with a default value when absent), now the most recently used.
  // Valid until the next Touch or ForgetIdle.
  TValue& Touch(std::uint64_t AKey, TTick ANow) {
    auto it = FIndex.find(AKey);
    if (it != FIndex.end()) {
      FOrder.splice(FOrder.begin(), FOrder, it->second);
    } else {
      if (FIndex.size() >= FCap) {
        FIndex.erase(FOrder.back().Key);
        FOrder.pop_back();
      }
      FOrder.push_front(TEntry{AKey, 0, TValue{}});
      it = FIndex.emplace(AKey, FOrder.begin()).first;
    }
    it->second->LastUse = ANow;
    return it->second->Value;
  }

  // The entry of AKey, or nullptr; does not count as a use.
  const TValue* Find(std::uint64_t AKey) const {
    auto it = FIndex.find(AKey);
    return it == FIndex.end() ? nullptr : &it->second->Value;
  }

  // Drops the entries not used for more than AIdleMs, oldest first.
  void ForgetIdle(TTick ANow, TTick AIdleMs) {
    while (!FOrder.empty() && ANow - FOrder.back().LastUse > AIdleMs) {
      FIndex.erase(FOrder.back().Key);
      FOrder.pop_back();
    }
  }

  std::size_t Size() const { return FIndex.size(); }
  std::size_t Cap() const { return FCap; }

 private:
  struct TEntry {
    std::uint64_t Key;
    TTick LastUse;
    TValue Value;
  };
  std::size_t FCap;
  std::list<TEntry> FOrder;  // most recently used first
  std::unordered_map<std::uint64_t, typename std::list<TEntry>::iterator> FIndex;
};

}  // namespace tovik
