// Owning wrappers and shared queries over XCB for the X11 backends.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "media/TovikCapture.h"

namespace tovik {

struct TXDisconnect {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
// One X connection; closed when the owner goes.
using TXConnection = std::unique_ptr<xcb_connection_t, TXDisconnect>;

struct TXFree {
  void operator()(void* p) const { std::free(p); }
};
// A reply or error that XCB allocated with malloc.
template <class T>
using TXReply = std::unique_ptr<T, TXFree>;

// A server-side resource (damage, region, shared-memory segment...) freed with its destroy request.
// The connection must outlive it (declare it after the connection).
class TXResource {
 public:
  using TDestroy = void (*)(xcb_connection_t*, std::uint32_t);
  TXResource() = default;
  TXResource(xcb_connection_t* AConn, std::uint32_t AId, TDestroy ADestroy) : FConn(AConn), FId(AId), FDestroy(ADestroy) {}
  ~TXResource() { Reset(); }
  TXResource(const TXResource&) = delete;
  TXResource& operator=(const TXResource&) = delete;
  TXResource& operator=(TXResource&& o) noexcept {
    Reset();
    FConn = o.FConn;
    FId = o.FId;
    FDestroy = o.FDestroy;
    o.FId = 0;
    return *this;
  }
  std::uint32_t Id() const { return FId; }
  void Reset() {
    if (FId && FConn && FDestroy && !xcb_connection_has_error(FConn)) FDestroy(FConn, FId);
    FId = 0;
  }

 private:
  xcb_connection_t* FConn = nullptr;
  std::uint32_t FId = 0;
  TDestroy FDestroy = nullptr;
};

// A connection to $DISPLAY with its default screen, shared by the objects that use it on one thread.
struct TXDisplay {
  TXConnection Conn;
  xcb_screen_t* Screen = nullptr;
  bool PixelsBgrx = false; // root pictures are 32 bits per pixel, blue, green, red, X in memory

  // nullptr when the display cannot be reached.
  static std::shared_ptr<TXDisplay> Open();
  // The root window's current size as a rectangle at (0, 0).
  TRect RootRect();
  // RandR monitors (real origins, primary flag); the whole root as one primary monitor without RandR 1.5.
  std::vector<TMonitorInfo> Monitors();
  bool HasExtension(xcb_extension_t* AExt);
  // A round trip: every request sent before has been handled and its events queued.
  void Sync();

  bool FRandrChecked = false;
  bool FRandr15 = false;
};

}  // namespace tovik
