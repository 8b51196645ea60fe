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

// Mouse handler for the canvas window; `param` is the canvas (a cv::Mat*).
void my_mouse_callback(int event, int x, int y, int flags, void* param);
