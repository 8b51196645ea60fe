// The viewer's loop on real frames in a real window: a small lossless video made here stands in
// for the camera (a file capture grabs and retrieves as a camera capture does).
#include "live_view.hpp"
#include "xharness.hpp"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace {

using namespace std::chrono_literals;
namespace xh = xharness;

// Big enough that the window shows it at its own size (smaller pictures are scaled up).
const cv::Size frame_size(160, 120);
// A video long enough that it cannot run out while the user's part of a test is within its time
// limits: the viewer shows a frame at most every 110 ms, so 250 frames last 27.5 s or more, longer
// than finding the window (10 s) and the picture in it (5 s), seeing it move (5 s) and getting a
// key or a close through (5 s) together.
const int long_video_frames = 250;
const auto short_patience = 5s;

// Blue and green make a gradient that has one exact place in the window, the same in every
// frame; red is the frame's number (up to 255).
cv::Mat numbered_frame(int n)
{
    cv::Mat frame(frame_size, CV_8UC3);
    for (int y = 0; y < frame.rows; ++y)
        for (int x = 0; x < frame.cols; ++x)
            frame.at<cv::Vec3b>(y, x) = cv::Vec3b(x, y * 2, n);
    return frame;
}

cv::Mat without_red(const cv::Mat& image)
{
    cv::Mat result = image.clone();
    cv::Mat red(result.size(), CV_8UC1, cv::Scalar(0));
    cv::mixChannels(red, result, {0, 2});
    return result;
}

struct test_video {
    std::string path;
    std::vector<cv::Mat> frames;
};

test_video make_video(int frame_count)
{
    test_video video{xh::unique_temp_path("frames.avi"), {}};
    cv::VideoWriter writer(video.path, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), 10, frame_size);
    EXPECT_TRUE(writer.isOpened()) << "cannot write an FFV1 video to " << video.path;
    for (int n = 0; n < frame_count; ++n) {
        video.frames.push_back(numbered_frame(n));
        writer.write(video.frames.back());
    }
    return video;
}

// What the user sees and does, played on a thread of its own with its own X connection while the
// viewer runs on the main thread: Qt handles the window's events there, inside the key waits.
struct user_view {
    const test_video& video;
    const std::atomic<bool>& viewer_done;
    xh::window_id window = 0;
    cv::Point image_at{-1, -1};

    // The number of the frame on screen, or -1 when none of them is there exactly.
    int shown_frame() const
    {
        const cv::Mat pixels = xh::capture(window);
        if (pixels.empty() || image_at.x < 0 || image_at.x + frame_size.width > pixels.cols
            || image_at.y + frame_size.height > pixels.rows)
            return -1;
        const cv::Mat shown = pixels(cv::Rect(image_at, frame_size));
        const int n = shown.at<cv::Vec3b>(0, 0)[2];
        return n < static_cast<int>(video.frames.size()) && xh::same_pixels(shown, video.frames[n]) ? n : -1;
    }
    // Finds the window and the place of the picture in it, whichever frame is showing.
    bool find_picture()
    {
        window = xh::find_window(viewer_title, xh::patience);
        const cv::Mat gradient = without_red(video.frames.front());
        return window != 0
               && xh::wait_until(
                   [&] {
                       image_at = xh::find_exactly(without_red(xh::capture(window)), gradient);
                       return image_at.x >= 0 && shown_frame() >= 0;
                   },
                   short_patience);
    }
    bool ends_within(std::chrono::milliseconds timeout) const
    {
        return xh::wait_until([&] { return viewer_done.load(); }, timeout);
    }
};

class LiveView : public ::testing::Test {
  protected:
    void TearDown() override { std::remove(video.path.c_str()); }

    // Runs the viewer on `video` while `user` acts. Should the user's part leave the viewer
    // running, the window is closed for it, so a failing test cannot hang.
    int run(int frame_count, const std::function<void(user_view&)>& user)
    {
        video = make_video(frame_count);
        cv::VideoCapture capture(video.path);
        EXPECT_TRUE(capture.isOpened());
        std::atomic<bool> done{false};
        std::thread user_thread([&] {
            user_view view{video, done};
            user(view);
            if (!done && view.window != 0) {
                ADD_FAILURE() << "the viewer was still running when the test was over";
                xh::request_close(view.window);
            }
            if (!view.ends_within(xh::patience)) {
                std::fprintf(stderr, "the viewer does not end; giving up\n");
                std::_Exit(1);
            }
        });
        const int status = run_viewer(capture);
        done = true;
        user_thread.join();
        return status;
    }

    test_video video;
};

TEST_F(LiveView, FramesFollowInOrderUntilThePollSeesAKey)
{
    const int frame_count = long_video_frames;
    ::testing::internal::CaptureStderr();
    const int status = run(frame_count, [&](user_view& view) {
        ASSERT_TRUE(view.find_picture()) << "no frame of the video appeared in \"result\"";
        std::vector<int> seen;
        xh::wait_until(
            [&] {
                const int n = view.shown_frame();
                if (n >= 0 && (seen.empty() || seen.back() != n))
                    seen.push_back(n);
                return seen.size() >= 4;
            },
            short_patience);
        ASSERT_GE(seen.size(), 4u) << "the picture does not move on";
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << "frames shown out of order";
        // Keys taken by the 100 ms pause are lost, so keep pressing, faster than the 10 ms poll
        // lasts, until the poll sees one. Nothing slow (no screen capture) goes between presses.
        const auto give_up = std::chrono::steady_clock::now() + short_patience;
        while (!view.viewer_done && std::chrono::steady_clock::now() < give_up) {
            xh::key(view.window, "a");
            std::this_thread::sleep_for(2ms);
        }
    });
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0);
    // Had the video run out first, the viewer would have said so and held the last picture.
    EXPECT_EQ(err.find("feedview: "), std::string::npos) << "the key did not end the live view:\n" << err;
    EXPECT_FALSE(xh::window_exists(viewer_title));
}

TEST_F(LiveView, WhenFramesRunOutTheLastPictureStaysUntilAKey)
{
    const int frame_count = 6;
    ::testing::internal::CaptureStderr();
    const int status = run(frame_count, [&](user_view& view) {
        ASSERT_TRUE(view.find_picture());
        ASSERT_TRUE(xh::wait_until([&] { return view.shown_frame() == frame_count - 1; }, xh::patience));
        EXPECT_FALSE(view.ends_within(1500ms)) << "the viewer did not hold";
        EXPECT_EQ(view.shown_frame(), frame_count - 1) << "the last picture did not stay";
        xh::key(view.window, "space");
        EXPECT_TRUE(view.ends_within(xh::patience)) << "a key did not end the hold";
    });
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(xh::window_exists(viewer_title));
    EXPECT_EQ(err.find("feedview: "), err.rfind("feedview: ")) << "one line of the viewer's own:\n" << err;
    EXPECT_NE(err.find("feedview: the camera stopped delivering pictures"), std::string::npos) << err;
}

TEST_F(LiveView, ClosingTheWindowEndsTheLiveView)
{
    const int frame_count = long_video_frames;
    int last_seen = -1;
    const int status = run(frame_count, [&](user_view& view) {
        ASSERT_TRUE(view.find_picture());
        ASSERT_TRUE(xh::wait_until([&] { return (last_seen = view.shown_frame()) >= 2; }, short_patience));
        xh::request_close(view.window);
        EXPECT_TRUE(view.ends_within(short_patience)) << "closing the window did not end the viewer";
    });
    EXPECT_EQ(status, 0);
    EXPECT_LT(last_seen, frame_count - 10)
        << "the video ran out first: this was not a close in the live view";
    EXPECT_FALSE(xh::window_exists(viewer_title));
}

} // namespace
