// How many 900-character parts a saved-PC list needs on the wire: 200 entries with 80-character names
// and 300 tombstones, with names of random characters (the worst case for compression) and names
// made of words. Prints one line per case; scripts/measure-book-size runs it.
#include <cstdio>
#include <random>
#include <string>

#include "book/TovikBook.h"

using namespace tovik;

namespace {

std::string Name(std::mt19937& rng, bool words) {
  static const char* const kWords[] = {"Office", "Laptop", "Front", "desk", "Anna", "Mum", "Dad", "Shop",
                                       "Kitchen", "Reception", "Upstairs", "Warehouse", "Server", "old", "new"};
  static const std::string kChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -";
  std::string n;
  while (n.size() < 80) {
    if (words) {
      n += kWords[rng() % 15];
      n += ' ';
    } else {
      n += kChars[rng() % kChars.size()];
    }
  }
  n.resize(80);
  if (n.back() == ' ') n.back() = 'x';
  return n;
}

}  // namespace

int main() {
  const std::int64_t now = 1'765'000'000'000;
  for (bool words : {false, true}) {
    std::mt19937 rng(7);
    TBookList l;
    for (int i = 0; i < 200; ++i) {
      const std::string id = std::to_string(100'000'000 + static_cast<int>(rng() % 899'999'999));
      if (l.Known.count(id)) continue;
      l.Known[id] = TBookEntry{Name(rng, words), now - i * 3'600'000 - static_cast<int>(rng() % 1000),
                               now - static_cast<std::int64_t>(rng() % 2'000'000'000)};
      l.Order.push_back(id);
    }
    for (int i = 0; i < 300; ++i)
      l.Gone[std::to_string(100'000'000 + static_cast<int>(rng() % 899'999'999))] =
          now - static_cast<std::int64_t>(rng() % 2'500'000'000);
    const std::string text = BookListText(l);
    const std::string b64 = *SealBookList(text, BookListKey(std::string(64, 'a')));
    const std::size_t parts = (b64.size() + kBookPartChars - 1) / kBookPartChars;
    std::printf("%s names: %zu entries, %zu tombstones, text %zu bytes, packed %zu bytes, Base64 %zu chars, %zu parts (limit %zu)\n",
                words ? "word" : "random", l.Order.size(), l.Gone.size(), text.size(), BookDeflate(text).size(),
                b64.size(), parts, kBookMaxParts);
  }
  return 0;
}
