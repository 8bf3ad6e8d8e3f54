// Hiding the desktop background during a session, and bringing it back.
//
// IWallpaperBackend talks to the desktop (blocking calls, possibly slow: it may start a settings
// tool). TWallpaperKeeper runs the backend calls on one worker thread of its own. The GUI thread only
// says which state it wants (hidden or not); the worker brings the desktop to the latest wanted state,
// one call at a time, so a restore can never overtake the hide before it, and any number of toggles
// (a helper may send them as fast as it likes) leaves at most one job pending. The saved value is kept
// by the worker; a restore with no saved value (the hide failed or never ran) leaves the background
// alone.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tovik {

using TLogFn = std::function<void(const std::string&)>;

class IWallpaperBackend {
 public:
  virtual ~IWallpaperBackend() = default;
  // Hides the background; returns the value needed to restore it, or nothing when it could not
  // (unsupported desktop, tool failed). Called on the keeper's worker thread only.
  virtual std::optional<std::string> Hide() = 0;
  // Puts back what Hide returned. Worker thread only.
  virtual bool Restore(const std::string& ASaved) = 0;

  // Picks the backend for this desktop (GNOME, XFCE, or one that only logs that it cannot).
  // ALog may be called from the worker thread.
  static std::unique_ptr<IWallpaperBackend> Create(TLogFn ALog);
};

// GUI thread: Hide, Restore, Hidden, destructor. The destructor restores a background this keeper
// hid, finishes the queued calls and joins the worker.
class TWallpaperKeeper {
 public:
  explicit TWallpaperKeeper(std::unique_ptr<IWallpaperBackend> ABackend);
  ~TWallpaperKeeper();
  TWallpaperKeeper(const TWallpaperKeeper&) = delete;
  TWallpaperKeeper& operator=(const TWallpaperKeeper&) = delete;

  // The background is to be hidden (a job is pending unless this keeper wants that already).
  void Hide();
  // The background is to come back (likewise).
  void Restore();
  // True between Hide and Restore (as asked on the GUI thread, not as done by the worker).
  bool Hidden() const { return FHidden; }
  // Blocks until the worker has brought the desktop to the wanted state. For tests and for the
  // destructor.
  void Drain();

 private:
  void Run();
  void Want(bool AHidden);

  std::unique_ptr<IWallpaperBackend> FBackend;
  bool FHidden = false;
  std::optional<std::string> FSaved;  // worker thread only
  std::mutex FLock;
  std::condition_variable FWake, FIdle;
  bool FWantHidden = false;  // the latest wanted state; under FLock
  bool FPending = false;     // a job for FWantHidden waits; under FLock
  bool FBusy = false, FStop = false;
  std::thread FWorker;  // last: started after everything above exists
};

}  // namespace tovik
