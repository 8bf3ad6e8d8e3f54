// Hiding the desktop background during a session, and bringing it back.
//
// IWallpaperBackend talks to the desktop (blocking calls, possibly slow: it may start a settings
// tool). TWallpaperKeeper runs every backend call on one worker thread of its own, in the order the
// GUI thread asked for them, so a restore can never overtake the hide before it. The saved value is
// kept by the worker; a restore with no saved value (the hide failed or never ran) leaves the
// background alone.
#pragma once

#include <condition_variable>
#include <deque>
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

  // Queues a hide unless this keeper has already hidden the background.
  void Hide();
  // Queues a restore when this keeper has hidden the background.
  void Restore();
  // True between Hide and Restore (as asked on the GUI thread, not as done by the worker).
  bool Hidden() const { return FHidden; }
  // Blocks until every queued call has run. For tests and for the destructor.
  void Drain();

 private:
  void Run();
  void Queue(std::function<void()> AJob);

  std::unique_ptr<IWallpaperBackend> FBackend;
  bool FHidden = false;
  std::optional<std::string> FSaved;  // worker thread only
  std::mutex FLock;
  std::condition_variable FWake, FIdle;
  std::deque<std::function<void()>> FJobs;
  bool FBusy = false, FStop = false;
  std::thread FWorker;  // last: started after everything above exists
};

}  // namespace tovik
