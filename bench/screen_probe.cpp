// The screen path's probe for scripts/measure: works on two X displays, the helped PC's and the
// helper's, and knows nothing of the program under measurement (Tovik or a VNC pair alike).
//
//   tovik-screen-probe latency HOST_DISPLAY VIEWER_DISPLAY TRIALS
//     Shows a 160 x 160 override-redirect window on the host display and changes its colour every
//     150-250 ms. Each trial is timed from the host X server's round trip after the change until the
//     new colour shows anywhere on the viewer's display (first found by a search of the whole screen,
//     then watched at that place). Prints "latency_ms MEDIAN P95 SEEN/TRIALS".
//   tovik-screen-probe fullscreen HOST_DISPLAY VIEWER_DISPLAY TRIALS
//     Covers the host display with an override-redirect window and changes its whole picture TRIALS
//     times, 1-2 s apart, between photo-like pictures (a gradient under per-pixel noise, which no
//     palette catches) of alternating tints. Each trial is timed from the host X server's round trip
//     after the change until the middle of every 64 x 64 tile of the host's screen shows the new
//     picture on the viewer's display (where the host's screen shows is found first, with a plain
//     colour; tiles that do not show it then, under the program's own windows, are not watched). It
//     looks every 2 ms, so as not to take the CPU from the programs it measures. Prints
//     "fullscreen_ms MEDIAN MAX SEEN/TRIALS".
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

#include "ProbeXcb.h"

namespace {

using TClock = std::chrono::steady_clock;

double MsSince(TClock::time_point t0) {
  return std::chrono::duration<double, std::milli>(TClock::now() - t0).count();
}

using tovik::probe::Open;
using tovik::probe::TConn;

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

// The photo-like picture of tint AVariant at (x, y): blue, green, red of the tint plus a gradient, and
// the same with noise (what the screen shows; the viewer may smooth the noise away when it scales).
struct TTint {
  int B, G, R;
};
TTint TintOf(int AVariant) { return AVariant % 2 ? TTint{0x90, 0x28, 0x98} : TTint{0x20, 0x98, 0x28}; }
int Gradient(int x, int y) { return ((x + 2 * y) >> 4) & 0x3F; }
std::uint32_t Noise(int x, int y, int AVariant) {
  std::uint32_t v = static_cast<std::uint32_t>(x) * 2654435761u ^ static_cast<std::uint32_t>(y) * 40503u ^
                    static_cast<std::uint32_t>(AVariant) * 977u;
  v ^= v >> 13;
  v *= 0x5bd1e995u;
  return v ^ (v >> 15);
}
std::uint32_t PhotoPixel(int x, int y, int AVariant) {
  const TTint t = TintOf(AVariant);
  const int g = Gradient(x, y);
  const std::uint32_t n = Noise(x, y, AVariant);
  const auto ch = [&](int base, int shift) {
    return static_cast<std::uint32_t>(std::clamp(base + g + static_cast<int>((n >> shift) & 15) - 8, 0, 255));
  };
  return ch(t.R, 0) << 16 | ch(t.G, 4) << 8 | ch(t.B, 8);
}
bool NearTint(std::uint32_t APixel, int x, int y, int AVariant) {
  const TTint t = TintOf(AVariant);
  const int g = Gradient(x, y);
  const int want[3] = {t.B + g, t.G + g, t.R + g};
  for (int c = 0; c < 3; ++c) {
    const int d = static_cast<int>((APixel >> (8 * c)) & 0xFF) - want[c];
    if (d > 24 || d < -24) return false;
  }
  return true;
}

// Between two looks at the viewer's display for a full-screen change (the timing's resolution).
constexpr int kLookPauseMs = 2;

int FullScreen(const char* AHost, const char* AViewer, int ATrials) {
  xcb_screen_t* hs = nullptr;
  xcb_screen_t* vs = nullptr;
  TConn h = Open(AHost, hs);
  TConn v = Open(AViewer, vs);
  const int hw = hs->width_in_pixels, hh = hs->height_in_pixels;
  const std::uint32_t locate = 0xE0E040u;
  const std::uint32_t mask = XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT;
  const std::uint32_t vals[] = {locate, 1};
  const xcb_window_t win = xcb_generate_id(h.get());
  xcb_create_window(h.get(), XCB_COPY_FROM_PARENT, win, hs->root, 0, 0, static_cast<std::uint16_t>(hw),
                    static_cast<std::uint16_t>(hh), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, hs->root_visual, mask, vals);
  // The two pictures, made before any trial so that a change is one request.
  xcb_gcontext_t gc = xcb_generate_id(h.get());
  xcb_create_gc(h.get(), gc, hs->root, 0, nullptr);
  xcb_pixmap_t pics[2];
  std::vector<std::uint32_t> band;
  const int bandRows = 16;  // a request well under the core protocol's 256 KiB
  for (int k = 0; k < 2; ++k) {
    pics[k] = xcb_generate_id(h.get());
    xcb_create_pixmap(h.get(), hs->root_depth, pics[k], hs->root, static_cast<std::uint16_t>(hw), static_cast<std::uint16_t>(hh));
    for (int top = 0; top < hh; top += bandRows) {
      const int rows = std::min(bandRows, hh - top);
      band.resize(static_cast<std::size_t>(hw) * rows);
      for (int y = 0; y < rows; ++y)
        for (int x = 0; x < hw; ++x) band[static_cast<std::size_t>(y) * hw + x] = PhotoPixel(x, top + y, k);
      xcb_put_image(h.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, pics[k], gc, static_cast<std::uint16_t>(hw),
                    static_cast<std::uint16_t>(rows), 0, static_cast<std::int16_t>(top), 0, hs->root_depth,
                    static_cast<std::uint32_t>(band.size() * 4), reinterpret_cast<const std::uint8_t*>(band.data()));
    }
  }
  xcb_map_window(h.get(), win);
  RoundTrip(h.get());

  // Where the host's screen shows: the bounding box of the plain colour on the viewer's display.
  const int vw = vs->width_in_pixels, vh = vs->height_in_pixels;
  std::vector<std::uint32_t> px;
  int x0 = vw, y0 = vh, x1 = -1, y1 = -1;
  const auto t0 = TClock::now();
  while (MsSince(t0) < 20000 && x1 < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (!GetPixels(v.get(), vs->root, 0, 0, vw, vh, px)) break;
    for (int y = 0; y < vh; ++y)
      for (int x = 0; x < vw; ++x)
        if (Near(px[static_cast<std::size_t>(y) * vw + x], locate)) {
          x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
        }
  }
  if (x1 < 0) {
    std::printf("fullscreen_ms - - 0/%d\n", ATrials);
    return 1;
  }
  const double sx = static_cast<double>(x1 - x0 + 1) / hw, sy = static_cast<double>(y1 - y0 + 1) / hh;
  struct TProbe {
    int Hx, Hy, Vx, Vy;
  };
  std::vector<TProbe> probes;
  for (int ty = 0; ty * 64 < hh; ++ty)
    for (int tx = 0; tx * 64 < hw; ++tx) {
      const int hx = std::min(tx * 64 + 32, hw - 1), hy = std::min(ty * 64 + 32, hh - 1);
      const int vx = x0 + static_cast<int>((hx + 0.5) * sx), vy = y0 + static_cast<int>((hy + 0.5) * sy);
      // Only where the plain colour showed: the program's own windows (left out of its picture) and
      // the pointer cover the rest.
      if (Near(px[static_cast<std::size_t>(vy) * vw + vx], locate)) probes.push_back({hx, hy, vx, vy});
    }
  std::fprintf(stderr, "fullscreen: host screen at %d,%d-%d,%d on the viewer, %zu tiles watched\n", x0, y0, x1, y1,
               probes.size());

  std::mt19937 rnd(4321);
  std::vector<double> ms;
  std::vector<xcb_get_image_cookie_t> cookies(probes.size());
  for (int t = 0; t < ATrials; ++t) {
    const int k = t % 2;
    const std::uint32_t bg[] = {pics[k]};
    xcb_change_window_attributes(h.get(), win, XCB_CW_BACK_PIXMAP, bg);
    xcb_clear_area(h.get(), 0, win, 0, 0, 0, 0);
    RoundTrip(h.get());
    const auto c0 = TClock::now();
    bool seen = false;
    while (!seen && MsSince(c0) < 10000) {
      // Every probe in one pipelined round trip.
      for (std::size_t i = 0; i < probes.size(); ++i)
        cookies[i] = xcb_get_image(v.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, vs->root, static_cast<std::int16_t>(probes[i].Vx),
                                   static_cast<std::int16_t>(probes[i].Vy), 1, 1, ~0u);
      seen = true;
      for (std::size_t i = 0; i < probes.size(); ++i) {
        auto* r = xcb_get_image_reply(v.get(), cookies[i], nullptr);
        if (!r) {
          seen = false;
          continue;
        }
        std::uint32_t p = 0;
        if (xcb_get_image_data_length(r) >= 4) std::memcpy(&p, xcb_get_image_data(r), 4);
        std::free(r);
        if (seen && !NearTint(p & 0xFFFFFFu, probes[i].Hx, probes[i].Hy, k)) seen = false;
      }
      // A pause between looks leaves the viewer's X server and the cores to the programs measured
      // (a look of some 500 requests back to back would otherwise keep a core of this machine busy).
      if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(kLookPauseMs));
    }
    if (seen)
      ms.push_back(MsSince(c0));
    else
      std::fprintf(stderr, "fullscreen: trial %d not seen in 10 s\n", t);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000 + rnd() % 1001));
  }
  xcb_destroy_window(h.get(), win);
  for (xcb_pixmap_t p : pics) xcb_free_pixmap(h.get(), p);
  RoundTrip(h.get());
  if (ms.empty()) {
    std::printf("fullscreen_ms - - 0/%d\n", ATrials);
    return 1;
  }
  std::sort(ms.begin(), ms.end());
  std::printf("fullscreen_ms %.1f %.1f %zu/%d\n", ms[ms.size() / 2], ms.back(), ms.size(), ATrials);
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
  if (mode == "fullscreen" && argc == 5) return FullScreen(argv[2], argv[3], std::max(1, std::atoi(argv[4])));
  if (mode == "frames" && argc == 4) return Frames(argv[2], std::max(1, std::atoi(argv[3])));
  std::fprintf(stderr,
               "usage: tovik-screen-probe latency HOST_DISPLAY VIEWER_DISPLAY TRIALS\n"
               "       tovik-screen-probe fullscreen HOST_DISPLAY VIEWER_DISPLAY TRIALS\n"
               "       tovik-screen-probe frames VIEWER_DISPLAY SECONDS\n");
  return 2;
}
