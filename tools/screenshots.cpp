// Takes the README's screenshots from real runs: a drag in rectsketch, framefilter's two windows
// on the sample clip, feedview on the emulated camera. Run it on an X server with nothing else on
// it (tools/screenshots starts one).
#include "xharness.hpp"

#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
namespace xh = xharness;

struct paths {
    std::string out_dir;
    std::string rectsketch;
    std::string framefilter;
    std::string sample_clip;
    std::string feedview;
    std::string fakecam;
};

bool save(const std::string& file, const cv::Mat& image)
{
    if (image.empty() || !cv::imwrite(file, image)) {
        std::fprintf(stderr, "screenshots: could not take %s\n", file.c_str());
        return false;
    }
    std::printf("wrote %s (%dx%d)\n", file.c_str(), image.cols, image.rows);
    return true;
}

// One stamped rectangle and a second one still being dragged.
bool shoot_rectsketch(const paths& p)
{
    xh::child_process child = xh::spawn({p.rectsketch});
    const xh::window_id window = xh::find_window("Box Example", 10s);
    cv::Point canvas(-1, -1);
    xh::wait_until(
        [&] {
            return (canvas = xh::find_exactly(xh::capture(window), cv::Mat::zeros(200, 200, CV_8UC3))).x >= 0;
        },
        10s);
    const cv::Point origin = xh::screen_origin(window) + canvas;
    xh::move_pointer(origin + cv::Point(25, 30));
    xh::press_button(1);
    xh::move_pointer(origin + cv::Point(110, 120));
    xh::release_button(1);
    xh::move_pointer(origin + cv::Point(70, 80));
    xh::press_button(1);
    xh::move_pointer(origin + cv::Point(175, 170));
    std::this_thread::sleep_for(500ms);
    const bool saved =
        window != 0 && canvas.x >= 0 && save(p.out_dir + "/rectsketch.png", xh::capture(window));
    xh::release_button(1);
    xh::stop(child);
    return saved;
}

// Both windows, "Processed" moved below "Original", stacked into one picture.
bool shoot_framefilter(const paths& p)
{
    xh::child_process child = xh::spawn({p.framefilter, p.sample_clip});
    const xh::window_id original = xh::find_window("Original", 10s);
    const xh::window_id processed = xh::find_window("Processed", 10s);
    bool saved = false;
    if (original != 0 && processed != 0) {
        xh::move_window(processed, {0, 480});
        std::this_thread::sleep_for(1500ms);
        cv::Mat both;
        cv::vconcat(xh::capture(original), xh::capture(processed), both);
        saved = save(p.out_dir + "/framefilter.png", both);
    }
    xh::stop(child);
    return saved;
}

bool shoot_feedview(const paths& p)
{
    xh::child_process child = xh::spawn({p.feedview}, {"LD_PRELOAD=" + p.fakecam, "FAKECAM_DEVICES=1"});
    const xh::window_id window = xh::find_window("result", 10s);
    std::this_thread::sleep_for(1500ms);
    const bool saved = window != 0 && save(p.out_dir + "/feedview.png", xh::capture(window));
    xh::stop(child);
    return saved;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 7) {
        std::fprintf(
            stderr,
            "usage: screenshots OUT_DIR RECTSKETCH FRAMEFILTER SAMPLE_CLIP FEEDVIEW FAKECAM_LIBRARY\n");
        return 2;
    }
    const paths p{argv[1], argv[2], argv[3], argv[4], argv[5], argv[6]};
    const bool all = shoot_rectsketch(p) & shoot_framefilter(p) & shoot_feedview(p);
    return all ? 0 : 1;
}
