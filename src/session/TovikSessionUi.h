// What the session's windows need beside the session contract of session/TovikSessionIntf.h (the
// viewer window's events and operations): the consent answer, the input kinds, and session
// recordings. No Qt here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/TovikInput.h"
#include "session/TovikConsentAnswer.h"
#include "session/TovikSessionIntf.h"

namespace tovik {

// A 32-bit BGRA picture lent for the duration of one call.
struct TPictureView {
  const std::uint8_t* Bits = nullptr;
  int Width = 0, Height = 0;
  int Stride = 0;  // bytes from row 0 to row 1
};

// A session recording (MP4) that the viewer window feeds with frames.
class IViewerRecorder {
 public:
  virtual ~IViewerRecorder() = default;
  // Adds one picture of the recording size, shown ATimeMs after the recording started (the file's
  // frame times follow these). Returns "" or the error text.
  virtual std::string AddFrame(const TPictureView& picture, std::int64_t ATimeMs) = 0;
  // Finishes the file. Returns "" or the reason the file could not be completed.
  virtual std::string Finish() = 0;
  // The file written: the name asked for, or with " (2)", " (3)"... when that one existed.
  virtual std::string Path() const = 0;
};

// Makes a session recording of AW x AH at AFps frames a second into APath; returns null and sets
// AError when none can be made.
using TRecorderFactory = std::function<std::unique_ptr<IViewerRecorder>(const std::string& APath, int AW, int AH,
                                                                        int AFps, std::string& AError)>;

}  // namespace tovik
