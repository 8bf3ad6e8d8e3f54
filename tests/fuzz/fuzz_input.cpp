// Input transport: any packets handed to the receiver and the sender must not crash, the receiver
// must apply events only in unbroken sequence, and every answer must be a well-formed acknowledgement.
#include <cstdint>
#include <cstdlib>

#include "base/TovikBytes.h"
#include "net/TovikFrames.h"

// Input: records of [operation byte][length byte][packet].
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovik;
  TInputSender sender;
  TInputReceiver receiver;
  for (int i = 0; i < 120; ++i) sender.Add(1, static_cast<std::int16_t>(i), 0, 0);
  std::uint32_t last = 0;
  const TInputApplyProc apply = [&last](const TInputEvent& ev) {
    if (ev.Seq != last + 1) std::abort();
    if (ev.Seq % 7 == 0 && ev.X % 2 != 0) return false;  // the host cannot take it now
    last = ev.Seq;
    return true;
  };

  std::size_t pos = 0;
  while (pos + 2 <= size) {
    const std::uint8_t op = data[pos];
    const std::size_t len = std::min<std::size_t>(data[pos + 1] * 8u, size - pos - 2);
    const TByteView packet(data + pos + 2, len);
    pos += 2 + len;
    if (op % 2 == 0) {
      const TBytes ack = receiver.HandleInput(packet, apply);
      if (!ack.empty() && (ack.size() != 5 || ack[0] != pkInputAck || GetU32LE(ack.data() + 1) != last))
        std::abort();
    } else {
      const std::size_t before = sender.PendingCount();
      sender.HandleAck(packet);
      if (sender.PendingCount() > before) std::abort();
      const TBytes p = sender.Packet();
      if (p.size() > 2 + kInputEventSize * kMaxInputEvents) std::abort();
    }
  }
  return 0;
}
