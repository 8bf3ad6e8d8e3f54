// XTest input injection: pointer, buttons, wheel and keys through the current keyboard layout; and
// whether injected input would reach one of our own windows (their rectangles and X window IDs are in
// the own-window list).
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include <optional>

#include "base/TovikOwnWindows.h"
#include "media/TovikInput.h"
#include "platform/linux/TovikKeys_x11.h"
#include "platform/linux/TovikXcb.h"

namespace tovik {

namespace {

struct TKeySymbolsFree {
  void operator()(xcb_key_symbols_t* s) const { xcb_key_symbols_free(s); }
};

constexpr TTick kScreenInfoMaxAgeMs = 1000;
// Windows above the focused one that are looked at; X11 trees of real desktops are a few levels deep.
constexpr int kMaxTreeDepth = 32;

class TXTestInjector final : public IInputInjector {
 public:
  explicit TXTestInjector(std::shared_ptr<TXDisplay> ADisplay)
      : FDisplay(std::move(ADisplay)), FSyms(xcb_key_symbols_alloc(FDisplay->Conn.get())) {}

  void InjectInput(const TInputEvent& AInput) override {
    xcb_connection_t* c = FDisplay->Conn.get();
    if (xcb_connection_has_error(c)) return;
    const bool key = AInput.Kind == ikKeyDown || AInput.Kind == ikKeyUp;
    const bool pointer = AInput.Kind >= ikMove && AInput.Kind <= ikWheel;
    if (!key && !pointer) return;
    FUnflushed = true;
    if (key) {
      // Make sure a layout change made before this batch is known.
      if (!FKeysReady) {
        FDisplay->Sync();
        DrainEvents();
        FKeysReady = true;
      }
    } else {
      RefreshScreenInfo();
    }
    const xcb_window_t root = FDisplay->Screen->root;
    for (const TSynthAction& a : FMapper.Map(AInput, CaptureArea(), FPrimary, FVirtual)) {
      switch (a.Kind) {
        case TSynthAction::saMove:
          xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, static_cast<std::int16_t>(a.X),
                              static_cast<std::int16_t>(a.Y), 0);
          break;
        case TSynthAction::saButton:
          xcb_test_fake_input(c, a.Down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, static_cast<std::uint8_t>(a.Button),
                              XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
          break;
        case TSynthAction::saKey: {
          const xcb_keycode_t code = KeycodeOf(a);
          if (code)
            xcb_test_fake_input(c, a.Down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
          break;
        }
      }
    }
  }

  void Flush() override {
    // One round trip for the batch: callers and tests see its effect once this returns.
    if (FUnflushed && !xcb_connection_has_error(FDisplay->Conn.get())) FDisplay->Sync();
    FUnflushed = false;
    FKeysReady = false;
    FOwnFocus.reset();
  }

  bool IsOwnWindowAt(int AX, int AY) override {
    RefreshScreenInfo();
    const TPoint p = ScreenPointOf(AX, AY, CaptureArea(), FPrimary, FVirtual);
    return PointOnOwnWindow(p.X, p.Y);
  }

  bool OwnWindowHasFocus() override {
    // Asked once per batch: a flood of keys costs one round trip per batch, not one per key. Within a
    // batch the answer may be late anyway: a window manager moves the focus after an injected key or
    // click in its own time, not before the next event of the batch.
    if (!FOwnFocus) FOwnFocus = QueryOwnFocus();
    return *FOwnFocus;
  }

 private:
  bool QueryOwnFocus() {
    xcb_connection_t* c = FDisplay->Conn.get();
    if (xcb_connection_has_error(c)) return true;  // nothing is injected any more anyway
    const xcb_window_t root = FDisplay->Screen->root;
    TXReply<xcb_get_input_focus_reply_t> f(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (!f) return true;
    xcb_window_t w = f->focus;
    if (w == XCB_NONE) return false;  // keys go nowhere
    if (w == XCB_INPUT_FOCUS_POINTER_ROOT || w == root) {
      // Keys go to the window under the pointer.
      TXReply<xcb_query_pointer_reply_t> p(xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr));
      if (!p) return true;
      return PointOnOwnWindow(p->root_x, p->root_y) || IsOwnWindowHandle(p->child);
    }
    // The focus may be on an inner window of ours, or on our window inside a window manager's frame:
    // it counts as ours when it or any window above it is one of ours.
    for (int depth = 0; depth < kMaxTreeDepth && w != XCB_NONE && w != root; ++depth) {
      if (IsOwnWindowHandle(w)) return true;
      TXReply<xcb_query_tree_reply_t> t(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
      if (!t) return false;  // the window is gone: the focus has moved on
      w = t->parent;
    }
    return false;
  }

  void DrainEvents() {
    while (TXReply<xcb_generic_event_t> ev{xcb_poll_for_event(FDisplay->Conn.get())})
      if ((ev->response_type & 0x7F) == XCB_MAPPING_NOTIFY)
        xcb_refresh_keyboard_mapping(FSyms.get(), reinterpret_cast<xcb_mapping_notify_event_t*>(ev.get()));
  }

  void RefreshScreenInfo() {
    const TTick now = TickMs();
    if (FInfoTime != 0 && now - FInfoTime < kScreenInfoMaxAgeMs) return;
    FInfoTime = now;
    FVirtual = FDisplay->RootRect();
    FPrimary = PrimaryMonitor(FDisplay->Monitors());
  }

  xcb_keycode_t KeycodeOf(const TSynthAction& a) {
    const std::uint32_t keysym = KeysymOfVirtualKey(a.VirtualKey);
    for (std::uint32_t sym : {keysym, AlternateKeysym(keysym)}) {
      if (!sym || !FSyms) continue;
      TXReply<xcb_keycode_t> codes(xcb_key_symbols_get_keycode(FSyms.get(), sym));
      if (codes && codes.get()[0] != XCB_NO_SYMBOL) return codes.get()[0];
    }
    return FallbackKeycodeOfVirtualKey(a.VirtualKey);
  }

  std::shared_ptr<TXDisplay> FDisplay;
  std::unique_ptr<xcb_key_symbols_t, TKeySymbolsFree> FSyms;
  TInputMapper FMapper;
  TRect FPrimary;
  TRect FVirtual;
  TTick FInfoTime = 0;
  bool FUnflushed = false;         // input went out since the last Flush
  bool FKeysReady = false;         // the layout is known for this batch
  std::optional<bool> FOwnFocus;   // the focus answer, until the batch ends
};

}  // namespace

std::unique_ptr<IInputInjector> IInputInjector::Create() {
  auto d = TXDisplay::Open();
  if (!d || !d->HasExtension(&xcb_test_id)) return nullptr;
  return std::make_unique<TXTestInjector>(std::move(d));
}

}  // namespace tovik
