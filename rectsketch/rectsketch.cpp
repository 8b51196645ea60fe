// rectsketch: drag rectangles onto a black canvas with the left mouse button; Esc quits.
#include "box_gesture.hpp"

#include <X11/Xlib.h>
#include <opencv2/highgui.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const window_title = "Box Example";
const int canvas_size = 200;
const int esc_key = 27;

// The Qt backend aborts the process when it cannot reach its display, so ask X first.
// A platform other than X (QT_QPA_PLATFORM=wayland, offscreen, ...) is left to Qt.
bool display_reachable()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::strncmp(platform, "xcb", 3) != 0)
        return true;
    Display* display = XOpenDisplay(nullptr);
    if (display != nullptr)
        XCloseDisplay(display);
    return display != nullptr;
}

// Closing the window through the window manager reads as 0; backends that cannot tell answer -1.
bool window_open(const char* title)
{
    return cv::getWindowProperty(title, cv::WND_PROP_VISIBLE) != 0;
}

} // namespace

int main(int /*argc*/, char** /*argv*/)
{
    if (!display_reachable()) {
        const char* name = std::getenv("DISPLAY");
        std::fprintf(stderr, "rectsketch: cannot open a window: no X display at '%s'\n", name ? name : "");
        return 1;
    }

    box = cv::Rect(-1, -1, 0, 0);
    cv::Mat canvas;
    cv::Mat display;
    try {
        canvas = cv::Mat::zeros(canvas_size, canvas_size, CV_8UC3);
        display = canvas.clone();
    } catch (const cv::Exception& e) {
        std::fprintf(stderr, "rectsketch: cannot make the canvas: %s\n", e.what());
        return 1;
    }

    cv::namedWindow(window_title, cv::WINDOW_AUTOSIZE);
    cv::setMouseCallback(window_title, my_mouse_callback, &canvas);

    for (;;) {
        canvas.copyTo(display);
        if (drawing_box)
            draw_box(display, box);
        cv::imshow(window_title, display);
        const int key = cv::waitKeyEx(15);
        if (key == esc_key)
            break;
        // Showing into a closed window would open it again, so a close ends the program here.
        if (!window_open(window_title))
            break;
    }

    canvas.release();
    display.release();
    cv::destroyWindow(window_title);
    return 0;
}
