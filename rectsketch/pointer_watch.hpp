// The pointer as the X server sees it, relative to one of this process's windows: OpenCV's GTK
// backend reports mouse events only while the pointer is over the image, so a drag that leaves
// the image, and a release out there, reach the program only this way.
#pragma once

#include <opencv2/core.hpp>

struct pointer_reading {
    bool known = false; // false when there is no X server or no such window of ours
    cv::Point at;       // from the window's top-left corner, where GTK puts an autosized image
    bool left_button_down = false;
};

// Where the pointer is over the window titled `title`, and whether the left button is down.
pointer_reading read_pointer(const char* title);
