// The rectangle gesture of rectsketch: a left-button drag defines `box`, the release
// stamps it onto the canvas passed to the mouse handler.
#pragma once

#include <opencv2/core.hpp>

// The rectangle being dragged, or the last one stamped. (-1, -1, 0, 0) before the first press.
extern cv::Rect box;
// True from a left-button press until the next left-button release.
extern bool drawing_box;

// Outlines `rect` on `img` in red, from (x, y) to (x + width, y + height); negative sizes allowed.
void draw_box(cv::Mat& img, cv::Rect rect);

// Mouse handler for the canvas window; `param` is the canvas (a cv::Mat*). A move whose `flags`
// say the left button is up ends a drag as a release does.
void my_mouse_callback(int event, int x, int y, int flags, void* param);

// For a library that reports no mouse event outside the image (OpenCV's GTK backend): the pointer
// during a drag, read from the window system. Outside the canvas it stands in for the move, and
// then the release, that the library does not report; over the canvas the library's own events
// are left to tell.
void follow_unreported_pointer(cv::Point at, bool left_button_down, cv::Mat& canvas);
