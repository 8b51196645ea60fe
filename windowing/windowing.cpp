#include "windowing.hpp"

#include "loaded_library.hpp"
#include "user_platform.hpp"

#include <dlfcn.h>
#include <opencv2/highgui.hpp>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The path of the loaded OpenCV window library, or "" when OpenCV is linked in statically.
std::string highgui_path()
{
    return loaded_library_path("libopencv_highgui");
}

bool x_display_reachable()
{
    // Xlib is looked up where it is installed, as a toolkit that draws on X has it, so that building
    // the programs needs OpenCV alone. The connection stays open for the life of the process: an X
    // server with no other client resets itself when the last one leaves, and the toolkit's own
    // connection, made right after, would then be refused.
    // Held in a variable of its own, so that a leak checker sees it kept, not lost.
    static void* const display = [] {
        void* xlib = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
        using open_display = void* (*)(const char*);
        const auto open =
            xlib != nullptr ? reinterpret_cast<open_display>(dlsym(xlib, "XOpenDisplay")) : nullptr;
        return open != nullptr ? open(nullptr) : nullptr;
    }();
    return display != nullptr;
}

std::string x_display_name()
{
    const char* name = std::getenv("DISPLAY");
    return name != nullptr ? name : "";
}

// The display a Wayland client connects to when it names none: WAYLAND_DISPLAY, "wayland-0" when
// that is unset, a socket in XDG_RUNTIME_DIR unless it is an absolute path.
std::string wayland_display_name()
{
    const char* name = std::getenv("WAYLAND_DISPLAY");
    return name != nullptr && *name != '\0' ? name : "wayland-0";
}

bool wayland_display_reachable()
{
    // A connection that the compositor handed to this process when it started it.
    if (std::getenv("WAYLAND_SOCKET") != nullptr)
        return true;
    const std::string name = wayland_display_name();
    const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
    if (name[0] != '/' && (runtime_dir == nullptr || *runtime_dir == '\0'))
        return false;
    const std::string path = name[0] == '/' ? name : std::string(runtime_dir) + "/" + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Connected and closed at once, as the toolkit's own connection comes later; a compositor has no
    // reason to mind a client that leaves.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

// Set when Qt was offered Wayland with a fallback: the platform that every Qt has, and that draws
// nowhere, is left to Qt only where it has no plugin for Wayland.
const char* const qt_wayland_or_fallback = "wayland;offscreen";
bool qt_offered_fallback = false;

// A platform the user chose is left to the toolkit when one of its list can start: one that draws
// on a display that is there, or on none that is checked here. Otherwise the line names the
// variable and each display it asked for.
bool chosen_platform_reachable(const char* program, const char* chosen)
{
    std::string missing;
    for (const platform_display display : chosen_displays(chosen, windows_drawn_by_gtk())) {
        if (display == platform_display::other
            || (display == platform_display::x ? x_display_reachable() : wayland_display_reachable()))
            return true;
        const std::string name = display == platform_display::x
                                     ? "no X display at '" + x_display_name() + "'"
                                     : "no Wayland display at '" + wayland_display_name() + "'";
        if (missing.find(name) == std::string::npos)
            missing += (missing.empty() ? "" : " and ") + name;
    }
    std::fprintf(stderr, "%s: cannot open a window: %s is '%s', and there is %s\n", program,
                 platform_variable(windows_drawn_by_gtk()), chosen, missing.c_str());
    return false;
}

} // namespace

// Qt loads each platform as a plugin of that name.
bool windows_drawn_nowhere(const char* program)
{
    if (!qt_offered_fallback || loaded_library_path("libqoffscreen").empty())
        return false;
    std::fprintf(
        stderr,
        "%s: cannot open a window: no X display at '%s', and Qt cannot draw on the Wayland display at "
        "'%s' (its plugin for Wayland is in Debian package %s)\n",
        program, x_display_name().c_str(), wayland_display_name().c_str(),
        loaded_library_path("libQt6Core").empty() ? "qtwayland5" : "qt6-wayland");
    return true;
}

bool display_reachable(const char* program)
{
    const char* chosen = std::getenv(platform_variable(windows_drawn_by_gtk()));
    if (chosen != nullptr && !chosen_displays(chosen, windows_drawn_by_gtk()).empty())
        return chosen_platform_reachable(program, chosen);
    if (x_display_reachable())
        return true;
    if (wayland_display_reachable()) {
        // Qt 5 goes to Wayland by itself only in a session that says it is a Wayland one; elsewhere
        // it would try X alone and abort. Qt tries the platforms of the list in turn.
        if (!windows_drawn_by_gtk())
            qt_offered_fallback = setenv("QT_QPA_PLATFORM", qt_wayland_or_fallback, 1) == 0;
        return true;
    }
    std::fprintf(stderr, "%s: cannot open a window: no X display at '%s' and no Wayland display at '%s'\n",
                 program, x_display_name().c_str(), wayland_display_name().c_str());
    return false;
}

void provide_runtime_dir()
{
    const char* named = std::getenv("XDG_RUNTIME_DIR");
    if (named != nullptr && *named != '\0')
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
    // Where Qt may fall back, what it says while it starts is held back: on a fallback the line
    // below says it all.
    std::FILE* held = qt_offered_fallback ? std::tmpfile() : nullptr;
    const int error_fd = held != nullptr ? dup(STDERR_FILENO) : -1;
    if (error_fd >= 0)
        dup2(fileno(held), STDERR_FILENO);
    std::string problem;
    try {
        cv::namedWindow(title, cv::WINDOW_AUTOSIZE);
    } catch (const cv::Exception& e) {
        problem = e.err;
    }
    if (error_fd >= 0) {
        dup2(error_fd, STDERR_FILENO);
        close(error_fd);
    }
    const bool fell_back = windows_drawn_nowhere(program);
    if (held != nullptr) {
        std::rewind(held);
        for (int c = std::fgetc(held); c != EOF && !fell_back; c = std::fgetc(held))
            std::fputc(c, stderr);
        std::fclose(held);
    }
    if (!problem.empty())
        std::fprintf(stderr, "%s: cannot open a window: %s\n", program, problem.c_str());
    return problem.empty() && !fell_back;
}

void keep_picture_size(const std::string& title, const cv::Mat& picture)
{
    // A library that cannot tell where the picture is answers an empty area: nothing is asked then.
    // Qt throws when asked about a window it does not know.
    try {
        const cv::Rect shown = cv::getWindowImageRect(title);
        if (shown.width > 0 && shown.height > 0
            && (shown.width < picture.cols || shown.height < picture.rows))
            cv::resizeWindow(title, picture.cols, picture.rows);
    } catch (const cv::Exception&) {
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

bool close_window(const std::string& title)
{
    if (!windows_drawn_by_gtk()) {
        // Qt's backend in OpenCV 5 throws once the window manager has closed its last window: it has
        // nothing left to destroy the window with, and the window is gone already.
        try {
            cv::destroyWindow(title);
        } catch (const cv::Exception&) {
        }
        // On Wayland Qt leaves the window's end in its connection's buffer until its event loop
        // next runs, and OpenCV runs that loop no more once its last window is gone; none of
        // OpenCV's calls runs it then, nor hides a window before. Qt's own sync runs it once: a C++
        // call, looked up by its mangled name in the Qt that OpenCV loaded (the programs do not
        // link Qt), the one such name here.
        const char* const sync_name = "_ZN15QGuiApplication4syncEv";
        void* sync = loaded_library_call("libQt5Gui.so.5", sync_name);
        if (sync == nullptr)
            sync = loaded_library_call("libQt6Gui.so.6", sync_name);
        if (sync != nullptr)
            reinterpret_cast<void (*)()>(sync)();
        return sync != nullptr;
    }
    // GTK forgets a window closed through the window manager, and destroying one it does not know
    // puts the library's complaint on standard error.
    try {
        if (cv::getWindowProperty(title, cv::WND_PROP_AUTOSIZE) < 0)
            return true;
        cv::destroyWindow(title);
    } catch (const cv::Exception&) {
        return true;
    }
    // GTK leaves the window's destruction in its connection's buffer until it next flushes it.
    // The programs do not link GTK (Qt's build of OpenCV does not need it), so its calls are looked
    // up in the GTK that OpenCV's window library loaded.
    const auto default_display =
        reinterpret_cast<void* (*)()>(loaded_library_call("libgtk-3.so.0", "gdk_display_get_default"));
    const auto sync =
        reinterpret_cast<void (*)(void*)>(loaded_library_call("libgtk-3.so.0", "gdk_display_sync"));
    void* display = default_display != nullptr ? default_display() : nullptr;
    if (display != nullptr && sync != nullptr)
        sync(display);
    return display != nullptr && sync != nullptr;
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
