#include "pointer_watch.hpp"

#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// XCB rather than Xlib: a window that goes away between two requests is an error reply here, not a
// call to the process's one Xlib error handler, which belongs to the toolkit.
template <typename T> using reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T> reply<T> owned(T* pointer)
{
    return reply<T>(pointer, &std::free);
}

struct x_server {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_WINDOW_NONE;
    xcb_atom_t pid_atom = XCB_ATOM_NONE;
};

xcb_atom_t atom_named(xcb_connection_t* c, const char* name)
{
    const auto cookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    const auto answer = owned(xcb_intern_atom_reply(c, cookie, nullptr));
    return answer ? answer->atom : xcb_atom_t{XCB_ATOM_NONE};
}

x_server connect_to_display()
{
    x_server server;
    int screen_number = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screen_number);
    if (xcb_connection_has_error(c) != 0) {
        xcb_disconnect(c);
        return server;
    }
    xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screen_number && screen.rem > 0; ++i)
        xcb_screen_next(&screen);
    if (screen.rem == 0 || screen.data == nullptr) {
        xcb_disconnect(c);
        return server;
    }
    server.connection = c;
    server.root = screen.data->root;
    server.pid_atom = atom_named(c, "_NET_WM_PID");
    return server;
}

reply<xcb_get_property_reply_t> property(const x_server& x, xcb_window_t window, xcb_atom_t name)
{
    xcb_generic_error_t* error = nullptr;
    const auto cookie = xcb_get_property(x.connection, 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 256);
    auto answer = owned(xcb_get_property_reply(x.connection, cookie, &error));
    std::free(error);
    return answer;
}

bool is_ours(const x_server& x, xcb_window_t window, const std::string& title)
{
    const auto pid = property(x, window, x.pid_atom);
    if (!pid || pid->format != 32 || xcb_get_property_value_length(pid.get()) != 4)
        return false;
    std::uint32_t owner = 0;
    std::memcpy(&owner, xcb_get_property_value(pid.get()), sizeof owner);
    if (owner != static_cast<std::uint32_t>(getpid()))
        return false;
    const auto name = property(x, window, XCB_ATOM_WM_NAME);
    return name
           && std::string(static_cast<const char*>(xcb_get_property_value(name.get())),
                          static_cast<std::size_t>(xcb_get_property_value_length(name.get())))
                  == title;
}

// Top-level windows are children of the root, or of a window manager's frames a level or two down.
xcb_window_t find_own_window(const x_server& x, xcb_window_t parent, const std::string& title, int depth)
{
    xcb_generic_error_t* error = nullptr;
    const auto tree = owned(xcb_query_tree_reply(x.connection, xcb_query_tree(x.connection, parent), &error));
    std::free(error);
    if (!tree)
        return XCB_WINDOW_NONE;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    for (int i = 0; i < count; ++i)
        if (is_ours(x, children[i], title))
            return children[i];
    for (int i = 0; i < count && depth > 0; ++i) {
        const xcb_window_t found = find_own_window(x, children[i], title, depth - 1);
        if (found != XCB_WINDOW_NONE)
            return found;
    }
    return XCB_WINDOW_NONE;
}

} // namespace

pointer_reading read_pointer(const char* title)
{
    static const x_server x = connect_to_display();
    static xcb_window_t window = XCB_WINDOW_NONE;
    if (x.connection == nullptr)
        return {};
    // Found once and kept; looked for again should it have gone.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (window == XCB_WINDOW_NONE)
            window = find_own_window(x, x.root, title, 3);
        if (window == XCB_WINDOW_NONE)
            return {};
        xcb_generic_error_t* error = nullptr;
        const auto pointer =
            owned(xcb_query_pointer_reply(x.connection, xcb_query_pointer(x.connection, window), &error));
        std::free(error);
        if (pointer && pointer->same_screen != 0)
            return {true, {pointer->win_x, pointer->win_y}, (pointer->mask & XCB_BUTTON_MASK_1) != 0};
        window = XCB_WINDOW_NONE;
    }
    return {};
}
