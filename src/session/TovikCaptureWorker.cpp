#include "session/TovikCaptureWorker.h"

#include <exception>

namespace tovik {

TCaptureWorker::TCaptureWorker(std::unique_ptr<IHostScreen> AScreen, std::function<void()> AOnDone,
                               std::function<TTick()> AStopwatch)
    : FScreen(std::move(AScreen)), FOnDone(std::move(AOnDone)), FStopwatch(std::move(AStopwatch)) {
  FThread = std::thread([this] { Run(); });
}

TCaptureWorker::~TCaptureWorker() {
  {
    std::lock_guard<std::mutex> l(FLock);
    FStop = true;
  }
  FWake.notify_all();
  FThread.join();
}

bool TCaptureWorker::Idle() const {
  std::lock_guard<std::mutex> l(FLock);
  return !FPending && !FRunning && !FResult;
}

bool TCaptureWorker::Ready() const {
  std::lock_guard<std::mutex> l(FLock);
  return FResult.has_value();
}

bool TCaptureWorker::Request(bool AFull) {
  {
    std::lock_guard<std::mutex> l(FLock);
    if (FPending || FRunning || FResult) return false;
    FPending = true;
    FPendingFull = AFull;
  }
  FWake.notify_one();
  return true;
}

std::optional<TCaptureWorker::TResult> TCaptureWorker::Take() {
  std::lock_guard<std::mutex> l(FLock);
  std::optional<TResult> r = std::move(FResult);
  FResult.reset();
  return r;
}

void TCaptureWorker::Run() {
  for (;;) {
    bool full;
    {
      std::unique_lock<std::mutex> l(FLock);
      FWake.wait(l, [this] { return FStop || FPending; });
      if (FStop) return;
      FPending = false;
      FRunning = true;
      full = FPendingFull;
    }
    TResult r;
    r.Full = full;
    {
      std::lock_guard<std::mutex> s(FScreenLock);
      const TTick started = FStopwatch ? FStopwatch() : 0;
      try {
        r.Update = FScreen->CaptureUpdate(full);
      } catch (const std::exception& e) {
        r.Update.clear();  // as a grab that found nothing: the owner's schedule tries again
        r.Error = e.what();
      }
      r.More = FScreen->MoreWaiting();
      r.NormalDesktop = FScreen->IsNormalDesktop();
      r.Diag = FScreen->Diag();
      if (FStopwatch) r.EncodeMs = FStopwatch() - started;
    }
    {
      std::lock_guard<std::mutex> l(FLock);
      FRunning = false;
      if (FStop) return;
      FResult = std::move(r);
    }
    if (FOnDone) FOnDone();
  }
}

}  // namespace tovik
