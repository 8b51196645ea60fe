// feedview: the live picture of a camera in the window "result"; any key quits.
#include "camera_diagnosis.hpp"
#include "camera_index.hpp"
#include "live_view.hpp"
#include "standard_streams.hpp"
#include "windowing.hpp"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>

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
    // The node is looked at only once the library has refused it, to say why in one line.
    if (!capture.isOpened())
        std::fputs(unopened_line(index, diagnose_camera(index)).c_str(), stderr);
    return run_viewer(capture);
}
