// The input probe of scripts/measure-tabs: how long a pointer move in the helper's active session tab
// takes to move the helped PC's pointer. Works on two X displays and knows nothing of the program.
//
//   tovik-tabs-probe HELPER_DISPLAY HELPED_DISPLAY LEFT TOP WIDTH HEIGHT HOST_W HOST_H TRIALS
//     LEFT TOP WIDTH HEIGHT: the active tab's viewer on the helper's screen (the status file's
//     active_viewer); HOST_W x HOST_H: the helped PC's screen, fitted into the viewer below its 56-pixel
//     tool bar. Each trial moves the helper's pointer (XTest) to the place showing a point of the
//     helped PC's lower right quarter and times until the helped PC's pointer is within 2 pixels of
//     that point (at most 3 s). Prints "input_ms MEDIAN P95 MAX SEEN/TRIALS".
// The time includes the helper's X server, the program's GUI thread and input packet, the loopback
// network and the helped PC's injection: an upper bound of the input-to-send time.
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ProbeXcb.h"

namespace {

using TClock = std::chrono::steady_clock;

using tovik::probe::Open;
using tovik::probe::TConn;

bool PointerAt(xcb_connection_t* c, xcb_window_t root, int x, int y) {
  auto* r = xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr);
  if (!r) return false;
  const bool near = std::abs(r->root_x - x) <= 2 && std::abs(r->root_y - y) <= 2;
  std::free(r);
  return near;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 10) {
    std::fprintf(stderr, "usage: %s HELPER_DISPLAY HELPED_DISPLAY LEFT TOP WIDTH HEIGHT HOST_W HOST_H TRIALS\n", argv[0]);
    return 2;
  }
  const int left = std::atoi(argv[3]), top = std::atoi(argv[4]), width = std::atoi(argv[5]), height = std::atoi(argv[6]);
  const int hostW = std::atoi(argv[7]), hostH = std::atoi(argv[8]), trials = std::max(1, std::atoi(argv[9]));
  if (width <= 0 || height <= 56 || hostW <= 0 || hostH <= 0) return 2;
  xcb_screen_t *helperScreen = nullptr, *helpedScreen = nullptr;
  TConn helper = Open(argv[1], helperScreen);
  TConn helped = Open(argv[2], helpedScreen);
  const xcb_window_t helperRoot = helperScreen->root, helpedRoot = helpedScreen->root;
  const int bar = 56, ph = height - bar;
  const double scale = std::min(width / double(hostW), ph / double(hostH));
  const int ox = static_cast<int>((width - hostW * scale) / 2), oy = bar + static_cast<int>((ph - hostH * scale) / 2);
  std::mt19937 rng(7);
  std::vector<double> ms;
  for (int t = 0; t < trials; ++t) {
    // A point of the lower right quarter, on a grid coarser than the picture's scale.
    const int hx = hostW * 3 / 4 + static_cast<int>(rng() % static_cast<unsigned>(hostW / 5));
    const int hy = hostH * 3 / 4 + static_cast<int>(rng() % static_cast<unsigned>(hostH / 5));
    const int vx = left + ox + static_cast<int>(hx * scale + scale / 2);
    const int vy = top + oy + static_cast<int>(hy * scale + scale / 2);
    // Where the helped PC really ends up: the viewer maps back from its own pixels.
    const int ex = static_cast<int>((vx - left - ox) / scale), ey = static_cast<int>((vy - top - oy) / scale);
    xcb_test_fake_input(helper.get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, helperRoot, static_cast<std::int16_t>(vx),
                        static_cast<std::int16_t>(vy), 0);
    std::free(xcb_get_input_focus_reply(helper.get(), xcb_get_input_focus(helper.get()), nullptr));
    const auto t0 = TClock::now();
    bool seen = false;
    while (TClock::now() - t0 < std::chrono::seconds(3)) {
      if (PointerAt(helped.get(), helpedRoot, ex, ey)) {
        seen = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (seen) ms.push_back(std::chrono::duration<double, std::milli>(TClock::now() - t0).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(120 + rng() % 80));
  }
  std::sort(ms.begin(), ms.end());
  const auto at = [&ms](double q) { return ms.empty() ? -1.0 : ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
  std::printf("input_ms %.1f %.1f %.1f %zu/%d\n", at(0.5), at(0.95), ms.empty() ? -1.0 : ms.back(), ms.size(), trials);
  return 0;
}
