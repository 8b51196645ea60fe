// The pointer as GTK knows it, relative to the image of one of OpenCV's windows: OpenCV's GTK
// backend reports mouse events only while the pointer is over the image, so a drag that leaves
// the image, and a release out there, reach the program only this way. During a press the window
// system keeps telling the pressed window where the pointer is and when the button goes up, on X
// and on Wayland alike.
#pragma once

#include <opencv2/core.hpp>

struct pointer_reading {
    bool known = false; // false when the pointer cannot be read
    cv::Point at;       // in the image's pixels, from its top-left corner, as the library's events
    bool left_button_down = false;
};

// Where the pointer is over the image of the GTK window titled `title`, and whether the left button
// is down. Where GTK cannot be asked, says so once on standard error, "PROGRAM: cannot follow a drag
// off the picture: WHY", and answers unknown.
pointer_reading read_pointer(const char* program, const char* title);
