#include "windowing.hpp"

#include "loaded_library.hpp"

#include <X11/Xlib.h>
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
#include <filesystem>
#include <sstream>
#include <vector>

namespace {

// The path of the loaded OpenCV window library, or "" when OpenCV is linked in statically.
std::string highgui_path()
{
    return loaded_library_path("libopencv_highgui");
}

// A platform that the user chose for the toolkit (QT_QPA_PLATFORM, GDK_BACKEND) is left to the
// toolkit, unless it is X.
const char* chosen_platform()
{
    const char* platform = std::getenv(windows_drawn_by_gtk() ? "GDK_BACKEND" : "QT_QPA_PLATFORM");
    return platform != nullptr && *platform != '\0' ? platform : nullptr;
}

bool x_chosen(const char* platform)
{
    const char* x = windows_drawn_by_gtk() ? "x11" : "xcb";
    return std::strncmp(platform, x, std::strlen(x)) == 0;
}

bool x_display_reachable()
{
    // The connection stays open for the life of the process: an X server with no other client
    // resets itself when the last one leaves, and the toolkit's own connection, made right after,
    // would then be refused.
    static Display* display = XOpenDisplay(nullptr);
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

bool has_wayland_plugin(const std::filesystem::path& platforms_folder)
{
    std::error_code error;
    for (std::filesystem::directory_iterator entry(platforms_folder, error), end; !error && entry != end;
         entry.increment(error))
        if (entry->path().filename().string().rfind("libqwayland", 0) == 0)
            return true;
    return false;
}

struct qt_release {
    const char* folder;          // of its plugins, beside its libraries
    const char* core_library;    // the start of its core library's file name
    const char* wayland_package; // the Debian package of its Wayland plugin
};
const qt_release qt_releases[] = {{"qt5", "libQt5Core", "qtwayland5"}, {"qt6", "libQt6Core", "qt6-wayland"}};

// The Qt release that OpenCV's window library loaded, or nullptr.
const qt_release* loaded_qt()
{
    for (const qt_release& qt : qt_releases)
        if (!loaded_library_path(qt.core_library).empty())
            return &qt;
    return nullptr;
}

// Whether Qt has a plugin to draw on Wayland. Qt looks for its platform plugins in
// QT_QPA_PLATFORM_PLUGIN_PATH, in the folders of QT_PLUGIN_PATH and in the one it was built with:
// "qt5/plugins" (or qt6) beside its libraries in Debian's and Fedora's layout, "../plugins" in Qt's
// own.
bool qt_has_wayland_plugin()
{
    std::vector<std::filesystem::path> folders;
    if (const char* platforms = std::getenv("QT_QPA_PLATFORM_PLUGIN_PATH"))
        folders.emplace_back(platforms);
    if (const char* listed = std::getenv("QT_PLUGIN_PATH")) {
        std::istringstream entries(listed);
        for (std::string entry; std::getline(entries, entry, ':');)
            if (!entry.empty())
                folders.push_back(std::filesystem::path(entry) / "platforms");
    }
    if (const qt_release* qt = loaded_qt()) {
        const std::filesystem::path library_dir =
            std::filesystem::path(loaded_library_path(qt->core_library)).parent_path();
        folders.push_back(library_dir / qt->folder / "plugins" / "platforms");
        folders.push_back(library_dir.parent_path() / "plugins" / "platforms");
    }
    for (const auto& folder : folders)
        if (has_wayland_plugin(folder))
            return true;
    return false;
}

} // namespace

bool display_reachable(const char* program)
{
    const char* platform = chosen_platform();
    if (platform != nullptr && !x_chosen(platform))
        return true;
    if (x_display_reachable())
        return true;
    if (platform == nullptr && wayland_display_reachable()) {
        if (windows_drawn_by_gtk())
            return true;
        // Qt 5 goes to Wayland by itself only where the session says it is a Wayland one, and not
        // on GNOME's; elsewhere it would try X alone and abort.
        if (qt_has_wayland_plugin())
            return setenv("QT_QPA_PLATFORM", "wayland", 1) == 0;
        const auto* qt = loaded_qt();
        std::fprintf(stderr,
                     "%s: cannot open a window: no X display at '%s', and Qt has no plugin for the Wayland "
                     "display at '%s' (Debian package %s)\n",
                     program, x_display_name().c_str(), wayland_display_name().c_str(),
                     qt != nullptr ? qt->wayland_package : "qtwayland5");
        return false;
    }
    if (platform != nullptr)
        std::fprintf(stderr, "%s: cannot open a window: no X display at '%s'\n", program,
                     x_display_name().c_str());
    else
        std::fprintf(stderr,
                     "%s: cannot open a window: no X display at '%s' and no Wayland display at '%s'\n",
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
    if (!windows_drawn_by_gtk()) {
        // Qt's backend in OpenCV 5 throws once the window manager has closed its last window: it has
        // nothing left to destroy the window with, and the window is gone already.
        try {
            cv::destroyWindow(title);
        } catch (const cv::Exception&) {
        }
        // On Wayland Qt leaves the window's end in its connection's buffer until its event loop
        // next runs, and OpenCV runs that loop no more once its last window is gone. Qt's own sync
        // runs it once. Looked up, as the programs do not link Qt themselves.
        using qt_sync = void (*)();
        if (const auto sync = reinterpret_cast<qt_sync>(dlsym(RTLD_DEFAULT, "_ZN15QGuiApplication4syncEv")))
            sync();
        return;
    }
    // GTK forgets a window closed through the window manager, and destroying one it does not know
    // puts the library's complaint on standard error.
    try {
        if (cv::getWindowProperty(title, cv::WND_PROP_AUTOSIZE) < 0)
            return;
        cv::destroyWindow(title);
    } catch (const cv::Exception&) {
        return;
    }
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
