#include "live_view.hpp"

#include <opencv2/highgui.hpp>

#include <cstdio>

const char* const viewer_title = "result";

namespace {

const int pause_ms = 100;
const int poll_ms = 10;
// Holding waits in short slices: a wait with no time limit never returns once the window is
// closed, which would leave the program running with nothing on screen.
const int hold_slice_ms = 50;

// Closing the window through the window manager reads as 0; backends that cannot tell answer -1.
bool window_open()
{
    return cv::getWindowProperty(viewer_title, cv::WND_PROP_VISIBLE) != 0;
}

bool next_frame(cv::VideoCapture& capture, cv::Mat& frame)
{
    return capture.grab() && capture.retrieve(frame, 0) && !frame.empty();
}

// Main has already said why a capture that never opened shows nothing.
void report_dry_source(const cv::VideoCapture& capture, int frames_shown)
{
    if (!capture.isOpened())
        return;
    if (frames_shown == 0)
        std::fprintf(stderr, "feedview: the camera delivered no picture; press a key to quit\n");
    else
        std::fprintf(stderr, "feedview: the camera stopped delivering pictures; the last one stays until a "
                             "key is pressed\n");
}

// Returns true when the user ended the viewer, false when the capture ran dry.
bool show_live(cv::VideoCapture& capture)
{
    cv::Mat frame;
    for (int shown = 0;; ++shown) {
        if (!next_frame(capture, frame)) {
            report_dry_source(capture, shown);
            return false;
        }
        // Showing into a closed window would open it again.
        if (!window_open())
            return true;
        cv::imshow(viewer_title, frame);
        cv::waitKeyEx(pause_ms);
        if (cv::waitKeyEx(poll_ms) >= 0)
            return true;
    }
}

void hold()
{
    while (window_open())
        if (cv::waitKeyEx(hold_slice_ms) >= 0)
            return;
}

} // namespace

int run_viewer(cv::VideoCapture& capture)
{
    cv::namedWindow(viewer_title, cv::WINDOW_AUTOSIZE);
    if (!show_live(capture))
        hold();
    capture.release();
    cv::destroyWindow(viewer_title);
    return 0;
}
