// Opens a camera through OpenCV and reports what it delivers, one line per grab, for the tests
// of the emulated camera. Usage: fakecam_probe INDEX any|v4l2 GRABS
//   opened BACKEND WxH      or   not opened
//   fourcc FORMAT           the pixel format the library chose, e.g. YUYV
//   frame NUMBER MS SAME    the frame number read from the picture, ms since the probe started,
//                           and whether the whole picture is the one expected (1) or not (0)
//   no frame MS             the grab or the retrieve failed, or the frame did not decode
#include "pattern_reader.hpp"

#include <opencv2/videoio.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 4 || argc > 5 || (std::strcmp(argv[2], "any") != 0 && std::strcmp(argv[2], "v4l2") != 0)) {
        std::fprintf(stderr, "usage: fakecam_probe INDEX any|v4l2 GRABS [BUFFERS]\n");
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    const int api = std::strcmp(argv[2], "v4l2") == 0 ? cv::CAP_V4L2 : cv::CAP_ANY;
    cv::VideoCapture capture(std::atoi(argv[1]), api);
    if (!capture.isOpened()) {
        std::printf("not opened\n");
        return 0;
    }
    const cv::Size size(static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH)),
                        static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT)));
    std::printf("opened %s %dx%d\n", capture.getBackendName().c_str(), size.width, size.height);
    const int fourcc = static_cast<int>(capture.get(cv::CAP_PROP_FOURCC));
    std::printf("fourcc %c%c%c%c\n", fourcc & 255, (fourcc >> 8) & 255, (fourcc >> 16) & 255,
                (fourcc >> 24) & 255);
    if (argc == 5) {
        capture.set(cv::CAP_PROP_BUFFERSIZE, std::atoi(argv[4]));
        std::printf("buffers %d\n", static_cast<int>(capture.get(cv::CAP_PROP_BUFFERSIZE)));
    }
    const int grabs = std::atoi(argv[3]);
    for (int i = 0; i < grabs; ++i) {
        cv::Mat frame;
        bool got = false;
        try {
            got = capture.grab() && capture.retrieve(frame) && !frame.empty();
        } catch (const cv::Exception&) {
            // The V4L2 backend throws on an empty Motion JPEG buffer.
        }
        const long long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
                .count();
        if (got) {
            const int number = fakecam::read_frame_number(frame, {0, 0}, frame.size());
            const bool same =
                number >= 0
                && cv::norm(frame, fakecam::expected_picture(frame.size(), number), cv::NORM_INF) == 0;
            std::printf("frame %d %lld %d\n", number, ms, same ? 1 : 0);
        } else {
            std::printf("no frame %lld\n", ms);
        }
    }
    return 0;
}
