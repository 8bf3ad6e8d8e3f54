// The screen path's probe for scripts/measure: works on two X displays, the helped PC's and the
// helper's, and knows nothing of the program under measurement (Tovik or a VNC pair alike).
//
//   tovik-screen-probe latency HOST_DISPLAY VIEWER_DISPLAY TRIALS
//     Shows a 160 x 160 override-redirect window on the host display and changes its colour every
//     150-250 ms. Each trial is timed from the host X server's round trip after the change until the
//     new colour shows anywhere on the viewer's display (first found by a search of the whole screen,
//     then watched at that place). Prints "latency_ms MEDIAN P95 SEEN/TRIALS".
//   tovik-screen-probe frames VIEWER_DISPLAY SECONDS
//     Counts the bursts of painting on the viewer's display (damage reports on its root window, one
//     per painted frame when frames are apart) for SECONDS. Prints "frames_shown N".
#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

double MsSince(TClock::time_point t0) {
  return std::chrono::duration<double, std::milli>(TClock::now() - t0).count();
}

struct TConnFree {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using TConn = std::unique_ptr<xcb_connection_t, TConnFree>;

TConn Open(const char* ADisplay, xcb_screen_t*& AScreen) {
  int n = 0;
  TConn c(xcb_connect(ADisplay, &n));
  if (xcb_connection_has_error(c.get())) {
    std::fprintf(stderr, "cannot open display %s\n", ADisplay);
    std::exit(2);
  }
  auto it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
  for (int i = 0; i < n; ++i) xcb_screen_next(&it);
  AScreen = it.data;
  return c;
}

void RoundTrip(xcb_connection_t* c) { std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }

// Pixels of a rectangle of the root window as 0xRRGGBB values (32-bit Z pixmap of a 24-bit screen).
bool GetPixels(xcb_connection_t* c, xcb_window_t root, int x, int y, int w, int h, std::vector<std::uint32_t>& out) {
  auto* r = xcb_get_image_reply(
      c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                       static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), ~0u),
      nullptr);
  if (!r) return false;
  const std::size_t n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
  const int len = xcb_get_image_data_length(r);
  bool ok = len >= 0 && static_cast<std::size_t>(len) >= n * 4;
  if (ok) {
    out.resize(n);
    std::memcpy(out.data(), xcb_get_image_data(r), n * 4);
    for (auto& v : out) v &= 0xFFFFFFu;
  }
  std::free(r);
  return ok;
}

bool Near(std::uint32_t a, std::uint32_t b) {
  for (int s = 0; s < 24; s += 8) {
    const int d = static_cast<int>((a >> s) & 0xFF) - static_cast<int>((b >> s) & 0xFF);
    if (d > 6 || d < -6) return false;
  }
  return true;
}

int Latency(const char* AHost, const char* AViewer, int ATrials) {
  xcb_screen_t* hs = nullptr;
  xcb_screen_t* vs = nullptr;
  TConn h = Open(AHost, hs);
  TConn v = Open(AViewer, vs);
  const std::uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT;
  const std::uint32_t vals[] = {0x202020u, 1};
  const xcb_window_t win = xcb_generate_id(h.get());
  const int wx = hs->width_in_pixels / 2 - 80, wy = hs->height_in_pixels / 3;
  xcb_create_window(h.get(), XCB_COPY_FROM_PARENT, win, hs->root, static_cast<std::int16_t>(wx),
                    static_cast<std::int16_t>(wy), 160, 160, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, hs->root_visual, mask,
                    vals);
  xcb_map_window(h.get(), win);
  RoundTrip(h.get());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  std::mt19937 rnd(1234);
  std::vector<double> ms;
  std::vector<std::uint32_t> px;
  int fx = -1, fy = -1;  // where the marker shows on the viewer's display
  const int vw = vs->width_in_pixels, vh = vs->height_in_pixels;
  for (int t = 0; t < ATrials; ++t) {
    // A saturated colour far from the last one: each channel 0x20..0xE0 with a random high bit pattern.
    const std::uint32_t colour = ((rnd() % 7 + 1) * 0x20u) << 16 | ((rnd() % 7 + 1) * 0x20u) << 8 | ((rnd() % 7 + 1) * 0x20u);
    const std::uint32_t bg[] = {colour};
    xcb_change_window_attributes(h.get(), win, XCB_CW_BACK_PIXEL, bg);
    xcb_clear_area(h.get(), 0, win, 0, 0, 0, 0);
    RoundTrip(h.get());
    const auto t0 = TClock::now();
    bool seen = false;
    while (MsSince(t0) < 3000) {
      if (fx >= 0) {
        if (GetPixels(v.get(), vs->root, fx, fy, 1, 1, px) && Near(px[0], colour)) {
          seen = true;
          break;
        }
        continue;
      }
      // Not located yet: search the whole screen for the middle of a block of the colour.
      if (!GetPixels(v.get(), vs->root, 0, 0, vw, vh, px)) break;
      for (int y = 2; y < vh - 2 && fx < 0; y += 2)
        for (int x = 2; x < vw - 2; x += 2) {
          const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(vw) + static_cast<std::size_t>(x);
          if (Near(px[i], colour) && Near(px[i + 2], colour) && Near(px[i + 2 * static_cast<std::size_t>(vw)], colour)) {
            // Step to the block's middle: walk right and down while the colour holds, then halve.
            int x1 = x, y1 = y;
            while (x1 + 1 < vw && Near(px[static_cast<std::size_t>(y) * vw + x1 + 1], colour)) ++x1;
            while (y1 + 1 < vh && Near(px[static_cast<std::size_t>(y1 + 1) * vw + x], colour)) ++y1;
            fx = (x + x1) / 2;
            fy = (y + y1) / 2;
            break;
          }
        }
      if (fx >= 0) {
        seen = true;
        break;
      }
    }
    // The first trial only finds the place; its time includes the search.
    if (seen && t > 0) ms.push_back(MsSince(t0));
    std::this_thread::sleep_for(std::chrono::milliseconds(150 + rnd() % 101));
  }
  xcb_destroy_window(h.get(), win);
  RoundTrip(h.get());
  if (ms.empty()) {
    std::printf("latency_ms - - 0/%d\n", ATrials - 1);
    return 1;
  }
  std::sort(ms.begin(), ms.end());
  const double med = ms[ms.size() / 2];
  const double p95 = ms[std::min(ms.size() - 1, static_cast<std::size_t>(static_cast<double>(ms.size()) * 0.95))];
  std::printf("latency_ms %.1f %.1f %zu/%d\n", med, p95, ms.size(), ATrials - 1);
  return 0;
}

int Frames(const char* AViewer, int ASeconds) {
  xcb_screen_t* vs = nullptr;
  TConn v = Open(AViewer, vs);
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(v.get(), &xcb_damage_id);
  if (!ext || !ext->present) {
    std::printf("frames_shown -\n");
    return 1;
  }
  std::free(xcb_damage_query_version_reply(v.get(), xcb_damage_query_version(v.get(), 1, 1), nullptr));
  const xcb_damage_damage_t dmg = xcb_generate_id(v.get());
  xcb_damage_create(v.get(), dmg, vs->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  xcb_flush(v.get());
  long frames = 0;
  const auto t0 = TClock::now();
  auto lastBurst = TClock::now() - std::chrono::seconds(1);
  while (MsSince(t0) < ASeconds * 1000.0) {
    xcb_generic_event_t* ev = xcb_poll_for_event(v.get());
    if (!ev) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if ((ev->response_type & 0x7F) == ext->first_event + XCB_DAMAGE_NOTIFY) {
      // Reports less than 2 ms apart belong to one frame painted in pieces.
      if (std::chrono::duration<double, std::milli>(TClock::now() - lastBurst).count() > 2.0) ++frames;
      lastBurst = TClock::now();
      xcb_damage_subtract(v.get(), dmg, XCB_NONE, XCB_NONE);
      xcb_flush(v.get());
    }
    std::free(ev);
  }
  std::printf("frames_shown %ld\n", frames);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "latency" && argc == 5) return Latency(argv[2], argv[3], std::max(2, std::atoi(argv[4])));
  if (mode == "frames" && argc == 4) return Frames(argv[2], std::max(1, std::atoi(argv[3])));
  std::fprintf(stderr,
               "usage: tovik-screen-probe latency HOST_DISPLAY VIEWER_DISPLAY TRIALS\n"
               "       tovik-screen-probe frames VIEWER_DISPLAY SECONDS\n");
  return 2;
}
