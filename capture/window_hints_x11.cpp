// X11: the extended window-manager state _NET_WM_STATE_SKIP_TASKBAR, set on the
// window before it is mapped; Qt keeps state atoms it did not set itself.
#include <QGuiApplication>
#include <QWidget>
#include <xcb/xcb.h>

#include <string_view>
#include <vector>

#include "capture/window_hints.h"

namespace snapvane {
namespace {

xcb_atom_t Atom(xcb_connection_t* connection, std::string_view name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      connection,
      xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr);
  const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
  free(reply);
  return atom;
}

}  // namespace

void KeepOffTaskBar(QWidget& window) {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!x11 || !x11->connection()) return;  // another window system
  xcb_connection_t* connection = x11->connection();
  const auto id = static_cast<xcb_window_t>(window.winId());  // makes the native window
  const xcb_atom_t state = Atom(connection, "_NET_WM_STATE");
  const xcb_atom_t skip = Atom(connection, "_NET_WM_STATE_SKIP_TASKBAR");
  if (state == XCB_ATOM_NONE || skip == XCB_ATOM_NONE) return;
  xcb_change_property(connection, XCB_PROP_MODE_APPEND, id, state, XCB_ATOM_ATOM, 32, 1, &skip);
  xcb_flush(connection);
}

}  // namespace snapvane
