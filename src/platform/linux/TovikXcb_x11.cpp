// Shared XCB helpers: opening the display, the pixel format check and RandR monitors.
#include "platform/linux/TovikXcb.h"

#include <xcb/randr.h>

namespace tovik {

std::shared_ptr<TXDisplay> TXDisplay::Open() {
  int screenNum = 0;
  TXConnection conn(xcb_connect(nullptr, &screenNum));
  if (!conn || xcb_connection_has_error(conn.get())) return nullptr;
  auto d = std::make_shared<TXDisplay>();
  const xcb_setup_t* setup = xcb_get_setup(conn.get());
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
  for (int i = 0; i < screenNum && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem) return nullptr;
  d->Screen = it.data;

  // Z-pixmap pictures of the root must be 32 bits per pixel, least significant byte first, with
  // red, green and blue in the usual masks: then memory order is blue, green, red, X.
  int bpp = 0;
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
    if (f.data->depth == d->Screen->root_depth) bpp = f.data->bits_per_pixel;
  bool masksOk = false;
  for (auto di = xcb_screen_allowed_depths_iterator(d->Screen); di.rem; xcb_depth_next(&di))
    for (auto vi = xcb_depth_visuals_iterator(di.data); vi.rem; xcb_visualtype_next(&vi))
      if (vi.data->visual_id == d->Screen->root_visual)
        masksOk = vi.data->red_mask == 0xFF0000 && vi.data->green_mask == 0xFF00 && vi.data->blue_mask == 0xFF;
  d->PixelsBgrx = bpp == 32 && masksOk && setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
  d->Conn = std::move(conn);
  return d;
}

bool TXDisplay::HasExtension(xcb_extension_t* AExt) {
  const xcb_query_extension_reply_t* e = xcb_get_extension_data(Conn.get(), AExt);
  return e && e->present;
}

void TXDisplay::Sync() { TXReply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(Conn.get(), xcb_get_input_focus(Conn.get()), nullptr)); }

TRect TXDisplay::RootRect() {
  TXReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(Conn.get(), xcb_get_geometry(Conn.get(), Screen->root), nullptr));
  if (!g) return {0, 0, Screen->width_in_pixels, Screen->height_in_pixels};
  return {0, 0, g->width, g->height};
}

std::vector<TMonitorInfo> TXDisplay::Monitors() {
  xcb_connection_t* c = Conn.get();
  if (!FRandrChecked) {
    FRandrChecked = true;
    if (HasExtension(&xcb_randr_id)) {
      TXReply<xcb_randr_query_version_reply_t> v(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
      FRandr15 = v && (v->major_version > 1 || (v->major_version == 1 && v->minor_version >= 5));
    }
  }
  std::vector<TMonitorInfo> out;
  if (FRandr15) {
    TXReply<xcb_randr_get_monitors_reply_t> r(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, Screen->root, 1), nullptr));
    if (r) {
      std::vector<xcb_get_atom_name_cookie_t> names;
      for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
        TMonitorInfo m;
        m.Rect = {it.data->x, it.data->y, it.data->width, it.data->height};
        m.Primary = it.data->primary != 0;
        out.push_back(m);
        names.push_back(xcb_get_atom_name(c, it.data->name));
      }
      for (std::size_t i = 0; i < names.size(); ++i) {
        TXReply<xcb_get_atom_name_reply_t> n(xcb_get_atom_name_reply(c, names[i], nullptr));
        if (n) out[i].Name.assign(xcb_get_atom_name_name(n.get()), xcb_get_atom_name_name_length(n.get()));
      }
    }
  }
  if (out.empty()) {
    TMonitorInfo m;
    m.Name = "default";
    m.Rect = RootRect();
    m.Primary = true;
    out.push_back(m);
  }
  return out;
}

}  // namespace tovik
