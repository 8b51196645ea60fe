#include "pointer_watch.hpp"

#include <dlfcn.h>

#include <cmath>
#include <cstring>

namespace {

// GTK's and GDK's calls, looked up among the libraries that OpenCV's GTK build loaded: the
// programs do not link GTK, as Qt's build of OpenCV does not need it. All handles are opaque here.
struct gdk_calls {
    void* (*list_toplevels)() = nullptr;
    const char* (*window_title)(void*) = nullptr;
    void* (*bin_child)(void*) = nullptr;
    void* (*container_children)(void*) = nullptr;
    void (*free_list)(void*) = nullptr;
    void* (*widget_window)(void*) = nullptr;
    void* (*window_display)(void*) = nullptr;
    void* (*default_seat)(void*) = nullptr;
    void* (*seat_pointer)(void*) = nullptr;
    void* (*device_position)(void*, void*, double*, double*, unsigned*) = nullptr;
};

// GLib's doubly linked list, as its header lays it out.
struct glib_list {
    void* data;
    glib_list* next;
    glib_list* prev;
};

// GDK_BUTTON1_MASK of GdkModifierType.
const unsigned button1_mask = 1u << 8;

template <typename F> void look_up(F& call, const char* name)
{
    call = reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

gdk_calls find_gdk_calls()
{
    gdk_calls gdk;
    look_up(gdk.list_toplevels, "gtk_window_list_toplevels");
    look_up(gdk.window_title, "gtk_window_get_title");
    look_up(gdk.bin_child, "gtk_bin_get_child");
    look_up(gdk.container_children, "gtk_container_get_children");
    look_up(gdk.free_list, "g_list_free");
    look_up(gdk.widget_window, "gtk_widget_get_window");
    look_up(gdk.window_display, "gdk_window_get_display");
    look_up(gdk.default_seat, "gdk_display_get_default_seat");
    look_up(gdk.seat_pointer, "gdk_seat_get_pointer");
    look_up(gdk.device_position, "gdk_window_get_device_position_double");
    return gdk;
}

bool complete(const gdk_calls& gdk)
{
    return gdk.list_toplevels && gdk.window_title && gdk.bin_child && gdk.container_children && gdk.free_list
           && gdk.widget_window && gdk.window_display && gdk.default_seat && gdk.seat_pointer
           && gdk.device_position;
}

// The image widget of the library's window titled `title`: the library puts a box in the toplevel
// window it titles so, and the image widget first in that box, ahead of any trackbars. (The C
// interface's window handle, which names the same widget, is gone from OpenCV 5.)
void* image_widget_of(const gdk_calls& gdk, const char* title)
{
    auto* const toplevels = static_cast<glib_list*>(gdk.list_toplevels());
    void* box = nullptr;
    for (const glib_list* entry = toplevels; entry != nullptr && box == nullptr; entry = entry->next) {
        const char* named = gdk.window_title(entry->data);
        if (named != nullptr && std::strcmp(named, title) == 0)
            box = gdk.bin_child(entry->data);
    }
    gdk.free_list(toplevels);
    auto* const children = box != nullptr ? static_cast<glib_list*>(gdk.container_children(box)) : nullptr;
    void* const widget = children != nullptr ? children->data : nullptr;
    gdk.free_list(children);
    return widget;
}

} // namespace

pointer_reading read_pointer(const char* title)
{
    static const gdk_calls gdk = find_gdk_calls();
    if (!complete(gdk))
        return {};
    // The library's handle of a GTK window is its image widget. The widget makes a window of its own
    // (a GDK child window, not the toplevel) and, in an autosized window, draws the image from its
    // top-left corner; the library reports mouse positions from there, in GTK's pixels (the
    // screen's divided by the scale a high-density display sets).
    void* image_widget = image_widget_of(gdk, title);
    void* window = image_widget != nullptr ? gdk.widget_window(image_widget) : nullptr;
    void* display = window != nullptr ? gdk.window_display(window) : nullptr;
    void* seat = display != nullptr ? gdk.default_seat(display) : nullptr;
    void* pointer = seat != nullptr ? gdk.seat_pointer(seat) : nullptr;
    if (pointer == nullptr)
        return {};
    double x = 0;
    double y = 0;
    unsigned buttons = 0;
    gdk.device_position(window, pointer, &x, &y, &buttons);
    return {true,
            {static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y))},
            (buttons & button1_mask) != 0};
}
