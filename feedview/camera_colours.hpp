// The camera pixel formats that feedview turns into colour itself, from the raw buffer, because the
// OpenCV release it runs on gets their colours wrong.
#pragma once

#include <opencv2/videoio.hpp>

// Whether the loaded OpenCV's V4L2 backend converts frames of `fourcc` (a V4L2 pixel format) to the
// wrong colours.
bool library_colours_wrong(int fourcc);

// For a camera whose format the library converts wrongly: asks for its raw buffers and returns the
// format; 0 when the library's own pictures are right, or raw buffers cannot be had.
int take_raw_for_colours(cv::VideoCapture& capture);

// The BGR picture in a raw buffer of format `fourcc` from `capture`; empty when the buffer does not
// hold a whole frame of the capture's size.
cv::Mat colours_from_raw(const cv::VideoCapture& capture, const cv::Mat& raw, int fourcc);
