// SPDX-License-Identifier: MIT
// What the start-up benchmarks watch: top-level windows mapped on an X display (the X server's MapNotify
// for a window of a main window's size, not a tray icon's), and the wall clock they are timed against.
#pragma once

#include <time.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace bench {

inline double realtimeMs() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// Watches the display's root window for top-level windows being mapped.
class MapWatch {
public:
    explicit MapWatch(const std::string& display) {
        m_connection = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(m_connection))
            throw std::runtime_error("cannot connect to " + display);
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(m_connection);
    }
    ~MapWatch() { xcb_disconnect(m_connection); }
    int fd() const { return xcb_get_file_descriptor(m_connection); }

    // Whether a window of at least 100 x 100 (a main window or dialog, not a tray icon) was mapped
    // among the events that arrived.
    bool windowMapped() {
        bool mapped = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
            if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
                const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
                xcb_get_geometry_reply_t* geometry = xcb_get_geometry_reply(
                    m_connection, xcb_get_geometry(m_connection, map->window), nullptr);
                if (geometry && !map->override_redirect && geometry->width >= 100 && geometry->height >= 100)
                    mapped = true;
                std::free(geometry);
            }
            std::free(event);
        }
        return mapped;
    }

private:
    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = 0;
};

}  // namespace bench
