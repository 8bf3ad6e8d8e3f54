// What the session's windows (consent dialog, stop bar, viewer window) exchange with the session.
// No Qt here: the session implements these interfaces and calls the windows' operations.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/TovikInput.h"
#include "session/TovikConsentAnswer.h"

namespace tovik {

// One input event from the viewer window: kind 1 pointer move, 2 button down, 3 button up (Data: 0
// left, 1 right, 2 middle), 4 wheel (Data: wheel delta, 120 per notch), 5 key down, 6 key up (Data:
// Windows virtual-key code). X and Y are pixels of the other PC's picture.
struct TViewerInput {
  std::uint8_t Kind = 0;
  std::int16_t X = 0, Y = 0;
  std::int32_t Data = 0;
  bool operator==(const TViewerInput&) const = default;
};

// The kinds are the wire's (ikMove .. ikKeyUp of media/TovikInput.h), so both headers can meet in one
// file.
using TViewerInputKind = TInputKind;

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
  // Adds one picture of the recording size. Returns "" or the error text.
  virtual std::string AddFrame(const TPictureView& picture) = 0;
  // Finishes the file. Returns "" or the error text.
  virtual std::string Finish() = 0;
};

// The viewer side of a session, as the viewer window sees it. All calls come on the GUI thread from
// the window; the host must outlive the window or be detached with TViewerForm::SetHost(nullptr)
// (FreeSafely does that). A handler may call FreeSafely on the window, never delete it directly.
class IViewerHost {
 public:
  virtual ~IViewerHost() = default;
  virtual void OnInput(const TViewerInput& event) = 0;
  // The user ends the session (Disconnect, the close box, RequestClose).
  virtual void OnUserClose() = 0;
  virtual void OnChat() {}
  // Existing files chosen in the file dialog or dropped on the window (UTF-8 paths).
  virtual void OnSendFiles(const std::vector<std::string>& files) { (void)files; }
  virtual void OnPickScreen(int index) { (void)index; }
  virtual void OnRestart() {}
  virtual void OnMute(bool muted) { (void)muted; }
  virtual void OnShowThumbs(bool visible) { (void)visible; }
  // The latest thumbnail of a screen; return false for none. The picture must stay valid until return.
  virtual bool OnGetThumb(int index, TPictureView& picture) {
    (void)index;
    (void)picture;
    return false;
  }
  virtual void OnCancelSend() {}
  // The pointer reached the left (-1) or right (+1) edge of the picture at relative height fracY.
  virtual void OnEdge(int dir, double fracY) {
    (void)dir;
    (void)fracY;
  }
  virtual void OnElevate() {}
  // The user picked a view mode (0 fit smooth, 1 fit sharp, 2 original size): store [Viewer] Scale.
  virtual void OnViewMode(int mode) { (void)mode; }
  // Starts a recording; returns null and sets `error` when none can be made.
  virtual std::unique_ptr<IViewerRecorder> CreateRecorder(const std::string& path, int width, int height,
                                                          int fps, std::string& error) {
    (void)path;
    (void)width;
    (void)height;
    (void)fps;
    error = "video recording is not available in this build";
    return nullptr;
  }
};

}  // namespace tovik
