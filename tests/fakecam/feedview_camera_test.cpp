// The real feedview in a real window, watching the emulated camera that the preloaded library
// puts at /dev/videoN. What the window shows is read back from the screen: the frame number is
// written into every picture as blocks of black and white.
#include "pattern_reader.hpp"
#include "xharness.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;
namespace xh = xharness;
using steady = std::chrono::steady_clock;

const char* const title = "result";
const auto patience = 10s;
const cv::Size picture_size(320, 240); // the emulated camera's default
// Every pass of feedview's loop waits 100 ms and then polls 10 ms besides the grab itself.
constexpr double shortest_pass_ms = 110;
// OpenCV drops the first frame after streaming starts; a camera told to stop after K frames
// therefore leaves frame K - 1 as the last picture the program gets.
constexpr int stop_after = 6;

class FeedviewCamera : public ::testing::Test {
  protected:
    void start(const std::vector<std::string>& args, const std::vector<std::string>& settings)
    {
        std::vector<std::string> argv{FEEDVIEW_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env{
            "LD_PRELOAD=" FAKECAM_PRELOAD, "FAKECAM_DEVICES", "FAKECAM_SIZE", "FAKECAM_FPS",
            "FAKECAM_STOP_AFTER",          "FAKECAM_TRACE"};
        env.insert(env.end(), settings.begin(), settings.end());
        child = xh::spawn(argv, env);
        window = xh::find_window(title, patience);
        ASSERT_NE(window, 0u) << "no window \"" << title
                              << "\" appeared; stderr: " << xh::read_file(child.err_path);
    }
    void TearDown() override { xh::stop(child); }

    // The frame number on the screen now, or -1 when the window shows no camera picture.
    int shown_number()
    {
        const cv::Mat pixels = xh::capture(window);
        if (origin.x < 0)
            origin = fakecam::locate_picture(pixels, picture_size);
        return origin.x < 0 ? -1 : fakecam::read_frame_number(pixels, origin, picture_size);
    }
    int wait_for_number(const std::function<bool(int)>& wanted)
    {
        int number = -1;
        xh::wait_until(
            [&] {
                number = shown_number();
                return number >= 0 && wanted(number);
            },
            patience);
        return number;
    }
    int wait_for_any_number()
    {
        return wait_for_number([](int) { return true; });
    }

    std::string errors() const { return "feedview's stderr: " + xh::read_file(child.err_path); }

    bool ended() const { return !xh::still_running(child); }
    // In Live only a key reported by the 10 ms poll ends the loop; one that arrives during the
    // 100 ms pause ends the pause and is discarded. A second key 5 ms after the first lands in the
    // poll that follows, as a quick double press would.
    int end_live_with_keys()
    {
        const auto deadline = steady::now() + 10s;
        while (!ended() && steady::now() < deadline) {
            xh::key(window, "space");
            std::this_thread::sleep_for(5ms);
            xh::key(window, "space");
            xh::wait_until([&] { return ended(); }, 300ms);
        }
        return xh::wait_exit(child, patience);
    }
    // In Holding any key ends the program.
    int end_holding_with_a_key()
    {
        xh::key(window, "space");
        return xh::wait_exit(child, patience);
    }

    xh::child_process child;
    xh::window_id window = 0;
    cv::Point origin{-1, -1};
};

TEST_F(FeedviewCamera, WithoutArgumentShowsCameraOneLiveAtMostNineTimesASecond)
{
    start({}, {"FAKECAM_DEVICES=1", "FAKECAM_FPS=30"});
    const int first = wait_for_any_number();
    ASSERT_GE(first, 0) << "\"result\" never showed the camera's picture";
    const auto first_read = steady::now();
    std::this_thread::sleep_for(2s);
    const int second = shown_number();
    const double elapsed_ms = std::chrono::duration<double, std::milli>(steady::now() - first_read).count();
    RecordProperty("frames_shown",
                   std::to_string(second - first) + " in " + std::to_string(elapsed_ms) + " ms");
    EXPECT_GT(second, first) << "the picture did not change";
    // The camera offers 30 frames a second and each pass shows the next one; passes take at least
    // 110 ms, and the first picture read may already have been on screen for up to one pass.
    EXPECT_LE(second - first, elapsed_ms / shortest_pass_ms + 2)
        << "frames " << first << " to " << second << " in " << elapsed_ms << " ms";
    EXPECT_EQ(end_live_with_keys(), 0) << errors();
}

TEST_F(FeedviewCamera, ArgumentSevenShowsCameraSeven)
{
    start({"7"}, {"FAKECAM_DEVICES=7"});
    EXPECT_GE(wait_for_any_number(), 0) << "\"result\" never showed camera 7's picture";
    EXPECT_EQ(end_live_with_keys(), 0) << errors();
}

TEST_F(FeedviewCamera, ArgumentZeroWithOnlyCameraSevenHoldsAnEmptyWindowUntilAKey)
{
    start({"0"}, {"FAKECAM_DEVICES=7"});
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(ended()) << "feedview did not hold the window";
    EXPECT_EQ(fakecam::locate_picture(xh::capture(window), picture_size), cv::Point(-1, -1))
        << "an absent camera showed a picture";
    EXPECT_EQ(end_holding_with_a_key(), 0) << errors();
}

TEST_F(FeedviewCamera, ArgumentTwelveSelectsCameraOne)
{
    start({"12"}, {"FAKECAM_DEVICES=1"});
    EXPECT_GE(wait_for_any_number(), 0) << "\"result\" never showed camera 1's picture";
    EXPECT_EQ(end_live_with_keys(), 0) << errors();
}

TEST_F(FeedviewCamera, CameraThatStopsLeavesItsLastPictureUntilAKey)
{
    start({}, {"FAKECAM_STOP_AFTER=" + std::to_string(stop_after)});
    const int last = stop_after - 1;
    EXPECT_EQ(wait_for_number([&](int n) { return n == last; }), last);
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(ended()) << "feedview did not hold the window";
    EXPECT_EQ(shown_number(), last) << "the last picture did not stay";
    EXPECT_EQ(end_holding_with_a_key(), 0) << errors();
}

TEST_F(FeedviewCamera, ClosingTheWindowEndsLive)
{
    start({}, {});
    ASSERT_GE(wait_for_any_number(), 0);
    xh::request_close(window);
    EXPECT_EQ(xh::wait_exit(child, patience), 0) << errors();
}

TEST_F(FeedviewCamera, ClosingTheWindowEndsHoldingAfterTheCameraStopped)
{
    start({}, {"FAKECAM_STOP_AFTER=" + std::to_string(stop_after)});
    ASSERT_EQ(wait_for_number([&](int n) { return n == stop_after - 1; }), stop_after - 1);
    std::this_thread::sleep_for(500ms);
    ASSERT_FALSE(ended());
    xh::request_close(window);
    EXPECT_EQ(xh::wait_exit(child, patience), 0) << errors();
}

TEST_F(FeedviewCamera, ClosingTheWindowEndsHoldingWithoutACamera)
{
    start({"0"}, {"FAKECAM_DEVICES=7"});
    std::this_thread::sleep_for(1s);
    ASSERT_FALSE(ended());
    xh::request_close(window);
    EXPECT_EQ(xh::wait_exit(child, patience), 0) << errors();
}

} // namespace
