#include "pointer_watch.hpp"

#include "loaded_library.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

namespace {

// GTK 3 as OpenCV's GTK build loaded it, looked up without linking it (Qt's build of OpenCV does
// not need it), also where a window plugin of OpenCV loaded it out of global reach. The calls are
// GTK's, GDK's and GLib's public ones; every handle is opaque here but GLib's list, whose fields
// its header documents.
struct glib_list {
    void* data;
    glib_list* next;
    glib_list* prev;
};
using glib_type = std::size_t;

struct gtk_calls {
    glib_type (*type_from_name)(const char*) = nullptr;
    int (*is_a)(void*, glib_type) = nullptr;
    glib_type (*container_type)() = nullptr;
    glib_list* (*list_toplevels)() = nullptr;
    const char* (*window_title)(void*) = nullptr;
    glib_list* (*container_children)(void*) = nullptr;
    void (*free_list)(glib_list*) = nullptr;
    void* (*widget_window)(void*) = nullptr;
    void* (*window_display)(void*) = nullptr;
    void* (*default_seat)(void*) = nullptr;
    void* (*seat_pointer)(void*) = nullptr;
    void* (*device_position)(void*, void*, double*, double*, unsigned*) = nullptr;
};

// GDK_BUTTON1_MASK of GdkModifierType.
const unsigned button1_mask = 1u << 8;

// The type name OpenCV's GTK backend registers for the widget that draws a window's image.
const char* const image_widget_type = "CvImageWidget";

const char* const gtk_library = "libgtk-3.so.0";

// Empty when every call was found, else what is missing.
std::string find_gtk_calls(gtk_calls& gtk)
{
    std::string missing;
    const auto look_up = [&](auto& call, const char* name) {
        call =
            reinterpret_cast<std::remove_reference_t<decltype(call)>>(loaded_library_call(gtk_library, name));
        if (call == nullptr && missing.empty())
            missing = std::string("no ") + name + " in the loaded " + gtk_library;
    };
    look_up(gtk.type_from_name, "g_type_from_name");
    look_up(gtk.is_a, "g_type_check_instance_is_a");
    look_up(gtk.container_type, "gtk_container_get_type");
    look_up(gtk.list_toplevels, "gtk_window_list_toplevels");
    look_up(gtk.window_title, "gtk_window_get_title");
    look_up(gtk.container_children, "gtk_container_get_children");
    look_up(gtk.free_list, "g_list_free");
    look_up(gtk.widget_window, "gtk_widget_get_window");
    look_up(gtk.window_display, "gdk_window_get_display");
    look_up(gtk.default_seat, "gdk_display_get_default_seat");
    look_up(gtk.seat_pointer, "gdk_seat_get_pointer");
    look_up(gtk.device_position, "gdk_window_get_device_position_double");
    return missing;
}

// The first widget of type `type` in the tree under `widget`.
void* find_widget(const gtk_calls& gtk, void* widget, glib_type type)
{
    if (gtk.is_a(widget, type))
        return widget;
    if (!gtk.is_a(widget, gtk.container_type()))
        return nullptr;
    glib_list* const children = gtk.container_children(widget);
    void* found = nullptr;
    for (const glib_list* child = children; child != nullptr && found == nullptr; child = child->next)
        found = find_widget(gtk, child->data, type);
    gtk.free_list(children);
    return found;
}

// The image widget in OpenCV's window titled `title`, or nullptr.
void* image_widget_of(const gtk_calls& gtk, const char* title, glib_type type)
{
    glib_list* const toplevels = gtk.list_toplevels();
    void* widget = nullptr;
    for (const glib_list* entry = toplevels; entry != nullptr && widget == nullptr; entry = entry->next) {
        const char* named = gtk.window_title(entry->data);
        if (named != nullptr && std::strcmp(named, title) == 0)
            widget = find_widget(gtk, entry->data, type);
    }
    gtk.free_list(toplevels);
    return widget;
}

// Where the pointer is over `widget`'s own GDK window, or why it cannot be read.
std::string read_over(const gtk_calls& gtk, void* widget, pointer_reading& reading)
{
    void* window = gtk.widget_window(widget);
    void* display = window != nullptr ? gtk.window_display(window) : nullptr;
    void* seat = display != nullptr ? gtk.default_seat(display) : nullptr;
    void* pointer = seat != nullptr ? gtk.seat_pointer(seat) : nullptr;
    if (pointer == nullptr)
        return "GDK has no pointer for the image";
    double x = 0;
    double y = 0;
    unsigned buttons = 0;
    gtk.device_position(window, pointer, &x, &y, &buttons);
    reading = {true,
               {static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y))},
               (buttons & button1_mask) != 0};
    return "";
}

std::string read_gtk_pointer(const char* title, pointer_reading& reading)
{
    static gtk_calls gtk;
    static const std::string missing = find_gtk_calls(gtk);
    if (!missing.empty())
        return missing;
    const glib_type type = gtk.type_from_name(image_widget_type);
    if (type == 0)
        return std::string("OpenCV's window library registers no GTK type ") + image_widget_type;
    void* widget = image_widget_of(gtk, title, type);
    if (widget == nullptr)
        return std::string("no ") + image_widget_type + " in the window '" + title + "'";
    // The image widget has a GDK window of its own (a child window, not the toplevel) and, in an
    // autosized window, draws the image from its top-left corner; the library reports mouse
    // positions from there, in GTK's pixels (the screen's divided by the scale a high-density
    // display sets).
    return read_over(gtk, widget, reading);
}

} // namespace

pointer_reading read_pointer(const char* program, const char* title)
{
    pointer_reading reading;
    const std::string problem = read_gtk_pointer(title, reading);
    static bool said = false;
    if (!problem.empty() && !said) {
        said = true;
        std::fprintf(stderr, "%s: cannot follow a drag off the picture: %s\n", program, problem.c_str());
    }
    return reading;
}
