// feedview: the live picture of a camera in the window "result"; any key quits.
#include "camera_index.hpp"
#include "live_view.hpp"
#include "standard_streams.hpp"
#include "windowing.hpp"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>

namespace {

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
    hold_closed_standard_streams();
    if (!display_reachable("feedview"))
        return 1;

    // The capture backend explains a missing or failing camera in warnings of its own; one line of
    // ours says it.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    const int index = camera_index(argc, argv);
    // The V4L2 backend, named rather than left to the library's choice: it is what every camera
    // index ends up on anyway (GStreamer's camera source sits on the same V4L2 device), and it is the
    // one backend that can say whether a frame is waiting, which keeps the window served when the
    // camera stalls.
    cv::VideoCapture capture(index, cv::CAP_V4L2);
    if (!capture.isOpened())
        report_unopened(index);
    return run_viewer(capture);
}
