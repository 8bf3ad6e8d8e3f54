// TCaptureWorker: grabs and encodes the host's screen on a thread of its own, so that the grab and the
// compression of a picture (tens of milliseconds for a whole 1080p screen) never hold up the thread
// that handles the helper's input, the Stop button and the sending of packets.
//
// The owner decides when to capture (its schedule runs on its own thread with its own time) and asks
// for one tile update at a time with Request; the worker runs IHostScreen::CaptureUpdate and keeps the
// result until the owner takes it with Take. AOnDone is called on the worker thread after each result
// is stored (the owner's wake-up: it must only signal, e.g. TQtTimedDriver::Wake). One request is
// answered by exactly one result, in order; a request while one is in flight or untaken is refused.
//
// Ownership: owns the screen. Every other call on the screen goes through WithScreen, which holds
// FScreenLock and so waits for a capture in flight to end.
//
// Threads: every public method on the owner's thread (the GUI thread in the program). The worker
// thread calls the screen only while holding FScreenLock, and AOnDone with no lock held. The
// destructor stops the thread after the capture in flight (if any) ends; its result is dropped, and
// AOnDone is not called after the destructor returns.
#pragma once

#include <condition_variable>
#include <cstdint>
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
  struct TResult {
    TBytes Update;          // the tile update; empty when nothing changed
    bool Full = false;      // it answers a request for a full picture
    bool More = false;      // the screen has changed tiles this update had no room for
    TTick EncodeMs = 0;     // by the stopwatch
    bool NormalDesktop = true;
    std::string Diag;       // the screen's Diag after the capture
    std::string Error;      // what CaptureUpdate raised (Update is then empty)
  };

  // AStopwatch (any thread; none = 0 ms) times each capture.
  TCaptureWorker(std::unique_ptr<IHostScreen> AScreen, std::function<void()> AOnDone,
                 std::function<TTick()> AStopwatch = {});
  ~TCaptureWorker();
  TCaptureWorker(const TCaptureWorker&) = delete;
  TCaptureWorker& operator=(const TCaptureWorker&) = delete;

  // No request in flight and no result waiting.
  bool Idle() const;
  // A result waits for Take.
  bool Ready() const;
  // Starts one capture; false (nothing started) when not Idle.
  bool Request(bool AFull);
  // The finished result (once); nothing while the capture runs or when none was asked for.
  std::optional<TResult> Take();

  // Runs AWork(screen) on the calling thread once no capture runs.
  template <class F>
  decltype(auto) WithScreen(F&& AWork) {
    std::lock_guard<std::mutex> l(FScreenLock);
    return AWork(*FScreen);
  }

 private:
  void Run();

  std::unique_ptr<IHostScreen> FScreen;
  std::function<void()> FOnDone;
  std::function<TTick()> FStopwatch;
  std::mutex FScreenLock;  // held by whoever calls the screen
  mutable std::mutex FLock;  // guards the fields below
  std::condition_variable FWake;
  bool FStop = false;
  bool FPending = false;  // asked for, not started
  bool FRunning = false;
  bool FPendingFull = false;
  std::optional<TResult> FResult;
  std::thread FThread;  // last: starts once the fields above exist
};

}  // namespace tovik
