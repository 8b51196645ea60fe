// Test support: files and folders, pixel comparison, and the real programs in real windows:
// start them, find their windows on the X server named by DISPLAY (Xvfb in the test run), drive
// them with XTest input and read their pixels back; or the same on a Wayland compositor (sway,
// started by tools/on-wayland) when only WAYLAND_DISPLAY is set.
#pragma once

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace xharness {

// How long a test waits for what normally takes a moment (a window to appear, a picture to show
// or a program to end) before it gives up: generous, so that a machine four times slower than a
// loaded 2-core one, or one core shared with a busy loop, still passes.
inline constexpr std::chrono::seconds patience{20};

// An X window id, or sway's container id on Wayland; Xlib.h stays out of this header, its macros
// clash with GoogleTest.
using window_id = unsigned long;

struct child_process {
    int pid = -1;
    std::string out_path; // the child's standard output, captured to a file
    std::string err_path; // the child's standard error
};

// A child's standard streams: by default input is /dev/null and output and error go to the files
// of child_process; a descriptor given here is handed over instead, and closed_stream starts the
// child without that stream.
inline constexpr int default_stream = -1;
inline constexpr int closed_stream = -2;
struct standard_streams {
    int in = default_stream;
    int out = default_stream;
    int err = default_stream;
};

// Starts `argv` with the test's environment, changed by `env`: "NAME=value" sets, "NAME" unsets.
child_process spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                    const standard_streams& streams = {});

// Waits for the child to end and returns its exit status, 128 + signal when a signal ended it,
// or -1 when it was still running after `timeout` (it is then killed).
int wait_exit(child_process& child, std::chrono::milliseconds timeout);
// Whether the child is still running; an ended child keeps its status for wait_exit.
bool still_running(const child_process& child);
// What the child's descriptor `fd` refers to, as /proc shows it ("/dev/null", "socket:[123]", a
// path), or "" when it has none open under that number.
std::string descriptor_target(const child_process& child, int fd);
// Kills a child that is still running; tests call it on the way out so no program outlives them.
void stop(child_process& child);

// A program run to its end: its exit status (as wait_exit gives it) and what it wrote.
struct finished_run {
    int status = -1;
    std::string out;
    std::string err;
};
finished_run run_to_end(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        std::chrono::milliseconds timeout);

// Success when `argv`, started with no X display named and with one that is not there, and a
// Wayland display that is not there either, ends with status 1, nothing on standard output and one
// line on standard error that names both displays; and likewise, with QT_QPA_PLATFORM and
// GDK_BACKEND set to platforms on those displays, a line that names the variable.
::testing::AssertionResult fails_without_display(const std::vector<std::string>& argv);

// Files and folders. read_file and file_size give "" and 0 for a file that cannot be read.
std::string read_file(const std::string& path);
void write_bytes(const std::string& path, const std::string& bytes);
std::size_t file_size(const std::string& path);
// A fresh directory under TMPDIR (or /tmp), or "" when none can be made; remove_tree removes it.
std::string make_temp_dir();
void remove_tree(const std::string& path);
// A fresh path in a directory of this test process that is removed when the process exits.
std::string unique_temp_path(const std::string& stem);

// "XDG_RUNTIME_DIR=DIR" (an environment change for spawn) naming a private folder of this test
// process: a desktop session has one, and without it Qt adds a complaint of its own to a program's
// standard error.
std::string runtime_dir_setting();

// Same size, same type and every pixel equal.
bool same_pixels(const cv::Mat& a, const cv::Mat& b);

// Polls `done` every 20 ms until it holds or `timeout` passes; returns its last answer.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// The viewable top-level window titled `title`, or 0 when none appears within `timeout`.
window_id find_window(const std::string& title, std::chrono::milliseconds timeout);
bool window_exists(const std::string& title);
// How many top-level windows are on screen: a popup menu opening or closing changes it on X. On
// Wayland a menu is a popup of its window, not a window of its own, and is not counted.
int viewable_top_level_windows();

// The window's pixels as a BGR image, its position on the screen, and the area it covers there.
cv::Mat capture(window_id window);
cv::Point screen_origin(window_id window);
cv::Rect screen_rect(window_id window);

// The pixels of a window that the installed library opens as the programs do and shows nothing in,
// once painted and still; started with the test's environment changed by `env` (see spawn). Empty
// when none settled within `timeout`. The window is closed again on return.
cv::Mat empty_window_pixels(const std::vector<std::string>& env, std::chrono::milliseconds timeout);

// Where `needle` appears exactly inside `haystack`, or (-1, -1).
cv::Point find_exactly(const cv::Mat& haystack, const cv::Mat& needle);

// Input: XTest on X, a virtual pointer and a virtual keyboard on Wayland. Coordinates are
// screen coordinates; buttons are X's (1 left, 2 middle, 3 right).
void move_pointer(cv::Point screen);
void press_button(int button);
void release_button(int button);
void click(cv::Point screen, int button = 1);
// A keysym that no key produces (braille_dots_1245, say) is first given to a spare key code (on
// Wayland the virtual keyboard's keymap gets a key for it).
// `focus` 0 focuses no window: the key then reaches only a window that holds the keyboard, such as
// an open menu.
void key(window_id focus, const std::string& keysym_name);

// Presses `keysym` in `window` until the child ends, again each second while it runs, for at most
// `patience`, and returns its exit status as wait_exit gives it. For a program that ends on the first
// key it gets: a key pressed just as a window appears is now and then lost before it reaches the
// window (seen on Debian 13 under load, outside the programs).
int end_with_key(child_process& child, window_id window, const std::string& keysym_name);

// Asks the window to close, as a window manager's close button does (WM_DELETE_WINDOW; sway's kill).
void request_close(window_id window);
void raise(window_id window);

// Moves a top-level window so that its top-left corner is at `screen` (no window manager runs on
// X; on Wayland the windows float).
void move_window(window_id window, cv::Point screen);

} // namespace xharness
