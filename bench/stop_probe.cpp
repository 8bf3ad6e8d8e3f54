// tovik-stop-probe: how long the program on $DISPLAY takes to react to a click on the Stop button of
// its stop bar. It finds the top-level window at (X, Y), watches it, clicks there through XTest (with
// the server grabbed, so that no other client's input comes between the pointer move and the click),
// and waits until that window is unmapped or destroyed, as the program does with the stop bar when the
// session has ended. Prints "stop_ms=<milliseconds>"; exit code 1 when nothing happened within
// --timeout-ms. Used by scripts/measure-stop.
//
//   tovik-stop-probe X Y [TIMEOUT_MS]
#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("Usage: tovik-stop-probe X Y [TIMEOUT_MS]\n", stderr);
    return 2;
  }
  const int x = std::atoi(argv[1]), y = std::atoi(argv[2]);
  const int timeoutMs = argc > 3 ? std::atoi(argv[3]) : 10000;
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fputs("tovik-stop-probe: cannot open the display\n", stderr);
    return 2;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  auto* t = xcb_translate_coordinates_reply(
      c, xcb_translate_coordinates(c, root, root, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y)), nullptr);
  const xcb_window_t win = t ? t->child : XCB_NONE;
  std::free(t);
  if (win == XCB_NONE) {
    std::fputs("tovik-stop-probe: no window there\n", stderr);
    return 2;
  }
  const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, win, XCB_CW_EVENT_MASK, &mask);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

  xcb_grab_server(c);
  xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), 0);
  xcb_test_fake_input(c, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_test_fake_input(c, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_ungrab_server(c);
  const auto t0 = std::chrono::steady_clock::now();
  xcb_flush(c);

  const auto deadline = t0 + std::chrono::milliseconds(timeoutMs);
  pollfd pfd{xcb_get_file_descriptor(c), POLLIN, 0};
  for (;;) {
    while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
      const int type = e->response_type & 0x7F;
      const bool gone = (type == XCB_UNMAP_NOTIFY && reinterpret_cast<xcb_unmap_notify_event_t*>(e)->window == win) ||
                        (type == XCB_DESTROY_NOTIFY && reinterpret_cast<xcb_destroy_notify_event_t*>(e)->window == win);
      std::free(e);
      if (gone) {
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        std::printf("stop_ms=%.1f\n", ms);
        xcb_disconnect(c);
        return 0;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || xcb_connection_has_error(c)) break;
    ::poll(&pfd, 1, static_cast<int>(left.count()));
  }
  std::printf("stop_ms=timeout\n");
  xcb_disconnect(c);
  return 1;
}
