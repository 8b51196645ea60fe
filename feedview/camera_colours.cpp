#include "camera_colours.hpp"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

namespace {

const int nv12 = cv::VideoWriter::fourcc('N', 'V', '1', '2');
const int nv21 = cv::VideoWriter::fourcc('N', 'V', '2', '1');

} // namespace

// The V4L2 backend converted NV12 and NV21 to RGB where it hands out BGR, swapping red and blue,
// until 4.11: 4.6 (Debian 12) and 4.10 (Debian 13) have the fault. The release is asked at run
// time, not taken from the headers, since the conversion at fault is the loaded library's.
bool library_colours_wrong(int fourcc)
{
    const bool before_fix =
        cv::getVersionMajor() < 4 || (cv::getVersionMajor() == 4 && cv::getVersionMinor() < 11);
    return before_fix && (fourcc == nv12 || fourcc == nv21);
}

int take_raw_for_colours(cv::VideoCapture& capture)
{
    const int fourcc = static_cast<int>(capture.get(cv::CAP_PROP_FOURCC));
    return library_colours_wrong(fourcc) && capture.set(cv::CAP_PROP_CONVERT_RGB, 0) ? fourcc : 0;
}

cv::Mat colours_from_raw(const cv::VideoCapture& capture, const cv::Mat& raw, int fourcc)
{
    const int width = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH));
    const int height = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT));
    // The library hands the buffer out as a picture 1.5 times as tall, or as a row of bytes.
    const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3 / 2;
    cv::Mat bgr;
    if (width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0 || !raw.isContinuous()
        || raw.depth() != CV_8U || raw.total() * raw.elemSize() != bytes)
        return bgr;
    const cv::Mat planes(height * 3 / 2, width, CV_8UC1, raw.data);
    cv::cvtColor(planes, bgr, fourcc == nv12 ? cv::COLOR_YUV2BGR_NV12 : cv::COLOR_YUV2BGR_NV21);
    return bgr;
}
