// What a stamped or live rectangle must look like on the 200 x 200 canvas.
#pragma once

#include <opencv2/core.hpp>

#include <algorithm>

// The canvas with nothing on it but a one-pixel red outline with corners `a` and `b` (both
// included), clipped to the canvas.
inline cv::Mat expected_outline(cv::Point a, cv::Point b)
{
    const cv::Rect canvas_area(0, 0, 200, 200);
    cv::Mat expected = cv::Mat::zeros(canvas_area.size(), CV_8UC3);
    const cv::Rect r(cv::Point(std::min(a.x, b.x), std::min(a.y, b.y)),
                     cv::Point(std::max(a.x, b.x) + 1, std::max(a.y, b.y) + 1));
    expected(r & canvas_area).setTo(cv::Scalar(0, 0, 255));
    const cv::Rect inside(r.x + 1, r.y + 1, r.width - 2, r.height - 2);
    if (inside.width > 0 && inside.height > 0)
        expected(inside & canvas_area).setTo(cv::Scalar::all(0));
    return expected;
}
