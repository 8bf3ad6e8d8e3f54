// TCaptureWorker: grabs and encodes the host's screen on threads of its own, so that the grab and the
// compression of a picture (tens of milliseconds for a whole 1080p screen) never hold up the thread
// that handles the helper's input, the Stop button and the sending of packets.
//
// The owner decides when to capture (its schedule runs on its own thread with its own time) and asks
// for one tile update with Request; the worker runs IHostScreen::CaptureUpdate and keeps the result
// until the owner takes it with Take. A change too large for one update (the result's More) goes on
// without being asked for: the worker captures the rest of it ahead, up to kMaxAhead results not yet
// taken, so that the next update is being encoded while the owner sends the last. The owner takes the
// results in order and asks for nothing new until the worker is Idle again. A request while the
// worker is not Idle is refused.
//
// The compression of a zlib update (photo-like pixels, most of a full-screen change) runs on a second
// thread, the deflater, while the worker picks the next update's tiles; when the deflater is busy the
// worker compresses itself, so that the updates of a large change are encoded on two cores. Compact
// updates are finished by the screen on the worker, one after another: each continues the stream of
// the one before. Results are taken in the order of the captures whoever finished them.
//
// AOnDone is called on one of the worker's threads after a result is finished (the owner's wake-up:
// it must only signal, e.g. TQtTimedDriver::Wake).
//
// Ownership: owns the screen. Every other call on the screen goes through WithScreen, which holds
// FScreenLock and so waits for a capture in flight to end.
//
// Threads: every public method on the owner's thread (the GUI thread in the program). The worker
// thread calls the screen only while holding FScreenLock, and neither thread calls AOnDone or
// compresses with a lock held. The destructor stops both threads after the work in flight (a capture,
// a compression) ends; results are dropped, and AOnDone is not called after the destructor returns.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "session/TovikSessionIntf.h"

namespace tovik {

class TCaptureWorker {
 public:
  // Results of one large change captured ahead and not yet taken, at most.
  static constexpr std::size_t kMaxAhead = 3;

  struct TResult {
    TBytes Update;          // the tile update; empty when nothing changed
    bool Full = false;      // it answers a request for a full picture (or must be followed by one:
                            // its compression failed, and the update is empty)
    bool More = false;      // the screen has changed tiles this update had no room for
    TTick EncodeMs = 0;     // by the stopwatch: grab, pick and compression, on whichever thread
    bool NormalDesktop = true;
    std::string Diag;       // the screen's Diag after the capture
    std::string Error;      // what CaptureUpdate raised (Update is then empty)
  };

  // AStopwatch (any thread; none = 0 ms) times each capture. ADeflater: compress zlib updates on a
  // second thread (when the screen can leave them unfinished).
  TCaptureWorker(std::unique_ptr<IHostScreen> AScreen, std::function<void()> AOnDone,
                 std::function<TTick()> AStopwatch = {}, bool ADeflater = true);
  ~TCaptureWorker();
  TCaptureWorker(const TCaptureWorker&) = delete;
  TCaptureWorker& operator=(const TCaptureWorker&) = delete;

  // No request in flight, no result waiting and nothing left to capture ahead.
  bool Idle() const;
  // The next result in order is finished and waits for Take.
  bool Ready() const;
  // Starts one capture; false (nothing started) when not Idle.
  bool Request(bool AFull);
  // The next finished result (once); nothing while it is being made or when none was asked for.
  std::optional<TResult> Take();

  // Runs AWork(screen) on the calling thread once no capture runs.
  template <class F>
  decltype(auto) WithScreen(F&& AWork) {
    std::lock_guard<std::mutex> l(FScreenLock);
    return AWork(*FScreen);
  }

 private:
  // One capture's result on its way: Raw holds an update still to be compressed until Done.
  struct TSlot {
    TResult R;
    TBytes Raw;
    bool Done = false;
    TTick CaptureMs = 0;
  };

  void Run();
  void RunDeflater();
  // Compresses ASlot's update (no lock held) and marks it done; false after the end began.
  bool Finish(TSlot& ASlot);

  std::unique_ptr<IHostScreen> FScreen;
  std::function<void()> FOnDone;
  std::function<TTick()> FStopwatch;
  bool FDeferred = false;  // the screen leaves zlib updates unfinished
  std::mutex FScreenLock;  // held by whoever calls the screen
  mutable std::mutex FLock;  // guards the fields below
  std::condition_variable FWake;      // the worker's
  std::condition_variable FWakeDeflater;
  bool FStop = false;
  bool FPending = false;  // asked for, not started
  bool FRunning = false;
  bool FPendingFull = false;
  bool FAhead = false;    // the last capture left tiles out: the worker goes on by itself
  std::deque<std::unique_ptr<TSlot>> FSlots;  // in capture order
  TSlot* FJob = nullptr;    // handed to the deflater, not yet started
  bool FDeflating = false;  // the deflater compresses a slot
  std::thread FDeflater;  // before FThread: both start once the fields above exist
  std::thread FThread;
};

}  // namespace tovik
