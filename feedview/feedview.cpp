// feedview: the live picture of a camera in the window "result"; any key quits.
#include "camera_index.hpp"
#include "live_view.hpp"

#include <X11/Xlib.h>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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

void report_unopened(int index)
{
    if (index >= 0)
        std::fprintf(stderr, "feedview: cannot open camera %d (/dev/video%d); press a key to quit\n", index,
                     index);
    else
        std::fprintf(stderr, "feedview: cannot open camera %d; press a key to quit\n", index);
}

} // namespace

int main(int argc, char** argv)
{
    if (!display_reachable()) {
        const char* name = std::getenv("DISPLAY");
        std::fprintf(stderr, "feedview: cannot open a window: no X display at '%s'\n", name ? name : "");
        return 1;
    }

    // Every capture backend that tries a missing camera explains it in warnings of its own, several
    // lines in all (GStreamer's come through the library's log too); one line of ours says it.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    const int index = camera_index(argc, argv);
    cv::VideoCapture capture(index);
    if (!capture.isOpened())
        report_unopened(index);
    return run_viewer(capture);
}
