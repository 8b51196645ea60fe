// Preloaded into framefilter by its window tests: writes down every picture the program hands to a
// window, in order, and on request closes "Processed" as a window manager does right after a
// chosen show into "Original", so that the program meets the close between the two shows of one
// frame.
//   SHOW_LOG=PATH              one line per show: the window's title and picture_hash of the picture
//   SHOW_LOG_CLOSE_AFTER=K     after the K-th show into "Original", close "Processed"
//   SHOW_LOG_TIMES=PATH        one line per show into "Original": its time on CLOCK_MONOTONIC, in ns
//   SHOW_LOG_HOLD=K,...        after the K-th show into "Processed", the key wait that follows serves
//                              the windows (taking no key) until a byte comes from SHOW_LOG_GATE, a
//                              FIFO the test made, or 60 s pass; "held" in SHOW_LOG says it holds
#include "picture_hash.hpp"
#include "windowing.hpp"

#include <X11/Xlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <opencv2/highgui.hpp>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
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

FILE* show_log()
{
    static FILE* log = std::getenv("SHOW_LOG") ? std::fopen(std::getenv("SHOW_LOG"), "w") : nullptr;
    return log;
}

// Whether the program is to be held after this many shows into "Processed".
bool held_after(int processed)
{
    const char* list = std::getenv("SHOW_LOG_HOLD");
    std::istringstream numbers(list != nullptr ? list : "");
    for (std::string number; std::getline(numbers, number, ',');)
        if (std::atoi(number.c_str()) == processed)
            return true;
    return false;
}

bool hold_pending = false;

// Serves the windows through the library's own key wait, so that they paint what they were shown,
// until the test writes a byte into the gate. The FIFO is opened for reading and writing, so that
// the open does not wait for the test.
template <typename F> void hold(F* wait)
{
    const char* path = std::getenv("SHOW_LOG_GATE");
    const int gate = path != nullptr ? open(path, O_RDWR | O_CLOEXEC) : -1;
    if (gate < 0 || show_log() == nullptr) {
        std::fprintf(stderr, "show_log: no gate to hold at (SHOW_LOG_GATE, SHOW_LOG)\n");
        return;
    }
    std::fprintf(show_log(), "held\n");
    std::fflush(show_log());
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pollfd ready{gate, POLLIN, 0};
    while (poll(&ready, 1, 0) == 0 && std::chrono::steady_clock::now() < give_up)
        wait(10);
    char byte = 0;
    if (poll(&ready, 1, 0) != 1 || read(gate, &byte, 1) != 1)
        std::fprintf(stderr, "show_log: the gate did not open within 60 s\n");
    close(gate);
}

} // namespace

namespace cv {

int waitKeyEx(int delay)
{
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "_ZN2cv9waitKeyExEi"));
    if (real == nullptr) {
        std::fprintf(stderr, "show_log: cv::waitKeyEx not found\n");
        std::abort();
    }
    if (hold_pending) {
        hold_pending = false;
        hold(real);
    }
    return real(delay);
}

void imshow(const String& title, InputArray picture)
{
    static const auto real = reinterpret_cast<show_function>(
        dlsym(RTLD_NEXT,
              "_ZN2cv6imshowERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKNS_11_InputArrayE"));
    FILE* log = show_log();
    static const int close_after = number_from("SHOW_LOG_CLOSE_AFTER");
    static int originals = 0;
    static int processed = 0;
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
    if (title == "Processed" && held_after(++processed))
        hold_pending = true;
    if (title == "Original" && ++originals == close_after)
        close_window("Processed");
}

} // namespace cv
