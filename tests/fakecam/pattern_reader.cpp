#include "pattern_reader.hpp"

#include "pattern.hpp"

#include <opencv2/imgproc.hpp>

#include <fstream>
#include <string_view>
#include <unistd.h>

namespace fakecam {

namespace {

// Colour conversion and display may shift levels a little; bars and bits are far apart.
constexpr double level_tolerance = 24;

// The inner half of a block: its edges may carry the neighbour's chroma after conversion.
cv::Rect inner_half(cv::Rect block)
{
    return {block.x + block.width / 4, block.y + block.height / 4, block.width / 2, block.height / 2};
}

double mean_level(const cv::Mat& pixels, cv::Rect block)
{
    cv::Mat grey;
    cv::cvtColor(pixels(inner_half(block)), grey, cv::COLOR_BGR2GRAY);
    return cv::mean(grey)[0];
}

cv::Mat brightness(const cv::Mat& bgr)
{
    cv::Mat grey;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(grey, grey, cv::COLOR_GRAY2BGR);
    return grey;
}

} // namespace

cv::Mat expected_picture(cv::Size size, int frame)
{
    cv::Mat yuyv(size, CV_8UC2);
    fill_yuyv(yuyv.data, size.width, size.height, static_cast<std::uint32_t>(frame));
    cv::Mat bgr;
    cv::cvtColor(yuyv, bgr, cv::COLOR_YUV2BGR_YUYV);
    return bgr;
}

cv::Point locate_picture(const cv::Mat& pixels, cv::Size size, bool grey)
{
    const cv::Mat colour_bars =
        expected_picture(size, 0)(cv::Rect(0, 0, size.width, size.height / band_count));
    const cv::Mat bars = grey ? brightness(colour_bars) : colour_bars;
    if (pixels.empty() || pixels.cols < size.width || pixels.rows < size.height)
        return {-1, -1};
    cv::Mat score;
    cv::matchTemplate(pixels, bars, score, cv::TM_SQDIFF);
    cv::Point best;
    cv::minMaxLoc(score, nullptr, nullptr, &best, nullptr);
    if (best.x + size.width > pixels.cols || best.y + size.height > pixels.rows)
        return {-1, -1};
    // On average, not everywhere: a Motion JPEG camera's chroma is subsampled, which softens the
    // edges between the bars.
    const cv::Mat candidate = pixels(cv::Rect(best, bars.size()));
    const double mean_difference =
        cv::norm(candidate, bars, cv::NORM_L1) / static_cast<double>(bars.total() * 3);
    return mean_difference <= level_tolerance / 4 ? best : cv::Point(-1, -1);
}

int read_frame_number(const cv::Mat& pixels, cv::Point origin, cv::Size size)
{
    if (origin.x < 0 || origin.y < 0 || origin.x + size.width > pixels.cols
        || origin.y + size.height > pixels.rows)
        return -1;
    const int block_width = size.width / counter_bits;
    const int band_height = size.height / band_count;
    int number = 0;
    for (int bit = 0; bit < counter_bits; ++bit) {
        const cv::Rect block(origin.x + bit * block_width, origin.y + band_height, block_width, band_height);
        const double level = mean_level(pixels, block);
        const double inverted = mean_level(pixels, block + cv::Point(0, band_height));
        // A clean bit is near white in one band and near black in the other.
        if (std::abs(level - inverted) < 255 - 2 * level_tolerance)
            return -1;
        number = number * 2 + (level > inverted ? 1 : 0);
    }
    return number;
}

std::vector<cv::Vec3d> true_bar_colours()
{
    const double on = 191;
    return {{on, on, on}, {0, on, on}, {on, on, 0}, {0, on, 0},
            {on, 0, on},  {0, 0, on},  {on, 0, 0},  {0, 0, 0}};
}

std::vector<cv::Vec3d> read_bar_colours(const cv::Mat& pixels, cv::Point origin, cv::Size size)
{
    std::vector<cv::Vec3d> colours;
    const int bar_width = size.width / 8;
    for (int bar = 0; bar < 8; ++bar) {
        const cv::Rect block(origin.x + bar * bar_width, origin.y, bar_width, size.height / band_count);
        const cv::Scalar mean = cv::mean(pixels(inner_half(block)));
        colours.emplace_back(mean[0], mean[1], mean[2]);
    }
    return colours;
}

std::vector<dequeued_buffer> read_age_log(const std::string& path)
{
    std::ifstream log(path);
    std::vector<dequeued_buffer> buffers;
    dequeued_buffer b;
    while (log >> b.sequence >> b.captured_ns >> b.dequeued_ns >> b.flags)
        buffers.push_back(b);
    return buffers;
}

std::vector<std::string> emulation_environment()
{
    std::vector<std::string> changes{std::string("LD_PRELOAD=") + FAKECAM_PRELOAD};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view setting = *entry;
        if (setting.substr(0, 8) == "FAKECAM_")
            changes.emplace_back(setting.substr(0, setting.find('=')));
    }
    return changes;
}

} // namespace fakecam
