// X11 backends against a private Xvfb: both grabs byte for byte, RandR monitors, the pointer, and XTest
// input observed by a small X client.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/TovikOwnWindows.h"
#include "media/TovikCapture.h"
#include "media/TovikInput.h"

using namespace tovik;

namespace {

// An Xvfb of its own for each test, so that drawing on the root window and changing the keyboard
// mapping or monitors never disturbs other tests. DISPLAY points at it while it lives.
class TPrivateX {
 public:
  explicit TPrivateX(const char* AGeometry) {
    int fds[2];
    if (pipe(fds) != 0) return;
    FPid = fork();
    if (FPid == 0) {
      close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      freopen("/dev/null", "w", stderr);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", AGeometry, "-nolisten", "tcp", "-noreset", "+extension",
             "MIT-SHM", "+extension", "DAMAGE", "+extension", "RANDR", "+extension", "XFIXES", "+extension", "XTEST",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string num;
    char ch;
    while (read(fds[0], &ch, 1) == 1 && ch != '\n') num += ch;
    close(fds[0]);
    if (num.empty()) return;
    Display = ":" + num;
    setenv("DISPLAY", Display.c_str(), 1);
  }
  ~TPrivateX() {
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      waitpid(FPid, nullptr, 0);
    }
  }
  std::string Display;

 private:
  pid_t FPid = -1;
};

std::uint32_t PatternAt(int x, int y, int seed) {
  return (static_cast<std::uint32_t>(x * 3 + seed) & 0xFF) | (static_cast<std::uint32_t>(y * 5 + x) & 0xFF) << 8 |
         (static_cast<std::uint32_t>((x ^ y) + seed * 7) & 0xFF) << 16;
}

// A plain X client: draws on the root window and records the input events it receives.
class TXClient {
 public:
  TXClient() : C(xcb_connect(nullptr, nullptr)) {
    S = xcb_setup_roots_iterator(xcb_get_setup(C)).data;
    Gc = xcb_generate_id(C);
    xcb_create_gc(C, Gc, S->root, 0, nullptr);
  }
  ~TXClient() {
    if (Syms) xcb_key_symbols_free(Syms);
    xcb_disconnect(C);
  }
  void Sync() { free(xcb_get_input_focus_reply(C, xcb_get_input_focus(C), nullptr)); }

  void Draw(const TRect& r, int seed) {
    std::vector<std::uint32_t> band;
    for (int top = r.Top; top < r.Bottom(); top += 16) {
      const int rows = std::min(16, r.Bottom() - top);
      band.clear();
      for (int y = top; y < top + rows; ++y)
        for (int x = r.Left; x < r.Right(); ++x) band.push_back(PatternAt(x, y, seed));
      xcb_put_image(C, XCB_IMAGE_FORMAT_Z_PIXMAP, S->root, Gc, static_cast<std::uint16_t>(r.Width),
                    static_cast<std::uint16_t>(rows), static_cast<std::int16_t>(r.Left), static_cast<std::int16_t>(top),
                    0, S->root_depth, static_cast<std::uint32_t>(band.size() * 4),
                    reinterpret_cast<const std::uint8_t*>(band.data()));
    }
    Sync();
  }

  // A full-screen window that takes the keyboard focus and records keys and buttons.
  void Listen() {
    Win = xcb_generate_id(C);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                           XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE};
    xcb_create_window(C, XCB_COPY_FROM_PARENT, Win, S->root, 0, 0, S->width_in_pixels, S->height_in_pixels, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, S->root_visual, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(C, Win);
    xcb_set_input_focus(C, XCB_INPUT_FOCUS_POINTER_ROOT, Win, XCB_CURRENT_TIME);
    Sync();
    Syms = xcb_key_symbols_alloc(C);
  }

  struct TEvent {
    int Type;
    int Detail;
    int RootX, RootY;
  };
  std::vector<TEvent> Events() {
    Sync();
    std::vector<TEvent> out;
    while (xcb_generic_event_t* e = xcb_poll_for_event(C)) {
      const int type = e->response_type & 0x7F;
      if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE || type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
        auto* k = reinterpret_cast<xcb_key_press_event_t*>(e);
        out.push_back({type, k->detail, k->root_x, k->root_y});
      }
      free(e);
    }
    return out;
  }
  std::uint32_t KeysymOf(int keycode) { return xcb_key_symbols_get_keysym(Syms, static_cast<xcb_keycode_t>(keycode), 0); }

  xcb_connection_t* C;
  xcb_screen_t* S;
  xcb_gcontext_t Gc;
  xcb_window_t Win = 0;
  xcb_key_symbols_t* Syms = nullptr;
};

bool MatchesPattern(const TBitmap32& b, const TRect& area, int seed, const TRect& skip = {}) {
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      if (!Intersect(skip, {x, y, 1, 1}).Empty()) continue;
      std::uint32_t px;
      std::memcpy(&px, b.Row(y) + x * 4, 4);
      if ((px & 0xFFFFFF) != PatternAt(area.Left + x, area.Top + y, seed)) {
        ADD_FAILURE() << "pixel " << x << "," << y;
        return false;
      }
    }
  return true;
}

void RunXrandr(const std::string& args) {
  ASSERT_EQ(std::system(("xrandr " + args + " >/dev/null 2>&1").c_str()), 0) << args;
}

// One input event as it comes from the wire.
TInputEvent Wire(std::uint8_t kind, int x, int y, std::int32_t data) {
  return {1, kind, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), data};
}

}  // namespace

TEST(X11Capture, BothGrabsGiveTheDrawnPictureByteForByte) {
  TPrivateX x("1920x1080x24");
  ASSERT_FALSE(x.Display.empty());
  TXClient client;
  client.Draw({0, 0, 1920, 1080}, 1);
  auto backend = IScreenBackend::Create();
  ASSERT_TRUE(backend);
  const TRect area = PrimaryMonitor(backend->Monitors());
  ASSERT_EQ(area, (TRect{0, 0, 1920, 1080}));

  TBitmap32 shm, plain;
  shm.SetSize(1920, 1080);
  plain.SetSize(1920, 1080, 8, true);
  auto dup = backend->CreateDup(area);
  auto get = backend->CreatePlain(area);
  TGrabChanges ch;
  ASSERT_EQ(dup->CopyTo(shm, false, {}, ch), TGrabStatus::gsOk);
  EXPECT_TRUE(ch.All);
  ASSERT_EQ(get->CopyTo(plain, false, {}, ch), TGrabStatus::gsOk);
  EXPECT_TRUE(MatchesPattern(shm, area, 1));
  EXPECT_TRUE(MatchesPattern(plain, area, 1));

  // Unchanged: nothing reported. A drawn rectangle: reported and copied.
  ASSERT_EQ(dup->CopyTo(shm, true, {}, ch), TGrabStatus::gsOk);
  EXPECT_FALSE(ch.All);
  EXPECT_TRUE(ch.Rects.empty());
  client.Draw({300, 200, 100, 50}, 2);
  ASSERT_EQ(dup->CopyTo(shm, true, {}, ch), TGrabStatus::gsOk);
  ASSERT_EQ(ch.Rects.size(), 1u);
  EXPECT_EQ(ch.Rects[0], (TRect{300, 200, 100, 50}));
  TBitmap32 part;
  part.SetSize(100, 50);
  for (int y = 0; y < 50; ++y) std::memcpy(part.Row(y), shm.Row(200 + y) + 300 * 4, 400);
  EXPECT_TRUE(MatchesPattern(part, {300, 200, 100, 50}, 2));

  // A monitor that does not exist is refused by the shared-memory grab.
  EXPECT_THROW(backend->CreateDup({10, 10, 100, 100}), std::runtime_error);
}

// The kept picture of the shared-memory grab equals a fresh read of the whole screen after each
// drawing, wherever the drawn parts lie in the box read around them (at its edges, far apart, one
// pixel wide) and wherever the caller drew over its picture (refresh rectangles inside the box,
// outside it, across its edge, or with nothing drawn at all).
TEST(X11Capture, KeptPictureMatchesAFreshReadAfterDrawingAndRefresh) {
  TPrivateX x("640x480x24");
  ASSERT_FALSE(x.Display.empty());
  TXClient client;
  client.Draw({0, 0, 640, 480}, 1);
  auto backend = IScreenBackend::Create();
  ASSERT_TRUE(backend);
  const TRect area{0, 0, 640, 480};
  auto dup = backend->CreateDup(area);
  auto fresh = backend->CreateDup(area);
  TBitmap32 kept, whole;
  kept.SetSize(640, 480);
  whole.SetSize(640, 480);
  TGrabChanges ch;
  ASSERT_EQ(dup->CopyTo(kept, false, {}, ch), TGrabStatus::gsOk);
  struct TCase {
    const char* Name;
    std::vector<TRect> Drawn;
    std::vector<TRect> Refresh;
  };
  const TCase cases[] = {
      {"one rectangle", {{100, 100, 50, 30}}, {}},
      {"corners far apart", {{0, 0, 3, 2}, {637, 478, 3, 2}}, {}},
      {"one-pixel columns at the box's edges", {{200, 50, 1, 300}, {420, 60, 1, 1}}, {}},
      {"refresh inside the box", {{10, 10, 300, 200}}, {{50, 50, 16, 16}}},
      {"refresh outside the box", {{10, 10, 30, 20}}, {{500, 400, 24, 24}}},
      {"refresh across the box's edge", {{100, 100, 40, 40}}, {{130, 130, 24, 24}}},
      {"refresh past the screen's edge", {{300, 300, 5, 5}}, {{630, 470, 24, 24}}},
      {"refresh only", {}, {{5, 5, 10, 10}, {600, 5, 30, 30}}},
  };
  int seed = 2;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    for (const TRect& r : c.Drawn) client.Draw(r, ++seed);
    // What the caller drew over its picture (a pointer, a blanked window).
    for (const TRect& r : c.Refresh)
      for (int y = r.Top; y < std::min(r.Bottom(), 480); ++y)
        for (int xx = r.Left; xx < std::min(r.Right(), 640); ++xx) std::memset(kept.Row(y) + xx * 4, 0xAB, 4);
    ASSERT_EQ(dup->CopyTo(kept, true, c.Refresh, ch), TGrabStatus::gsOk);
    EXPECT_FALSE(ch.All);
    ASSERT_EQ(fresh->CopyTo(whole, false, {}, ch), TGrabStatus::gsOk);
    for (int y = 0; y < 480; ++y)
      ASSERT_EQ(std::memcmp(kept.Row(y), whole.Row(y), 640 * 4), 0) << "row " << y;
  }
}

// The change watch reports drawing once per re-arm, from its own thread, and stops when destroyed.
TEST(X11Capture, TheChangeWatchReportsDrawingOncePerRearm) {
  TPrivateX x("640x480x24");
  ASSERT_FALSE(x.Display.empty());
  TXClient client;
  auto backend = IScreenBackend::Create();
  ASSERT_TRUE(backend);
  std::mutex m;
  std::condition_variable cv;
  int reports = 0;
  auto watch = backend->WatchChanges([&] {
    std::lock_guard<std::mutex> l(m);
    ++reports;
    cv.notify_all();
  });
  ASSERT_TRUE(watch);
  const auto waitFor = [&](int n) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, std::chrono::seconds(30), [&] { return reports >= n; });
  };
  for (int round = 1; round <= 3; ++round) {
    client.Draw({10 * round, 20, 50, 40}, round);
    ASSERT_TRUE(waitFor(round)) << round;
    watch->Rearm();
  }
  watch.reset();
  client.Draw({0, 0, 640, 480}, 9);
  std::lock_guard<std::mutex> l(m);
  EXPECT_EQ(reports, 3);
}

TEST(X11Capture, CapturerUpdatesRebuildTheScreenWithThePointerWhereXTestPutIt) {
  TPrivateX x("1920x1080x24");
  ASSERT_FALSE(x.Display.empty());
  TXClient client;
  client.Draw({0, 0, 1920, 1080}, 3);
  auto injector = IInputInjector::Create();
  ASSERT_TRUE(injector);
  injector->InjectInput(Wire(ikMove, 500, 400, 0));
  injector->Flush();

  auto backend = IScreenBackend::Create();
  TScreenCapturer cap(backend);
  TBitmap32 viewer;
  int updates = 0;
  for (TBytes u; !(u = cap.CaptureUpdate(updates == 0)).empty(); ++updates) ApplyScreenUpdate(viewer, u);
  EXPECT_EQ(updates, 8);
  EXPECT_EQ(cap.FSource, "gpu");
  EXPECT_EQ(cap.FDiag, "gpu, no change (W=1920 H=1080)");

  TPointerImage p;
  ASSERT_TRUE(backend->GetPointer(p));
  EXPECT_EQ(p.X, 500);
  EXPECT_EQ(p.Y, 400);
  const TRect at{500 - p.HotX, 400 - p.HotY, p.Width, p.Height};
  EXPECT_TRUE(MatchesPattern(viewer, {0, 0, 1920, 1080}, 3, at));
  int opaque = 0;
  for (int y = 0; y < p.Height; ++y)
    for (int xx = 0; xx < p.Width; ++xx) {
      const std::uint32_t s = p.Pixels[static_cast<std::size_t>(y * p.Width + xx)];
      if ((s >> 24) != 0xFF) continue;
      ++opaque;
      std::uint32_t v;
      std::memcpy(&v, viewer.Row(at.Top + y) + (at.Left + xx) * 4, 4);
      EXPECT_EQ(v & 0xFFFFFF, s & 0xFFFFFF);
    }
  EXPECT_GT(opaque, 0);

  // The pointer moves away: its old place shows the screen again, its new place the pointer.
  injector->InjectInput(Wire(ikMove, 900, 100, 0));
  injector->Flush();
  for (TBytes u; !(u = cap.CaptureUpdate(false)).empty();) ApplyScreenUpdate(viewer, u);
  EXPECT_TRUE(MatchesPattern(viewer, {0, 0, 1920, 1080}, 3, {900 - p.HotX, 100 - p.HotY, p.Width, p.Height}));
}

TEST(X11Capture, SecondMonitorCaptureAndClicks) {
  TPrivateX x("3840x1080x24");
  ASSERT_FALSE(x.Display.empty());
  RunXrandr("--setmonitor Left 1920/508x1080/286+0+0 none");
  RunXrandr("--setmonitor Right 1920/508x1080/286+1920+0 none");
  TXClient client;
  client.Draw({0, 0, 3840, 1080}, 4);
  auto backend = IScreenBackend::Create();
  TRect right;
  for (const TMonitorInfo& m : backend->Monitors())
    if (m.Name == "Right") right = m.Rect;
  ASSERT_EQ(right, (TRect{1920, 0, 1920, 1080}));

  TScreenCapturer cap(backend);
  cap.SetArea(right);
  TBitmap32 viewer;
  for (TBytes u; !(u = cap.CaptureUpdate(false)).empty();) ApplyScreenUpdate(viewer, u);
  EXPECT_EQ(cap.FSource, "gpu");
  EXPECT_EQ(CaptureOrigin(), (TPoint{1920, 0}));
  TPointerImage p;
  ASSERT_TRUE(backend->GetPointer(p));
  EXPECT_TRUE(MatchesPattern(viewer, right, 4, {p.X - 1920 - p.HotX, p.Y - p.HotY, p.Width, p.Height}));

  client.Listen();
  auto injector = IInputInjector::Create();
  injector->InjectInput(Wire(ikButtonDown, 100, 50, 0));
  injector->InjectInput(Wire(ikButtonUp, 100, 50, 0));
  injector->Flush();
  const auto ev = client.Events();
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].Type, XCB_BUTTON_PRESS);
  EXPECT_EQ(ev[0].Detail, 1);
  EXPECT_EQ(ev[0].RootX, 2020);
  EXPECT_EQ(ev[0].RootY, 50);
  EXPECT_EQ(ev[1].Type, XCB_BUTTON_RELEASE);
}

TEST(X11Input, ButtonsWheelAndKeysReachAClient) {
  TPrivateX x("1920x1080x24");
  ASSERT_FALSE(x.Display.empty());
  TXClient client;
  client.Listen();
  auto injector = IInputInjector::Create();
  ASSERT_TRUE(injector);
  auto send = [&](std::uint8_t kind, std::int32_t data) {
    injector->InjectInput(Wire(kind, 10, 10, data));
    injector->Flush();
  };

  send(ikButtonDown, 1);
  send(ikButtonUp, 1);
  send(ikButtonDown, 2);
  send(ikButtonUp, 2);
  send(ikWheel, 60);
  send(ikWheel, 60);
  send(ikWheel, -120);
  std::vector<int> buttons;
  for (const auto& e : client.Events())
    if (e.Type == XCB_BUTTON_PRESS) buttons.push_back(e.Detail);
  EXPECT_EQ(buttons, (std::vector<int>{3, 2, 4, 5}));

  auto keyOf = [&](std::uint16_t vk) {
    send(ikKeyDown, vk);
    send(ikKeyUp, vk);
    const auto ev = client.Events();
    EXPECT_EQ(ev.size(), 2u) << vk;
    return ev.empty() ? 0 : ev[0].Detail;
  };
  const int lctrl = keyOf(162), rctrl = keyOf(163);
  EXPECT_NE(lctrl, rctrl);
  EXPECT_EQ(client.KeysymOf(lctrl), 0xFFE3u);
  EXPECT_EQ(client.KeysymOf(rctrl), 0xFFE4u);
  struct Case { std::uint16_t Vk; std::uint32_t Keysym; };
  for (const Case& c : {Case{'A', 'a'}, Case{'Q', 'q'}, Case{'5', '5'}, Case{13, 0xFF0D}, Case{37, 0xFF51},
                        Case{112, 0xFFBE}, Case{165, 0xFFEA}, Case{0xBD, '-'}})
    EXPECT_EQ(client.KeysymOf(keyOf(c.Vk)), c.Keysym) << c.Vk;

  // Letters follow the layout: swap y and z as a German layout does.
  const int y = keyOf('Y'), z = keyOf('Z');
  ASSERT_NE(y, z);
  auto* map = xcb_get_keyboard_mapping_reply(client.C, xcb_get_keyboard_mapping(client.C, static_cast<xcb_keycode_t>(y), 1), nullptr);
  ASSERT_TRUE(map);
  const int per = map->keysyms_per_keycode;
  free(map);
  std::vector<std::uint32_t> symsY(static_cast<std::size_t>(per), 0), symsZ(static_cast<std::size_t>(per), 0);
  symsY[0] = 'z';
  symsZ[0] = 'y';
  xcb_change_keyboard_mapping(client.C, 1, static_cast<xcb_keycode_t>(y), static_cast<std::uint8_t>(per), symsY.data());
  xcb_change_keyboard_mapping(client.C, 1, static_cast<xcb_keycode_t>(z), static_cast<std::uint8_t>(per), symsZ.data());
  client.Sync();
  EXPECT_EQ(keyOf('Z'), y);
  EXPECT_EQ(keyOf('Y'), z);
}

// Whether injected input would reach our own windows: a pointer point mapped as InjectInput maps it
// (capture area, clamping to the desktop) against the own-window rectangles, and the keyboard focus
// against the own-window handles (or the pointer, when the focus follows it).
TEST(X11Input, OwnWindowsAreFoundAtThePointAndByTheFocus) {
  TPrivateX x("3840x1080x24");
  ASSERT_FALSE(x.Display.empty());
  RunXrandr("--setmonitor Left 1920/508x1080/286+0+0 none");
  RunXrandr("--setmonitor Right 1920/508x1080/286+1920+0 none");
  TXClient client;
  auto window = [&](xcb_window_t parent, const TRect& r) {
    const xcb_window_t w = xcb_generate_id(client.C);
    const std::uint32_t values[] = {1};
    xcb_create_window(client.C, XCB_COPY_FROM_PARENT, w, parent, static_cast<std::int16_t>(r.Left),
                      static_cast<std::int16_t>(r.Top), static_cast<std::uint16_t>(r.Width),
                      static_cast<std::uint16_t>(r.Height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, client.S->root_visual,
                      XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(client.C, w);
    return w;
  };
  // Ours: a window at the left edge of the right monitor (with an inner window), and one at the left
  // edge of the desktop. Theirs: a window beside ours.
  const TRect oursRect{1920, 100, 300, 200}, edgeRect{0, 100, 100, 100}, theirsRect{2300, 100, 300, 200};
  const xcb_window_t ours = window(client.S->root, oursRect);
  const xcb_window_t inner = window(ours, {10, 10, 50, 50});
  const xcb_window_t theirs = window(client.S->root, theirsRect);
  client.Sync();
  const int oursId = RegisterOwnWindow(TOwnWindowUse::InputOnly), edgeId = RegisterOwnWindow(TOwnWindowUse::InputOnly);
  SetOwnWindow(oursId, {oursRect.Left, oursRect.Top, oursRect.Width, oursRect.Height}, true);
  SetOwnWindowHandle(oursId, ours);
  SetOwnWindow(edgeId, {edgeRect.Left, edgeRect.Top, edgeRect.Width, edgeRect.Height}, true);

  SetCaptureArea({1920, 0, 1920, 1080});  // the helper sees the right monitor
  auto injector = IInputInjector::Create();
  ASSERT_TRUE(injector);
  struct TPointCase {
    int X, Y;  // picture point
    bool Own;
  } points[] = {
      {0, 100, true},         // desktop 1920,100: our window's corner
      {299, 299, true},       // its last pixel
      {300, 150, false},      // just right of it
      {150, 99, false},       // just above it
      {400, 150, false},      // their window
      {-32768, 150, true},    // clamped to the desktop's left edge: our edge window
      {32767, 150, false},    // clamped to the right edge
  };
  for (const TPointCase& p : points) EXPECT_EQ(injector->IsOwnWindowAt(p.X, p.Y), p.Own) << p.X << "," << p.Y;

  struct TFocusCase {
    const char* Name;
    xcb_window_t Focus;
    int PointerX;  // picture x of the pointer, moved there by the injector
    bool Own;
  } focus[] = {
      {"our window", ours, 400, true},
      {"an inner window of ours", inner, 400, true},
      {"their window", theirs, 50, false},
      {"no window", XCB_NONE, 50, false},
      {"the pointer, over ours", XCB_INPUT_FOCUS_POINTER_ROOT, 50, true},
      {"the pointer, over theirs", XCB_INPUT_FOCUS_POINTER_ROOT, 400, false},
      {"the root: the pointer, over ours", client.S->root, 50, true},
  };
  for (const TFocusCase& f : focus) {
    injector->InjectInput(Wire(ikMove, f.PointerX, 150, 0));
    injector->Flush();
    xcb_set_input_focus(client.C, XCB_INPUT_FOCUS_POINTER_ROOT, f.Focus, XCB_CURRENT_TIME);
    client.Sync();
    EXPECT_EQ(injector->OwnWindowHasFocus(), f.Own) << f.Name;
  }

  // Hidden or gone, a window is ours no more.
  SetOwnWindow(oursId, {oursRect.Left, oursRect.Top, oursRect.Width, oursRect.Height}, false);
  EXPECT_FALSE(injector->IsOwnWindowAt(0, 100));
  UnregisterOwnWindow(oursId);
  UnregisterOwnWindow(edgeId);
  xcb_set_input_focus(client.C, XCB_INPUT_FOCUS_POINTER_ROOT, ours, XCB_CURRENT_TIME);
  client.Sync();
  injector->Flush();  // a new batch asks again
  EXPECT_FALSE(injector->OwnWindowHasFocus());
  SetCaptureArea({});
}
