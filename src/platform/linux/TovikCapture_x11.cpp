// X11 screen backend: the MIT-SHM grab with DAMAGE (TDesktopDup), the xcb_get_image fall-back, the
// XFixes pointer image and RandR monitors.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

#include "platform/linux/TovikXcb.h"

namespace tovik {

namespace {

struct TShmDetach {
  void operator()(std::uint8_t* p) const { shmdt(p); }
};
using TShmMemory = std::unique_ptr<std::uint8_t, TShmDetach>;

// Copies packed rows of ASrcW pixels from ASrc (the top left pixel of ARect) into ARect of ABitmap.
void CopyRectTo(TBitmap32& ABitmap, const std::uint8_t* ASrc, int ASrcW, const TRect& ARect) {
  for (int y = 0; y < ARect.Height; ++y)
    std::memcpy(ABitmap.Row(ARect.Top + y) + static_cast<std::size_t>(ARect.Left) * 4,
                ASrc + static_cast<std::size_t>(y) * static_cast<std::size_t>(ASrcW) * 4,
                static_cast<std::size_t>(ARect.Width) * 4);
}

TRect Union(const TRect& a, const TRect& b) {
  if (a.Empty()) return b;
  const int l = std::min(a.Left, b.Left), t = std::min(a.Top, b.Top);
  return {l, t, std::max(a.Right(), b.Right()) - l, std::max(a.Bottom(), b.Bottom()) - t};
}

// The shared-memory grab of one monitor. DAMAGE says what changed since the last call, so only the
// box around those parts is read from the server, and only the parts are copied out of it; what the
// caller drew over (its refresh rectangles) is read again from the server.
class TDesktopDup final : public IScreenGrab {
 public:
  explicit TDesktopDup(const TRect& AArea) : FArea(AArea) {
    FDisplay = TXDisplay::Open();
    if (!FDisplay) throw std::runtime_error("No X display");
    xcb_connection_t* c = FDisplay->Conn.get();
    if (!FDisplay->PixelsBgrx) throw std::runtime_error("Pixel format not supported");
    if (!FDisplay->HasExtension(&xcb_shm_id)) throw std::runtime_error("No MIT-SHM");
    if (!FDisplay->HasExtension(&xcb_damage_id) || !FDisplay->HasExtension(&xcb_xfixes_id))
      throw std::runtime_error("No DAMAGE");
    TXReply<xcb_xfixes_query_version_reply_t> xf(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
    TXReply<xcb_damage_query_version_reply_t> dv(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    if (!xf || !dv) throw std::runtime_error("No DAMAGE");

    bool found = false;
    for (const TMonitorInfo& m : FDisplay->Monitors()) {
      if (m.Rect.Left != AArea.Left || m.Rect.Top != AArea.Top) continue;
      found = true;
      if (m.Rect.Width != AArea.Width || m.Rect.Height != AArea.Height)
        throw std::runtime_error("Screen size or rotation not supported");
      break;
    }
    if (!found) throw std::runtime_error("That screen is not on this graphics card");

    const std::size_t bytes = static_cast<std::size_t>(AArea.Width) * AArea.Height * 4;
    const int shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shmId < 0) throw std::runtime_error("shmget failed");
    void* addr = shmat(shmId, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
      shmctl(shmId, IPC_RMID, nullptr);
      throw std::runtime_error("shmat failed");
    }
    FShm.reset(static_cast<std::uint8_t*>(addr));
    const xcb_shm_seg_t seg = xcb_generate_id(c);
    TXReply<xcb_generic_error_t> err(xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<std::uint32_t>(shmId), 0)));
    // The segment goes away once both sides have detached.
    shmctl(shmId, IPC_RMID, nullptr);
    if (err) throw std::runtime_error("MIT-SHM attach failed");
    FSeg = TXResource(c, seg, [](xcb_connection_t* cc, std::uint32_t id) { xcb_shm_detach(cc, id); });

    const xcb_damage_damage_t damage = xcb_generate_id(c);
    xcb_damage_create(c, damage, FDisplay->Screen->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    FDamage = TXResource(c, damage, [](xcb_connection_t* cc, std::uint32_t id) { xcb_damage_destroy(cc, id); });
    const xcb_xfixes_region_t region = xcb_generate_id(c);
    xcb_xfixes_create_region(c, region, 0, nullptr);
    FRegion = TXResource(c, region, [](xcb_connection_t* cc, std::uint32_t id) { xcb_xfixes_destroy_region(cc, id); });
    if (FDisplay->HasExtension(&xcb_randr_id)) {
      FRandrEvent = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
      xcb_randr_select_input(c, FDisplay->Screen->root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
    }
    FDisplay->Sync();
    if (xcb_connection_has_error(c)) throw std::runtime_error("X connection failed");
  }

  TGrabStatus CopyTo(TBitmap32& ABitmap, bool AKeep, std::span<const TRect> ARefresh, TGrabChanges& AChanged) override {
    AChanged = {};
    xcb_connection_t* c = FDisplay->Conn.get();
    if (FLost || xcb_connection_has_error(c)) return TGrabStatus::gsLost;
    if (ABitmap.Width() != FArea.Width || ABitmap.Height() != FArea.Height) return TGrabStatus::gsNoPicture;
    DrainEvents();
    if (FLost) return TGrabStatus::gsLost;
    const TRect all{0, 0, FArea.Width, FArea.Height};

    if (!FHaveFirst || !AKeep) {
      xcb_damage_subtract(c, FDamage.Id(), XCB_NONE, XCB_NONE);
      if (!Fetch(all)) return TGrabStatus::gsLost;
      CopyFetched(ABitmap, all, all);
      FHaveFirst = true;
      AChanged.All = true;
      return TGrabStatus::gsOk;
    }
    // Move the damage into our region and read it back in the same round trip's order: every
    // drawing the server did before this request is in it.
    xcb_damage_subtract(c, FDamage.Id(), XCB_NONE, FRegion.Id());
    xcb_generic_error_t* e = nullptr;
    TXReply<xcb_xfixes_fetch_region_reply_t> r(xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, FRegion.Id()), &e));
    TXReply<xcb_generic_error_t> err(e);
    if (!r) {
      FLost = true;
      return TGrabStatus::gsLost;
    }
    const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(r.get());
    const int n = xcb_xfixes_fetch_region_rectangles_length(r.get());
    TRect box;
    for (int i = 0; i < n; ++i) {
      const TRect d = Intersect({rects[i].x - FArea.Left, rects[i].y - FArea.Top, rects[i].width, rects[i].height}, all);
      if (d.Empty()) continue;
      AChanged.Rects.push_back(d);
      box = Union(box, d);
    }
    // One read of the box around the damage, copied once into ABitmap where something was drawn and
    // where the caller drew (its refresh rectangles) inside the box; refresh rectangles outside it are
    // read on their own.
    FOutside.clear();
    if (!box.Empty()) {
      if (!Fetch(box)) return TGrabStatus::gsLost;
      for (const TRect& d : AChanged.Rects) CopyFetched(ABitmap, box, d);
    }
    for (const TRect& rr : ARefresh) {
      const TRect d = Intersect(rr, all);
      if (d.Empty()) continue;
      if (Intersect(d, box) == d)
        CopyFetched(ABitmap, box, d);
      else
        FOutside.push_back(d);
    }
    for (const TRect& d : FOutside) {
      if (!Fetch(d)) return TGrabStatus::gsLost;
      CopyFetched(ABitmap, d, d);
    }
    DrainEvents();
    if (FLost) return TGrabStatus::gsLost;
    return TGrabStatus::gsOk;
  }

 private:
  void DrainEvents() {
    xcb_connection_t* c = FDisplay->Conn.get();
    while (TXReply<xcb_generic_event_t> ev{xcb_poll_for_event(c)}) {
      const std::uint8_t type = ev->response_type & 0x7F;
      if (type == 0) FLost = true; // an X error on one of our requests
      else if (FRandrEvent && type == FRandrEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY) FLost = true;
    }
    if (xcb_connection_has_error(c)) FLost = true;
  }

  // Reads ARect (picture coordinates) into the shared segment, as packed rows of ARect's width.
  bool Fetch(const TRect& ARect) {
    xcb_connection_t* c = FDisplay->Conn.get();
    xcb_generic_error_t* e = nullptr;
    TXReply<xcb_shm_get_image_reply_t> r(xcb_shm_get_image_reply(
        c,
        xcb_shm_get_image(c, FDisplay->Screen->root, static_cast<std::int16_t>(FArea.Left + ARect.Left),
                          static_cast<std::int16_t>(FArea.Top + ARect.Top), static_cast<std::uint16_t>(ARect.Width),
                          static_cast<std::uint16_t>(ARect.Height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, FSeg.Id(), 0),
        &e));
    TXReply<xcb_generic_error_t> err(e);
    if (!r || r->size < static_cast<std::uint32_t>(ARect.Width) * ARect.Height * 4) {
      FLost = true;
      return false;
    }
    return true;
  }

  // Copies APart (inside AFetched, the rectangle last read by Fetch) from the shared segment into ABitmap.
  void CopyFetched(TBitmap32& ABitmap, const TRect& AFetched, const TRect& APart) const {
    CopyRectTo(ABitmap, FShm.get() + (static_cast<std::size_t>(APart.Top - AFetched.Top) * AFetched.Width +
                                     static_cast<std::size_t>(APart.Left - AFetched.Left)) * 4,
               AFetched.Width, APart);
  }

  TRect FArea;
  std::shared_ptr<TXDisplay> FDisplay; // own connection: the damage events are ours alone
  TShmMemory FShm;
  TXResource FSeg;
  TXResource FDamage;
  TXResource FRegion;
  std::uint8_t FRandrEvent = 0;
  std::vector<TRect> FOutside; // refresh rectangles outside the damage's box (reused)
  bool FHaveFirst = false;     // a whole picture was read
  bool FLost = false;
};

// The plain copy: xcb_get_image of the area of the root window, every call.
class TPlainGrab final : public IScreenGrab {
 public:
  TPlainGrab(std::shared_ptr<TXDisplay> ADisplay, const TRect& AArea) : FDisplay(std::move(ADisplay)), FArea(AArea) {}

  TGrabStatus CopyTo(TBitmap32& ABitmap, bool, std::span<const TRect>, TGrabChanges& AChanged) override {
    AChanged = {};
    AChanged.All = true;
    xcb_connection_t* c = FDisplay->Conn.get();
    if (xcb_connection_has_error(c)) return TGrabStatus::gsLost;
    if (ABitmap.Width() != FArea.Width || ABitmap.Height() != FArea.Height) return TGrabStatus::gsNoPicture;
    // Large areas go in bands so that no reply grows past what the server may send at once.
    const int bandRows = std::max(1, (4 << 20) / (FArea.Width * 4));
    for (int top = 0; top < FArea.Height; top += bandRows) {
      const int rows = std::min(bandRows, FArea.Height - top);
      xcb_generic_error_t* e = nullptr;
      TXReply<xcb_get_image_reply_t> r(xcb_get_image_reply(
          c,
          xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, FDisplay->Screen->root, static_cast<std::int16_t>(FArea.Left),
                        static_cast<std::int16_t>(FArea.Top + top), static_cast<std::uint16_t>(FArea.Width),
                        static_cast<std::uint16_t>(rows), ~0u),
          &e));
      TXReply<xcb_generic_error_t> err(e);
      if (!r) return TGrabStatus::gsNoPicture;
      const std::size_t need = static_cast<std::size_t>(FArea.Width) * rows * 4;
      if (static_cast<std::size_t>(xcb_get_image_data_length(r.get())) < need) return TGrabStatus::gsNoPicture;
      const std::uint8_t* src = xcb_get_image_data(r.get());
      for (int y = 0; y < rows; ++y)
        std::memcpy(ABitmap.Row(top + y), src + static_cast<std::size_t>(y) * FArea.Width * 4,
                    static_cast<std::size_t>(FArea.Width) * 4);
    }
    return TGrabStatus::gsOk;
  }

 private:
  std::shared_ptr<TXDisplay> FDisplay;
  TRect FArea;
};

// Reports drawing anywhere on the root window: DAMAGE at the "non-empty" level on a connection of its
// own, watched by a thread that sleeps in poll() until the server sends an event. The server sends one
// event when the damage stops being empty; Rearm empties it, so the next drawing reports again (the
// drawing between two captures costs one event, however much there is). Rearm empties it through a
// second connection and waits for the server to have done so (a round trip), so that no drawing after
// it goes unreported; the watched connection then carries only events, which only the thread reads
// (a reply read there by the thread calling Rearm would leave poll() reporting data that
// xcb_poll_for_event may not read, and the thread would spin until that reply was taken). An eventfd
// wakes the thread to end it.
class TDamageWatch final : public IChangeWatch {
 public:
  explicit TDamageWatch(std::function<void()> AOnChange) : FOnChange(std::move(AOnChange)) {
    FDisplay = TXDisplay::Open();
    if (!FDisplay) throw std::runtime_error("No X display");
    xcb_connection_t* c = FDisplay->Conn.get();
    if (!FDisplay->HasExtension(&xcb_damage_id)) throw std::runtime_error("No DAMAGE");
    TXReply<xcb_damage_query_version_reply_t> dv(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    if (!dv) throw std::runtime_error("No DAMAGE");
    FDamageEvent = xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
    const xcb_damage_damage_t damage = xcb_generate_id(c);
    xcb_damage_create(c, damage, FDisplay->Screen->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    FDamage = TXResource(c, damage, [](xcb_connection_t* cc, std::uint32_t id) { xcb_damage_destroy(cc, id); });
    FDisplay->Sync();
    if (xcb_connection_has_error(c)) throw std::runtime_error("X connection failed");
    FRearmDisplay = TXDisplay::Open();
    if (!FRearmDisplay) throw std::runtime_error("No X display");
    xcb_connection_t* rc = FRearmDisplay->Conn.get();
    // DAMAGE takes requests from a client only once it has asked for the version.
    TXReply<xcb_damage_query_version_reply_t> rv(
        xcb_damage_query_version_reply(rc, xcb_damage_query_version(rc, 1, 1), nullptr));
    if (!rv || xcb_connection_has_error(rc)) throw std::runtime_error("No DAMAGE");
    FWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FWakeFd < 0) throw std::runtime_error("eventfd failed");
    FThread = std::thread([this] { Run(); });
  }

  void Rearm() override {
    xcb_connection_t* c = FRearmDisplay->Conn.get();
    xcb_damage_subtract(c, FDamage.Id(), XCB_NONE, XCB_NONE);
    FRearmDisplay->Sync();
    while (TXReply<xcb_generic_event_t> ev{xcb_poll_for_queued_event(c)}) {
    }  // errors only: the watched connection tells of a lost display
  }

  ~TDamageWatch() override {
    FStop = true;
    Poke();
    FThread.join();
    close(FWakeFd);
  }

 private:
  void Poke() {
    const std::uint64_t one = 1;
    while (write(FWakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  void Run() {
    xcb_connection_t* c = FDisplay->Conn.get();
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {FWakeFd, POLLIN, 0}};
    for (;;) {
      if (FStop) return;
      bool changed = false;
      while (TXReply<xcb_generic_event_t> ev{xcb_poll_for_event(c)})
        if ((ev->response_type & 0x7F) == FDamageEvent) changed = true;
      if (xcb_connection_has_error(c)) return;  // the capture's own checks notice a lost display
      if (changed) FOnChange();
      fds[0].revents = fds[1].revents = 0;
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents) {
        std::uint64_t n = 0;
        (void)!read(FWakeFd, &n, sizeof n);
      }
    }
  }

  std::function<void()> FOnChange;
  std::shared_ptr<TXDisplay> FDisplay;        // the watched connection: the thread's alone
  std::shared_ptr<TXDisplay> FRearmDisplay;   // Rearm's
  TXResource FDamage;
  std::uint8_t FDamageEvent = 0;
  int FWakeFd = -1;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

class TX11ScreenBackend final : public IScreenBackend {
 public:
  explicit TX11ScreenBackend(std::shared_ptr<TXDisplay> ADisplay) : FDisplay(std::move(ADisplay)) {
    xcb_connection_t* c = FDisplay->Conn.get();
    if (FDisplay->HasExtension(&xcb_xfixes_id)) {
      TXReply<xcb_xfixes_query_version_reply_t> v(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
      FXFixes = v != nullptr;
    }
  }

  std::vector<TMonitorInfo> Monitors() override { return FDisplay->Monitors(); }

  std::unique_ptr<IScreenGrab> CreateDup(const TRect& AArea) override { return std::make_unique<TDesktopDup>(AArea); }

  std::unique_ptr<IScreenGrab> CreatePlain(const TRect& AArea) override {
    if (!FDisplay->PixelsBgrx) return nullptr;
    return std::make_unique<TPlainGrab>(FDisplay, AArea);
  }

  std::unique_ptr<IChangeWatch> WatchChanges(std::function<void()> AOnChange) override {
    try {
      return std::make_unique<TDamageWatch>(std::move(AOnChange));
    } catch (const std::exception&) {
      return nullptr;  // the caller polls instead
    }
  }

  bool GetPointer(TPointerImage& APointer) override {
    if (!FXFixes) return false;
    xcb_connection_t* c = FDisplay->Conn.get();
    TXReply<xcb_xfixes_get_cursor_image_reply_t> r(xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    if (!r) return false;
    const std::size_t n = static_cast<std::size_t>(r->width) * r->height;
    if (static_cast<std::size_t>(xcb_xfixes_get_cursor_image_cursor_image_length(r.get())) < n) return false;
    const std::uint32_t* px = xcb_xfixes_get_cursor_image_cursor_image(r.get());
    APointer.X = r->x;
    APointer.Y = r->y;
    APointer.HotX = r->xhot;
    APointer.HotY = r->yhot;
    APointer.Width = r->width;
    APointer.Height = r->height;
    APointer.Pixels.assign(px, px + n);
    return true;
  }

 private:
  std::shared_ptr<TXDisplay> FDisplay;
  bool FXFixes = false;
};

}  // namespace

std::shared_ptr<IScreenBackend> IScreenBackend::Create() {
  auto d = TXDisplay::Open();
  if (!d) return nullptr;
  return std::make_shared<TX11ScreenBackend>(std::move(d));
}

}  // namespace tovik
