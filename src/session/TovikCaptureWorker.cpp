#include "session/TovikCaptureWorker.h"

#include <exception>

namespace tovik {

TCaptureWorker::TCaptureWorker(std::unique_ptr<IHostScreen> AScreen, std::function<void()> AOnDone,
                               std::function<TTick()> AStopwatch, bool ADeflater)
    : FScreen(std::move(AScreen)), FOnDone(std::move(AOnDone)), FStopwatch(std::move(AStopwatch)) {
  FDeferred = ADeflater && FScreen->DeferDeflate(true);
  if (FDeferred) FDeflater = std::thread([this] { RunDeflater(); });
  FThread = std::thread([this] { Run(); });
}

TCaptureWorker::~TCaptureWorker() {
  {
    std::lock_guard<std::mutex> l(FLock);
    FStop = true;
  }
  FWake.notify_all();
  FWakeDeflater.notify_all();
  FThread.join();
  if (FDeflater.joinable()) FDeflater.join();
}

bool TCaptureWorker::Idle() const {
  std::lock_guard<std::mutex> l(FLock);
  return !FPending && !FRunning && !FAhead && FSlots.empty();
}

bool TCaptureWorker::Ready() const {
  std::lock_guard<std::mutex> l(FLock);
  return !FSlots.empty() && FSlots.front()->Done;
}

bool TCaptureWorker::Request(bool AFull) {
  {
    std::lock_guard<std::mutex> l(FLock);
    if (FPending || FRunning || FAhead || !FSlots.empty()) return false;
    FPending = true;
    FPendingFull = AFull;
  }
  FWake.notify_one();
  return true;
}

std::optional<TCaptureWorker::TResult> TCaptureWorker::Take() {
  std::optional<TResult> r;
  {
    std::lock_guard<std::mutex> l(FLock);
    if (FSlots.empty() || !FSlots.front()->Done) return r;
    r = std::move(FSlots.front()->R);
    FSlots.pop_front();
  }
  FWake.notify_one();  // room to capture ahead again
  return r;
}

bool TCaptureWorker::Finish(TSlot& ASlot) {
  const TTick started = FStopwatch ? FStopwatch() : 0;
  TBytes out;
  try {
    out = FinishPlainUpdate(ASlot.Raw);
  } catch (const std::exception&) {
    out.clear();
  }
  const TTick ms = FStopwatch ? FStopwatch() - started : 0;
  {
    std::lock_guard<std::mutex> l(FLock);
    ASlot.Raw = TBytes();
    if (out.empty()) {
      // The tiles count as sent already: only a full picture makes the viewer whole again.
      ASlot.R.Full = true;
      ASlot.R.Error = "no memory to compress a screen update";
    }
    ASlot.R.Update = std::move(out);
    ASlot.R.EncodeMs += ms;
    ASlot.Done = true;
    if (FStop) return false;
  }
  if (FOnDone) FOnDone();
  return true;
}

void TCaptureWorker::RunDeflater() {
  for (;;) {
    TSlot* job;
    {
      std::unique_lock<std::mutex> l(FLock);
      FWakeDeflater.wait(l, [this] { return FStop || FJob; });
      if (FStop) return;
      job = FJob;
      FJob = nullptr;
      FDeflating = true;
    }
    const bool go = Finish(*job);
    {
      std::lock_guard<std::mutex> l(FLock);
      FDeflating = false;
    }
    if (!go) return;
  }
}

void TCaptureWorker::Run() {
  for (;;) {
    bool full = false;
    {
      std::unique_lock<std::mutex> l(FLock);
      FWake.wait(l, [this] { return FStop || FPending || (FAhead && FSlots.size() < kMaxAhead); });
      if (FStop) return;
      if (FPending) full = FPendingFull;
      FPending = false;
      FAhead = false;
      FRunning = true;
    }
    auto slot = std::make_unique<TSlot>();
    TResult& r = slot->R;
    r.Full = full;
    bool unfinished = false;
    {
      std::lock_guard<std::mutex> s(FScreenLock);
      const TTick started = FStopwatch ? FStopwatch() : 0;
      try {
        r.Update = FScreen->CaptureUpdate(full);
        unfinished = FDeferred && !r.Update.empty() && FScreen->LastUnfinished();
      } catch (const std::exception& e) {
        r.Update.clear();  // as a grab that found nothing: the owner's schedule tries again
        r.Error = e.what();
      }
      r.More = FScreen->MoreWaiting();
      r.NormalDesktop = FScreen->IsNormalDesktop();
      r.Diag = FScreen->Diag();
      if (FStopwatch) r.EncodeMs = FStopwatch() - started;
    }
    if (unfinished) slot->Raw = std::move(r.Update);
    TSlot* mine = nullptr;
    bool handed = false;
    {
      std::lock_guard<std::mutex> l(FLock);
      FRunning = false;
      if (FStop) return;
      FAhead = r.More && r.Error.empty();
      TSlot* p = slot.get();
      FSlots.push_back(std::move(slot));
      if (!unfinished) {
        p->Done = true;
      } else if (!FJob && !FDeflating) {
        FJob = p;
        handed = true;
      } else {
        mine = p;
      }
    }
    if (handed) {
      FWakeDeflater.notify_one();
    } else if (mine) {
      if (!Finish(*mine)) return;
    } else if (FOnDone) {
      FOnDone();
    }
  }
}

}  // namespace tovik
