// rectsketch: drag rectangles onto a black canvas with the left mouse button; Esc quits.
#include "box_gesture.hpp"
#include "pointer_watch.hpp"
#include "standard_streams.hpp"
#include "windowing.hpp"

#include <opencv2/highgui.hpp>

#include <cstdio>

namespace {

const char* const window_title = "Box Example";
const int canvas_size = 200;
const int esc_key = 27;

// GTK adds the modifier keys held (Num Lock among them) to a key's code as bits 16 and up; Qt does
// not. The rest is the whole code: a key whose low byte alone is 27 is not Esc.
bool is_esc(int key)
{
    return (key & 0xffff) == esc_key;
}

} // namespace

int main(int /*argc*/, char** /*argv*/)
{
    hold_closed_standard_streams();
    if (!display_reachable("rectsketch"))
        return 1;

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

    if (!open_window("rectsketch", window_title))
        return 1;
    cv::setMouseCallback(window_title, my_mouse_callback, &canvas);
    // GTK reports the mouse only over the image: during a drag the rest is asked of GTK itself.
    const bool watch_pointer = windows_drawn_by_gtk();

    for (;;) {
        canvas.copyTo(display);
        if (drawing_box)
            draw_box(display, box);
        cv::imshow(window_title, display);
        keep_picture_size(window_title, display);
        const int key = cv::waitKeyEx(15);
        if (is_esc(key))
            break;
        // Showing into a closed window would open it again, so a close ends the program here.
        if (!window_is_open(window_title))
            break;
        if (drawing_box && watch_pointer) {
            const pointer_reading pointer = read_pointer("rectsketch", window_title);
            if (pointer.known)
                follow_unreported_pointer(pointer.at, pointer.left_button_down, canvas);
        }
    }

    canvas.release();
    display.release();
    close_window(window_title);
    return 0;
}
