// The agent's display for the desktop broker: the capturer and XTest injector of the display the agent
// was started on, and a bar at the top of the screen that says "This PC is being helped" while a
// helped session is allowed there (so that whoever sits at the greeter sees it).
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "media/TovikInput.h"
#include "platform/linux/TovikServiceLinux.h"
#include "platform/linux/TovikXcb.h"

namespace tovik {

namespace {

constexpr std::string_view kHelpedText = "This PC is being helped";
constexpr int kMarkerW = 260;
constexpr int kMarkerH = 22;

// An override-redirect bar at the top centre of the primary monitor, on its own X connection.
class TX11HelpedMarker {
 public:
  void Show(bool AOn) {
    if (!AOn) {
      FDisplay.reset();  // closing the connection removes the window
      return;
    }
    if (FDisplay) return;
    FDisplay = TXDisplay::Open();
    if (!FDisplay) return;
    xcb_connection_t* c = FDisplay->Conn.get();
    const TRect primary = PrimaryMonitor(FDisplay->Monitors());
    const int x = primary.Left + (primary.Width - kMarkerW) / 2;
    const xcb_window_t w = xcb_generate_id(c);
    const std::uint32_t values[] = {0xC62828u, 1u, XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, FDisplay->Screen->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(primary.Top), kMarkerW, kMarkerH, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      FDisplay->Screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK,
                      values);
    xcb_map_window(c, w);
    FWindow = w;
    FFont = xcb_generate_id(c);
    xcb_open_font(c, FFont, 5, "fixed");
    FGc = xcb_generate_id(c);
    const std::uint32_t gcValues[] = {0xFFFFFFu, 0xC62828u, FFont};
    xcb_create_gc(c, FGc, w, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | XCB_GC_FONT, gcValues);
    Draw();
  }
  // Keeps the bar above other windows and its text drawn (called on every request while shown).
  void Refresh() {
    if (!FDisplay) return;
    xcb_connection_t* c = FDisplay->Conn.get();
    while (xcb_generic_event_t* e = xcb_poll_for_event(c)) std::free(e);
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(c, FWindow, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    Draw();
  }

 private:
  void Draw() {
    xcb_connection_t* c = FDisplay->Conn.get();
    xcb_image_text_8(c, static_cast<std::uint8_t>(kHelpedText.size()), FWindow, FGc, 12, 16, kHelpedText.data());
    xcb_flush(c);
  }

  std::shared_ptr<TXDisplay> FDisplay;
  xcb_window_t FWindow = 0;
  xcb_font_t FFont = 0;
  xcb_gcontext_t FGc = 0;
};

class TX11BrokerDesktop final : public IBrokerDesktop {
 public:
  TX11BrokerDesktop(std::shared_ptr<IScreenBackend> AScreen, std::unique_ptr<IInputInjector> AInjector)
      : FScreen(AScreen), FCapturer(std::move(AScreen)), FInjector(std::move(AInjector)) {
    FCapturer.FAllowSecureDesktop = true;
  }
  std::vector<TMonitorInfo> Monitors() override { return FScreen->Monitors(); }
  void SetArea(const TRect& AArea) override { FCapturer.SetArea(AArea); }
  TBytes CaptureUpdate(bool AFull) override {
    FMarker.Refresh();
    return FCapturer.CaptureUpdate(AFull);
  }
  void InjectInput(const TInputEvent& AEvent) override {
    if (!FInjector) return;
    FInjector->InjectInput(AEvent);
    FInjector->Flush();
  }
  void ShowHelpedMarker(bool AOn) override { FMarker.Show(AOn); }

 private:
  std::shared_ptr<IScreenBackend> FScreen;
  TScreenCapturer FCapturer;
  std::unique_ptr<IInputInjector> FInjector;
  TX11HelpedMarker FMarker;
};

}  // namespace

std::unique_ptr<IBrokerDesktop> CreateX11BrokerDesktop() {
  std::shared_ptr<IScreenBackend> screen = IScreenBackend::Create();
  if (!screen) return nullptr;
  return std::make_unique<TX11BrokerDesktop>(std::move(screen), IInputInjector::Create());
}

}  // namespace tovik
