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

void TWallpaperKeeper::Queue(std::function<void()> AJob) {
  {
    std::lock_guard<std::mutex> l(FLock);
    FJobs.push_back(std::move(AJob));
  }
  FWake.notify_all();
}

void TWallpaperKeeper::Hide() {
  if (FHidden || !FBackend) return;
  FHidden = true;
  Queue([this] {
    if (!FSaved) FSaved = FBackend->Hide();
  });
}

void TWallpaperKeeper::Restore() {
  if (!FHidden || !FBackend) return;
  FHidden = false;
  Queue([this] {
    if (FSaved) {
      FBackend->Restore(*FSaved);
      FSaved.reset();
    }
  });
}

void TWallpaperKeeper::Drain() {
  std::unique_lock<std::mutex> l(FLock);
  FIdle.wait(l, [this] { return FJobs.empty() && !FBusy; });
}

void TWallpaperKeeper::Run() {
  std::unique_lock<std::mutex> l(FLock);
  for (;;) {
    FWake.wait(l, [this] { return FStop || !FJobs.empty(); });
    // Queued jobs run even after stop was asked: the last restore must not be lost.
    if (FJobs.empty()) return;
    auto job = std::move(FJobs.front());
    FJobs.pop_front();
    FBusy = true;
    l.unlock();
    try {
      job();
    } catch (...) {
      // A failing desktop tool must not end the worker; the background simply stays as it is.
    }
    l.lock();
    FBusy = false;
    if (FJobs.empty()) FIdle.notify_all();
  }
}

}  // namespace tovik
