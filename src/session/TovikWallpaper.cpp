#include "session/TovikWallpaper.h"

namespace tovik {

TWallpaperKeeper::TWallpaperKeeper(std::unique_ptr<IWallpaperBackend> ABackend)
    : FBackend(std::move(ABackend)), FWorker([this] { Run(); }) {}

TWallpaperKeeper::~TWallpaperKeeper() {
  Restore();  // ending always brings the background back
  {
    std::lock_guard<std::mutex> l(FLock);
    FStop = true;
  }
  FWake.notify_all();
  FWorker.join();
}

void TWallpaperKeeper::Want(bool AHidden) {
  {
    std::lock_guard<std::mutex> l(FLock);
    FWantHidden = AHidden;
    FPending = true;  // replaces a job that has not started yet
  }
  FWake.notify_all();
}

void TWallpaperKeeper::Hide() {
  if (FHidden || !FBackend) return;
  FHidden = true;
  Want(true);
}

void TWallpaperKeeper::Restore() {
  if (!FHidden || !FBackend) return;
  FHidden = false;
  Want(false);
}

void TWallpaperKeeper::Drain() {
  std::unique_lock<std::mutex> l(FLock);
  FIdle.wait(l, [this] { return !FPending && !FBusy; });
}

void TWallpaperKeeper::Run() {
  std::unique_lock<std::mutex> l(FLock);
  for (;;) {
    FWake.wait(l, [this] { return FStop || FPending; });
    // A pending job runs even after stop was asked: the last restore must not be lost.
    if (!FPending) return;
    const bool hide = FWantHidden;
    FPending = false;
    FBusy = true;
    l.unlock();
    try {
      if (hide && !FSaved) {
        FSaved = FBackend->Hide();
      } else if (!hide && FSaved) {
        FBackend->Restore(*FSaved);
        FSaved.reset();
      }
    } catch (...) {
      // A failing desktop tool must not end the worker; the background simply stays as it is.
    }
    l.lock();
    FBusy = false;
    if (!FPending) FIdle.notify_all();
  }
}

}  // namespace tovik
