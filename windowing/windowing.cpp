#include "windowing.hpp"

#include <X11/Xlib.h>
#include <dlfcn.h>
#include <link.h>
#include <opencv2/highgui.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The path of the loaded OpenCV window library, or "" when OpenCV is linked in statically.
std::string highgui_path()
{
    std::string path;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            if (info->dlpi_name != nullptr && std::strstr(info->dlpi_name, "libopencv_highgui") != nullptr) {
                *static_cast<std::string*>(data) = info->dlpi_name;
                return 1;
            }
            return 0;
        },
        &path);
    return path;
}

// A platform other than X that the user chose for the toolkit (QT_QPA_PLATFORM=wayland,
// GDK_BACKEND=wayland, offscreen, ...) is left to the toolkit.
bool other_platform_chosen()
{
    const bool gtk = windows_drawn_by_gtk();
    const char* platform = std::getenv(gtk ? "GDK_BACKEND" : "QT_QPA_PLATFORM");
    const char* x = gtk ? "x11" : "xcb";
    return platform != nullptr && *platform != '\0' && std::strncmp(platform, x, std::strlen(x)) != 0;
}

} // namespace

bool display_reachable(const char* program)
{
    if (other_platform_chosen())
        return true;
    // The connection stays open for the life of the process: an X server with no other client
    // resets itself when the last one leaves, and the toolkit's own connection, made right after,
    // would then be refused.
    static Display* display = XOpenDisplay(nullptr);
    if (display != nullptr)
        return true;
    const char* name = std::getenv("DISPLAY");
    std::fprintf(stderr, "%s: cannot open a window: no X display at '%s'\n", program, name ? name : "");
    return false;
}

void provide_runtime_dir()
{
    const char* named = std::getenv("XDG_RUNTIME_DIR");
    if ((named != nullptr && *named != '\0') || windows_drawn_by_gtk())
        return;
    const passwd* user = getpwuid(geteuid());
    if (user == nullptr)
        return;
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/runtime-" + user->pw_name;
    mkdir(dir.c_str(), 0700);
    // Only a directory that is the user's alone; anything else is left to Qt to complain about.
    struct stat info = {};
    if (lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid()
        && (info.st_mode & 0777) == 0700)
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
}

bool open_window(const char* program, const std::string& title)
{
    provide_runtime_dir();
    try {
        cv::namedWindow(title, cv::WINDOW_AUTOSIZE);
        return true;
    } catch (const cv::Exception& e) {
        std::fprintf(stderr, "%s: cannot open a window: %s\n", program, e.err.c_str());
        return false;
    }
}

bool window_is_open(const std::string& title)
{
    // Qt answers 0 for the visibility of a window closed through the window manager. GTK answers
    // -1 for it whether the window is open or not, but forgets a closed window: every property of a
    // window it does not know reads -1, while the size mode of an open one reads 0 or 1.
    // Qt throws when asked before it has made any window.
    try {
        return cv::getWindowProperty(title, cv::WND_PROP_VISIBLE) != 0
               && cv::getWindowProperty(title, cv::WND_PROP_AUTOSIZE) >= 0;
    } catch (const cv::Exception&) {
        return false;
    }
}

void close_window(const std::string& title)
{
    cv::destroyWindow(title);
    if (!windows_drawn_by_gtk())
        return;
    // GTK leaves the window's destruction in its connection's buffer until it next flushes it.
    // The programs do not link GTK (Qt's build of OpenCV does not need it), so its calls are looked
    // up among the libraries that OpenCV's GTK build loaded.
    using display_getter = void* (*)();
    using display_sync = void (*)(void*);
    const auto default_display =
        reinterpret_cast<display_getter>(dlsym(RTLD_DEFAULT, "gdk_display_get_default"));
    const auto sync = reinterpret_cast<display_sync>(dlsym(RTLD_DEFAULT, "gdk_display_sync"));
    void* display = default_display != nullptr ? default_display() : nullptr;
    if (display != nullptr && sync != nullptr)
        sync(display);
}

bool windows_drawn_by_gtk()
{
    // A GTK build of the window library has GTK among its own dependencies; Qt's does not, even
    // where Qt loads a GTK theme for its dialogs.
    static const bool gtk = [] {
        const std::string path = highgui_path();
        void* library = path.empty() ? RTLD_DEFAULT : dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (library == nullptr)
            return false;
        const bool found = dlsym(library, "gtk_init_check") != nullptr;
        if (library != RTLD_DEFAULT)
            dlclose(library);
        return found;
    }();
    return gtk;
}
