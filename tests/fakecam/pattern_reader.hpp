// Reading the emulated camera's picture back, from a captured frame or from screen pixels.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace fakecam {

// Frame `frame` as OpenCV's V4L2 backend hands it out: the YUYV pattern converted to BGR.
cv::Mat expected_picture(cv::Size size, int frame);

// Top-left corner of the camera picture of `size` inside `pixels`, found by its colour bars (by
// their brightness alone when `grey`, for a monochrome camera), or (-1, -1) when it is not there.
cv::Point locate_picture(const cv::Mat& pixels, cv::Size size, bool grey = false);

// The colours the eight bars stand for, left to right, in BGR: white, yellow, cyan, green, magenta,
// red, blue and black at 75 % (191 of 255), as colour bars are defined.
std::vector<cv::Vec3d> true_bar_colours();

// The mean BGR colour of each bar, the inner half of it, in the picture at `origin`.
std::vector<cv::Vec3d> read_bar_colours(const cv::Mat& pixels, cv::Point origin, cv::Size size);

// The frame number shown by the picture at `origin`, or -1 when its bits do not read cleanly.
int read_frame_number(const cv::Mat& pixels, cv::Point origin, cv::Size size);

// One buffer as the emulated camera's age log (FAKECAM_AGE_LOG) records it: its frame's number,
// when the frame was captured and when the program dequeued it, in ns on CLOCK_MONOTONIC, and the
// buffer's V4L2 flags as the program got them.
struct dequeued_buffer {
    long long sequence = 0;
    long long captured_ns = 0;
    long long dequeued_ns = 0;
    unsigned flags = 0;
};
std::vector<dequeued_buffer> read_age_log(const std::string& path);

// The environment changes (as xh::spawn takes them) for a program run on the emulated camera: the
// emulator (FAKECAM_PRELOAD, given by the build) in LD_PRELOAD, and none of the FAKECAM_* settings
// that the test's own environment may carry, so that each test has just the settings it adds.
std::vector<std::string> emulation_environment();

} // namespace fakecam
