#include "pointer_watch.hpp"

#include <dlfcn.h>
#include <opencv2/highgui/highgui_c.h>

#include <cmath>

namespace {

// GTK's and GDK's calls, looked up among the libraries that OpenCV's GTK build loaded: the
// programs do not link GTK, as Qt's build of OpenCV does not need it. All handles are opaque here.
struct gdk_calls {
    void* (*widget_window)(void*) = nullptr;
    void* (*window_display)(void*) = nullptr;
    void* (*default_seat)(void*) = nullptr;
    void* (*seat_pointer)(void*) = nullptr;
    void* (*device_position)(void*, void*, double*, double*, unsigned*) = nullptr;
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
    look_up(gdk.widget_window, "gtk_widget_get_window");
    look_up(gdk.window_display, "gdk_window_get_display");
    look_up(gdk.default_seat, "gdk_display_get_default_seat");
    look_up(gdk.seat_pointer, "gdk_seat_get_pointer");
    look_up(gdk.device_position, "gdk_window_get_device_position_double");
    return gdk;
}

bool complete(const gdk_calls& gdk)
{
    return gdk.widget_window && gdk.window_display && gdk.default_seat && gdk.seat_pointer
           && gdk.device_position;
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
    void* image_widget = cvGetWindowHandle(title);
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
