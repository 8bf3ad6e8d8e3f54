// The X connection the probe programs share: opened on a display or the program exits with code 2.
#pragma once

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace tovik::probe {

struct TConnFree {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using TConn = std::unique_ptr<xcb_connection_t, TConnFree>;

// Connects to ADisplay; AScreen is its default screen.
inline TConn Open(const char* ADisplay, xcb_screen_t*& AScreen) {
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

}  // namespace tovik::probe
