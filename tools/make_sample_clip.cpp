// Writes framefilter's sample clip: four seconds of 720 x 180 frames, losslessly (FFV1 in AVI;
// Motion JPEG where OpenCV has no FFmpeg), in which bright, dark and mid-coloured shapes move over
// a mid-coloured background, so that every outcome of the filter and its black mask shows. The
// clip is the same on every run.
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

const int clip_width = 720;
const int clip_height = 180;
const double clip_fps = 30.0;
const int clip_frames = 120;

// Colours in blue, green, red order, chosen against the filter's thresholds (bright: all three
// channels above 99; dark: blue and green at most 99, red at most 100).
const cv::Scalar background(120, 110, 90); // neither: kept as it is
const cv::Scalar bright(210, 225, 240);    // pushed to white
const cv::Scalar dark(40, 30, 60);         // pushed to black
const cv::Scalar mid_grey(128, 128, 128);  // bright by the thresholds
const cv::Scalar shadow(80, 80, 80);       // dark by the thresholds
const cv::Scalar teal(160, 140, 60);       // neither

cv::Mat draw_frame(int index)
{
    cv::Mat frame(clip_height, clip_width, CV_8UC3, background);
    const double t = static_cast<double>(index) / clip_frames;
    // A gradient band from black to white across the bottom shows where the threshold cuts.
    for (int x = 0; x < clip_width; ++x) {
        const double level = 255.0 * x / (clip_width - 1);
        cv::line(frame, {x, clip_height - 24}, {x, clip_height - 1}, cv::Scalar(level, level, level));
    }
    const int bright_x = static_cast<int>(40 + (clip_width - 80) * t);
    cv::circle(frame, {bright_x, 60}, 30, bright, cv::FILLED, cv::LINE_AA);
    const int dark_x = static_cast<int>(clip_width - 70 - (clip_width - 140) * t);
    cv::rectangle(frame, cv::Rect(dark_x, 90, 60, 50), dark, cv::FILLED);
    const int wave_y = static_cast<int>(70 + 40 * std::sin(t * 4 * CV_PI));
    cv::rectangle(frame, cv::Rect(300, wave_y, 40, 40), mid_grey, cv::FILLED);
    cv::rectangle(frame, cv::Rect(360, 140 - wave_y + 40, 40, 40), shadow, cv::FILLED);
    cv::ellipse(frame, {560, 100}, {90, 30}, 360.0 * t, 0, 360, teal, cv::FILLED, cv::LINE_AA);
    cv::putText(frame, "frame " + std::to_string(index), {12, 30}, cv::FONT_HERSHEY_SIMPLEX, 0.8, bright, 2);
    return frame;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample_clip OUTPUT.avi\n");
        return 2;
    }
    cv::VideoWriter writer(argv[1], cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), clip_fps,
                           cv::Size(clip_width, clip_height));
    // An OpenCV without FFmpeg writes Motion JPEG AVIs with a writer of its own, which every
    // OpenCV has.
    if (!writer.isOpened())
        writer.open(argv[1], cv::CAP_OPENCV_MJPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), clip_fps,
                    cv::Size(clip_width, clip_height));
    if (!writer.isOpened()) {
        std::fprintf(stderr, "make_sample_clip: cannot write '%s'\n", argv[1]);
        return 1;
    }
    for (int i = 0; i < clip_frames; ++i)
        writer.write(draw_frame(i));
    writer.release();
    return 0;
}
