#include "xharness.hpp"
#include "wayland_backend.hpp"

#include <opencv2/imgproc.hpp>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

extern char** environ;

namespace xharness {

namespace {

// The display named by DISPLAY; the test fails when there is none.
Display* display();

std::vector<std::string> changed_environment(const std::vector<std::string>& changes)
{
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry)
        result.emplace_back(*entry);
    for (const std::string& change : changes) {
        const std::string name = change.substr(0, change.find('='));
        std::erase_if(result,
                      [&](const std::string& e) { return e.compare(0, name.size() + 1, name + "=") == 0; });
        if (change.find('=') != std::string::npos)
            result.push_back(change);
    }
    return result;
}

std::vector<char*> c_strings(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (std::string& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

std::string window_name(Display* d, Window w)
{
    char* name = nullptr;
    if (XFetchName(d, w, &name) == 0 || name == nullptr)
        return {};
    std::string result(name);
    XFree(name);
    return result;
}

Window search(Display* d, Window parent, const std::string& title)
{
    Window root_return = 0;
    Window parent_return = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(d, parent, &root_return, &parent_return, &children, &count) == 0)
        return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(d, children[i], &attributes) != 0 && attributes.map_state == IsViewable
            && window_name(d, children[i]) == title)
            found = children[i];
        else
            found = search(d, children[i], title);
    }
    if (children != nullptr)
        XFree(children);
    return found;
}

int ignore_x_errors(Display*, XErrorEvent*)
{
    return 0;
}

} // namespace

child_process spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                    const standard_streams& streams)
{
    // A program finds the seat's pointer only if it is there when the program starts.
    if (wayland::chosen())
        wayland::prepare_input();
    child_process child;
    child.out_path = unique_temp_path("stdout");
    child.err_path = unique_temp_path("stderr");
    std::vector<std::string> args = argv;
    std::vector<std::string> environment = changed_environment(env);
    std::vector<char*> c_args = c_strings(args);
    std::vector<char*> c_env = c_strings(environment);
    const pid_t pid = fork();
    if (pid == 0) {
        const auto source = [](int chosen, const std::string& default_path, int flags) {
            return chosen == default_stream ? open(default_path.c_str(), flags, 0644) : chosen;
        };
        const int sources[] = {source(streams.in, "/dev/null", O_RDONLY),
                               source(streams.out, child.out_path, O_WRONLY | O_CREAT | O_TRUNC),
                               source(streams.err, child.err_path, O_WRONLY | O_CREAT | O_TRUNC)};
        for (int fd = 0; fd <= 2; ++fd) {
            if (sources[fd] == closed_stream)
                close(fd);
            else
                dup2(sources[fd], fd);
        }
        execve(c_args[0], c_args.data(), c_env.data());
        _exit(127);
    }
    child.pid = pid;
    return child;
}

int wait_exit(child_process& child, std::chrono::milliseconds timeout)
{
    if (child.pid <= 0)
        return -1;
    int status = 0;
    const bool ended = wait_until([&] { return waitpid(child.pid, &status, WNOHANG) == child.pid; }, timeout);
    if (!ended) {
        stop(child);
        return -1;
    }
    child.pid = -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

bool still_running(const child_process& child)
{
    // WNOWAIT leaves an ended child's status for wait_exit to collect.
    siginfo_t info{};
    return child.pid > 0
           && waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0
           && info.si_pid == 0;
}

std::string descriptor_target(const child_process& child, int fd)
{
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(
        "/proc/" + std::to_string(child.pid) + "/fd/" + std::to_string(fd), error);
    return error ? "" : target.string();
}

void stop(child_process& child)
{
    if (child.pid <= 0)
        return;
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
    child.pid = -1;
}

finished_run run_to_end(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        std::chrono::milliseconds timeout)
{
    child_process child = spawn(argv, env);
    finished_run run;
    run.status = wait_exit(child, timeout);
    run.out = read_file(child.out_path);
    run.err = read_file(child.err_path);
    return run;
}

::testing::AssertionResult fails_without_display(const std::vector<std::string>& argv)
{
    // Neither an X display nor a Wayland one: none named, then ones that are not there, with the
    // toolkit left to choose its platform. The private runtime folder holds no compositor socket
    // that the toolkit could find by itself. The line names both displays.
    const std::string wayland = "cvtrio-no-such-wayland-display";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"DISPLAY", "WAYLAND_DISPLAY", runtime_dir_setting(), "QT_QPA_PLATFORM", "GDK_BACKEND"},
         "wayland-0"},
        {{"DISPLAY=:987", "WAYLAND_DISPLAY=" + wayland, runtime_dir_setting(), "QT_QPA_PLATFORM",
          "GDK_BACKEND"},
         wayland}};
    for (const auto& [env, wayland_name] : cases) {
        const finished_run run = run_to_end(argv, env, patience);
        if (run.status != 1 || !run.out.empty() || run.err.find("X display") == std::string::npos
            || run.err.find("Wayland display at '" + wayland_name + "'") == std::string::npos
            || std::count(run.err.begin(), run.err.end(), '\n') != 1)
            return ::testing::AssertionFailure()
                   << "with " << env[0] << ": status " << run.status << ", standard output \"" << run.out
                   << "\", standard error \"" << run.err << "\"";
    }
    // A platform the user chose (a Wayland user's QT_QPA_PLATFORM or GDK_BACKEND, carried into an
    // ssh session) that neither display serves: the line names the variable of the toolkit that
    // draws, and what its list asked for. Each pair is alike for Qt and GTK.
    const std::vector<std::tuple<std::string, std::string, std::string>> chosen{
        {"wayland", "wayland", "Wayland display at '" + wayland + "'"},
        {"xcb", "x11", "X display at ':987'"},
        {"wayland;xcb", "wayland,x11", "Wayland display at '" + wayland + "' and no X display at ':987'"},
        {"wayland-egl", "*", "Wayland display at '" + wayland + "'"}};
    for (const auto& [qt, gdk, displays] : chosen) {
        const finished_run run =
            run_to_end(argv,
                       {"DISPLAY=:987", "WAYLAND_DISPLAY=" + wayland, runtime_dir_setting(),
                        "QT_QPA_PLATFORM=" + qt, "GDK_BACKEND=" + gdk},
                       patience);
        const bool named = run.err.find("QT_QPA_PLATFORM is '" + qt + "'") != std::string::npos
                           || run.err.find("GDK_BACKEND is '" + gdk + "'") != std::string::npos;
        if (run.status != 1 || !run.out.empty() || !named || run.err.find(displays) == std::string::npos
            || std::count(run.err.begin(), run.err.end(), '\n') != 1)
            return ::testing::AssertionFailure()
                   << "with QT_QPA_PLATFORM=" << qt << " GDK_BACKEND=" << gdk << ": status " << run.status
                   << ", standard output \"" << run.out << "\", standard error \"" << run.err << "\"";
    }
    return ::testing::AssertionSuccess();
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_bytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::size_t file_size(const std::string& path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::size_t>(size);
}

std::string make_temp_dir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/cvtrio-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        return {};
    return pattern;
}

void remove_tree(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string unique_temp_path(const std::string& stem)
{
    // One directory per test process, removed when it exits, holds every path handed out. It is
    // never destroyed, so it is still there for the exit handler.
    static const std::filesystem::path* dir = [] {
        const std::string made = make_temp_dir();
        if (made.empty())
            return new std::filesystem::path(std::filesystem::temp_directory_path());
        std::atexit([] { remove_tree(dir->string()); });
        return new std::filesystem::path(made);
    }();
    static int counter = 0;
    return (*dir / (std::to_string(++counter) + "-" + stem)).string();
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

namespace {
Display* display()
{
    static Display* d = nullptr;
    if (d == nullptr) {
        // An X server whose last client has just left resets itself and refuses connections for
        // a moment (the program of the test before may have been that client).
        wait_until(
            [&] {
                d = XOpenDisplay(nullptr);
                return d != nullptr;
            },
            patience);
        if (d == nullptr) {
            std::fprintf(stderr, "xharness: no X display to test on: run under Xvfb (tools/check does)\n");
            std::exit(1);
        }
        // Windows of the programs under test may vanish between two requests.
        XSetErrorHandler(ignore_x_errors);
    }
    return d;
}

} // namespace

window_id find_window(const std::string& title, std::chrono::milliseconds timeout)
{
    if (wayland::chosen()) {
        window_id found = 0;
        wait_until([&] { return (found = wayland::find_window(title)) != 0; }, timeout);
        return found;
    }
    window_id found = 0;
    wait_until(
        [&] {
            found = search(display(), DefaultRootWindow(display()), title);
            return found != 0;
        },
        timeout);
    return found;
}

bool window_exists(const std::string& title)
{
    if (wayland::chosen())
        return wayland::find_window(title) != 0;
    return search(display(), DefaultRootWindow(display()), title) != 0;
}

int viewable_top_level_windows()
{
    if (wayland::chosen())
        return wayland::top_level_windows();
    Display* d = display();
    Window root_return = 0;
    Window parent_return = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(d, DefaultRootWindow(d), &root_return, &parent_return, &children, &count) == 0)
        return 0;
    int viewable = 0;
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        viewable +=
            XGetWindowAttributes(d, children[i], &attributes) != 0 && attributes.map_state == IsViewable;
    }
    if (children != nullptr)
        XFree(children);
    return viewable;
}

cv::Mat capture(window_id window)
{
    if (wayland::chosen())
        return wayland::capture(window);
    // Read from the screen, not the window: under a window manager the window sits in a frame
    // that may clip it, and X refuses to read a window that is not wholly visible. Only the part
    // that its ancestors leave visible is read; the rest reads as `hidden`, a colour no test
    // picture uses, so that nothing is found there.
    const cv::Vec3b hidden(3, 2, 1);
    Display* d = display();
    XWindowAttributes attributes;
    if (XGetWindowAttributes(d, window, &attributes) == 0 || attributes.map_state != IsViewable)
        return {};
    const cv::Rect area(screen_origin(window), cv::Size(attributes.width, attributes.height));
    cv::Rect visible = area;
    for (Window w = window, root = 0, parent = 0; w != DefaultRootWindow(d); w = parent) {
        Window* children = nullptr;
        unsigned count = 0;
        if (XQueryTree(d, w, &root, &parent, &children, &count) == 0)
            return {};
        if (children != nullptr)
            XFree(children);
        XWindowAttributes parent_attributes;
        if (XGetWindowAttributes(d, parent, &parent_attributes) == 0)
            return {};
        visible &=
            cv::Rect(screen_origin(parent), cv::Size(parent_attributes.width, parent_attributes.height));
    }
    if (visible.empty())
        return {};
    XImage* image =
        XGetImage(d, DefaultRootWindow(d), visible.x, visible.y, static_cast<unsigned>(visible.width),
                  static_cast<unsigned>(visible.height), AllPlanes, ZPixmap);
    if (image == nullptr)
        return {};
    cv::Mat bgr(area.size(), CV_8UC3, hidden);
    const cv::Point offset = visible.tl() - area.tl();
    for (int y = 0; y < visible.height; ++y)
        for (int x = 0; x < visible.width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            bgr.at<cv::Vec3b>(y + offset.y, x + offset.x) =
                cv::Vec3b(pixel & 0xff, (pixel >> 8) & 0xff, (pixel >> 16) & 0xff);
        }
    XDestroyImage(image);
    return bgr;
}

cv::Point screen_origin(window_id window)
{
    if (wayland::chosen())
        return wayland::screen_rect(window).tl();
    Display* d = display();
    int x = 0;
    int y = 0;
    Window child = 0;
    XTranslateCoordinates(d, window, DefaultRootWindow(d), 0, 0, &x, &y, &child);
    return {x, y};
}

cv::Rect screen_rect(window_id window)
{
    if (wayland::chosen())
        return wayland::screen_rect(window);
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display(), window, &attributes) == 0)
        return {};
    return {screen_origin(window), cv::Size(attributes.width, attributes.height)};
}

std::string runtime_dir_setting()
{
    static const std::string setting = [] {
        const std::string dir = unique_temp_path("runtime");
        mkdir(dir.c_str(), 0700);
        return "XDG_RUNTIME_DIR=" + dir;
    }();
    return setting;
}

bool same_pixels(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

cv::Point find_exactly(const cv::Mat& haystack, const cv::Mat& needle)
{
    if (haystack.empty() || needle.empty() || needle.cols > haystack.cols || needle.rows > haystack.rows)
        return {-1, -1};
    cv::Mat score;
    cv::matchTemplate(haystack, needle, score, cv::TM_SQDIFF);
    double best = 0;
    cv::Point where;
    cv::minMaxLoc(score, &best, nullptr, &where);
    // The score is computed in floating point: confirm the candidate byte for byte.
    const cv::Mat candidate = haystack(cv::Rect(where, needle.size()));
    return cv::norm(candidate, needle, cv::NORM_INF) == 0 ? where : cv::Point(-1, -1);
}

void move_pointer(cv::Point screen)
{
    if (wayland::chosen())
        return wayland::move_pointer(screen);
    XTestFakeMotionEvent(display(), -1, screen.x, screen.y, CurrentTime);
    XSync(display(), False);
}

void press_button(int button)
{
    if (wayland::chosen())
        return wayland::set_button(button, true);
    XTestFakeButtonEvent(display(), button, True, CurrentTime);
    XSync(display(), False);
}

void release_button(int button)
{
    if (wayland::chosen())
        return wayland::set_button(button, false);
    XTestFakeButtonEvent(display(), button, False, CurrentTime);
    XSync(display(), False);
}

void click(cv::Point screen, int button)
{
    move_pointer(screen);
    press_button(button);
    release_button(button);
}

namespace {

// The key code that produces `sym`; one with no keysyms of its own is given it when none does.
KeyCode keycode_for(Display* d, KeySym sym)
{
    static std::vector<std::pair<KeySym, KeyCode>> assigned;
    for (const auto& [s, code] : assigned)
        if (s == sym)
            return code;
    KeyCode code = XKeysymToKeycode(d, sym);
    if (code != 0)
        return code;
    int first = 0;
    int last = 0;
    int per_code = 0;
    XDisplayKeycodes(d, &first, &last);
    KeySym* map = XGetKeyboardMapping(d, static_cast<KeyCode>(first), last - first + 1, &per_code);
    for (int c = last; c >= first && code == 0; --c)
        if (std::all_of(map + (c - first) * per_code, map + (c - first + 1) * per_code,
                        [](KeySym s) { return s == NoSymbol; })
            && std::none_of(assigned.begin(), assigned.end(), [&](const auto& a) { return a.second == c; }))
            code = static_cast<KeyCode>(c);
    XFree(map);
    if (code != 0) {
        XChangeKeyboardMapping(d, code, 1, &sym, 1);
        XSync(d, False);
        assigned.emplace_back(sym, code);
    }
    return code;
}

} // namespace

void key(window_id focus, const std::string& keysym_name)
{
    if (wayland::chosen())
        return wayland::key(focus, keysym_name);
    Display* d = display();
    XSetInputFocus(d, focus, RevertToParent, CurrentTime);
    const KeyCode code = keycode_for(d, XStringToKeysym(keysym_name.c_str()));
    XTestFakeKeyEvent(d, code, True, CurrentTime);
    XTestFakeKeyEvent(d, code, False, CurrentTime);
    XSync(d, False);
}

int end_with_key(child_process& child, window_id window, const std::string& keysym_name)
{
    const auto give_up = std::chrono::steady_clock::now() + patience;
    do
        key(window, keysym_name);
    while (!wait_until([&] { return !still_running(child); }, std::chrono::seconds(1))
           && std::chrono::steady_clock::now() < give_up);
    return wait_exit(child, patience);
}

void request_close(window_id window)
{
    if (wayland::chosen())
        return wayland::request_close(window);
    Display* d = display();
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, window, False, NoEventMask, &event);
    XSync(d, False);
}

void raise(window_id window)
{
    if (wayland::chosen())
        return wayland::raise(window);
    XRaiseWindow(display(), window);
    XSync(display(), False);
}

void move_window(window_id window, cv::Point screen)
{
    if (wayland::chosen())
        return wayland::move_window(window, screen);
    XMoveWindow(display(), window, screen.x, screen.y);
    XSync(display(), False);
}

cv::Mat empty_window_pixels(const std::vector<std::string>& env, std::chrono::milliseconds timeout)
{
    const std::string title = "empty window of the library";
    child_process child = spawn({EMPTY_WINDOW_PATH, title}, env);
    cv::Mat settled;
    const window_id window = find_window(title, timeout);
    if (window != 0) {
        // Painted and the same twice in a row. Qt paints a toolbar and a grey picture area, so
        // its window is painted once it is not all black; GTK's empty window is all black.
        const bool black_when_painted = read_file(child.out_path) == "gtk\n";
        cv::Mat previous;
        wait_until(
            [&] {
                const cv::Mat pixels = capture(window);
                if (!pixels.empty() && (black_when_painted || cv::countNonZero(pixels.reshape(1)) > 0)
                    && same_pixels(previous, pixels))
                    settled = pixels;
                previous = pixels;
                return !settled.empty();
            },
            timeout);
    }
    stop(child);
    // Gone from the screen before the caller puts its own window where this one was.
    wait_until([&] { return !window_exists(title); }, timeout);
    return settled;
}

} // namespace xharness
