// XTest input injection: pointer, buttons, wheel and keys through the current keyboard layout.
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include "media/TovikInput.h"
#include "platform/linux/TovikKeys_x11.h"
#include "platform/linux/TovikXcb.h"

namespace tovik {

namespace {

struct TKeySymbolsFree {
  void operator()(xcb_key_symbols_t* s) const { xcb_key_symbols_free(s); }
};

constexpr TTick kScreenInfoMaxAgeMs = 1000;

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
    if (key) {
      // Make sure a layout change made before this event is known.
      FDisplay->Sync();
      DrainEvents();
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
    // Wait until the server has handled the input: callers and tests see its effect at once.
    FDisplay->Sync();
  }

 private:
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
};

}  // namespace

std::unique_ptr<IInputInjector> IInputInjector::Create() {
  auto d = TXDisplay::Open();
  if (!d || !d->HasExtension(&xcb_test_id)) return nullptr;
  return std::make_unique<TXTestInjector>(std::move(d));
}

}  // namespace tovik
