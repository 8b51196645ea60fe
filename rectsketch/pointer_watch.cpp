#include "pointer_watch.hpp"

#include "loaded_library.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

namespace {

// GTK 3's, GDK's and GLib's public calls, looked up in the GTK that OpenCV's GTK build loaded (the
// programs do not link it: Qt's build of OpenCV does not need it). Every handle is opaque here but
// GLib's list, whose fields its header documents.
struct glib_list {
    void* data;
    glib_list* next;
    glib_list* prev;
};
using glib_type = std::size_t;

struct gtk_calls {
    glib_type (*type_from_name)(const char*);
    int (*is_a)(void*, glib_type);
    glib_type (*container_type)();
    glib_list* (*list_toplevels)();
    const char* (*window_title)(void*);
    glib_list* (*container_children)(void*);
    void (*free_list)(glib_list*);
    void* (*widget_window)(void*);
    void* (*default_display)();
    void* (*default_seat)(void*);
    void* (*seat_pointer)(void*);
    void* (*device_position)(void*, void*, double*, double*, unsigned*);
};

// GDK_BUTTON1_MASK of GdkModifierType.
const unsigned button1_mask = 1u << 8;

// Empty when every call was found, else the first that was not.
std::string find_gtk_calls(gtk_calls& gtk)
{
    std::string missing;
    const auto look_up = [&](auto& call, const char* name) {
        call = reinterpret_cast<std::remove_reference_t<decltype(call)>>(
            loaded_library_call("libgtk-3.so.0", name));
        if (call == nullptr && missing.empty())
            missing = std::string("no ") + name + " in a loaded libgtk-3.so.0";
    };
    look_up(gtk.type_from_name, "g_type_from_name");
    look_up(gtk.is_a, "g_type_check_instance_is_a");
    look_up(gtk.container_type, "gtk_container_get_type");
    look_up(gtk.list_toplevels, "gtk_window_list_toplevels");
    look_up(gtk.window_title, "gtk_window_get_title");
    look_up(gtk.container_children, "gtk_container_get_children");
    look_up(gtk.free_list, "g_list_free");
    look_up(gtk.widget_window, "gtk_widget_get_window");
    look_up(gtk.default_display, "gdk_display_get_default");
    look_up(gtk.default_seat, "gdk_display_get_default_seat");
    look_up(gtk.seat_pointer, "gdk_seat_get_pointer");
    look_up(gtk.device_position, "gdk_window_get_device_position_double");
    return missing;
}

// The first widget of type `type` among `widgets` and the widgets they contain; frees the list.
void* find_widget(const gtk_calls& gtk, glib_list* widgets, glib_type type, const char* title = nullptr)
{
    void* found = nullptr;
    for (const glib_list* entry = widgets; entry != nullptr && found == nullptr; entry = entry->next) {
        const char* named = title != nullptr ? gtk.window_title(entry->data) : nullptr;
        if (title != nullptr && (named == nullptr || std::strcmp(named, title) != 0))
            continue;
        if (gtk.is_a(entry->data, type))
            found = entry->data;
        else if (gtk.is_a(entry->data, gtk.container_type()))
            found = find_widget(gtk, gtk.container_children(entry->data), type);
    }
    gtk.free_list(widgets);
    return found;
}

} // namespace

pointer_reading read_pointer(const char* program, const char* title)
{
    static gtk_calls gtk{};
    static const std::string missing = find_gtk_calls(gtk);
    std::string problem = missing;
    pointer_reading reading;
    // The widget that OpenCV's GTK backend registers to draw a window's image, found by its type. It
    // has a GDK window of its own and, in an autosized window, draws the image from its top-left
    // corner; the library reports mouse positions from there, in GTK's pixels (the screen's divided
    // by the scale a high-density display sets).
    const glib_type type = problem.empty() ? gtk.type_from_name("CvImageWidget") : 0;
    void* widget = type != 0 ? find_widget(gtk, gtk.list_toplevels(), type, title) : nullptr;
    void* window = widget != nullptr ? gtk.widget_window(widget) : nullptr;
    void* display = window != nullptr ? gtk.default_display() : nullptr;
    void* pointer = display != nullptr ? gtk.seat_pointer(gtk.default_seat(display)) : nullptr;
    if (problem.empty() && pointer == nullptr)
        problem = std::string("no CvImageWidget with a pointer over it in the GTK window '") + title + "'";
    if (pointer != nullptr) {
        double x = 0;
        double y = 0;
        unsigned buttons = 0;
        gtk.device_position(window, pointer, &x, &y, &buttons);
        reading = {true,
                   {static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y))},
                   (buttons & button1_mask) != 0};
    }
    static bool said = false;
    if (!problem.empty() && !said) {
        said = true;
        std::fprintf(stderr, "%s: cannot follow a drag off the picture: %s\n", program, problem.c_str());
    }
    return reading;
}
