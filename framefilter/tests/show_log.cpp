// Preloaded into framefilter by its window tests: writes down every picture the program hands to a
// window, in order, and on request closes "Processed" as a window manager does right after a
// chosen show into "Original", so that the program meets the close between the two shows of one
// frame.
//   SHOW_LOG=PATH              one line per show: the window's title and picture_hash of the picture
//   SHOW_LOG_CLOSE_AFTER=K     after the K-th show into "Original", close "Processed"
//   SHOW_LOG_TIMES=PATH        one line per show into "Original": its time on CLOCK_MONOTONIC, in ns
#include "picture_hash.hpp"
#include "windowing.hpp"

#include <X11/Xlib.h>
#include <dlfcn.h>
#include <opencv2/highgui.hpp>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

int number_from(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoi(value) : 0;
}

using show_function = void (*)(const cv::String&, cv::InputArray);

Window titled(Display* d, Window parent, const char* title)
{
    Window root = 0;
    Window up = 0;
    Window* children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (XQueryTree(d, parent, &root, &up, &children, &count) == 0)
        return 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        char* name = nullptr;
        if (XFetchName(d, children[i], &name) != 0 && name != nullptr && std::string(name) == title)
            found = children[i];
        if (name != nullptr)
            XFree(name);
        if (found == 0)
            found = titled(d, children[i], title);
    }
    if (children != nullptr)
        XFree(children);
    return found;
}

// Whether the windows are on a Wayland compositor (sway, as the tests run it) rather than on X.
bool on_wayland()
{
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x = std::getenv("DISPLAY");
    return wayland != nullptr && *wayland != '\0' && (x == nullptr || *x == '\0');
}

// Sends WM_DELETE_WINDOW to the window (on Wayland, has sway close it) and lets the toolkit take it
// in, as a close comes in while the program waits for a key.
void close_window(const char* title)
{
    if (on_wayland()) {
        const std::string command = "swaymsg -q '[title=\"^" + std::string(title) + "$\"] kill'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "show_log: sway did not close %s\n", title);
        while (window_is_open(title))
            cv::pollKey();
        return;
    }
    Display* d = XOpenDisplay(nullptr);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = titled(d, DefaultRootWindow(d), title);
    event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    XSendEvent(d, event.xclient.window, False, NoEventMask, &event);
    XCloseDisplay(d);
    while (window_is_open(title))
        cv::pollKey();
}

} // namespace

namespace cv {

void imshow(const String& title, InputArray picture)
{
    static const auto real = reinterpret_cast<show_function>(
        dlsym(RTLD_NEXT,
              "_ZN2cv6imshowERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKNS_11_InputArrayE"));
    static FILE* log = std::getenv("SHOW_LOG") ? std::fopen(std::getenv("SHOW_LOG"), "w") : nullptr;
    static const int close_after = number_from("SHOW_LOG_CLOSE_AFTER");
    static int originals = 0;
    if (real == nullptr) {
        std::fprintf(stderr, "show_log: cv::imshow not found\n");
        std::abort();
    }
    real(title, picture);
    if (log != nullptr) {
        std::fprintf(log, "%s %016llx\n", title.c_str(),
                     static_cast<unsigned long long>(picture_hash(picture.getMat())));
        std::fflush(log);
    }
    static FILE* times =
        std::getenv("SHOW_LOG_TIMES") ? std::fopen(std::getenv("SHOW_LOG_TIMES"), "w") : nullptr;
    if (times != nullptr && title == "Original") {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::fprintf(times, "%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
        std::fflush(times);
    }
    if (title == "Original" && ++originals == close_after)
        close_window("Processed");
}

} // namespace cv
