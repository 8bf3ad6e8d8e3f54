// Session recordings in MP4 over libavformat and libx264: fragmented MP4 (a fragment about every
// second), so that a recording whose program died still plays up to its last fragment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "media/TovikMF.h"

namespace tovik {

// Where a recording's bytes go. Called on the recorder's worker thread only.
class IByteSink {
 public:
  virtual ~IByteSink() = default;
  // Writes all of AData at the current position; false on failure (Error() says why).
  virtual bool Write(const std::uint8_t* AData, std::size_t ALen) = 0;
  // Moves the position to APos from the start; false on failure.
  virtual bool Seek(std::int64_t APos) = 0;
  // Ends the output (a file is closed); false on failure.
  virtual bool Close() = 0;
  virtual std::string Error() const = 0;
};

// A new file created exclusively (never over an existing one) at APath, or at "<stem> (2)<ext>",
// "<stem> (3)<ext>" ... up to 99 when that is taken; AActualPath receives the name used. Raises
// ETovikMF with the system's reason.
std::unique_ptr<IByteSink> CreateFileSink(const std::string& APath, std::string& AActualPath);

// The recorder over a sink: AWidth and AHeight are rounded down to even ("Picture too small to record"
// below 16), AFps below 1 means 10; the bit rate is width x height x fps / 5000 kbit/s, at least 1000.
// APath is what Path() reports. AWorkerGate, when set, is called on the worker thread before it takes
// each waiting picture (tests hold the worker there so that pictures wait and give way on purpose).
// Raises ETovikMF.
std::unique_ptr<IMP4Recorder> CreateMP4Recorder(std::unique_ptr<IByteSink> ASink, const std::string& APath,
                                                int AWidth, int AHeight, int AFps,
                                                std::function<void()> AWorkerGate = nullptr);

}  // namespace tovik
