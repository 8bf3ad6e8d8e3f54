// The host's buffer of messages delivered before consent. Bounded by count and by bytes: a partner
// that keeps sending before the person has answered cannot make the host hold more than the caps.
// GUI thread only.
#pragma once

#include <cstddef>
#include <deque>
#include <utility>

namespace tovik {

inline constexpr std::size_t kEarlyMaxMessages = 4096;
inline constexpr std::size_t kEarlyMaxBytes = 4u << 20;  // 4 MiB of message bodies

// TMsg needs a `Data` member with size().
template <class TMsg>
class TEarlyBuffer {
 public:
  explicit TEarlyBuffer(std::size_t AMaxCount = kEarlyMaxMessages, std::size_t AMaxBytes = kEarlyMaxBytes)
      : FMaxCount(AMaxCount), FMaxBytes(AMaxBytes) {}

  // False (and nothing kept) when the message would pass either cap.
  bool Push(TMsg AMsg) {
    const std::size_t n = AMsg.Data.size();
    if (FItems.size() >= FMaxCount || n > FMaxBytes - FBytes) return false;
    FBytes += n;
    FItems.push_back(std::move(AMsg));
    return true;
  }

  // Hands over every message in arrival order and empties the buffer.
  std::deque<TMsg> Take() {
    FBytes = 0;
    return std::exchange(FItems, {});
  }

  void Clear() {
    FItems.clear();
    FBytes = 0;
  }
  std::size_t Count() const { return FItems.size(); }
  std::size_t Bytes() const { return FBytes; }

 private:
  std::size_t FMaxCount, FMaxBytes;
  std::size_t FBytes = 0;
  std::deque<TMsg> FItems;
};

}  // namespace tovik
