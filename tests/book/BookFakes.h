// Fakes around TBookSync: a clock moved by hand, a relay that records what is sent, settings in memory.
#pragma once

#include <string>
#include <vector>

#include "book/TovikBook.h"

namespace tovik::test {

struct TFakeBookClock final : IBookClock {
  TTick T = 1'000'000;
  std::int64_t S = 1'700'000'000'000;
  TTick Tick() const override { return T; }
  std::int64_t Stamp() const override { return S; }
  void Advance(TTick AMs) {
    T += AMs;
    S += static_cast<std::int64_t>(AMs);
  }
};

struct TFakeBookRelay final : IBookRelay {
  bool Up = true;
  std::vector<std::string> Sent;
  bool Available() const override { return Up; }
  bool Send(std::string_view ALine) override {
    if (!Up) return false;
    Sent.emplace_back(ALine);
    return true;
  }
  // The lines sent that start with APrefix.
  std::vector<std::string> SentStarting(std::string_view APrefix) const {
    std::vector<std::string> out;
    for (const auto& s : Sent)
      if (s.rfind(APrefix, 0) == 0) out.push_back(s);
    return out;
  }
};

struct TMemBookSettings final : IBookSettings {
  std::string Secret, Name;
  std::int64_t StampV = 0;
  int SecretWrites = 0;
  std::string NewName() override { return Name; }
  void SaveSecret(const std::string& ASecret) override {
    Secret = ASecret;
    ++SecretWrites;
  }
  void SaveStamp(std::int64_t AStamp) override { StampV = AStamp; }
  void SaveNewName(const std::string& AName) override { Name = AName; }
};

// The BOOK lines a relay would send for a list sealed under ASecret's key.
inline std::vector<std::string> BookLinesFor(const std::string& ASecret, const std::string& AText,
                                             std::int64_t AStamp) {
  const std::string b64 = *SealBookList(AText, BookListKey(ASecret));
  const std::size_t n = (b64.size() + kBookPartChars - 1) / kBookPartChars;
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i)
    out.push_back("BOOK " + std::to_string(AStamp) + " " + std::to_string(i) + " " + std::to_string(n) + " " +
                  b64.substr(i * kBookPartChars, kBookPartChars));
  return out;
}

}  // namespace tovik::test
