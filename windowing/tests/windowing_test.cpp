// The window checks in-process, on whichever toolkit draws OpenCV's windows in this run.
#include "loaded_library.hpp"
#include "user_platform.hpp"
#include "windowing.hpp"
#include "xharness.hpp"

#include <gtest/gtest.h>
#include <opencv2/highgui.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace xh = xharness;

// Opens a window with a picture in it and waits until the picture is on screen; the toolkit maps
// and paints it only while it handles events. A compositor may list a window before it shows it.
xh::window_id shown_window(const std::string& title)
{
    if (!display_reachable("windowing_test") || !open_window("windowing_test", title))
        return 0;
    const cv::Mat picture(60, 80, CV_8UC3, cv::Scalar(40, 160, 220));
    cv::imshow(title, picture);
    xh::window_id window = 0;
    const bool shown = xh::wait_until(
        [&] {
            cv::pollKey();
            window = xh::find_window(title, std::chrono::milliseconds(0));
            return window != 0 && xh::find_exactly(xh::capture(window), picture).x >= 0;
        },
        xh::patience);
    return shown ? window : 0;
}

// The window library links its toolkit, so the toolkit's own libraries are mapped from the start.
TEST(Windowing, TellsWhichToolkitDrawsTheWindows)
{
    const std::string maps = xh::read_file("/proc/self/maps");
    const bool qt5 = maps.find("libQt5Widgets.so") != std::string::npos;
    const bool qt6 = maps.find("libQt6Widgets.so") != std::string::npos;
    const bool gtk = maps.find("libgtk-3.so") != std::string::npos;
    EXPECT_FALSE(qt5 && qt6) << "two releases of Qt in one process";
    EXPECT_EQ(windows_drawn_by_gtk(), gtk && !qt5 && !qt6);
    // tools/check names the toolkit that each of its rounds is meant to run on: gtk, qt for the Qt
    // of the system's OpenCV, or a Qt release, qt5 or qt6.
    if (const char* meant = std::getenv("CVTRIO_TOOLKIT")) {
        const std::string drawing = windows_drawn_by_gtk() ? "gtk" : qt6 ? "qt6" : "qt5";
        EXPECT_TRUE(meant == drawing || (std::string(meant) == "qt" && drawing != "gtk"))
            << "meant for " << meant << ", drawn by " << drawing;
    }
}

TEST(Windowing, AWindowIsOpenUntilTheWindowManagerClosesIt)
{
    const std::string title = "windowing test";
    EXPECT_FALSE(window_is_open(title)) << "never opened";
    const xh::window_id window = shown_window(title);
    ASSERT_NE(window, 0u);
    EXPECT_TRUE(window_is_open(title));
    xh::request_close(window);
    EXPECT_TRUE(xh::wait_until(
        [&] {
            cv::pollKey();
            return !window_is_open(title);
        },
        xh::patience));
    EXPECT_TRUE(close_window(title));
    EXPECT_FALSE(xh::window_exists(title));
}

TEST(Windowing, AClosedWindowLeavesTheScreen)
{
    const std::string title = "windowing test, closed";
    ASSERT_NE(shown_window(title), 0u);
    ASSERT_TRUE(close_window(title)) << "the toolkit's call that sends the window's end was not found";
    // No event is handled after this, so the window goes only if close_window sent its end to the
    // display server. A compositor handles that end in its own time, after what it was busy with.
    EXPECT_TRUE(xh::wait_until([&] { return !xh::window_exists(title); }, xh::patience))
        << "still there without the program handling events after close_window";
}

// Without XDG_RUNTIME_DIR (root's session, or under sudo) a program's window opens without a word
// from the toolkit. rectsketch stands for the three programs, which open their windows alike.
TEST(Windowing, AProgramWithoutARuntimeDirectoryOpensItsWindowSilently)
{
    const std::string tmp = xh::make_temp_dir();
    xh::child_process child = xh::spawn({RECTSKETCH_PATH}, {"XDG_RUNTIME_DIR", "TMPDIR=" + tmp});
    const xh::window_id window = xh::find_window("Box Example", xh::patience);
    // A key is taken once the canvas shows.
    const cv::Mat canvas = cv::Mat::zeros(200, 200, CV_8UC3);
    const bool shown =
        window != 0
        && xh::wait_until([&] { return xh::find_exactly(xh::capture(window), canvas).x >= 0; }, xh::patience);
    EXPECT_TRUE(shown) << xh::read_file(child.err_path);
    if (shown)
        xh::key(window, "Escape");
    EXPECT_EQ(xh::wait_exit(child, xh::patience), 0);
    EXPECT_EQ(xh::read_file(child.err_path), "");
    xh::remove_tree(tmp);
}

// The lists the toolkits read, as Qt and GTK document them: Qt's separated by ';', options after
// ':', plugins for Wayland named wayland-*; GTK's separated by ',', '*' for each of its backends.
TEST(Windowing, TellsWhatAChosenPlatformDrawsOn)
{
    using d = platform_display;
    const std::vector<std::tuple<std::string, bool, std::vector<d>>> rows{
        {"wayland", false, {d::wayland}},
        {"xcb", false, {d::x}},
        {"wayland;xcb", false, {d::wayland, d::x}},
        {"wayland-egl", false, {d::wayland}},
        {"XCB:display=:1;offscreen", false, {d::x, d::other}},
        {"offscreen", false, {d::other}},
        {"minimal", false, {d::other}},
        {";", false, {}},
        {"wayland", true, {d::wayland}},
        {"x11", true, {d::x}},
        {"wayland,x11", true, {d::wayland, d::x}},
        {"*", true, {d::wayland, d::x}},
        {"broadway", true, {d::other}},
        {"wayland;xcb", true, {d::other}}};
    for (const auto& [choice, gtk, displays] : rows)
        EXPECT_EQ(chosen_displays(choice, gtk), displays) << platform_variable(gtk) << "=" << choice;
    EXPECT_STREQ(platform_variable(true), "GDK_BACKEND");
    EXPECT_STREQ(platform_variable(false), "QT_QPA_PLATFORM");
}

// Qt is sent to Wayland only where there is no X display and nothing was chosen for it. There,
// where Qt has no plugin for Wayland (Qt pointed by a qt.conf beside the program at a plugin
// folder without it), the program says in one line which package it needs, and ends.
TEST(Windowing, QtSentToWaylandWithoutItsPluginNamesThePackage)
{
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    const std::string chosen_before = chosen != nullptr ? chosen : "(none)";
    const std::string title = "windowing test, plugin";
    ASSERT_NE(shown_window(title), 0u);
    close_window(title);
    chosen = std::getenv("QT_QPA_PLATFORM");
    if (windows_drawn_by_gtk() || std::getenv("DISPLAY") != nullptr || chosen_before != "(none)") {
        EXPECT_EQ(chosen != nullptr ? chosen : "(none)", chosen_before)
            << "the toolkit's platform was chosen here";
        return;
    }
    const std::filesystem::path platforms =
        std::filesystem::path(loaded_library_path("libqwayland")).parent_path();
    ASSERT_FALSE(platforms.empty()) << "Qt drew the window without its Wayland plugin";
    // Copies of the programs beside a qt.conf of their own, which points Qt at a plugin folder
    // that holds the platform every Qt has and nothing for Wayland.
    const std::filesystem::path without = xh::make_temp_dir();
    std::filesystem::create_directories(without / "plugins" / "platforms");
    std::filesystem::copy_file(platforms / "libqoffscreen.so",
                               without / "plugins" / "platforms" / "libqoffscreen.so");
    std::ofstream(without / "qt.conf") << "[Paths]\nPlugins = " << (without / "plugins").string() << "\n";
    for (const char* program : {RECTSKETCH_PATH, FRAMEFILTER_PATH})
        std::filesystem::copy_file(program, without / std::filesystem::path(program).filename());
    // framefilter opens its windows its own way; any file passes its checks before the windows.
    const std::vector<std::vector<std::string>> commands = {{"rectsketch"}, {"framefilter", RECTSKETCH_PATH}};
    for (auto command : commands) {
        const std::string program = command[0];
        command[0] = (without / program).string();
        const xh::finished_run run = xh::run_to_end(
            command, {"QT_QPA_PLATFORM", "QT_PLUGIN_PATH", xh::runtime_dir_setting()}, xh::patience);
        EXPECT_EQ(run.status, 1) << program << ": " << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_NE(run.err.find(program + ": cannot open a window: no X display"), std::string::npos)
            << run.err;
        EXPECT_TRUE(run.err.find("qtwayland5") != std::string::npos
                    || run.err.find("qt6-wayland") != std::string::npos)
            << run.err;
    }
    xh::remove_tree(without);
}

} // namespace
