// What the programs ask of the window system around OpenCV's windows: whether there is a display
// to open them on, whether one is still open, how to close one, and which toolkit draws them.
// OpenCV draws with Qt in Debian's build and with GTK in a build from source by default; both
// answer here alike.
#pragma once

#include <opencv2/core.hpp>

#include <string>

// True when the program can open its windows: on an X display or a Wayland display, whichever the
// toolkit picks when both are there. Qt is sent to Wayland when there is no X display, with a
// fallback that open_window reports. A platform the user chose for the toolkit (QT_QPA_PLATFORM,
// GDK_BACKEND) is kept, and must have a display of its list there. Otherwise says so in one line on
// standard error, "PROGRAM: cannot open a window: no X display at 'NAME' and no Wayland display at
// 'NAME'", or "PROGRAM: cannot open a window: VARIABLE is 'VALUE', and there is no ... display at
// 'NAME'", and returns false: Qt aborts the process when it cannot reach its display, and GTK makes
// OpenCV throw.
bool display_reachable(const char* program);

// Qt wants a private runtime directory. Without XDG_RUNTIME_DIR (root's session, sudo) it makes
// TMPDIR/runtime-USER itself and says so on standard error; this makes that same directory and
// names it in XDG_RUNTIME_DIR, so that the toolkit starts without a word. Call it before the first
// window opens; open_window does. GTK on X makes do without the variable, but on Wayland it cannot
// start without one, so both toolkits get it.
void provide_runtime_dir();

// Opens the window titled `title`, sized to its picture. When the toolkit cannot start (GTK on a
// platform it cannot reach makes OpenCV throw; Qt sent to Wayland without its plugin for it falls
// back to drawing nowhere), says so in one line on standard error, "PROGRAM: cannot open a window:
// WHY", and returns false.
bool open_window(const char* program, const std::string& title);

// After a window was opened without open_window: true when the toolkit draws it nowhere (Qt, sent
// to Wayland without its plugin for it, fell back), and then says so in one line on standard error
// as open_window does.
bool windows_drawn_nowhere(const char* program);

// Whether the window titled `title` is still open: false once it was closed through the window
// manager or destroyed. Showing a picture into a closed window would open it again.
bool window_is_open(const std::string& title);

// Call after each cv::imshow into a window opened with cv::WINDOW_AUTOSIZE: when the window shows
// its picture smaller than the picture is, asks for the picture's size again. Qt 6.8 on Wayland
// takes a size that the compositor sent the window before the window grew to its first picture
// (sway does so as a window opens or loses the focus to another), keeps that older, smaller size
// and shrinks the picture into it, where Qt 5 and Qt 6.4 keep the window at its picture's size.
void keep_picture_size(const std::string& title, const cv::Mat& picture);

// Destroys the window and sends its end to the display server before returning, so that it leaves
// the screen though no event is handled after. Returns false when the toolkit's call that sends it
// was not found: the window then leaves the screen when the program ends.
bool close_window(const std::string& title);

// True when OpenCV's windows are drawn by GTK, false for Qt.
bool windows_drawn_by_gtk();
